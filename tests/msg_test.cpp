#include <gtest/gtest.h>
#include <pystring/pystring.h>

#include <climits>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "log.h"
#include "peers/line_server.h"
#include "support/engine_fixture.h"
#include "support/line_fixture.h"
#include "support/log_capture.h"
#include "zlib_helpers.h"

namespace {

using nuvra_test::CallScript;
using nuvra_test::LineFixture;
using nuvra_test::LineServer;
using std::string;
using Info = LineFixture::Info;

constexpr int kWaitMs = 3000;

// The dispatcher's part for call answers: "call_ret <method> <id> <x> <json>".
void route_call_ret(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const string& msg) {
    if (info.state != InterfaceLinkD::CONN_STATE_LOGINED || !pystring::startswith(msg, "call_ret ")) return;
    std::vector<string> f;
    pystring::split(msg, f, " ", 4);
    f.resize(5);
    engine.m_main_slot.process_tcp_call_res(static_cast<uint32_t>(std::atoi(f[2].c_str())), f[4], "");
}

string unhex(const string& hex) {
    string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// An engine on a logged-in line with a session id, but no uid, so that the
// housekeeping tick starts no poll of its own.
class IncomingMsgs : public nuvra_test::EngineFixture {
protected:

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        line.on_message = route_call_ret;
        ASSERT_TRUE(line.connect(server.port()));
        ASSERT_TRUE(line.wait_on_loop(
            [](InterfaceLinkD& e, Info& info) { return e.m_tcp_connected && info && info->last_pong_recv_time != 0; },
            kWaitMs));
        line.on_loop([](InterfaceLinkD& e, Info&) {
            e.m_line = "L1";
            e.m_account = "me";
        });
    }

    void deliver(const string& text) {
        line.on_loop([&](InterfaceLinkD& e, Info&) { EXPECT_EQ(e.decode_msg(text, true), nullptr); });
    }

    std::vector<string> events() const { return cb.events(); }

    nuvra_test::LogCapture log;
    LineServer server;
    LineFixture line{engine.get()};
};

// ------------------------------------------------------------ dispatch by type

struct DispatchCase {
    const char* name;
    string text;
    std::vector<string> events;
};

std::ostream& operator<<(std::ostream& os, const DispatchCase& c) { return os << c.name; }

class Dispatch : public IncomingMsgs, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(Dispatch, FiresTheEventOfItsType) {
    deliver(GetParam().text);
    EXPECT_EQ(events(), GetParam().events);
}

string voip(const string& t, const string& body) { return "msg-v2 bob x y " + t + " z " + body; }
const string kVoip = R"({"channel":"c1","peer":"p1","extra":"{\"k\":1}","peeruid":9})";
const string kPstn = R"({"uid":5,"destNum":"+123","channelName":"c1"})";

