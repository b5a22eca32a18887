#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <string>

#include "if_linkd.h"
#include "log.h"
#include "peers/discovery_service.h"
#include "support/loop_thread.h"

namespace {

bool drop_line(const char*) { return true; }


// Time from the start of the discovery step to its hand-over, against a
// discovery service on loopback that answers at once. The clock seam ends
// every finished job between iterations, so sockets don't pile up.
void run_step_to_result(benchmark::State& state, const std::string& ip,
                        void (*configure)(InterfaceLinkD&, const std::string&)) {
    nuvra_test::ensure_loop_thread();
    SetLogSink2(drop_line);
    nuvra_test::DiscoveryService service(ip);
    if (!service.ok()) {
        state.SkipWithError("discovery service cannot bind");
        return;
    }
    service.answer_ok({{"127.0.0.1", 4000}});
    static nuvra_sdk::ICallBack callback;
    InterfaceLinkD* engine = nullptr;
    std::promise<std::string>* pending = nullptr;
    nuvra_test::run_on_loop([&] {
        engine = new InterfaceLinkD(&callback, nullptr);
        engine->rp.m_enable = false;
        engine->m_vid = "bench";
        engine->m_ulbs_buildin = {};
        engine->_buildin_ulbs_time = 0;
        configure(*engine, ip);
        engine->m_on_lbs_result = [&pending](int, const std::string& result) { pending->set_value(result); };
    });
    for (auto _ : state) {
        std::promise<std::string> done;
        std::future<std::string> result = done.get_future();
        nuvra_test::run_on_loop([&] {
            pending = &done;
            engine->m_login_session += 1;
            engine->m_login_session_step = "lbs";
            engine->login_mode2_step_12_lbs(engine->m_login_session);
        });
        if (result.get() != "") state.SkipWithError("discovery failed");
        state.PauseTiming();
        mynet::test_clock_advance(10100);
        state.ResumeTiming();
    }
    SetLogSink2(nullptr);
}

void BM_LbsStepToResultByName(benchmark::State& state) {
    run_step_to_result(state, "127.0.41.200", [](InterfaceLinkD& e, const std::string& ip) { e.m_ulbs_host = ip; });
}
BENCHMARK(BM_LbsStepToResultByName)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300);

void BM_LbsStepToResultBuiltin(benchmark::State& state) {
    run_step_to_result(state, "127.0.41.201", [](InterfaceLinkD& e, const std::string& ip) {
        e.m_ulbs_host = "";
        e.m_ulbs_buildin = {ip};
        e._buildin_ulbs_time = 1;
    });
}
BENCHMARK(BM_LbsStepToResultBuiltin)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300);

}  // namespace
