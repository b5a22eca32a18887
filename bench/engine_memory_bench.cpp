#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "support/loop_thread.h"

namespace {

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

// Resident memory of an idle engine (its reporter, jobs and timers included).
void BM_EngineResidentSize(benchmark::State& state) {
    nuvra_test::ensure_loop_thread();
    constexpr int kEngines = 200;
    static nuvra_sdk::ICallBack callback;
    for (auto _ : state) {
        std::vector<std::unique_ptr<InterfaceLinkD>> engines;
        long before = 0, after = 0;
        nuvra_test::run_on_loop([&] {
            before = resident_kib();
            for (int i = 0; i < kEngines; ++i) engines.push_back(std::make_unique<InterfaceLinkD>(&callback, nullptr));
            after = resident_kib();
        });
        state.counters["KiB_per_engine"] = double(after - before) / kEngines;
        state.counters["bytes_sizeof"] = double(sizeof(InterfaceLinkD));
        nuvra_test::run_on_loop([&] { engines.clear(); });
    }
}
BENCHMARK(BM_EngineResidentSize)->Iterations(1);

}  // namespace
