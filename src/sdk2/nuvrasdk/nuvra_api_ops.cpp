// The operations of an instance that post a step to its engine: each copies
// its arguments into the step, which runs on the network thread in posting
// order.
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "if_linkd.h"
#include "loop.h"
#include "nuvra_api.h"

namespace nuvra_sdk {

void NuvraAPI::login(std::string vendorID, std::string account, std::string token, uint32_t uid, std::string deviceID) {
    post([this, vendorID = std::move(vendorID), account = std::move(account), token = std::move(token), uid,
          deviceID = std::move(deviceID)] { m_intf->user_login(vendorID, account, token, uid, deviceID, 30, 3); });
}

void NuvraAPI::login2(std::string vendorID, std::string account, std::string token, uint32_t uid, std::string deviceID,
                      int retry_max_time_in_s, int retry_max_count) {
    post([this, vendorID = std::move(vendorID), account = std::move(account), token = std::move(token), uid,
          deviceID = std::move(deviceID), retry_max_time_in_s, retry_max_count] {
        m_intf->user_login(vendorID, account, token, uid, deviceID, retry_max_time_in_s, retry_max_count);
    });
}

void NuvraAPI::logout() {
    post([this] { m_intf->user_logout(); });
}

void NuvraAPI::channelJoin(std::string channelID) {
    post([this, channelID = std::move(channelID)] {
        m_channelName = channelID;
        m_intf->user_channel_join(channelID);
    });
}

void NuvraAPI::channelLeave(std::string channelID) {
    // The channel current now, not one a queued join is about to enter.
    if (channelID.empty()) channelID = m_intf->published_channel_name();
    post([this, channelID = std::move(channelID)] { m_intf->user_channel_leave(channelID); });
}

void NuvraAPI::channelQueryUserNum(std::string channelID) {
    post([this, channelID = std::move(channelID)] {
        char msgID[64];
        snprintf(msgID, sizeof msgID, "queryMsgNum_%llu", mynet::log_time());
        m_intf->user_channel_query_num(channelID, msgID);
    });
}

void NuvraAPI::channelQueryUserIsIn(std::string channelID, std::string account) {
    post([this, channelID = std::move(channelID), account = std::move(account)] {
        m_intf->user_query_channel_user_isin(channelID, account);
    });
}

void NuvraAPI::channelSetAttr(std::string channelID, std::string name, std::string value) {
    post([this, channelID = std::move(channelID), name = std::move(name), value = std::move(value)] {
        m_intf->user_channel_set_attr(channelID, name, value);
    });
}

void NuvraAPI::channelDelAttr(std::string channelID, std::string name) {
    post([this, channelID = std::move(channelID), name = std::move(name)] {
        m_intf->user_channel_del_attr(channelID, name);
    });
}

void NuvraAPI::channelClearAttr(std::string channelID) {
    post([this, channelID = std::move(channelID)] { m_intf->user_channel_clear_attr(channelID); });
}

void NuvraAPI::channelInviteUser(std::string channelID, std::string account, uint32_t uid) {
    post([this, channelID = std::move(channelID), account = std::move(account), uid] {
        m_intf->user_invite_user(channelID, account, uid, "");
    });
}

void NuvraAPI::channelInviteUser2(std::string channelID, std::string account, std::string extra) {
    post([this, channelID = std::move(channelID), account = std::move(account), extra = std::move(extra)] {
        m_intf->user_invite_user(channelID, account, 0, extra);
    });
}

void NuvraAPI::channelInvitePhone(std::string channelID, std::string phoneNum, uint32_t uid) {
    post([this, channelID = std::move(channelID), phoneNum = std::move(phoneNum), uid] {
        m_intf->user_invite_phone(channelID, phoneNum, uid);
    });
}

void NuvraAPI::channelInvitePhone2(std::string channelID, std::string phoneNum, std::string sourceID) {
    post([this, channelID = std::move(channelID), phoneNum = std::move(phoneNum), sourceID = std::move(sourceID)] {
        m_intf->user_invite_phone2(channelID, phoneNum, sourceID, "");
    });
}

void NuvraAPI::channelInvitePhone3(std::string channelID, std::string phoneNum, std::string sourcesNum,
                                   std::string extra) {
    post([this, channelID = std::move(channelID), phoneNum = std::move(phoneNum), sourcesNum = std::move(sourcesNum),
          extra = std::move(extra)] { m_intf->user_invite_phone2(channelID, phoneNum, sourcesNum, extra); });
}

void NuvraAPI::channelInviteDTMF(std::string channelID, std::string account, std::string dtmf) {
    post([this, channelID = std::move(channelID), account = std::move(account), dtmf = std::move(dtmf)] {
        m_intf->user_invite_dtmf(channelID, account, dtmf);
    });
}

void NuvraAPI::channelInviteAccept(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    post([this, channelID = std::move(channelID), account = std::move(account), uid, extra = std::move(extra)] {
        m_intf->user_invite_accept(channelID, account, uid, extra);
    });
}

void NuvraAPI::channelInviteRefuse(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    post([this, channelID = std::move(channelID), account = std::move(account), uid, extra = std::move(extra)] {
        m_intf->user_invite_refuse(channelID, account, uid, extra);
    });
}

void NuvraAPI::channelInviteEnd(std::string channelID, std::string account, uint32_t uid) {
    post([this, channelID = std::move(channelID), account = std::move(account), uid] {
        m_intf->user_invite_end(channelID, account, uid);
    });
}

void NuvraAPI::messageAppSend(std::string msg, std::string msgID) {
    post([this, msg = std::move(msg), msgID = std::move(msgID)] { m_intf->user_send_app_msg(msg, msgID); });
}

void NuvraAPI::messageInstantSend(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    post([this, account = std::move(account), uid, msg = std::move(msg), msgID = std::move(msgID)] {
        m_intf->user_send_instant_msg(account, uid, msg, msgID, "");
    });
}

void NuvraAPI::messageInstantSend2(std::string account, uint32_t uid, std::string msg, std::string msgID,
                                   std::string options) {
    post([this, account = std::move(account), uid, msg = std::move(msg), msgID = std::move(msgID),
          options = std::move(options)] { m_intf->user_send_instant_msg(account, uid, msg, msgID, options); });
}

void NuvraAPI::messageChannelSend(std::string chanID, std::string msg, std::string msgID) {
    post([this, chanID = std::move(chanID), msg = std::move(msg), msgID = std::move(msgID)] {
        m_intf->user_send_channel_msg(chanID, msg, msgID, 0, "", false);
    });
}

void NuvraAPI::messageChannelSendForce(std::string chanID, std::string msg, std::string msgID) {
    post([this, chanID = std::move(chanID), msg = std::move(msg), msgID = std::move(msgID)] {
        m_intf->user_send_channel_msg(chanID, msg, msgID, 0, "", true);
    });
}

void NuvraAPI::messageChannelSend2(std::string chanID, std::string msg, std::string msgID, std::string extra) {
    post([this, chanID = std::move(chanID), msg = std::move(msg), msgID = std::move(msgID), extra = std::move(extra)] {
        m_intf->user_send_channel_msg(chanID, msg, msgID, 0, extra, false);
    });
}

void NuvraAPI::messagePushSend(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    post([this, account = std::move(account), uid, msg = std::move(msg), msgID = std::move(msgID)] {
        m_intf->user_send_push_msg(account, uid, msg, msgID);
    });
}

void NuvraAPI::messageChatSend(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    post([this, account = std::move(account), uid, msg = std::move(msg), msgID = std::move(msgID)] {
        m_intf->user_send_chat_msg(account, uid, msg, msgID);
    });
}

void NuvraAPI::messageDTMFSend(uint32_t uid, std::string msg, std::string msgID) {
    post([this, uid, msg = std::move(msg), msgID = std::move(msgID)] { m_intf->user_send_dtmf_msg(uid, msg, msgID); });
}

void NuvraAPI::setBackground(uint32_t bOut) {
    post([this, bOut] { m_intf->user_set_background(bOut != 0); });
}

void NuvraAPI::setNetworkStatus(uint32_t status) {
    post([this, status] { m_intf->user_setNetworkStatus(status != 0); });
}

void NuvraAPI::ping() {
    post([this] { m_intf->user_ping(); });
}

void NuvraAPI::setAttr(std::string name, std::string value) {
    if (name == "_conn_timeout" && !value.empty()) value = conn_timeout_value(value);
    post([this, name = std::move(name), value = std::move(value)] { m_intf->user_set_attr(name, value); });
}

void NuvraAPI::getAttr(std::string name) {
    post([this, name = std::move(name)] { m_intf->user_get_attr("", name); });
}

void NuvraAPI::getAttrAll() {
    post([this] { m_intf->user_get_attr_all(""); });
}

void NuvraAPI::getUserAttr(std::string account, std::string name) {
    post([this, account = std::move(account), name = std::move(name)] { m_intf->user_get_attr(account, name); });
}

void NuvraAPI::getUserAttrAll(std::string account) {
    post([this, account = std::move(account)] { m_intf->user_get_attr_all(account); });
}

void NuvraAPI::queryUserStatus(std::string account) {
    post([this, account = std::move(account)] { m_intf->user_query_user_status(account); });
}

void NuvraAPI::invoke(std::string name, std::string req, std::string callID) {
    post([this, name = std::move(name), req = std::move(req), callID = std::move(callID)] {
        m_intf->user_invoke(name, req, callID);
    });
}

void NuvraAPI::bc_call(std::string func, std::string json_args, std::string callID) {
    post([this, func = std::move(func), json_args = std::move(json_args), callID = std::move(callID)] {
        m_intf->user_bc_call(func, json_args, callID);
    });
}

std::string conn_timeout_value(const std::string& value) {
    long long n = std::strtoll(value.c_str(), nullptr, 10);
    if (n < 20) return "20";
    if (n > 120) return "120";
    return value;
}

}  // namespace nuvra_sdk
