#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "log.h"
#include "loop.h"
#include "msg_id_buf.h"
#include "poll_wire.h"

namespace {

bool take_line(const char*) { return true; }

// A lean driver: one engine whose loop never runs, driven on the
// benchmark's own thread; its calls stay queued and are dropped here.
InterfaceLinkD& engine() {
    static nuvra_sdk::ICallBack callback;
    static InterfaceLinkD* e = [] {
        SetLogSink2(take_line);
        mynet::init();
        auto* made = new InterfaceLinkD(&callback, nullptr);
        made->rp.m_enable = false;
        made->m_line = "L1";
        return made;
    }();
    return *e;
}

const std::string kContent = R"({"msg":"hello there, how are you?","uid":3,"account":"alice","channel":"room-1"})";

std::string channel_msg(uint64_t id) { return "msg-v3 m" + std::to_string(id) + " alice x y channel_msg z " + kContent; }

// What every message of this type costs at least: its JSON body parsed once.
void BM_OneMessage_Reference_ParseContent(benchmark::State& state) {
    uint64_t id = 0;
    for (auto _ : state) {
        const std::string text = channel_msg(++id);
        Json::Value v;
        benchmark::DoNotOptimize(parse_json(text.substr(text.size() - kContent.size()), v));
    }
}
BENCHMARK(BM_OneMessage_Reference_ParseContent);

// One pushed message with an id: decoded, checked against the id cache,
// dispatched to its event (with its log line).
void BM_OneMessage_DecodeDedupDispatch(benchmark::State& state) {
    InterfaceLinkD& e = engine();
    uint64_t id = 0;
    for (auto _ : state) {
        InterfaceLinkD::Msg* msg = e.decode_msg(channel_msg(++id), false);
        if (!e.msgIDBuf.dup_or_add(msg->msgid)) e.process_msg(msg);
        delete msg;
    }
    e.msgIDBuf.tick(UINT64_MAX, 0);
}
BENCHMARK(BM_OneMessage_DecodeDedupDispatch);

// One full message-id poll answer: 30 new messages taken, their ids noted,
// and the next poll queued because the answer was full.
void BM_PollAnswer30(benchmark::State& state) {
    InterfaceLinkD& e = engine();
    e.m_config_msg_set = 1;
    uint64_t id = 0;
    const Json::Value req = getmsg2_request("L1", {});
    for (auto _ : state) {
        state.PauseTiming();
        Json::Value answer(Json::objectValue);
        for (int i = 0; i < 30; ++i) answer["msgs"].append(channel_msg(++id));
        e.m_is_polling = true;
        const uint64_t seq = e.m_poll_seq;
        state.ResumeTiming();
        e.on_getmsg2_answer(seq, req, {}, 0, answer);
        state.PauseTiming();
        e.m_main_slot.calls.clear();
        e.m_msgs_wait_clear = MsgWaitClear();
        state.ResumeTiming();
    }
    e.msgIDBuf.tick(UINT64_MAX, 0);
}
BENCHMARK(BM_PollAnswer30)->Unit(benchmark::kMicrosecond);

// 100000 ids of 36 bytes waiting for their acknowledgement, more than one
// request can carry.
void note_waiting(InterfaceLinkD& e) {
    e.m_msgs_wait_clear = MsgWaitClear();
    char id[40];
    for (int i = 0; i < 100000; ++i) {
        std::snprintf(id, sizeof id, "%08d-0000-4000-8000-%012d", i, i);
        e.m_msgs_wait_clear.add(id);
    }
}

std::string call_text(const Json::Value& req) {
    std::string text = "call user_getmsg2 1 0 ";
    JSON2STRING_append(text, req);
    return text;
}

// What any poll carrying as many ids as one frame holds costs at least: its
// text written.
void BM_PollRequest100000Waiting_Reference_WriteText(benchmark::State& state) {
    InterfaceLinkD& e = engine();
    note_waiting(e);
    const Json::Value req = getmsg2_request("L1", e.clear_msgs_for_poll());
    for (auto _ : state) benchmark::DoNotOptimize(call_text(req));
    state.counters["ids"] = req["clear_msgs"].size();
    e.m_msgs_wait_clear = MsgWaitClear();
}
BENCHMARK(BM_PollRequest100000Waiting_Reference_WriteText)->Unit(benchmark::kMillisecond);

// A message-id poll with 100000 ids waiting: the ids that fit one frame
// chosen, the request built and queued, and its text written as the call
// transport writes it.
void BM_PollRequest100000Waiting(benchmark::State& state) {
    InterfaceLinkD& e = engine();
    e.m_config_msg_set = 1;
    note_waiting(e);
    if (e.m_msgs_wait_clear.size() != 100000) state.SkipWithError("not all waiting");
    size_t carried = 0;
    for (auto _ : state) {
        e.m_is_polling = false;
        e.do_poll();
        const Json::Value& req = e.m_main_slot.calls.back()->req;
        benchmark::DoNotOptimize(call_text(req));
        state.PauseTiming();
        carried = req["clear_msgs"].size();
        e.m_main_slot.calls.clear();
        state.ResumeTiming();
    }
    state.counters["ids"] = carried;
    e.m_is_polling = false;
    e.m_msgs_wait_clear = MsgWaitClear();
}
BENCHMARK(BM_PollRequest100000Waiting)->Unit(benchmark::kMillisecond);

// The first shape of the cache: one entry per arrival in a vector, a count
// per id in a map, each expired entry erased from the vector's front.
struct ArrivalVectorCache {
    std::vector<MsgBufTime*> list;
    std::map<std::string, int> counts;

