#include <gtest/gtest.h>
#include <pystring/pystring.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "if_linkd.h"
#include "peers/line_server.h"
#include "support/clock_hold.h"
#include "support/engine_fixture.h"
#include "support/line_fixture.h"
#include "support/log_capture.h"
#include "support/thread_cpu_time.h"

namespace {

using nuvra_test::CallScript;
using nuvra_test::kLastConn;
using nuvra_test::LineFixture;
using nuvra_test::LineServer;
using std::string;

using Info = LineFixture::Info;

constexpr int kWaitMs = 3000;

// One result as the caller saw it.
struct Outcome {
    string tag;
    int result = 0;
    string reason;
    Json::Value resp;
};

// Result functions run on the network thread; the test reads from its own.
class Outcomes {
public:
    ApiCallResult make(const string& tag) {
        return [this, tag](int result, const string& reason, const Json::Value& resp) {
            std::lock_guard<std::mutex> lock(mtx_);
            all_.push_back({tag, result, reason, resp});
            changed_.notify_all();
        };
    }
    std::vector<Outcome> all() const {
        std::lock_guard<std::mutex> lock(mtx_);
        return all_;
    }
    size_t size() const { return all().size(); }
    bool wait_for(size_t n, int timeout_ms = kWaitMs) const {
        std::unique_lock<std::mutex> lock(mtx_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return all_.size() >= n; });
    }
    std::vector<string> tags() const {
        std::vector<string> t;
        for (const Outcome& o : all()) t.push_back(o.tag);
        return t;
    }

private:
    mutable std::mutex mtx_;
    mutable std::condition_variable changed_;
    std::vector<Outcome> all_;
};

// The dispatcher's part for call answers: "call_ret <method> <id> <x> <json>".
void route_call_ret(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const string& msg) {
    if (info.state != InterfaceLinkD::CONN_STATE_LOGINED || !pystring::startswith(msg, "call_ret ")) return;
    std::vector<string> f;
    pystring::split(msg, f, " ", 4);
    f.resize(5);
    engine.m_main_slot.process_tcp_call_res(static_cast<uint32_t>(std::atoi(f[2].c_str())), f[4],
                                            info.conn ? info.conn->getRemoteIP() : "");
}

std::vector<uint32_t> ids_of(const std::list<SP_ApiCall>& calls) {
    std::vector<uint32_t> ids;
    for (const SP_ApiCall& c : calls) ids.push_back(c->call_id.reqid);
    return ids;
}

Json::Value object(const std::vector<std::pair<string, Json::Value>>& members) {
    Json::Value o(Json::objectValue);
    for (const auto& m : members) o[m.first] = m.second;
    return o;
}

// An engine whose line to the test line server is logged in and carries calls.
class CallTransport : public nuvra_test::EngineFixture {
protected:

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        line.on_message = route_call_ret;
        ASSERT_TRUE(line.connect(server.port()));
        // After the first pong, so that a clock moved by a test does not
        // count the first ping as unanswered.
        ASSERT_TRUE(line.wait_on_loop(
            [](InterfaceLinkD& e, Info& info) { return e.m_tcp_connected && info && info->last_pong_recv_time != 0; },
            kWaitMs));
    }

    // Queues a call on the network thread; returns its id.
    REQ_ID call(const string& method, const Json::Value& req, const string& tag) {
        REQ_ID id = 0;
        line.on_loop([&](InterfaceLinkD& e, Info&) { id = e.call_api(0, method, req, out.make(tag), false); });
        return id;
    }

    std::vector<nuvra_test::ReceivedCall> received_calls() const {
        std::vector<nuvra_test::ReceivedCall> calls;
        for (const auto& r : server.received())
            if (auto c = nuvra_test::parse_call(r)) calls.push_back(*c);
        return calls;
    }

    nuvra_test::LogCapture log;
    Outcomes out;
    LineServer server;
    LineFixture line{engine.get()};
};

// ------------------------------------------------------------ the wire text

