#include <gtest/gtest.h>
#include <pystring/pystring.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "peers/discovery_service.h"
#include "peers/line_server.h"
#include "support/engine_fixture.h"
#include "support/line_fixture.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"
#include "support/own_address.h"
#include "support/parsed_json.h"
#include "zlib_helpers.h"

namespace {

using nuvra_test::CallScript;
using nuvra_test::LineFixture;
using nuvra_test::LineServer;
using nuvra_test::parsed;
using nuvra_test::ReceivedCall;
using std::string;
using Info = LineFixture::Info;

constexpr int kWaitMs = 3000;
// For tens of thousands of pushed messages.
constexpr int kLongWaitMs = 30000;

// The dispatcher's part for call answers ("call_ret <method> <id> <x>
// <json>"), and the dispatcher itself for the server's pushes.
void route_line(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const string& msg) {
    if (info.state != InterfaceLinkD::CONN_STATE_LOGINED) return;
    if (pystring::startswith(msg, "notify ")) {
        engine.process_conn_msg(info.connid, info.conn, info.shared_from_this(), msg);
        return;
    }
    if (!pystring::startswith(msg, "call_ret ")) return;
    std::vector<string> f;
    pystring::split(msg, f, " ", 4);
    f.resize(5);
    engine.m_main_slot.process_tcp_call_res(static_cast<uint32_t>(std::atoi(f[2].c_str())), f[4], "");
}

string app(const string& word) { return "msg bob x y appmsg " + word; }
string app_v3(const string& id, const string& word) { return "msg-v3 " + id + " bob x y appmsg z " + word; }

// An engine logged in on a line to the test line server, polled last just
// now, so that nothing polls until a test asks for it.
class Polling : public nuvra_test::EngineFixture {
protected:

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        line.on_message = route_line;
        ASSERT_TRUE(line.connect(server.port()));
        ASSERT_TRUE(line.wait_on_loop(
            [](InterfaceLinkD& e, Info& info) { return e.m_tcp_connected && info && info->last_pong_recv_time != 0; },
            kWaitMs));
        line.on_loop([](InterfaceLinkD& e, Info&) {
            e.m_uid = 7;
            e.m_line = "L1";
            e.m_time_poll_last = mynet::mono_time_ms();
        });
    }

    void id_mode() {
        line.on_loop([](InterfaceLinkD& e, Info&) { e.m_config_msg_set = 1; });
    }
    void schedule_poll() {
        line.on_loop([](InterfaceLinkD& e, Info&) { e.schedule_poll(); });
    }
    void note(const string& id) {
        line.on_loop([&](InterfaceLinkD& e, Info&) { e.note_msg_wait_clear(id); });
    }
    // The n-th poll (from 1) of method, waiting for it.
    std::optional<ReceivedCall> poll(const string& method, size_t n) {
        size_t from = 0;
        std::optional<ReceivedCall> call;
        for (size_t i = 0; i < n; ++i) {
            call = server.wait_for_call(method, kWaitMs, from);
            if (!call) return call;
            from = call->frame.index + 1;
        }
        return call;
    }
    bool idle_after(uint64_t polls) {
        return line.wait_on_loop(
            [polls](InterfaceLinkD& e, Info&) { return !e.m_is_polling && e.m_poll_seq == polls; }, kWaitMs);
    }
    std::vector<string> wait_clear() {
        std::vector<string> ids;
        line.on_loop([&](InterfaceLinkD& e, Info&) { ids = e.m_msgs_wait_clear.ids(); });
        return ids;
    }
    std::vector<string> events() const { return cb.events(); }
    // A message with an id, pushed on the line.
    void push(const string& id, const string& word) {
        server.push_text(nuvra_test::kLastConn, "notify recvmsg_by_msgid " + app_v3(id, word));
    }

    nuvra_test::LogCapture log;
    LineServer server;
    LineFixture line{engine.get()};
};

// ------------------------------------------------------------ version mode

