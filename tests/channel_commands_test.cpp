#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/command_fixture.h"
#include "support/parsed_json.h"

namespace {

using nuvra_test::CallScript;
using nuvra_test::CommandLine;
using nuvra_test::parsed;
using std::string;
using Events = std::vector<string>;
using Command = std::function<void(InterfaceLinkD&)>;

class ChannelCommands : public nuvra_test::CommandFixture {
protected:
    // The current channel as (name, cid, msgid).
    string current_channel() {
        string s;
        line.run([&](InterfaceLinkD& e) {
            s = e.m_channelName + "|" + e.m_cid + "|" + std::to_string(e.m_channel_msgid);
            EXPECT_EQ(e.published_channel_name(), e.m_channelName);
        });
        return s;
    }
    void set_current_channel(const string& name, const string& cid, uint64_t msgid) {
        line.run([&](InterfaceLinkD& e) {
            e.set_channel_name(name);
            e.m_cid = cid;
            e.m_channel_msgid = msgid;
        });
    }
};

// ------------------------------------------------------------ refused while logged out

struct Refusal {
    const char* label;
    Command command;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.label; }

class ChannelRefusals : public ChannelCommands, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ChannelRefusals, ReportTheirEventsSendNothingAndKeepTheChannel) {
    set_current_channel("kept", "c9", 44);
    uint32_t ids_before = 0;
    line.run([&](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        ids_before = e.m_tcp_call_id;
        GetParam().command(e);
    });
    EXPECT_EQ(line.events(), GetParam().events);
    line.run([&](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_tcp_call_id, ids_before);
        EXPECT_TRUE(e.m_main_slot.calls.empty());
    });
    EXPECT_EQ(current_channel(), "kept|c9|44");
}

INSTANTIATE_TEST_SUITE_P(
    All, ChannelRefusals,
    ::testing::Values(
        Refusal{"join", [](InterfaceLinkD& e) { e.user_channel_join("ch"); },
                {"onChannelJoinFailed|ch|1003", "onError|channel_join|1003|channel join when logouted"}},
        Refusal{"leave", [](InterfaceLinkD& e) { e.user_channel_leave("ch"); },
                {"onChannelLeaved|ch|1003", "onError|channel_leave|1003|channel leave when logouted"}},
        Refusal{"isin", [](InterfaceLinkD& e) { e.user_query_channel_user_isin("ch", "bob"); },
                {"onError|channel_query_user_isin|1003|channel query_user_isin when logouted"}},
        Refusal{"num", [](InterfaceLinkD& e) { e.user_channel_query_num("ch", "m1"); },
                {"onChannelQueryUserNumResult|ch|1003|0", "onError|channel_query_num|1003|channel query_num when logouted"}},
        Refusal{"set_attr", [](InterfaceLinkD& e) { e.user_channel_set_attr("ch", "k", "v"); },
                {"onError|channel_set_attr|1003|not login"}},
        Refusal{"del_attr", [](InterfaceLinkD& e) { e.user_channel_del_attr("ch", "k"); },
                {"onError|channel_del_attr|1003|not login"}},
        Refusal{"clear_attr", [](InterfaceLinkD& e) { e.user_channel_clear_attr("ch"); },
                {"onError|channel_clear_attr|1003|not login"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return string(info.param.label); });

// ------------------------------------------------------------ requests and log lines

struct Request {
    const char* label;
    Command command;
    string method;
    string request;
    string log_line;
};

std::ostream& operator<<(std::ostream& os, const Request& r) { return os << r.label; }

class ChannelRequests : public ChannelCommands, public ::testing::WithParamInterface<Request> {};

TEST_P(ChannelRequests, SendTheExactRequestAfterTheirLogLine) {
    line.run([&](InterfaceLinkD& e) { GetParam().command(e); });
    auto call = line.wait_call(GetParam().method);
    ASSERT_TRUE(call);
    EXPECT_EQ(CommandLine::request_text(*call), GetParam().request);
    EXPECT_EQ(line.calls().size(), 1u);
    EXPECT_TRUE(line.log.contains(GetParam().log_line)) << GetParam().log_line;
}

INSTANTIATE_TEST_SUITE_P(
    All, ChannelRequests,
    ::testing::Values(
        Request{"join", [](InterfaceLinkD& e) { e.user_channel_join("c h\"1"); }, "channel_join",
                R"({"line":"L1","name":"c h\"1"})", "usr             user_channel_join c h\"1"},
        Request{"leave_empty", [](InterfaceLinkD& e) { e.user_channel_leave(""); }, "channel_leave",
                R"({"line":"L1","name":""})", "usr             user_channel_leave channelID=\"\""},
        Request{"isin", [](InterfaceLinkD& e) { e.user_query_channel_user_isin("ch", "bob"); },
                "channel_query_user_isin", R"({"account":"bob","line":"L1","name":"ch"})",
                "user_query_channel_user_isin channelID=\"ch\" account=\"bob\""},
        Request{"num", [](InterfaceLinkD& e) { e.user_channel_query_num("ch", "m1"); }, "channel_query_num",
                R"({"line":"L1","name":"ch"})", "user_channel_query_num channelID=\"ch\" msgID=\"m1\""},
        Request{"set_attr", [](InterfaceLinkD& e) { e.user_channel_set_attr("ch", "k", string(150, 'v')); },
                "channel_set_attr", R"({"channel":"ch","line":"L1","name":"k","value":")" + string(150, 'v') + "\"}",
                "user_channel_set_attr channelID=\"ch\" name=\"k\" value=\"" + string(100, 'v') + "\""},
        Request{"del_attr", [](InterfaceLinkD& e) { e.user_channel_del_attr("ch", "k"); }, "channel_del_attr",
                R"({"channel":"ch","line":"L1","name":"k"})", "user_channel_del_attr channelID=\"ch\" name=\"k\""},
        Request{"clear_attr", [](InterfaceLinkD& e) { e.user_channel_clear_attr("ch"); }, "channel_clear_attr",
                R"({"channel":"ch","line":"L1"})", "user_channel_clear_attr channelID=\"ch\" "}),
    [](const ::testing::TestParamInfo<Request>& info) { return string(info.param.label); });

