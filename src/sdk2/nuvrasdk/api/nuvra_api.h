#pragma once

#include <cstdint>
#include <string>

namespace nuvra_sdk {

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

// The events of an instance. Every handler is empty; an application
// overrides the ones it wants. The slot order is a binary contract.
class ICallBack {
public:
    ICallBack() = default;

    // reconnection
    virtual void onReconnecting(uint32_t nretry) { (void)nretry; }
    virtual void onReconnected(int fd) { (void)fd; }

    // login
    virtual void onLoginSuccess(uint32_t uid, int fd) { (void)uid; (void)fd; }
    virtual void onLogout(int ecode) { (void)ecode; }
    virtual void onLoginFailed(int ecode) { (void)ecode; }

    // channel
    virtual void onChannelJoined(std::string channelID) { (void)channelID; }
    virtual void onChannelJoinFailed(std::string channelID, int ecode) { (void)channelID; (void)ecode; }
    virtual void onChannelLeaved(std::string channelID, int ecode) { (void)channelID; (void)ecode; }

    // channel members
    virtual void onChannelUserJoined(std::string account, uint32_t uid) { (void)account; (void)uid; }
    virtual void onChannelUserLeaved(std::string account, uint32_t uid) { (void)account; (void)uid; }
    virtual void onChannelUserList(int n, char** accounts, uint32_t* uids) { (void)n; (void)accounts; (void)uids; }

    // channel queries and attributes
    virtual void onChannelQueryUserNumResult(std::string channelID, int ecode, int num) {
        (void)channelID; (void)ecode; (void)num;
    }
    virtual void onChannelQueryUserIsIn(std::string channelID, std::string account, int isIn) {
        (void)channelID; (void)account; (void)isIn;
    }
    virtual void onChannelAttrUpdated(std::string channelID, std::string name, std::string value, std::string type) {
        (void)channelID; (void)name; (void)value; (void)type;
    }

    // invitations
    virtual void onInviteReceived(std::string channelID, std::string account, uint32_t uid, std::string extra) {
        (void)channelID; (void)account; (void)uid; (void)extra;
    }
    virtual void onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid) {
        (void)channelID; (void)account; (void)uid;
    }
    virtual void onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
        (void)channelID; (void)account; (void)uid; (void)extra;
    }
    virtual void onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
        (void)channelID; (void)account; (void)uid; (void)extra;
    }
    virtual void onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode, std::string extra) {
        (void)channelID; (void)account; (void)uid; (void)ecode; (void)extra;
    }
    virtual void onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra) {
        (void)channelID; (void)account; (void)uid; (void)extra;
    }
    virtual void onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid) {
        (void)channelID; (void)account; (void)uid;
    }
    virtual void onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string msgType,
                             std::string msgData, std::string extra) {
        (void)channelID; (void)account; (void)uid; (void)msgType; (void)msgData; (void)extra;
    }

    // messages
    virtual void onMessageSendError(std::string messageID, int ecode) { (void)messageID; (void)ecode; }
    virtual void onMessageSendProgress(std::string account, std::string messageID, std::string type, std::string info) {
        (void)account; (void)messageID; (void)type; (void)info;
    }
    virtual void onMessageSendSuccess(std::string messageID) { (void)messageID; }
    virtual void onMessageAppReceived(std::string msg) { (void)msg; }
    virtual void onMessageInstantReceive(std::string account, uint32_t uid, std::string msg) {
        (void)account; (void)uid; (void)msg;
    }
    virtual void onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid, std::string msg) {
        (void)channelID; (void)account; (void)uid; (void)msg;
    }

    // results
    virtual void onLog(std::string txt) { (void)txt; }
    virtual void onInvokeRet(std::string callID, std::string err, std::string resp) {
        (void)callID; (void)err; (void)resp;
    }
    virtual void onMsg(std::string from, std::string t, std::string msg) { (void)from; (void)t; (void)msg; }
    virtual void onUserAttrResult(std::string account, std::string name, std::string value) {
        (void)account; (void)name; (void)value;
    }
    virtual void onUserAttrAllResult(std::string account, std::string value) { (void)account; (void)value; }
    virtual void onError(std::string name, int ecode, std::string desc) { (void)name; (void)ecode; (void)desc; }
    virtual void onQueryUserStatusResult(std::string name, std::string status) { (void)name; (void)status; }

    // debug
    virtual void onDbg(std::string a, std::string b) { (void)a; (void)b; }
    virtual void onBCCall_result(std::string reason, std::string json_ret, std::string callID) {
        (void)reason; (void)json_ret; (void)callID;
    }
};

