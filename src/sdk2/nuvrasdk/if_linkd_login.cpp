// The login state machine: the attempts of one user_login with their retry
// window and back-off, the session it opens, and the events reporting both.
#include <algorithm>
#include <climits>

#include "if_linkd.h"
#include "log.h"
#include "sdk_version.h"

namespace {

const char* const kTag = "usr.cb";
constexpr uint64_t kTokenRefusalMemoryMs = 59999;

std::string head(const std::string& s, size_t n) { return s.substr(0, n); }

// Seconds to milliseconds, clamped to what the window member holds.
int window_ms(int seconds) {
    const int64_t ms = static_cast<int64_t>(seconds) * 1000;
    return static_cast<int>(std::max<int64_t>(INT_MIN, std::min<int64_t>(INT_MAX, ms)));
}

}  // namespace

void InterfaceLinkD::user_login(const std::string& vid, const std::string& account, const std::string& token,
                                uint32_t uid, const std::string& deviceID, int retry_max_time, int retry_max_count) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s login %s %d %s %s %s %u %s", mynet::log_time(), "usr",
             NUVRA_SDK_VERSION_TEXT, NUVRA_SDK_VERSION, head(vid, 6).c_str(), account.c_str(),
             token_for_log(token).c_str(), uid, head(deviceID, 8).c_str());
    if (m_login_state != LOGIN_STATE_NOT_LOGIN) {
        fire_onError("login", nuvra_sdk::LOGIN_E_ALREADY_LOGIN, std::string("login in wrong status : ") + m_login_state);
        return;
    }
    hold_queue();
    set_reporter_header();
    set_login_state(LOGIN_STATE_LOGINING);
    const uint64_t now = mynet::mono_time_ms();

    if (token == m_last_login_token) {
        if (m_last_login_result == nuvra_sdk::LOGIN_E_TOKENEXPIRED) {
            fire_onLoginFailed(nuvra_sdk::LOGIN_E_TOKENEXPIRED);
            return;
        }
        if (m_last_login_result == nuvra_sdk::LOGIN_E_TOKENWRONG && m_last_login_time != 0 &&
            mynet::elapsed_ms(m_last_login_time, now) <= kTokenRefusalMemoryMs) {
            fire_onLoginFailed(nuvra_sdk::LOGIN_E_TOKENWRONG);
            return;
        }
    }
    m_last_login_token = token;
    m_last_login_time = now;

    const std::string app_id = vid.empty() ? m_vid : vid;
    if (app_id.empty()) {
        fire_onError("login", nuvra_sdk::GENERAL_E_WRONG_PARAM, "login with empty vendorKey");
        fire_onLoginFailed(nuvra_sdk::GENERAL_E_WRONG_PARAM);
        return;
    }
    m_vid = app_id;

    if (m_last_t_login && !m_last_t_login->isdone) m_last_t_login->end(false, "relogin", m_last_t_login_info.json());
    m_last_t_login_info.clear(false);

    m_retry_max_time = window_ms(retry_max_time);
    m_retry_max_count = retry_max_count;
    m_retry_time_start = mynet::mono_time_ms();
    m_retry_count = 0;

    m_account = account;
    m_token = token;
    m_deviceID = deviceID;
    m_uid_req = uid;
    // Polls belong to their session: an answer to an earlier one changes nothing.
    m_is_polling = false;
    m_poll_again = false;
    ++m_poll_seq;
    m_main_slot.clear();
    set_reporter_header();

    Json::Value params(Json::objectValue);
    params["reserve"] = 0;
    params["rmt"] = retry_max_time;
    params["rmc"] = retry_max_count;
    m_last_t_login = rp.t_start("login", m_vid + m_account + std::to_string(mynet::get_time_in_ms()), params);

    set_channel_name("");
    m_channel_msgid = 0;
    m_pending_joins.clear();
    try_login();
}

void InterfaceLinkD::try_login() {
    m_retry_delay = m_retry_delay_min;
    m_retry_count += 1;
    next_login_attempt("dns");
    login_start(m_login_session);
}

void InterfaceLinkD::login_start(int login_session) {
    if (m_login_state == LOGIN_STATE_NOT_LOGIN) return;
    if (m_login_state == LOGIN_STATE_LOGINED || m_login_state == LOGIN_STATE_RECONNECTING) {
        m_retry += 1;
        fire_onReconnecting(m_retry);
        if (m_login_state == LOGIN_STATE_NOT_LOGIN) return;
    }
    m_login_session_step = "lbs";
    login_mode2_step_12_lbs(login_session);
}

