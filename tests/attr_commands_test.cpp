#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <tuple>
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

using AttrCommands = nuvra_test::CommandFixture;

// ------------------------------------------------------------ refusals

struct Refusal {
    const char* label;
    Command command;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.label; }

class AttrRefusals : public AttrCommands, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AttrRefusals, ReportNotLoginAndSendNothing) {
    const uint32_t ids = call_ids();
    line.run([&](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        GetParam().command(e);
    });
    EXPECT_EQ(line.events(), GetParam().events);
    EXPECT_EQ(call_ids(), ids);
}

INSTANTIATE_TEST_SUITE_P(
    All, AttrRefusals,
    ::testing::Values(
        Refusal{"set_attr", [](InterfaceLinkD& e) { e.user_set_attr("k", "v"); }, {"onError|set_attr|1003|not login"}},
        Refusal{"get_attr", [](InterfaceLinkD& e) { e.user_get_attr("", "k"); }, {"onError|get_attr|1003|not login"}},
        Refusal{"get_attr_all", [](InterfaceLinkD& e) { e.user_get_attr_all("bob"); },
                {"onError|get_attr_all|1003|not login"}},
        Refusal{"status", [](InterfaceLinkD& e) { e.user_query_user_status("bob"); },
                {"onError|query_user_status|1003|not login"}},
        Refusal{"status_temp", [](InterfaceLinkD& e) { e.user_query_user_status_temp("a,b"); },
                {"onError|query_user_status|1003|not login"}},
        Refusal{"bc_call", [](InterfaceLinkD& e) { e.user_bc_call("f", "{}", "b1"); },
                {"onBCCall_result|not login||b1", "onError|bc_call|1003|not login"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return string(info.param.label); });

TEST_F(AttrCommands, SetBackgroundChangesItsFlagsEvenWhenRefused) {
    line.run([](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        e.m_last_active_time = 0;
        const uint64_t before = mynet::mono_time_ms();
        e.user_set_background(true);
        const uint64_t after = mynet::mono_time_ms();
        EXPECT_TRUE(e.m_isbackground);
        EXPECT_GE(e.m_last_active_time, before);
        EXPECT_LE(e.m_last_active_time, after);
    });
    EXPECT_EQ(line.events(), Events{"onError|set_background|1003|not login"});
}

// ------------------------------------------------------------ requests

struct Request {
    const char* label;
    Command command;
    string method;
    string request;
    string log_line;
};

std::ostream& operator<<(std::ostream& os, const Request& r) { return os << r.label; }

class AttrRequests : public AttrCommands, public ::testing::WithParamInterface<Request> {};

TEST_P(AttrRequests, SendTheExactRequestAfterTheirLogLine) {
    line.run([&](InterfaceLinkD& e) { GetParam().command(e); });
    auto call = line.wait_call(GetParam().method);
    ASSERT_TRUE(call);
    EXPECT_EQ(CommandLine::request_text(*call), GetParam().request);
    EXPECT_TRUE(line.log.contains(GetParam().log_line)) << GetParam().log_line;
}

INSTANTIATE_TEST_SUITE_P(
    All, AttrRequests,
    ::testing::Values(
        Request{"set_attr", [](InterfaceLinkD& e) { e.user_set_attr("k", string(120, 'v')); }, "user_set_attr",
                R"({"line":"L1","name":"k","value":")" + string(120, 'v') + "\"}",
                "usr             user_set_attr name=\"k\" value=\"" + string(100, 'v') + "\""},
        Request{"get_attr_own", [](InterfaceLinkD& e) { e.user_get_attr("", "k"); }, "user_get_attr",
                R"({"account":"me","line":"L1","name":"k"})", "user_get_attr account=\"\" name=\"k\""},
        Request{"get_attr_all_other", [](InterfaceLinkD& e) { e.user_get_attr_all("bob"); }, "user_get_attr_all",
                R"({"account":"bob","line":"L1"})", "user_get_attr_all account=\"bob\""},
        Request{"status", [](InterfaceLinkD& e) { e.user_query_user_status("bob"); }, "user_query_user_status",
                R"({"account":"bob","line":"L1"})", "user_query_user_status account=\"bob\""},
        Request{"status_temp", [](InterfaceLinkD& e) { e.user_query_user_status_temp("a,b c"); },
                "user_query_user_status2", R"({"accounts":"a,b c","line":"L1"})",
                "user_query_user_status_temp accounts=\"a,b c\""},
        Request{"background", [](InterfaceLinkD& e) { e.user_set_background(true); }, "user_setfg",
                R"({"isfg":false,"line":"L1"})", "user_set_background is_background=1"},
        Request{"foreground", [](InterfaceLinkD& e) { e.user_set_background(false); }, "user_setfg",
                R"({"isfg":true,"line":"L1"})", "user_set_background is_background=0"},
        Request{"bc_call", [](InterfaceLinkD& e) { e.user_bc_call("fn", R"({"a": 1})", "b1"); }, "user_ext_call",
                R"({"args":"{\"a\": 1}","callid":"b1","func":"fn","line":"L1","package":"io.nuvra.media.bc"})",
                "user_bc_call func=\"fn\" accjson_argsount=\"{\"a\": 1}\" callID=b1"},
        Request{"invoke", [](InterfaceLinkD& e) { e.user_invoke("io.nuvra.signal.m.x", R"({"line":"zz","a":[1]})", "v1"); },
                "m.x", R"({"a":[1],"line":"L1"})", "call_api 0"}),
    [](const ::testing::TestParamInfo<Request>& info) { return string(info.param.label); });