INSTANTIATE_TEST_SUITE_P(
    Types, Dispatch,
    ::testing::Values(
        DispatchCase{"appmsg", "msg bob x y appmsg two words", {"onMessageAppReceived|two words"}},
        DispatchCase{"instant_uid_is_zero", "msg-v3 id1 bob x y instant z hi you",
                     {"onMessageInstantReceive|bob|0|hi you"}},
        DispatchCase{"instant_from_own_account", "msg me x y instant hi", {}},
        DispatchCase{"pstn_ring", "msg bob x y pstn_ring " + kPstn, {"onInviteReceivedByPeer|c1|+123|5"}},
        DispatchCase{"pstn_answer", "msg bob x y pstn_answer " + kPstn, {"onInviteAcceptedByPeer|c1|+123|5|"}},
        DispatchCase{"pstn_bye", "msg bob x y pstn_bye " + kPstn, {"onInviteEndByPeer|c1|+123|5|"}},
        DispatchCase{"pstn_not_an_object", "msg bob x y pstn_ring [5]", {}},
        DispatchCase{"voip_invite", voip("voip_invite", kVoip), {"onInviteReceived|c1|p1|9|{\"k\":1}"}},
        DispatchCase{"voip_invite_ack", voip("voip_invite_ack", kVoip), {"onInviteReceivedByPeer|c1|p1|9"}},
        DispatchCase{"voip_invite_accept", voip("voip_invite_accept", kVoip),
                     {"onInviteAcceptedByPeer|c1|p1|9|{\"k\":1}"}},
        DispatchCase{"voip_invite_refuse", voip("voip_invite_refuse", kVoip),
                     {"onInviteRefusedByPeer|c1|p1|9|{\"k\":1}"}},
        DispatchCase{"voip_invite_failed_is_700_with_extra", voip("voip_invite_failed", kVoip),
                     {"onInviteFailed|c1|p1|9|700|{\"k\":1}"}},
        DispatchCase{"voip_invite_bye", voip("voip_invite_bye", kVoip), {"onInviteEndByPeer|c1|p1|9|{\"k\":1}"}},
        DispatchCase{"voip_invite_msg", voip("voip_invite_msg", R"({"channel":"c1","peer":"p1","extra":"{\"msgtype\":\"t\",\"msgdata\":\"d\"}","peeruid":9})"),
                     {"onInviteMsg|c1|p1|9|t|d|{\"msgtype\":\"t\",\"msgdata\":\"d\"}"}},
        DispatchCase{"voip_other", voip("voip_ring", kVoip), {}},
        DispatchCase{"voip_missing_extra", voip("voip_invite_ack", R"({"channel":"c1","peer":"p1","peeruid":9})"), {}},
        DispatchCase{"voip_extra_an_object", voip("voip_invite_ack", R"({"channel":"c1","peer":"p1","extra":{},"peeruid":9})"), {}},
        DispatchCase{"voip_peeruid_text", voip("voip_invite_ack", R"({"channel":"c1","peer":"p1","extra":"","peeruid":"9"})"), {}},
        DispatchCase{"voip_peeruid_negative", voip("voip_invite_ack", R"({"channel":"c1","peer":"p1","extra":"","peeruid":-9})"), {}},
        DispatchCase{"channel_user_join", "msg bob x y channel_user_join {\"uid\":3,\"account\":\"al\"}",
                     {"onChannelUserJoined|al|3"}},
        DispatchCase{"channel_user_leave", "msg bob x y channel_user_leave {\"uid\":3,\"account\":\"al\"}",
                     {"onChannelUserLeaved|al|3"}},
        DispatchCase{"channel_msg", R"(msg bob x y channel_msg {"msg":"m m","uid":3,"account":"al","channel":"c"})",
                     {"onMessageChannelReceive|c|al|3|m m"}},
        DispatchCase{"channel_msg_wrong_member_types",
                     R"(msg bob x y channel_msg {"msg":5,"uid":"3","account":["al"],"channel":"c"})",
                     {"onMessageChannelReceive|c||0|"}},
        DispatchCase{"channel_attr_update", R"(msg bob x y channel_attr_update {"type":"update","value":"v","name":"n","channel":"c"})",
                     {"onChannelAttrUpdated|c|n|v|update"}},
        DispatchCase{"channel_attr_set_dropped", R"(msg bob x y channel_attr_update {"type":"set","value":"v","name":"n","channel":"c"})",
                     {}},
        DispatchCase{"msg_progress", R"(msg bob x y msg_progress {"info":"i","type":"read","messageID":"m9"})",
                     {"onMessageSendProgress|bob|m9|read|i"}},
        DispatchCase{"malformed_json", "msg bob x y channel_msg {\"msg\":", {}},
        DispatchCase{"json_with_trailing_text", R"(msg bob x y channel_user_join {"uid":3,"account":"al"} tail)",
                     {"onChannelUserJoined|al|3"}},
        DispatchCase{"unknown_type", "msg bob x y zzz hello", {}},
        DispatchCase{"undecodable_text", "garbage", {}}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return string(info.param.name); });

TEST_F(IncomingMsgs, ServerModeHandsEveryMessageToOnMsg) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_sdkserver_mode = true; });
    deliver("msg bob x y appmsg hi there");
    deliver(voip("voip_invite", kVoip));
    deliver("msg bob x y zzz q");
    deliver("garbage");
    EXPECT_EQ(events(), (std::vector<string>{"onMsg|bob|appmsg|hi there", "onMsg|bob|voip_invite|" + kVoip,
                                             "onMsg|bob|zzz|q", "onMsg|||"}));
    EXPECT_FALSE(log.contains("onMessageAppReceived")) << "no event line of its own";
    EXPECT_FALSE(server.wait_for_call("voip_invite_ack", 200)) << "no acknowledgement in server mode";
}

TEST_F(IncomingMsgs, LogsEachMessageAtDebugWithTheHeadOfItsContent) {
    deliver("msg bob x y appmsg " + string(150, 'c'));
    ASSERT_EQ(log.matching(" : msg.proc bob appmsg ").size(), 1u);
    EXPECT_NE(log.matching(" : msg.proc bob appmsg ")[0].find(" : msg.proc bob appmsg " + string(100, 'c')),
              string::npos);
    EXPECT_EQ(log.matching(" : msg.proc bob appmsg ")[0].find(string(101, 'c')), string::npos);
}

TEST_F(IncomingMsgs, InvitationIsAcknowledgedAfterItsEventAndTheAnswerIsIgnored) {
    server.set_call_script("voip_invite_ack", CallScript::failed("whatever"));
    deliver(voip("voip_invite", kVoip));
    auto call = server.wait_for_call("voip_invite_ack", kWaitMs);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->frame.text.substr(call->frame.text.find(" 0 ") + 3),
              "{\"channelName\":\"c1\",\"extra\":\"\",\"line\":\"L1\",\"peer\":\"p1\"}");
    ASSERT_TRUE(log.wait_for(" : call_ret 1 -1 whatever", kWaitMs));
    EXPECT_EQ(events(), (std::vector<string>{"onInviteReceived|c1|p1|9|{\"k\":1}"})) << "no event for its result";
}

