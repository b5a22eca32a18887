#include "nuvra_api_c.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <type_traits>

#include "binding_support.h"
#include "nuvra_api.h"

namespace nuvra_sdk_cpp {

// Inside the gate from before the structure is read until its function returns.
template <typename Call> void CallBackC::deliver(Call call) {
    nuvra_sdk::CallGate::Call in_structure(deliveries);
    if (ICallBackC* cb = _cb.load()) call(cb);
}

void CallBackC::onReconnecting(uint32_t nretry) {
    deliver([&](ICallBackC* cb) { cb->onReconnecting(cb, nretry); });
}

void CallBackC::onReconnected(int fd) {
    deliver([&](ICallBackC* cb) { cb->onReconnected(cb, fd); });
}

void CallBackC::onLoginSuccess(uint32_t uid, int fd) {
    deliver([&](ICallBackC* cb) { cb->onLoginSuccess(cb, uid, fd); });
}

void CallBackC::onLogout(int ecode) {
    deliver([&](ICallBackC* cb) { cb->onLogout(cb, ecode); });
}

void CallBackC::onLoginFailed(int ecode) {
    deliver([&](ICallBackC* cb) { cb->onLoginFailed(cb, ecode); });
}

void CallBackC::onChannelJoined(std::string channelID) {
    deliver([&](ICallBackC* cb) { cb->onChannelJoined(cb, channelID.c_str(), channelID.size()); });
}

void CallBackC::onChannelJoinFailed(std::string channelID, int ecode) {
    deliver([&](ICallBackC* cb) { cb->onChannelJoinFailed(cb, channelID.c_str(), channelID.size(), ecode); });
}

void CallBackC::onChannelLeaved(std::string channelID, int ecode) {
    deliver([&](ICallBackC* cb) { cb->onChannelLeaved(cb, channelID.c_str(), channelID.size(), ecode); });
}

void CallBackC::onChannelUserJoined(std::string account, uint32_t uid) {
    deliver([&](ICallBackC* cb) { cb->onChannelUserJoined(cb, account.c_str(), account.size(), uid); });
}

void CallBackC::onChannelUserLeaved(std::string account, uint32_t uid) {
    deliver([&](ICallBackC* cb) { cb->onChannelUserLeaved(cb, account.c_str(), account.size(), uid); });
}

void CallBackC::onChannelUserList(int n, char** accounts, uint32_t* uids) {
    deliver([&](ICallBackC* cb) { cb->onChannelUserList(cb, n, accounts, uids); });
}

void CallBackC::onChannelQueryUserNumResult(std::string channelID, int ecode, int num) {
    deliver(
        [&](ICallBackC* cb) { cb->onChannelQueryUserNumResult(cb, channelID.c_str(), channelID.size(), ecode, num); });
}

void CallBackC::onChannelQueryUserIsIn(std::string channelID, std::string account, int isIn) {
    deliver([&](ICallBackC* cb) {
        cb->onChannelQueryUserIsIn(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), isIn);
    });
}

void CallBackC::onChannelAttrUpdated(std::string channelID, std::string name, std::string value, std::string type) {
    deliver([&](ICallBackC* cb) {
        cb->onChannelAttrUpdated(cb, channelID.c_str(), channelID.size(), name.c_str(), name.size(), value.c_str(),
                                 value.size(), type.c_str(), type.size());
    });
}

void CallBackC::onInviteReceived(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteReceived(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                             extra.c_str(), extra.size());
    });
}

void CallBackC::onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteReceivedByPeer(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid);
    });
}

void CallBackC::onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteAcceptedByPeer(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                                   extra.c_str(), extra.size());
    });
}

void CallBackC::onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteRefusedByPeer(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                                  extra.c_str(), extra.size());
    });
}

void CallBackC::onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode, std::string extra) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteFailed(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid, ecode,
                           extra.c_str(), extra.size());
    });
}

void CallBackC::onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteEndByPeer(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                              extra.c_str(), extra.size());
    });
}

void CallBackC::onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteEndByMyself(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid);
    });
}

void CallBackC::onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string msgType,
                            std::string msgData, std::string extra) {
    deliver([&](ICallBackC* cb) {
        cb->onInviteMsg(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid, msgType.c_str(),
                        msgType.size(), msgData.c_str(), msgData.size(), extra.c_str(), extra.size());
    });
}