// The wait is the delay in force now; it doubles when the attempt starts.
// The delayed attempt is dropped when another attempt began meanwhile.
void InterfaceLinkD::reconnect() {
    int32_t elapsed = 0;
    if (retry_window_open(elapsed)) {
        m_retry_count += 1;
        m_tcp_connected = false;
        drop_conn();
        const int login_session = m_login_session;
        mynet::do_later(m_retry_delay, m_lifeline.guard([this, login_session] {
            if (login_session != m_login_session) return;
            m_retry_delay = std::min(2 * m_retry_delay, m_retry_delay_max);
            next_login_attempt("dns");
            login_start(m_login_session);
        }));
        return;
    }
    if (m_login_state == LOGIN_STATE_LOGINING) {
        fire_onLoginFailed(nuvra_sdk::LOGIN_E_NET);
    } else if (m_login_state == LOGIN_STATE_RECONNECTING) {
        fire_onLogout(nuvra_sdk::LOGOUT_E_NET);
    }
}

void InterfaceLinkD::login_timeout() {
    if (m_login_state != LOGIN_STATE_LOGINING) return;
    const uint64_t limit = static_cast<uint64_t>(static_cast<int64_t>(m_retry_max_time));
    if (mynet::elapsed_ms(m_retry_time_start, mynet::mono_time_ms()) > limit) fire_onLoginFailed(nuvra_sdk::LOGIN_E_NET);
}

void InterfaceLinkD::login_step_4_failed(int login_session, int ecode, std::string) {
    if (login_session != m_login_session) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s wrong state %d : %d ", mynet::log_time(), "conn", login_session,
                 m_login_session);
        return;
    }
    if (m_login_state == LOGIN_STATE_LOGINING) {
        fire_onLoginFailed(ecode);
    } else if (m_login_state == LOGIN_STATE_RECONNECTING) {
        reconnect();
    }
}

void InterfaceLinkD::login_event_process(int event, int ecode, std::string reason) {
    const int state = m_login_state;
    auto wrong = [state, event] {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : wrong state / event : %d %d", mynet::log_time(), state, event);
    };
    switch (event) {
    case LOGIN_EVENT_CONN_FAILED:
        if (state == LOGIN_STATE_LOGINING) {
            fire_onLoginFailed(nuvra_sdk::LOGIN_E_NET);
        } else if (state == LOGIN_STATE_RECONNECTING) {
            reset_retry_window();
            reconnect();
        } else {
            wrong();
        }
        break;
    case LOGIN_EVENT_CONN_CLOSED:
        if (state == LOGIN_STATE_LOGINING) {
            fire_onLoginFailed(nuvra_sdk::LOGIN_E_NET);
        } else if (state == LOGIN_STATE_LOGINED || state == LOGIN_STATE_RECONNECTING) {
            set_login_state(LOGIN_STATE_RECONNECTING);
            reset_retry_window();
            reconnect();
        }
        break;
    case LOGIN_EVENT_LOGIN_FAILED:
        if (state == LOGIN_STATE_LOGINING) {
            fire_onLoginFailed(ecode);
            if (ecode != nuvra_sdk::LOGIN_E_NET) fire_onError("login", ecode, reason);
        } else if (state == LOGIN_STATE_LOGINED || state == LOGIN_STATE_RECONNECTING) {
            wrong();
        }
        break;
    case LOGIN_EVENT_LINE_LOGIN_FAILED:
        if (state == LOGIN_STATE_RECONNECTING) fire_onLogout(ecode);
        break;
    default:
        break;
    }
}

void InterfaceLinkD::fire_onReconnecting(uint32_t nretry) {
    if (nretry > static_cast<uint32_t>(m_retry_max_count)) {
        fire_onLogout(nuvra_sdk::LOGOUT_E_NET);
        return;
    }
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onReconnecting %u", mynet::log_time(), kTag, nretry);
    m_callback->onReconnecting(nretry);
}

void InterfaceLinkD::fire_onReconnected(int fd) {
    m_retry = 0;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onReconnected %u", mynet::log_time(), kTag,
             static_cast<unsigned>(fd));
    m_callback->onReconnected(fd);
}

void InterfaceLinkD::fire_onLoginSuccess(uint32_t uid, int fd) {
    if (m_login_state != LOGIN_STATE_LOGINING) return;
    release_queue();
    const uint64_t now = mynet::mono_time_ms();
    m_last_t_login_info.set("uid", uid);
    m_last_t_login_info.set("t4", Json::UInt64(mynet::elapsed_ms(m_last_t_login_t2, now)));
    m_last_t_login_info.set("step", "done");
    if (m_last_t_login) m_last_t_login->end(true, "success", m_last_t_login_info.json());
    // An ended record and its details are never reported again.
    m_last_t_login.reset();
    m_last_t_login_info.clear(true);
    m_retry = 0;
    m_last_active_time = mynet::mono_time_ms();
    set_login_state(LOGIN_STATE_LOGINED);
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onLoginSuccess %u %u", mynet::log_time(), kTag, uid,
             static_cast<unsigned>(fd));
    m_last_login_result = 0;
    m_callback->onLoginSuccess(uid, fd);
}

