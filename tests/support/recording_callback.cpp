#include "support/recording_callback.h"

#include <chrono>
#include <thread>

namespace nuvra_test {

namespace {

std::string join() { return ""; }

template <typename T> std::string text(const T& v) {
    if constexpr (std::is_convertible_v<T, std::string>) {
        return std::string(v);
    } else {
        return std::to_string(v);
    }
}

template <typename First, typename... Rest> std::string join(const First& first, const Rest&... rest) {
    std::string s = "|" + text(first);
    return s + join(rest...);
}

}  // namespace

std::vector<std::string> RecordingCallBack::events() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_events;
}

std::vector<std::string> RecordingCallBack::named(const std::string& name) const {
    std::vector<std::string> out;
    for (const std::string& e : events())
        if (e == name || e.compare(0, name.size() + 1, name + "|") == 0) out.push_back(e);
    return out;
}

bool RecordingCallBack::wait_for(const std::string& prefix, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (const std::string& e : events())
            if (e.compare(0, prefix.size(), prefix) == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void RecordingCallBack::clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_events.clear();
    m_dbg.clear();
}

std::string RecordingCallBack::dbg_payload(const std::string& a) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    for (auto it = m_dbg.rbegin(); it != m_dbg.rend(); ++it)
        if (it->first == a) return it->second;
    return "";
}

void RecordingCallBack::add(std::string event) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_events.push_back(std::move(event));
}

void RecordingCallBack::onReconnecting(uint32_t nretry) { add("onReconnecting" + join(nretry)); }
void RecordingCallBack::onReconnected(int fd) { add("onReconnected" + join(fd)); }
void RecordingCallBack::onLoginSuccess(uint32_t uid, int fd) { add("onLoginSuccess" + join(uid, fd)); }
void RecordingCallBack::onLogout(int ecode) { add("onLogout" + join(ecode)); }
void RecordingCallBack::onLoginFailed(int ecode) { add("onLoginFailed" + join(ecode)); }
void RecordingCallBack::onChannelJoined(std::string channelID) { add("onChannelJoined" + join(channelID)); }
void RecordingCallBack::onChannelJoinFailed(std::string channelID, int ecode) {
    add("onChannelJoinFailed" + join(channelID, ecode));
}
void RecordingCallBack::onChannelLeaved(std::string channelID, int ecode) {
    add("onChannelLeaved" + join(channelID, ecode));
}
void RecordingCallBack::onChannelUserJoined(std::string account, uint32_t uid) {
    add("onChannelUserJoined" + join(account, uid));
}
void RecordingCallBack::onChannelUserLeaved(std::string account, uint32_t uid) {
    add("onChannelUserLeaved" + join(account, uid));
}
void RecordingCallBack::onChannelUserList(int n, char** accounts, uint32_t* uids) {
    std::string s = "onChannelUserList" + join(n);
    for (int i = 0; i < n; ++i) s += join(std::string(accounts[i]), uids[i]);
    add(s);
}
void RecordingCallBack::onChannelQueryUserNumResult(std::string channelID, int ecode, int num) {
    add("onChannelQueryUserNumResult" + join(channelID, ecode, num));
}
void RecordingCallBack::onChannelQueryUserIsIn(std::string channelID, std::string account, int isIn) {
    add("onChannelQueryUserIsIn" + join(channelID, account, isIn));
}
void RecordingCallBack::onChannelAttrUpdated(std::string channelID, std::string name, std::string value,
                                             std::string type) {
    add("onChannelAttrUpdated" + join(channelID, name, value, type));
}
void RecordingCallBack::onInviteReceived(std::string channelID, std::string account, uint32_t uid,
                                         std::string extra) {
    add("onInviteReceived" + join(channelID, account, uid, extra));
}
void RecordingCallBack::onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid) {
    add("onInviteReceivedByPeer" + join(channelID, account, uid));
}
void RecordingCallBack::onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid,
                                               std::string extra) {
    add("onInviteAcceptedByPeer" + join(channelID, account, uid, extra));
}
void RecordingCallBack::onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid,
                                              std::string extra) {
    add("onInviteRefusedByPeer" + join(channelID, account, uid, extra));
}
void RecordingCallBack::onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode,
                                       std::string extra) {
    add("onInviteFailed" + join(channelID, account, uid, ecode, extra));
}
void RecordingCallBack::onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid,
                                          std::string extra) {
    add("onInviteEndByPeer" + join(channelID, account, uid, extra));
}
void RecordingCallBack::onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid) {
    add("onInviteEndByMyself" + join(channelID, account, uid));
}
void RecordingCallBack::onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string msgType,
                                    std::string msgData, std::string extra) {
    add("onInviteMsg" + join(channelID, account, uid, msgType, msgData, extra));
}
void RecordingCallBack::onMessageSendError(std::string messageID, int ecode) {
    add("onMessageSendError" + join(messageID, ecode));
}
void RecordingCallBack::onMessageSendProgress(std::string account, std::string messageID, std::string type,
                                              std::string info) {
    add("onMessageSendProgress" + join(account, messageID, type, info));
}
void RecordingCallBack::onMessageSendSuccess(std::string messageID) { add("onMessageSendSuccess" + join(messageID)); }
void RecordingCallBack::onMessageAppReceived(std::string msg) { add("onMessageAppReceived" + join(msg)); }
void RecordingCallBack::onMessageInstantReceive(std::string account, uint32_t uid, std::string msg) {
    add("onMessageInstantReceive" + join(account, uid, msg));
}
void RecordingCallBack::onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid,
                                                std::string msg) {
    add("onMessageChannelReceive" + join(channelID, account, uid, msg));
}
void RecordingCallBack::onLog(std::string txt) { add("onLog" + join(txt)); }
void RecordingCallBack::onInvokeRet(std::string callID, std::string err, std::string resp) {
    add("onInvokeRet" + join(callID, err, resp));
}
void RecordingCallBack::onMsg(std::string from, std::string t, std::string msg) { add("onMsg" + join(from, t, msg)); }
void RecordingCallBack::onUserAttrResult(std::string account, std::string name, std::string value) {
    add("onUserAttrResult" + join(account, name, value));
}
void RecordingCallBack::onUserAttrAllResult(std::string account, std::string value) {
    add("onUserAttrAllResult" + join(account, value));
}
void RecordingCallBack::onError(std::string name, int ecode, std::string desc) {
    add("onError" + join(name, ecode, desc));
}
void RecordingCallBack::onQueryUserStatusResult(std::string name, std::string status) {
    add("onQueryUserStatusResult" + join(name, status));
}
void RecordingCallBack::onDbg(std::string a, std::string b) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_dbg.emplace_back(a, b);
    }
    add("onDbg" + join(a));
}
void RecordingCallBack::onBCCall_result(std::string reason, std::string json_ret, std::string callID) {
    add("onBCCall_result" + join(reason, json_ret, callID));
}

}  // namespace nuvra_test