void CallBackC::onMessageSendError(std::string messageID, int ecode) {
    deliver([&](ICallBackC* cb) { cb->onMessageSendError(cb, messageID.c_str(), messageID.size(), ecode); });
}

void CallBackC::onMessageSendProgress(std::string account, std::string messageID, std::string type, std::string info) {
    deliver([&](ICallBackC* cb) {
        cb->onMessageSendProgress(cb, account.c_str(), account.size(), messageID.c_str(), messageID.size(),
                                  type.c_str(), type.size(), info.c_str(), info.size());
    });
}

void CallBackC::onMessageSendSuccess(std::string messageID) {
    deliver([&](ICallBackC* cb) { cb->onMessageSendSuccess(cb, messageID.c_str(), messageID.size()); });
}

void CallBackC::onMessageAppReceived(std::string msg) {
    deliver([&](ICallBackC* cb) { cb->onMessageAppReceived(cb, msg.c_str(), msg.size()); });
}

void CallBackC::onMessageInstantReceive(std::string account, uint32_t uid, std::string msg) {
    deliver([&](ICallBackC* cb) {
        cb->onMessageInstantReceive(cb, account.c_str(), account.size(), uid, msg.c_str(), msg.size());
    });
}

void CallBackC::onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid, std::string msg) {
    deliver([&](ICallBackC* cb) {
        cb->onMessageChannelReceive(cb, channelID.c_str(), channelID.size(), account.c_str(), account.size(), uid,
                                    msg.c_str(), msg.size());
    });
}

void CallBackC::onLog(std::string txt) {
    deliver([&](ICallBackC* cb) { cb->onLog(cb, txt.c_str(), txt.size()); });
}

void CallBackC::onInvokeRet(std::string callID, std::string err, std::string resp) {
    deliver([&](ICallBackC* cb) {
        cb->onInvokeRet(cb, callID.c_str(), callID.size(), err.c_str(), err.size(), resp.c_str(), resp.size());
    });
}

void CallBackC::onMsg(std::string from, std::string t, std::string msg) {
    deliver([&](ICallBackC* cb) {
        cb->onMsg(cb, from.c_str(), from.size(), t.c_str(), t.size(), msg.c_str(), msg.size());
    });
}

void CallBackC::onUserAttrResult(std::string account, std::string name, std::string value) {
    deliver([&](ICallBackC* cb) {
        cb->onUserAttrResult(cb, account.c_str(), account.size(), name.c_str(), name.size(), value.c_str(),
                             value.size());
    });
}

void CallBackC::onUserAttrAllResult(std::string account, std::string value) {
    deliver([&](ICallBackC* cb) {
        cb->onUserAttrAllResult(cb, account.c_str(), account.size(), value.c_str(), value.size());
    });
}

void CallBackC::onError(std::string name, int ecode, std::string desc) {
    deliver([&](ICallBackC* cb) { cb->onError(cb, name.c_str(), name.size(), ecode, desc.c_str(), desc.size()); });
}

void CallBackC::onQueryUserStatusResult(std::string name, std::string status) {
    deliver([&](ICallBackC* cb) {
        cb->onQueryUserStatusResult(cb, name.c_str(), name.size(), status.c_str(), status.size());
    });
}

void CallBackC::onDbg(std::string a, std::string b) {
    deliver([&](ICallBackC* cb) { cb->onDbg(cb, a.c_str(), a.size(), b.c_str(), b.size()); });
}

void CallBackC::onBCCall_result(std::string reason, std::string json_ret, std::string callID) {
    deliver([&](ICallBackC* cb) {
        cb->onBCCall_result(cb, reason.c_str(), reason.size(), json_ret.c_str(), json_ret.size(), callID.c_str(),
                            callID.size());
    });
}

}  // namespace nuvra_sdk_cpp

using nuvra_sdk_cpp::CallBackC;
using nuvra_sdk_cpp::text;

