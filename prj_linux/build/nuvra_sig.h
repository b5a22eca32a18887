/* The public interface of libnuvrasig.so.
 *
 * C applications use the table INuvraAPIC and fill an ICallBackC; C++
 * applications may use the same or the interfaces of nuvra_sdk_cpp. Every
 * text going in is a pointer and a byte count (NUL bytes belong to the text,
 * a null pointer only with count 0); every text coming out is NUL-terminated,
 * its count does not include the terminator, and it is valid only until the
 * callback returns. Operations return at once and report through callbacks,
 * except the getters, callbackSet (returns once the callback is installed) and
 * start (never returns). */
#ifndef NUVRA_SIG_H
#define NUVRA_SIG_H

/* The C headers: they give C++ users the global names (uint32_t, size_t)
 * used below as well, which <cstdint> and <cstddef> need not. */
#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define NUVRA_SIG_EXPORT __attribute__((visibility("default")))

/* The codes the events carry: every ecode argument and the code of onError.
 * A few are never reported; they keep their values. */
typedef enum {
    SUCCESS = 0,

    LOGOUT_E_OTHER = 100,
    LOGOUT_E_USER = 101,
    LOGOUT_E_NET = 102,
    LOGOUT_E_KICKED = 103,
    LOGOUT_E_PACKET = 104,
    LOGOUT_E_TOKENEXPIRED = 105,
    LOGOUT_E_OLDVERSION = 106,
    LOGOUT_E_TOKENWRONG = 107,
    LOGOUT_E_ALREADY_LOGOUT = 108,

    LOGIN_E_OTHER = 200,
    LOGIN_E_NET = 201,
    LOGIN_E_FAILED = 202,
    LOGIN_E_CANCEL = 203,
    LOGIN_E_TOKENEXPIRED = 204,
    LOGIN_E_OLDVERSION = 205,
    LOGIN_E_TOKENWRONG = 206,
    LOGIN_E_TOKEN_KICKED = 207,
    LOGIN_E_ALREADY_LOGIN = 208,
    LOGIN_E_INVALID_USER = 209,

    JOINCHANNEL_E_OTHER = 300,

    SENDMESSAGE_E_OTHER = 400,
    SENDMESSAGE_E_TIMEOUT = 401,

    QUERYUSERNUM_E_OTHER = 500,
    QUERYUSERNUM_E_TIMEOUT = 501,
    QUERYUSERNUM_E_BYUSER = 502,

    LEAVECHANNEL_E_OTHER = 600,
    LEAVECHANNEL_E_KICKED = 601,
    LEAVECHANNEL_E_BYUSER = 602,
    LEAVECHANNEL_E_LOGOUT = 603,
    LEAVECHANNEL_E_DISCONN = 604,

    INVITE_E_OTHER = 700,
    INVITE_E_REINVITE = 701,
    INVITE_E_NET = 702,
    INVITE_E_PEEROFFLINE = 703,
    INVITE_E_TIMEOUT = 704,
    INVITE_E_CANTRECV = 705,

    GENERAL_E = 1000,
    GENERAL_E_FAILED = 1001,
    GENERAL_E_UNKNOWN = 1002,
    GENERAL_E_NOT_LOGIN = 1003,
    GENERAL_E_WRONG_PARAM = 1004,
    GENERAL_E_LARGE_PARAM = 1005,
} NUVRA_E_CODE;