TEST_F(Polling, VersionModeTakesOnlyNewerVersionsAndAcknowledgesThemLater) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_ver_clear = 10; });
    server.queue_call_script("user_getmsg", CallScript::ok(parsed(
        R"({"ver_clear":12,"msgs":[[11,")" + app("a") + R"("],[13,")" + app("b") + R"("],[12,")" + app("c") + R"("]]})")));
    server.queue_call_script("user_getmsg", CallScript::ok(parsed(R"({"ver_clear":13,"msgs":[]})")));
    schedule_poll();

    auto first = poll("user_getmsg", 1);
    ASSERT_TRUE(first);
    EXPECT_EQ(JSON2STRING(first->request), "{\"line\":\"L1\",\"max\":30,\"ver_clear\":10}");
    ASSERT_TRUE(line.wait_on_loop([](InterfaceLinkD& e, Info&) { return !e.m_is_polling; }, kWaitMs));
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_EQ(e.m_ver_clear, 13u);
        EXPECT_EQ(e.m_ver_acked, 12u);
        EXPECT_NE(e.m_time_poll_ack, 0u);
    });
    EXPECT_EQ(events(), std::vector<string>{"onMessageAppReceived|b"});

    auto ack = poll("user_getmsg", 2);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->request["ver_clear"].asUInt(), 13u);
    EXPECT_GE(ack->frame.time_ms - first->frame.time_ms, 450) << "the acknowledgement waits about 500 ms";
    ASSERT_TRUE(idle_after(2));
    line.on_loop([](InterfaceLinkD& e, Info&) { EXPECT_EQ(e.m_ver_acked, 13u); });
    EXPECT_FALSE(server.wait_for_call("user_getmsg", 700, ack->frame.index + 1)) << "nothing more is owed";
}

TEST_F(Polling, VersionTestWrapsAtThirtyTwoBits) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_ver_clear = 4294967295u; });
    server.queue_call_script("user_getmsg", CallScript::ok(parsed(
        R"({"ver_clear":4294967295,"msgs":[[0,")" + app("zero") + R"("],[0,")" + app("again") + R"("]]})")));
    schedule_poll();
    ASSERT_TRUE(idle_after(1));
    EXPECT_EQ(events(), std::vector<string>{"onMessageAppReceived|zero"});
}

// ------------------------------------------------------------ polling again at once

struct RepollCase {
    const char* name;
    int msg_set;
    int count;
    bool again;
};

std::ostream& operator<<(std::ostream& os, const RepollCase& c) { return os << c.name; }

class Repoll : public Polling, public ::testing::WithParamInterface<RepollCase> {};

// The messages are all old (version mode) or carry no id (id mode), so no
// acknowledgement poll follows: only a full answer polls again.
TEST_P(Repoll, OnlyAFullAnswerPollsAgainAtOnce) {
    const RepollCase& c = GetParam();
    const string method = c.msg_set == 0 ? "user_getmsg" : "user_getmsg2";
    Json::Value answer(Json::objectValue);
    answer["ver_clear"] = 100;
    Json::Value& msgs = answer["msgs"];
    for (int i = 0; i < c.count; ++i) {
        if (c.msg_set == 0) {
            Json::Value m(Json::arrayValue);
            m.append(i + 1);
            m.append(app("old"));
            msgs.append(m);
        } else {
            msgs.append(app("w" + std::to_string(i)));
        }
    }
    line.on_loop([&](InterfaceLinkD& e, Info&) { e.m_config_msg_set = c.msg_set; });
    server.queue_call_script(method, CallScript::ok(answer));
    server.queue_call_script(method, CallScript::ok(parsed(R"({"ver_clear":100,"msgs":[]})")));
    schedule_poll();
    ASSERT_TRUE(idle_after(c.again ? 2 : 1));
    EXPECT_FALSE(server.wait_for_call(method, 300, poll(method, c.again ? 2 : 1)->frame.index + 1));
    EXPECT_EQ(server.count("call " + method + " "), c.again ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Counts, Repoll,
                         ::testing::Values(RepollCase{"version_30", 0, 30, true}, RepollCase{"version_31", 0, 31, false},
                                           RepollCase{"version_29", 0, 29, false}, RepollCase{"id_29", 1, 29, false},
                                           RepollCase{"id_30", 1, 30, true}, RepollCase{"id_31", 1, 31, true}),
                         [](const ::testing::TestParamInfo<RepollCase>& info) { return string(info.param.name); });

// ------------------------------------------------------------ message-id mode

TEST_F(Polling, IdModeSendsNullFirstThenTheIdsInByteOrder) {
    id_mode();
    server.queue_call_script("user_getmsg2", CallScript::ok(parsed(
        R"({"msgs":[")" + app_v3("b", "B") + R"(",")" + app_v3("a", "A") + R"(",")" + app_v3("C", "c") + R"("]})")));
    schedule_poll();
    auto first = poll("user_getmsg2", 1);
    ASSERT_TRUE(first);
    EXPECT_EQ(JSON2STRING(first->request), "{\"clear_msgs\":null,\"line\":\"L1\",\"max\":30}");
    auto ack = poll("user_getmsg2", 2);
    ASSERT_TRUE(ack);
    EXPECT_EQ(JSON2STRING(ack->request["clear_msgs"]), "[\"C\",\"a\",\"b\"]");
    EXPECT_EQ(events(), (std::vector<string>{"onMessageAppReceived|B", "onMessageAppReceived|A",
                                             "onMessageAppReceived|c"}));
    ASSERT_TRUE(idle_after(2));
    EXPECT_TRUE(wait_clear().empty());
    schedule_poll();
    auto third = poll("user_getmsg2", 3);
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->request["clear_msgs"].isNull());
}

