#pragma once

#include <atomic>
#include <vector>

#include "api/nuvra_api.h"
#include "nuvra_sig.h"

namespace nuvra_sdk_cpp {

// Passes each event of an instance on to the application's object, texts as
// pointer and length; drops every event without an object.
class CallBack final : public nuvra_sdk::ICallBack {
public:
    explicit CallBack(nuvra_sdk_cpp::ICallBack* cb) : _cb(cb) {}

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

    nuvra_sdk_cpp::ICallBack* const _cb;
};

// The C++ binding's wrapper of one instance: converts the texts and calls the
// operation of the same slot.
class NuvraAPI final : public INuvraAPI {
public:
    explicit NuvraAPI(nuvra_sdk::INuvraAPI* instance) : api(instance) {}

    void callbackSet(ICallBack* handler) override;
    ICallBack* callbackGet() override;
    void login(const char* vendorID, size_t vendorID_size, const char* account, size_t account_size,
               const char* token, size_t token_size, uint32_t uid, const char* deviceID,
               size_t deviceID_size) override;
    void login2(const char* vendorID, size_t vendorID_size, const char* account, size_t account_size,
                const char* token, size_t token_size, uint32_t uid, const char* deviceID, size_t deviceID_size,
                int retry_time_in_s, int retry_count) override;
    void logout() override;
    void channelJoin(const char* channelID, size_t channelID_size) override;
    void channelLeave(const char* channelID, size_t channelID_size) override;
    void channelQueryUserNum(const char* channelID, size_t channelID_size) override;
    void channelQueryUserIsIn(const char* channelID, size_t channelID_size, const char* account,
                              size_t account_size) override;
    void channelSetAttr(const char* channelID, size_t channelID_size, const char* name, size_t name_size,
                        const char* value, size_t value_size) override;
    void channelDelAttr(const char* channelID, size_t channelID_size, const char* name, size_t name_size) override;
    void channelClearAttr(const char* channelID, size_t channelID_size) override;
    void channelInviteUser(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                           uint32_t uid) override;
    void channelInviteUser2(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                            const char* extra, size_t extra_size) override;
    void channelInvitePhone(const char* channelID, size_t channelID_size, const char* phoneNum,
                            size_t phoneNum_size, uint32_t uid) override;
    void channelInvitePhone2(const char* channelID, size_t channelID_size, const char* phoneNum,
                             size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size) override;
    void channelInvitePhone3(const char* channelID, size_t channelID_size, const char* phoneNum,
                             size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size, const char* extra,
                             size_t extra_size) override;
    void channelInviteDTMF(const char* channelID, size_t channelID_size, const char* phoneNum, size_t phoneNum_size,
                           const char* dtmf, size_t dtmf_size) override;
    void channelInviteAccept(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                             uint32_t uid, const char* extra, size_t extra_size) override;
    void channelInviteRefuse(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                             uint32_t uid, const char* extra, size_t extra_size) override;
    void channelInviteEnd(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                          uint32_t uid) override;
    void messageAppSend(const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) override;
    void messageInstantSend(const char* account, size_t account_size, uint32_t uid, const char* msg,
                            size_t msg_size, const char* msgID, size_t msgID_size) override;
    void messageInstantSend2(const char* account, size_t account_size, uint32_t uid, const char* msg,
                             size_t msg_size, const char* msgID, size_t msgID_size, const char* options,
                             size_t options_size) override;
    void messageChannelSend(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                            const char* msgID, size_t msgID_size) override;
    void messageChannelSendForce(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                                 const char* msgID, size_t msgID_size) override;
    void messageChannelSend2(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                             const char* msgID, size_t msgID_size, const char* extra, size_t extra_size) override;
    void messagePushSend(const char* account, size_t account_size, uint32_t uid, const char* msg, size_t msg_size,
                         const char* msgID, size_t msgID_size) override;
    void messageChatSend(const char* account, size_t account_size, uint32_t uid, const char* msg, size_t msg_size,
                         const char* msgID, size_t msgID_size) override;
    void messageDTMFSend(uint32_t uid, const char* msg, size_t msg_size, const char* msgID,
                         size_t msgID_size) override;
    void setBackground(uint32_t bOut) override;
    void setNetworkStatus(uint32_t bOut) override;
    void ping() override;
    void setAttr(const char* name, size_t name_size, const char* value, size_t value_size) override;
    void getAttr(const char* name, size_t name_size) override;
    void getAttrAll() override;
    void getUserAttr(const char* account, size_t account_size, const char* name, size_t name_size) override;
    void getUserAttrAll(const char* account, size_t account_size) override;
    void queryUserStatus(const char* account, size_t account_size) override;
    void invoke(const char* name, size_t name_size, const char* req, size_t req_size, const char* callID,
                size_t callID_size) override;
    void start() override;
    void stop() override;
    bool isOnline() override;
    int getStatus() override;
    int getSdkVersion() override;
    void bc_call(const char* func, size_t func_size, const char* json_args, size_t json_args_size,
                 const char* callID, size_t callID_size) override;
    void dbg(const char* a, size_t a_size, const char* b, size_t b_size) override;
    void destroy() override;

    nuvra_sdk::INuvraAPI* const api;
    CallBack* cb = nullptr;
    // The object of the last callbackSet, kept here so that callbackGet reads
    // no adapter a handler's callbackSet may be freeing.
    std::atomic<ICallBack*> handler{nullptr};
};

}  // namespace nuvra_sdk_cpp
