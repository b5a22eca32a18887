#include "nuvra_api_cpp.h"

#include <mutex>

#include "binding_support.h"
#include "nuvra_api.h"

namespace nuvra_sdk_cpp {

void CallBack::onReconnecting(uint32_t nretry) {
    if (_cb) _cb->onReconnecting(nretry);
}

void CallBack::onReconnected(int fd) {
    if (_cb) _cb->onReconnected(fd);
}

void CallBack::onLoginSuccess(uint32_t uid, int fd) {
    if (_cb) _cb->onLoginSuccess(uid, fd);
}

void CallBack::onLogout(int ecode) {
    if (_cb) _cb->onLogout(ecode);
}

void CallBack::onLoginFailed(int ecode) {
    if (_cb) _cb->onLoginFailed(ecode);
}

void CallBack::onChannelJoined(std::string channelID) {
    if (_cb) _cb->onChannelJoined(channelID.c_str(), channelID.size());
}

void CallBack::onChannelJoinFailed(std::string channelID, int ecode) {
    if (_cb) _cb->onChannelJoinFailed(channelID.c_str(), channelID.size(), ecode);
}

void CallBack::onChannelLeaved(std::string channelID, int ecode) {
    if (_cb) _cb->onChannelLeaved(channelID.c_str(), channelID.size(), ecode);
}

void CallBack::onChannelUserJoined(std::string account, uint32_t uid) {
    if (_cb) _cb->onChannelUserJoined(account.c_str(), account.size(), uid);
}

void CallBack::onChannelUserLeaved(std::string account, uint32_t uid) {
    if (_cb) _cb->onChannelUserLeaved(account.c_str(), account.size(), uid);
}

void CallBack::onChannelUserList(int n, char** accounts, uint32_t* uids) {
    if (_cb) _cb->onChannelUserList(n, accounts, uids);
}

void CallBack::onChannelQueryUserNumResult(std::string channelID, int ecode, int num) {
    if (_cb) _cb->onChannelQueryUserNumResult(channelID.c_str(), channelID.size(), ecode, num);
}

void CallBack::onChannelQueryUserIsIn(std::string channelID, std::string account, int isIn) {
    if (_cb) _cb->onChannelQueryUserIsIn(channelID.c_str(), channelID.size(), account.c_str(), account.size(), isIn);
}

void CallBack::onChannelAttrUpdated(std::string channelID, std::string name, std::string value, std::string type) {
    if (_cb)
        _cb->onChannelAttrUpdated(channelID.c_str(), channelID.size(), name.c_str(), name.size(), value.c_str(),
                                  value.size(), type.c_str(), type.size());
}

void CallBack::onInviteReceived(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    if (_cb)
        _cb->onInviteReceived(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid, extra.c_str(),
                              extra.size());
}

void CallBack::onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid) {
    if (_cb) _cb->onInviteReceivedByPeer(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid);
}

void CallBack::onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    if (_cb)
        _cb->onInviteAcceptedByPeer(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                                    extra.c_str(), extra.size());
}

void CallBack::onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    if (_cb)
        _cb->onInviteRefusedByPeer(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                                   extra.c_str(), extra.size());
}

void CallBack::onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode, std::string extra) {
    if (_cb)
        _cb->onInviteFailed(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid, ecode,
                            extra.c_str(), extra.size());
}

void CallBack::onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    if (_cb)
        _cb->onInviteEndByPeer(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid, extra.c_str(),
                               extra.size());
}

void CallBack::onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid) {
    if (_cb) _cb->onInviteEndByMyself(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid);
}

void CallBack::onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string msgType,
                           std::string msgData, std::string extra) {
    if (_cb)
        _cb->onInviteMsg(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid, msgType.c_str(),
                         msgType.size(), msgData.c_str(), msgData.size(), extra.c_str(), extra.size());
}

void CallBack::onMessageSendError(std::string messageID, int ecode) {
    if (_cb) _cb->onMessageSendError(messageID.c_str(), messageID.size(), ecode);
}

void CallBack::onMessageSendProgress(std::string account, std::string messageID, std::string type, std::string info) {
    if (_cb)
        _cb->onMessageSendProgress(account.c_str(), account.size(), messageID.c_str(), messageID.size(), type.c_str(),
                                   type.size(), info.c_str(), info.size());
}

