#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "log.h"
#include "loop.h"
#include "support/loop_thread.h"
#include "zlib_helpers.h"

namespace {

std::atomic<uint64_t> g_sunk{0};
bool counting_sink(const char* text) {
    g_sunk.fetch_add(text[0] != 0, std::memory_order_relaxed);
    return true;
}

void BM_PlatLog2Info(benchmark::State& state) {
    SetLogSink2(counting_sink);
    for (auto _ : state)
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s call %s %d", (unsigned long long)mynet::get_time_in_ms(), "usr",
                 "channel_join", 42);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlatLog2Info)->Threads(1)->Threads(4)->UseRealTime();

// Posts from N producers and waits until the network thread has run them all.
void BM_AsyncRun(benchmark::State& state) {
    nuvra_test::ensure_loop_thread();
    static mynet::Async* queue = new mynet::Async();
    const int producers = static_cast<int>(state.range(0));
    constexpr int kPerProducer = 20000;
    for (auto _ : state) {
        std::atomic<int> ran{0};
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&] {
                for (int i = 0; i < kPerProducer; ++i) queue->run([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
            });
        for (auto& t : threads) t.join();
        while (ran.load() != producers * kPerProducer) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * producers * kPerProducer);
}
BENCHMARK(BM_AsyncRun)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

std::string json_like(size_t n) {
    std::string s;
    int i = 0;
    while (s.size() < n) {
        s += "{\"method\":\"channel_join\",\"id\":" + std::to_string(i) + ",\"line\":\"a7f3c2\",\"name\":\"room-" +
             std::to_string(i % 97) + "\"},";
        ++i;
    }
    s.resize(n);
    return s;
}

void BM_ZlibCompress(benchmark::State& state) {
    std::string in = json_like(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(zlib_compress(in));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ZlibCompress)->Arg(200)->Arg(4 << 10)->Arg(64 << 10)->Arg(900 << 10);

void BM_ZlibUncompress(benchmark::State& state) {
    std::string z = zlib_compress(json_like(static_cast<size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(zlib_uncompress(z, 1048576));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ZlibUncompress)->Arg(200)->Arg(4 << 10)->Arg(64 << 10)->Arg(900 << 10);

}  // namespace
