// Idle cost of logged-in instances: network-thread CPU and resident memory
// per instance, with 2,500 bare libuv timers on the same loop as the
// reference. The service runs as a child process, so neither its CPU nor its
// memory counts here.
//
// NUVRA_IDLE_INSTANCES (default 500) and NUVRA_IDLE_WINDOW_MS (default
// 10000, one ping period) change the run.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <uv.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "if_linkd.h"
#include "log.h"
#include "support/local_service_process.h"
#include "support/loop_thread.h"
#include "support/resident_memory.h"
#include "support/thread_cpu_time.h"

namespace {

bool drop_line(const char*) { return true; }

int env_int(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

class Logins : public nuvra_sdk::ICallBack {
public:
    void onLoginSuccess(uint32_t, int) override { ++n; }
    std::atomic<int> n{0};
};

void BM_IdleLoggedInInstances(benchmark::State& state) {
    const int instances = env_int("NUVRA_IDLE_INSTANCES", 500);
    const int window_ms = env_int("NUVRA_IDLE_WINDOW_MS", 10000);
    const std::string address = "127.0.43.1";
    nuvra_test::LocalServiceProcess service(
        {"--address", address, "--line-port", "0", "--telemetry-port", "8000", "--discovery-ports", "2"});
    if (!service.wait_ready()) {
        state.SkipWithError("local service did not start");
        return;
    }
    nuvra_test::ensure_loop_thread();
    SetLogSink2(drop_line);
    static Logins logins;
    for (auto _ : state) {
        std::vector<std::unique_ptr<InterfaceLinkD>> engines;
        long before = 0;
        size_t heap_before = 0;
        nuvra_test::run_on_loop([&] {
            before = nuvra_test::resident_kib();
            heap_before = mallinfo2().uordblks;
        });
        const int start = logins.n.load();
        for (int i = 0; i < instances; ++i) {
            nuvra_test::run_on_loop([&] {
                auto e = std::make_unique<InterfaceLinkD>(&logins, nullptr);
                e->user_dbg("lbss", address);
                e->rp.m_hostname = address;
                e->rp.m_port = 8000;
                e->user_login("vid", "idle" + std::to_string(i), "tok", static_cast<uint32_t>(1000 + i), "dev", 30, 3);
                engines.push_back(std::move(e));
            });
            // A few logins at a time, as a server's instances would come up.
            while (logins.n.load() < start + i + 1 - 16) std::this_thread::yield();
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (logins.n.load() < start + instances && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (logins.n.load() < start + instances) {
            state.SkipWithError("not every instance logged in");
            break;
        }
        // Discovery requests live 10 s after their answer, and the logins'
        // telemetry goes out meanwhile: what follows is the idle state.
        std::this_thread::sleep_for(std::chrono::milliseconds(11000));
        long after = 0;
        size_t heap_after = 0;
        nuvra_test::run_on_loop([&] {
            after = nuvra_test::resident_kib();
            heap_after = mallinfo2().uordblks;
        });
        // What the instances hold on the heap, beside what the process keeps resident.
        state.counters["heap_KiB_per_instance"] = (double(heap_after) - double(heap_before)) / 1024.0 / instances;
        state.counters["cpu_pct"] = nuvra_test::loop_cpu_percent(window_ms);
        state.counters["KiB_per_instance"] = double(after - before) / instances;
        state.counters["MiB_all"] = double(after - before) / 1024.0;
        nuvra_test::run_on_loop([&] { engines.clear(); });
    }
    SetLogSink2(nullptr);
}
BENCHMARK(BM_IdleLoggedInInstances)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Reference: what an instance's 4 ticks of 100 ms and one of 500 ms would
// cost as bare libuv timers with empty callbacks, 500 times over.
void BM_ReferenceBareTimers(benchmark::State& state) {
    const int instances = env_int("NUVRA_IDLE_INSTANCES", 500);
    const int window_ms = env_int("NUVRA_IDLE_WINDOW_MS", 10000);
    nuvra_test::ensure_loop_thread();
    for (auto _ : state) {
        std::vector<uv_timer_t*> timers;
        nuvra_test::run_on_loop([&] {
            for (int i = 0; i < instances * 5; ++i) {
                auto* t = new uv_timer_t();
                uv_timer_init(uv_default_loop(), t);
                const uint64_t period = i % 5 == 4 ? 500 : 100;
                uv_timer_start(t, [](uv_timer_t*) {}, period, period);
                timers.push_back(t);
            }
        });
        state.counters["cpu_pct"] = nuvra_test::loop_cpu_percent(window_ms);
        nuvra_test::run_on_loop([&] {
            for (uv_timer_t* t : timers)
                uv_close(reinterpret_cast<uv_handle_t*>(t),
                         [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
        });
    }
}
BENCHMARK(BM_ReferenceBareTimers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