void CallBack::onMessageSendSuccess(std::string messageID) {
    if (_cb) _cb->onMessageSendSuccess(messageID.c_str(), messageID.size());
}

void CallBack::onMessageAppReceived(std::string msg) {
    if (_cb) _cb->onMessageAppReceived(msg.c_str(), msg.size());
}

void CallBack::onMessageInstantReceive(std::string account, uint32_t uid, std::string msg) {
    if (_cb) _cb->onMessageInstantReceive(account.c_str(), account.size(), uid, msg.c_str(), msg.size());
}

void CallBack::onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid, std::string msg) {
    if (_cb)
        _cb->onMessageChannelReceive(channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                                     msg.c_str(), msg.size());
}

void CallBack::onLog(std::string txt) {
    if (_cb) _cb->onLog(txt.c_str(), txt.size());
}

void CallBack::onInvokeRet(std::string callID, std::string err, std::string resp) {
    if (_cb) _cb->onInvokeRet(callID.c_str(), callID.size(), err.c_str(), err.size(), resp.c_str(), resp.size());
}

void CallBack::onMsg(std::string from, std::string t, std::string msg) {
    if (_cb) _cb->onMsg(from.c_str(), from.size(), t.c_str(), t.size(), msg.c_str(), msg.size());
}

void CallBack::onUserAttrResult(std::string account, std::string name, std::string value) {
    if (_cb)
        _cb->onUserAttrResult(account.c_str(), account.size(), name.c_str(), name.size(), value.c_str(), value.size());
}

void CallBack::onUserAttrAllResult(std::string account, std::string value) {
    if (_cb) _cb->onUserAttrAllResult(account.c_str(), account.size(), value.c_str(), value.size());
}

void CallBack::onError(std::string name, int ecode, std::string desc) {
    if (_cb) _cb->onError(name.c_str(), name.size(), ecode, desc.c_str(), desc.size());
}

void CallBack::onQueryUserStatusResult(std::string name, std::string status) {
    if (_cb) _cb->onQueryUserStatusResult(name.c_str(), name.size(), status.c_str(), status.size());
}

void CallBack::onDbg(std::string a, std::string b) {
    if (_cb) _cb->onDbg(a.c_str(), a.size(), b.c_str(), b.size());
}

void CallBack::onBCCall_result(std::string reason, std::string json_ret, std::string callID) {
    if (_cb)
        _cb->onBCCall_result(reason.c_str(), reason.size(), json_ret.c_str(), json_ret.size(), callID.c_str(),
                             callID.size());
}

void NuvraAPI::callbackSet(ICallBack* object) {
    handler.store(object);
    CallBack* previous = cb;
    cb = new CallBack(object);
    install_adapter(api, cb, [previous] { delete previous; });
}

ICallBack* NuvraAPI::callbackGet() { return handler.load(); }

void NuvraAPI::login(const char* vendorID, size_t vendorID_size, const char* account, size_t account_size,
                     const char* token, size_t token_size, uint32_t uid, const char* deviceID, size_t deviceID_size) {
    api->login(text(vendorID, vendorID_size), text(account, account_size), text(token, token_size), uid,
               text(deviceID, deviceID_size));
}

void NuvraAPI::login2(const char* vendorID, size_t vendorID_size, const char* account, size_t account_size,
                      const char* token, size_t token_size, uint32_t uid, const char* deviceID, size_t deviceID_size,
                      int retry_time_in_s, int retry_count) {
    api->login2(text(vendorID, vendorID_size), text(account, account_size), text(token, token_size), uid,
                text(deviceID, deviceID_size), retry_time_in_s, retry_count);
}

void NuvraAPI::logout() { api->logout(); }

void NuvraAPI::channelJoin(const char* channelID, size_t channelID_size) {
    api->channelJoin(text(channelID, channelID_size));
}

void NuvraAPI::channelLeave(const char* channelID, size_t channelID_size) {
    api->channelLeave(text(channelID, channelID_size));
}

void NuvraAPI::channelQueryUserNum(const char* channelID, size_t channelID_size) {
    api->channelQueryUserNum(text(channelID, channelID_size));
}