namespace {

// A table as the binding keeps it. The application's pointer addresses the
// first member; the table is allocated with malloc and freed with free.
struct TableC {
    INuvraAPIC table;
    // The structure of the last callbackSet, kept here so that callbackGet
    // reads nothing another thread may be freeing.
    std::atomic<ICallBackC*> structure;
    // Hand-outs by the get and create functions not yet released, under
    // g_tables_mtx: the table lives until its last holder's release.
    uint64_t holders;
};
static_assert(std::is_standard_layout<TableC>::value, "the table is the first member");
static_assert(std::is_trivially_destructible<TableC>::value, "freed without a destructor");

TableC* table_of(INuvraAPIC* self) { return reinterpret_cast<TableC*>(self); }

// The hand-out counts, the C cookies of the instances and api_c.
std::mutex g_tables_mtx;
INuvraAPIC* api_c = nullptr;

nuvra_sdk::INuvraAPI* core(INuvraAPIC* self) { return static_cast<nuvra_sdk::INuvraAPI*>(self->api); }

// The table's adapter is read from any thread, an event's among them; the C
// layout leaves a plain pointer, so it is only touched atomically.
CallBackC* adapter_of(INuvraAPIC* self) {
    return static_cast<CallBackC*>(__atomic_load_n(&self->cb, __ATOMIC_ACQUIRE));
}

// Points the adapter at handler and returns once no event or log line can
// still be inside the structure it replaced: at once on the network thread,
// inside a delivery into that structure and once the process is exiting.
void retarget(CallBackC* adapter, ICallBackC* handler) {
    adapter->_cb.store(handler);
    if (nuvra_sdk::may_wait_for(adapter->deliveries)) adapter->deliveries.wait();
}

void nuvra_sig_callbackSet(INuvraAPIC* self, ICallBackC* handler) noexcept {
    table_of(self)->structure.store(handler);
    CallBackC* adapter = adapter_of(self);
    if (!adapter) {
        // Two holders of a table handed out again may both make the first.
        auto* fresh = new CallBackC(handler);
        void* none = nullptr;
        if (__atomic_compare_exchange_n(&self->cb, &none, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            adapter = fresh;
        } else {
            delete fresh;
            adapter = static_cast<CallBackC*>(none);
        }
    }
    // Installed again every time: the other binding may have installed its
    // own object on the process-wide instance, and callbackSet returns
    // behind every step posted before it.
    nuvra_sdk_cpp::install_adapter(core(self), adapter, nullptr);
    retarget(adapter, handler);
}

ICallBackC* nuvra_sig_callbackGet(INuvraAPIC* self) noexcept { return table_of(self)->structure.load(); }

void nuvra_sig_login(INuvraAPIC* self, const char* vendorID, size_t vendorID_size, const char* account,
                     size_t account_size, const char* token, size_t token_size, uint32_t uid, const char* deviceID,
                     size_t deviceID_size) noexcept {
    core(self)->login(text(vendorID, vendorID_size), text(account, account_size), text(token, token_size), uid,
                      text(deviceID, deviceID_size));
}

void nuvra_sig_login2(INuvraAPIC* self, const char* vendorID, size_t vendorID_size, const char* account,
                      size_t account_size, const char* token, size_t token_size, uint32_t uid, const char* deviceID,
                      size_t deviceID_size, int retry_time_in_s, int retry_count) noexcept {
    core(self)->login2(text(vendorID, vendorID_size), text(account, account_size), text(token, token_size), uid,
                       text(deviceID, deviceID_size), retry_time_in_s, retry_count);
}

void nuvra_sig_logout(INuvraAPIC* self) noexcept { core(self)->logout(); }

void nuvra_sig_channelJoin(INuvraAPIC* self, const char* channelID, size_t channelID_size) noexcept {
    core(self)->channelJoin(text(channelID, channelID_size));
}

void nuvra_sig_channelLeave(INuvraAPIC* self, const char* channelID, size_t channelID_size) noexcept {
    core(self)->channelLeave(text(channelID, channelID_size));
}

void nuvra_sig_channelQueryUserNum(INuvraAPIC* self, const char* channelID, size_t channelID_size) noexcept {
    core(self)->channelQueryUserNum(text(channelID, channelID_size));
}

void nuvra_sig_channelQueryUserIsIn(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* account,
                                    size_t account_size) noexcept {
    core(self)->channelQueryUserIsIn(text(channelID, channelID_size), text(account, account_size));
}

void nuvra_sig_channelSetAttr(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* name,
                              size_t name_size, const char* value, size_t value_size) noexcept {
    core(self)->channelSetAttr(text(channelID, channelID_size), text(name, name_size), text(value, value_size));
}

void nuvra_sig_channelDelAttr(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* name,
                              size_t name_size) noexcept {
    core(self)->channelDelAttr(text(channelID, channelID_size), text(name, name_size));
}

void nuvra_sig_channelClearAttr(INuvraAPIC* self, const char* channelID, size_t channelID_size) noexcept {
    core(self)->channelClearAttr(text(channelID, channelID_size));
}

void nuvra_sig_channelInviteUser(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* account,
                                 size_t account_size, uint32_t /*uid*/) noexcept {
    core(self)->channelInviteUser(text(channelID, channelID_size), text(account, account_size), 0);
}

void nuvra_sig_channelInviteUser2(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* account,
                                  size_t account_size, const char* extra, size_t extra_size) noexcept {
    core(self)->channelInviteUser2(text(channelID, channelID_size), text(account, account_size),
                                   text(extra, extra_size));
}

void nuvra_sig_channelInvitePhone(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* phoneNum,
                                  size_t phoneNum_size, uint32_t /*uid*/) noexcept {
    core(self)->channelInvitePhone(text(channelID, channelID_size), text(phoneNum, phoneNum_size), 0);
}

void nuvra_sig_channelInvitePhone2(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* phoneNum,
                                   size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size) noexcept {
    core(self)->channelInvitePhone2(text(channelID, channelID_size), text(phoneNum, phoneNum_size),
                                    text(sourcesNum, sourcesNum_size));
}

void nuvra_sig_channelInvitePhone3(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* phoneNum,
                                   size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size,
                                   const char* extra, size_t extra_size) noexcept {
    core(self)->channelInvitePhone3(text(channelID, channelID_size), text(phoneNum, phoneNum_size),
                                    text(sourcesNum, sourcesNum_size), text(extra, extra_size));
}

void nuvra_sig_channelInviteDTMF(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* phoneNum,
                                 size_t phoneNum_size, const char* dtmf, size_t dtmf_size) noexcept {
    core(self)->channelInviteDTMF(text(channelID, channelID_size), text(phoneNum, phoneNum_size),
                                  text(dtmf, dtmf_size));
}

void nuvra_sig_channelInviteAccept(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid, const char* extra, size_t extra_size) noexcept {
    core(self)->channelInviteAccept(text(channelID, channelID_size), text(account, account_size), uid,
                                    text(extra, extra_size));
}

void nuvra_sig_channelInviteRefuse(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid, const char* extra, size_t extra_size) noexcept {
    core(self)->channelInviteRefuse(text(channelID, channelID_size), text(account, account_size), uid,
                                    text(extra, extra_size));
}

void nuvra_sig_channelInviteEnd(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* account,
                                size_t account_size, uint32_t uid) noexcept {
    core(self)->channelInviteEnd(text(channelID, channelID_size), text(account, account_size), uid);
}

void nuvra_sig_messageAppSend(INuvraAPIC* self, const char* msg, size_t msg_size, const char* msgID,
                              size_t msgID_size) noexcept {
    core(self)->messageAppSend(text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_messageInstantSend(INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                                  const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) noexcept {
    core(self)->messageInstantSend(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_messageInstantSend2(INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                                   const char* msg, size_t msg_size, const char* msgID, size_t msgID_size,
                                   const char* options, size_t options_size) noexcept {
    core(self)->messageInstantSend2(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size),
                                    text(options, options_size));
}

void nuvra_sig_messageChannelSend(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* msg,
                                  size_t msg_size, const char* msgID, size_t msgID_size) noexcept {
    core(self)->messageChannelSend(text(channelID, channelID_size), text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_messageChannelSendForce(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* msg,
                                       size_t msg_size, const char* msgID, size_t msgID_size) noexcept {
    core(self)->messageChannelSendForce(text(channelID, channelID_size), text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_messageChannelSend2(INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* msg,
                                   size_t msg_size, const char* msgID, size_t msgID_size, const char* extra,
                                   size_t extra_size) noexcept {
    core(self)->messageChannelSend2(text(channelID, channelID_size), text(msg, msg_size), text(msgID, msgID_size),
                                    text(extra, extra_size));
}

void nuvra_sig_messagePushSend(INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                               const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) noexcept {
    core(self)->messagePushSend(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_messageChatSend(INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                               const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) noexcept {
    core(self)->messageChatSend(text(account, account_size), uid, text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_messageDTMFSend(INuvraAPIC* self, uint32_t uid, const char* msg, size_t msg_size, const char* msgID,
                               size_t msgID_size) noexcept {
    core(self)->messageDTMFSend(uid, text(msg, msg_size), text(msgID, msgID_size));
}

void nuvra_sig_setBackground(INuvraAPIC* self, uint32_t bOut) noexcept { core(self)->setBackground(bOut); }

void nuvra_sig_setNetworkStatus(INuvraAPIC* self, uint32_t bOut) noexcept { core(self)->setNetworkStatus(bOut); }

void nuvra_sig_ping(INuvraAPIC* self) noexcept { core(self)->ping(); }

void nuvra_sig_setAttr(INuvraAPIC* self, const char* name, size_t name_size, const char* value,
                       size_t value_size) noexcept {
    core(self)->setAttr(text(name, name_size), text(value, value_size));
}

void nuvra_sig_getAttr(INuvraAPIC* self, const char* name, size_t name_size) noexcept {
    core(self)->getAttr(text(name, name_size));
}

void nuvra_sig_getAttrAll(INuvraAPIC* self) noexcept { core(self)->getAttrAll(); }

void nuvra_sig_getUserAttr(INuvraAPIC* self, const char* account, size_t account_size, const char* name,
                           size_t name_size) noexcept {
    core(self)->getUserAttr(text(account, account_size), text(name, name_size));
}

void nuvra_sig_getUserAttrAll(INuvraAPIC* self, const char* account, size_t account_size) noexcept {
    core(self)->getUserAttrAll(text(account, account_size));
}

void nuvra_sig_queryUserStatus(INuvraAPIC* self, const char* account, size_t account_size) noexcept {
    core(self)->queryUserStatus(text(account, account_size));
}

void nuvra_sig_invoke(INuvraAPIC* self, const char* name, size_t name_size, const char* req, size_t req_size,
                      const char* callID, size_t callID_size) noexcept {
    core(self)->invoke(text(name, name_size), text(req, req_size), text(callID, callID_size));
}

void nuvra_sig_start(INuvraAPIC* self) noexcept { core(self)->start(); }

void nuvra_sig_stop(INuvraAPIC* self) noexcept { core(self)->stop(); }

bool nuvra_sig_isOnline(INuvraAPIC* self) noexcept { return core(self)->isOnline(); }

int nuvra_sig_getStatus(INuvraAPIC* self) noexcept { return core(self)->getStatus(); }

int nuvra_sig_getSdkVersion(INuvraAPIC* self) noexcept { return core(self)->getSdkVersion(); }

void nuvra_sig_bc_call(INuvraAPIC* self, const char* func, size_t func_size, const char* json_args,
                       size_t json_args_size, const char* callID, size_t callID_size) noexcept {
    core(self)->bc_call(text(func, func_size), text(json_args, json_args_size), text(callID, callID_size));
}

void nuvra_sig_dbg(INuvraAPIC* self, const char* a, size_t a_size, const char* b, size_t b_size) noexcept {
    core(self)->dbg(text(a, a_size), text(b, b_size));
}

void nuvra_sig_destroy(INuvraAPIC* self) noexcept { core(self)->destroy(); }

// Ends one holder's use; true for the last holder, whose table nothing may
// hand out again from here on.
bool drop_holder(INuvraAPIC* self) {
    std::lock_guard<std::mutex> lock(g_tables_mtx);
    TableC* table = table_of(self);
    if (table->holders > 1) {
        --table->holders;
        return false;
    }
    table->holders = 0;
    nuvra_sdk::forgetInstanceCookie(core(self), nuvra_sdk::Binding::C, self);
    if (api_c == self) api_c = nullptr;
    return true;
}

// Every release stops the structure: the holder releasing may be about to
// free it, and which holder installed it is not known. The table and its
// adapter go with the last release.
void nuvra_sig_release(INuvraAPIC* self) noexcept {
    // While the caller still holds it: another holder's release may free it.
    table_of(self)->structure.store(nullptr);
    if (CallBackC* adapter = adapter_of(self)) retarget(adapter, nullptr);
    if (!drop_holder(self)) return;
    // Read again: another holder may have made it meanwhile. The instance
    // calls the adapter until the change has run on the network thread,
    // which a login or a logout may hold up for seconds.
    CallBackC* adapter = adapter_of(self);
    if (adapter) nuvra_sdk_cpp::uninstall_adapter(core(self), adapter, [adapter] { delete adapter; });
    free(self);
}

// Counts one more holder of the table; under g_tables_mtx.
INuvraAPIC* hand_out(INuvraAPIC* table) {
    if (table) ++table_of(table)->holders;
    return table;
}

}  // namespace

INuvraAPIC* create_INuvraAPI(void* new_api) {
    void* block = malloc(sizeof(TableC));
    if (!block) return nullptr;
    INuvraAPIC* table = &(new (block) TableC())->table;
    table->callbackSet = nuvra_sig_callbackSet;
    table->callbackGet = nuvra_sig_callbackGet;
    table->login = nuvra_sig_login;
    table->login2 = nuvra_sig_login2;
    table->logout = nuvra_sig_logout;
    table->channelJoin = nuvra_sig_channelJoin;
    table->channelLeave = nuvra_sig_channelLeave;
    table->channelQueryUserNum = nuvra_sig_channelQueryUserNum;
    table->channelQueryUserIsIn = nuvra_sig_channelQueryUserIsIn;
    table->channelSetAttr = nuvra_sig_channelSetAttr;
    table->channelDelAttr = nuvra_sig_channelDelAttr;
    table->channelClearAttr = nuvra_sig_channelClearAttr;
    table->channelInviteUser = nuvra_sig_channelInviteUser;
    table->channelInviteUser2 = nuvra_sig_channelInviteUser2;
    table->channelInvitePhone = nuvra_sig_channelInvitePhone;
    table->channelInvitePhone2 = nuvra_sig_channelInvitePhone2;
    table->channelInvitePhone3 = nuvra_sig_channelInvitePhone3;
    table->channelInviteDTMF = nuvra_sig_channelInviteDTMF;
    table->channelInviteAccept = nuvra_sig_channelInviteAccept;
    table->channelInviteRefuse = nuvra_sig_channelInviteRefuse;
    table->channelInviteEnd = nuvra_sig_channelInviteEnd;
    table->messageAppSend = nuvra_sig_messageAppSend;
    table->messageInstantSend = nuvra_sig_messageInstantSend;
    table->messageInstantSend2 = nuvra_sig_messageInstantSend2;
    table->messageChannelSend = nuvra_sig_messageChannelSend;
    table->messageChannelSendForce = nuvra_sig_messageChannelSendForce;
    table->messageChannelSend2 = nuvra_sig_messageChannelSend2;
    table->messagePushSend = nuvra_sig_messagePushSend;
    table->messageChatSend = nuvra_sig_messageChatSend;
    table->messageDTMFSend = nuvra_sig_messageDTMFSend;
    table->setBackground = nuvra_sig_setBackground;
    table->setNetworkStatus = nuvra_sig_setNetworkStatus;
    table->ping = nuvra_sig_ping;
    table->setAttr = nuvra_sig_setAttr;
    table->getAttr = nuvra_sig_getAttr;
    table->getAttrAll = nuvra_sig_getAttrAll;
    table->getUserAttr = nuvra_sig_getUserAttr;
    table->getUserAttrAll = nuvra_sig_getUserAttrAll;
    table->queryUserStatus = nuvra_sig_queryUserStatus;
    table->invoke = nuvra_sig_invoke;
    table->start = nuvra_sig_start;
    table->stop = nuvra_sig_stop;
    table->isOnline = nuvra_sig_isOnline;
    table->getStatus = nuvra_sig_getStatus;
    table->getSdkVersion = nuvra_sig_getSdkVersion;
    table->bc_call = nuvra_sig_bc_call;
    table->dbg = nuvra_sig_dbg;
    table->destroy = nuvra_sig_destroy;
    table->release = nuvra_sig_release;
    table->api = new_api;
    table->cb = nullptr;
    return table;
}

extern "C" INuvraAPIC* createNuvraSDKInstanceC() {
    nuvra_sdk::INuvraAPI* instance = nuvra_sdk::createNuvraSDKInstance();
    if (!instance) return nullptr;
    std::lock_guard<std::mutex> lock(g_tables_mtx);
    auto* table = static_cast<INuvraAPIC*>(nuvra_sdk::getInstanceCookie(instance, nuvra_sdk::Binding::C));
    if (!table) {
        table = create_INuvraAPI(instance);
        nuvra_sdk::setInstanceCookie(instance, nuvra_sdk::Binding::C, table);
    }
    return hand_out(table);
}

extern "C" INuvraAPIC* getNuvraSDKInstanceC() {
    // Wait for the instance outside the lock: a handler on the network thread
    // may ask at the same time.
    nuvra_sdk::INuvraAPI* instance = nuvra_sdk::getNuvraSDKInstance();
    std::lock_guard<std::mutex> lock(g_tables_mtx);
    if (!api_c) api_c = create_INuvraAPI(instance);
    return hand_out(api_c);
}