// A final failure ends the attempt: whatever of it is still running, a late
// answer included, is stale from here on.
void InterfaceLinkD::fire_onLoginFailed(int ecode) {
    if (m_login_state != LOGIN_STATE_LOGINING) return;
    release_queue();
    int32_t elapsed = 0;
    if ((ecode == nuvra_sdk::LOGIN_E_NET || ecode == nuvra_sdk::GENERAL_E_UNKNOWN) && retry_window_open(elapsed)) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s retry login, count %d %d,  time %u %u ", mynet::log_time(),
                 "login", m_retry_count, m_retry_max_count, static_cast<unsigned>(elapsed),
                 static_cast<unsigned>(m_retry_max_time));
        reconnect();
        return;
    }
    set_login_state(LOGIN_STATE_NOT_LOGIN);
    next_login_attempt("");
    m_tcp_connected = false;
    drop_conn();
    if (m_last_t_login) {
        m_last_t_login_info.set("ecode", ecode);
        m_last_t_login->end(false, "failed", m_last_t_login_info.json());
    }
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onLoginFailed %d", mynet::log_time(), kTag, ecode);
    m_last_login_result = ecode;
    do_report_log();
    m_callback->onLoginFailed(ecode);
}

void InterfaceLinkD::fire_onLogout(int ecode) {
    if (m_line.empty()) return;
    drop_conn();
    m_tcp_connected = false;
    set_line("");
    m_uid = 0;
    set_login_state(LOGIN_STATE_NOT_LOGIN);
    next_login_attempt("");
    if (m_config_call_mode == 1) m_main_slot.fail_all_call();
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onLogout %d", mynet::log_time(), kTag, ecode);
    if (ecode != nuvra_sdk::LOGOUT_E_USER) do_report_log();
    m_callback->onLogout(ecode);
}

void InterfaceLinkD::user_logout() {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_logout", mynet::log_time(), "usr");
    if (m_line.empty()) {
        fire_onError("logout", nuvra_sdk::LOGOUT_E_ALREADY_LOGOUT, "logout when logouted, ignore this action");
        return;
    }
    hold_queue();
    Json::Value req(Json::objectValue);
    req["line"] = m_line;
    req["ver_clear"] = m_ver_clear;
    const std::string line = m_line;
    call_api(0, "user_logout", req, [this, line](int, const std::string&, const Json::Value&) {
        release_queue();
        if (line != m_line) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s logouted when relogin", mynet::log_time(), "info");
            return;
        }
        fire_onLogout(nuvra_sdk::LOGOUT_E_USER);
    }, false);
}

bool InterfaceLinkD::retry_window_open(int32_t& elapsed) const {
    const uint32_t now32 = static_cast<uint32_t>(mynet::mono_time_ms());
    elapsed = static_cast<int32_t>(now32 - static_cast<uint32_t>(m_retry_time_start));
    return m_retry_max_time > elapsed && m_retry_count < m_retry_max_count;
}

void InterfaceLinkD::reset_retry_window() {
    m_retry_count = 0;
    m_retry_delay = m_retry_delay_min;
    m_retry_time_start = mynet::mono_time_ms();
}

void InterfaceLinkD::next_login_attempt(const char* step) {
    m_login_session_step = step;
    m_login_session += 1;
}

bool InterfaceLinkD::login_step_is_current(int login_session, const char* step, const std::string& tag,
                                           const char* prefix, STALE_STEP_NAMED named) const {
    if (login_session == m_login_session && m_login_session_step == step) return true;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s %swrong state %d : %d %s", mynet::log_time(), tag.c_str(), prefix,
             login_session, m_login_session, named == STALE_NAMES_OWN_STEP ? step : m_login_session_step.c_str());
    return false;
}

void InterfaceLinkD::drop_conn() {
    if (!m_conn_info) return;
    std::shared_ptr<ConnInfo> info = std::move(m_conn_info);
    info->close();
}

void InterfaceLinkD::idle_logout(uint64_t now) {
    if (m_line.empty()) return;
    const uint64_t limit = m_isbackground ? 905000 : 185000;
    if (mynet::elapsed_ms(m_last_active_time, now) > limit) fire_onLogout(nuvra_sdk::LOGOUT_E_NET);
}

// Engines built without an instance queue (tests) have nothing to hold.
void InterfaceLinkD::hold_queue() {
    if (async) async->stop();
}

void InterfaceLinkD::release_queue() {
    if (async) async->start();
}

// The answers to the login request and the re-login request.

void InterfaceLinkD::adopt_logged_in_conn(ConnInfo& info) {
    info.state = CONN_STATE_LOGINED;
    info.flag = m_tcp_conn_flag;
    info.sendping();
    m_tcp_connected = true;
}