#ifdef __cplusplus
extern "C" {
#endif

struct ICallBackC;

/* The events, filled completely by the application: the library calls every
 * member without testing it. Each gets the structure given to callbackSet. */
typedef struct ICallBackC {
    /* reconnection */
    void (*onReconnecting)(struct ICallBackC*, uint32_t);
    void (*onReconnected)(struct ICallBackC*, int);

    /* login */
    void (*onLoginSuccess)(struct ICallBackC*, uint32_t, int);
    void (*onLogout)(struct ICallBackC*, int);
    void (*onLoginFailed)(struct ICallBackC*, int);

    /* channel */
    void (*onChannelJoined)(struct ICallBackC*, const char*, size_t);
    void (*onChannelJoinFailed)(struct ICallBackC*, const char*, size_t, int);
    void (*onChannelLeaved)(struct ICallBackC*, const char*, size_t, int);

    /* channel members */
    void (*onChannelUserJoined)(struct ICallBackC*, const char*, size_t, uint32_t);
    void (*onChannelUserLeaved)(struct ICallBackC*, const char*, size_t, uint32_t);
    void (*onChannelUserList)(struct ICallBackC*, int, char**, uint32_t*);

    /* channel queries and attributes */
    void (*onChannelQueryUserNumResult)(struct ICallBackC*, const char*, size_t, int, int);
    void (*onChannelQueryUserIsIn)(struct ICallBackC*, const char*, size_t, const char*, size_t, int);
    void (*onChannelAttrUpdated)(struct ICallBackC*, const char*, size_t, const char*, size_t, const char*, size_t,
                                 const char*, size_t);

    /* invitations */
    void (*onInviteReceived)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t, const char*,
                             size_t);
    void (*onInviteReceivedByPeer)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t);
    void (*onInviteAcceptedByPeer)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t,
                                   const char*, size_t);
    void (*onInviteRefusedByPeer)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t,
                                  const char*, size_t);
    void (*onInviteFailed)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t, int, const char*,
                           size_t);
    void (*onInviteEndByPeer)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t, const char*,
                              size_t);
    void (*onInviteEndByMyself)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t);
    void (*onInviteMsg)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t, const char*, size_t,
                        const char*, size_t, const char*, size_t);

    /* messages */
    void (*onMessageSendError)(struct ICallBackC*, const char*, size_t, int);
    void (*onMessageSendProgress)(struct ICallBackC*, const char*, size_t, const char*, size_t, const char*, size_t,
                                  const char*, size_t);
    void (*onMessageSendSuccess)(struct ICallBackC*, const char*, size_t);
    void (*onMessageAppReceived)(struct ICallBackC*, const char*, size_t);
    void (*onMessageInstantReceive)(struct ICallBackC*, const char*, size_t, uint32_t, const char*, size_t);
    void (*onMessageChannelReceive)(struct ICallBackC*, const char*, size_t, const char*, size_t, uint32_t,
                                    const char*, size_t);

    /* results */
    void (*onLog)(struct ICallBackC*, const char*, size_t);
    void (*onInvokeRet)(struct ICallBackC*, const char*, size_t, const char*, size_t, const char*, size_t);
    void (*onMsg)(struct ICallBackC*, const char*, size_t, const char*, size_t, const char*, size_t);
    void (*onUserAttrResult)(struct ICallBackC*, const char*, size_t, const char*, size_t, const char*, size_t);
    void (*onUserAttrAllResult)(struct ICallBackC*, const char*, size_t, const char*, size_t);
    void (*onError)(struct ICallBackC*, const char*, size_t, int, const char*, size_t);
    void (*onQueryUserStatusResult)(struct ICallBackC*, const char*, size_t, const char*, size_t);

    /* debug */
    void (*onDbg)(struct ICallBackC*, const char*, size_t, const char*, size_t);
    void (*onBCCall_result)(struct ICallBackC*, const char*, size_t, const char*, size_t, const char*, size_t);
} ICallBackC;

/* The operations of one instance. Every member takes the table first. The
 * application touches neither api nor cb. */
