#include "support/binding_recorders.h"

#include <chrono>
#include <thread>
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

template <typename... Args>
std::string join(const char* name, const Args&... args) {
    std::string line = name;
    ((line += "|" + text(args)), ...);
    return line;
}

RecordingAppCallBackC* of(ICallBackC* self) { return reinterpret_cast<RecordingAppCallBackC::Slot*>(self)->owner; }

bool is_log(const std::string& e) { return e.compare(0, 6, "onLog|") == 0; }

}  // namespace

std::string accounts_text(int n, char** accounts, uint32_t* uids) {
    std::string s = std::to_string(n) + ":";
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::string(accounts[i]) + "/" + std::to_string(uids[i]);
    return s;
}

std::vector<std::string> AppEvents::events() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_events;
}

std::vector<std::string> AppEvents::without_log() const {
    std::vector<std::string> out;
    for (const std::string& e : events())
        if (!is_log(e)) out.push_back(e);
    return out;
}

std::vector<std::string> AppEvents::named(const std::string& name) const {
    std::vector<std::string> out;
    for (const std::string& e : events())
        if (e == name || e.compare(0, name.size() + 1, name + "|") == 0) out.push_back(e);
    return out;
}

bool AppEvents::wait_for(const std::string& prefix, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (const std::string& e : events())
            if (e.compare(0, prefix.size(), prefix) == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void AppEvents::clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_events.clear();
}

void AppEvents::add(std::string event) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_events.push_back(std::move(event));
}

std::string AppEvents::received(const char* p, size_t n) {
    if (p[n] != '\0') ++m_unterminated;
    return std::string(p, n);
}

void RecordingAppCallBack::onReconnecting(uint32_t nretry) { add(join("onReconnecting", nretry)); }

void RecordingAppCallBack::onReconnected(int fd) { add(join("onReconnected", fd)); }

void RecordingAppCallBack::onLoginSuccess(uint32_t uid, int fd) { add(join("onLoginSuccess", uid, fd)); }

void RecordingAppCallBack::onLogout(int ecode) { add(join("onLogout", ecode)); }

void RecordingAppCallBack::onLoginFailed(int ecode) { add(join("onLoginFailed", ecode)); }

void RecordingAppCallBack::onChannelJoined(const char* channelID, size_t channelID_size) {
    add(join("onChannelJoined", received(channelID, channelID_size)));
}

void RecordingAppCallBack::onChannelJoinFailed(const char* channelID, size_t channelID_size, int ecode) {
    add(join("onChannelJoinFailed", received(channelID, channelID_size), ecode));
}

void RecordingAppCallBack::onChannelLeaved(const char* channelID, size_t channelID_size, int ecode) {
    add(join("onChannelLeaved", received(channelID, channelID_size), ecode));
}

void RecordingAppCallBack::onChannelUserJoined(const char* account, size_t account_size, uint32_t uid) {
    add(join("onChannelUserJoined", received(account, account_size), uid));
}

void RecordingAppCallBack::onChannelUserLeaved(const char* account, size_t account_size, uint32_t uid) {
    add(join("onChannelUserLeaved", received(account, account_size), uid));
}

void RecordingAppCallBack::onChannelUserList(int n, char** accounts, uint32_t* uids) {
    add(join("onChannelUserList", n, accounts_text(n, accounts, uids)));
}

void RecordingAppCallBack::onChannelQueryUserNumResult(const char* channelID, size_t channelID_size, int ecode,
                                                       int num) {
    add(join("onChannelQueryUserNumResult", received(channelID, channelID_size), ecode, num));
}

void RecordingAppCallBack::onChannelQueryUserIsIn(const char* channelID, size_t channelID_size, const char* account,
                                                  size_t account_size, int isIn) {
    add(join("onChannelQueryUserIsIn", received(channelID, channelID_size), received(account, account_size), isIn));
}

void RecordingAppCallBack::onChannelAttrUpdated(const char* channelID, size_t channelID_size, const char* name,
                                                size_t name_size, const char* value, size_t value_size,
                                                const char* type, size_t type_size) {
    add(join("onChannelAttrUpdated", received(channelID, channelID_size), received(name, name_size),
             received(value, value_size), received(type, type_size)));
}