// The operations of an instance. Instances come from instance management and
// are never deleted through this interface. The slot order is a binary contract.
class INuvraAPI {
public:
    INuvraAPI() = default;
    ~INuvraAPI() = default;

    // callback
    virtual void callbackSet(ICallBack* handler) = 0;
    virtual ICallBack* callbackGet() = 0;

    // login
    virtual void login(std::string vendorID, std::string account, std::string token, uint32_t uid,
                       std::string deviceID) = 0;
    virtual void login2(std::string vendorID, std::string account, std::string token, uint32_t uid,
                        std::string deviceID, int retry_max_time_in_s, int retry_max_count) = 0;
    virtual void logout() = 0;

    // channel
    virtual void channelJoin(std::string channelID) = 0;
    virtual void channelLeave(std::string channelID) = 0;
    virtual void channelQueryUserNum(std::string channelID) = 0;
    virtual void channelQueryUserIsIn(std::string channelID, std::string account) = 0;
    virtual void channelSetAttr(std::string channelID, std::string name, std::string value) = 0;
    virtual void channelDelAttr(std::string channelID, std::string name) = 0;
    virtual void channelClearAttr(std::string channelID) = 0;

    // invitation
    virtual void channelInviteUser(std::string channelID, std::string account, uint32_t uid) = 0;
    virtual void channelInviteUser2(std::string channelID, std::string account, std::string extra) = 0;
    virtual void channelInvitePhone(std::string channelID, std::string phoneNum, uint32_t uid) = 0;
    virtual void channelInvitePhone2(std::string channelID, std::string phoneNum, std::string sourceID) = 0;
    virtual void channelInvitePhone3(std::string channelID, std::string phoneNum, std::string sourcesNum,
                                     std::string extra) = 0;
    virtual void channelInviteDTMF(std::string channelID, std::string account, std::string dtmf) = 0;
    virtual void channelInviteAccept(std::string channelID, std::string account, uint32_t uid, std::string extra) = 0;
    virtual void channelInviteRefuse(std::string channelID, std::string account, uint32_t uid, std::string extra) = 0;
    virtual void channelInviteEnd(std::string channelID, std::string account, uint32_t uid) = 0;

    // messages
    virtual void messageAppSend(std::string msg, std::string msgID) = 0;
    virtual void messageInstantSend(std::string account, uint32_t uid, std::string msg, std::string msgID) = 0;
    virtual void messageInstantSend2(std::string account, uint32_t uid, std::string msg, std::string msgID,
                                     std::string options) = 0;
    virtual void messageChannelSend(std::string chanID, std::string msg, std::string msgID) = 0;
    virtual void messageChannelSendForce(std::string chanID, std::string msg, std::string msgID) = 0;
    virtual void messageChannelSend2(std::string chanID, std::string msg, std::string msgID, std::string extra) = 0;
    virtual void messagePushSend(std::string account, uint32_t uid, std::string msg, std::string msgID) = 0;
    virtual void messageChatSend(std::string account, uint32_t uid, std::string msg, std::string msgID) = 0;
    virtual void messageDTMFSend(uint32_t uid, std::string msg, std::string msgID) = 0;

    // settings and queries
    virtual void setBackground(uint32_t bOut) = 0;
    virtual void setNetworkStatus(uint32_t status) = 0;
    virtual void ping() = 0;
    virtual void setAttr(std::string name, std::string value) = 0;
    virtual void getAttr(std::string name) = 0;
    virtual void getAttrAll() = 0;
    virtual void getUserAttr(std::string account, std::string name) = 0;
    virtual void getUserAttrAll(std::string account) = 0;
    virtual void queryUserStatus(std::string account) = 0;

    virtual void invoke(std::string name, std::string req, std::string callID) = 0;

    virtual void start() = 0;

    virtual void stop() = 0;

    virtual bool isOnline() = 0;
    virtual int getStatus() = 0;
    virtual int getSdkVersion() = 0;

    virtual void bc_call(std::string func, std::string json_args, std::string callID) = 0;

    virtual void dbg(std::string a, std::string b) = 0;

    virtual void destroy() = 0;
};

}  // namespace nuvra_sdk