typedef struct INuvraAPIC {
    /* callback */
    void (*callbackSet)(struct INuvraAPIC* self, ICallBackC* handler);
    ICallBackC* (*callbackGet)(struct INuvraAPIC* self);

    /* login */
    void (*login)(struct INuvraAPIC* self, const char* vendorID, size_t vendorID_size, const char* account,
                  size_t account_size, const char* token, size_t token_size, uint32_t uid, const char* deviceID,
                  size_t deviceID_size);
    void (*login2)(struct INuvraAPIC* self, const char* vendorID, size_t vendorID_size, const char* account,
                   size_t account_size, const char* token, size_t token_size, uint32_t uid, const char* deviceID,
                   size_t deviceID_size, int retry_time_in_s, int retry_count);
    void (*logout)(struct INuvraAPIC* self);

    /* channel */
    void (*channelJoin)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size);
    void (*channelLeave)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size);
    void (*channelQueryUserNum)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size);
    void (*channelQueryUserIsIn)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                 const char* account, size_t account_size);
    void (*channelSetAttr)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* name,
                           size_t name_size, const char* value, size_t value_size);
    void (*channelDelAttr)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size, const char* name,
                           size_t name_size);
    void (*channelClearAttr)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size);

    /* invitation */
    void (*channelInviteUser)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                              const char* account, size_t account_size, uint32_t uid);
    void (*channelInviteUser2)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                               const char* account, size_t account_size, const char* extra, size_t extra_size);
    void (*channelInvitePhone)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                               const char* phoneNum, size_t phoneNum_size, uint32_t uid);
    void (*channelInvitePhone2)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                const char* phoneNum, size_t phoneNum_size, const char* sourcesNum,
                                size_t sourcesNum_size);
    void (*channelInvitePhone3)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                const char* phoneNum, size_t phoneNum_size, const char* sourcesNum,
                                size_t sourcesNum_size, const char* extra, size_t extra_size);
    void (*channelInviteDTMF)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                              const char* phoneNum, size_t phoneNum_size, const char* dtmf, size_t dtmf_size);
    void (*channelInviteAccept)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                const char* account, size_t account_size, uint32_t uid, const char* extra,
                                size_t extra_size);
    void (*channelInviteRefuse)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                const char* account, size_t account_size, uint32_t uid, const char* extra,
                                size_t extra_size);
    void (*channelInviteEnd)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                             const char* account, size_t account_size, uint32_t uid);

    /* messages */
    void (*messageAppSend)(struct INuvraAPIC* self, const char* msg, size_t msg_size, const char* msgID,
                           size_t msgID_size);
    void (*messageInstantSend)(struct INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                               const char* msg, size_t msg_size, const char* msgID, size_t msgID_size);
    void (*messageInstantSend2)(struct INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                                const char* msg, size_t msg_size, const char* msgID, size_t msgID_size,
                                const char* options, size_t options_size);
    void (*messageChannelSend)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                               const char* msg, size_t msg_size, const char* msgID, size_t msgID_size);
    void (*messageChannelSendForce)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                    const char* msg, size_t msg_size, const char* msgID, size_t msgID_size);
    void (*messageChannelSend2)(struct INuvraAPIC* self, const char* channelID, size_t channelID_size,
                                const char* msg, size_t msg_size, const char* msgID, size_t msgID_size,
                                const char* extra, size_t extra_size);
    void (*messagePushSend)(struct INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                            const char* msg, size_t msg_size, const char* msgID, size_t msgID_size);
    void (*messageChatSend)(struct INuvraAPIC* self, const char* account, size_t account_size, uint32_t uid,
                            const char* msg, size_t msg_size, const char* msgID, size_t msgID_size);
    void (*messageDTMFSend)(struct INuvraAPIC* self, uint32_t uid, const char* msg, size_t msg_size,
                            const char* msgID, size_t msgID_size);

    /* settings and queries */
    void (*setBackground)(struct INuvraAPIC* self, uint32_t bOut);
    void (*setNetworkStatus)(struct INuvraAPIC* self, uint32_t bOut);
    void (*ping)(struct INuvraAPIC* self);
    void (*setAttr)(struct INuvraAPIC* self, const char* name, size_t name_size, const char* value,
                    size_t value_size);
    void (*getAttr)(struct INuvraAPIC* self, const char* name, size_t name_size);
    void (*getAttrAll)(struct INuvraAPIC* self);
    void (*getUserAttr)(struct INuvraAPIC* self, const char* account, size_t account_size, const char* name,
                        size_t name_size);
    void (*getUserAttrAll)(struct INuvraAPIC* self, const char* account, size_t account_size);
    void (*queryUserStatus)(struct INuvraAPIC* self, const char* account, size_t account_size);

    void (*invoke)(struct INuvraAPIC* self, const char* name, size_t name_size, const char* req, size_t req_size,
                   const char* callID, size_t callID_size);

    void (*start)(struct INuvraAPIC* self);

    void (*stop)(struct INuvraAPIC* self);

    bool (*isOnline)(struct INuvraAPIC* self);
    int (*getStatus)(struct INuvraAPIC* self);
    int (*getSdkVersion)(struct INuvraAPIC* self);

    void (*bc_call)(struct INuvraAPIC* self, const char* func, size_t func_size, const char* json_args,
                    size_t json_args_size, const char* callID, size_t callID_size);

    void (*dbg)(struct INuvraAPIC* self, const char* a, size_t a_size, const char* b, size_t b_size);

    void (*destroy)(struct INuvraAPIC* self);

    /* Frees the table (and the adapter of its callbackSet); the instance lives on. */
    void (*release)(struct INuvraAPIC* self);

    void* api;
    void* cb;
} INuvraAPIC;

/* The table of a new or reused pooled instance; null when 500 instances exist
 * and none is destroyed. */
NUVRA_SIG_EXPORT INuvraAPIC* createNuvraSDKInstanceC(void);
/* The table of the process-wide instance. */
NUVRA_SIG_EXPORT INuvraAPIC* getNuvraSDKInstanceC(void);