void RecordingAppCallBack::onInviteReceived(const char* channelID, size_t channelID_size, const char* account,
                                            size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    add(join("onInviteReceived", received(channelID, channelID_size), received(account, account_size), uid,
             received(extra, extra_size)));
}

void RecordingAppCallBack::onInviteReceivedByPeer(const char* channelID, size_t channelID_size, const char* account,
                                                  size_t account_size, uint32_t uid) {
    add(join("onInviteReceivedByPeer", received(channelID, channelID_size), received(account, account_size), uid));
}

void RecordingAppCallBack::onInviteAcceptedByPeer(const char* channelID, size_t channelID_size, const char* account,
                                                  size_t account_size, uint32_t uid, const char* extra,
                                                  size_t extra_size) {
    add(join("onInviteAcceptedByPeer", received(channelID, channelID_size), received(account, account_size), uid,
             received(extra, extra_size)));
}

void RecordingAppCallBack::onInviteRefusedByPeer(const char* channelID, size_t channelID_size, const char* account,
                                                 size_t account_size, uint32_t uid, const char* extra,
                                                 size_t extra_size) {
    add(join("onInviteRefusedByPeer", received(channelID, channelID_size), received(account, account_size), uid,
             received(extra, extra_size)));
}

void RecordingAppCallBack::onInviteFailed(const char* channelID, size_t channelID_size, const char* account,
                                          size_t account_size, uint32_t uid, int ecode, const char* extra,
                                          size_t extra_size) {
    add(join("onInviteFailed", received(channelID, channelID_size), received(account, account_size), uid, ecode,
             received(extra, extra_size)));
}

void RecordingAppCallBack::onInviteEndByPeer(const char* channelID, size_t channelID_size, const char* account,
                                             size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    add(join("onInviteEndByPeer", received(channelID, channelID_size), received(account, account_size), uid,
             received(extra, extra_size)));
}

void RecordingAppCallBack::onInviteEndByMyself(const char* channelID, size_t channelID_size, const char* account,
                                               size_t account_size, uint32_t uid) {
    add(join("onInviteEndByMyself", received(channelID, channelID_size), received(account, account_size), uid));
}

void RecordingAppCallBack::onInviteMsg(const char* channelID, size_t channelID_size, const char* account,
                                       size_t account_size, uint32_t uid, const char* msgType, size_t msgType_size,
                                       const char* msgData, size_t msgData_size, const char* extra, size_t extra_size) {
    add(join("onInviteMsg", received(channelID, channelID_size), received(account, account_size), uid,
             received(msgType, msgType_size), received(msgData, msgData_size), received(extra, extra_size)));
}

void RecordingAppCallBack::onMessageSendError(const char* messageID, size_t messageID_size, int ecode) {
    add(join("onMessageSendError", received(messageID, messageID_size), ecode));
}

void RecordingAppCallBack::onMessageSendProgress(const char* account, size_t account_size, const char* messageID,
                                                 size_t messageID_size, const char* type, size_t type_size,
                                                 const char* info, size_t info_size) {
    add(join("onMessageSendProgress", received(account, account_size), received(messageID, messageID_size),
             received(type, type_size), received(info, info_size)));
}

void RecordingAppCallBack::onMessageSendSuccess(const char* messageID, size_t messageID_size) {
    add(join("onMessageSendSuccess", received(messageID, messageID_size)));
}

void RecordingAppCallBack::onMessageAppReceived(const char* msg, size_t msg_size) {
    add(join("onMessageAppReceived", received(msg, msg_size)));
}

void RecordingAppCallBack::onMessageInstantReceive(const char* account, size_t account_size, uint32_t uid,
                                                   const char* msg, size_t msg_size) {
    add(join("onMessageInstantReceive", received(account, account_size), uid, received(msg, msg_size)));
}

void RecordingAppCallBack::onMessageChannelReceive(const char* channelID, size_t channelID_size, const char* account,
                                                   size_t account_size, uint32_t uid, const char* msg,
                                                   size_t msg_size) {
    add(join("onMessageChannelReceive", received(channelID, channelID_size), received(account, account_size), uid,
             received(msg, msg_size)));
}