TEST_F(Polling, IdNotedWhileAPollIsInFlightIsAcknowledgedByTheNext) {
    id_mode();
    note("old");
    CallScript slow = CallScript::ok(parsed(R"({"msgs":[]})"));
    slow.delay_ms = 300;
    server.queue_call_script("user_getmsg2", slow);
    schedule_poll();
    auto first = poll("user_getmsg2", 1);
    ASSERT_TRUE(first);
    EXPECT_EQ(JSON2STRING(first->request["clear_msgs"]), "[\"old\"]");
    note("pushed");
    ASSERT_TRUE(idle_after(1));
    EXPECT_EQ(wait_clear(), std::vector<string>{"pushed"}) << "only what the request carried is cleared";

    auto ack = poll("user_getmsg2", 2);
    ASSERT_TRUE(ack) << "the acknowledgement poll is armed for the ids that stay";
    EXPECT_EQ(JSON2STRING(ack->request["clear_msgs"]), "[\"pushed\"]");
    ASSERT_TRUE(idle_after(2));
    EXPECT_TRUE(wait_clear().empty());
}

TEST_F(Polling, DuplicateIsAcknowledgedButHandledOnceUntilItsIdExpires) {
    id_mode();
    const Json::Value with_d1 = parsed(R"({"msgs":[")" + app_v3("d1", "hello") + R"("]})");
    server.queue_call_script("user_getmsg2", CallScript::ok(with_d1));
    server.queue_call_script("user_getmsg2", CallScript::ok(with_d1));
    server.set_call_script("user_getmsg2", CallScript::ok(parsed(R"({"msgs":[]})")));
    schedule_poll();
    // The first answer takes d1; the acknowledgement poll gets it again as a
    // duplicate; the one after that acknowledges it and gets nothing.
    auto third = poll("user_getmsg2", 3);
    ASSERT_TRUE(third);
    EXPECT_EQ(JSON2STRING(poll("user_getmsg2", 2)->request["clear_msgs"]), "[\"d1\"]");
    EXPECT_EQ(JSON2STRING(third->request["clear_msgs"]), "[\"d1\"]") << "a duplicate is acknowledged too";
    ASSERT_TRUE(idle_after(3));
    EXPECT_EQ(events(), std::vector<string>{"onMessageAppReceived|hello"});

    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_TRUE(e.msgIDBuf.known("d1"));
        mynet::test_clock_advance(e.m_config_msgid_cache_time);
    });
    ASSERT_TRUE(log.wait_for(" : del msgid d1", kWaitMs));
    server.queue_call_script("user_getmsg2", CallScript::ok(with_d1));
    schedule_poll();
    ASSERT_TRUE(cb.wait_for("onMessageAppReceived", kWaitMs));
    ASSERT_TRUE(idle_after(4));
    EXPECT_EQ(events(), (std::vector<string>{"onMessageAppReceived|hello", "onMessageAppReceived|hello"}));
}