// ------------------------------------------------------------ answers read as text

struct TextAnswer {
    const char* label;
    string member;  // the answer member's JSON text; "" leaves it out
    string text;    // what the application is given
};

std::ostream& operator<<(std::ostream& os, const TextAnswer& t) { return os << t.label; }

class AnswerTexts : public AttrCommands, public ::testing::WithParamInterface<TextAnswer> {};

TEST_P(AnswerTexts, ReachTheApplicationAsText) {
    Json::Value answer(Json::objectValue);
    if (!GetParam().member.empty()) {
        const Json::Value v = parsed("[" + GetParam().member + "]")[0];
        answer["value"] = answer["json"] = answer["status"] = answer["ret"] = v;
        // Whatever the answer says of the request, events report the request.
        answer["account"] = answer["accounts"] = answer["name"] = "eve";
    }
    for (const char* method :
         {"user_get_attr", "user_get_attr_all", "user_query_user_status", "user_query_user_status2", "user_ext_call"})
        line.server.set_call_script(method, CallScript::ok(answer));
    line.run([](InterfaceLinkD& e) {
        e.user_get_attr("", "k");
        e.user_get_attr_all("bob");
        e.user_query_user_status("bob");
        e.user_query_user_status_temp("a,b");
        e.user_bc_call("f", "", "b1");
    });
    ASSERT_TRUE(all_answered());
    const string& t = GetParam().text;
    Events expected{"onUserAttrResult|me|k|" + t, "onUserAttrAllResult|bob|" + t, "onQueryUserStatusResult|bob|" + t,
                    "onQueryUserStatusResult|a,b|" + t};
    if (GetParam().member.empty()) {
        expected.push_back("onBCCall_result|wrong resp||b1");
        expected.push_back("onError|bc_call|1001|wrong resp");
    } else {
        expected.push_back("onBCCall_result||" + t + "|b1");
    }
    EXPECT_EQ(line.events(), expected);
}

INSTANTIATE_TEST_SUITE_P(All, AnswerTexts,
                         ::testing::Values(TextAnswer{"string", R"("on line")", "on line"},
                                           TextAnswer{"integer", "-12", "-12"},
                                           TextAnswer{"large", "18446744073709551615", "18446744073709551615"},
                                           TextAnswer{"real", "1.5", "1.5"},
                                           TextAnswer{"boolean", "true", "true"},
                                           TextAnswer{"null", "null", ""},
                                           TextAnswer{"object", R"({ "b" : [1, {"c":null}] })", R"({"b":[1,{"c":null}]})"},
                                           TextAnswer{"array", R"([ "x" , 2 ])", R"(["x",2])"},
                                           TextAnswer{"absent", "", ""}),
                         [](const ::testing::TestParamInfo<TextAnswer>& info) { return string(info.param.label); });

// ------------------------------------------------------------ failures

enum class Answer { FAILED, UNKNOWN, TIME_OUT };

struct Outcome {
    const char* label;
    Command command;
    string method;
    Answer answer;
    Events events;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.label; }

