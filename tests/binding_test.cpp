#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "nuvra_api_c.h"
#include "nuvra_api_cpp.h"
#include "nuvra_sig.h"
#include "support/binding_recorders.h"
#include "support/recording_api.h"

namespace {

using namespace std::string_literals;

// Both bindings in front of one recording core.
class BindingTest : public testing::Test {
protected:
    void TearDown() override {
        free(table);
    }

    nuvra_test::RecordingAPI core;
    INuvraAPIC* table = create_INuvraAPI(&core);
    nuvra_sdk_cpp::NuvraAPI wrapper{&core};
};

struct OperationCase {
    const char* name;
    std::function<void(INuvraAPIC*)> through_c;
    std::function<void(nuvra_sdk_cpp::INuvraAPI*)> through_cpp;
    std::string reaches_core;
};

// Every text carries a NUL inside, which must arrive; the two invitations that
// take a uid pass 0 whatever the caller gives.
const OperationCase kOperations[] = {
    {"login",
     [](INuvraAPIC* t) {
         t->login(t, "vendorID\0!", 10, "account\0!", 9, "token\0!", 7, 4000000001u, "deviceID\0!", 10);
     },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->login("vendorID\0!", 10, "account\0!", 9, "token\0!", 7, 4000000001u, "deviceID\0!", 10);
     },
     "login|vendorID\0!|account\0!|token\0!|4000000001|deviceID\0!"s},
    {"login2",
     [](INuvraAPIC* t) {
         t->login2(t, "vendorID\0!", 10, "account\0!", 9, "token\0!", 7, 4000000001u, "deviceID\0!", 10, -7, -7);
     },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->login2("vendorID\0!", 10, "account\0!", 9, "token\0!", 7, 4000000001u, "deviceID\0!", 10, -7, -7);
     },
     "login2|vendorID\0!|account\0!|token\0!|4000000001|deviceID\0!|-7|-7"s},
    {"logout", [](INuvraAPIC* t) { t->logout(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->logout(); }, "logout"s},
    {"channelJoin", [](INuvraAPIC* t) { t->channelJoin(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelJoin("channelID\0!", 11); }, "channelJoin|channelID\0!"s},
    {"channelLeave", [](INuvraAPIC* t) { t->channelLeave(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelLeave("channelID\0!", 11); }, "channelLeave|channelID\0!"s},
    {"channelQueryUserNum", [](INuvraAPIC* t) { t->channelQueryUserNum(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelQueryUserNum("channelID\0!", 11); },
     "channelQueryUserNum|channelID\0!"s},
    {"channelQueryUserIsIn", [](INuvraAPIC* t) { t->channelQueryUserIsIn(t, "channelID\0!", 11, "account\0!", 9); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelQueryUserIsIn("channelID\0!", 11, "account\0!", 9); },
     "channelQueryUserIsIn|channelID\0!|account\0!"s},
    {"channelSetAttr", [](INuvraAPIC* t) { t->channelSetAttr(t, "channelID\0!", 11, "name\0!", 6, "value\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelSetAttr("channelID\0!", 11, "name\0!", 6, "value\0!", 7); },
     "channelSetAttr|channelID\0!|name\0!|value\0!"s},
    {"channelDelAttr", [](INuvraAPIC* t) { t->channelDelAttr(t, "channelID\0!", 11, "name\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelDelAttr("channelID\0!", 11, "name\0!", 6); },
     "channelDelAttr|channelID\0!|name\0!"s},
    {"channelClearAttr", [](INuvraAPIC* t) { t->channelClearAttr(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelClearAttr("channelID\0!", 11); }, "channelClearAttr|channelID\0!"s},
    {"channelInviteUser",
     [](INuvraAPIC* t) { t->channelInviteUser(t, "channelID\0!", 11, "account\0!", 9, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteUser("channelID\0!", 11, "account\0!", 9, 4000000001u); },
     "channelInviteUser|channelID\0!|account\0!|0"s},
    {"channelInviteUser2",
     [](INuvraAPIC* t) { t->channelInviteUser2(t, "channelID\0!", 11, "account\0!", 9, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteUser2("channelID\0!", 11, "account\0!", 9, "extra\0!", 7); },
     "channelInviteUser2|channelID\0!|account\0!|extra\0!"s},
    {"channelInvitePhone",
     [](INuvraAPIC* t) { t->channelInvitePhone(t, "channelID\0!", 11, "phoneNum\0!", 10, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInvitePhone("channelID\0!", 11, "phoneNum\0!", 10, 4000000001u); },
     "channelInvitePhone|channelID\0!|phoneNum\0!|0"s},
    {"channelInvitePhone2",
     [](INuvraAPIC* t) { t->channelInvitePhone2(t, "channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInvitePhone2("channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12);
     },
     "channelInvitePhone2|channelID\0!|phoneNum\0!|sourcesNum\0!"s},
    {"channelInvitePhone3",
     [](INuvraAPIC* t) {
         t->channelInvitePhone3(t, "channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12, "extra\0!", 7);
     },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInvitePhone3("channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12, "extra\0!", 7);
     },
     "channelInvitePhone3|channelID\0!|phoneNum\0!|sourcesNum\0!|extra\0!"s},
    {"channelInviteDTMF",
     [](INuvraAPIC* t) { t->channelInviteDTMF(t, "channelID\0!", 11, "phoneNum\0!", 10, "dtmf\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteDTMF("channelID\0!", 11, "phoneNum\0!", 10, "dtmf\0!", 6); },
     "channelInviteDTMF|channelID\0!|phoneNum\0!|dtmf\0!"s},
    {"channelInviteAccept",
     [](INuvraAPIC* t) { t->channelInviteAccept(t, "channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInviteAccept("channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7);
     },
     "channelInviteAccept|channelID\0!|account\0!|4000000001|extra\0!"s},
    {"channelInviteRefuse",
     [](INuvraAPIC* t) { t->channelInviteRefuse(t, "channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInviteRefuse("channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7);
     },
     "channelInviteRefuse|channelID\0!|account\0!|4000000001|extra\0!"s},
    {"channelInviteEnd",
     [](INuvraAPIC* t) { t->channelInviteEnd(t, "channelID\0!", 11, "account\0!", 9, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteEnd("channelID\0!", 11, "account\0!", 9, 4000000001u); },
     "channelInviteEnd|channelID\0!|account\0!|4000000001"s},
    {"messageAppSend", [](INuvraAPIC* t) { t->messageAppSend(t, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageAppSend("msg\0!", 5, "msgID\0!", 7); },
     "messageAppSend|msg\0!|msgID\0!"s},
    {"messageInstantSend",
     [](INuvraAPIC* t) { t->messageInstantSend(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->messageInstantSend("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7);
     },
     "messageInstantSend|account\0!|4000000001|msg\0!|msgID\0!"s},
    {"messageInstantSend2",
     [](INuvraAPIC* t) {
         t->messageInstantSend2(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7, "options\0!", 9);
     },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->messageInstantSend2("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7, "options\0!", 9);
     },
     "messageInstantSend2|account\0!|4000000001|msg\0!|msgID\0!|options\0!"s},
    {"messageChannelSend",
     [](INuvraAPIC* t) { t->messageChannelSend(t, "channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageChannelSend("channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     "messageChannelSend|channelID\0!|msg\0!|msgID\0!"s},
    {"messageChannelSendForce",
     [](INuvraAPIC* t) { t->messageChannelSendForce(t, "channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageChannelSendForce("channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     "messageChannelSendForce|channelID\0!|msg\0!|msgID\0!"s},
    {"messageChannelSend2",
     [](INuvraAPIC* t) { t->messageChannelSend2(t, "channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->messageChannelSend2("channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7, "extra\0!", 7);
     },
     "messageChannelSend2|channelID\0!|msg\0!|msgID\0!|extra\0!"s},
    {"messagePushSend",
     [](INuvraAPIC* t) { t->messagePushSend(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messagePushSend("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     "messagePushSend|account\0!|4000000001|msg\0!|msgID\0!"s},
    {"messageChatSend",
     [](INuvraAPIC* t) { t->messageChatSend(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageChatSend("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     "messageChatSend|account\0!|4000000001|msg\0!|msgID\0!"s},
    {"messageDTMFSend", [](INuvraAPIC* t) { t->messageDTMFSend(t, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageDTMFSend(4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     "messageDTMFSend|4000000001|msg\0!|msgID\0!"s},
    {"setBackground", [](INuvraAPIC* t) { t->setBackground(t, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->setBackground(4000000001u); }, "setBackground|4000000001"s},
    {"setNetworkStatus", [](INuvraAPIC* t) { t->setNetworkStatus(t, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->setNetworkStatus(4000000001u); }, "setNetworkStatus|4000000001"s},
    {"ping", [](INuvraAPIC* t) { t->ping(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->ping(); }, "ping"s},
    {"setAttr", [](INuvraAPIC* t) { t->setAttr(t, "name\0!", 6, "value\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->setAttr("name\0!", 6, "value\0!", 7); }, "setAttr|name\0!|value\0!"s},
    {"getAttr", [](INuvraAPIC* t) { t->getAttr(t, "name\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getAttr("name\0!", 6); }, "getAttr|name\0!"s},
    {"getAttrAll", [](INuvraAPIC* t) { t->getAttrAll(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->getAttrAll(); },
     "getAttrAll"s},
    {"getUserAttr", [](INuvraAPIC* t) { t->getUserAttr(t, "account\0!", 9, "name\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getUserAttr("account\0!", 9, "name\0!", 6); },
     "getUserAttr|account\0!|name\0!"s},
    {"getUserAttrAll", [](INuvraAPIC* t) { t->getUserAttrAll(t, "account\0!", 9); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getUserAttrAll("account\0!", 9); }, "getUserAttrAll|account\0!"s},
    {"queryUserStatus", [](INuvraAPIC* t) { t->queryUserStatus(t, "account\0!", 9); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->queryUserStatus("account\0!", 9); }, "queryUserStatus|account\0!"s},
    {"invoke", [](INuvraAPIC* t) { t->invoke(t, "name\0!", 6, "req\0!", 5, "callID\0!", 8); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->invoke("name\0!", 6, "req\0!", 5, "callID\0!", 8); },
     "invoke|name\0!|req\0!|callID\0!"s},
    {"stop", [](INuvraAPIC* t) { t->stop(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->stop(); }, "stop"s},
    {"isOnline", [](INuvraAPIC* t) { t->isOnline(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->isOnline(); },
     "isOnline"s},
    {"getStatus", [](INuvraAPIC* t) { t->getStatus(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->getStatus(); },
     "getStatus"s},
    {"getSdkVersion", [](INuvraAPIC* t) { t->getSdkVersion(t); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getSdkVersion(); }, "getSdkVersion"s},
    {"bc_call", [](INuvraAPIC* t) { t->bc_call(t, "func\0!", 6, "json_args\0!", 11, "callID\0!", 8); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->bc_call("func\0!", 6, "json_args\0!", 11, "callID\0!", 8); },
     "bc_call|func\0!|json_args\0!|callID\0!"s},
    {"dbg", [](INuvraAPIC* t) { t->dbg(t, "a\0!", 3, "b\0!", 3); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->dbg("a\0!", 3, "b\0!", 3); }, "dbg|a\0!|b\0!"s},
    {"destroy", [](INuvraAPIC* t) { t->destroy(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->destroy(); }, "destroy"s},
};

TEST_F(BindingTest, EveryOperationReachesTheCoreSlotWithItsArgumentsWhole) {
    for (const OperationCase& c : kOperations) {
        SCOPED_TRACE(c.name);
        c.through_c(table);
        c.through_cpp(&wrapper);
        std::vector<std::string> calls = core.calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0], c.reaches_core);
        EXPECT_EQ(calls[1], c.reaches_core);
        core.clear();
    }
}

TEST_F(BindingTest, TextsAreReadToTheirLengthAndANullTextIsEmpty) {
    const char unterminated[3] = {'a', 'b', 'c'};
    table->dbg(table, nullptr, 0, unterminated, 2);
    wrapper.dbg(nullptr, 0, unterminated, 2);
    // A null pointer with a length is read as "" too, rather than crashing.
    table->dbg(table, nullptr, 5, "x", 1);
    wrapper.dbg(nullptr, 5, "x", 1);
    EXPECT_EQ(core.calls(), (std::vector<std::string>{"dbg||ab", "dbg||ab", "dbg||x", "dbg||x"}));
}

TEST_F(BindingTest, GettersReturnTheCoreValues) {
    for (bool online : {true, false}) {
        core.online = online;
        core.status = online ? 2 : 0;
        EXPECT_EQ(table->isOnline(table), online);
        EXPECT_EQ(wrapper.isOnline(), online);
        EXPECT_EQ(table->getStatus(table), core.status);
        EXPECT_EQ(wrapper.getStatus(), core.status);
    }
    EXPECT_EQ(table->getSdkVersion(table), 1010303001);
    EXPECT_EQ(wrapper.getSdkVersion(), 1010303001);
}

TEST_F(BindingTest, NothingIsInstalledBeforeTheFirstCallbackSet) {
    EXPECT_EQ(table->callbackGet(table), nullptr);
    EXPECT_EQ(wrapper.callbackGet(), nullptr);
    EXPECT_TRUE(core.calls().empty());
}

struct EventCase {
    const char* name;
    std::function<void(nuvra_sdk::ICallBack&)> fire;
    std::string reaches_application;
};

const EventCase kEvents[] = {
    {"onReconnecting", [](nuvra_sdk::ICallBack& c) { c.onReconnecting(4000000001u); }, "onReconnecting|4000000001"s},
    {"onReconnected", [](nuvra_sdk::ICallBack& c) { c.onReconnected(-7); }, "onReconnected|-7"s},
    {"onLoginSuccess", [](nuvra_sdk::ICallBack& c) { c.onLoginSuccess(4000000001u, -7); },
     "onLoginSuccess|4000000001|-7"s},
    {"onLogout", [](nuvra_sdk::ICallBack& c) { c.onLogout(-7); }, "onLogout|-7"s},
    {"onLoginFailed", [](nuvra_sdk::ICallBack& c) { c.onLoginFailed(-7); }, "onLoginFailed|-7"s},
    {"onChannelJoined", [](nuvra_sdk::ICallBack& c) { c.onChannelJoined(std::string("channelID\0!", 11)); },
     "onChannelJoined|channelID\0!"s},
    {"onChannelJoinFailed", [](nuvra_sdk::ICallBack& c) { c.onChannelJoinFailed(std::string("channelID\0!", 11), -7); },
     "onChannelJoinFailed|channelID\0!|-7"s},
    {"onChannelLeaved", [](nuvra_sdk::ICallBack& c) { c.onChannelLeaved(std::string("channelID\0!", 11), -7); },
     "onChannelLeaved|channelID\0!|-7"s},
    {"onChannelUserJoined",
     [](nuvra_sdk::ICallBack& c) { c.onChannelUserJoined(std::string("account\0!", 9), 4000000001u); },
     "onChannelUserJoined|account\0!|4000000001"s},
    {"onChannelUserLeaved",
     [](nuvra_sdk::ICallBack& c) { c.onChannelUserLeaved(std::string("account\0!", 9), 4000000001u); },
     "onChannelUserLeaved|account\0!|4000000001"s},
    {"onChannelUserList",
     [](nuvra_sdk::ICallBack& c) {
         char ann[] = "ann", bob[] = "bob";
         char* accounts[] = {ann, bob};
         uint32_t uids[] = {1, 4000000001u};
         c.onChannelUserList(2, accounts, uids);
     },
     "onChannelUserList|2|2:ann/1,bob/4000000001"s},
    {"onChannelQueryUserNumResult",
     [](nuvra_sdk::ICallBack& c) { c.onChannelQueryUserNumResult(std::string("channelID\0!", 11), -7, -7); },
     "onChannelQueryUserNumResult|channelID\0!|-7|-7"s},
    {"onChannelQueryUserIsIn",
     [](nuvra_sdk::ICallBack& c) {
         c.onChannelQueryUserIsIn(std::string("channelID\0!", 11), std::string("account\0!", 9), -7);
     },
     "onChannelQueryUserIsIn|channelID\0!|account\0!|-7"s},
    {"onChannelAttrUpdated",
     [](nuvra_sdk::ICallBack& c) {
         c.onChannelAttrUpdated(std::string("channelID\0!", 11), std::string("name\0!", 6), std::string("value\0!", 7),
                                std::string("type\0!", 6));
     },
     "onChannelAttrUpdated|channelID\0!|name\0!|value\0!|type\0!"s},
    {"onInviteReceived",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteReceived(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u,
                            std::string("extra\0!", 7));
     },
     "onInviteReceived|channelID\0!|account\0!|4000000001|extra\0!"s},
    {"onInviteReceivedByPeer",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteReceivedByPeer(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u);
     },
     "onInviteReceivedByPeer|channelID\0!|account\0!|4000000001"s},
    {"onInviteAcceptedByPeer",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteAcceptedByPeer(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u,
                                  std::string("extra\0!", 7));
     },
     "onInviteAcceptedByPeer|channelID\0!|account\0!|4000000001|extra\0!"s},
    {"onInviteRefusedByPeer",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteRefusedByPeer(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u,
                                 std::string("extra\0!", 7));
     },
     "onInviteRefusedByPeer|channelID\0!|account\0!|4000000001|extra\0!"s},
    {"onInviteFailed",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteFailed(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u, -7,
                          std::string("extra\0!", 7));
     },
     "onInviteFailed|channelID\0!|account\0!|4000000001|-7|extra\0!"s},
    {"onInviteEndByPeer",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteEndByPeer(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u,
                             std::string("extra\0!", 7));
     },
     "onInviteEndByPeer|channelID\0!|account\0!|4000000001|extra\0!"s},
    {"onInviteEndByMyself",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteEndByMyself(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u);
     },
     "onInviteEndByMyself|channelID\0!|account\0!|4000000001"s},
    {"onInviteMsg",
     [](nuvra_sdk::ICallBack& c) {
         c.onInviteMsg(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u,
                       std::string("msgType\0!", 9), std::string("msgData\0!", 9), std::string("extra\0!", 7));
     },
     "onInviteMsg|channelID\0!|account\0!|4000000001|msgType\0!|msgData\0!|extra\0!"s},
    {"onMessageSendError", [](nuvra_sdk::ICallBack& c) { c.onMessageSendError(std::string("messageID\0!", 11), -7); },
     "onMessageSendError|messageID\0!|-7"s},
    {"onMessageSendProgress",
     [](nuvra_sdk::ICallBack& c) {
         c.onMessageSendProgress(std::string("account\0!", 9), std::string("messageID\0!", 11),
                                 std::string("type\0!", 6), std::string("info\0!", 6));
     },
     "onMessageSendProgress|account\0!|messageID\0!|type\0!|info\0!"s},
    {"onMessageSendSuccess", [](nuvra_sdk::ICallBack& c) { c.onMessageSendSuccess(std::string("messageID\0!", 11)); },
     "onMessageSendSuccess|messageID\0!"s},
    {"onMessageAppReceived", [](nuvra_sdk::ICallBack& c) { c.onMessageAppReceived(std::string("msg\0!", 5)); },
     "onMessageAppReceived|msg\0!"s},
    {"onMessageInstantReceive",
     [](nuvra_sdk::ICallBack& c) {
         c.onMessageInstantReceive(std::string("account\0!", 9), 4000000001u, std::string("msg\0!", 5));
     },
     "onMessageInstantReceive|account\0!|4000000001|msg\0!"s},
    {"onMessageChannelReceive",
     [](nuvra_sdk::ICallBack& c) {
         c.onMessageChannelReceive(std::string("channelID\0!", 11), std::string("account\0!", 9), 4000000001u,
                                   std::string("msg\0!", 5));
     },
     "onMessageChannelReceive|channelID\0!|account\0!|4000000001|msg\0!"s},
    {"onLog", [](nuvra_sdk::ICallBack& c) { c.onLog(std::string("txt\0!", 5)); }, "onLog|txt\0!"s},
    {"onInvokeRet",
     [](nuvra_sdk::ICallBack& c) {
         c.onInvokeRet(std::string("callID\0!", 8), std::string("err\0!", 5), std::string("resp\0!", 6));
     },
     "onInvokeRet|callID\0!|err\0!|resp\0!"s},
    {"onMsg",
     [](nuvra_sdk::ICallBack& c) {
         c.onMsg(std::string("from\0!", 6), std::string("t\0!", 3), std::string("msg\0!", 5));
     },
     "onMsg|from\0!|t\0!|msg\0!"s},
    {"onUserAttrResult",
     [](nuvra_sdk::ICallBack& c) {
         c.onUserAttrResult(std::string("account\0!", 9), std::string("name\0!", 6), std::string("value\0!", 7));
     },
     "onUserAttrResult|account\0!|name\0!|value\0!"s},
    {"onUserAttrAllResult",
     [](nuvra_sdk::ICallBack& c) { c.onUserAttrAllResult(std::string("account\0!", 9), std::string("value\0!", 7)); },
     "onUserAttrAllResult|account\0!|value\0!"s},
    {"onError", [](nuvra_sdk::ICallBack& c) { c.onError(std::string("name\0!", 6), -7, std::string("desc\0!", 6)); },
     "onError|name\0!|-7|desc\0!"s},
    {"onQueryUserStatusResult",
     [](nuvra_sdk::ICallBack& c) { c.onQueryUserStatusResult(std::string("name\0!", 6), std::string("status\0!", 8)); },
     "onQueryUserStatusResult|name\0!|status\0!"s},
    {"onDbg", [](nuvra_sdk::ICallBack& c) { c.onDbg(std::string("a\0!", 3), std::string("b\0!", 3)); },
     "onDbg|a\0!|b\0!"s},
    {"onBCCall_result",
     [](nuvra_sdk::ICallBack& c) {
         c.onBCCall_result(std::string("reason\0!", 8), std::string("json_ret\0!", 10), std::string("callID\0!", 8));
     },
     "onBCCall_result|reason\0!|json_ret\0!|callID\0!"s},
};

TEST(BindingAdapters, EveryEventReachesTheApplicationSlotWithTerminatedTexts) {
    nuvra_test::RecordingAppCallBack app;
    nuvra_test::RecordingAppCallBackC app_c;
    nuvra_sdk_cpp::CallBack adapter(&app);
    nuvra_sdk_cpp::CallBackC adapter_c(app_c.c());
    for (const EventCase& c : kEvents) {
        SCOPED_TRACE(c.name);
        c.fire(adapter);
        c.fire(adapter_c);
        EXPECT_EQ(app.events(), std::vector<std::string>{c.reaches_application});
        EXPECT_EQ(app_c.events(), std::vector<std::string>{c.reaches_application});
        app.clear();
        app_c.clear();
    }
    EXPECT_EQ(app.unterminated(), 0);
    EXPECT_EQ(app_c.unterminated(), 0);
    EXPECT_EQ(app_c.foreign_self(), 0);
}

TEST(BindingAdapters, AnAdapterWithoutApplicationObjectDropsEveryEvent) {
    nuvra_sdk_cpp::CallBack adapter(nullptr);
    nuvra_sdk_cpp::CallBackC adapter_c(nullptr);
    for (const EventCase& c : kEvents) {
        c.fire(adapter);
        c.fire(adapter_c);
    }
}

}  // namespace