// ------------------------------------------------------------ outcomes of the call

enum class Answer { FAILED, UNKNOWN, TIME_OUT };

struct Outcome {
    const char* label;
    Command command;
    string method;
    Answer answer;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.label; }

class ChannelFailures : public ChannelCommands, public ::testing::WithParamInterface<Outcome> {};

TEST_P(ChannelFailures, ReportTheFailureEventThenOnError) {
    const Outcome& o = GetParam();
    if (o.answer == Answer::TIME_OUT) {
        line.server.set_call_script(o.method, CallScript::silent());
        line.run_and_time_out(o.command);
    } else {
        line.server.set_call_script(o.method, o.answer == Answer::FAILED ? CallScript::failed("no way")
                                                                          : CallScript::unknown("lost"));
        line.run(o.command);
    }
    ASSERT_TRUE(line.wait_events(o.events.size()));
    EXPECT_EQ(line.events(), o.events);
    EXPECT_EQ(current_channel(), "||0") << "a failed join or a leave leaves no current channel";
}

Command join_ch = [](InterfaceLinkD& e) { e.user_channel_join("ch"); };
Command leave_ch = [](InterfaceLinkD& e) { e.user_channel_leave("ch"); };
Command isin_ch = [](InterfaceLinkD& e) { e.user_query_channel_user_isin("ch", "bob"); };
Command num_ch = [](InterfaceLinkD& e) { e.user_channel_query_num("ch", ""); };

INSTANTIATE_TEST_SUITE_P(
    All, ChannelFailures,
    ::testing::Values(
        Outcome{"join_failed", join_ch, "channel_join", Answer::FAILED,
                {"onChannelJoinFailed|ch|300", "onError|channel_join|1001|no way"}},
        Outcome{"join_unknown", join_ch, "channel_join", Answer::UNKNOWN,
                {"onChannelJoinFailed|ch|300", "onError|channel_join|1002|lost"}},
        Outcome{"join_time_out", join_ch, "channel_join", Answer::TIME_OUT,
                {"onChannelJoinFailed|ch|300", "onError|channel_join|1002|time out"}},
        Outcome{"leave_failed", leave_ch, "channel_leave", Answer::FAILED,
                {"onChannelLeaved|ch|602", "onError|channel_leave|1001|no way"}},
        Outcome{"leave_time_out", leave_ch, "channel_leave", Answer::TIME_OUT,
                {"onChannelLeaved|ch|602", "onError|channel_leave|1002|time out"}},
        Outcome{"isin_failed", isin_ch, "channel_query_user_isin", Answer::FAILED,
                {"onChannelQueryUserIsIn|ch|bob|0", "onError|channel_query_user_isin|1001|no way"}},
        Outcome{"num_unknown", num_ch, "channel_query_num", Answer::UNKNOWN,
                {"onChannelQueryUserNumResult|ch|500|0", "onError|channel_query_num|1002|lost"}},
        Outcome{"num_time_out", num_ch, "channel_query_num", Answer::TIME_OUT,
                {"onChannelQueryUserNumResult|ch|500|0", "onError|channel_query_num|1002|time out"}},
        Outcome{"set_attr_failed", [](InterfaceLinkD& e) { e.user_channel_set_attr("ch", "k", "v"); },
                "channel_set_attr", Answer::FAILED, {"onError|channel_set_attr|1001|no way"}},
        Outcome{"del_attr_unknown", [](InterfaceLinkD& e) { e.user_channel_del_attr("ch", "k"); }, "channel_del_attr",
                Answer::UNKNOWN, {"onError|channel_del_attr|1002|lost"}},
        Outcome{"clear_attr_time_out", [](InterfaceLinkD& e) { e.user_channel_clear_attr("ch"); },
                "channel_clear_attr", Answer::TIME_OUT, {"onError|channel_clear_attr|1002|time out"}}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return string(info.param.label); });

