#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "support/loop_thread.h"
#include "support/resident_memory.h"

namespace {

// Resident memory of an idle engine (its reporter, jobs and timers included).
void BM_EngineResidentSize(benchmark::State& state) {
    nuvra_test::ensure_loop_thread();
    constexpr int kEngines = 200;
    static nuvra_sdk::ICallBack callback;
    for (auto _ : state) {
        std::vector<std::unique_ptr<InterfaceLinkD>> engines;
        long before = 0, after = 0;
        nuvra_test::run_on_loop([&] {
            before = nuvra_test::resident_kib();
            for (int i = 0; i < kEngines; ++i) engines.push_back(std::make_unique<InterfaceLinkD>(&callback, nullptr));
            after = nuvra_test::resident_kib();
        });
        state.counters["KiB_per_engine"] = double(after - before) / kEngines;
        state.counters["bytes_sizeof"] = double(sizeof(InterfaceLinkD));
        nuvra_test::run_on_loop([&] { engines.clear(); });
    }
}
BENCHMARK(BM_EngineResidentSize)->Iterations(1);

}  // namespace