TEST_F(CallTransport, SendsOneFrameOfExactTextWithIdsCountingFromOne) {
    Json::Value req(Json::objectValue);
    req["z"] = 1;
    req["line"] = "L9";
    req["a"] = string("q\"b\\c\x01\x1f\n\t/\xC3\xA9\x7f", 13) + string(1, '\0');
    req["list"].append(true);
    req["list"].append(Json::Value());

    EXPECT_EQ(call("channel_join", req, "first"), 1u);
    EXPECT_EQ(call("user_getmsg", Json::Value(Json::objectValue), "second"), 2u);
    ASSERT_TRUE(out.wait_for(2));

    const auto calls = received_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].frame.text,
              string("call channel_join 1 0 {\"a\":\"q\\\"b\\\\c\\u0001\\u001F\\n\\t/\xC3\xA9\x7f\\u0000\","
                     "\"line\":\"L9\",\"list\":[true,null],\"z\":1}"));
    EXPECT_EQ(calls[0].frame.flags, 0x81) << "sent compressed once the line is logged in";
    EXPECT_EQ(calls[1].frame.text, "call user_getmsg 2 0 {}");
    EXPECT_EQ(out.tags(), (std::vector<string>{"first", "second"}));
    EXPECT_TRUE(log.contains(" : call_api 0 1 channel_join 0"));
    EXPECT_TRUE(log.contains(" : tcp_call 2 user_getmsg {}"));
}

TEST_F(CallTransport, LogsAtMostHundredCharactersOfTheRequest) {
    Json::Value req(Json::objectValue);
    req["k"] = string(300, 'x');
    call("m", req, "long");
    ASSERT_TRUE(out.wait_for(1));
    const auto lines = log.matching(" : tcp_call 1 m ");
    ASSERT_EQ(lines.size(), 1u);
    const string logged = lines[0].substr(lines[0].find(" m ") + 3);
    EXPECT_EQ(logged, ("{\"k\":\"" + string(300, 'x')).substr(0, 100));
    EXPECT_EQ(received_calls().at(0).request["k"].asString().size(), 300u);
}

// ------------------------------------------------------------ the answers

struct LineAnswer {
    const char* name;
    CallScript script;
    int result;
    string reason;
    bool resp_is_object;
};

std::ostream& operator<<(std::ostream& os, const LineAnswer& a) { return os << a.name; }

class CallTransportAnswers : public CallTransport, public ::testing::WithParamInterface<LineAnswer> {};

// Every answer is sent twice: the first completes the call, the second
// finds no call and changes nothing.
TEST_P(CallTransportAnswers, GiveExactlyOneResult) {
    CallScript script = GetParam().script;
    script.copies = 2;
    server.set_call_script("m", script);
    call("m", object({{"x", 1}}), "only");
    ASSERT_TRUE(log.wait_for("res : can't find call 1 ", kWaitMs));

    const auto all = out.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].result, GetParam().result);
    EXPECT_EQ(all[0].reason, GetParam().reason);
    EXPECT_EQ(all[0].resp.isObject(), GetParam().resp_is_object);
    const string ret = " : call_ret 1 " + std::to_string(GetParam().result) + " " + GetParam().reason + " ";
    EXPECT_EQ(log.matching(ret).size(), GetParam().result == 0 ? 1u : 2u) << "failures are repeated at info level";
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_TRUE(e.m_main_slot.calls_calling.empty());
        EXPECT_EQ(e.m_main_slot.n_call_tcp, 0);
    });
}

CallScript ok_with_reason() {
    CallScript s = CallScript::ok();
    s.answer["reason"] = "ignored";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallTransportAnswers,
    ::testing::Values(LineAnswer{"ok_ignores_reason", ok_with_reason(), 0, "", true},
                      LineAnswer{"failed", CallScript::failed("kick"), -1, "kick", true},
                      LineAnswer{"unknown", CallScript::unknown("kick"), -2, "kick", true},
                      LineAnswer{"not_json", CallScript::malformed("what?"), -2, "wrong response json : 1", false},
                      LineAnswer{"other_result", CallScript::malformed("{\"result\":\"maybe\"}"), -2,
                                 "wrong response json : 2", true},
                      LineAnswer{"result_object", CallScript::malformed("{\"result\":{\"a\":[1]}}"), -2,
                                 "wrong response json : 2", true},
                      LineAnswer{"no_reason", CallScript::malformed("{\"result\":\"failed\"}"), -2,
                                 "wrong response json : 3", true},
                      LineAnswer{"reason_array", CallScript::malformed("{\"reason\":[],\"result\":\"failed\"}"), -2,
                                 "wrong response json : 3", true}),
    [](const ::testing::TestParamInfo<LineAnswer>& info) { return string(info.param.name); });

