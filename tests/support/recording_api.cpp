#include "support/recording_api.h"

#include <type_traits>

namespace nuvra_test {

namespace {

template <typename T>
std::string text(const T& v) {
    if constexpr (std::is_convertible_v<T, std::string>) {
        return std::string(v);
    } else {
        return std::to_string(v);
    }
}

}  // namespace

std::vector<std::string> RecordingAPI::calls() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_calls;
}

void RecordingAPI::clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_calls.clear();
}

template <typename... Args>
void RecordingAPI::record(const char* name, const Args&... args) {
    std::string line = name;
    ((line += "|" + text(args)), ...);
    std::lock_guard<std::mutex> lock(m_mtx);
    m_calls.push_back(line);
}

void RecordingAPI::callbackSet(nuvra_sdk::ICallBack*) { record("callbackSet"); }

nuvra_sdk::ICallBack* RecordingAPI::callbackGet() {
    record("callbackGet");
    return nullptr;
}

void RecordingAPI::login(std::string vendorID, std::string account, std::string token, uint32_t uid,
                         std::string deviceID) {
    record("login", vendorID, account, token, uid, deviceID);
}

void RecordingAPI::login2(std::string vendorID, std::string account, std::string token, uint32_t uid,
                          std::string deviceID, int retry_time_in_s, int retry_count) {
    record("login2", vendorID, account, token, uid, deviceID, retry_time_in_s, retry_count);
}

void RecordingAPI::logout() { record("logout"); }

void RecordingAPI::channelJoin(std::string channelID) { record("channelJoin", channelID); }

void RecordingAPI::channelLeave(std::string channelID) { record("channelLeave", channelID); }

void RecordingAPI::channelQueryUserNum(std::string channelID) { record("channelQueryUserNum", channelID); }

void RecordingAPI::channelQueryUserIsIn(std::string channelID, std::string account) {
    record("channelQueryUserIsIn", channelID, account);
}

void RecordingAPI::channelSetAttr(std::string channelID, std::string name, std::string value) {
    record("channelSetAttr", channelID, name, value);
}

void RecordingAPI::channelDelAttr(std::string channelID, std::string name) {
    record("channelDelAttr", channelID, name);
}

void RecordingAPI::channelClearAttr(std::string channelID) { record("channelClearAttr", channelID); }

void RecordingAPI::channelInviteUser(std::string channelID, std::string account, uint32_t uid) {
    record("channelInviteUser", channelID, account, uid);
}

void RecordingAPI::channelInviteUser2(std::string channelID, std::string account, std::string extra) {
    record("channelInviteUser2", channelID, account, extra);
}

void RecordingAPI::channelInvitePhone(std::string channelID, std::string phoneNum, uint32_t uid) {
    record("channelInvitePhone", channelID, phoneNum, uid);
}

void RecordingAPI::channelInvitePhone2(std::string channelID, std::string phoneNum, std::string sourcesNum) {
    record("channelInvitePhone2", channelID, phoneNum, sourcesNum);
}

void RecordingAPI::channelInvitePhone3(std::string channelID, std::string phoneNum, std::string sourcesNum,
                                       std::string extra) {
    record("channelInvitePhone3", channelID, phoneNum, sourcesNum, extra);
}

void RecordingAPI::channelInviteDTMF(std::string channelID, std::string phoneNum, std::string dtmf) {
    record("channelInviteDTMF", channelID, phoneNum, dtmf);
}

void RecordingAPI::channelInviteAccept(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    record("channelInviteAccept", channelID, account, uid, extra);
}

void RecordingAPI::channelInviteRefuse(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    record("channelInviteRefuse", channelID, account, uid, extra);
}

void RecordingAPI::channelInviteEnd(std::string channelID, std::string account, uint32_t uid) {
    record("channelInviteEnd", channelID, account, uid);
}

void RecordingAPI::messageAppSend(std::string msg, std::string msgID) { record("messageAppSend", msg, msgID); }

void RecordingAPI::messageInstantSend(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    record("messageInstantSend", account, uid, msg, msgID);
}

void RecordingAPI::messageInstantSend2(std::string account, uint32_t uid, std::string msg, std::string msgID,
                                       std::string options) {
    record("messageInstantSend2", account, uid, msg, msgID, options);
}

void RecordingAPI::messageChannelSend(std::string channelID, std::string msg, std::string msgID) {
    record("messageChannelSend", channelID, msg, msgID);
}

void RecordingAPI::messageChannelSendForce(std::string channelID, std::string msg, std::string msgID) {
    record("messageChannelSendForce", channelID, msg, msgID);
}

void RecordingAPI::messageChannelSend2(std::string channelID, std::string msg, std::string msgID, std::string extra) {
    record("messageChannelSend2", channelID, msg, msgID, extra);
}

void RecordingAPI::messagePushSend(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    record("messagePushSend", account, uid, msg, msgID);
}

void RecordingAPI::messageChatSend(std::string account, uint32_t uid, std::string msg, std::string msgID) {
    record("messageChatSend", account, uid, msg, msgID);
}

void RecordingAPI::messageDTMFSend(uint32_t uid, std::string msg, std::string msgID) {
    record("messageDTMFSend", uid, msg, msgID);
}

void RecordingAPI::setBackground(uint32_t bOut) { record("setBackground", bOut); }

void RecordingAPI::setNetworkStatus(uint32_t bOut) { record("setNetworkStatus", bOut); }

void RecordingAPI::ping() { record("ping"); }

void RecordingAPI::setAttr(std::string name, std::string value) { record("setAttr", name, value); }

void RecordingAPI::getAttr(std::string name) { record("getAttr", name); }

void RecordingAPI::getAttrAll() { record("getAttrAll"); }

void RecordingAPI::getUserAttr(std::string account, std::string name) { record("getUserAttr", account, name); }

void RecordingAPI::getUserAttrAll(std::string account) { record("getUserAttrAll", account); }

void RecordingAPI::queryUserStatus(std::string account) { record("queryUserStatus", account); }

void RecordingAPI::invoke(std::string name, std::string req, std::string callID) {
    record("invoke", name, req, callID);
}

void RecordingAPI::start() { record("start"); }

void RecordingAPI::stop() { record("stop"); }

bool RecordingAPI::isOnline() {
    record("isOnline");
    return online;
}

int RecordingAPI::getStatus() {
    record("getStatus");
    return status;
}

int RecordingAPI::getSdkVersion() {
    record("getSdkVersion");
    return version;
}

void RecordingAPI::bc_call(std::string func, std::string json_args, std::string callID) {
    record("bc_call", func, json_args, callID);
}

void RecordingAPI::dbg(std::string a, std::string b) { record("dbg", a, b); }

void RecordingAPI::destroy() { record("destroy"); }

}  // namespace nuvra_test
