#include "if_linkd.h"
#include "log.h"

namespace {

const char* const kTag = "usr";

// Messages are the busiest calls: their keys and fixed values are literals,
// which the request keeps rather than copies.
Json::Value message_request(const std::string& line) {
    Json::Value req(Json::objectValue);
    req[Json::StaticString("line")] = line;
    return req;
}

// The members every instant message has, the fixed ones filled in. A copy of
// a tree costs far less than inserting its keys one by one. Never destroyed:
// the network thread may still send while the process exits.
const Json::Value& instant_shape() {
    static const Json::Value* shape = [] {
        auto* req = new Json::Value(Json::objectValue);
        for (const char* key : {"content", "line", "peer"}) (*req)[Json::StaticString(key)] = "";
        (*req)[Json::StaticString("flag")] = Json::StaticString("v1:E:2592000");
        (*req)[Json::StaticString("t")] = Json::StaticString("instant");
        return req;
    }();
    return *shape;
}

}  // namespace

void InterfaceLinkD::user_send_instant_msg(std::string account, uint32_t uid, std::string msg, std::string msgID,
                                           std::string options) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_send_instant_msg account=\"%s\" uid=%u msg=\"%.100s\" msgID=\"%s\"",
             mynet::log_time(), kTag, account.c_str(), uid, msg.c_str(), msgID.c_str());
    const char* const name = "send_instant_msg";
    if (message_refused_logged_out(name, msgID)) return;
    if (msg.size() > kMaxMessageBytes) {
        fire_onMessageSendError(msgID, nuvra_sdk::SENDMESSAGE_E_OTHER);
        fire_onError(name, nuvra_sdk::GENERAL_E_LARGE_PARAM, "msg too large");
        return;
    }
    Json::Value req = instant_shape();
    req[Json::StaticString("line")] = m_line;
    req[Json::StaticString("peer")] = account;
    req[Json::StaticString("content")] = msg;
    if (!options.empty() || m_config_inst_msg_with_msgid != 0)
        req[Json::StaticString("messageID")] = msgID.empty() ? generate_msgid() : msgID;
    if (!options.empty()) req[Json::StaticString("options")] = options;
    message_call(name, "user_sendmsg", std::move(req), std::move(msgID));
}

// Every call counts in the statistics, refused ones too.
void InterfaceLinkD::user_send_channel_msg(std::string channelID, std::string msg, std::string msgID, uint32_t type,
                                           std::string _extra, bool force) {
    const uint64_t t0 = mynet::mono_time_ms();
    if (m_chnanel_rp_count == 0 && m_chnanel_rp_count_failed == 0 && m_chnanel_rp_count_success == 0)
        m_channel_rp_time = t0;
    ++m_chnanel_rp_count;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_send_channel_msg channelID=\"%s\" msg=\"%.100s\" msgID=\"%s\" type=%u",
             mynet::log_time(), kTag, channelID.c_str(), msg.c_str(), msgID.c_str(), type);
    const char* const name = "send_channel_msg";
    if (message_refused_logged_out(name, msgID)) return;
    if (msg.size() > kMaxMessageBytes) {
        fire_onMessageSendError(msgID, nuvra_sdk::SENDMESSAGE_E_OTHER);
        fire_onError(name, nuvra_sdk::GENERAL_E_LARGE_PARAM, "msg too large");
        return;
    }
    Json::Value extra;
    if (!parse_app_object(_extra, extra)) {
        fire_onMessageSendError(msgID, nuvra_sdk::SENDMESSAGE_E_OTHER);
        fire_onError(name, nuvra_sdk::GENERAL_E_LARGE_PARAM, "wrong extra");
        return;
    }
    Json::Value req = message_request(m_line);
    req[Json::StaticString("name")] = channelID;
    req[Json::StaticString("msg")] = msg;
    if (force) req[Json::StaticString("force")] = true;
    if (m_config_channel_msgid != 0) req[Json::StaticString("msgID")] = msgID.empty() ? generate_msgid() : msgID;
    if (m_config_channel_extra != 0) req[Json::StaticString("extra")] = extra;
    message_call(name, "channel_sendmsg", std::move(req), std::move(msgID),
                 [this, t0](int result) { count_channel_answer(result, t0); });
}