TEST_F(Polling, EmptyMessageIdIsNeitherAcknowledgedNorCached) {
    id_mode();
    server.queue_call_script("user_getmsg2", CallScript::ok(parsed(
        R"({"msgs":[")" + app("plain") + R"(",")" + app_v3("", "noid") + R"(",7,")" + app("plain") + R"("]})")));
    schedule_poll();
    ASSERT_TRUE(idle_after(1));
    EXPECT_EQ(events(), (std::vector<string>{"onMessageAppReceived|plain", "onMessageAppReceived|noid",
                                             "onMessageAppReceived|plain"}));
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_TRUE(e.m_msgs_wait_clear.empty());
        EXPECT_EQ(e.msgIDBuf.size(), 0u);
    });
}

// ------------------------------------------------------------ acknowledgements within one frame

// 36 bytes, the length of the ids servers commonly give.
string uuid_like(int i) {
    char text[40];
    std::snprintf(text, sizeof text, "%08d-0000-4000-8000-%012d", i, i);
    return text;
}

// Refuses polls while failing is set; otherwise answers them and records
// the ids they acknowledge. Notes the longest poll text it was sent.
struct AckingServer {
    explicit AckingServer(LineServer& server) {
        server.on_text("call user_getmsg2 ", [this](const nuvra_test::Received& r) {
            std::optional<ReceivedCall> call = nuvra_test::parse_call(r);
            std::lock_guard<std::mutex> lock(mu);
            longest = std::max(longest, r.text.size());
            if (!call) return nuvra_test::Steps{};
            if (failing) return CallScript::failed("busy").steps(*call);
            ++answered;
            for (const Json::Value& id : call->request["clear_msgs"]) ++acked[id.asString()];
            return CallScript::ok().steps(*call);
        });
    }
    size_t times_acked(const string& id) {
        std::lock_guard<std::mutex> lock(mu);
        auto found = acked.find(id);
        return found == acked.end() ? 0 : found->second;
    }

    std::atomic<bool> failing{true};
    std::mutex mu;
    std::map<string, size_t> acked;
    size_t answered = 0;
    size_t longest = 0;
};

TEST_F(Polling, ThirtyThousandIdsNotedWhilePollsFailAreEachAcknowledgedOnce) {
    id_mode();
    AckingServer acks(server);
    std::vector<string> ids;
    for (int i = 0; i < 30000; ++i) ids.push_back(uuid_like(i));
    for (const string& id : ids) push(id, "w");
    ASSERT_TRUE(line.wait_on_loop(
        [](InterfaceLinkD& e, Info&) {
            return e.m_msgs_wait_clear.size() == 30000 && !e.m_is_polling && e.m_time_poll_ack == 0;
        },
        kLongWaitMs));

    acks.failing = false;
    push("last", "last");
    ids.push_back("last");
    auto all_acknowledged = [](InterfaceLinkD& e, Info&) { return e.m_msgs_wait_clear.empty() && !e.m_is_polling; };
    ASSERT_TRUE(line.wait_on_loop(all_acknowledged, kLongWaitMs))
        << "the ids that do not fit one request follow with the next";
    {
        std::lock_guard<std::mutex> lock(acks.mu);
        EXPECT_GE(acks.answered, 2u);
        EXPECT_EQ(acks.acked.size(), ids.size());
        size_t not_once = 0;
        for (const string& id : ids) not_once += acks.acked.count(id) == 0 || acks.acked[id] != 1;
        EXPECT_EQ(not_once, 0u);
        EXPECT_LE(acks.longest, kZlibCompressMaxInput);
    }
    EXPECT_FALSE(log.contains(" send error : ")) << "no request over the frame limit is attempted";

    push("after", "after");
    ASSERT_TRUE(server.wait_for("[\"after\"]", kWaitMs, nuvra_test::Match::SUBSTRING)) << "polling goes on";
}

struct TooLongCase {
    const char* name;
    string id;
};

std::ostream& operator<<(std::ostream& os, const TooLongCase& c) { return os << c.name; }

