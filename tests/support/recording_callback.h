#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "api/nuvra_api.h"

namespace nuvra_test {

// Records every event as one text: the event name and its arguments joined
// by '|' (uids and codes in decimal). Safe to read from the test thread.
class RecordingCallBack : public nuvra_sdk::ICallBack {
public:
    std::vector<std::string> events() const;
    // Events whose name is `name`, in order.
    std::vector<std::string> named(const std::string& name) const;
    bool wait_for(const std::string& prefix, int timeout_ms) const;
    void clear();
    // The raw second argument of the last onDbg call named `a`.
    std::string dbg_payload(const std::string& a) const;

    void onReconnecting(uint32_t nretry) override;
    void onReconnected(int fd) override;
    void onLoginSuccess(uint32_t uid, int fd) override;
    void onLogout(int ecode) override;
    void onLoginFailed(int ecode) override;
    void onChannelJoined(std::string channelID) override;
    void onChannelJoinFailed(std::string channelID, int ecode) override;
    void onChannelLeaved(std::string channelID, int ecode) override;
    void onChannelUserJoined(std::string account, uint32_t uid) override;
    void onChannelUserLeaved(std::string account, uint32_t uid) override;
    void onChannelUserList(int n, char** accounts, uint32_t* uids) override;
    void onChannelQueryUserNumResult(std::string channelID, int ecode, int num) override;
    void onChannelQueryUserIsIn(std::string channelID, std::string account, int isIn) override;
    void onChannelAttrUpdated(std::string channelID, std::string name, std::string value, std::string type) override;
    void onInviteReceived(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid) override;
    void onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode,
                        std::string extra) override;
    void onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid) override;
    void onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string msgType,
                     std::string msgData, std::string extra) override;
    void onMessageSendError(std::string messageID, int ecode) override;
    void onMessageSendProgress(std::string account, std::string messageID, std::string type,
                               std::string info) override;
    void onMessageSendSuccess(std::string messageID) override;
    void onMessageAppReceived(std::string msg) override;
    void onMessageInstantReceive(std::string account, uint32_t uid, std::string msg) override;
    void onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid, std::string msg) override;
    void onLog(std::string txt) override;
    void onInvokeRet(std::string callID, std::string err, std::string resp) override;
    void onMsg(std::string from, std::string t, std::string msg) override;
    void onUserAttrResult(std::string account, std::string name, std::string value) override;
    void onUserAttrAllResult(std::string account, std::string value) override;
    void onError(std::string name, int ecode, std::string desc) override;
    void onQueryUserStatusResult(std::string name, std::string status) override;
    void onDbg(std::string a, std::string b) override;
    void onBCCall_result(std::string reason, std::string json_ret, std::string callID) override;

private:
    void add(std::string event);

    mutable std::mutex m_mtx;
    std::vector<std::string> m_events;
    std::vector<std::pair<std::string, std::string>> m_dbg;
};

}  // namespace nuvra_test
