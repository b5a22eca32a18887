#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <set>
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

class InviteCommands : public nuvra_test::CommandFixture {
protected:
    // Keys of m_invite_ts and the callids of the reporter's open invite records.
    string records() {
        string s;
        line.run([&](InterfaceLinkD& e) {
            for (const auto& r : e.m_invite_ts) s += r.first + "=" + r.second->key + ";";
            s += "/";
            for (const auto& t : e.rp.ts)
                if (t.second->type == "invite") s += t.second->key + ";";
        });
        return s;
    }
};

// ------------------------------------------------------------ refusals

struct Refusal {
    const char* label;
    bool logged_in;  // false: refused as not logged in; true: refused for its extra
    Command command;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.label; }

class InviteRefusals : public InviteCommands, public ::testing::WithParamInterface<Refusal> {};

TEST_P(InviteRefusals, ReportTheirEventsAndSendNothing) {
    const uint32_t ids = call_ids();
    line.run([&](InterfaceLinkD& e) {
        if (!GetParam().logged_in) e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        GetParam().command(e);
    });
    EXPECT_EQ(line.events(), GetParam().events);
    EXPECT_EQ(call_ids(), ids);
    EXPECT_EQ(records(), "/");
}

const string kNotLogin = R"({"reason":"not login"})";
const string kWrongExtra = R"({"reason":"wrong param extra"})";

Command invite(const string& extra) {
    return [extra](InterfaceLinkD& e) { e.user_invite_user("ch", "bob", 5, extra); };
}
Command phone(const string& extra) {
    return [extra](InterfaceLinkD& e) { e.user_invite_phone2("ch", "555", "me", extra); };
}
Command accept(const string& extra) {
    return [extra](InterfaceLinkD& e) { e.user_invite_accept("ch", "bob", 5, extra); };
}
Command refuse(const string& extra) {
    return [extra](InterfaceLinkD& e) { e.user_invite_refuse("ch", "bob", 5, extra); };
}