class TooLongId : public Polling, public ::testing::WithParamInterface<TooLongCase> {};

// The id's message is still taken once, and its id cached against a resend.
TEST_P(TooLongId, IsDroppedWithALogLineAndPollingGoesOn) {
    const string& huge = GetParam().id;
    id_mode();
    push(huge, "huge");
    push("small", "small");
    auto first = poll("user_getmsg2", 1);
    ASSERT_TRUE(first);
    EXPECT_EQ(JSON2STRING(first->request["clear_msgs"]), "[\"small\"]");
    EXPECT_TRUE(log.contains(" : msgid too long to clear (" + std::to_string(huge.size()) + " bytes), drop "));
    ASSERT_TRUE(idle_after(1));
    EXPECT_TRUE(wait_clear().empty());

    push(huge, "again");
    push("next", "next");
    auto second = poll("user_getmsg2", 2);
    ASSERT_TRUE(second);
    EXPECT_EQ(JSON2STRING(second->request["clear_msgs"]), "[\"next\"]");
    ASSERT_TRUE(idle_after(2));
    EXPECT_EQ(events(), (std::vector<string>{"onMessageAppReceived|huge", "onMessageAppReceived|small",
                                             "onMessageAppReceived|next"}));
    EXPECT_FALSE(log.contains(" send error : "));
}

INSTANTIATE_TEST_SUITE_P(Ids, TooLongId,
                         ::testing::Values(TooLongCase{"plain_960000_bytes", string(960000, 'x')},
                                           // Short, but each byte goes out as \u0001.
                                           TooLongCase{"escaped_past_the_frame", string(160000, '\x01')}),
                         [](const ::testing::TestParamInfo<TooLongCase>& info) { return string(info.param.name); });

TEST_F(Polling, HugeIdsAreHeldWithinAFewMebibytes) {
    id_mode();
    server.set_call_script("user_getmsg2", CallScript::failed("busy"));
    const int n = 10;
    for (int i = 0; i < n; ++i) push(string(500000, static_cast<char>('a' + i)), "w" + std::to_string(i));
    ASSERT_TRUE(cb.wait_for("onMessageAppReceived|w" + std::to_string(n - 1), kLongWaitMs));
    const string oldest(500000, 'a');
    const string newest(500000, static_cast<char>('a' + n - 1));
    line.on_loop([&](InterfaceLinkD& e, Info&) {
        EXPECT_LE(e.m_msgs_wait_clear.size() * 500000, 4u * 1024 * 1024);
        EXPECT_LE(e.msgIDBuf.size() * 500000, 4u * 1024 * 1024);
        EXPECT_TRUE(e.m_msgs_wait_clear.contains(newest));
        EXPECT_TRUE(e.msgIDBuf.known(newest));
        EXPECT_FALSE(e.m_msgs_wait_clear.contains(oldest));
        EXPECT_FALSE(e.msgIDBuf.known(oldest));
    });
    EXPECT_TRUE(log.contains(" : msgid clear list full, drop aaaa"));
    EXPECT_TRUE(log.contains(" : msgid cache full, drop aaaa"));
}

// ------------------------------------------------------------ failures and order

TEST_F(Polling, FailedPollKeepsItsIdsAndStampsOnlyTheTime) {
    id_mode();
    note("k1");
    uint64_t before = 0;
    line.on_loop([&](InterfaceLinkD& e, Info&) {
        e.m_last_active_time = 1;
        before = e.m_time_poll_last;
    });
    server.queue_call_script("user_getmsg2", CallScript::failed("busy"));
    schedule_poll();
    ASSERT_TRUE(log.wait_for(" : call_ret 1 -1 busy", kWaitMs));
    line.on_loop([&](InterfaceLinkD& e, Info&) {
        EXPECT_FALSE(e.m_is_polling);
        EXPECT_EQ(e.m_last_active_time, 1u);
        EXPECT_GE(e.m_time_poll_last, before);
        EXPECT_EQ(e.m_time_poll_ack, 0u) << "no retry beyond the triggers";
        EXPECT_EQ(e.m_msgs_wait_clear.ids(), std::vector<string>{"k1"});
    });
    schedule_poll();
    auto next = poll("user_getmsg2", 2);
    ASSERT_TRUE(next);
    EXPECT_EQ(JSON2STRING(next->request["clear_msgs"]), "[\"k1\"]");
}

