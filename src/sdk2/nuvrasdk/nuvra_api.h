#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "api/nuvra_api.h"

class InterfaceLinkD;
namespace mynet {
class Async;
}

namespace nuvra_sdk {

// One instance of the library: a queue into the network thread, the engine
// behind it and an empty default callback object. Every operation but the
// getters, callbackGet, start, stop and dbg("nolog") is copied into a step
// that runs on the network thread in posting order. Instances are made by
// getNuvraSDKInstance / createNuvraSDKInstance and never destroyed.
class NuvraAPI final : public INuvraAPI {
public:
    NuvraAPI();
    NuvraAPI(const NuvraAPI&) = delete;
    NuvraAPI& operator=(const NuvraAPI&) = delete;

    void callbackSet(ICallBack* handler) override;
    ICallBack* callbackGet() override;

    void login(std::string vendorID, std::string account, std::string token, uint32_t uid,
               std::string deviceID) override;
    void login2(std::string vendorID, std::string account, std::string token, uint32_t uid, std::string deviceID,
                int retry_max_time_in_s, int retry_max_count) override;
    void logout() override;

    void channelJoin(std::string channelID) override;
    void channelLeave(std::string channelID) override;
    void channelQueryUserNum(std::string channelID) override;
    void channelQueryUserIsIn(std::string channelID, std::string account) override;
    void channelSetAttr(std::string channelID, std::string name, std::string value) override;
    void channelDelAttr(std::string channelID, std::string name) override;
    void channelClearAttr(std::string channelID) override;

    void channelInviteUser(std::string channelID, std::string account, uint32_t uid) override;
    void channelInviteUser2(std::string channelID, std::string account, std::string extra) override;
    void channelInvitePhone(std::string channelID, std::string phoneNum, uint32_t uid) override;
    void channelInvitePhone2(std::string channelID, std::string phoneNum, std::string sourceID) override;
    void channelInvitePhone3(std::string channelID, std::string phoneNum, std::string sourcesNum,
                             std::string extra) override;
    void channelInviteDTMF(std::string channelID, std::string account, std::string dtmf) override;
    void channelInviteAccept(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void channelInviteRefuse(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void channelInviteEnd(std::string channelID, std::string account, uint32_t uid) override;

    void messageAppSend(std::string msg, std::string msgID) override;
    void messageInstantSend(std::string account, uint32_t uid, std::string msg, std::string msgID) override;
    void messageInstantSend2(std::string account, uint32_t uid, std::string msg, std::string msgID,
                             std::string options) override;
    void messageChannelSend(std::string chanID, std::string msg, std::string msgID) override;
    void messageChannelSendForce(std::string chanID, std::string msg, std::string msgID) override;
    void messageChannelSend2(std::string chanID, std::string msg, std::string msgID, std::string extra) override;
    void messagePushSend(std::string account, uint32_t uid, std::string msg, std::string msgID) override;
    void messageChatSend(std::string account, uint32_t uid, std::string msg, std::string msgID) override;
    void messageDTMFSend(uint32_t uid, std::string msg, std::string msgID) override;

    void setBackground(uint32_t bOut) override;
    void setNetworkStatus(uint32_t status) override;
    void ping() override;
    void setAttr(std::string name, std::string value) override;
    void getAttr(std::string name) override;
    void getAttrAll() override;
    void getUserAttr(std::string account, std::string name) override;
    void getUserAttrAll(std::string account) override;
    void queryUserStatus(std::string account) override;

    void invoke(std::string name, std::string req, std::string callID) override;

    void start() override;

    void stop() override;

    bool isOnline() override;
    int getStatus() override;
    int getSdkVersion() override;

    void bc_call(std::string func, std::string json_args, std::string callID) override;

    void dbg(std::string a, std::string b) override;

    void destroy() override;

    // Posts the installation of next (null: the empty defaults) in place of
    // the installed object, or, with `only_replacing` set, only while that
    // object is the installed one; then runs after (may be empty) on the
    // network thread. Never waits: the bindings use it to free what an
    // installation replaced once it has run.
    void post_install(ICallBack* next, ICallBack* only_replacing, std::function<void()> after);

    // Installs like post_install and returns once it is done and no log line
    // can still be running in the object it replaced; for callers' threads.
    void install(ICallBack* next, ICallBack* only_replacing);

    // Returns once the engine exists; on the network thread it builds the
    // engine itself instead of waiting for a step that could not run.
    void wait_ready();

    static void checkThread();
    static void threadEntry(bool force);

private:
    void build_engine();
    void post(std::function<void()> step);

    std::atomic<bool> inited{false};
    mynet::Async* async;

public:
    InterfaceLinkD* m_intf = nullptr;
    std::string m_channelName;
    // Read on callers' threads and by the log sink on every logging thread.
    std::atomic<ICallBack*> m_user_callback{nullptr};
    ICallBack* dummy_callback;
    // Written by the posted destroy step, read by the pool under its lock.
    std::atomic<bool> isDestroy{false};
    // Each binding's wrapper of this instance, so neither ever hands out the
    // other's object.
    std::atomic<void*> cookie{nullptr};
    std::atomic<void*> cookie_c{nullptr};
};

// The two bindings; each keeps its wrapper in a cookie of its own.
enum class Binding { Cpp, C };

// The process-wide instance, made on the first call.
INuvraAPI* getNuvraSDKInstance();
// A new pooled instance while fewer than 500 exist, else the destroyed one
// with the lowest index (its mark cleared), else null.
INuvraAPI* createNuvraSDKInstance();
void* getInstanceCookie(INuvraAPI* inst, Binding binding);
void setInstanceCookie(INuvraAPI* inst, Binding binding, void* cookie);
// Clears inst's cookie of the binding in one step if it is still `cookie`.
void forgetInstanceCookie(INuvraAPI* inst, Binding binding, void* cookie);

// "_conn_timeout" is kept within 20..120 seconds. The number is read the way
// atoi reads it (leading blanks, a sign, digits up to the first other
// character; none reads as 0), without overflowing on long digit runs.
std::string conn_timeout_value(const std::string& value);

// The log sink: hands the line to the process-wide instance's installed
// object; true when taken, else whether "nolog" is on.
bool nuvra_cb_log(const char* log);
// Whether nuvra_cb_log would hand a line to anyone: not when no object takes
// it and "nolog" drops it. Lines that are not kept need no formatting then.
bool nuvra_log_seen();

}  // namespace nuvra_sdk
