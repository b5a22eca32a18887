#pragma once

// The texts a line server sends, classified and taken apart without a
// socket or an engine: what a text means depends only on the state of the
// connection it came on (awaiting the login answer, logged in, closed).

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

namespace line_msg {

enum Kind {
    // The connection awaits the answer to its login or re-login.
    LOGIN_OK,         // "login_res ok " with a usable uid and line id
    LOGIN_MALFORMED,  // "login_res ok " whose body is unusable
    LOGIN_REFUSED,    // any other "login_res": code and reason
    RELOGIN_OK,       // "line_login_res ok"
    RELOGIN_REFUSED,  // anything else: code 103 or 102
    // The connection is logged in.
    PONG,
    NOTIFY_MSG,               // ver: the version announced
    NOTIFY_RECVMSG,           // ver and text of the pushed message
    NOTIFY_RECVMSG_BY_MSGID,  // text
    NOTIFY_CHANNEL,           // text
    NOTIFY_CHANNEL2,          // channel_msgid and text
    NOTIFY_OUTOFSYNC,
    NOTIFY_KICK,
    NOTIFY_TOKEN_EXPIRED,
    NOTIFY_WRONG_LINE,
    NOTIFY_IGNORED,  // an unknown notification, or one whose body is unusable
    CALL_RET,        // call_id and the answer text
    UNKNOWN,         // no rule for it on a logged-in connection
    // The connection is closed.
    IGNORED,
    KIND_COUNT
};

// The server's settings in a login answer, in the order they are applied.
enum ConfigKey {
    CONFIG_CALL_MODE,
    CONFIG_CALL_TIMEOUT,
    CONFIG_CALL_RETRY_TIME,
    CONFIG_CALL_CONCURRENT,
    CONFIG_MSG_SET,
    CONFIG_MSG_V3,
    CONFIG_CHANNEL_MSGID,
    CONFIG_CHANNEL_EXTRA,
    CONFIG_PING_TIME,
    CONFIG_LINE_LOGIN3,
    CONFIG_MSGID_CACHE_TIME,
    CONFIG_INST_MSG_WITH_MSGID,
    CONFIG_COUNT
};
extern const char* const kConfigKeyNames[CONFIG_COUNT];

struct LineMsg {
    Kind kind = IGNORED;
    // LOGIN_REFUSED, RELOGIN_REFUSED: the error code; LOGIN_REFUSED: the reason.
    int code = 0;
    std::string reason;
    // LOGIN_OK.
    uint32_t uid = 0;
    std::string line;
    // A key is set only when the answer carries it as a number in the range
    // the engine can use; otherwise the engine keeps its value.
    std::optional<int> config[CONFIG_COUNT];
    // NOTIFY_MSG, NOTIFY_RECVMSG.
    uint32_t ver = 0;
    // NOTIFY_CHANNEL2.
    uint64_t channel_msgid = 0;
    // CALL_RET.
    uint32_t call_id = 0;
    // The message text of the notifications, the answer of CALL_RET.
    std::string text;
};

// The connection states, as InterfaceLinkD::CONN_STATE numbers them.
constexpr int kAwaitingLogin = 0;
constexpr int kLoggedIn = 1;

// Classifies and cuts one text received on a connection in conn_state.
LineMsg parse_line_msg(int conn_state, const std::string& text);

// The error code of a login refused with reason.
int login_refusal_code(const std::string& reason);

}  // namespace line_msg