TEST_F(CallTransport, AnswerWithTheWholeTextAfterTheIdCompletesTheCall) {
    server.set_call_script("m", CallScript::malformed("{\"result\": \"ok\", \"members\": [\"a b\", 2]}"));
    call("m", Json::Value(Json::objectValue), "spaced");
    ASSERT_TRUE(out.wait_for(1));
    const Outcome o = out.all()[0];
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.resp["members"][0].asString(), "a b");
}

TEST_F(CallTransport, AnswerForAnIdNotInFlightIsLoggedAndDropped) {
    CallScript wrong_id = CallScript::ok();
    wrong_id.id_offset = 1000;
    server.set_call_script("m", wrong_id);
    call("m", Json::Value(Json::objectValue), "waits");
    ASSERT_TRUE(log.wait_for("res : can't find call 1001 ", kWaitMs));
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_EQ(ids_of(e.m_main_slot.calls_calling), (std::vector<uint32_t>{1}));
        e.m_main_slot.process_tcp_call_res(1, "{\"result\":\"ok\"}", "127.0.0.1");
        e.m_main_slot.process_tcp_call_res(1, "{\"result\":\"ok\"}", "127.0.0.1");
    });
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(log.matching("res : can't find call 1 ").size(), 1u);
}

// ------------------------------------------------------------ the queue

TEST_F(CallTransport, KeepsAtMostTheLimitInFlightInOrder) {
    server.set_call_script("m", CallScript::silent());
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_config_call_concurrent = 2; });
    for (int i = 1; i <= 5; ++i) call("m", object({{"i", i}}), "c" + std::to_string(i));
    ASSERT_TRUE(server.wait_for_call("m", kWaitMs, 0).has_value());
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_EQ(ids_of(e.m_main_slot.calls_calling), (std::vector<uint32_t>{1, 2}));
        EXPECT_EQ(ids_of(e.m_main_slot.calls), (std::vector<uint32_t>{3, 4, 5}));
        EXPECT_EQ(e.m_main_slot.n_call_tcp, 2);
    });

    server.push_text(kLastConn, nuvra_test::call_ret_text("m", 2, "{\"result\":\"ok\"}"));
    ASSERT_TRUE(out.wait_for(1));
    ASSERT_TRUE(line.wait_on_loop([](InterfaceLinkD& e, Info&) { return e.m_main_slot.calls.size() == 2; }, kWaitMs));
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_EQ(ids_of(e.m_main_slot.calls_calling), (std::vector<uint32_t>{1, 3}));
    });

    for (uint32_t id : {1u, 3u, 4u, 5u}) {
        ASSERT_TRUE(line.wait_on_loop(
            [id](InterfaceLinkD& e, Info&) { return e.m_main_slot.find_callling_call_by_id(id) != nullptr; },
            kWaitMs));
        server.push_text(kLastConn, nuvra_test::call_ret_text("m", id, "{\"result\":\"ok\"}"));
    }
    ASSERT_TRUE(out.wait_for(5));
    EXPECT_EQ(out.tags(), (std::vector<string>{"c2", "c1", "c3", "c4", "c5"}));
    std::vector<uint32_t> sent;
    for (const auto& c : received_calls()) sent.push_back(c.id);
    EXPECT_EQ(sent, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
}

TEST_F(CallTransport, LimitZeroSendsNothingAndEveryCallTimesOut) {
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_config_call_concurrent = 0;
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("a"), false);
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("b"), false);
        mynet::test_clock_advance(10001);
        e.m_main_slot.check_timeout();
    });
    ASSERT_EQ(out.size(), 2u);
    for (const Outcome& o : out.all()) {
        EXPECT_EQ(o.result, -2);
        EXPECT_EQ(o.reason, "time out");
        EXPECT_TRUE(o.resp.isNull());
    }
    EXPECT_EQ(server.count("call "), 0u);
}