TEST_F(ChannelCommands, SuccessfulAnswersReportFromTheRequestNeverFromTheAnswer) {
    Json::Value wrong(Json::objectValue);
    wrong["name"] = "other";
    wrong["account"] = "eve";
    Json::Value isin = wrong;
    isin["isin"] = 1;
    Json::Value num = wrong;
    num["num"] = 12;
    line.server.set_call_script("channel_query_user_isin", CallScript::ok(isin));
    line.server.set_call_script("channel_query_num", CallScript::ok(num));
    line.server.set_call_script("channel_leave", CallScript::ok(wrong));
    line.run([](InterfaceLinkD& e) {
        e.user_query_channel_user_isin("ch", "bob");
        e.user_channel_query_num("ch", "");
        e.user_channel_leave("ch");
        e.user_channel_set_attr("ch", "k", "v");
        e.user_channel_del_attr("ch", "k");
        e.user_channel_clear_attr("ch");
    });
    ASSERT_TRUE(line.wait_events(3));
    ASSERT_TRUE(line.server.wait_for_call("channel_clear_attr", CommandLine::kWaitMs));
    // The attribute commands' answers are back once every call has left the slot.
    ASSERT_TRUE(line.line.wait_on_loop(
        [](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) { return e.m_main_slot.calls_calling.empty(); },
        CommandLine::kWaitMs));
    EXPECT_EQ(line.events(), (Events{"onChannelQueryUserIsIn|ch|bob|1", "onChannelQueryUserNumResult|ch|0|12",
                                     "onChannelLeaved|ch|602"}));
}

// ------------------------------------------------------------ the join's answer

struct JoinAnswer {
    const char* label;
    string answer;  // the raw answer text
    Events events;
    string channel;  // (name, cid, msgid) afterwards
};

std::ostream& operator<<(std::ostream& os, const JoinAnswer& j) { return os << j.label; }

class JoinAnswers : public ChannelCommands, public ::testing::WithParamInterface<JoinAnswer> {};

TEST_P(JoinAnswers, ReportJoinedThenTheListThenTheAttributesInByteOrder) {
    line.server.set_call_script("channel_join", CallScript::malformed(GetParam().answer));
    line.run([](InterfaceLinkD& e) { e.user_channel_join("ch"); });
    ASSERT_TRUE(line.wait_events(GetParam().events.size()));
    line.run([](InterfaceLinkD&) {});
    EXPECT_EQ(line.events(), GetParam().events);
    EXPECT_EQ(current_channel(), GetParam().channel);
}