class AttrFailures : public AttrCommands, public ::testing::WithParamInterface<Outcome> {};

TEST_P(AttrFailures, ReportOnError) {
    const Outcome& o = GetParam();
    switch (o.answer) {
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
    All, AttrFailures,
    ::testing::Values(
        Outcome{"set_attr_failed", [](InterfaceLinkD& e) { e.user_set_attr("k", "v"); }, "user_set_attr", Answer::FAILED,
                {"onError|set_attr|1001|no"}},
        Outcome{"get_attr_unknown", [](InterfaceLinkD& e) { e.user_get_attr("bob", "k"); }, "user_get_attr",
                Answer::UNKNOWN, {"onError|get_attr|1002|lost"}},
        Outcome{"get_attr_all_time_out", [](InterfaceLinkD& e) { e.user_get_attr_all(""); }, "user_get_attr_all",
                Answer::TIME_OUT, {"onError|get_attr_all|1002|time out"}},
        Outcome{"status_failed", [](InterfaceLinkD& e) { e.user_query_user_status("bob"); }, "user_query_user_status",
                Answer::FAILED, {"onError|query_user_status|1001|no"}},
        Outcome{"status_temp_unknown", [](InterfaceLinkD& e) { e.user_query_user_status_temp("a"); },
                "user_query_user_status2", Answer::UNKNOWN, {"onError|query_user_status|1002|lost"}},
        Outcome{"background_failed", [](InterfaceLinkD& e) { e.user_set_background(false); }, "user_setfg",
                Answer::FAILED, {"onError|set_background|1001|no"}},
        Outcome{"bc_call_failed", [](InterfaceLinkD& e) { e.user_bc_call("f", "", "b1"); }, "user_ext_call",
                Answer::FAILED, {"onBCCall_result|no||b1", "onError|bc_call|1001|no"}},
        Outcome{"bc_call_time_out", [](InterfaceLinkD& e) { e.user_bc_call("f", "", "b1"); }, "user_ext_call",
                Answer::TIME_OUT, {"onBCCall_result|time out||b1", "onError|bc_call|1002|time out"}},
        Outcome{"invoke_failed", [](InterfaceLinkD& e) { e.user_invoke("io.nuvra.signal.m", "{}", "v1"); }, "m",
                Answer::FAILED, {R"(onInvokeRet|v1|no|{"reason":"no","result":"failed"})"}},
        Outcome{"invoke_time_out", [](InterfaceLinkD& e) { e.user_invoke("io.nuvra.signal.m", "{}", "v1"); }, "m",
                Answer::TIME_OUT, {"onInvokeRet|v1|time out|null"}}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return string(info.param.label); });

// ------------------------------------------------------------ invoke

struct Invoke {
    const char* label;
    string name;
    string args;
    string event;  // "" when the call is sent
};

std::ostream& operator<<(std::ostream& os, const Invoke& i) { return os << i.label; }

class InvokeNames : public AttrCommands, public ::testing::WithParamInterface<Invoke> {};

TEST_P(InvokeNames, AreSentOnlyWithThePrefixAndAFieldSafeMethodAndObjectArguments) {
    const uint32_t ids = call_ids();
    line.run([&](InterfaceLinkD& e) { e.user_invoke(GetParam().name, GetParam().args, "v1"); });
    if (GetParam().event.empty()) {
        ASSERT_TRUE(all_answered());
        EXPECT_EQ(call_ids(), ids + 1);
        EXPECT_EQ(line.events(), Events{R"(onInvokeRet|v1||{"result":"ok"})"});
    } else {
        EXPECT_EQ(call_ids(), ids);
        EXPECT_EQ(line.events(), Events{GetParam().event});
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, InvokeNames,
    ::testing::Values(Invoke{"method", "io.nuvra.signal.m", "{}", ""},
                      Invoke{"empty_method", "io.nuvra.signal.", "{}", ""},
                      Invoke{"no_prefix", "m", "{}", "onInvokeRet|v1|unsupported method name|"},
                      Invoke{"prefix_cut_short", "io.nuvra.signal", "{}", "onInvokeRet|v1|unsupported method name|"},
                      Invoke{"blank", "io.nuvra.signal.m 3", "{}", "onInvokeRet|v1|unsupported method name|"},
                      Invoke{"tab", "io.nuvra.signal.m\t", "{}", "onInvokeRet|v1|unsupported method name|"},
                      Invoke{"nul", string("io.nuvra.signal.m\0x", 19), "{}", "onInvokeRet|v1|unsupported method name|"},
                      Invoke{"delete", "io.nuvra.signal.m\x7f", "{}", "onInvokeRet|v1|unsupported method name|"},
                      Invoke{"args_empty", "io.nuvra.signal.m", "", "onInvokeRet|v1|args is not JSON|"},
                      Invoke{"args_array", "io.nuvra.signal.m", "[1]", "onInvokeRet|v1|args is not JSON|"},
                      Invoke{"args_broken", "io.nuvra.signal.m", "{\"a\"", "onInvokeRet|v1|args is not JSON|"},
                      Invoke{"args_too_deep", "io.nuvra.signal.m", string(3000, '{'), "onInvokeRet|v1|args is not JSON|"}),
    [](const ::testing::TestParamInfo<Invoke>& info) { return string(info.param.label); });

TEST_F(AttrCommands, InvokeWhileLoggedOutWaitsInTheQueueAndTimesOut) {
    line.run_and_time_out([](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        e.m_tcp_connected = false;
        e.user_invoke("io.nuvra.signal.m", "{}", "v1");
        EXPECT_EQ(e.m_main_slot.calls.size(), 1u);
    });
    EXPECT_EQ(line.events(), Events{"onInvokeRet|v1|time out|null"});
    EXPECT_FALSE(line.log.contains("onError"));
}

TEST_F(AttrCommands, InvokeReportsTheWholeAnswer) {
    line.server.set_call_script("m", CallScript::ok(parsed(R"({"z":{"a":1},"b":"x"})")));
    line.run([](InterfaceLinkD& e) { e.user_invoke("io.nuvra.signal.m", "{}", "v1"); });
    ASSERT_TRUE(all_answered());
    EXPECT_EQ(line.events(), Events{R"(onInvokeRet|v1||{"b":"x","result":"ok","z":{"a":1}})"});
}

// ------------------------------------------------------------ requests too long for one frame

// On any line the whole text of a call, "call <method> <id> 0 <request>",
// counted with a 10-digit id, must fit what one frame can compress.
constexpr size_t kLongestCallText = 953134;

size_t longest_request(const string& method) { return kLongestCallText - (5 + method.size() + 1 + 10 + 3); }

struct LongRequest {
    const char* label;
    string method;
    // The request as it goes out, split where the command's value goes.
    string before;
    string after;
    // Bytes of the value that go out escaped, as two ('"' as \").
    size_t quotes;
    std::function<void(InterfaceLinkD&, const string& value)> command;
    // The failure event is head + reason + tail.
    string failure_head;
    string failure_tail;
    Events success;
};

std::ostream& operator<<(std::ostream& os, const LongRequest& r) { return os << r.label; }

// The value as a JSON string's contents: it holds only quotes and 'x'.
string quoted(const string& value) {
    string out;
    for (char ch : value) out += ch == '"' ? string("\\\"") : string(1, ch);
    return out;
}

// The value that makes the request `size` bytes long.
string long_value(const LongRequest& r, size_t size) {
    const size_t text = size - r.before.size() - r.after.size();
    return string(r.quotes, '"') + string(text - 2 * r.quotes, 'x');
}

Events long_request_failure(const LongRequest& r, size_t size) {
    return {r.failure_head + "request too long : " + std::to_string(size) + " bytes, at most " +
            std::to_string(longest_request(r.method)) + r.failure_tail};
}

const char* const kNextCallEvent = R"(onInvokeRet|v2||{"result":"ok"})";

const LongRequest kLongRequests[] = {
    {"invoke", "echo", R"({"a":")", R"(","line":"L1"})", 0,
     [](InterfaceLinkD& e, const string& v) { e.user_invoke("io.nuvra.signal.echo", R"({"a":")" + quoted(v) + "\"}", "v1"); },
     "onInvokeRet|v1|", "|null", {R"(onInvokeRet|v1||{"result":"ok"})"}},
    {"set_attr", "user_set_attr", R"({"line":"L1","name":"k","value":")", R"("})", 0,
     [](InterfaceLinkD& e, const string& v) { e.user_set_attr("k", v); }, "onError|set_attr|1001|", "", {}},
    // The limit holds for the request as written, escapes included.
    {"set_attr_escaped", "user_set_attr", R"({"line":"L1","name":"k","value":")", R"("})", 1000,
     [](InterfaceLinkD& e, const string& v) { e.user_set_attr("k", v); }, "onError|set_attr|1001|", "", {}},
    {"channel_set_attr", "channel_set_attr", R"({"channel":"c","line":"L1","name":"k","value":")", R"("})", 0,
     [](InterfaceLinkD& e, const string& v) { e.user_channel_set_attr("c", "k", v); },
     "onError|channel_set_attr|1001|", "", {}},
};

// (request, one byte past the limit, compressed line)
using LongRequestCase = std::tuple<LongRequest, bool, bool>;

class LongRequests : public AttrCommands, public ::testing::WithParamInterface<LongRequestCase> {
protected:
    void SetUp() override {
        const bool compressed = std::get<2>(GetParam());
        on_engine([compressed](InterfaceLinkD& e) { e.m_tcp_conn_flag = compressed ? 1 : 0; });
        AttrCommands::SetUp();
    }
};

// Past the limit the call fails before any time-out could end it (the
// clock is never moved), and nothing of it reaches the server.
TEST_P(LongRequests, GoOutUpToTheLimitAndFailAtOnceNamingTheirSizePastIt) {
    const LongRequest& c = std::get<0>(GetParam());
    const bool past = std::get<1>(GetParam());
    const bool compressed = std::get<2>(GetParam());
    const size_t size = longest_request(c.method) + (past ? 1 : 0);
    const string value = long_value(c, size);
    line.run([&](InterfaceLinkD& e) { c.command(e, value); });

    Events expected = c.success;
    if (past) {
        expected = long_request_failure(c, size);
        ASSERT_TRUE(line.wait_events(1));
    } else {
        auto call = line.wait_call(c.method);
        ASSERT_TRUE(call);
        EXPECT_EQ(call->frame.flags, compressed ? 0x81 : 0x80);
        EXPECT_EQ(CommandLine::request_text(*call), c.before + quoted(value) + c.after);
        ASSERT_TRUE(all_answered());
    }
    EXPECT_EQ(line.events(), expected);

    line.run([](InterfaceLinkD& e) { e.user_invoke("io.nuvra.signal.next", "{}", "v2"); });
    ASSERT_TRUE(all_answered());
    expected.push_back(kNextCallEvent);
    EXPECT_EQ(line.events(), expected) << "the line goes on";
    EXPECT_EQ(line.server.count("call " + c.method + " "), past ? 0u : 1u);
    EXPECT_FALSE(line.log.contains(" send error : "));
}

INSTANTIATE_TEST_SUITE_P(
    All, LongRequests, ::testing::Combine(::testing::ValuesIn(kLongRequests), ::testing::Bool(), ::testing::Bool()),
    [](const ::testing::TestParamInfo<LongRequestCase>& info) {
        return string(std::get<0>(info.param).label) + (std::get<1>(info.param) ? "_past" : "_at") + "_limit_" +
               (std::get<2>(info.param) ? "compressed" : "plain");
    });

class LongRequestsWhileReconnecting : public AttrCommands, public ::testing::WithParamInterface<LongRequest> {};

// Judged when made, not when the line is back: waiting would end it only by
// its time-out. The call made after it waits for the line as usual.
TEST_P(LongRequestsWhileReconnecting, FailAtOnce) {
    const LongRequest& c = GetParam();
    const size_t size = longest_request(c.method) + 1;
    const string value = long_value(c, size);
    line.run([&](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_RECONNECTING);
        e.m_tcp_connected = false;
        c.command(e, value);
        e.user_invoke("io.nuvra.signal.next", "{}", "v2");
    });
    ASSERT_TRUE(line.wait_events(1));
    EXPECT_EQ(line.events(), long_request_failure(c, size));

    line.run([](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_LOGINED);
        e.m_tcp_connected = true;
        e.m_main_slot.do_call();
    });
    ASSERT_TRUE(all_answered());
    Events expected = long_request_failure(c, size);
    expected.push_back(kNextCallEvent);
    EXPECT_EQ(line.events(), expected);
    EXPECT_EQ(line.server.count("call " + c.method + " "), 0u);
}