TEST_F(Polling, PollAskedForWhileOneIsInFlightRunsAfterTheAnswer) {
    CallScript slow = CallScript::ok(parsed(R"({"ver_clear":0,"msgs":[]})"));
    slow.delay_ms = 300;
    server.queue_call_script("user_getmsg", slow);
    schedule_poll();
    schedule_poll();
    schedule_poll();
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_TRUE(e.m_poll_again);
        EXPECT_EQ(e.m_poll_seq, 1u);
    });
    auto second = poll("user_getmsg", 2);
    ASSERT_TRUE(second);
    EXPECT_GE(second->frame.time_ms - poll("user_getmsg", 1)->frame.time_ms, 290);
    ASSERT_TRUE(idle_after(2));
    EXPECT_EQ(server.count("call user_getmsg "), 2u);
}

TEST_F(Polling, AnswerToAnEarlierPollChangesNothing) {
    CallScript old_answer = CallScript::ok(parsed(R"({"ver_clear":5,"msgs":[[6,")" + app("stale") + R"("]]})"));
    old_answer.delay_ms = 200;
    CallScript new_answer = CallScript::ok(parsed(R"({"ver_clear":0,"msgs":[[1,")" + app("fresh") + R"("]]})"));
    new_answer.delay_ms = 400;
    server.queue_call_script("user_getmsg", old_answer);
    server.queue_call_script("user_getmsg", new_answer);
    schedule_poll();
    ASSERT_TRUE(poll("user_getmsg", 1));
    // What a new login does to the poll in flight; the next poll is new.
    line.on_loop([](InterfaceLinkD& e, Info&) {
        e.m_is_polling = false;
        e.m_poll_again = false;
        e.schedule_poll();
    });
    ASSERT_TRUE(log.wait_for(" : ignore poll result 1", kWaitMs));
    line.on_loop([](InterfaceLinkD& e, Info&) {
        EXPECT_TRUE(e.m_is_polling) << "the newer poll is still in flight";
        EXPECT_EQ(e.m_ver_clear, 0u);
        EXPECT_EQ(e.m_ver_acked, 0u);
    });
    ASSERT_TRUE(idle_after(2));
    EXPECT_EQ(events(), std::vector<string>{"onMessageAppReceived|fresh"});
    line.on_loop([](InterfaceLinkD& e, Info&) { EXPECT_EQ(e.m_ver_clear, 1u); });
}

// ------------------------------------------------------------ triggers

TEST_F(Polling, HousekeepingTickPollsOnceAfterLogin) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_time_poll_last = 0; });
    ASSERT_TRUE(poll("user_getmsg", 1));
    ASSERT_TRUE(idle_after(1));
    EXPECT_FALSE(server.wait_for_call("user_getmsg", 500, poll("user_getmsg", 1)->frame.index + 1));
}

TEST_F(Polling, TailKeepsTheFirstDueTime) {
    line.on_loop([](InterfaceLinkD& e, Info&) {
        e.m_time_poll_ack = 0;
        e.schedule_poll_tail();
        const uint64_t due = e.m_time_poll_ack;
        EXPECT_GE(due, mynet::mono_time_ms() + 499);
        mynet::test_clock_advance(200);
        e.schedule_poll_tail();
        EXPECT_EQ(e.m_time_poll_ack, due);
    });
}

struct TriggerCase {
    const char* name;
    // Engine state relative to the tick's time.
    uint32_t uid;
    const char* line;
    bool connected;
    int msg_set;
    int64_t ack_in;  // m_time_poll_ack = now + ack_in; INT64_MIN: not armed
    uint32_t ver_acked;
    uint32_t ver_clear;
    bool waiting_id;
    bool poll_again;
    int64_t last_ago;  // m_time_poll_last = now - last_ago; -1: 0 (just logged in)
    bool push_enable;
    const char* polls;  // method of the poll started, "" for none
};

std::ostream& operator<<(std::ostream& os, const TriggerCase& c) { return os << c.name; }