INSTANTIATE_TEST_SUITE_P(
    All, InviteRefusals,
    ::testing::Values(
        Refusal{"invite_logged_out", false, invite(""),
                {"onInviteFailed|ch|bob|5|1003|" + kNotLogin, "onError|invite|1003|not login"}},
        Refusal{"phone2_logged_out", false, phone(""),
                {"onInviteFailed|ch|555|0|1003|" + kNotLogin, "onError|invite_phone|1003|not login"}},
        Refusal{"phone_logged_out", false, [](InterfaceLinkD& e) { e.user_invite_phone("ch", "555", 9); },
                {"onInviteFailed|ch|555|0|1003|" + kNotLogin, "onError|invite_phone|1003|not login"}},
        Refusal{"dtmf_logged_out", false, [](InterfaceLinkD& e) { e.user_invite_dtmf("ch", "bob", "12"); },
                {"onError|invite_dtmf|1003|not login"}},
        Refusal{"accept_logged_out", false, accept(""), {"onError|invite_accept|1003|not login"}},
        Refusal{"refuse_logged_out", false, refuse(""), {"onError|invite_refuse|1003|not login"}},
        Refusal{"end_logged_out", false, [](InterfaceLinkD& e) { e.user_invite_end("ch", "bob", 5); },
                {"onError|invite_end|1003|not login"}},
        Refusal{"invite_extra_array", true, invite("[1]"),
                {"onInviteFailed|ch|bob|0|700|" + kWrongExtra, "onError|invite|1004|wrong extra param"}},
        Refusal{"invite_extra_number", true, invite("5"),
                {"onInviteFailed|ch|bob|0|700|" + kWrongExtra, "onError|invite|1004|wrong extra param"}},
        Refusal{"invite_extra_broken", true, invite("{\"a\":"),
                {"onInviteFailed|ch|bob|0|700|" + kWrongExtra, "onError|invite|1004|wrong extra param"}},
        Refusal{"phone2_extra_string", true, phone("\"s\""),
                {"onInviteFailed|ch|555|0|700|" + kWrongExtra, "onError|invite_phone|1004|wrong extra param"}},
        Refusal{"accept_extra_array", true, accept("[]"), {"onError|invite_accept|1004|wrong extra param"}},
        Refusal{"refuse_extra_broken", true, refuse("{"), {"onError|invite_refuse|1004|wrong extra param"}},
        Refusal{"extra_nested_too_deep", true, invite(string(2000, '[')),
                {"onInviteFailed|ch|bob|0|700|" + kWrongExtra, "onError|invite|1004|wrong extra param"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return string(info.param.label); });

// ------------------------------------------------------------ requests

TEST_F(InviteCommands, InvitationsSendTheExtraWithGeneratedCallidAndStartTime) {
    line.run([](InterfaceLinkD& e) {
        e.user_invite_user("ch", "bob", 5, "");
        e.user_invite_user("ch", "carol", 0, R"({"z":[1],"callid":"mine","start_time":"x"})");
        e.user_invite_phone("ch2", "555", 3);
    });
    ASSERT_TRUE(line.wait_call("pstn_invite"));
    const auto calls = line.calls();
    ASSERT_EQ(calls.size(), 3u);
    std::set<string> callids;
    for (const auto& call : calls) {
        const Json::Value req = parsed(CommandLine::request_text(call));
        const string extra_text = req["extra"].asString();
        const Json::Value extra = parsed(extra_text);
        ASSERT_TRUE(extra["start_time"].isUInt64()) << extra_text;
        const string callid = extra["callid"].asString();
        EXPECT_EQ(callid.rfind("7_", 0), 0u) << callid;
        EXPECT_GE(std::stoull(callid.substr(2)), extra["start_time"].asUInt64());
        callids.insert(callid);
        EXPECT_EQ(req["line"], "L1");
        EXPECT_EQ(req["channelName"], call.method == "pstn_invite" ? "ch2" : "ch");
        if (req["peer"] == "carol") {
            EXPECT_EQ(extra_text, R"({"callid":")" + callid + R"(","start_time":)" + extra["start_time"].asString() +
                                      R"(,"z":[1]})");
        } else {
            EXPECT_EQ(extra_text,
                      R"({"callid":")" + callid + R"(","start_time":)" + extra["start_time"].asString() + "}");
        }
    }
    EXPECT_EQ(callids.size(), 3u) << "ids made in one millisecond stay distinct";
    const Json::Value phone = parsed(CommandLine::request_text(calls[2]));
    EXPECT_EQ(phone.getMemberNames(), (std::vector<string>{"channelName", "destNum", "extra", "line", "srcNum"}));
    EXPECT_EQ(phone["srcNum"], "me");
    EXPECT_EQ(phone["destNum"], "555");
    EXPECT_EQ(parsed(CommandLine::request_text(calls[0])).getMemberNames(),
              (std::vector<string>{"channelName", "extra", "line", "peer"}));
}

struct Request {
    const char* label;
    Command command;
    string method;
    string request;
    string log_line;
};

std::ostream& operator<<(std::ostream& os, const Request& r) { return os << r.label; }

class InviteRequests : public InviteCommands, public ::testing::WithParamInterface<Request> {};

TEST_P(InviteRequests, SendTheExactRequestAfterTheirLogLine) {
    line.run([&](InterfaceLinkD& e) { GetParam().command(e); });
    auto call = line.wait_call(GetParam().method);
    ASSERT_TRUE(call);
    EXPECT_EQ(CommandLine::request_text(*call), GetParam().request);
    EXPECT_TRUE(line.log.contains(GetParam().log_line)) << GetParam().log_line;
}

INSTANTIATE_TEST_SUITE_P(
    All, InviteRequests,
    ::testing::Values(
        Request{"dtmf", [](InterfaceLinkD& e) { e.user_invite_dtmf("ch", "bob", "1#"); }, "voip_invite_msg",
                R"({"channelName":"ch","extra":"{\"msgdata\":\"1#\",\"msgtype\":\"dtmf\"}","line":"L1","peer":"bob"})",
                "usr             user_invite_dtmf channelID=\"ch\" peer=\"bob\" dtmf=\"1#\""},
        Request{"accept", accept(R"({"b": 1, "a":2})"), "voip_invite_accept",
                R"({"channelName":"ch","extra":"{\"b\": 1, \"a\":2}","line":"L1","peer":"bob"})",
                "user_invite_accept channelID=\"ch\" peer=\"bob\" peer_uid=5"},
        Request{"refuse_empty_extra", refuse(""), "voip_invite_refuse",
                R"({"channelName":"ch","extra":"","line":"L1","peer":"bob"})",
                "user_invite_refuse channelID=\"ch\" peer=\"bob\" peer_uid=5"},
        Request{"end", [](InterfaceLinkD& e) { e.user_invite_end("ch", "555", 8); }, "call_bye",
                R"({"channelName":"ch","destNum":"555","line":"L1","srcNum":"me"})",
                "user_invite_end channelID=\"ch\" peer=\"555\" peer_uid=8"}),
    [](const ::testing::TestParamInfo<Request>& info) { return string(info.param.label); });

// ------------------------------------------------------------ outcomes

enum class Answer { OK, FAILED, OFFLINE, UNKNOWN, TIME_OUT };

struct Outcome {
    const char* label;
    Command command;
    string method;
    Answer answer;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.label; }

class InviteOutcomes : public InviteCommands, public ::testing::WithParamInterface<Outcome> {};