// ------------------------------------------------------------ log upload

// The kept lines a "log_put" request carried, with their ids.
std::vector<std::pair<int, string>> uploaded_lines(const nuvra_test::ReceivedCall& call) {
    EXPECT_EQ(call.request["line"].asString(), "L1");
    const string text = unhex(call.request["log"].asString());
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::pair<int, string>> out;
    for (const string& l : pystring::splitlines(text)) {
        const size_t blank = l.find(' ');
        out.emplace_back(std::atoi(l.substr(0, blank).c_str()), l.substr(blank + 1));
    }
    return out;
}

bool ring_holds(const string& text) {
    int last = 0;
    return LogGetAll(last).find(text) != string::npos;
}

TEST_F(IncomingMsgs, CmdReportUploadsTheRingAndTrimsItOnlyAfterOk) {
    PlatLog2(kLogInfo, kLogPlatform, "upload marker one");
    PlatLog2(kLogInfo, kLogPlatform, "upload marker two");
    server.queue_call_script("log_put", CallScript::failed("busy"));
    deliver("msg srv x y cmd_report ");
    auto first = server.wait_for_call("log_put", kWaitMs);
    ASSERT_TRUE(first);
    const auto lines = uploaded_lines(*first);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].second, "upload marker one");
    EXPECT_EQ(lines.back().second, "upload marker two");
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].first, lines[i - 1].first + 1);
    ASSERT_TRUE(log.wait_for(" : call_ret 1 -1 busy", kWaitMs));
    EXPECT_TRUE(ring_holds("upload marker one")) << "a refused upload trims nothing";
    EXPECT_TRUE(events().empty());

    deliver("msg srv x y cmd_report ");
    auto second = server.wait_for_call("log_put", kWaitMs, first->frame.index + 1);
    ASSERT_TRUE(second);
    ASSERT_TRUE(log.wait_for(" : call_ret 2 0 ", kWaitMs));
    const auto resent = uploaded_lines(*second);
    line.on_loop([&](InterfaceLinkD&, Info&) {
        int last = 0;
        const string ring = LogGetAll(last);
        EXPECT_EQ(ring.find("upload marker one"), string::npos);
        EXPECT_EQ(ring.rfind(std::to_string(resent.back().first) + " ", 0), 0u)
            << "the ring starts at the last line sent";
    });
}

TEST_F(IncomingMsgs, CmdReportInServerModeUploadsAndReachesOnMsg) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_sdkserver_mode = true; });
    PlatLog2(kLogInfo, kLogPlatform, "server mode marker");
    deliver("msg srv x y cmd_report now");
    EXPECT_TRUE(server.wait_for_call("log_put", kWaitMs));
    EXPECT_EQ(events(), (std::vector<string>{"onMsg|srv|cmd_report|now"}));
}

TEST_F(IncomingMsgs, EmptyRingSendsNothing) {
    line.on_loop([](InterfaceLinkD& e, Info&) {
        LogClear(INT_MAX);
        e.decode_msg("msg srv x y cmd_report ", true);
        e.decode_msg("msg srv x y cmd_report ", true);
    });
    EXPECT_FALSE(server.wait_for_call("log_put", 300));
}

// A full ring of long lines is more than one frame can compress: each
// upload carries the oldest lines that fit, and the next one goes on from
// the last line sent.
TEST_F(IncomingMsgs, LongRingIsUploadedInPiecesThatFitAFrame) {
    line.on_loop([](InterfaceLinkD&, Info&) {
        for (int i = 0; i < 1000; ++i) PlatLog2(kLogInfo, kLogPlatform, "long %04d %s", i, string(480, 'q').c_str());
    });
    std::vector<std::pair<int, string>> all;
    size_t from = 0;
    for (int upload = 0; upload < 2; ++upload) {
        deliver("msg srv x y cmd_report ");
        auto call = server.wait_for_call("log_put", kWaitMs, from);
        ASSERT_TRUE(call);
        from = call->frame.index + 1;
        EXPECT_LE(call->frame.text.size(), kZlibCompressMaxInput);
        EXPECT_EQ(call->frame.flags & nuvra_test::kFrameCompressed, nuvra_test::kFrameCompressed);
        const auto lines = uploaded_lines(*call);
        if (upload == 0) {
            EXPECT_LT(lines.size(), 1000u);
        } else {
            EXPECT_EQ(lines.front().first, all.back().first) << "the last line sent comes again";
        }
        all.insert(all.end(), lines.begin() + (all.empty() ? 0 : 1), lines.end());
        ASSERT_TRUE(log.wait_for(" : call_ret " + std::to_string(upload + 1) + " 0 ", kWaitMs));
    }
    std::vector<string> longs;
    for (const auto& l : all)
        if (pystring::startswith(l.second, "long ")) longs.push_back(l.second.substr(5, 4));
    ASSERT_EQ(longs.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        char want[8];
        snprintf(want, sizeof want, "%04d", i);
        ASSERT_EQ(longs[i], want);
    }
}

}  // namespace