    void add(const std::string& id, uint64_t t) {
        list.push_back(new MsgBufTime(id, t));
        ++counts[id];
    }
    void tick(uint64_t now, uint64_t life) {
        while (!list.empty() && now - list.front()->t >= life) {
            MsgBufTime* oldest = list.front();
            auto c = counts.find(oldest->msgid);
            if (c != counts.end() && --c->second == 0) {
                PlatLog2(kLogInfo, kLogPlatform, "%llu : del msgid %s", mynet::log_time(), oldest->msgid.c_str());
                counts.erase(c);
            }
            delete oldest;
            list.erase(list.begin());
        }
    }
};

std::vector<std::string> ids(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back("msgid-" + std::to_string(i));
    return out;
}

void BM_Expire100000_Reference_ArrivalVector(benchmark::State& state) {
    const std::vector<std::string> all = ids(100000);
    for (auto _ : state) {
        state.PauseTiming();
        ArrivalVectorCache cache;
        for (const std::string& id : all) cache.add(id, 1);
        state.ResumeTiming();
        cache.tick(1 + 120000, 120000);
    }
}
BENCHMARK(BM_Expire100000_Reference_ArrivalVector)->Unit(benchmark::kMillisecond)->Iterations(1);

// 100000 cached ids expiring in one tick, each with its "del msgid" line.
void BM_Expire100000(benchmark::State& state) {
    const std::vector<std::string> all = ids(100000);
    for (auto _ : state) {
        state.PauseTiming();
        MsgIDBuf cache;
        for (const std::string& id : all) cache.dup_or_add(id, 1);
        state.ResumeTiming();
        cache.tick(1 + 120000, 120000);
        if (cache.size() != 0) state.SkipWithError("not expired");
    }
}
BENCHMARK(BM_Expire100000)->Unit(benchmark::kMillisecond);

// A tick with 100000 ids cached and none due: its cost must not grow with
// the cache.
void BM_TickNothingDue100000(benchmark::State& state) {
    MsgIDBuf cache;
    for (const std::string& id : ids(100000)) cache.dup_or_add(id, 1);
    for (auto _ : state) cache.tick(1000, 120000);
}
BENCHMARK(BM_TickNothingDue100000);

}  // namespace