INSTANTIATE_TEST_SUITE_P(All, LongRequestsWhileReconnecting, ::testing::ValuesIn(kLongRequests),
                         [](const ::testing::TestParamInfo<LongRequest>& info) { return string(info.param.label); });

// Made while the login has no line id yet, the request fits; the line id
// it carries once the line is up takes it past the limit.
TEST_F(AttrCommands, RequestTakenPastTheLimitByItsLineIdFailsWhenItsTurnComes) {
    const LongRequest& c = kLongRequests[1];  // set_attr
    // Its longest with the line id "L1", 2 bytes shorter with "", 1 byte
    // past the limit with "L1X".
    const string value = long_value(c, longest_request(c.method));
    line.run([&](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_LOGINING);
        // A login well inside its retry window.
        e.m_retry_max_time = 30000;
        e.m_retry_time_start = mynet::mono_time_ms();
        e.set_line("");
        e.m_tcp_connected = false;
        c.command(e, value);
        e.user_invoke("io.nuvra.signal.next", "{}", "v2");
    });
    line.run([](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_main_slot.calls.size(), 2u);
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_LOGINED);
        e.set_line("L1X");
        e.m_tcp_connected = true;
        e.m_main_slot.do_call();
    });
    ASSERT_TRUE(all_answered());
    Events expected = long_request_failure(c, longest_request(c.method) + 1);
    expected.push_back(kNextCallEvent);
    EXPECT_EQ(line.events(), expected);
    EXPECT_EQ(line.server.count("call " + c.method + " "), 0u);
    EXPECT_FALSE(line.log.contains(" send error : "));
}