// The time-out counts from queueing: waiting for the line uses it up, and
// a call that waits longer ends without being sent. The real clock keeps
// running meanwhile, so "not yet" is checked with a margin.
TEST_F(CallTransport, TimeOutCountsFromQueueingAndQueuedCallsExpireUnsent) {
    server.set_call_script("m", CallScript::silent());
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_tcp_connected = false;
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("sent_late"), false);
        mynet::test_clock_advance(6000);
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("never_sent"), false);
        e.m_tcp_connected = true;
        e.m_config_call_concurrent = 1;
        e.m_main_slot.do_call();
        EXPECT_EQ(ids_of(e.m_main_slot.calls_calling), (std::vector<uint32_t>{1}));
        e.m_tcp_connected = false;
        mynet::test_clock_advance(3900);
        e.m_main_slot.check_timeout();
        EXPECT_EQ(out.size(), 0u);
        mynet::test_clock_advance(101);
        e.m_main_slot.check_timeout();
        EXPECT_EQ(out.tags(), (std::vector<string>{"sent_late"}));
        EXPECT_TRUE(e.m_main_slot.calls_calling.empty());
        EXPECT_EQ(ids_of(e.m_main_slot.calls), (std::vector<uint32_t>{2}));
        mynet::test_clock_advance(5900);
        e.m_main_slot.check_timeout();
        EXPECT_EQ(out.size(), 1u);
        mynet::test_clock_advance(101);
        e.m_main_slot.check_timeout();
    });
    EXPECT_EQ(out.tags(), (std::vector<string>{"sent_late", "never_sent"}));
    for (const Outcome& o : out.all()) EXPECT_EQ(o.reason, "time out");
    ASSERT_TRUE(server.wait_for_call("m", kWaitMs).has_value());
    line.on_loop([](InterfaceLinkD&, Info&) {});
    EXPECT_EQ(server.count("call m 2 "), 0u);
}

TEST_F(CallTransport, HousekeepingTickExpiresCalls) {
    server.set_call_script("m", CallScript::silent());
    call("m", Json::Value(Json::objectValue), "expires");
    ASSERT_TRUE(server.wait_for_call("m", kWaitMs).has_value());
    mynet::test_clock_advance(10001);
    ASSERT_TRUE(out.wait_for(1));
    EXPECT_EQ(out.all()[0].reason, "time out");
}

TEST_F(CallTransport, QueuedCallsWaitForTheLine) {
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_tcp_connected = false;
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("a"), false);
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("b"), false);
        e.m_main_slot.do_call();
        EXPECT_EQ(e.m_main_slot.calls.size(), 2u);
        e.m_tcp_connected = true;
        e.m_main_slot.do_call();
    });
    ASSERT_TRUE(out.wait_for(2));
    EXPECT_EQ(out.tags(), (std::vector<string>{"a", "b"}));
}

class CallWallClockStep : public CallTransport, public ::testing::WithParamInterface<int64_t> {};

// Calls in flight and queued alike expire 10 s after queueing, whatever the
// system clock does meanwhile.
TEST_P(CallWallClockStep, ChangesNoCallTimeout) {
    server.set_call_script("m", CallScript::silent());
    nuvra_test::ClockHold hold;
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_config_call_concurrent = 1;
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("in_flight"), false);
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("queued"), false);
        mynet::test_wall_clock_step(GetParam());
        mynet::test_clock_advance(10000);
        e.m_main_slot.check_timeout();
        EXPECT_EQ(out.size(), 0u);
        mynet::test_clock_advance(1);
        e.m_main_slot.check_timeout();
        mynet::test_wall_clock_step(-GetParam());
    });
    EXPECT_EQ(out.tags(), (std::vector<string>{"in_flight", "queued"}));
}

INSTANTIATE_TEST_SUITE_P(HourSteps, CallWallClockStep, ::testing::Values(-3600000, 3600000),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                             return std::string(info.param < 0 ? "Back" : "Forward");
                         });

struct ModeOneTimeout {
    int timeout;
    int64_t advance;
    bool expires;
};

// Without it the test names would carry the struct's padding bytes.
void PrintTo(const ModeOneTimeout& c, std::ostream* os) {
    *os << "timeout " << c.timeout << " advance " << c.advance;
}

class CallModeOneTimeout : public CallTransport, public ::testing::WithParamInterface<ModeOneTimeout> {};

TEST_P(CallModeOneTimeout, UsesTheServerTimeout) {
    server.set_call_script("m", CallScript::silent());
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_config_call_mode = 1;
        e.m_config_call_timeout = GetParam().timeout;
        e.call_api(0, "m", Json::Value(Json::objectValue), out.make("x"), false);
        mynet::test_clock_advance(GetParam().advance);
        e.m_main_slot.check_timeout();
        EXPECT_EQ(out.size(), GetParam().expires ? 1u : 0u);
        e.m_main_slot.fail_all_call();
    });
}

