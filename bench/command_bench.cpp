#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>

#include "if_linkd.h"
#include "log.h"
#include "support/loop_thread.h"

// Commands from the call to their events, beside the bare call transport
// carrying the same request and answer, on the network thread. The line has
// no stream, so neither side pays for a frame or a syscall: the difference
// is what the command itself costs (request, log lines, reading the answer,
// events).

namespace {

std::atomic<uint64_t> g_sunk{0};
bool counting_sink(const char* text) {
    g_sunk.fetch_add(text[0] != 0, std::memory_order_relaxed);
    return true;
}

class CountingCallBack : public nuvra_sdk::ICallBack {
public:
    void onMessageSendSuccess(std::string) override { ++sent; }
    void onChannelUserList(int n, char**, uint32_t*) override { members += n; }
    void onChannelAttrUpdated(std::string, std::string, std::string, std::string) override { ++attrs; }
    uint64_t sent = 0;
    uint64_t members = 0;
    uint64_t attrs = 0;
};

// One logged-in engine for the whole run; lives on the network thread.
struct Bench {
    CountingCallBack callback;
    std::unique_ptr<InterfaceLinkD> engine;
};

Bench& bench() {
    static Bench* b = [] {
        SetLogSink2(counting_sink);
        auto* made = new Bench();
        nuvra_test::ensure_loop_thread();
        nuvra_test::run_on_loop([made] {
            made->engine = std::make_unique<InterfaceLinkD>(&made->callback, nullptr);
            InterfaceLinkD& e = *made->engine;
            e.rp.m_enable = false;
            e.set_login_state(InterfaceLinkD::LOGIN_STATE_LOGINED);
            e.set_line("L1");
            e.m_account = "bench-user";
            e.m_tcp_connected = true;
            e.m_last_active_time = mynet::mono_time_ms();
            e.m_conn_info = std::make_shared<InterfaceLinkD::ConnInfo>();
        });
        return made;
    }();
    return *b;
}

const std::string kOk = "{\"result\":\"ok\"}";

const std::string& join_answer() {
    static const std::string text = [] {
        Json::Value answer(Json::objectValue);
        answer["result"] = "ok";
        answer["cid"] = "c-17";
        answer["msgid"] = 12345;
        Json::Value& list = answer["list"];
        Json::Value& attrs = answer["attrs"];
        for (int i = 0; i < 1000; ++i) {
            Json::Value member(Json::arrayValue);
            member.append("member-" + std::to_string(i));
            member.append(Json::UInt(100000 + i));
            list.append(member);
            attrs["attr-" + std::to_string(i)] = "value-" + std::to_string(i);
        }
        return JSON2STRING(answer);
    }();
    return text;
}

Json::Value channel_request(const char* channel_key) {
    Json::Value req(Json::objectValue);
    req["line"] = "L1";
    req[channel_key] = "room-17";
    return req;
}

// Runs `one` per iteration on the network thread, then answers the call it made.
template <typename F> void on_loop(benchmark::State& state, const std::string& answer, F one) {
    InterfaceLinkD& e = *bench().engine;
    nuvra_test::run_on_loop([&] {
        for (auto _ : state) {
            one(e);
            e.m_main_slot.process_tcp_call_res(e.m_tcp_call_id, answer, "127.0.0.1");
        }
    });
    state.SetItemsProcessed(state.iterations());
}

const ApiCallResult kIgnore = [](int, const std::string&, const Json::Value&) {};

void BM_ChannelMessageSend(benchmark::State& state) {
    const uint64_t before = bench().callback.sent;
    on_loop(state, kOk, [](InterfaceLinkD& e) { e.user_send_channel_msg("room-17", "hello there", "m1", 0, "", false); });
    if (bench().callback.sent - before != uint64_t(state.iterations())) state.SkipWithError("not every send succeeded");
}
BENCHMARK(BM_ChannelMessageSend);

void BM_ChannelMessageTransportOnly(benchmark::State& state) {
    Json::Value req = channel_request("name");
    req["msg"] = "hello there";
    on_loop(state, kOk, [&req](InterfaceLinkD& e) { e.call_api(0, "channel_sendmsg", req, kIgnore, false); });
}
BENCHMARK(BM_ChannelMessageTransportOnly);

void BM_Join1000(benchmark::State& state) {
    const uint64_t before = bench().callback.members;
    on_loop(state, join_answer(), [](InterfaceLinkD& e) { e.user_channel_join("room-17"); });
    if (bench().callback.members - before != 1000 * uint64_t(state.iterations())) state.SkipWithError("members missing");
}
BENCHMARK(BM_Join1000)->Unit(benchmark::kMicrosecond);

void BM_Join1000TransportOnly(benchmark::State& state) {
    const Json::Value req = channel_request("name");
    on_loop(state, join_answer(), [&req](InterfaceLinkD& e) { e.call_api(0, "channel_join", req, kIgnore, false); });
}
BENCHMARK(BM_Join1000TransportOnly)->Unit(benchmark::kMicrosecond);

}  // namespace
