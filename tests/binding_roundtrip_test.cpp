// Each test runs in a process of its own, as ctest runs them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "nuvra_sig.h"
#include "support/binding_recorders.h"

namespace {

using namespace std::string_literals;

struct RoundTrip {
    const char* name;
    std::function<void(INuvraAPIC*)> through_c;
    std::function<void(nuvra_sdk_cpp::INuvraAPI*)> through_cpp;
    std::vector<std::string> events;
};

// Every operation on an instance that never logged in, with texts holding a
// NUL: the engine's refusal comes back through the binding with the texts
// whole.
const RoundTrip kRoundTrips[] = {
    {"channelJoin",
     [](INuvraAPIC* t) { t->channelJoin(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelJoin("channelID\0!", 11); },
     {"onChannelJoinFailed|channelID\0!|1003"s, "onError|channel_join|1003|channel join when logouted"s}},
    {"channelLeave",
     [](INuvraAPIC* t) { t->channelLeave(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelLeave("channelID\0!", 11); },
     {"onChannelLeaved|channelID\0!|1003"s, "onError|channel_leave|1003|channel leave when logouted"s}},
    {"channelQueryUserNum",
     [](INuvraAPIC* t) { t->channelQueryUserNum(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelQueryUserNum("channelID\0!", 11); },
     {"onChannelQueryUserNumResult|channelID\0!|1003|0"s,
      "onError|channel_query_num|1003|channel query_num when logouted"s}},
    {"channelQueryUserIsIn",
     [](INuvraAPIC* t) { t->channelQueryUserIsIn(t, "channelID\0!", 11, "account\0!", 9); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelQueryUserIsIn("channelID\0!", 11, "account\0!", 9); },
     {"onError|channel_query_user_isin|1003|channel query_user_isin when logouted"s}},
    {"channelSetAttr",
     [](INuvraAPIC* t) { t->channelSetAttr(t, "channelID\0!", 11, "name\0!", 6, "value\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelSetAttr("channelID\0!", 11, "name\0!", 6, "value\0!", 7); },
     {"onError|channel_set_attr|1003|not login"s}},
    {"channelDelAttr",
     [](INuvraAPIC* t) { t->channelDelAttr(t, "channelID\0!", 11, "name\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelDelAttr("channelID\0!", 11, "name\0!", 6); },
     {"onError|channel_del_attr|1003|not login"s}},
    {"channelClearAttr",
     [](INuvraAPIC* t) { t->channelClearAttr(t, "channelID\0!", 11); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelClearAttr("channelID\0!", 11); },
     {"onError|channel_clear_attr|1003|not login"s}},
    {"channelInviteUser",
     [](INuvraAPIC* t) { t->channelInviteUser(t, "channelID\0!", 11, "account\0!", 9, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteUser("channelID\0!", 11, "account\0!", 9, 4000000001u); },
     {"onInviteFailed|channelID\0!|account\0!|0|1003|{\"reason\":\"not login\"}"s, "onError|invite|1003|not login"s}},
    {"channelInviteUser2",
     [](INuvraAPIC* t) { t->channelInviteUser2(t, "channelID\0!", 11, "account\0!", 9, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteUser2("channelID\0!", 11, "account\0!", 9, "extra\0!", 7); },
     {"onInviteFailed|channelID\0!|account\0!|0|1003|{\"reason\":\"not login\"}"s, "onError|invite|1003|not login"s}},
    {"channelInvitePhone",
     [](INuvraAPIC* t) { t->channelInvitePhone(t, "channelID\0!", 11, "phoneNum\0!", 10, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInvitePhone("channelID\0!", 11, "phoneNum\0!", 10, 4000000001u); },
     {"onInviteFailed|channelID\0!|phoneNum\0!|0|1003|{\"reason\":\"not login\"}"s,
      "onError|invite_phone|1003|not login"s}},
    {"channelInvitePhone2",
     [](INuvraAPIC* t) { t->channelInvitePhone2(t, "channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInvitePhone2("channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12);
     },
     {"onInviteFailed|channelID\0!|phoneNum\0!|0|1003|{\"reason\":\"not login\"}"s,
      "onError|invite_phone|1003|not login"s}},
    {"channelInvitePhone3",
     [](INuvraAPIC* t) {
         t->channelInvitePhone3(t, "channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12, "extra\0!", 7);
     },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInvitePhone3("channelID\0!", 11, "phoneNum\0!", 10, "sourcesNum\0!", 12, "extra\0!", 7);
     },
     {"onInviteFailed|channelID\0!|phoneNum\0!|0|1003|{\"reason\":\"not login\"}"s,
      "onError|invite_phone|1003|not login"s}},
    {"channelInviteDTMF",
     [](INuvraAPIC* t) { t->channelInviteDTMF(t, "channelID\0!", 11, "phoneNum\0!", 10, "dtmf\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteDTMF("channelID\0!", 11, "phoneNum\0!", 10, "dtmf\0!", 6); },
     {"onError|invite_dtmf|1003|not login"s}},
    {"channelInviteAccept",
     [](INuvraAPIC* t) { t->channelInviteAccept(t, "channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInviteAccept("channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7);
     },
     {"onError|invite_accept|1003|not login"s}},
    {"channelInviteRefuse",
     [](INuvraAPIC* t) { t->channelInviteRefuse(t, "channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->channelInviteRefuse("channelID\0!", 11, "account\0!", 9, 4000000001u, "extra\0!", 7);
     },
     {"onError|invite_refuse|1003|not login"s}},
    {"channelInviteEnd",
     [](INuvraAPIC* t) { t->channelInviteEnd(t, "channelID\0!", 11, "account\0!", 9, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->channelInviteEnd("channelID\0!", 11, "account\0!", 9, 4000000001u); },
     {"onError|invite_end|1003|not login"s}},
    {"messageAppSend",
     [](INuvraAPIC* t) { t->messageAppSend(t, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageAppSend("msg\0!", 5, "msgID\0!", 7); },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_app_msg|1003|not login"s}},
    {"messageInstantSend",
     [](INuvraAPIC* t) { t->messageInstantSend(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->messageInstantSend("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7);
     },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_instant_msg|1003|not login"s}},
    {"messageInstantSend2",
     [](INuvraAPIC* t) {
         t->messageInstantSend2(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7, "options\0!", 9);
     },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->messageInstantSend2("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7, "options\0!", 9);
     },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_instant_msg|1003|not login"s}},
    {"messageChannelSend",
     [](INuvraAPIC* t) { t->messageChannelSend(t, "channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageChannelSend("channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_channel_msg|1003|not login"s}},
    {"messageChannelSendForce",
     [](INuvraAPIC* t) { t->messageChannelSendForce(t, "channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageChannelSendForce("channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7); },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_channel_msg|1003|not login"s}},
    {"messageChannelSend2",
     [](INuvraAPIC* t) { t->messageChannelSend2(t, "channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7, "extra\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) {
         w->messageChannelSend2("channelID\0!", 11, "msg\0!", 5, "msgID\0!", 7, "extra\0!", 7);
     },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_channel_msg|1003|not login"s}},
    {"messagePushSend",
     [](INuvraAPIC* t) { t->messagePushSend(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messagePushSend("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_push_msg|1003|not login"s}},
    {"messageChatSend",
     [](INuvraAPIC* t) { t->messageChatSend(t, "account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageChatSend("account\0!", 9, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_chat_msg|1003|not login"s}},
    {"messageDTMFSend",
     [](INuvraAPIC* t) { t->messageDTMFSend(t, 4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->messageDTMFSend(4000000001u, "msg\0!", 5, "msgID\0!", 7); },
     {"onMessageSendError|msgID\0!|400"s, "onError|send_dtmf_msg|1003|not login"s}},
    {"setBackground",
     [](INuvraAPIC* t) { t->setBackground(t, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->setBackground(4000000001u); },
     {"onError|set_background|1003|not login"s}},
    {"setNetworkStatus",
     [](INuvraAPIC* t) { t->setNetworkStatus(t, 4000000001u); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->setNetworkStatus(4000000001u); },
     {}},
    {"ping", [](INuvraAPIC* t) { t->ping(t); }, [](nuvra_sdk_cpp::INuvraAPI* w) { w->ping(); }, {}},
    {"setAttr",
     [](INuvraAPIC* t) { t->setAttr(t, "name\0!", 6, "value\0!", 7); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->setAttr("name\0!", 6, "value\0!", 7); },
     {"onError|set_attr|1003|not login"s}},
    {"getAttr",
     [](INuvraAPIC* t) { t->getAttr(t, "name\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getAttr("name\0!", 6); },
     {"onError|get_attr|1003|not login"s}},
    {"getAttrAll",
     [](INuvraAPIC* t) { t->getAttrAll(t); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getAttrAll(); },
     {"onError|get_attr_all|1003|not login"s}},
    {"getUserAttr",
     [](INuvraAPIC* t) { t->getUserAttr(t, "account\0!", 9, "name\0!", 6); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getUserAttr("account\0!", 9, "name\0!", 6); },
     {"onError|get_attr|1003|not login"s}},
    {"getUserAttrAll",
     [](INuvraAPIC* t) { t->getUserAttrAll(t, "account\0!", 9); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->getUserAttrAll("account\0!", 9); },
     {"onError|get_attr_all|1003|not login"s}},
    {"queryUserStatus",
     [](INuvraAPIC* t) { t->queryUserStatus(t, "account\0!", 9); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->queryUserStatus("account\0!", 9); },
     {"onError|query_user_status|1003|not login"s}},
    {"invoke",
     [](INuvraAPIC* t) { t->invoke(t, "name\0!", 6, "req\0!", 5, "callID\0!", 8); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->invoke("name\0!", 6, "req\0!", 5, "callID\0!", 8); },
     {"onInvokeRet|callID\0!|unsupported method name|"s}},
    {"bc_call",
     [](INuvraAPIC* t) { t->bc_call(t, "func\0!", 6, "json_args\0!", 11, "callID\0!", 8); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->bc_call("func\0!", 6, "json_args\0!", 11, "callID\0!", 8); },
     {"onBCCall_result|not login||callID\0!"s, "onError|bc_call|1003|not login"s}},
    {"dbg",
     [](INuvraAPIC* t) { t->dbg(t, "a\0!", 3, "b\0!", 3); },
     [](nuvra_sdk_cpp::INuvraAPI* w) { w->dbg("a\0!", 3, "b\0!", 3); },
     {}},
};

TEST(OfflineRoundTrip, EachRefusalReachesTheApplicationThroughBothBindings) {
    INuvraAPIC* table = createNuvraSDKInstanceC();
    nuvra_sdk_cpp::INuvraAPI* wrapper = createNuvraSDKInstanceCPP();
    nuvra_test::RecordingAppCallBackC app_c;
    nuvra_test::RecordingAppCallBack app;
    table->callbackSet(table, app_c.c());
    wrapper->callbackSet(&app);
    for (const RoundTrip& c : kRoundTrips) {
        SCOPED_TRACE(c.name);
        c.through_c(table);
        c.through_cpp(wrapper);
        // Installing the same object again runs behind the operation.
        table->callbackSet(table, app_c.c());
        wrapper->callbackSet(&app);
        EXPECT_EQ(app_c.without_log(), c.events);
        EXPECT_EQ(app.without_log(), c.events);
        app_c.clear();
        app.clear();
    }
    EXPECT_EQ(app_c.foreign_self(), 0);
    EXPECT_EQ(app_c.unterminated(), 0);
    EXPECT_EQ(app.unterminated(), 0);
    table->release(table);
    wrapper->callbackSet(nullptr);
}

}  // namespace