INSTANTIATE_TEST_SUITE_P(Limits, CallModeOneTimeout,
                         ::testing::Values(ModeOneTimeout{60000, 59900, false}, ModeOneTimeout{60000, 60001, true},
                                           ModeOneTimeout{0, 1, true}, ModeOneTimeout{-1, 86400000, false}));

// 50000 calls expiring at one check complete in order without deepening
// the stack per call.
TEST_F(CallTransport, ManyCallsExpiringTogether) {
    constexpr int kCalls = 50000;
    std::vector<int> order;
    line.on_loop([&](InterfaceLinkD& e, Info&) {
        e.m_tcp_connected = false;
        for (int i = 0; i < kCalls; ++i)
            e.call_api(0, "m", Json::Value(Json::objectValue),
                       [&order, i](int result, const string&, const Json::Value&) {
                           if (result == -2) order.push_back(i);
                       },
                       false);
        mynet::test_clock_advance(10001);
        e.m_main_slot.check_timeout();
        EXPECT_TRUE(e.m_main_slot.calls.empty());
    });
    ASSERT_EQ(order.size(), static_cast<size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) ASSERT_EQ(order[i], i);
}

// Answering the calls in flight costs the same whatever waits in the queue
// behind them (the line is down for the queued ones, so none is sent).
constexpr int kInFlight = 2000;

TEST_F(CallTransport, AnswersDoNotWalkTheQueue) {
    server.set_call_script("m", CallScript::silent());
    auto answer_cpu_ms = [this](int queued) {
        double spent = 0;
        line.on_loop([&](InterfaceLinkD& e, Info&) {
            int results = 0;
            ApiCallResult count = [&results](int, const string&, const Json::Value&) { ++results; };
            e.m_config_call_concurrent = kInFlight;
            std::vector<REQ_ID> ids;
            for (int i = 0; i < kInFlight; ++i) ids.push_back(e.call_api(0, "m", Json::Value(), count, false));
            e.m_tcp_connected = false;
            for (int i = 0; i < queued; ++i) e.call_api(0, "m", Json::Value(), count, false);
            ASSERT_EQ(e.m_main_slot.calls_calling.size(), static_cast<size_t>(kInFlight));
            log.clear();
            const double start = nuvra_test::thread_cpu_ms();
            for (REQ_ID id : ids) e.m_main_slot.process_tcp_call_res(id, "{\"result\":\"ok\"}", "");
            spent = nuvra_test::thread_cpu_ms() - start;
            EXPECT_EQ(results, kInFlight);
            e.m_main_slot.clear();
            EXPECT_EQ(results, kInFlight + queued);
            e.m_tcp_connected = true;
        });
        return spent;
    };
    answer_cpu_ms(0);  // warms the allocator up
    const double shallow = answer_cpu_ms(0);
    const double deep = answer_cpu_ms(10000);
    EXPECT_LT(deep, 3 * shallow + 5) << "shallow queue " << shallow << " ms";
}

// ------------------------------------------------------------ re-entry

TEST_F(CallTransport, ResultFunctionThatCallsAgainGetsOneResultForBoth) {
    std::vector<string> seen;
    line.on_loop([&](InterfaceLinkD& e, Info&) {
        InterfaceLinkD* engine = &e;
        e.call_api(0, "outer", Json::Value(Json::objectValue),
                   [&seen, engine, this](int result, const string&, const Json::Value&) {
                       seen.push_back("outer " + std::to_string(result));
                       engine->call_api(0, "inner", Json::Value(Json::objectValue), out.make("inner"), false);
                       EXPECT_EQ(engine->m_main_slot.calls.size(), 1u) << "sent only after this completion";
                       EXPECT_TRUE(engine->m_main_slot.m_queue_guard.held());
                   },
                   false);
    });
    ASSERT_TRUE(out.wait_for(1));
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_FALSE(e.m_main_slot.m_queue_guard.held());
        EXPECT_TRUE(e.m_main_slot.calls.empty());
        EXPECT_TRUE(e.m_main_slot.calls_calling.empty());
    });
    EXPECT_EQ(seen, (std::vector<string>{"outer 0"}));
    EXPECT_EQ(out.tags(), (std::vector<string>{"inner"}));
    EXPECT_EQ(server.count("call inner 2 0 {}"), 1u);
}

