#include "if_linkd.h"

void InterfaceLinkD::command_call(const char* name, const std::string& method, Json::Value req,
                                  std::function<void(const Json::Value&)> on_ok,
                                  std::function<void(int, const std::string&)> on_failed) {
    call_api(
        0, method, std::move(req),
        [this, name, on_ok = std::move(on_ok), on_failed = std::move(on_failed)](
            int result, const std::string& reason, const Json::Value& answer) {
            if (result == 0) {
                if (on_ok) on_ok(answer);
                return;
            }
            if (on_failed) on_failed(result, reason);
            fire_command_error(name, result, reason);
        },
        false);
}

void InterfaceLinkD::fire_command_error(const char* name, int result, const std::string& reason) {
    fire_onError(name, result == -1 ? nuvra_sdk::GENERAL_E_FAILED : nuvra_sdk::GENERAL_E_UNKNOWN, reason);
}

uint64_t InterfaceLinkD::next_id_time() {
    const uint64_t now = mynet::get_time_in_ms();
    m_last_id_time = now > m_last_id_time ? now : m_last_id_time + 1;
    return m_last_id_time;
}

bool InterfaceLinkD::refused_logged_out(const char* name, const char* reason,
                                        const std::function<void()>& failure_event) {
    if (m_login_state != LOGIN_STATE_NOT_LOGIN) return false;
    if (failure_event) failure_event();
    fire_onError(name, nuvra_sdk::GENERAL_E_NOT_LOGIN, reason);
    return true;
}

bool InterfaceLinkD::parse_app_object(const std::string& text, Json::Value& out) {
    out = Json::Value();
    if (text.empty()) return true;
    return parse_json(text, out) && out.isObject();
}
