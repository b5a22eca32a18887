#include "line_msg_wire.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using namespace line_msg;

namespace {

constexpr int kAwaiting = kAwaitingLogin;
constexpr int kLogged = kLoggedIn;
constexpr int kClosed = 2;

struct KindCase {
    int state;
    const char* text;
    Kind kind;
    int code;
};

std::ostream& operator<<(std::ostream& os, const KindCase& c) { return os << c.state << ":" << c.text; }

class LineMsgKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(LineMsgKinds, ClassifiesByConnectionStateAndPrefix) {
    const KindCase& c = GetParam();
    LineMsg m = parse_line_msg(c.state, c.text);
    EXPECT_EQ(m.kind, c.kind);
    EXPECT_EQ(m.code, c.code);
}

const KindCase kKinds[] = {
    // Awaiting the login answer only the two answers are understood.
    {kAwaiting, "login_res ok 0 {\"uid\":7,\"line\":\"L9\"}", LOGIN_OK, 0},
    {kAwaiting, "login_res ok {\"uid\":7,\"line\":\"L9\"}", LOGIN_MALFORMED, 0},
    {kAwaiting, "login_res ok ", LOGIN_MALFORMED, 0},
    {kAwaiting, "login_res ok", LOGIN_REFUSED, 201},
    {kAwaiting, "login_res", LOGIN_REFUSED, 201},
    {kAwaiting, "line_login_res ok", RELOGIN_OK, 0},
    {kAwaiting, "line_login_res okay", RELOGIN_OK, 0},
    {kAwaiting, "line_login_res kick", RELOGIN_REFUSED, 103},
    {kAwaiting, "line_login_res kick ", RELOGIN_REFUSED, 102},
    {kAwaiting, "line_login_res other", RELOGIN_REFUSED, 102},
    {kAwaiting, "notify msg 3", RELOGIN_REFUSED, 102},
    {kAwaiting, "line_pong:1", RELOGIN_REFUSED, 102},
    {kAwaiting, "", RELOGIN_REFUSED, 102},
    // Logged in: pongs, notifications and call answers.
    {kLogged, "line_pong:1", PONG, 0},
    {kLogged, "line_pong:", PONG, 0},
    {kLogged, "notify msg 12", NOTIFY_MSG, 0},
    {kLogged, "notify recvmsg [6,\"x\"]", NOTIFY_RECVMSG, 0},
    {kLogged, "notify recvmsg {\"a\":1}", NOTIFY_IGNORED, 0},
    {kLogged, "notify recvmsg nope", NOTIFY_IGNORED, 0},
    {kLogged, "notify recvmsg_by_msgid m", NOTIFY_RECVMSG_BY_MSGID, 0},
    {kLogged, "notify channel m", NOTIFY_CHANNEL, 0},
    {kLogged, "notify channel2 5 m", NOTIFY_CHANNEL2, 0},
    {kLogged, "notify outofsync", NOTIFY_OUTOFSYNC, 0},
    {kLogged, "notify kick", NOTIFY_KICK, 0},
    {kLogged, "notify kickedagain", NOTIFY_KICK, 0},
    {kLogged, "notify TokenErrorExpired", NOTIFY_TOKEN_EXPIRED, 0},
    {kLogged, "notify wrong_line", NOTIFY_WRONG_LINE, 0},
    {kLogged, "notify whatever", NOTIFY_IGNORED, 0},
    {kLogged, "notify msg", NOTIFY_IGNORED, 0},
    {kLogged, "call_ret m 12 0 {}", CALL_RET, 0},
    {kLogged, "login_res ok 0 {\"uid\":7,\"line\":\"L9\"}", UNKNOWN, 0},
    {kLogged, "line_login_res ok", UNKNOWN, 0},
    {kLogged, "call_ret", UNKNOWN, 0},
    // A closed connection understands nothing.
    {kClosed, "notify kick", IGNORED, 0},
    {kClosed, "login_res ok 0 {\"uid\":7,\"line\":\"L9\"}", IGNORED, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, LineMsgKinds, ::testing::ValuesIn(kKinds));

struct RefusalCase {
    const char* body;
    int code;
    const char* reason;
};

std::ostream& operator<<(std::ostream& os, const RefusalCase& c) { return os << c.body; }

class LoginRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LoginRefusals, MapTheReasonToItsCode) {
    const RefusalCase& c = GetParam();
    LineMsg m = parse_line_msg(kAwaiting, std::string("login_res failed ") + c.body);
    EXPECT_EQ(m.kind, LOGIN_REFUSED);
    EXPECT_EQ(m.code, c.code);
    EXPECT_EQ(m.reason, c.reason);
}

const RefusalCase kRefusals[] = {
    {"{\"reason\":\"kick\"}", 207, "kick"},
    {"{\"reason\":\"kicked\"}", 201, "kicked"},
    {"{\"reason\":\"TokenErrorExpired\"}", 204, "TokenErrorExpired"},
    {"{\"reason\":\"TokenErrorExpiredSoon\"}", 206, "TokenErrorExpiredSoon"},
    {"{\"reason\":\"TokenErrorBad\"}", 206, "TokenErrorBad"},
    {"{\"reason\":\"wrong account name\"}", 209, "wrong account name"},
    {"{\"reason\":\"busy\"}", 201, "busy"},
    {"{}", 201, ""},
    {"[\"kick\"]", 201, ""},
    {"{\"reason\":[\"kick\"]}", 201, ""},
    {"{\"reason\":7}", 201, ""},
    {"not json", 201, ""},
    {"", 201, ""},
};

INSTANTIATE_TEST_SUITE_P(Table, LoginRefusals, ::testing::ValuesIn(kRefusals));

TEST(LoginAnswer, CarriesUidLineAndTheConfigKeysThatAreUsable) {
    LineMsg m = parse_line_msg(
        kAwaiting,
        "login_res ok 0 {\"uid\":7,\"line\":\"L 9\",\"config_ping_time\":20000,\"config_call_mode\":1,"
        "\"config_call_timeout\":4294967295,\"config_call_concurrent\":0,\"config_msg_set\":\"1\","
        "\"config_line_login3\":-1,\"config_msgid_cache_time\":5.0,\"other\":1}");
    ASSERT_EQ(m.kind, LOGIN_OK);
    EXPECT_EQ(m.uid, 7u);
    EXPECT_EQ(m.line, "L 9");
    EXPECT_EQ(m.config[CONFIG_PING_TIME], 20000);
    EXPECT_EQ(m.config[CONFIG_CALL_MODE], 1);
    EXPECT_EQ(m.config[CONFIG_MSGID_CACHE_TIME], 5);
    // Negative once stored, a call limit of 0, a text and a negative number
    // leave the setting as it was.
    EXPECT_FALSE(m.config[CONFIG_CALL_TIMEOUT]);
    EXPECT_FALSE(m.config[CONFIG_CALL_CONCURRENT]);
    EXPECT_FALSE(m.config[CONFIG_MSG_SET]);
    EXPECT_FALSE(m.config[CONFIG_LINE_LOGIN3]);
    EXPECT_FALSE(m.config[CONFIG_CHANNEL_MSGID]);
    EXPECT_EQ(std::string(kConfigKeyNames[CONFIG_INST_MSG_WITH_MSGID]), "config_inst_msg_with_msgid");
}

struct LoginBodyCase {
    const char* body;
    Kind kind;
    uint32_t uid;
};

std::ostream& operator<<(std::ostream& os, const LoginBodyCase& c) { return os << c.body; }

class LoginBodies : public ::testing::TestWithParam<LoginBodyCase> {};

TEST_P(LoginBodies, NeedAnUnsignedUidAndALineId) {
    const LoginBodyCase& c = GetParam();
    LineMsg m = parse_line_msg(kAwaiting, std::string("login_res ok 0 ") + c.body);
    EXPECT_EQ(m.kind, c.kind);
    EXPECT_EQ(m.uid, c.uid);
    EXPECT_EQ(m.line, c.kind == LOGIN_OK ? "L" : "");
}

const LoginBodyCase kLoginBodies[] = {
    // Every unsigned 32-bit uid is a user id, 0 too.
    {"{\"uid\":0,\"line\":\"L\"}", LOGIN_OK, 0},
    {"{\"uid\":4294967295,\"line\":\"L\"}", LOGIN_OK, 4294967295u},
    {"{\"uid\":7.0,\"line\":\"L\"}", LOGIN_OK, 7},
    {"{\"line\":\"L\"}", LOGIN_MALFORMED, 0},
    {"{\"uid\":\"7\",\"line\":\"L\"}", LOGIN_MALFORMED, 0},
    {"{\"uid\":null,\"line\":\"L\"}", LOGIN_MALFORMED, 0},
    {"{\"uid\":-7,\"line\":\"L\"}", LOGIN_MALFORMED, 0},
    // Not a value an unsigned 32-bit uid can take.
    {"{\"uid\":4294967296,\"line\":\"L\"}", LOGIN_MALFORMED, 0},
    {"{\"uid\":1.5,\"line\":\"L\"}", LOGIN_MALFORMED, 0},
    {"{\"uid\":7}", LOGIN_MALFORMED, 0},
    {"{\"uid\":7,\"line\":\"\"}", LOGIN_MALFORMED, 0},
    {"{\"uid\":7,\"line\":7}", LOGIN_MALFORMED, 0},
    {"{\"uid\":7,\"line\":[\"L\"]}", LOGIN_MALFORMED, 0},
    {"[7,\"L\"]", LOGIN_MALFORMED, 0},
    {"{", LOGIN_MALFORMED, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, LoginBodies, ::testing::ValuesIn(kLoginBodies));

TEST(LineMsgFields, CutAtTheirBlanksKeepingTheLastWhole) {
    LineMsg call = parse_line_msg(kLogged, "call_ret m 12 0 {\"result\": \"ok\"}");
    EXPECT_EQ(call.call_id, 12u);
    EXPECT_EQ(call.text, "{\"result\": \"ok\"}");

    LineMsg bare = parse_line_msg(kLogged, "call_ret x y");
    EXPECT_EQ(bare.kind, CALL_RET);
    EXPECT_EQ(bare.call_id, 0u);
    EXPECT_EQ(bare.text, "");

    LineMsg ch2 = parse_line_msg(kLogged, "notify channel2 5 text with blanks");
    EXPECT_EQ(ch2.channel_msgid, 5u);
    EXPECT_EQ(ch2.text, "text with blanks");

    LineMsg big = parse_line_msg(kLogged, "notify channel2 9000000000 t");
    EXPECT_EQ(big.channel_msgid, 9000000000u);

    LineMsg recv = parse_line_msg(kLogged, "notify recvmsg [6]");
    EXPECT_EQ(recv.ver, 6u);
    EXPECT_EQ(recv.text, "");

    LineMsg odd = parse_line_msg(kLogged, "notify recvmsg [\"6\",{\"a\":1}]");
    EXPECT_EQ(odd.kind, NOTIFY_RECVMSG);
    EXPECT_EQ(odd.ver, 0u);
    EXPECT_EQ(odd.text, "");

    LineMsg ver = parse_line_msg(kLogged, "notify msg 41 trailing");
    EXPECT_EQ(ver.ver, 41u);

    LineMsg by_id = parse_line_msg(kLogged, "notify recvmsg_by_msgid a b");
    EXPECT_EQ(by_id.text, "a b");

    // Every blank cuts: two in a row make an empty field, and a blank at
    // the end leaves an empty last field.
    LineMsg doubled = parse_line_msg(kLogged, "call_ret m  12 0 {}");
    EXPECT_EQ(doubled.call_id, 0u);
    EXPECT_EQ(doubled.text, "0 {}");
    LineMsg trailing = parse_line_msg(kLogged, "call_ret m 12 0 ");
    EXPECT_EQ(trailing.call_id, 12u);
    EXPECT_EQ(trailing.text, "");
}

}  // namespace