// A result function that re-enters the transport through each of its entry
// points: whatever it ends inside ends there, once, and whatever it leaves
// to the queue (sends, expiries) happens right after the completion returns.
// Call 1 is answered by hand; 2 and 3 are in flight and silent, 4 waits.
TEST_F(CallTransport, ResultFunctionReenteringEachEntryPoint) {
    using Reenter = void (*)(InterfaceLinkD& e, uint32_t first_id);
    struct Case {
        const char* name;
        Reenter reenter;
        std::vector<string> ended_inside;  // besides the outer call
        std::vector<string> ended_after;
        std::vector<uint32_t> sent_after;  // calls in flight once all is done
    };
    const Case cases[] = {
        {"answers another call",
         [](InterfaceLinkD& e, uint32_t first) {
             e.m_main_slot.process_tcp_call_res(first + 1, "{\"result\":\"ok\"}", "");
         },
         {"c2"},
         {},
         {3, 4}},
        {"clears the queue", [](InterfaceLinkD& e, uint32_t) { e.m_main_slot.clear(); }, {"c4"}, {}, {2, 3}},
        {"fails every call",
         [](InterfaceLinkD& e, uint32_t) { e.m_main_slot.fail_all_call(); },
         {"c2", "c3", "c4"},
         {},
         {}},
        // Last: the clock moved past every time-out stays moved.
        {"finds every call expired",
         [](InterfaceLinkD& e, uint32_t) {
             mynet::test_clock_advance(10001);
             e.m_main_slot.check_timeout();
             e.m_main_slot.do_call();
         },
         {},
         {"c2", "c3", "c4"},
         {}},
    };
    server.set_call_script("m", CallScript::silent());
    uint32_t first_id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcomes results;
        std::vector<string> inside;
        line.on_loop([&](InterfaceLinkD& e, Info&) {
            e.m_config_call_concurrent = 3;
            InterfaceLinkD* engine = &e;
            first_id = e.call_api(0, "m", Json::Value(Json::objectValue),
                                  [&, engine](int result, const string& reason, const Json::Value& resp) {
                                      results.make("c1")(result, reason, resp);
                                      c.reenter(*engine, first_id);
                                      EXPECT_TRUE(engine->m_main_slot.m_queue_guard.held());
                                      inside = results.tags();
                                  },
                                  false);
            for (int i = 2; i <= 4; ++i)
                e.call_api(0, "m", Json::Value(Json::objectValue), results.make("c" + std::to_string(i)), false);
            ASSERT_EQ(ids_of(e.m_main_slot.calls), (std::vector<uint32_t>{first_id + 3}));
            e.m_main_slot.process_tcp_call_res(first_id, "{\"result\":\"ok\"}", "");
            EXPECT_FALSE(e.m_main_slot.m_queue_guard.held());
            // The ids of this round, counted from 1 like the table's.
            std::vector<uint32_t> sent;
            for (uint32_t id : ids_of(e.m_main_slot.calls_calling)) sent.push_back(id - first_id + 1);
            EXPECT_EQ(sent, c.sent_after);
            EXPECT_TRUE(e.m_main_slot.calls.empty());
            EXPECT_EQ(e.m_main_slot.n_call_tcp, static_cast<int>(c.sent_after.size()));
            e.m_tcp_connected = false;
            e.m_main_slot.fail_all_call();
            e.m_tcp_connected = true;
        });
        std::vector<string> expected_inside{"c1"};
        expected_inside.insert(expected_inside.end(), c.ended_inside.begin(), c.ended_inside.end());
        EXPECT_EQ(inside, expected_inside);
        std::vector<string> expected_after = expected_inside;
        expected_after.insert(expected_after.end(), c.ended_after.begin(), c.ended_after.end());
        std::vector<string> tags = results.tags();
        ASSERT_GE(tags.size(), expected_after.size());
        EXPECT_EQ(std::vector<string>(tags.begin(), tags.begin() + expected_after.size()), expected_after);
        // Every call ended exactly once, the last ones by the clean-up above.
        std::vector<string> sorted = tags;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::vector<string>{"c1", "c2", "c3", "c4"}));
    }
}

// ------------------------------------------------------------ failing calls

