#include "support/engine_fixture.h"

#include <future>

#include "socks5.h"
#include "support/loop_handles.h"
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
    handles_before_ = live_loop_handles().count;
    run_on_loop([&] {
        engine = std::make_unique<InterfaceLinkD>(&cb, &queue);
        engine->rp.m_enable = false;
    });
}

EngineFixture::~EngineFixture() {
    destroy_engine();
    LoopHandles left = wait_loop_handles_at_most(handles_before_ + allowed_handles_, kHandlesSettleMs);
    if (left.count > handles_before_ + allowed_handles_) {
        ADD_FAILURE() << "libuv handles left behind: " << left.count << " alive, " << handles_before_
                      << " before the test, " << allowed_handles_ << " allowed (" << left.kinds << ")";
    }
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
