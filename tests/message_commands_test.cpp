#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/command_fixture.h"

namespace {

using nuvra_test::CallScript;
using nuvra_test::CommandLine;
using std::string;
using Events = std::vector<string>;
using Command = std::function<void(InterfaceLinkD&)>;

class MessageCommands : public nuvra_test::CommandFixture {
protected:
    // Sent, successful and failed counts of the channel statistics.
    string channel_counts() {
        string s;
        line.run([&](InterfaceLinkD& e) {
            s = std::to_string(e.m_chnanel_rp_count) + "/" + std::to_string(e.m_chnanel_rp_count_success) + "/" +
                std::to_string(e.m_chnanel_rp_count_failed);
        });
        return s;
    }
};

const string kBig(16384, 'm');
const string kTooBig(16385, 'm');

Command instant(const string& msg, const string& id = "i1") {
    return [msg, id](InterfaceLinkD& e) { e.user_send_instant_msg("bob", 5, msg, id, ""); };
}
Command channel(const string& msg, const string& id = "c1", const string& extra = "") {
    return [msg, id, extra](InterfaceLinkD& e) { e.user_send_channel_msg("ch", msg, id, 0, extra, false); };
}

// ------------------------------------------------------------ refusals

struct Refusal {
    const char* label;
    bool logged_in;
    Command command;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.label; }

class MessageRefusals : public MessageCommands, public ::testing::WithParamInterface<Refusal> {};

TEST_P(MessageRefusals, ReportTheCallersIdSendNothingAndGenerateNoId) {
    const uint32_t ids = call_ids();
    line.run([&](InterfaceLinkD& e) {
        if (!GetParam().logged_in) e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        e.m_config_channel_msgid = 1;
        e.m_config_inst_msg_with_msgid = 1;
        GetParam().command(e);
        EXPECT_EQ(e.m_msgid, 0u);
    });
    EXPECT_EQ(line.events(), GetParam().events);
    EXPECT_EQ(call_ids(), ids);
}

INSTANTIATE_TEST_SUITE_P(
    All, MessageRefusals,
    ::testing::Values(
        Refusal{"instant", false, instant("hi"), {"onMessageSendError|i1|400", "onError|send_instant_msg|1003|not login"}},
        Refusal{"channel", false, channel("hi"), {"onMessageSendError|c1|400", "onError|send_channel_msg|1003|not login"}},
        Refusal{"app", false, [](InterfaceLinkD& e) { e.user_send_app_msg("hi", "a1"); },
                {"onMessageSendError|a1|400", "onError|send_app_msg|1003|not login"}},
        Refusal{"push", false, [](InterfaceLinkD& e) { e.user_send_push_msg("bob", 5, "hi", "p1"); },
                {"onMessageSendError|p1|400", "onError|send_push_msg|1003|not login"}},
        Refusal{"chat", false, [](InterfaceLinkD& e) { e.user_send_chat_msg("bob", 5, "hi", "h1"); },
                {"onMessageSendError|h1|400", "onError|send_chat_msg|1003|not login"}},
        Refusal{"dtmf", false, [](InterfaceLinkD& e) { e.user_send_dtmf_msg(5, "1", "d1"); },
                {"onMessageSendError|d1|400", "onError|send_dtmf_msg|1003|not login"}},
        Refusal{"instant_too_large", true, instant(kTooBig, ""),
                {"onMessageSendError||400", "onError|send_instant_msg|1005|msg too large"}},
        Refusal{"channel_too_large", true, channel(kTooBig),
                {"onMessageSendError|c1|400", "onError|send_channel_msg|1005|msg too large"}},
        Refusal{"channel_extra_array", true, channel("hi", "", "[1]"),
                {"onMessageSendError||400", "onError|send_channel_msg|1005|wrong extra"}},
        Refusal{"channel_extra_not_json", true, channel("hi", "c1", "x"),
                {"onMessageSendError|c1|400", "onError|send_channel_msg|1005|wrong extra"}},
        Refusal{"channel_extra_null", true, channel("hi", "c1", "null"),
                {"onMessageSendError|c1|400", "onError|send_channel_msg|1005|wrong extra"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return string(info.param.label); });

TEST_F(MessageCommands, EveryChannelMessageCountsInTheStatisticsRefusedOnesToo) {
    line.run([](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        e.user_send_channel_msg("ch", "x", "", 0, "", false);
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_LOGINED);
        e.user_send_channel_msg("ch", kTooBig, "", 0, "", false);
        e.user_send_channel_msg("ch", "x", "", 0, "[]", false);
    });
    EXPECT_EQ(channel_counts(), "3/0/0");
    line.server.queue_call_script("channel_sendmsg", CallScript::failed("no"));
    line.run([](InterfaceLinkD& e) {
        e.user_send_channel_msg("ch", "x", "", 0, "", false);
        e.user_send_channel_msg("ch", "y", "", 0, "", false);
    });
    ASSERT_TRUE(all_answered());
    EXPECT_EQ(channel_counts(), "5/1/1");
}

// ------------------------------------------------------------ requests

struct Request {
    const char* label;
    std::function<void(InterfaceLinkD&)> config;
    Command command;
    string method;
    string request;
    string log_line;
};

std::ostream& operator<<(std::ostream& os, const Request& r) { return os << r.label; }

class MessageRequests : public MessageCommands, public ::testing::WithParamInterface<Request> {};

TEST_P(MessageRequests, SendTheExactRequestAfterTheirLogLine) {
    line.run([&](InterfaceLinkD& e) {
        GetParam().config(e);
        GetParam().command(e);
    });
    auto call = line.wait_call(GetParam().method);
    ASSERT_TRUE(call);
    EXPECT_EQ(CommandLine::request_text(*call), GetParam().request);
    EXPECT_TRUE(line.log.contains(GetParam().log_line)) << GetParam().log_line;
}

const auto kDefaults = [](InterfaceLinkD&) {};
const auto kAllConfig = [](InterfaceLinkD& e) {
    e.m_config_inst_msg_with_msgid = 1;
    e.m_config_channel_msgid = 1;
    e.m_config_channel_extra = 1;
};

INSTANTIATE_TEST_SUITE_P(
    All, MessageRequests,
    ::testing::Values(
        Request{"instant_plain", kDefaults, instant(kBig, "i1"), "user_sendmsg",
                R"({"content":")" + kBig + R"(","flag":"v1:E:2592000","line":"L1","peer":"bob","t":"instant"})",
                "usr             user_send_instant_msg account=\"bob\" uid=5 msg=\"" + string(100, 'm') +
                    "\" msgID=\"i1\""},
        Request{"instant_with_id", kAllConfig, instant("hi", "i1"), "user_sendmsg",
                R"({"content":"hi","flag":"v1:E:2592000","line":"L1","messageID":"i1","peer":"bob","t":"instant"})",
                "user_send_instant_msg account=\"bob\""},
        Request{"instant_options", kDefaults,
                [](InterfaceLinkD& e) { e.user_send_instant_msg("bob", 5, "hi", "i1", "{\"o\":1}"); }, "user_sendmsg",
                R"({"content":"hi","flag":"v1:E:2592000","line":"L1","messageID":"i1","options":"{\"o\":1}","peer":"bob","t":"instant"})",
                "user_send_instant_msg"},
        Request{"channel_plain", kDefaults, channel(kBig, "c1", R"({"e":1})"), "channel_sendmsg",
                R"({"line":"L1","msg":")" + kBig + R"(","name":"ch"})",
                "usr             user_send_channel_msg channelID=\"ch\" msg=\"" + string(100, 'm') +
                    "\" msgID=\"c1\" type=0"},
        Request{"channel_all", kAllConfig,
                [](InterfaceLinkD& e) { e.user_send_channel_msg("ch", "hi", "c1", 3, R"({"e":[1]})", true); },
                "channel_sendmsg", R"({"extra":{"e":[1]},"force":true,"line":"L1","msg":"hi","msgID":"c1","name":"ch"})",
                "type=3"},
        Request{"channel_empty_extra", kAllConfig, channel("hi", "c1", ""), "channel_sendmsg",
                R"({"extra":null,"line":"L1","msg":"hi","msgID":"c1","name":"ch"})", "user_send_channel_msg"},
        Request{"app", kDefaults, [](InterfaceLinkD& e) { e.user_send_app_msg(kTooBig, "a1"); }, "appmsg_send",
                R"({"line":"L1","msg":")" + kTooBig + "\"}", "user_send_app_msg msg=\"" + string(100, 'm') + "\" msgID=\"a1\""},
        Request{"push", kDefaults, [](InterfaceLinkD& e) { e.user_send_push_msg("bob", 4294967295u, "hi", "p1"); },
                "push_sendmsg", R"({"line":"L1","msg":"hi","peer":"bob","peer_uid":4294967295})",
                "user_send_push_msg account=\"bob\" uid=4294967295 msg=\"hi\" msgID=\"p1\""},
        Request{"chat", kDefaults, [](InterfaceLinkD& e) { e.user_send_chat_msg("bob", 5, "hi", "h1"); }, "appmsg_send2",
                R"({"line":"L1","msg":"hi"})", "user_send_chat_msg account=\"bob\" uid=5 msg=\"hi\" msgID=\"h1\""},
        Request{"dtmf", kDefaults, [](InterfaceLinkD& e) { e.user_send_dtmf_msg(9, "1#", "d1"); }, "pstn_dtmf",
                R"({"cid":9,"dtmf":"1#","line":"L1"})", "user_send_dtmf_msg uid=9 msg=\"1#\" msgID=\"d1\""}),
    [](const ::testing::TestParamInfo<Request>& info) { return string(info.param.label); });

// ------------------------------------------------------------ generated ids

TEST_F(MessageCommands, GeneratedIdsAreTheTimeDigitsThenTheCounterDigitsWithoutZeroFill) {
    uint64_t before = 0, after = 0;
    line.run([&](InterfaceLinkD& e) {
        e.m_config_channel_msgid = 1;
        e.m_msgid = 2000041;
        before = mynet::get_time_in_ms();
        e.user_send_channel_msg("ch", "a", "", 0, "", false);
        e.user_send_channel_msg("ch", "b", "", 0, "", false);
        e.user_send_instant_msg("bob", 0, "c", "", "");   // carries no id: none generated
        e.user_send_instant_msg("bob", 0, "d", "", "x");  // options: an id is generated
        e.user_send_channel_msg("ch", "e", "mine", 0, "", false);
        after = mynet::get_time_in_ms();
        EXPECT_EQ(e.m_msgid, 2000044u);
    });
    ASSERT_TRUE(all_answered());
    std::vector<string> ids;
    for (const auto& call : line.calls()) {
        Json::Value req;
        Json::Reader().parse(CommandLine::request_text(call), req);
        ids.push_back(req.isMember("msgID") ? req["msgID"].asString()
                                            : req.isMember("messageID") ? req["messageID"].asString() : "-");
    }
    ASSERT_EQ(ids.size(), 5u);
    auto made_with = [&](const string& id, const string& counter) {
        for (uint64_t t = before; t <= after; ++t)
            if (id == std::to_string(t % 1000000) + counter) return true;
        return false;
    };
    EXPECT_TRUE(made_with(ids[0], "41")) << ids[0];
    EXPECT_TRUE(made_with(ids[1], "42")) << ids[1];
    EXPECT_EQ(ids[2], "-");
    EXPECT_TRUE(made_with(ids[3], "43")) << ids[3];
    EXPECT_EQ(ids[4], "mine");
    EXPECT_EQ(line.events(), (Events{"onMessageSendSuccess|", "onMessageSendSuccess|", "onMessageSendSuccess|",
                                     "onMessageSendSuccess|", "onMessageSendSuccess|mine"}));
}

TEST_F(MessageCommands, InstantMessageRecordsCarryDistinctKeysWithinOneMillisecond) {
    line.server.set_call_script("user_sendmsg", CallScript::silent());
    line.run([](InterfaceLinkD& e) {
        for (int i = 0; i < 5; ++i) e.user_send_instant_msg("bob", 0, "x", "", "");
        size_t calls = 0;
        for (const auto& t : e.rp.ts) calls += t.second->type == "call";
        EXPECT_EQ(calls, 5u);
    });
}

// ------------------------------------------------------------ outcomes

enum class Answer { OK, FAILED, UNKNOWN, TIME_OUT };

struct Outcome {
    const char* label;
    Command command;
    string method;
    Answer answer;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.label; }

class MessageOutcomes : public MessageCommands, public ::testing::WithParamInterface<Outcome> {};

TEST_P(MessageOutcomes, ReportWithTheCallersId) {
    const Outcome& o = GetParam();
    switch (o.answer) {
    case Answer::OK: line.server.set_call_script(o.method, CallScript::ok()); break;
    case Answer::FAILED: line.server.set_call_script(o.method, CallScript::failed("no")); break;
    case Answer::UNKNOWN: line.server.set_call_script(o.method, CallScript::unknown("lost")); break;
    case Answer::TIME_OUT: line.server.set_call_script(o.method, CallScript::silent()); break;
    }
    if (o.answer == Answer::TIME_OUT) {
        line.run_and_time_out(o.command);
    } else {
        line.run(o.command);
    }
    ASSERT_TRUE(line.server.wait_for_call(o.method, CommandLine::kWaitMs));
    ASSERT_TRUE(all_answered());
    EXPECT_EQ(line.events(), o.events);
}

INSTANTIATE_TEST_SUITE_P(
    All, MessageOutcomes,
    ::testing::Values(
        Outcome{"instant_ok", instant("hi"), "user_sendmsg", Answer::OK, {"onMessageSendSuccess|i1"}},
        Outcome{"instant_failed", instant("hi"), "user_sendmsg", Answer::FAILED,
                {"onMessageSendError|i1|400", "onError|send_instant_msg|1001|no"}},
        Outcome{"instant_time_out", instant("hi"), "user_sendmsg", Answer::TIME_OUT,
                {"onMessageSendError|i1|401", "onError|send_instant_msg|1002|time out"}},
        Outcome{"channel_unknown", channel("hi"), "channel_sendmsg", Answer::UNKNOWN,
                {"onMessageSendError|c1|401", "onError|send_channel_msg|1002|lost"}},
        Outcome{"app_failed", [](InterfaceLinkD& e) { e.user_send_app_msg("hi", "a1"); }, "appmsg_send",
                Answer::FAILED, {"onMessageSendError|a1|400", "onError|send_app_msg|1001|no"}},
        Outcome{"push_ok", [](InterfaceLinkD& e) { e.user_send_push_msg("bob", 5, "hi", "p1"); }, "push_sendmsg",
                Answer::OK, {"onMessageSendSuccess|p1"}},
        Outcome{"chat_unknown", [](InterfaceLinkD& e) { e.user_send_chat_msg("bob", 5, "hi", "h1"); }, "appmsg_send2",
                Answer::UNKNOWN, {"onMessageSendError|h1|401", "onError|send_chat_msg|1002|lost"}},
        Outcome{"dtmf_failed", [](InterfaceLinkD& e) { e.user_send_dtmf_msg(5, "1", "d1"); }, "pstn_dtmf",
                Answer::FAILED, {"onMessageSendError|d1|400", "onError|send_dtmf_msg|1001|no"}}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return string(info.param.label); });

}  // namespace