TEST_P(InviteOutcomes, ReportFromTheRequest) {
    const Outcome& o = GetParam();
    switch (o.answer) {
    case Answer::OK: line.server.set_call_script(o.method, CallScript::ok(parsed(R"({"channelName":"x"})"))); break;
    case Answer::FAILED: line.server.set_call_script(o.method, CallScript::failed("busy")); break;
    case Answer::OFFLINE: line.server.set_call_script(o.method, CallScript::failed("peer is not online")); break;
    case Answer::UNKNOWN: line.server.set_call_script(o.method, CallScript::unknown("lost")); break;
    case Answer::TIME_OUT: line.server.set_call_script(o.method, CallScript::silent()); break;
    }
    if (o.answer == Answer::TIME_OUT) {
        line.run_and_time_out(o.command);
    } else {
        line.run(o.command);
    }
    ASSERT_TRUE(line.server.wait_for_call(o.method, CommandLine::kWaitMs));
    ASSERT_TRUE(line.line.wait_on_loop(
        [](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) { return e.m_main_slot.calls_calling.empty(); },
        CommandLine::kWaitMs));
    EXPECT_EQ(line.events(), o.events);
}

const Command invite_bob = invite("");
const Command phone_555 = phone("");
const Command end_bob = [](InterfaceLinkD& e) { e.user_invite_end("ch", "bob", 5); };

INSTANTIATE_TEST_SUITE_P(
    All, InviteOutcomes,
    ::testing::Values(
        Outcome{"invite_ok", invite_bob, "voip_invite", Answer::OK, {}},
        Outcome{"invite_failed", invite_bob, "voip_invite", Answer::FAILED,
                {R"(onInviteFailed|ch|bob|0|700|{"reason":"busy"})", "onError|invite|1001|busy"}},
        Outcome{"invite_offline", invite_bob, "voip_invite", Answer::OFFLINE,
                {R"(onInviteFailed|ch|bob|0|703|{"reason":"peer is not online"})",
                 "onError|invite|1001|peer is not online"}},
        Outcome{"invite_unknown", invite_bob, "voip_invite", Answer::UNKNOWN,
                {R"(onInviteFailed|ch|bob|0|704|{"reason":"lost"})", "onError|invite|1002|lost"}},
        Outcome{"invite_time_out", invite_bob, "voip_invite", Answer::TIME_OUT,
                {R"(onInviteFailed|ch|bob|0|704|{"reason":"time out"})", "onError|invite|1002|time out"}},
        Outcome{"phone_failed", phone_555, "pstn_invite", Answer::FAILED,
                {R"(onInviteFailed|ch|555|0|700|{"reason":"busy"})", "onError|invite_phone|1001|busy"}},
        Outcome{"phone_time_out", phone_555, "pstn_invite", Answer::TIME_OUT,
                {R"(onInviteFailed|ch|555|0|704|{"reason":"time out"})", "onError|invite_phone|1002|time out"}},
        Outcome{"dtmf_failed", [](InterfaceLinkD& e) { e.user_invite_dtmf("ch", "bob", "1"); }, "voip_invite_msg",
                Answer::FAILED, {"onError|invite_dtmf|1001|busy"}},
        Outcome{"accept_unknown", accept(""), "voip_invite_accept", Answer::UNKNOWN,
                {"onError|invite_accept|1002|lost"}},
        Outcome{"refuse_ok", refuse(""), "voip_invite_refuse", Answer::OK, {}},
        Outcome{"end_ok", end_bob, "call_bye", Answer::OK, {"onInviteEndByMyself|ch|bob|5"}},
        Outcome{"end_time_out", end_bob, "call_bye", Answer::TIME_OUT, {"onError|invite_end|1002|time out"}}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return string(info.param.label); });

// ------------------------------------------------------------ telephone invitation records

TEST_F(InviteCommands, ASecondInvitationOfTheSameNumberEndsTheFirstRecordAsRecall) {
    line.server.set_call_script("pstn_invite", CallScript::silent());
    string first, second;
    line.run([&](InterfaceLinkD& e) {
        e.user_invite_phone2("ch", "555", "me", "");
        first = e.m_invite_ts["ch555"]->key;
        e.user_invite_phone2("ch", "555", "me", "");
        second = e.m_invite_ts["ch555"]->key;
        e.user_invite_phone2("ch", "556", "me", "");
        ASSERT_FALSE(e.rp.reports.empty());
        const Json::Value recall = e.rp.reports.back().body();
        EXPECT_EQ(recall["cmd"], "end");
        EXPECT_EQ(recall["result"], "recall");
        EXPECT_EQ(recall["isok"], false);
        EXPECT_EQ(recall["key"].asString(), first);
        EXPECT_EQ(recall["param_start"]["ct"], "p");
        EXPECT_EQ(recall["param_start"]["callee"], "555");
        EXPECT_EQ(recall["param_start"]["caller"], "me");
    });
    EXPECT_NE(first, second);
    line.run([&](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_invite_ts.size(), 2u);
        EXPECT_EQ(e.m_invite_ts["ch555"]->key, second);
        EXPECT_EQ(e.rp.ts.count("invite_" + first), 0u);
        EXPECT_EQ(e.rp.ts.count("invite_" + second), 1u);
        EXPECT_EQ(e.rp.ts.count("invite_" + e.m_invite_ts["ch556"]->key), 1u);
    });
}