#ifdef __cplusplus
}  // extern "C"

namespace nuvra_sdk_cpp {

// The events of an instance, texts as pointer and byte count. Every handler
// is empty; an application overrides the ones it wants. The slot order is a
// binary contract.
class ICallBack {
public:
    // reconnection
    virtual void onReconnecting(uint32_t nretry) { (void)nretry; }
    virtual void onReconnected(int fd) { (void)fd; }

    // login
    virtual void onLoginSuccess(uint32_t uid, int fd) { (void)uid; (void)fd; }
    virtual void onLogout(int ecode) { (void)ecode; }
    virtual void onLoginFailed(int ecode) { (void)ecode; }

    // channel
    virtual void onChannelJoined(const char* channelID, size_t channelID_size) {
        (void)channelID; (void)channelID_size;
    }
    virtual void onChannelJoinFailed(const char* channelID, size_t channelID_size, int ecode) {
        (void)channelID; (void)channelID_size; (void)ecode;
    }
    virtual void onChannelLeaved(const char* channelID, size_t channelID_size, int ecode) {
        (void)channelID; (void)channelID_size; (void)ecode;
    }

    // channel members
    virtual void onChannelUserJoined(const char* account, size_t account_size, uint32_t uid) {
        (void)account; (void)account_size; (void)uid;
    }
    virtual void onChannelUserLeaved(const char* account, size_t account_size, uint32_t uid) {
        (void)account; (void)account_size; (void)uid;
    }
    virtual void onChannelUserList(int n, char** accounts, uint32_t* uids) { (void)n; (void)accounts; (void)uids; }

    // channel queries and attributes
    virtual void onChannelQueryUserNumResult(const char* channelID, size_t channelID_size, int ecode, int num) {
        (void)channelID; (void)channelID_size; (void)ecode; (void)num;
    }
    virtual void onChannelQueryUserIsIn(const char* channelID, size_t channelID_size, const char* account,
                                        size_t account_size, int isIn) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)isIn;
    }
    virtual void onChannelAttrUpdated(const char* channelID, size_t channelID_size, const char* name,
                                      size_t name_size, const char* value, size_t value_size, const char* type,
                                      size_t type_size) {
        (void)channelID; (void)channelID_size; (void)name; (void)name_size; (void)value; (void)value_size;
        (void)type; (void)type_size;
    }

    // invitations
    virtual void onInviteReceived(const char* channelID, size_t channelID_size, const char* account,
                                  size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)extra;
        (void)extra_size;
    }
    virtual void onInviteReceivedByPeer(const char* channelID, size_t channelID_size, const char* account,
                                        size_t account_size, uint32_t uid) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid;
    }
    virtual void onInviteAcceptedByPeer(const char* channelID, size_t channelID_size, const char* account,
                                        size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)extra;
        (void)extra_size;
    }
    virtual void onInviteRefusedByPeer(const char* channelID, size_t channelID_size, const char* account,
                                       size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)extra;
        (void)extra_size;
    }
    virtual void onInviteFailed(const char* channelID, size_t channelID_size, const char* account,
                                size_t account_size, uint32_t uid, int ecode, const char* extra, size_t extra_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)ecode;
        (void)extra; (void)extra_size;
    }
    virtual void onInviteEndByPeer(const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)extra;
        (void)extra_size;
    }
    virtual void onInviteEndByMyself(const char* channelID, size_t channelID_size, const char* account,
                                     size_t account_size, uint32_t uid) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid;
    }
    virtual void onInviteMsg(const char* channelID, size_t channelID_size, const char* account, size_t account_size,
                             uint32_t uid, const char* msgType, size_t msgType_size, const char* msgData,
                             size_t msgData_size, const char* extra, size_t extra_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)msgType;
        (void)msgType_size; (void)msgData; (void)msgData_size; (void)extra; (void)extra_size;
    }

    // messages
    virtual void onMessageSendError(const char* messageID, size_t messageID_size, int ecode) {
        (void)messageID; (void)messageID_size; (void)ecode;
    }
    virtual void onMessageSendProgress(const char* account, size_t account_size, const char* messageID,
                                       size_t messageID_size, const char* type, size_t type_size, const char* info,
                                       size_t info_size) {
        (void)account; (void)account_size; (void)messageID; (void)messageID_size; (void)type; (void)type_size;
        (void)info; (void)info_size;
    }
    virtual void onMessageSendSuccess(const char* messageID, size_t messageID_size) {
        (void)messageID; (void)messageID_size;
    }
    virtual void onMessageAppReceived(const char* msg, size_t msg_size) { (void)msg; (void)msg_size; }
    virtual void onMessageInstantReceive(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                         size_t msg_size) {
        (void)account; (void)account_size; (void)uid; (void)msg; (void)msg_size;
    }
    virtual void onMessageChannelReceive(const char* channelID, size_t channelID_size, const char* account,
                                         size_t account_size, uint32_t uid, const char* msg, size_t msg_size) {
        (void)channelID; (void)channelID_size; (void)account; (void)account_size; (void)uid; (void)msg;
        (void)msg_size;
    }

    // results
    virtual void onLog(const char* txt, size_t txt_size) { (void)txt; (void)txt_size; }
    virtual void onInvokeRet(const char* callID, size_t callID_size, const char* err, size_t err_size,
                             const char* resp, size_t resp_size) {
        (void)callID; (void)callID_size; (void)err; (void)err_size; (void)resp; (void)resp_size;
    }
    virtual void onMsg(const char* from, size_t from_size, const char* t, size_t t_size, const char* msg,
                       size_t msg_size) {
        (void)from; (void)from_size; (void)t; (void)t_size; (void)msg; (void)msg_size;
    }
    virtual void onUserAttrResult(const char* account, size_t account_size, const char* name, size_t name_size,
                                  const char* value, size_t value_size) {
        (void)account; (void)account_size; (void)name; (void)name_size; (void)value; (void)value_size;
    }
    virtual void onUserAttrAllResult(const char* account, size_t account_size, const char* value,
                                     size_t value_size) {
        (void)account; (void)account_size; (void)value; (void)value_size;
    }
    virtual void onError(const char* name, size_t name_size, int ecode, const char* desc, size_t desc_size) {
        (void)name; (void)name_size; (void)ecode; (void)desc; (void)desc_size;
    }
    virtual void onQueryUserStatusResult(const char* name, size_t name_size, const char* status,
                                         size_t status_size) {
        (void)name; (void)name_size; (void)status; (void)status_size;
    }

    // debug
    virtual void onDbg(const char* a, size_t a_size, const char* b, size_t b_size) {
        (void)a; (void)a_size; (void)b; (void)b_size;
    }
    virtual void onBCCall_result(const char* reason, size_t reason_size, const char* json_ret, size_t json_ret_size,
                                 const char* callID, size_t callID_size) {
        (void)reason; (void)reason_size; (void)json_ret; (void)json_ret_size; (void)callID; (void)callID_size;
    }