TEST_F(CallTransport, FailAllEndsEveryCallOnceInFlightFirst) {
    server.set_call_script("m", CallScript::silent());
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_config_call_mode = 1;
        e.m_config_call_concurrent = 3;
        for (int i = 1; i <= 5; ++i)
            e.call_api(0, "m", Json::Value(Json::objectValue), out.make("c" + std::to_string(i)), false);
        e.m_tcp_connected = false;
        e.m_main_slot.fail_all_call();
        EXPECT_EQ(e.m_main_slot.n_call_tcp, 0);
        EXPECT_TRUE(e.m_main_slot.calls.empty());
        EXPECT_TRUE(e.m_main_slot.calls_calling.empty());
        e.m_main_slot.fail_all_call();
    });
    EXPECT_EQ(out.tags(), (std::vector<string>{"c1", "c2", "c3", "c4", "c5"}));
    for (const Outcome& o : out.all()) {
        EXPECT_EQ(o.result, -2);
        EXPECT_EQ(o.reason, "time out");
    }
}

// The session end fails every call from inside a running completion: each
// call still ends once, the running completion keeps its guard (a call made
// after it waits for the completion's end), and the queue moves afterwards.
TEST_F(CallTransport, FailAllInsideACompletion) {
    server.set_call_script("m", CallScript::silent());
    server.queue_call_script("m", CallScript::failed("kick"));
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        InterfaceLinkD* engine = &e;
        e.m_config_call_mode = 1;
        e.m_config_call_concurrent = 2;
        e.call_api(0, "m", Json::Value(Json::objectValue),
                   [this, engine](int result, const string& reason, const Json::Value& resp) {
                       out.make("kicked")(result, reason, resp);
                       engine->m_main_slot.fail_all_call();
                       EXPECT_TRUE(engine->m_main_slot.m_queue_guard.held());
                       engine->call_api(0, "m", Json::Value(Json::objectValue), out.make("after"), false);
                       EXPECT_EQ(ids_of(engine->m_main_slot.calls), (std::vector<uint32_t>{5}));
                   },
                   false);
        for (int i = 2; i <= 4; ++i)
            e.call_api(0, "m", Json::Value(Json::objectValue), out.make("c" + std::to_string(i)), false);
    });
    ASSERT_TRUE(out.wait_for(4));
    ASSERT_TRUE(server.wait_for("call m 5 ", kWaitMs).has_value());
    EXPECT_EQ(out.tags(), (std::vector<string>{"kicked", "c2", "c3", "c4"}));
    EXPECT_EQ(out.all()[0].reason, "kick");
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_FALSE(e.m_main_slot.m_queue_guard.held());
        EXPECT_EQ(ids_of(e.m_main_slot.calls_calling), (std::vector<uint32_t>{5}));
        EXPECT_EQ(e.m_main_slot.n_call_tcp, 1);
    });
}

TEST_F(CallTransport, ClearFailsQueuedCallsOnly) {
    server.set_call_script("m", CallScript::silent());
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_config_call_concurrent = 1;
        for (int i = 1; i <= 3; ++i)
            e.call_api(0, "m", Json::Value(Json::objectValue), out.make("c" + std::to_string(i)), false);
        e.m_tcp_connected = false;
        e.m_main_slot.clear();
        EXPECT_EQ(ids_of(e.m_main_slot.calls_calling), (std::vector<uint32_t>{1}));
        EXPECT_TRUE(e.m_main_slot.calls.empty());
    });
    EXPECT_EQ(out.tags(), (std::vector<string>{"c2", "c3"}));
    EXPECT_EQ(out.all()[0].reason, "time out");
}

TEST_F(CallTransport, ResendWritesCallsInFlightAgain) {
    server.set_call_script("m", CallScript::silent());
    call("m", object({{"k", "v"}}), "resent");
    const auto first = server.wait_for_call("m", kWaitMs);
    ASSERT_TRUE(first.has_value());
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_main_slot.resend_call(); });
    ASSERT_TRUE(server.wait_for_call("m", kWaitMs, first->frame.index + 1).has_value());
    const auto calls = received_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].frame.text, "call m 1 0 {\"k\":\"v\"}");
    EXPECT_EQ(calls[1].frame.text, calls[0].frame.text);
    line.on_loop([](InterfaceLinkD& e, Info&) { EXPECT_EQ(e.m_main_slot.n_call_tcp, 1); });
}

