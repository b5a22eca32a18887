#include "builtin_hosts.h"
#include "call_answer.h"
#include "if_linkd.h"
#include "log.h"
#include "zlib_helpers.h"

namespace {

const char* const kTag = "usr.cb";

}  // namespace

void InterfaceLinkD::fire_onChannelJoined(std::string channelID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelJoined %s", mynet::log_time(), kTag, channelID.c_str());
    m_callback->onChannelJoined(channelID);
}

void InterfaceLinkD::fire_onChannelJoinFailed(std::string channelID, int ecode) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelJoinFailed %s %d", mynet::log_time(), kTag, channelID.c_str(),
             ecode);
    m_callback->onChannelJoinFailed(channelID, ecode);
}

void InterfaceLinkD::fire_onChannelLeaved(std::string channelID, int ecode) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelLeaved %s %d", mynet::log_time(), kTag, channelID.c_str(), ecode);
    m_callback->onChannelLeaved(channelID, ecode);
}

void InterfaceLinkD::fire_onChannelUserJoined(std::string account, uint32_t uid) {
    if (account == m_account) return;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelUserJoined %s %u", mynet::log_time(), kTag, account.c_str(), uid);
    m_callback->onChannelUserJoined(account, uid);
}

void InterfaceLinkD::fire_onChannelUserLeaved(std::string account, uint32_t uid) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelUserLeaved %s %u", mynet::log_time(), kTag, account.c_str(), uid);
    m_callback->onChannelUserLeaved(account, uid);
}

void InterfaceLinkD::fire_onChannelUserList(int n, char** accounts, uint32_t* uids) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelUserList %u", mynet::log_time(), kTag, static_cast<unsigned>(n));
    m_callback->onChannelUserList(n, accounts, uids);
}

void InterfaceLinkD::fire_onChannelQueryUserNumResult(std::string channelID, int ecode, int num) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelQueryUserNumResult %s %d %d", mynet::log_time(), kTag,
             channelID.c_str(), ecode, num);
    m_callback->onChannelQueryUserNumResult(channelID, ecode, num);
}

void InterfaceLinkD::fire_onChannelQueryUserIsIn(std::string channelID, std::string account, int result) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelQueryUserIsIn %s %s %d", mynet::log_time(), kTag,
             channelID.c_str(), account.c_str(), result);
    m_callback->onChannelQueryUserIsIn(channelID, account, result);
}

void InterfaceLinkD::fire_onChannelAttrUpdated(std::string channelID, std::string name, std::string value,
                                               std::string type) {
    if (type == "set") return;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onChannelAttrUpdated %s %s %s %s", mynet::log_time(), kTag,
             channelID.c_str(), type.c_str(), name.c_str(), value.c_str());
    m_callback->onChannelAttrUpdated(channelID, name, value, type);
}

void InterfaceLinkD::fire_onInviteReceived(std::string channelID, std::string account, uint32_t uid,
                                           std::string extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteReceived %s %s %u %s", mynet::log_time(), kTag, channelID.c_str(),
             account.c_str(), uid, extra.c_str());
    m_callback->onInviteReceived(channelID, account, uid, extra);
}

void InterfaceLinkD::fire_onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid) {
    auto record = m_invite_ts.find(channelID + account);
    if (record != m_invite_ts.end()) {
        Json::Value none;
        record->second->phase("ack", none);
    }
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteReceivedByPeer %s %s %u", mynet::log_time(), kTag,
             channelID.c_str(), account.c_str(), uid);
    m_callback->onInviteReceivedByPeer(channelID, account, uid);
}

void InterfaceLinkD::fire_onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid,
                                                 std::string extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteAcceptedByPeer %s %s %u %s", mynet::log_time(), kTag,
             channelID.c_str(), account.c_str(), uid, extra.c_str());
    m_callback->onInviteAcceptedByPeer(channelID, account, uid, extra);
}

void InterfaceLinkD::fire_onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid,
                                                std::string extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteRefusedByPeer %s %s %u %s", mynet::log_time(), kTag,
             channelID.c_str(), account.c_str(), uid, extra.c_str());
    m_callback->onInviteRefusedByPeer(channelID, account, uid, extra);
}

void InterfaceLinkD::fire_onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode,
                                         std::string reason, std::string extra) {
    if (!reason.empty()) {
        Json::Value why(Json::objectValue);
        why["reason"] = reason;
        extra = JSON2STRING(why);
        if (reason == "peer is not online") ecode = nuvra_sdk::INVITE_E_PEEROFFLINE;
    }
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteFailed %s %s %u %d", mynet::log_time(), kTag, channelID.c_str(),
             account.c_str(), uid, ecode);
    m_callback->onInviteFailed(channelID, account, uid, ecode, extra);
}