protected:
    // The library never deletes an application's object.
    ~ICallBack() = default;
};

// The operations of one instance, texts as pointer and byte count. Objects
// come from the exported functions and are never deleted. The slot order is
// a binary contract.
class INuvraAPI {
public:
    // callback
    virtual void callbackSet(ICallBack* handler) = 0;
    virtual ICallBack* callbackGet() = 0;

    // login
    virtual void login(const char* vendorID, size_t vendorID_size, const char* account, size_t account_size,
                       const char* token, size_t token_size, uint32_t uid, const char* deviceID,
                       size_t deviceID_size) = 0;
    virtual void login2(const char* vendorID, size_t vendorID_size, const char* account, size_t account_size,
                        const char* token, size_t token_size, uint32_t uid, const char* deviceID,
                        size_t deviceID_size, int retry_time_in_s, int retry_count) = 0;
    virtual void logout() = 0;

    // channel
    virtual void channelJoin(const char* channelID, size_t channelID_size) = 0;
    virtual void channelLeave(const char* channelID, size_t channelID_size) = 0;
    virtual void channelQueryUserNum(const char* channelID, size_t channelID_size) = 0;
    virtual void channelQueryUserIsIn(const char* channelID, size_t channelID_size, const char* account,
                                      size_t account_size) = 0;
    virtual void channelSetAttr(const char* channelID, size_t channelID_size, const char* name, size_t name_size,
                                const char* value, size_t value_size) = 0;
    virtual void channelDelAttr(const char* channelID, size_t channelID_size, const char* name,
                                size_t name_size) = 0;
    virtual void channelClearAttr(const char* channelID, size_t channelID_size) = 0;