// Only a first login takes a login answer; anywhere else it is a text the
// connection did not expect.
void InterfaceLinkD::on_login_answer(const LineText& t) {
    if (m_login_state != LOGIN_STATE_LOGINING) {
        on_relogin_refused(t);
        return;
    }
    adopt_logged_in_conn(*t.info);
    apply_login_config(t.msg);
    m_uid = t.msg.uid;
    set_line(t.msg.line);
    m_ver_clear = 0;
    m_ver_notify = 0;
    m_time_poll_ack = 0;
    m_time_poll_last = 0;
    set_reporter_header();
    fire_onLoginSuccess(m_uid, t.conn->getFD());
    // Calls queued while logging in leave now, not at some later poll.
    m_main_slot.do_call();
}

void InterfaceLinkD::on_login_malformed(const LineText& t) {
    if (m_login_state != LOGIN_STATE_LOGINING) {
        on_relogin_refused(t);
        return;
    }
    adopt_logged_in_conn(*t.info);
    fire_onLoginFailed(nuvra_sdk::GENERAL_E_UNKNOWN);
    fire_onError("login", nuvra_sdk::GENERAL_E_UNKNOWN, "wrong login resp");
    stop_conn();
}

void InterfaceLinkD::on_login_refused(const LineText& t) {
    login_event_process(LOGIN_EVENT_LOGIN_FAILED, t.msg.code, t.msg.reason);
}

void InterfaceLinkD::apply_login_config(const line_msg::LineMsg& m) {
    static int InterfaceLinkD::*const kMembers[line_msg::CONFIG_COUNT] = {
        &InterfaceLinkD::m_config_call_mode,       &InterfaceLinkD::m_config_call_timeout,
        &InterfaceLinkD::m_config_call_retry_time, &InterfaceLinkD::m_config_call_concurrent,
        &InterfaceLinkD::m_config_msg_set,         &InterfaceLinkD::m_config_msg_v3,
        &InterfaceLinkD::m_config_channel_msgid,   &InterfaceLinkD::m_config_channel_extra,
        &InterfaceLinkD::m_config_ping_time,       &InterfaceLinkD::m_config_line_login3,
        &InterfaceLinkD::m_config_msgid_cache_time, &InterfaceLinkD::m_config_inst_msg_with_msgid,
    };
    for (int k = 0; k < line_msg::CONFIG_COUNT; ++k)
        if (m.config[k]) this->*kMembers[k] = *m.config[k];
}

// Only a session resuming under its line id takes a re-login answer.
void InterfaceLinkD::on_relogin_answer(const LineText& t) {
    if (m_login_state != LOGIN_STATE_RECONNECTING || m_line.empty()) {
        on_relogin_refused(t);
        return;
    }
    ConnInfo& info = *t.info;
    set_login_state(LOGIN_STATE_LOGINED);
    adopt_logged_in_conn(info);
    if (!m_channelName.empty()) {
        Json::Value sub(Json::objectValue);
        sub["cid"] = m_cid;
        sub["cname"] = m_channelName;
        sub["msgid"] = Json::UInt64(m_channel_msgid);
        sub["vid"] = m_vid;
        info.conn_send_msg("channel_sub " + JSON2STRING(sub));
    }
    // In-flight calls go out again before anything new is sent.
    if (m_config_call_mode == 1) m_main_slot.resend_call();
    m_main_slot.do_call();
    schedule_poll();
    if (m_login_state == LOGIN_STATE_LOGINED && m_conn_info == t.info && info.state == CONN_STATE_LOGINED)
        fire_onReconnected(t.conn->getFD());
}

void InterfaceLinkD::on_relogin_refused(const LineText& t) {
    PlatLog2(kLogError, kLogPlatform, "%llu : %-15s error : %s", mynet::log_time(), t.info->tag().c_str(),
             t.text.c_str());
    login_event_process(LOGIN_EVENT_LINE_LOGIN_FAILED, t.msg.kind == line_msg::RELOGIN_REFUSED ? t.msg.code : 102, "");
}

void InterfaceLinkD::on_notify_logout(const LineText& t) {
    switch (t.msg.kind) {
    case line_msg::NOTIFY_OUTOFSYNC: fire_onLogout(nuvra_sdk::LOGOUT_E_NET); break;
    case line_msg::NOTIFY_KICK: fire_onLogout(nuvra_sdk::LOGOUT_E_KICKED); break;
    case line_msg::NOTIFY_TOKEN_EXPIRED: fire_onLogout(nuvra_sdk::LOGOUT_E_TOKENEXPIRED); break;
    case line_msg::NOTIFY_WRONG_LINE: fire_onLogout(nuvra_sdk::LOGOUT_E_KICKED); break;
    default: break;
    }
}