TEST_F(CallTransport, OtherSlotUsesAnIdAndEndsLater) {
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        EXPECT_EQ(e.call_api(1, "m", Json::Value(Json::objectValue), out.make("slot1"), false), 0u);
        EXPECT_EQ(out.size(), 0u) << "never inside call_api";
    });
    ASSERT_TRUE(out.wait_for(1));
    EXPECT_EQ(out.all()[0].result, -2);
    EXPECT_EQ(call("m", Json::Value(Json::objectValue), "next"), 2u);
    ASSERT_TRUE(out.wait_for(2));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(server.count("call "), 1u);
}

TEST_F(CallTransport, RefusalsThatEndTheSession) {
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_EQ(e.end_session_for_reason("kick"), nuvra_sdk::LOGOUT_E_KICKED);
        EXPECT_EQ(e.end_session_for_reason("TokenErrorExpired"), nuvra_sdk::LOGOUT_E_TOKENEXPIRED);
        EXPECT_EQ(e.end_session_for_reason("wrong line"), nuvra_sdk::LOGOUT_E_OTHER);
        EXPECT_EQ(e.end_session_for_reason("kick "), 0);
        EXPECT_EQ(e.end_session_for_reason("TokenError"), 0);
        EXPECT_EQ(e.end_session_for_reason("wrong_line"), 0);
        EXPECT_EQ(e.end_session_for_reason(""), 0);
    });
}

// ------------------------------------------------------------ telemetry

std::vector<Json::Value> call_ends(InterfaceLinkD& e) {
    std::vector<Json::Value> ends;
    for (const Reporter2::Queued& q : e.rp.reports)
        if (Json::Value body = q.body(); body["type"] == "call" && body["cmd"] == "end") ends.push_back(body);
    return ends;
}

TEST_F(CallTransport, CallRecordsOfTheTwoMethods) {
    server.set_call_script("user_sendmsg", CallScript::ok(object({{"msgid", 42}})));
    server.set_call_script("user_ext_call", CallScript::failed("busy"));
    server.set_call_script("channel_join", CallScript::ok());
    // Keys carry the millisecond: two records opened in the same one would share it.
    call("user_sendmsg", Json::Value(Json::objectValue), "send");
    mynet::test_clock_advance(2);
    call("user_ext_call", Json::Value(Json::objectValue), "ext");
    call("channel_join", Json::Value(Json::objectValue), "join");
    ASSERT_TRUE(out.wait_for(3));
    // Within a session the uid names them, 0 too.
    line.on_loop([this](InterfaceLinkD& e, Info&) {
        e.m_line = "L1";
        e.m_time_poll_last = mynet::mono_time_ms();
        for (uint32_t uid : {77u, 0u}) {
            e.m_uid = uid;
            e.call_api(0, "user_ext_call", Json::Value(Json::objectValue), out.make("timeout"), false);
        }
        e.m_main_slot.fail_all_call();
    });

    line.on_loop([](InterfaceLinkD& e, Info&) {
        const auto ends = call_ends(e);
        ASSERT_EQ(ends.size(), 4u) << "channel_join opens no record";
        EXPECT_EQ(ends[0]["result"], "success");
        EXPECT_EQ(ends[0]["isok"], true);
        EXPECT_EQ(ends[0]["param_start"], object({{"method", "user_sendmsg"}}));
        EXPECT_EQ(ends[0]["param_end"], object({{"callip", "127.0.0.1"}, {"msgid", "42"}, {"way", 2}}));
        EXPECT_TRUE(pystring::startswith(ends[0]["key"].asString(), "unknown_device_id"));

        EXPECT_EQ(ends[1]["result"], "failed");
        EXPECT_EQ(ends[1]["param_end"], object({{"callip", "127.0.0.1"}, {"error", "busy"}, {"way", 2}}));

        EXPECT_EQ(ends[2]["result"], "timeout");
        EXPECT_EQ(ends[2]["isok"], false);
        EXPECT_EQ(ends[2]["param_end"], object({{"callip", ""}, {"error", "time out"}, {"way", 0}}));
        for (const auto& [end, uid] : {std::pair<Json::Value, string>{ends[2], "77"}, {ends[3], "0"}}) {
            const string key = end["key"].asString();
            EXPECT_TRUE(pystring::startswith(key, uid)) << key;
            EXPECT_EQ(key.find_first_not_of("0123456789"), string::npos) << key;
        }
        EXPECT_TRUE(e.rp.ts.empty()) << "every record was ended";
    });
}

}  // namespace