void NuvraAPI::channelQueryUserIsIn(const char* channelID, size_t channelID_size, const char* account,
                                    size_t account_size) {
    api->channelQueryUserIsIn(text(channelID, channelID_size), text(account, account_size));
}

void NuvraAPI::channelSetAttr(const char* channelID, size_t channelID_size, const char* name, size_t name_size,
                              const char* value, size_t value_size) {
    api->channelSetAttr(text(channelID, channelID_size), text(name, name_size), text(value, value_size));
}

void NuvraAPI::channelDelAttr(const char* channelID, size_t channelID_size, const char* name, size_t name_size) {
    api->channelDelAttr(text(channelID, channelID_size), text(name, name_size));
}

void NuvraAPI::channelClearAttr(const char* channelID, size_t channelID_size) {
    api->channelClearAttr(text(channelID, channelID_size));
}

void NuvraAPI::channelInviteUser(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                                 uint32_t /*uid*/) {
    api->channelInviteUser(text(channelID, channelID_size), text(account, account_size), 0);
}

void NuvraAPI::channelInviteUser2(const char* channelID, size_t channelID_size, const char* account,
                                  size_t account_size, const char* extra, size_t extra_size) {
    api->channelInviteUser2(text(channelID, channelID_size), text(account, account_size), text(extra, extra_size));
}

void NuvraAPI::channelInvitePhone(const char* channelID, size_t channelID_size, const char* phoneNum,
                                  size_t phoneNum_size, uint32_t /*uid*/) {
    api->channelInvitePhone(text(channelID, channelID_size), text(phoneNum, phoneNum_size), 0);
}

void NuvraAPI::channelInvitePhone2(const char* channelID, size_t channelID_size, const char* phoneNum,
                                   size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size) {
    api->channelInvitePhone2(text(channelID, channelID_size), text(phoneNum, phoneNum_size),
                             text(sourcesNum, sourcesNum_size));
}

void NuvraAPI::channelInvitePhone3(const char* channelID, size_t channelID_size, const char* phoneNum,
                                   size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size,
                                   const char* extra, size_t extra_size) {
    api->channelInvitePhone3(text(channelID, channelID_size), text(phoneNum, phoneNum_size),
                             text(sourcesNum, sourcesNum_size), text(extra, extra_size));
}

void NuvraAPI::channelInviteDTMF(const char* channelID, size_t channelID_size, const char* phoneNum,
                                 size_t phoneNum_size, const char* dtmf, size_t dtmf_size) {
    api->channelInviteDTMF(text(channelID, channelID_size), text(phoneNum, phoneNum_size), text(dtmf, dtmf_size));
}

void NuvraAPI::channelInviteAccept(const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    api->channelInviteAccept(text(channelID, channelID_size), text(account, account_size), uid,
                             text(extra, extra_size));
}

void NuvraAPI::channelInviteRefuse(const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    api->channelInviteRefuse(text(channelID, channelID_size), text(account, account_size), uid,
                             text(extra, extra_size));
}

void NuvraAPI::channelInviteEnd(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                                uint32_t uid) {
    api->channelInviteEnd(text(channelID, channelID_size), text(account, account_size), uid);
}

