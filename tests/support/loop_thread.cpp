#include "support/loop_thread.h"

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "loop.h"

namespace nuvra_test {

namespace {

mynet::Async& test_queue() {
    static mynet::Async* q = new mynet::Async();
    return *q;
}

}  // namespace

void ensure_loop_thread() {
    static std::once_flag once;
    std::call_once(once, [] {
        mynet::init();
        test_queue();
        std::thread([] { mynet::start(); }).detach();
    });
}

void run_on_loop(const std::function<void()>& f) {
    ensure_loop_thread();
    std::promise<void> done;
    test_queue().run([&] {
        f();
        done.set_value();
    });
    done.get_future().wait();
}

bool wait_on_loop(const std::function<bool()>& pred, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        bool ok = false;
        run_on_loop([&] { ok = pred(); });
        if (ok || std::chrono::steady_clock::now() >= deadline) return ok;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace nuvra_test