class Triggers : public Polling, public ::testing::WithParamInterface<TriggerCase> {};

// One run of the trigger step at a chosen time, on the network thread, with
// the quiet state put back in the same turn so no real tick sees the case.
TEST_P(Triggers, StartThePollTheStateCallsFor) {
    const TriggerCase& c = GetParam();
    server.set_call_script("user_getmsg", CallScript::silent());
    server.set_call_script("user_getmsg2", CallScript::silent());
    string started;
    line.on_loop([&](InterfaceLinkD& e, Info&) {
        const uint64_t now = mynet::mono_time_ms() + 1000000;
        e.m_uid = c.uid;
        e.m_line = c.line;
        e.m_tcp_connected = c.connected;
        e.m_config_msg_set = c.msg_set;
        e.m_time_poll_ack = c.ack_in == INT64_MIN ? 0 : now + c.ack_in;
        e.m_ver_acked = c.ver_acked;
        e.m_ver_clear = c.ver_clear;
        if (c.waiting_id) e.note_msg_wait_clear("w1");
        e.m_poll_again = c.poll_again;
        e.m_time_poll_last = c.last_ago < 0 ? 0 : now - c.last_ago;
        e.m_push_enable = c.push_enable;
        const uint64_t seq = e.m_poll_seq;
        e.poll_triggers(now);
        if (e.m_poll_seq != seq) {
            const auto& calls = e.m_main_slot.calls.empty() ? e.m_main_slot.calls_calling : e.m_main_slot.calls;
            started = calls.back()->method;
        }
        EXPECT_LE(e.m_poll_seq, seq + 1) << "one poll at most";
        e.m_uid = 7;
        e.m_line = "L1";
        e.m_tcp_connected = true;
        e.m_time_poll_ack = 0;
        e.m_poll_again = false;
        e.m_is_polling = false;
        e.m_time_poll_last = mynet::mono_time_ms();
        e.m_push_enable = false;
    });
    EXPECT_EQ(started, c.polls);
}

constexpr int64_t kNotArmed = INT64_MIN;

INSTANTIATE_TEST_SUITE_P(
    States, Triggers,
    ::testing::Values(
        //          name                          uid line  conn set ack_in   acked clear wait again last_ago push polls
        TriggerCase{"ack_due_version",             7, "L1", true, 0, 0,         3, 4, false, false, 0, false, "user_getmsg"},
        TriggerCase{"ack_overdue",                 7, "L1", true, 0, -5000,     3, 4, false, false, 0, false, "user_getmsg"},
        TriggerCase{"ack_not_yet_due",             7, "L1", true, 0, 1,         3, 4, false, false, 0, false, ""},
        TriggerCase{"ack_not_armed",               7, "L1", true, 0, kNotArmed, 3, 4, false, false, 0, false, ""},
        TriggerCase{"ack_nothing_owed",            7, "L1", true, 0, 0,         4, 4, false, false, 0, false, ""},
        TriggerCase{"ack_id_mode",                 7, "L1", true, 1, 0,         0, 0, true, false, 0, false, "user_getmsg2"},
        TriggerCase{"ack_id_mode_nothing_waiting", 7, "L1", true, 1, 0,         3, 4, false, false, 0, false, ""},
        TriggerCase{"ack_set_2_tests_versions",    7, "L1", true, 2, 0,         3, 4, false, false, 0, false, "user_getmsg2"},
        TriggerCase{"ack_set_2_ignores_ids",       7, "L1", true, 2, 0,         4, 4, true, false, 0, false, ""},
        TriggerCase{"ack_line_down",               7, "L1", false, 0, 0,        3, 4, false, false, 0, false, ""},
        TriggerCase{"ack_without_session",         7, "",   true, 0, 0,         3, 4, false, false, 0, false, ""},
        TriggerCase{"deferred_without_session",    0, "",   false, 0, kNotArmed, 0, 0, false, true, 0, false, "user_getmsg"},
        TriggerCase{"periodic_online_due",         7, "L1", true, 0, kNotArmed, 0, 0, false, false, 900000, false, "user_getmsg"},
        TriggerCase{"periodic_online_not_due",     7, "L1", true, 0, kNotArmed, 0, 0, false, false, 899999, false, ""},
        TriggerCase{"periodic_offline_due",        7, "L1", false, 0, kNotArmed, 0, 0, false, false, 3000, false, "user_getmsg"},
        TriggerCase{"periodic_offline_not_due",    7, "L1", false, 0, kNotArmed, 0, 0, false, false, 2999, false, ""},
        TriggerCase{"periodic_offline_push",       7, "L1", false, 0, kNotArmed, 0, 0, false, false, 3000, true, ""},
        TriggerCase{"periodic_after_login",        7, "L1", true, 0, kNotArmed, 0, 0, false, false, -1, false, "user_getmsg"},
        TriggerCase{"periodic_uid_zero",           0, "L1", true, 0, kNotArmed, 0, 0, false, false, -1, false, "user_getmsg"},
        TriggerCase{"ack_uid_zero",                0, "L1", true, 1, 0,         0, 0, true, false, 0, false, "user_getmsg2"},
        TriggerCase{"periodic_after_logout",       7, "",   true, 0, kNotArmed, 0, 0, false, false, -1, false, "",}),
    [](const ::testing::TestParamInfo<TriggerCase>& info) { return string(info.param.name); });