void InterfaceLinkD::fire_onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid,
                                            std::string extra) {
    // A telephone invitation the callee hung up on keeps no record.
    drop_invite_record(channelID + account);
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteEndByPeer %s %s %u %s", mynet::log_time(), kTag, channelID.c_str(),
             account.c_str(), uid, extra.c_str());
    m_callback->onInviteEndByPeer(channelID, account, uid, extra);
}

void InterfaceLinkD::fire_onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteEndByMyself %s %s %u", mynet::log_time(), kTag, channelID.c_str(),
             account.c_str(), uid);
    m_callback->onInviteEndByMyself(channelID, account, uid);
}

void InterfaceLinkD::fire_onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInviteMsg %s %s %u", mynet::log_time(), kTag, channelID.c_str(),
             account.c_str(), uid);
    // Scalars read as text; a member that is an object or an array reads as "".
    std::string msgType, msgData;
    Json::Value parsed;
    if (parse_json(extra, parsed)) {
        answer_member_text(parsed, "msgtype", msgType);
        answer_member_text(parsed, "msgdata", msgData);
    }
    m_callback->onInviteMsg(channelID, account, uid, msgType, msgData, extra);
}

void InterfaceLinkD::fire_onMessageSendError(std::string messageID, int ecode) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onMessageSendError %s %d", mynet::log_time(), kTag, messageID.c_str(), ecode);
    m_callback->onMessageSendError(messageID, ecode);
}

void InterfaceLinkD::fire_onMessageSendProgress(std::string account, std::string messageID, std::string type,
                                                std::string info) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onMessageSendProgress %s %s %s %s", mynet::log_time(), kTag,
             account.c_str(), messageID.c_str(), type.c_str(), info.c_str());
    m_callback->onMessageSendProgress(account, messageID, type, info);
}

void InterfaceLinkD::fire_onMessageSendSuccess(std::string messageID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onMessageSendSuccess %s", mynet::log_time(), kTag, messageID.c_str());
    m_callback->onMessageSendSuccess(messageID);
}

void InterfaceLinkD::fire_onMessageAppReceived(std::string msg) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onMessageAppReceived %.100s", mynet::log_time(), kTag, msg.c_str());
    m_callback->onMessageAppReceived(msg);
}

void InterfaceLinkD::fire_onMessageInstantReceive(std::string account, uint32_t uid, std::string msg) {
    if (account == m_account) return;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onMessageInstantReceive %s %u %.100s", mynet::log_time(), kTag,
             account.c_str(), uid, msg.c_str());
    m_callback->onMessageInstantReceive(account, uid, msg);
}

void InterfaceLinkD::fire_onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid,
                                                  std::string msg) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onMessageChannelReceive %s %s %u %.100s", mynet::log_time(), kTag,
             channelID.c_str(), account.c_str(), uid, msg.c_str());
    m_callback->onMessageChannelReceive(channelID, account, uid, msg);
}

void InterfaceLinkD::fire_onInvokeRet(std::string callID, std::string error, std::string resp) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onInvokeRet %s %s %s", mynet::log_time(), kTag, callID.c_str(),
             error.c_str(), resp.c_str());
    m_callback->onInvokeRet(callID, error, resp);
}

void InterfaceLinkD::fire_onUserAttrResult(std::string account, std::string name, std::string value) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onUserAttrResult %s %s %.100s", mynet::log_time(), kTag, account.c_str(),
             name.c_str(), value.c_str());
    m_callback->onUserAttrResult(account, name, value);
}

void InterfaceLinkD::fire_onUserAttrAllResult(std::string account, std::string value) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onUserAttrAllResult %s %.100s", mynet::log_time(), kTag, account.c_str(),
             value.c_str());
    m_callback->onUserAttrAllResult(account, value);
}

void InterfaceLinkD::fire_onError(std::string name, int ecode, std::string reason) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onError %s %d %s", mynet::log_time(), kTag, name.c_str(), ecode,
             reason.c_str());
    m_callback->onError(name, ecode, reason);
}

void InterfaceLinkD::fire_onQueryUserStatusResult(std::string account, std::string value) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onQueryUserStatusResult %s %.100s", mynet::log_time(), kTag, account.c_str(),
             value.c_str());
    m_callback->onQueryUserStatusResult(account, value);
}

void InterfaceLinkD::fire_onBCCall_result(std::string reason, std::string json_ret, std::string callID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s onBCCall_result %s %s %s", mynet::log_time(), kTag, callID.c_str(),
             reason.c_str(), json_ret.c_str());
    m_callback->onBCCall_result(reason, json_ret, callID);
}

void InterfaceLinkD::do_report_log() {
    if (mynet::get_randint() % 100 >= static_cast<uint32_t>(_log_report_rate)) return;
    m_callback->onDbg("__report_log__url",
                      std::string("https://") + builtin_hosts::kLogUploadHost + "/upload?appid=" + m_vid);
    int count = 0;
    m_callback->onDbg("__report_log", zlib_compress(LogGetAll(count)));
}