void RecordingAppCallBack::onLog(const char* txt, size_t txt_size) { add(join("onLog", received(txt, txt_size))); }

void RecordingAppCallBack::onInvokeRet(const char* callID, size_t callID_size, const char* err, size_t err_size,
                                       const char* resp, size_t resp_size) {
    add(join("onInvokeRet", received(callID, callID_size), received(err, err_size), received(resp, resp_size)));
}

void RecordingAppCallBack::onMsg(const char* from, size_t from_size, const char* t, size_t t_size, const char* msg,
                                 size_t msg_size) {
    add(join("onMsg", received(from, from_size), received(t, t_size), received(msg, msg_size)));
}

void RecordingAppCallBack::onUserAttrResult(const char* account, size_t account_size, const char* name,
                                            size_t name_size, const char* value, size_t value_size) {
    add(join("onUserAttrResult", received(account, account_size), received(name, name_size),
             received(value, value_size)));
}

void RecordingAppCallBack::onUserAttrAllResult(const char* account, size_t account_size, const char* value,
                                               size_t value_size) {
    add(join("onUserAttrAllResult", received(account, account_size), received(value, value_size)));
}

void RecordingAppCallBack::onError(const char* name, size_t name_size, int ecode, const char* desc, size_t desc_size) {
    add(join("onError", received(name, name_size), ecode, received(desc, desc_size)));
}

void RecordingAppCallBack::onQueryUserStatusResult(const char* name, size_t name_size, const char* status,
                                                   size_t status_size) {
    add(join("onQueryUserStatusResult", received(name, name_size), received(status, status_size)));
}

void RecordingAppCallBack::onDbg(const char* a, size_t a_size, const char* b, size_t b_size) {
    add(join("onDbg", received(a, a_size), received(b, b_size)));
}

void RecordingAppCallBack::onBCCall_result(const char* reason, size_t reason_size, const char* json_ret,
                                           size_t json_ret_size, const char* callID, size_t callID_size) {
    add(join("onBCCall_result", received(reason, reason_size), received(json_ret, json_ret_size),
             received(callID, callID_size)));
}

