#pragma once

#include <atomic>

#include "api/nuvra_api.h"
#include "callback_context.h"
#include "nuvra_sig.h"

namespace nuvra_sdk_cpp {

// Passes each event of an instance on to the application's ICallBackC, texts
// as pointer and length, the structure first; drops every event without one.
// A table keeps one adapter from its first callbackSet until its last
// release; a callbackSet changes only the structure the adapter calls.
class CallBackC final : public nuvra_sdk::ICallBack {
public:
    explicit CallBackC(ICallBackC* cb) : _cb(cb) {}

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
    void onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string msgType, std::string msgData,
                     std::string extra) override;
    void onMessageSendError(std::string messageID, int ecode) override;
    void onMessageSendProgress(std::string account, std::string messageID, std::string type, std::string info) override;
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

    // Changed by callbackSet and release, on any thread, while events and
    // log lines may run.
    std::atomic<ICallBackC*> _cb;
    // Every event and log line on its way into the structure, from before
    // _cb is read until the structure's function has returned: what
    // callbackSet and release outlast before the application may free the
    // structure they took out.
    nuvra_sdk::CallGate deliveries;

private:
    template <typename Call> void deliver(Call call);
};

}  // namespace nuvra_sdk_cpp

// A new table around an instance, with no callback structure.
INuvraAPIC* create_INuvraAPI(void* new_api);
