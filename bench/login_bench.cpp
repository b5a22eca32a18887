#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "if_linkd.h"
#include "log.h"
#include "peers/discovery_service.h"
#include "peers/line_server.h"
#include "support/loop_thread.h"

namespace {

bool drop_line(const char*) { return true; }

// Counts the session events the driver waits for.
class Events : public nuvra_sdk::ICallBack {
public:
    void onLoginSuccess(uint32_t, int) override { ++logins; }
    void onReconnected(int) override { ++reconnects; }
    std::atomic<int> logins{0};
    std::atomic<int> reconnects{0};
};

void wait_until(const std::atomic<int>& counter, int value) {
    while (counter.load() < value) std::this_thread::yield();
}

// An engine pointed at a discovery service and a line server on loopback
// through the debug keys, as an application would point it.
struct Road {
    explicit Road(const std::string& discovery_ip) : discovery(discovery_ip) {
        nuvra_test::ensure_loop_thread();
        SetLogSink2(drop_line);
        discovery.answer_ok({{"127.0.0.1", server.port()}});
        nuvra_test::run_on_loop([&] {
            engine = std::make_unique<InterfaceLinkD>(&events, nullptr);
            engine->user_dbg("norpt", "1");
            engine->user_dbg("lbss", discovery_ip);
        });
    }
    ~Road() {
        nuvra_test::run_on_loop([&] { engine.reset(); });
        SetLogSink2(nullptr);
    }
    bool ok() const { return discovery.ok() && server.ok(); }
    void login() {
        nuvra_test::run_on_loop([&] { engine->user_login("vid", "acc", "tok", 7, "dev", 30, 3); });
    }

    nuvra_test::LineServer server;
    nuvra_test::DiscoveryService discovery;
    Events events;
    std::unique_ptr<InterfaceLinkD> engine;
};

// From user_login to onLoginSuccess: discovery, connect, "login " and its
// answer. Every iteration ends the session and lets its discovery jobs go.
void BM_LoginToSuccess(benchmark::State& state) {
    Road road("127.0.42.10");
    if (!road.ok()) {
        state.SkipWithError("peers cannot bind");
        return;
    }
    int n = 0;
    for (auto _ : state) {
        road.login();
        wait_until(road.events.logins, ++n);
        state.PauseTiming();
        nuvra_test::run_on_loop([&] {
            road.engine->fire_onLogout(nuvra_sdk::LOGOUT_E_USER);
            mynet::test_clock_advance(10100);
        });
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoginToSuccess)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

// From the server dropping the line to onReconnected: the 100 ms first delay,
// discovery, connect, "line_login2 " and its answer.
void BM_LostLineToReconnected(benchmark::State& state) {
    Road road("127.0.42.11");
    if (!road.ok()) {
        state.SkipWithError("peers cannot bind");
        return;
    }
    road.login();
    wait_until(road.events.logins, 1);
    int n = 0;
    for (auto _ : state) {
        road.server.close_conn(nuvra_test::kLastConn);
        wait_until(road.events.reconnects, ++n);
        state.PauseTiming();
        nuvra_test::run_on_loop([] { mynet::test_clock_advance(10100); });
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LostLineToReconnected)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(30);

// Reference: the floor of the same exchange without the engine, a blocking
// TCP connect to the same line server, one "login " frame and its answer.
void BM_ReferenceLoopbackLoginExchange(benchmark::State& state) {
    SetLogSink2(drop_line);
    nuvra_test::LineServer server;
    const std::string frame = nuvra_test::text_frame(0x80, "login {\"uid\":7}");
    for (auto _ : state) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server.port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            state.SkipWithError("loopback exchange failed");
            close(fd);
            break;
        }
        char header[4];
        if (read(fd, header, sizeof(header)) != 4) state.SkipWithError("no answer");
        close(fd);
    }
    SetLogSink2(nullptr);
}
BENCHMARK(BM_ReferenceLoopbackLoginExchange)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

}  // namespace
