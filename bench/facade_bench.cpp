#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <string>

#include "loop.h"
#include "nuvra_api.h"
#include "nuvra_sig.h"

// Operations posted from caller threads to an instance's engine, beside the
// bare queue they travel through, and the installation of a callback object
// beside a bare round trip through that queue. Every figure includes the
// network thread's work: each batch ends once the thread has run it.

namespace {

constexpr int kBatch = 1000;
const std::string kChannel(32, 'c');
const std::string kAccount(32, 'a');

// Drops every event and log line, so nothing is printed.
nuvra_sdk::ICallBack g_quiet;

nuvra_sdk::NuvraAPI* instance() {
    static nuvra_sdk::NuvraAPI* inst = [] {
        auto* made = static_cast<nuvra_sdk::NuvraAPI*>(nuvra_sdk::getNuvraSDKInstance());
        made->callbackSet(&g_quiet);
        return made;
    }();
    return inst;
}

mynet::Async* bare_queue() {
    instance();  // the network thread runs
    static mynet::Async* queue = new mynet::Async();
    return queue;
}

// Returns once everything posted to the queue before has run.
void drain(mynet::Async* queue) {
    auto ran = std::make_shared<std::promise<void>>();
    std::future<void> done = ran->get_future();
    queue->run([ran] { ran->set_value(); });
    done.wait();
}

void drain(nuvra_sdk::NuvraAPI* inst) { inst->install(&g_quiet, nullptr); }

// The reference: a closure with the same two texts, doing nothing.
void BM_BareQueue(benchmark::State& state) {
    mynet::Async* queue = bare_queue();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            queue->run([channel = kChannel, account = kAccount] { benchmark::DoNotOptimize(channel.size()); });
        drain(queue);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BareQueue)->Threads(1)->Threads(8)->UseRealTime();

// A command with two texts, refused by the engine (no session), with its
// error event and log lines.
void BM_PostedCommand(benchmark::State& state) {
    nuvra_sdk::NuvraAPI* inst = instance();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) inst->channelQueryUserIsIn(kChannel, kAccount);
        drain(inst);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PostedCommand)->Threads(1)->Threads(8)->UseRealTime();

// A posted step with no engine work: the facade's own share.
void BM_PostedMark(benchmark::State& state) {
    nuvra_sdk::NuvraAPI* inst = instance();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) inst->destroy();
        drain(inst);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PostedMark)->Threads(1)->Threads(8)->UseRealTime();

void BM_BareRoundTrip(benchmark::State& state) {
    mynet::Async* queue = bare_queue();
    for (auto _ : state) drain(queue);
}
BENCHMARK(BM_BareRoundTrip)->UseRealTime();

void BM_CallbackSet(benchmark::State& state) {
    nuvra_sdk::NuvraAPI* inst = instance();
    for (auto _ : state) inst->callbackSet(&g_quiet);
}
BENCHMARK(BM_CallbackSet)->UseRealTime();

// Through the C++ binding: a new adapter each time, the old one freed once no
// log line can still be running in it.
void BM_BindingCallbackSet(benchmark::State& state) {
    instance();
    nuvra_sdk_cpp::INuvraAPI* wrapper = getNuvraSDKInstanceCPP();
    struct Quiet : nuvra_sdk_cpp::ICallBack {
    } quiet;
    for (auto _ : state) wrapper->callbackSet(&quiet);
}
BENCHMARK(BM_BindingCallbackSet)->UseRealTime();

}  // namespace
