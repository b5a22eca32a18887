#include "bench_engine.h"

#include <chrono>
#include <thread>

#include "support/loop_thread.h"

namespace perf {

bool wait_count(const std::atomic<int>& counter, int value, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (counter.load() < value) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

BenchEngine::BenchEngine(const std::string& discovery_ip, const std::string& tcp_flag) {
    nuvra_test::run_on_loop([&] {
        engine = std::make_unique<InterfaceLinkD>(&events, nullptr);
        engine->user_dbg("norpt", "1");
        engine->user_dbg("lbss", discovery_ip);
        engine->user_dbg("tcpflag", tcp_flag);
    });
}

BenchEngine::~BenchEngine() {
    nuvra_test::run_on_loop([&] { engine.reset(); });
}

void BenchEngine::start_login(const std::string& account) {
    nuvra_test::run_on_loop([&] { engine->user_login("vid", account, "tok", 7, "dev", 30, 3); });
}

bool BenchEngine::wait_logins(int n, int timeout_ms) { return wait_count(events.logins, n, timeout_ms); }

bool BenchEngine::wait_reconnects(int n, int timeout_ms) { return wait_count(events.reconnects, n, timeout_ms); }

}  // namespace perf