INSTANTIATE_TEST_SUITE_P(
    All, JoinAnswers,
    ::testing::Values(
        JoinAnswer{"full",
                   R"({"result":"ok","cid":"c7","msgid":99,"list":[["a",1],["b",2]],"attrs":{"y":"2","x":"1","X":"0"}})",
                   {"onChannelJoined|ch", "onChannelUserList|2|a|1|b|2", "onChannelAttrUpdated|ch|X|0|update",
                    "onChannelAttrUpdated|ch|x|1|update", "onChannelAttrUpdated|ch|y|2|update"},
                   "ch|c7|99"},
        JoinAnswer{"bare", R"({"result":"ok"})", {"onChannelJoined|ch", "onChannelUserList|0"}, "ch||0"},
        JoinAnswer{"wrong_types",
                   R"({"result":"ok","cid":5,"msgid":-1,"list":[["a","x"],"z",[7,3],[]],"attrs":{"k":{},"n":[1,"2"],"t":true}})",
                   {"onChannelJoined|ch", "onChannelUserList|4|a|0||0||3||0",
                    "onChannelAttrUpdated|ch|k|{}|update", "onChannelAttrUpdated|ch|n|[1,\"2\"]|update",
                    "onChannelAttrUpdated|ch|t|true|update"},
                   "ch|5|0"},
        JoinAnswer{"containers_of_the_wrong_kind", R"({"result":"ok","list":{"a":1},"attrs":["x"],"msgid":4294967296})",
                   {"onChannelJoined|ch", "onChannelUserList|0"}, "ch||0"},
        JoinAnswer{"msgid_at_the_top_of_its_range", R"({"result":"ok","msgid":4294967295,"list":[]})",
                   {"onChannelJoined|ch", "onChannelUserList|0"}, "ch||4294967295"}),
    [](const ::testing::TestParamInfo<JoinAnswer>& info) { return string(info.param.label); });

// ------------------------------------------------------------ the current channel

TEST_F(ChannelCommands, JoinAndLeaveForgetTheChannelWhenSentAndAJoinRecordsItOnSuccess) {
    set_current_channel("old", "c1", 5);
    line.server.set_call_script("channel_join", CallScript::silent());
    line.run([](InterfaceLinkD& e) { e.user_channel_join("new"); });
    EXPECT_EQ(current_channel(), "||0");
    set_current_channel("old", "c1", 5);
    line.server.set_call_script("channel_leave", CallScript::silent());
    line.run([](InterfaceLinkD& e) { e.user_channel_leave("other"); });
    EXPECT_EQ(current_channel(), "||0");
}

// What is sent after a join, before its answer: only a leave of the same
// channel keeps the answer from recording it. The answers report everything
// either way.
struct AfterJoin {
    const char* label;
    Command after_join;
    string channel;  // (name, cid, msgid) once every answer is in
};

std::ostream& operator<<(std::ostream& os, const AfterJoin& a) { return os << a.label; }

class JoinThenSent : public ChannelCommands, public ::testing::WithParamInterface<AfterJoin> {};

TEST_P(JoinThenSent, DecidesWhetherTheAnswerRecordsTheChannel) {
    CallScript slow = CallScript::ok(parsed(R"({"cid":"c7","msgid":3})"));
    slow.delay_ms = 50;
    line.server.set_call_script("channel_join", slow);
    line.run([](InterfaceLinkD& e) {
        e.user_channel_join("ch");
        GetParam().after_join(e);
    });
    ASSERT_TRUE(all_answered());
    size_t joins = 0;
    for (const auto& call : line.calls()) joins += call.method == "channel_join";
    EXPECT_EQ(cb.named("onChannelJoined"), Events(joins, "onChannelJoined|ch"));
    EXPECT_EQ(cb.named("onChannelUserList").size(), joins);
    EXPECT_EQ(current_channel(), GetParam().channel);
}

INSTANTIATE_TEST_SUITE_P(
    All, JoinThenSent,
    ::testing::Values(AfterJoin{"leave_of_that_channel", [](InterfaceLinkD& e) { e.user_channel_leave("ch"); }, "||0"},
                      AfterJoin{"leave_of_another_channel", [](InterfaceLinkD& e) { e.user_channel_leave("zz"); },
                                "ch|c7|3"},
                      AfterJoin{"leave_of_that_channel_then_a_new_join",
                                [](InterfaceLinkD& e) {
                                    e.user_channel_leave("ch");
                                    e.user_channel_join("ch");
                                },
                                "ch|c7|3"}),
    [](const ::testing::TestParamInfo<AfterJoin>& info) { return string(info.param.label); });

TEST_F(ChannelCommands, OfTwoJoinsInFlightTheLastSuccessfulAnswerWins) {
    line.server.queue_call_script("channel_join", CallScript::silent());
    line.server.queue_call_script("channel_join", CallScript::ok(parsed(R"({"cid":"c2"})")));
    line.run([](InterfaceLinkD& e) {
        e.user_channel_join("one");
        e.user_channel_join("two");
    });
    ASSERT_TRUE(line.wait_events(2));
    auto first = line.wait_call("channel_join");
    ASSERT_TRUE(first);
    line.server.push_text(nuvra_test::kLastConn,
                          nuvra_test::call_ret_text("channel_join", first->id, R"({"result":"ok","cid":"c1"})"));
    ASSERT_TRUE(line.wait_events(4));
    EXPECT_EQ(cb.named("onChannelJoined"), (Events{"onChannelJoined|two", "onChannelJoined|one"}));
    EXPECT_EQ(current_channel(), "one|c1|0");
}