// ------------------------------------------------------------ session controls and getters

TEST_F(AttrCommands, PingSendsAPingOnlyOnALoggedInLine) {
    const size_t frames = line.server.received().size();
    line.run([](InterfaceLinkD& e) { e.user_ping(); });
    EXPECT_TRUE(line.server.wait_for("line_ping:", CommandLine::kWaitMs, nuvra_test::Match::PREFIX, frames));
    EXPECT_TRUE(line.log.contains("usr             1.3.3.1_c2fb16d user_ping"));
    line.run([](InterfaceLinkD& e) {
        e.m_tcp_connected = false;
        const uint32_t pings = e.m_conn_info->ping_i;
        e.user_ping();
        EXPECT_EQ(e.m_conn_info->ping_i, pings);
        e.m_tcp_connected = true;
    });
    EXPECT_TRUE(line.events().empty());
}

TEST_F(AttrCommands, NetworkOffClosesTheLineAndOnChangesNothing) {
    line.run([](InterfaceLinkD& e) {
        e.user_setNetworkStatus(true);
        EXPECT_TRUE(e.m_network_enable);
    });
    EXPECT_FALSE(line.line.closed());
    line.run([](InterfaceLinkD& e) {
        e.user_setNetworkStatus(false);
        EXPECT_FALSE(e.m_network_enable);
    });
    EXPECT_TRUE(line.server.wait_for_close(nuvra_test::kLastConn, CommandLine::kWaitMs));
    EXPECT_TRUE(line.log.contains("user_setNetworkStatus isvalid=0"));
}

TEST_F(AttrCommands, TheStatusDebugKeyQueriesTheAccountsAsOneText) {
    line.server.set_call_script("user_query_user_status2", CallScript::ok(parsed(R"({"status":"1,0"})")));
    line.run([](InterfaceLinkD& e) { e.user_dbg("query_user_status", "a,b"); });
    auto call = line.wait_call("user_query_user_status2");
    ASSERT_TRUE(call);
    EXPECT_EQ(CommandLine::request_text(*call), R"({"accounts":"a,b","line":"L1"})");
    ASSERT_TRUE(all_answered());
    EXPECT_EQ(line.events(), Events{"onQueryUserStatusResult|a,b|1,0"});
}

TEST_F(AttrCommands, GettersReadTheEngine) {
    line.run([](InterfaceLinkD& e) {
        EXPECT_TRUE(e.user_isonline());
        EXPECT_EQ(e.user_getStatus(), InterfaceLinkD::LOGIN_STATE_LOGINED);
        EXPECT_EQ(e.getSdkVersion(), 1010303001);
        e.set_line("");
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_RECONNECTING);
        EXPECT_FALSE(e.user_isonline());
        EXPECT_EQ(e.user_getStatus(), 3);
    });
}

}  // namespace