// ------------------------------------------------------------ after a real login

// A session logged in the way an application logs in (discovery, the
// connect step, the dispatcher's login answer) with the uid of the
// parameter, polling in message-id mode.
class PollAfterLogin : public nuvra_test::EngineFixture, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(discovery.ok());
        discovery.answer_ok({{"127.0.0.1", server.port()}});
        Json::Value config(Json::objectValue);
        config["config_msg_set"] = 1;
        server.on_text("login ", nuvra_test::answer({nuvra_test::reply(nuvra_test::login_ok_text(GetParam(), "S1", config))}));
        on_engine([this](InterfaceLinkD& e) {
            e.user_dbg("norpt", "1");
            e.user_dbg("lbss", discovery_ip);
        });
    }
    // A login left unfinished holds the process' queue.
    void TearDown() override {
        EngineFixture::TearDown();
        nuvra_test::run_on_loop([] { nuvra_test::engine_queue().start(); });
    }

    nuvra_test::LogCapture log;
    LineServer server;
    string discovery_ip = nuvra_test::own_loopback_ip();
    nuvra_test::DiscoveryService discovery{discovery_ip};
};

TEST_P(PollAfterLogin, FetchesTheStoredMessagesAndAcknowledgesTheirIds) {
    const uint32_t uid = GetParam();
    server.queue_call_script("user_getmsg2", CallScript::ok(parsed(
        R"({"msgs":[")" + app_v3("s1", "one") + R"(",")" + app_v3("s2", "two") + R"("]})")));
    on_engine([uid](InterfaceLinkD& e) { e.user_login("vid1", "acc", "tok", uid, "dev", 30, 3); });
    ASSERT_TRUE(cb.wait_for("onLoginSuccess|" + std::to_string(uid) + "|", kWaitMs));

    auto first = server.wait_for_call("user_getmsg2", kWaitMs);
    ASSERT_TRUE(first) << "the first tick after login polls";
    EXPECT_EQ(JSON2STRING(first->request), "{\"clear_msgs\":null,\"line\":\"S1\",\"max\":30}");
    ASSERT_TRUE(cb.wait_for("onMessageAppReceived|two", kWaitMs));
    EXPECT_EQ(cb.named("onMessageAppReceived"),
              (std::vector<string>{"onMessageAppReceived|one", "onMessageAppReceived|two"}));

    on_engine([](InterfaceLinkD&) { mynet::test_clock_advance(500); });
    auto ack = server.wait_for_call("user_getmsg2", kWaitMs, first->frame.index + 1);
    ASSERT_TRUE(ack) << "the acknowledgement poll follows";
    EXPECT_EQ(JSON2STRING(ack->request["clear_msgs"]), "[\"s1\",\"s2\"]");
}

INSTANTIATE_TEST_SUITE_P(Uids, PollAfterLogin, ::testing::Values(0u, 7u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) { return "uid_" + std::to_string(info.param); });

}  // namespace
