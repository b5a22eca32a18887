#include "support/engine_fixture.h"

#include <chrono>
#include <future>
#include <thread>

#include "socks5.h"
#include "support/loop_thread.h"

namespace nuvra_test {

namespace {

constexpr int kHandlesSettleMs = 3000;

}  // namespace

mynet::Async& engine_queue() {
    ensure_loop_thread();
    static mynet::Async* queue = [] {
        auto* q = new mynet::Async();
        // Registered with the loop before any test counts its handles.
        std::promise<void> ran;
        q->run([&ran] { ran.set_value(); });
        ran.get_future().wait();
        return q;
    }();
    return *queue;
}

EngineFixture::EngineFixture() {
    mynet::Async& queue = engine_queue();
    for (const LoopHandle& h : live_loop_handles()) handles_before_.insert(h.id);
    run_on_loop([&] {
        engine = std::make_unique<InterfaceLinkD>(&cb, &queue);
        engine->rp.m_enable = false;
    });
}

EngineFixture::~EngineFixture() {
    destroy_engine();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandlesSettleMs);
    std::vector<LoopHandle> left = handles_left();
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        left = handles_left();
    }
    if (!left.empty()) ADD_FAILURE() << "libuv handles left behind: " << describe(left);
}

std::vector<LoopHandle> EngineFixture::handles_left() const {
    std::vector<LoopHandle> left;
    for (const LoopHandle& h : live_loop_handles()) {
        if (handles_before_.count(h.id) || (h.one_shot && h.due_in_ms <= allowed_timeouts_ms_)) continue;
        left.push_back(h);
    }
    return left;
}

void EngineFixture::TearDown() { destroy_engine(); }

void EngineFixture::on_engine(const std::function<void(InterfaceLinkD&)>& f) {
    run_on_loop([&] { f(*engine); });
}

bool EngineFixture::wait_engine(const std::function<bool(InterfaceLinkD&)>& pred, int timeout_ms) {
    return wait_on_loop([&] { return pred(*engine); }, timeout_ms);
}

void EngineFixture::destroy_engine() {
    if (engine) run_on_loop([&] { engine.reset(); });
}

ProxyGuard::ProxyGuard() {
    run_on_loop([&] {
        host_ = mynet::my_proxy_host;
        port_ = mynet::my_proxy_port;
    });
}

ProxyGuard::ProxyGuard(const std::string& host, int port) : ProxyGuard() {
    run_on_loop([&] {
        mynet::my_proxy_host = host;
        mynet::my_proxy_port = port;
    });
}

ProxyGuard::~ProxyGuard() {
    run_on_loop([&] {
        mynet::my_proxy_host = host_;
        mynet::my_proxy_port = port_;
    });
}

}  // namespace nuvra_test