// An ended invitation keeps no record, and ending it sends no report.
struct Ending {
    const char* label;
    CallScript answer;  // to the invitation of 555
    Command end;        // run after both invitations were answered
};

std::ostream& operator<<(std::ostream& os, const Ending& e) { return os << e.label; }

class InviteRecordDropped : public InviteCommands, public ::testing::WithParamInterface<Ending> {};

TEST_P(InviteRecordDropped, WhenTheInvitationEnds) {
    line.server.queue_call_script("pstn_invite", GetParam().answer);
    line.run([](InterfaceLinkD& e) {
        e.user_invite_phone2("ch", "555", "me", "");
        e.user_invite_phone2("ch", "777", "me", "");
    });
    ASSERT_TRUE(line.line.wait_on_loop(
        [](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) { return e.m_main_slot.calls_calling.empty(); },
        CommandLine::kWaitMs));
    line.run(GetParam().end);
    ASSERT_TRUE(line.line.wait_on_loop(
        [](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) {
            return e.m_main_slot.calls_calling.empty() && e.m_invite_ts.count("ch555") == 0;
        },
        CommandLine::kWaitMs));
    line.run([&](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_invite_ts.size(), 1u);
        EXPECT_EQ(e.m_invite_ts.count("ch777"), 1u);
        EXPECT_EQ(e.rp.ts.size(), 1u);
        EXPECT_TRUE(e.rp.reports.empty());
    });
}

INSTANTIATE_TEST_SUITE_P(
    All, InviteRecordDropped,
    ::testing::Values(Ending{"failed_invitation", CallScript::failed("busy"), [](InterfaceLinkD&) {}},
                      Ending{"call_bye", CallScript::ok(), [](InterfaceLinkD& e) { e.user_invite_end("ch", "555", 0); }},
                      Ending{"hang_up_by_the_callee", CallScript::ok(),
                             [](InterfaceLinkD& e) {
                                 e.decode_msg(R"(msg srv x y pstn_bye {"channelName":"ch","destNum":"555","uid":3})",
                                              true);
                             }}),
    [](const ::testing::TestParamInfo<Ending>& info) { return string(info.param.label); });

TEST_F(InviteCommands, AFailedInvitationLeavesTheRecordOfANewerInvitationAlone) {
    CallScript slow_failure = CallScript::failed("busy");
    slow_failure.delay_ms = 50;
    line.server.queue_call_script("pstn_invite", slow_failure);
    line.server.queue_call_script("pstn_invite", CallScript::silent());
    string newer;
    line.run([&](InterfaceLinkD& e) {
        e.user_invite_phone2("ch", "555", "me", "");
        e.user_invite_phone2("ch", "555", "me", "");
        newer = e.m_invite_ts["ch555"]->key;
    });
    ASSERT_TRUE(cb.wait_for("onError|invite_phone|1001", CommandLine::kWaitMs));
    EXPECT_EQ(records(), "ch555=" + newer + ";/" + newer + ";");
}

TEST_F(InviteCommands, KeepsAtMostAThousandRecordsDroppingTheOldest) {
    line.server.set_call_script("pstn_invite", CallScript::silent());
    line.run([](InterfaceLinkD& e) {
        e.user_invite_phone2("ch", "2999", "me", "");
        mynet::test_clock_advance(5);
        for (int i = 1; i < 1000; ++i) e.user_invite_phone2("ch", std::to_string(2999 - i), "me", "");
        EXPECT_EQ(e.m_invite_ts.size(), 1000u);
        e.user_invite_phone2("ch", "0", "me", "");
        EXPECT_EQ(e.m_invite_ts.size(), 1000u);
        EXPECT_EQ(e.m_invite_ts.count("ch2999"), 0u);
        EXPECT_EQ(e.m_invite_ts.count("ch0"), 1u);
        size_t open_invites = 0;
        for (const auto& t : e.rp.ts) open_invites += t.second->type == "invite";
        EXPECT_EQ(open_invites, 1000u);
    });
}

}  // namespace