void NuvraAPI::messageAppSend(const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) {
    api->messageAppSend(text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::messageInstantSend(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                  size_t msg_size, const char* msgID, size_t msgID_size) {
    api->messageInstantSend(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::messageInstantSend2(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                   size_t msg_size, const char* msgID, size_t msgID_size, const char* options,
                                   size_t options_size) {
    api->messageInstantSend2(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size),
                             text(options, options_size));
}

void NuvraAPI::messageChannelSend(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                                  const char* msgID, size_t msgID_size) {
    api->messageChannelSend(text(channelID, channelID_size), text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::messageChannelSendForce(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                                       const char* msgID, size_t msgID_size) {
    api->messageChannelSendForce(text(channelID, channelID_size), text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::messageChannelSend2(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                                   const char* msgID, size_t msgID_size, const char* extra, size_t extra_size) {
    api->messageChannelSend2(text(channelID, channelID_size), text(msg, msg_size), text(msgID, msgID_size),
                             text(extra, extra_size));
}

void NuvraAPI::messagePushSend(const char* account, size_t account_size, uint32_t uid, const char* msg, size_t msg_size,
                               const char* msgID, size_t msgID_size) {
    api->messagePushSend(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::messageChatSend(const char* account, size_t account_size, uint32_t uid, const char* msg, size_t msg_size,
                               const char* msgID, size_t msgID_size) {
    api->messageChatSend(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::messageDTMFSend(uint32_t uid, const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) {
    api->messageDTMFSend(uid, text(msg, msg_size), text(msgID, msgID_size));
}

void NuvraAPI::setBackground(uint32_t bOut) { api->setBackground(bOut); }

void NuvraAPI::setNetworkStatus(uint32_t bOut) { api->setNetworkStatus(bOut); }

void NuvraAPI::ping() { api->ping(); }

void NuvraAPI::setAttr(const char* name, size_t name_size, const char* value, size_t value_size) {
    api->setAttr(text(name, name_size), text(value, value_size));
}

void NuvraAPI::getAttr(const char* name, size_t name_size) { api->getAttr(text(name, name_size)); }

void NuvraAPI::getAttrAll() { api->getAttrAll(); }

void NuvraAPI::getUserAttr(const char* account, size_t account_size, const char* name, size_t name_size) {
    api->getUserAttr(text(account, account_size), text(name, name_size));
}

void NuvraAPI::getUserAttrAll(const char* account, size_t account_size) {
    api->getUserAttrAll(text(account, account_size));
}

void NuvraAPI::queryUserStatus(const char* account, size_t account_size) {
    api->queryUserStatus(text(account, account_size));
}

void NuvraAPI::invoke(const char* name, size_t name_size, const char* req, size_t req_size, const char* callID,
                      size_t callID_size) {
    api->invoke(text(name, name_size), text(req, req_size), text(callID, callID_size));
}

void NuvraAPI::start() { api->start(); }

void NuvraAPI::stop() { api->stop(); }

bool NuvraAPI::isOnline() { return api->isOnline(); }

int NuvraAPI::getStatus() { return api->getStatus(); }

int NuvraAPI::getSdkVersion() { return api->getSdkVersion(); }

void NuvraAPI::bc_call(const char* func, size_t func_size, const char* json_args, size_t json_args_size,
                       const char* callID, size_t callID_size) {
    api->bc_call(text(func, func_size), text(json_args, json_args_size), text(callID, callID_size));
}

void NuvraAPI::dbg(const char* a, size_t a_size, const char* b, size_t b_size) {
    api->dbg(text(a, a_size), text(b, b_size));
}

void NuvraAPI::destroy() { api->destroy(); }

}  // namespace nuvra_sdk_cpp

namespace {

std::mutex g_instance_mtx;
nuvra_sdk_cpp::NuvraAPI* g_instance_wrapper = nullptr;

}  // namespace

extern "C" nuvra_sdk_cpp::INuvraAPI* createNuvraSDKInstanceCPP() {
    nuvra_sdk::INuvraAPI* instance = nuvra_sdk::createNuvraSDKInstance();
    if (!instance) return nullptr;
    // Only the thread that got the instance from the pool touches its cookie.
    void* wrapper = nuvra_sdk::getInstanceCookie(instance, nuvra_sdk::Binding::Cpp);
    if (wrapper) return static_cast<nuvra_sdk_cpp::NuvraAPI*>(wrapper);
    auto* made = new nuvra_sdk_cpp::NuvraAPI(instance);
    nuvra_sdk::setInstanceCookie(instance, nuvra_sdk::Binding::Cpp, made);
    return made;
}

extern "C" nuvra_sdk_cpp::INuvraAPI* getNuvraSDKInstanceCPP() {
    // Wait for the instance outside the lock: a handler on the network thread
    // may ask at the same time.
    nuvra_sdk::INuvraAPI* instance = nuvra_sdk::getNuvraSDKInstance();
    std::lock_guard<std::mutex> lock(g_instance_mtx);
    if (!g_instance_wrapper) g_instance_wrapper = new nuvra_sdk_cpp::NuvraAPI(instance);
    return g_instance_wrapper;
}
