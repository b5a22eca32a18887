#include "line_msg_wire.h"

#include <pystring/pystring.h>

#include <cstdlib>

#include "json_text.h"

namespace line_msg {

const char* const kConfigKeyNames[CONFIG_COUNT] = {
    "config_call_mode",       "config_call_timeout",  "config_call_retry_time",  "config_call_concurrent",
    "config_msg_set",         "config_msg_v3",        "config_channel_msgid",    "config_channel_extra",
    "config_ping_time",       "config_line_login3",   "config_msgid_cache_time", "config_inst_msg_with_msgid",
};

namespace {

// Field n (from 1) of text cut at its first `splits` blanks; "" past the end.
// Every blank cuts, so two blanks in a row make an empty field, and the last
// field is the rest of the text, blanks and all. Only the field asked for is
// copied: the rest is often a long JSON text.
std::string field(const std::string& text, int splits, size_t n) {
    if (n == 0 || n - 1 > static_cast<size_t>(splits)) return std::string();
    size_t start = 0;
    for (size_t i = 1; i < n; ++i) {
        const size_t blank = text.find(' ', start);
        if (blank == std::string::npos) return std::string();
        start = blank + 1;
    }
    if (n - 1 == static_cast<size_t>(splits)) return text.substr(start);
    const size_t end = text.find(' ', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Keys are stored as the engine's int settings; a value that would read
// negative there is refused, and a call limit of 0 would stop every send.
std::optional<int> config_value(ConfigKey key, const Json::Value& v) {
    if (!v.isUInt()) return std::nullopt;
    const int value = static_cast<int>(v.asUInt());
    if (key == CONFIG_CALL_TIMEOUT && value < 0) return std::nullopt;
    if (key == CONFIG_CALL_CONCURRENT && value <= 0) return std::nullopt;
    return value;
}

// "login_res ok " + field 3 + " " + the JSON body.
LineMsg login_answer(const std::string& text) {
    LineMsg m;
    m.kind = LOGIN_MALFORMED;
    Json::Value body;
    if (!parse_json(field(text, 3, 4), body) || !body.isObject()) return m;
    const Json::Value& uid = json_member(body, "uid");
    const Json::Value& line = json_member(body, "line");
    // Without a line id the session could never be ended or resumed; a uid
    // of 0 is a user id like any other.
    if (!uid.isUInt() || !line.isString() || json_as_string(line).empty()) return m;
    m.kind = LOGIN_OK;
    m.uid = uid.asUInt();
    m.line = json_as_string(line);
    for (int k = 0; k < CONFIG_COUNT; ++k)
        m.config[k] = config_value(static_cast<ConfigKey>(k), json_member(body, kConfigKeyNames[k]));
    return m;
}

LineMsg login_refusal(const std::string& text) {
    LineMsg m;
    m.kind = LOGIN_REFUSED;
    m.code = 201;
    Json::Value body;
    if (!parse_json(field(text, 2, 3), body) || !body.isObject() || !json_member(body, "reason").isString()) return m;
    m.reason = json_as_string(json_member(body, "reason"));
    m.code = login_refusal_code(m.reason);
    return m;
}

LineMsg awaiting_login(const std::string& text) {
    if (pystring::startswith(text, "login_res")) {
        return pystring::startswith(text, "login_res ok ") ? login_answer(text) : login_refusal(text);
    }
    LineMsg m;
    if (pystring::startswith(text, "line_login_res ok")) {
        m.kind = RELOGIN_OK;
        return m;
    }
    m.kind = RELOGIN_REFUSED;
    m.code = text == "line_login_res kick" ? 103 : 102;
    return m;
}

LineMsg notification(const std::string& text) {
    LineMsg m;
    m.kind = NOTIFY_IGNORED;
    if (pystring::startswith(text, "notify msg ")) {
        m.kind = NOTIFY_MSG;
        m.ver = static_cast<uint32_t>(std::atoi(field(text, 2, 3).c_str()));
    } else if (pystring::startswith(text, "notify recvmsg ")) {
        Json::Value pushed;
        if (!parse_json(field(text, 2, 3), pushed) || !pushed.isArray()) return m;
        m.kind = NOTIFY_RECVMSG;
        m.ver = json_as_uint(json_index(pushed, 0));
        m.text = json_as_string(json_index(pushed, 1));
    } else if (pystring::startswith(text, "notify recvmsg_by_msgid ")) {
        m.kind = NOTIFY_RECVMSG_BY_MSGID;
        m.text = field(text, 2, 3);
    } else if (pystring::startswith(text, "notify channel ")) {
        m.kind = NOTIFY_CHANNEL;
        m.text = field(text, 2, 3);
    } else if (pystring::startswith(text, "notify channel2 ")) {
        m.kind = NOTIFY_CHANNEL2;
        m.channel_msgid = static_cast<uint64_t>(std::atol(field(text, 3, 3).c_str()));
        m.text = field(text, 3, 4);
    } else if (pystring::startswith(text, "notify outofsync")) {
        m.kind = NOTIFY_OUTOFSYNC;
    } else if (pystring::startswith(text, "notify kick")) {
        m.kind = NOTIFY_KICK;
    } else if (pystring::startswith(text, "notify TokenErrorExpired")) {
        m.kind = NOTIFY_TOKEN_EXPIRED;
    } else if (pystring::startswith(text, "notify wrong_line")) {
        m.kind = NOTIFY_WRONG_LINE;
    }
    return m;
}

LineMsg logged_in(const std::string& text) {
    LineMsg m;
    if (pystring::startswith(text, "line_pong:")) {
        m.kind = PONG;
    } else if (pystring::startswith(text, "notify ")) {
        m = notification(text);
    } else if (pystring::startswith(text, "call_ret ")) {
        m.kind = CALL_RET;
        m.call_id = static_cast<uint32_t>(std::atoi(field(text, 4, 3).c_str()));
        m.text = field(text, 4, 5);
    } else {
        m.kind = UNKNOWN;
    }
    return m;
}

}  // namespace

LineMsg parse_line_msg(int conn_state, const std::string& text) {
    if (conn_state == kAwaitingLogin) return awaiting_login(text);
    if (conn_state == kLoggedIn) return logged_in(text);
    return LineMsg();
}

int login_refusal_code(const std::string& reason) {
    if (reason == "kick") return 207;
    if (reason == "TokenErrorExpired") return 204;
    if (pystring::startswith(reason, "TokenError")) return 206;
    if (pystring::startswith(reason, "wrong account")) return 209;
    return 201;
}

}  // namespace line_msg