    // invitation
    virtual void channelInviteUser(const char* channelID, size_t channelID_size, const char* account,
                                   size_t account_size, uint32_t uid) = 0;
    virtual void channelInviteUser2(const char* channelID, size_t channelID_size, const char* account,
                                    size_t account_size, const char* extra, size_t extra_size) = 0;
    virtual void channelInvitePhone(const char* channelID, size_t channelID_size, const char* phoneNum,
                                    size_t phoneNum_size, uint32_t uid) = 0;
    virtual void channelInvitePhone2(const char* channelID, size_t channelID_size, const char* phoneNum,
                                     size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size) = 0;
    virtual void channelInvitePhone3(const char* channelID, size_t channelID_size, const char* phoneNum,
                                     size_t phoneNum_size, const char* sourcesNum, size_t sourcesNum_size,
                                     const char* extra, size_t extra_size) = 0;
    virtual void channelInviteDTMF(const char* channelID, size_t channelID_size, const char* phoneNum,
                                   size_t phoneNum_size, const char* dtmf, size_t dtmf_size) = 0;
    virtual void channelInviteAccept(const char* channelID, size_t channelID_size, const char* account,
                                     size_t account_size, uint32_t uid, const char* extra, size_t extra_size) = 0;
    virtual void channelInviteRefuse(const char* channelID, size_t channelID_size, const char* account,
                                     size_t account_size, uint32_t uid, const char* extra, size_t extra_size) = 0;
    virtual void channelInviteEnd(const char* channelID, size_t channelID_size, const char* account,
                                  size_t account_size, uint32_t uid) = 0;

    // messages
    virtual void messageAppSend(const char* msg, size_t msg_size, const char* msgID, size_t msgID_size) = 0;
    virtual void messageInstantSend(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                    size_t msg_size, const char* msgID, size_t msgID_size) = 0;
    virtual void messageInstantSend2(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                     size_t msg_size, const char* msgID, size_t msgID_size, const char* options,
                                     size_t options_size) = 0;
    virtual void messageChannelSend(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                                    const char* msgID, size_t msgID_size) = 0;
    virtual void messageChannelSendForce(const char* channelID, size_t channelID_size, const char* msg,
                                         size_t msg_size, const char* msgID, size_t msgID_size) = 0;
    virtual void messageChannelSend2(const char* channelID, size_t channelID_size, const char* msg, size_t msg_size,
                                     const char* msgID, size_t msgID_size, const char* extra,
                                     size_t extra_size) = 0;
    virtual void messagePushSend(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                 size_t msg_size, const char* msgID, size_t msgID_size) = 0;
    virtual void messageChatSend(const char* account, size_t account_size, uint32_t uid, const char* msg,
                                 size_t msg_size, const char* msgID, size_t msgID_size) = 0;
    virtual void messageDTMFSend(uint32_t uid, const char* msg, size_t msg_size, const char* msgID,
                                 size_t msgID_size) = 0;

    // settings and queries
    virtual void setBackground(uint32_t bOut) = 0;
    virtual void setNetworkStatus(uint32_t bOut) = 0;
    virtual void ping() = 0;
    virtual void setAttr(const char* name, size_t name_size, const char* value, size_t value_size) = 0;
    virtual void getAttr(const char* name, size_t name_size) = 0;
    virtual void getAttrAll() = 0;
    virtual void getUserAttr(const char* account, size_t account_size, const char* name, size_t name_size) = 0;
    virtual void getUserAttrAll(const char* account, size_t account_size) = 0;
    virtual void queryUserStatus(const char* account, size_t account_size) = 0;

    virtual void invoke(const char* name, size_t name_size, const char* req, size_t req_size, const char* callID,
                        size_t callID_size) = 0;

    virtual void start() = 0;

    virtual void stop() = 0;

    virtual bool isOnline() = 0;
    virtual int getStatus() = 0;
    virtual int getSdkVersion() = 0;

    virtual void bc_call(const char* func, size_t func_size, const char* json_args, size_t json_args_size,
                         const char* callID, size_t callID_size) = 0;

    virtual void dbg(const char* a, size_t a_size, const char* b, size_t b_size) = 0;

    virtual void destroy() = 0;

protected:
    // Instances are never deleted through this interface.
    ~INuvraAPI() = default;
};

}  // namespace nuvra_sdk_cpp

extern "C" {
// The wrapper of a new or reused pooled instance; null when 500 instances
// exist and none is destroyed.
NUVRA_SIG_EXPORT nuvra_sdk_cpp::INuvraAPI* createNuvraSDKInstanceCPP();
// The wrapper of the process-wide instance.
NUVRA_SIG_EXPORT nuvra_sdk_cpp::INuvraAPI* getNuvraSDKInstanceCPP();
}
#endif  // __cplusplus

#endif  /* NUVRA_SIG_H */