RecordingAppCallBackC::RecordingAppCallBackC() {
    slot.owner = this;
    ICallBackC& cb = slot.cb;
    cb.onReconnecting = [](ICallBackC* self, uint32_t nretry) { of(self)->add(self, join("onReconnecting", nretry)); };
    cb.onReconnected = [](ICallBackC* self, int fd) { of(self)->add(self, join("onReconnected", fd)); };
    cb.onLoginSuccess = [](ICallBackC* self, uint32_t uid, int fd) {
        of(self)->add(self, join("onLoginSuccess", uid, fd));
    };
    cb.onLogout = [](ICallBackC* self, int ecode) { of(self)->add(self, join("onLogout", ecode)); };
    cb.onLoginFailed = [](ICallBackC* self, int ecode) { of(self)->add(self, join("onLoginFailed", ecode)); };
    cb.onChannelJoined = [](ICallBackC* self, const char* channelID, size_t channelID_size) {
        of(self)->add(self, join("onChannelJoined", of(self)->received(channelID, channelID_size)));
    };
    cb.onChannelJoinFailed = [](ICallBackC* self, const char* channelID, size_t channelID_size, int ecode) {
        of(self)->add(self, join("onChannelJoinFailed", of(self)->received(channelID, channelID_size), ecode));
    };
    cb.onChannelLeaved = [](ICallBackC* self, const char* channelID, size_t channelID_size, int ecode) {
        of(self)->add(self, join("onChannelLeaved", of(self)->received(channelID, channelID_size), ecode));
    };
    cb.onChannelUserJoined = [](ICallBackC* self, const char* account, size_t account_size, uint32_t uid) {
        of(self)->add(self, join("onChannelUserJoined", of(self)->received(account, account_size), uid));
    };
    cb.onChannelUserLeaved = [](ICallBackC* self, const char* account, size_t account_size, uint32_t uid) {
        of(self)->add(self, join("onChannelUserLeaved", of(self)->received(account, account_size), uid));
    };
    cb.onChannelUserList = [](ICallBackC* self, int n, char** accounts, uint32_t* uids) {
        of(self)->add(self, join("onChannelUserList", n, accounts_text(n, accounts, uids)));
    };
    cb.onChannelQueryUserNumResult = [](ICallBackC* self, const char* channelID, size_t channelID_size, int ecode,
                                        int num) {
        of(self)->add(self,
                      join("onChannelQueryUserNumResult", of(self)->received(channelID, channelID_size), ecode, num));
    };
    cb.onChannelQueryUserIsIn = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, int isIn) {
        of(self)->add(self, join("onChannelQueryUserIsIn", of(self)->received(channelID, channelID_size),
                                 of(self)->received(account, account_size), isIn));
    };
    cb.onChannelAttrUpdated = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* name,
                                 size_t name_size, const char* value, size_t value_size, const char* type,
                                 size_t type_size) {
        of(self)->add(self, join("onChannelAttrUpdated", of(self)->received(channelID, channelID_size),
                                 of(self)->received(name, name_size), of(self)->received(value, value_size),
                                 of(self)->received(type, type_size)));
    };
    cb.onInviteReceived = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                             size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        of(self)->add(self,
                      join("onInviteReceived", of(self)->received(channelID, channelID_size),
                           of(self)->received(account, account_size), uid, of(self)->received(extra, extra_size)));
    };
    cb.onInviteReceivedByPeer = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid) {
        of(self)->add(self, join("onInviteReceivedByPeer", of(self)->received(channelID, channelID_size),
                                 of(self)->received(account, account_size), uid));
    };
    cb.onInviteAcceptedByPeer = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        of(self)->add(self,
                      join("onInviteAcceptedByPeer", of(self)->received(channelID, channelID_size),
                           of(self)->received(account, account_size), uid, of(self)->received(extra, extra_size)));
    };
    cb.onInviteRefusedByPeer = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                                  size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        of(self)->add(self,
                      join("onInviteRefusedByPeer", of(self)->received(channelID, channelID_size),
                           of(self)->received(account, account_size), uid, of(self)->received(extra, extra_size)));
    };
    cb.onInviteFailed = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                           size_t account_size, uint32_t uid, int ecode, const char* extra, size_t extra_size) {
        of(self)->add(
            self, join("onInviteFailed", of(self)->received(channelID, channelID_size),
                       of(self)->received(account, account_size), uid, ecode, of(self)->received(extra, extra_size)));
    };
    cb.onInviteEndByPeer = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                              size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        of(self)->add(self,
                      join("onInviteEndByPeer", of(self)->received(channelID, channelID_size),
                           of(self)->received(account, account_size), uid, of(self)->received(extra, extra_size)));
    };
    cb.onInviteEndByMyself = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                                size_t account_size, uint32_t uid) {
        of(self)->add(self, join("onInviteEndByMyself", of(self)->received(channelID, channelID_size),
                                 of(self)->received(account, account_size), uid));
    };
    cb.onInviteMsg = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                        size_t account_size, uint32_t uid, const char* msgType, size_t msgType_size,
                        const char* msgData, size_t msgData_size, const char* extra, size_t extra_size) {
        of(self)->add(self,
                      join("onInviteMsg", of(self)->received(channelID, channelID_size),
                           of(self)->received(account, account_size), uid, of(self)->received(msgType, msgType_size),
                           of(self)->received(msgData, msgData_size), of(self)->received(extra, extra_size)));
    };
    cb.onMessageSendError = [](ICallBackC* self, const char* messageID, size_t messageID_size, int ecode) {
        of(self)->add(self, join("onMessageSendError", of(self)->received(messageID, messageID_size), ecode));
    };
    cb.onMessageSendProgress = [](ICallBackC* self, const char* account, size_t account_size, const char* messageID,
                                  size_t messageID_size, const char* type, size_t type_size, const char* info,
                                  size_t info_size) {
        of(self)->add(self, join("onMessageSendProgress", of(self)->received(account, account_size),
                                 of(self)->received(messageID, messageID_size), of(self)->received(type, type_size),
                                 of(self)->received(info, info_size)));
    };
    cb.onMessageSendSuccess = [](ICallBackC* self, const char* messageID, size_t messageID_size) {
        of(self)->add(self, join("onMessageSendSuccess", of(self)->received(messageID, messageID_size)));
    };
    cb.onMessageAppReceived = [](ICallBackC* self, const char* msg, size_t msg_size) {
        of(self)->add(self, join("onMessageAppReceived", of(self)->received(msg, msg_size)));
    };
    cb.onMessageInstantReceive = [](ICallBackC* self, const char* account, size_t account_size, uint32_t uid,
                                    const char* msg, size_t msg_size) {
        of(self)->add(self, join("onMessageInstantReceive", of(self)->received(account, account_size), uid,
                                 of(self)->received(msg, msg_size)));
    };
    cb.onMessageChannelReceive = [](ICallBackC* self, const char* channelID, size_t channelID_size, const char* account,
                                    size_t account_size, uint32_t uid, const char* msg, size_t msg_size) {
        of(self)->add(self, join("onMessageChannelReceive", of(self)->received(channelID, channelID_size),
                                 of(self)->received(account, account_size), uid, of(self)->received(msg, msg_size)));
    };
    cb.onLog = [](ICallBackC* self, const char* txt, size_t txt_size) {
        of(self)->add(self, join("onLog", of(self)->received(txt, txt_size)));
    };
    cb.onInvokeRet = [](ICallBackC* self, const char* callID, size_t callID_size, const char* err, size_t err_size,
                        const char* resp, size_t resp_size) {
        of(self)->add(self, join("onInvokeRet", of(self)->received(callID, callID_size),
                                 of(self)->received(err, err_size), of(self)->received(resp, resp_size)));
    };
    cb.onMsg = [](ICallBackC* self, const char* from, size_t from_size, const char* t, size_t t_size, const char* msg,
                  size_t msg_size) {
        of(self)->add(self, join("onMsg", of(self)->received(from, from_size), of(self)->received(t, t_size),
                                 of(self)->received(msg, msg_size)));
    };
    cb.onUserAttrResult = [](ICallBackC* self, const char* account, size_t account_size, const char* name,
                             size_t name_size, const char* value, size_t value_size) {
        of(self)->add(self, join("onUserAttrResult", of(self)->received(account, account_size),
                                 of(self)->received(name, name_size), of(self)->received(value, value_size)));
    };
    cb.onUserAttrAllResult = [](ICallBackC* self, const char* account, size_t account_size, const char* value,
                                size_t value_size) {
        of(self)->add(self, join("onUserAttrAllResult", of(self)->received(account, account_size),
                                 of(self)->received(value, value_size)));
    };
    cb.onError = [](ICallBackC* self, const char* name, size_t name_size, int ecode, const char* desc,
                    size_t desc_size) {
        of(self)->add(self,
                      join("onError", of(self)->received(name, name_size), ecode, of(self)->received(desc, desc_size)));
    };
    cb.onQueryUserStatusResult = [](ICallBackC* self, const char* name, size_t name_size, const char* status,
                                    size_t status_size) {
        of(self)->add(self, join("onQueryUserStatusResult", of(self)->received(name, name_size),
                                 of(self)->received(status, status_size)));
    };
    cb.onDbg = [](ICallBackC* self, const char* a, size_t a_size, const char* b, size_t b_size) {
        of(self)->add(self, join("onDbg", of(self)->received(a, a_size), of(self)->received(b, b_size)));
    };
    cb.onBCCall_result = [](ICallBackC* self, const char* reason, size_t reason_size, const char* json_ret,
                            size_t json_ret_size, const char* callID, size_t callID_size) {
        of(self)->add(self, join("onBCCall_result", of(self)->received(reason, reason_size),
                                 of(self)->received(json_ret, json_ret_size), of(self)->received(callID, callID_size)));
    };
}

void RecordingAppCallBackC::add(ICallBackC* self, std::string event) {
    if (self != &slot.cb) ++m_foreign_self;
    AppEvents::add(std::move(event));
}

}  // namespace nuvra_test