void InterfaceLinkD::count_channel_answer(int result, uint64_t t0) {
    const uint64_t now = mynet::mono_time_ms();
    if (m_chnanel_rp_count == 0 && m_chnanel_rp_count_failed == 0 && m_chnanel_rp_count_success == 0)
        m_channel_rp_time = now;
    if (result == 0) {
        ++m_chnanel_rp_count_success;
        m_channel_rp_time_all_success += mynet::elapsed_ms(t0, now);
    } else {
        ++m_chnanel_rp_count_failed;
        m_channel_rp_time_all_failed += mynet::elapsed_ms(t0, now);
    }
}

void InterfaceLinkD::user_send_app_msg(std::string msg, std::string msgID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_send_app_msg msg=\"%.100s\" msgID=\"%s\"", mynet::log_time(), kTag,
             msg.c_str(), msgID.c_str());
    const char* const name = "send_app_msg";
    if (message_refused_logged_out(name, msgID)) return;
    Json::Value req = message_request(m_line);
    req[Json::StaticString("msg")] = msg;
    message_call(name, "appmsg_send", std::move(req), std::move(msgID));
}

void InterfaceLinkD::user_send_push_msg(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_send_push_msg account=\"%s\" uid=%u msg=\"%.100s\" msgID=\"%s\"",
             mynet::log_time(), kTag, account.c_str(), uid, msg.c_str(), msgID.c_str());
    const char* const name = "send_push_msg";
    if (message_refused_logged_out(name, msgID)) return;
    Json::Value req = message_request(m_line);
    req[Json::StaticString("peer")] = account;
    req[Json::StaticString("peer_uid")] = Json::UInt(uid);
    req[Json::StaticString("msg")] = msg;
    message_call(name, "push_sendmsg", std::move(req), std::move(msgID));
}

void InterfaceLinkD::user_send_chat_msg(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_send_chat_msg account=\"%s\" uid=%u msg=\"%.100s\" msgID=\"%s\"",
             mynet::log_time(), kTag, account.c_str(), uid, msg.c_str(), msgID.c_str());
    const char* const name = "send_chat_msg";
    if (message_refused_logged_out(name, msgID)) return;
    Json::Value req = message_request(m_line);
    req[Json::StaticString("msg")] = msg;
    message_call(name, "appmsg_send2", std::move(req), std::move(msgID));
}

void InterfaceLinkD::user_send_dtmf_msg(uint32_t uid, std::string msg, std::string msgID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_send_dtmf_msg uid=%u msg=\"%.100s\" msgID=\"%s\"", mynet::log_time(),
             kTag, uid, msg.c_str(), msgID.c_str());
    const char* const name = "send_dtmf_msg";
    if (message_refused_logged_out(name, msgID)) return;
    Json::Value req = message_request(m_line);
    req[Json::StaticString("cid")] = Json::UInt(uid);
    req[Json::StaticString("dtmf")] = msg;
    message_call(name, "pstn_dtmf", std::move(req), std::move(msgID));
}

bool InterfaceLinkD::message_refused_logged_out(const char* name, const std::string& msgID) {
    return refused_logged_out(name, "not login",
                              [&] { fire_onMessageSendError(msgID, nuvra_sdk::SENDMESSAGE_E_OTHER); });
}

// Reports with the caller's id, never a generated one. One result function
// rather than a pair wrapped in another: messages are the busiest calls, and
// every function held costs an allocation.
void InterfaceLinkD::message_call(const char* name, const std::string& method, Json::Value req, std::string msgID,
                                  std::function<void(int)> on_result) {
    call_api(
        0, method, std::move(req),
        [this, name, msgID = std::move(msgID), on_result = std::move(on_result)](
            int result, const std::string& reason, const Json::Value&) {
            if (on_result) on_result(result);
            if (result == 0) {
                fire_onMessageSendSuccess(msgID);
                return;
            }
            fire_onMessageSendError(msgID, result == -1 ? nuvra_sdk::SENDMESSAGE_E_OTHER : nuvra_sdk::SENDMESSAGE_E_TIMEOUT);
            fire_command_error(name, result, reason);
        },
        false);
}

// The time's last six digits, then the counter's, neither zero-filled.
std::string InterfaceLinkD::generate_msgid() {
    std::string id = std::to_string(mynet::get_time_in_ms() % 1000000) + std::to_string(m_msgid % 1000000);
    ++m_msgid;
    return id;
}