// Sees the engine's current channel from inside onChannelJoined.
class ChannelPeek : public nuvra_test::RecordingCallBack {
public:
    void onChannelJoined(std::string channelID) override {
        seen = engine->m_channelName + "|" + engine->m_cid;
        RecordingCallBack::onChannelJoined(channelID);
    }
    InterfaceLinkD* engine = nullptr;
    string seen;
};

TEST_F(ChannelCommands, TheChannelIsRecordedBeforeOnChannelJoinedIsFired) {
    ChannelPeek peek;
    line.server.set_call_script("channel_join", CallScript::ok(parsed(R"({"cid":"c7"})")));
    line.run([&](InterfaceLinkD& e) {
        peek.engine = &e;
        e.m_callback = &peek;
        e.user_channel_join("ch");
    });
    ASSERT_TRUE(peek.wait_for("onChannelUserList", CommandLine::kWaitMs));
    line.run([&](InterfaceLinkD& e) { e.m_callback = &cb; });
    EXPECT_EQ(peek.seen, "ch|c7");
}

// ------------------------------------------------------------ login states

TEST_F(ChannelCommands, CommandsWaitWhileLoggingInOrReconnectingAndLeaveOnceTheLineIsUp) {
    for (int state : {InterfaceLinkD::LOGIN_STATE_LOGINING, InterfaceLinkD::LOGIN_STATE_RECONNECTING}) {
        cb.clear();
        const size_t before = line.calls().size();
        line.run([&](InterfaceLinkD& e) {
            e.set_login_state(state);
            e.m_tcp_connected = false;
            e.user_channel_join("ch");
            EXPECT_EQ(e.m_main_slot.calls.size(), 1u);
        });
        EXPECT_TRUE(line.events().empty());
        EXPECT_EQ(line.calls().size(), before);
        line.run([](InterfaceLinkD& e) {
            e.m_tcp_connected = true;
            e.m_main_slot.do_call();
        });
        ASSERT_TRUE(line.wait_events(2));
        ASSERT_EQ(line.calls().size(), before + 1);
        EXPECT_EQ(line.calls().back().method, "channel_join");
    }
}

}  // namespace

namespace {

// ------------------------------------------------------------ refusals that end the session

struct SessionEnd {
    const char* label;
    Command command;
    string method;
    string reason;
    Events events;  // the command's own, then onLogout
};

std::ostream& operator<<(std::ostream& os, const SessionEnd& s) { return os << s.label; }

class CommandsEndingTheSession : public ChannelCommands, public ::testing::WithParamInterface<SessionEnd> {};

TEST_P(CommandsEndingTheSession, ReportTheirOwnEventsFirst) {
    line.server.set_call_script(GetParam().method, CallScript::failed(GetParam().reason));
    line.run(GetParam().command);
    ASSERT_TRUE(cb.wait_for("onLogout", CommandLine::kWaitMs));
    Events events;
    for (const string& e : line.events())
        if (e.rfind("onDbg", 0) != 0) events.push_back(e);
    EXPECT_EQ(events, GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(
    All, CommandsEndingTheSession,
    ::testing::Values(
        SessionEnd{"join_kick", [](InterfaceLinkD& e) { e.user_channel_join("ch"); }, "channel_join", "kick",
                   {"onChannelJoinFailed|ch|300", "onError|channel_join|1001|kick", "onLogout|103"}},
        SessionEnd{"message_token_expired",
                   [](InterfaceLinkD& e) { e.user_send_instant_msg("bob", 0, "hi", "i1", ""); }, "user_sendmsg",
                   "TokenErrorExpired",
                   {"onMessageSendError|i1|400", "onError|send_instant_msg|1001|TokenErrorExpired", "onLogout|105"}},
        SessionEnd{"bc_call_wrong_line", [](InterfaceLinkD& e) { e.user_bc_call("f", "", "b1"); }, "user_ext_call",
                   "wrong line",
                   {"onBCCall_result|wrong line||b1", "onError|bc_call|1001|wrong line", "onLogout|100"}}),
    [](const ::testing::TestParamInfo<SessionEnd>& info) { return string(info.param.label); });

}  // namespace
