#include <cstring>

#include "call_answer.h"
#include "if_linkd.h"
#include "log.h"
#include "sdk_version.h"

namespace {

const char* const kTag = "usr";
const char* const kInvokePrefix = "io.nuvra.signal.";
const char* const kBcPackage = "io.nuvra.media.bc";

Json::Value attr_request(const std::string& line) {
    Json::Value req(Json::objectValue);
    req["line"] = line;
    return req;
}

// The method travels as one blank-separated field of the call's text: a
// blank or a control byte in it would shift the fields after it.
bool is_sendable_method(const std::string& method) {
    for (unsigned char c : method)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

bool has_member(const Json::Value& answer, const char* key) {
    return answer.isObject() && answer.find(key, key + std::strlen(key)) != nullptr;
}

}  // namespace

void InterfaceLinkD::user_set_attr(std::string name, std::string value) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_set_attr name=\"%s\" value=\"%.100s\"", mynet::log_time(), kTag,
             name.c_str(), value.c_str());
    if (refused_logged_out("set_attr", "not login")) return;
    Json::Value req = attr_request(m_line);
    req["name"] = name;
    req["value"] = value;
    command_call("set_attr", "user_set_attr", req, nullptr, nullptr);
}

void InterfaceLinkD::user_get_attr(std::string account, std::string name) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_get_attr account=\"%s\" name=\"%s\"", mynet::log_time(), kTag,
             account.c_str(), name.c_str());
    if (refused_logged_out("get_attr", "not login")) return;
    if (account.empty()) account = m_account;
    Json::Value req = attr_request(m_line);
    req["account"] = account;
    req["name"] = name;
    command_call(
        "get_attr", "user_get_attr", req,
        [this, account, name](const Json::Value& answer) {
            fire_onUserAttrResult(account, name, answer_text(answer, "value"));
        },
        nullptr);
}

void InterfaceLinkD::user_get_attr_all(std::string account) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_get_attr_all account=\"%s\"", mynet::log_time(), kTag,
             account.c_str());
    if (refused_logged_out("get_attr_all", "not login")) return;
    if (account.empty()) account = m_account;
    Json::Value req = attr_request(m_line);
    req["account"] = account;
    command_call(
        "get_attr_all", "user_get_attr_all", req,
        [this, account](const Json::Value& answer) { fire_onUserAttrAllResult(account, answer_text(answer, "json")); },
        nullptr);
}

void InterfaceLinkD::user_query_user_status(std::string account) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_query_user_status account=\"%s\"", mynet::log_time(), kTag,
             account.c_str());
    if (refused_logged_out("query_user_status", "not login")) return;
    Json::Value req = attr_request(m_line);
    req["account"] = account;
    command_call(
        "query_user_status", "user_query_user_status", req,
        [this, account](const Json::Value& answer) {
            fire_onQueryUserStatusResult(account, answer_text(answer, "status"));
        },
        nullptr);
}

void InterfaceLinkD::user_query_user_status_temp(std::string accounts) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_query_user_status_temp accounts=\"%s\"", mynet::log_time(), kTag,
             accounts.c_str());
    if (refused_logged_out("query_user_status", "not login")) return;
    Json::Value req = attr_request(m_line);
    req["accounts"] = accounts;
    command_call(
        "query_user_status", "user_query_user_status2", req,
        [this, accounts](const Json::Value& answer) {
            fire_onQueryUserStatusResult(accounts, answer_text(answer, "status"));
        },
        nullptr);
}

// The flags follow the application even while it is logged out.
void InterfaceLinkD::user_set_background(bool is_background) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_set_background is_background=%u", mynet::log_time(), kTag,
             is_background ? 1u : 0u);
    m_isbackground = is_background;
    m_last_active_time = mynet::mono_time_ms();
    if (refused_logged_out("set_background", "not login")) return;
    Json::Value req = attr_request(m_line);
    req["isfg"] = !is_background;
    command_call("set_background", "user_setfg", req, nullptr, nullptr);
}

void InterfaceLinkD::user_setNetworkStatus(bool isvalid) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_setNetworkStatus isvalid=%u", mynet::log_time(), kTag,
             isvalid ? 1u : 0u);
    m_network_enable = isvalid;
    if (!isvalid) stop_conn();
}

void InterfaceLinkD::user_ping() {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s %s user_ping", mynet::log_time(), kTag, NUVRA_SDK_VERSION_TEXT);
    if (m_conn_info && m_tcp_connected) m_conn_info->sendping();
}

// Never refused and never reported through onError: every outcome is one
// onInvokeRet.
void InterfaceLinkD::user_invoke(std::string name, std::string _req, std::string callID) {
    const size_t prefix_size = std::strlen(kInvokePrefix);
    if (name.compare(0, prefix_size, kInvokePrefix) != 0 || !is_sendable_method(name.substr(prefix_size))) {
        fire_onInvokeRet(callID, "unsupported method name", "");
        return;
    }
    Json::Value args;
    if (!parse_json(_req, args) || !args.isObject()) {
        fire_onInvokeRet(callID, "args is not JSON", "");
        return;
    }
    args["line"] = m_line;
    call_api(
        0, name.substr(prefix_size), args,
        [this, callID](int result, const std::string& reason, const Json::Value& answer) {
            fire_onInvokeRet(callID, result == 0 ? "" : reason, JSON2STRING(answer));
        },
        false);
}

void InterfaceLinkD::user_bc_call(std::string func, std::string json_args, std::string callID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_bc_call func=\"%s\" accjson_argsount=\"%s\" callID=%s",
             mynet::log_time(), kTag, func.c_str(), json_args.c_str(), callID.c_str());
    if (refused_logged_out("bc_call", "not login", [&] { fire_onBCCall_result("not login", "", callID); })) return;
    Json::Value req = attr_request(m_line);
    req["package"] = kBcPackage;
    req["func"] = func;
    req["args"] = json_args;
    req["callid"] = callID;
    call_api(
        0, "user_ext_call", req,
        [this, callID](int result, const std::string& _reason, const Json::Value& answer) {
            std::string reason = _reason;
            if (result == 0 && !has_member(answer, "ret")) {
                result = -1;
                reason = "wrong resp";
            }
            if (result == 0) {
                fire_onBCCall_result("", answer_text(answer, "ret"), callID);
                return;
            }
            fire_onBCCall_result(reason, "", callID);
            fire_onError("bc_call", result == -1 ? nuvra_sdk::GENERAL_E_FAILED : nuvra_sdk::GENERAL_E_UNKNOWN, reason);
        },
        false);
}

bool InterfaceLinkD::user_isonline() { return published_has_line(); }

int InterfaceLinkD::user_getStatus() { return published_login_state(); }

int InterfaceLinkD::getSdkVersion() { return NUVRA_SDK_VERSION; }
