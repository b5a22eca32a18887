#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "api/nuvra_api.h"

namespace nuvra_test {

// A core instance that records each operation as one text: its name and its
// arguments joined by '|' (texts byte for byte, NULs kept; numbers in
// decimal). The getters answer with the members below.
class RecordingAPI final : public nuvra_sdk::INuvraAPI {
public:
    std::vector<std::string> calls() const;
    void clear();

    void callbackSet(nuvra_sdk::ICallBack* handler) override;
    nuvra_sdk::ICallBack* callbackGet() override;
    void login(std::string vendorID, std::string account, std::string token, uint32_t uid,
               std::string deviceID) override;
    void login2(std::string vendorID, std::string account, std::string token, uint32_t uid, std::string deviceID,
                int retry_time_in_s, int retry_count) override;
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
    void channelInvitePhone2(std::string channelID, std::string phoneNum, std::string sourcesNum) override;
    void channelInvitePhone3(std::string channelID, std::string phoneNum, std::string sourcesNum,
                             std::string extra) override;
    void channelInviteDTMF(std::string channelID, std::string phoneNum, std::string dtmf) override;
    void channelInviteAccept(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void channelInviteRefuse(std::string channelID, std::string account, uint32_t uid, std::string extra) override;
    void channelInviteEnd(std::string channelID, std::string account, uint32_t uid) override;
    void messageAppSend(std::string msg, std::string msgID) override;
    void messageInstantSend(std::string account, uint32_t uid, std::string msg, std::string msgID) override;
    void messageInstantSend2(std::string account, uint32_t uid, std::string msg, std::string msgID,
                             std::string options) override;
    void messageChannelSend(std::string channelID, std::string msg, std::string msgID) override;
    void messageChannelSendForce(std::string channelID, std::string msg, std::string msgID) override;
    void messageChannelSend2(std::string channelID, std::string msg, std::string msgID, std::string extra) override;
    void messagePushSend(std::string account, uint32_t uid, std::string msg, std::string msgID) override;
    void messageChatSend(std::string account, uint32_t uid, std::string msg, std::string msgID) override;
    void messageDTMFSend(uint32_t uid, std::string msg, std::string msgID) override;
    void setBackground(uint32_t bOut) override;
    void setNetworkStatus(uint32_t bOut) override;
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

    bool online = true;
    int status = 3;
    int version = 1010303001;

private:
    template <typename... Args>
    void record(const char* name, const Args&... args);

    mutable std::mutex m_mtx;
    std::vector<std::string> m_calls;
};

}  // namespace nuvra_test
