#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "nuvra_sig.h"

namespace nuvra_test {

// What an application of either binding received: each event as its name and
// arguments joined by '|' (texts byte for byte, NULs kept; the accounts of a
// member list as "n:account,account"). Texts that came without their
// terminating NUL are counted.
class AppEvents {
public:
    std::vector<std::string> events() const;
    // Events other than onLog, in order.
    std::vector<std::string> without_log() const;
    // Events whose name is `name`, in order.
    std::vector<std::string> named(const std::string& name) const;
    bool wait_for(const std::string& prefix, int timeout_ms) const;
    void clear();
    int unterminated() const { return m_unterminated.load(); }

    void add(std::string event);
    std::string received(const char* p, size_t n);

private:
    mutable std::mutex m_mtx;
    std::vector<std::string> m_events;
    std::atomic<int> m_unterminated{0};
};

// An application object of the C++ binding.
class RecordingAppCallBack : public nuvra_sdk_cpp::ICallBack, public AppEvents {
public:
    void onReconnecting(uint32_t nretry) override;
    void onReconnected(int fd) override;
    void onLoginSuccess(uint32_t uid, int fd) override;
    void onLogout(int ecode) override;
    void onLoginFailed(int ecode) override;
    void onChannelJoined(const char* channelID, size_t channelID_size) override;
    void onChannelJoinFailed(const char* channelID, size_t channelID_size, int ecode) override;
    void onChannelLeaved(const char* channelID, size_t channelID_size, int ecode) override;
    void onChannelUserJoined(const char* account, size_t account_size, uint32_t uid) override;
    void onChannelUserLeaved(const char* account, size_t account_size, uint32_t uid) override;
    void onChannelUserList(int n, char** accounts, uint32_t* uids) override;
    void onChannelQueryUserNumResult(const char* channelID, size_t channelID_size, int ecode, int num) override;
    void onChannelQueryUserIsIn(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                                int isIn) override;
    void onChannelAttrUpdated(const char* channelID, size_t channelID_size, const char* name, size_t name_size,
                              const char* value, size_t value_size, const char* type, size_t type_size) override;
    void onInviteReceived(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                          uint32_t uid, const char* extra, size_t extra_size) override;
    void onInviteReceivedByPeer(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                                uint32_t uid) override;
    void onInviteAcceptedByPeer(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                                uint32_t uid, const char* extra, size_t extra_size) override;
    void onInviteRefusedByPeer(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                               uint32_t uid, const char* extra, size_t extra_size) override;
    void onInviteFailed(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                        uint32_t uid, int ecode, const char* extra, size_t extra_size) override;
    void onInviteEndByPeer(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                           uint32_t uid, const char* extra, size_t extra_size) override;
    void onInviteEndByMyself(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                             uint32_t uid) override;
    void onInviteMsg(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                     uint32_t uid, const char* msgType, size_t msgType_size, const char* msgData, size_t msgData_size,
                     const char* extra, size_t extra_size) override;
    void onMessageSendError(const char* messageID, size_t messageID_size, int ecode) override;
    void onMessageSendProgress(const char* account, size_t account_size, const char* messageID, size_t messageID_size,
                               const char* type, size_t type_size, const char* info, size_t info_size) override;
    void onMessageSendSuccess(const char* messageID, size_t messageID_size) override;
    void onMessageAppReceived(const char* msg, size_t msg_size) override;
    void onMessageInstantReceive(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                 size_t msg_size) override;
    void onMessageChannelReceive(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                                 uint32_t uid, const char* msg, size_t msg_size) override;
    void onLog(const char* txt, size_t txt_size) override;
    void onInvokeRet(const char* callID, size_t callID_size, const char* err, size_t err_size, const char* resp,
                     size_t resp_size) override;
    void onMsg(const char* from, size_t from_size, const char* t, size_t t_size, const char* msg,
               size_t msg_size) override;
    void onUserAttrResult(const char* account, size_t account_size, const char* name, size_t name_size,
                          const char* value, size_t value_size) override;
    void onUserAttrAllResult(const char* account, size_t account_size, const char* value, size_t value_size) override;
    void onError(const char* name, size_t name_size, int ecode, const char* desc, size_t desc_size) override;
    void onQueryUserStatusResult(const char* name, size_t name_size, const char* status, size_t status_size) override;
    void onDbg(const char* a, size_t a_size, const char* b, size_t b_size) override;
    void onBCCall_result(const char* reason, size_t reason_size, const char* json_ret, size_t json_ret_size,
                         const char* callID, size_t callID_size) override;
};

// An application structure of the C binding; every function checks that it
// was handed this very structure.
struct RecordingAppCallBackC : AppEvents {
    RecordingAppCallBackC();
    RecordingAppCallBackC(const RecordingAppCallBackC&) = delete;
    RecordingAppCallBackC& operator=(const RecordingAppCallBackC&) = delete;

    void add(ICallBackC* self, std::string event);
    int foreign_self() const { return m_foreign_self.load(); }
    // The structure to hand to callbackSet.
    ICallBackC* c() { return &slot.cb; }

    // The functions find their recorder through the structure they are given.
    struct Slot {
        ICallBackC cb;
        RecordingAppCallBackC* owner;
    } slot;

private:
    std::atomic<int> m_foreign_self{0};
};

// The accounts of a member list as "n:account,account".
std::string accounts_text(int n, char** accounts, uint32_t* uids);

}  // namespace nuvra_test
