#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <locale>
#include <memory>
#include <set>
#include <thread>

#include "if_linkd.h"
#include "log.h"
#include "support/clock_hold.h"
#include "support/engine_fixture.h"
#include "support/log_capture.h"
#include "support/loop_handles.h"
#include "support/loop_thread.h"
#include "support/recording_callback.h"
#include "zlib_helpers.h"

namespace {

using nuvra_test::run_on_loop;

class EngineTest : public nuvra_test::EngineFixture {
protected:
    EngineTest() {
        on_engine([](InterfaceLinkD& e) { e.m_account = "me"; });
    }
};

// The leak check under every engine test sees what it should: a one-shot
// timer is listed with its due time until its close callback has run.
TEST(LoopHandles, ListATimerUntilItsCloseCallbackRan) {
    auto count = [] { return nuvra_test::live_loop_handles().size(); };
    const size_t before = count();
    std::shared_ptr<mynet::Timer> timer;
    run_on_loop([&] {
        timer = std::make_shared<mynet::Timer>();
        timer->start(60000, 1, [](mynet::Timer*) {});
    });
    const std::vector<nuvra_test::LoopHandle> running = nuvra_test::live_loop_handles();
    EXPECT_EQ(running.size(), before + 1);
    const auto one_shot = std::find_if(running.begin(), running.end(), [](const nuvra_test::LoopHandle& h) {
        return h.one_shot && h.due_in_ms > 50000 && h.due_in_ms <= 60000;
    });
    EXPECT_NE(one_shot, running.end()) << nuvra_test::describe(running);
    run_on_loop([&] {
        timer->close();
        timer.reset();
    });
    for (int i = 0; i < 600 && count() != before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(count(), before);
}

TEST(EngineHelpers, Nat64ToIpv4) {
    const std::pair<const char*, const char*> cases[] = {
        {"64:ff9b::192.0.2.33", "192.0.2.33"}, {"64:ff9b::c000:221", "192.0.2.33"},
        {"::ffff:10.1.2.3", "10.1.2.3"},       {"2001:db8::ff00:42:8329", "0.66.131.41"},
        {"192.0.2.33", ""},                    {"localhost", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(nat64_to_ipv4(c.first), c.second) << c.first;
}

// A locale that groups digits must not leak into wire texts and keys.
struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(EngineHelpers, NumbersAppendWithoutGroupingUnderAnyLocale) {
    std::locale before = std::locale::global(std::locale(std::locale::classic(), new Grouping));
    EXPECT_EQ(std::string("tcp") + 2, "tcp2");
    EXPECT_EQ(std::string("x") + -5, "x-5");
    EXPECT_EQ(std::string("t") + 4000000000u, "t4000000000");
    EXPECT_EQ(std::string("dev") + 1765432109876ul, "dev1765432109876");
    EXPECT_EQ(itoa<unsigned int>(1234567), "1234567");
    std::locale::global(before);
}

TEST_F(EngineTest, DefaultsAndPortsAndNat64Modes) {
    on_engine([](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_login_state, InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
        EXPECT_EQ(e.m_config_ping_time, 10000);
        EXPECT_EQ(e.m_config_call_concurrent, 60);
        EXPECT_EQ(e.m_ulbs_buildin.size(), 3u);
        for (const std::string& a : e.m_ulbs_buildin) EXPECT_EQ(a.rfind("127.", 0), 0u) << a;
        EXPECT_FALSE(e.mode2v6(0));
        EXPECT_FALSE(e.mode2v6(3));
        EXPECT_TRUE(e.mode2v6(2));
        std::set<bool> mixed;
        for (int i = 0; i < 200; ++i) mixed.insert(e.mode2v6(1));
        EXPECT_EQ(mixed.size(), 2u);
        std::set<int> ports;
        for (int i = 0; i < 200; ++i) ports.insert(e.choose_ulbs_port());
        EXPECT_EQ(ports, (std::set<int>{8180, 8181}));
        e._ulbs_port_range = 8;
        ports.clear();
        for (int i = 0; i < 400; ++i) ports.insert(e.choose_ulbs_port());
        EXPECT_EQ(ports.size(), 8u);
        EXPECT_EQ(*ports.begin(), 8180);
        EXPECT_EQ(*ports.rbegin(), 8187);
    });
}

std::string text(const std::string& v) { return "\"" + v + "\""; }
std::string text(bool v) { return v ? "true" : "false"; }
template <typename N> std::string text(N v) { return std::to_string(v); }
std::string text(const std::vector<std::string>& v) {
    std::string out = "[";
    for (const std::string& s : v) out += (out.size() > 1 ? "," : "") + s;
    return out + "]";
}

struct DefaultRow {
    const char* member;
    std::string value;
    std::string expected;
};

// Every member of a new engine, as the engine's other parts rely on it.
TEST(EngineDefaults, EveryMemberStartsAtItsDefault) {
    nuvra_test::RecordingCallBack callback;
    std::vector<DefaultRow> rows;
    run_on_loop([&] {
        InterfaceLinkD e(&callback, nullptr);
        rows = {
            {"rp.m_enable", text(e.rp.m_enable), "true"},
            {"rp.m_hostname", text(e.rp.m_hostname), "\"localhost\""},
            {"rp.m_port", text(e.rp.m_port), "8000"},
            {"rp.reports", text(e.rp.reports.size()), "0"},
            {"m_ipv6_mode", text(e.m_ipv6_mode), "0"},
            {"m_ipv6_head", text(e.m_ipv6_head), "\"64:ff9b::\""},
            {"m_tcp_conn_flag", text(e.m_tcp_conn_flag), "1"},
            {"m_lbs_host", text(e.m_lbs_host), "\"localhost\""},
            {"m_ulbs_host", text(e.m_ulbs_host), "\"localhost\""},
            {"m_lbs_ips", text(e.m_lbs_ips), "[]"},
            {"m_lbs_buildin", text(e.m_lbs_buildin), "[127.0.0.1,127.0.0.1]"},
            {"m_ulbs_buildin", text(e.m_ulbs_buildin), "[127.0.0.1,127.0.0.2,127.0.0.3]"},
            {"m_channelName", text(e.m_channelName), "\"\""},
            {"m_cid", text(e.m_cid), "\"\""},
            {"m_last_login_result", text(e.m_last_login_result), "0"},
            {"m_last_login_time", text(e.m_last_login_time), "0"},
            {"m_last_login_token", text(e.m_last_login_token), "\"\""},
            {"m_config_call_mode", text(e.m_config_call_mode), "0"},
            {"m_config_call_retry_time", text(e.m_config_call_retry_time), "0"},
            {"m_config_call_timeout", text(e.m_config_call_timeout), "60000"},
            {"m_config_msg_set", text(e.m_config_msg_set), "0"},
            {"m_config_channel_msgid", text(e.m_config_channel_msgid), "0"},
            {"m_config_msg_v3", text(e.m_config_msg_v3), "0"},
            {"m_config_call_concurrent", text(e.m_config_call_concurrent), "60"},
            {"m_config_ping_time", text(e.m_config_ping_time), "10000"},
            {"m_config_line_login3", text(e.m_config_line_login3), "0"},
            {"m_config_msgid_cache_time", text(e.m_config_msgid_cache_time), "120000"},
            {"m_config_inst_msg_with_msgid", text(e.m_config_inst_msg_with_msgid), "0"},
            {"m_config_channel_extra", text(e.m_config_channel_extra), "0"},
            {"m_vid", text(e.m_vid), "\"\""},
            {"m_uid", text(e.m_uid), "0"},
            {"m_uid_req", text(e.m_uid_req), "0"},
            {"m_connid", text(e.m_connid), "0"},
            {"m_retry", text(e.m_retry), "0"},
            {"m_last_active_time", text(e.m_last_active_time), "0"},
            {"m_line", text(e.m_line), "\"\""},
            {"m_timer_poll running", text(e.m_timer_poll.active()), "true"},
            {"m_ver_acked", text(e.m_ver_acked), "0"},
            {"m_ver_clear", text(e.m_ver_clear), "0"},
            {"m_ver_notify", text(e.m_ver_notify), "0"},
            {"m_is_polling", text(e.m_is_polling), "false"},
            {"m_msgs_wait_clear", text(e.m_msgs_wait_clear.size()), "0"},
            {"m_login_state", text(e.m_login_state), "0"},
            {"m_deviceID", text(e.m_deviceID), "\"\""},
            {"m_token", text(e.m_token), "\"\""},
            {"m_login_session", text(e.m_login_session), "0"},
            {"m_login_session_step", text(e.m_login_session_step), "\"\""},
            {"m_retry_max_time", text(e.m_retry_max_time), "0"},
            {"m_retry_max_count", text(e.m_retry_max_count), "1"},
            {"m_retry_time_start", text(e.m_retry_time_start), "0"},
            {"m_retry_count", text(e.m_retry_count), "0"},
            {"m_retry_delay", text(e.m_retry_delay), "100"},
            {"m_retry_delay_min", text(e.m_retry_delay_min), "100"},
            {"m_retry_delay_max", text(e.m_retry_delay_max), "2000"},
            {"m_http_addrs", text(e.m_http_addrs.size()), "0"},
            {"m_tcp_addrs", text(e.m_tcp_addrs.size()), "0"},
            {"m_sdkserver_mode", text(e.m_sdkserver_mode), "false"},
            {"m_isbackground", text(e.m_isbackground), "false"},
            {"m_tcp_connected", text(e.m_tcp_connected), "false"},
            {"m_push_enable", text(e.m_push_enable), "false"},
            {"m_network_enable", text(e.m_network_enable), "true"},
            {"m_tcp_call_id", text(e.m_tcp_call_id), "0"},
            {"m_conn_info set", text(e.m_conn_info != nullptr), "false"},
            {"m_account", text(e.m_account), "\"\""},
            {"m_time_poll_ack", text(e.m_time_poll_ack), "0"},
            {"m_time_poll_last", text(e.m_time_poll_last), "0"},
            {"m_poll_again", text(e.m_poll_again), "false"},
            {"m_msgid", text(e.m_msgid), "0"},
            {"m_callback is the argument", text(e.m_callback == &callback), "true"},
            {"m_timer running", text(e.m_timer.active()), "true"},
            {"m_channel_msgid", text(e.m_channel_msgid), "0"},
            {"m_invite_ts", text(e.m_invite_ts.size()), "0"},
            {"m_last_t_login set", text(e.m_last_t_login != nullptr), "false"},
            {"m_last_t_login_info", JSON2STRING(e.m_last_t_login_info.json()), "null"},
            {"m_channel_rp_time", text(e.m_channel_rp_time), "0"},
            {"m_chnanel_rp_count", text(e.m_chnanel_rp_count), "0"},
            {"m_chnanel_rp_count_success", text(e.m_chnanel_rp_count_success), "0"},
            {"m_chnanel_rp_count_failed", text(e.m_chnanel_rp_count_failed), "0"},
            {"m_channel_rp_time_all_success", text(e.m_channel_rp_time_all_success), "0"},
            {"m_channel_rp_time_all_failed", text(e.m_channel_rp_time_all_failed), "0"},
            {"m_last_t_login_t2", text(e.m_last_t_login_t2), "0"},
            {"m_main_slot owned", text(e.m_main_slot.this2 == &e), "true"},
            {"m_main_slot empty", text(e.m_main_slot.calls.size() + e.m_main_slot.calls_calling.size()), "0"},
            {"async is the argument", text(e.async == nullptr), "true"},
            {"_device_id", text(e._device_id), "\"unknown_device_id\""},
            {"_device_info", text(e._device_info), "\"unknown_device_info\""},
            {"_app_https", text(e._app_https), "false"},
            {"flag_app_lbs", text(e.flag_app_lbs), "false"},
            {"_force_ipv4", text(e._force_ipv4), "false"},
            {"_slow_ulbs", text(e._slow_ulbs), "false"},
            {"_buildin_ulbs_time", text(e._buildin_ulbs_time), "500"},
            {"_ulbs_port_range", text(e._ulbs_port_range), "2"},
            {"_fake_lbs_ip", text(e._fake_lbs_ip), "\"\""},
            {"_log_report_rate", text(e._log_report_rate), "100"},
            {"_info_report_rate", text(e._info_report_rate), "100"},
            {"_dbg_ap_ip", text(e._dbg_ap_ip), "\"\""},
            {"_dbg_ap_port", text(e._dbg_ap_port), "0"},
        };
    });
    for (const DefaultRow& row : rows) EXPECT_EQ(row.value, row.expected) << row.member;
}

TEST_F(EngineTest, ReporterHeaderCarriesTheSessionFields) {
    on_engine([](InterfaceLinkD& e) {
        e.m_vid = "app";
        e.m_uid = 7;
        e._device_id = "dev";
        e.set_reporter_header();
        EXPECT_EQ(*e.rp.m_common_fields,
                  "{\"account\":\"me\",\"deviceid\":\"dev\",\"deviceinfo\":\"unknown_device_info\",\"sdk\":1010303001,"
                  "\"uid\":7,\"vid\":\"app\"}");
    });
}

struct FireCase {
    const char* name;
    std::function<void(InterfaceLinkD&)> fire;
    std::string event;  // "" when filtered
    std::string log;    // tail of the "usr.cb" line, "" when filtered
};

// Every fire_on function: the event it delivers and its "usr.cb" line.
TEST_F(EngineTest, EventsFilterRewriteAndLog) {
    // Payloads of which the line shows the first 100 bytes only.
    const std::string head(100, 'h');
    const std::string p101 = head + "t";
    const FireCase cases[] = {
        {"joined", [](InterfaceLinkD& e) { e.fire_onChannelJoined("c1"); }, "onChannelJoined|c1", "onChannelJoined c1"},
        {"join failed", [](InterfaceLinkD& e) { e.fire_onChannelJoinFailed("c1", 1003); },
         "onChannelJoinFailed|c1|1003", "onChannelJoinFailed c1 1003"},
        {"leaved", [](InterfaceLinkD& e) { e.fire_onChannelLeaved("c1", -1); }, "onChannelLeaved|c1|-1",
         "onChannelLeaved c1 -1"},
        {"user num", [](InterfaceLinkD& e) { e.fire_onChannelQueryUserNumResult("c1", 0, 12); },
         "onChannelQueryUserNumResult|c1|0|12", "onChannelQueryUserNumResult c1 0 12"},
        {"user is in", [](InterfaceLinkD& e) { e.fire_onChannelQueryUserIsIn("c1", "bob", 1); },
         "onChannelQueryUserIsIn|c1|bob|1", "onChannelQueryUserIsIn c1 bob 1"},
        {"invite received", [](InterfaceLinkD& e) { e.fire_onInviteReceived("c1", "bob", 4294967295u, "{\"a\":1}"); },
         "onInviteReceived|c1|bob|4294967295|{\"a\":1}", "onInviteReceived c1 bob 4294967295 {\"a\":1}"},
        {"invite received by peer", [](InterfaceLinkD& e) { e.fire_onInviteReceivedByPeer("c1", "bob", 2); },
         "onInviteReceivedByPeer|c1|bob|2", "onInviteReceivedByPeer c1 bob 2"},
        {"invite accepted", [](InterfaceLinkD& e) { e.fire_onInviteAcceptedByPeer("c1", "bob", 2, "x y"); },
         "onInviteAcceptedByPeer|c1|bob|2|x y", "onInviteAcceptedByPeer c1 bob 2 x y"},
        {"invite refused", [](InterfaceLinkD& e) { e.fire_onInviteRefusedByPeer("c1", "bob", 2, ""); },
         "onInviteRefusedByPeer|c1|bob|2|", "onInviteRefusedByPeer c1 bob 2 "},
        {"invite end by peer", [](InterfaceLinkD& e) { e.fire_onInviteEndByPeer("c1", "bob", 2, "{}"); },
         "onInviteEndByPeer|c1|bob|2|{}", "onInviteEndByPeer c1 bob 2 {}"},
        {"invite end by myself", [](InterfaceLinkD& e) { e.fire_onInviteEndByMyself("c1", "bob", 2); },
         "onInviteEndByMyself|c1|bob|2", "onInviteEndByMyself c1 bob 2"},
        {"send error", [](InterfaceLinkD& e) { e.fire_onMessageSendError("m1", 401); }, "onMessageSendError|m1|401",
         "onMessageSendError m1 401"},
        {"send progress", [](InterfaceLinkD& e) { e.fire_onMessageSendProgress("bob", "m1", "recv", "i"); },
         "onMessageSendProgress|bob|m1|recv|i", "onMessageSendProgress bob m1 recv i"},
        {"send success", [](InterfaceLinkD& e) { e.fire_onMessageSendSuccess("m1"); }, "onMessageSendSuccess|m1",
         "onMessageSendSuccess m1"},
        {"app message", [&](InterfaceLinkD& e) { e.fire_onMessageAppReceived(p101); }, "onMessageAppReceived|" + p101,
         "onMessageAppReceived " + head},
        {"instant message", [&](InterfaceLinkD& e) { e.fire_onMessageInstantReceive("bob", 2, p101); },
         "onMessageInstantReceive|bob|2|" + p101, "onMessageInstantReceive bob 2 " + head},
        {"channel message", [&](InterfaceLinkD& e) { e.fire_onMessageChannelReceive("c1", "bob", 2, p101); },
         "onMessageChannelReceive|c1|bob|2|" + p101, "onMessageChannelReceive c1 bob 2 " + head},
        {"invoke result", [&](InterfaceLinkD& e) { e.fire_onInvokeRet("k1", "", "{\"result\":\"ok\"," + p101 + "}"); },
         "onInvokeRet|k1||{\"result\":\"ok\"," + p101 + "}", "onInvokeRet k1  {\"result\":\"ok\"," + p101 + "}"},
        {"user attr", [&](InterfaceLinkD& e) { e.fire_onUserAttrResult("bob", "n", p101); },
         "onUserAttrResult|bob|n|" + p101, "onUserAttrResult bob n " + head},
        {"user attr all", [&](InterfaceLinkD& e) { e.fire_onUserAttrAllResult("bob", p101); },
         "onUserAttrAllResult|bob|" + p101, "onUserAttrAllResult bob " + head},
        {"query status long", [&](InterfaceLinkD& e) { e.fire_onQueryUserStatusResult("bob", p101); },
         "onQueryUserStatusResult|bob|" + p101, "onQueryUserStatusResult bob " + head},
        {"own join filtered", [](InterfaceLinkD& e) { e.fire_onChannelUserJoined("me", 1); }, "", ""},
        {"other join", [](InterfaceLinkD& e) { e.fire_onChannelUserJoined("bob", 2); }, "onChannelUserJoined|bob|2",
         "onChannelUserJoined bob 2"},
        {"own leave delivered", [](InterfaceLinkD& e) { e.fire_onChannelUserLeaved("me", 1); },
         "onChannelUserLeaved|me|1", "onChannelUserLeaved me 1"},
        {"own instant filtered", [](InterfaceLinkD& e) { e.fire_onMessageInstantReceive("me", 1, "hi"); }, "", ""},
        {"attr set filtered", [](InterfaceLinkD& e) { e.fire_onChannelAttrUpdated("c", "n", "v", "set"); }, "", ""},
        {"attr update", [](InterfaceLinkD& e) { e.fire_onChannelAttrUpdated("c", "n", "v", "update"); },
         "onChannelAttrUpdated|c|n|v|update", "onChannelAttrUpdated c update n v"},
        {"attr del", [](InterfaceLinkD& e) { e.fire_onChannelAttrUpdated("c", "n", "", "del"); },
         "onChannelAttrUpdated|c|n||del", "onChannelAttrUpdated c del n "},
        {"invite offline", [](InterfaceLinkD& e) { e.fire_onInviteFailed("c", "bob", 3, 700, "peer is not online", ""); },
         "onInviteFailed|c|bob|3|703|{\"reason\":\"peer is not online\"}", "onInviteFailed c bob 3 703"},
        {"invite other reason", [](InterfaceLinkD& e) { e.fire_onInviteFailed("c", "bob", 3, 704, "busy", "{}"); },
         "onInviteFailed|c|bob|3|704|{\"reason\":\"busy\"}", "onInviteFailed c bob 3 704"},
        {"invite no reason", [](InterfaceLinkD& e) { e.fire_onInviteFailed("c", "bob", 3, 700, "", "x"); },
         "onInviteFailed|c|bob|3|700|x", "onInviteFailed c bob 3 700"},
        {"invite msg dtmf",
         [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "bob", 3, "{\"msgtype\":\"dtmf\",\"msgdata\":\"5\"}"); },
         "onInviteMsg|c|bob|3|dtmf|5|{\"msgtype\":\"dtmf\",\"msgdata\":\"5\"}", "onInviteMsg c bob 3"},
        {"invite msg data only", [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "bob", 3, "{\"msgdata\":7}"); },
         "onInviteMsg|c|bob|3||7|{\"msgdata\":7}", "onInviteMsg c bob 3"},
        {"invite msg scalars",
         [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "b", 3, "{\"msgtype\":true,\"msgdata\":-1.5}"); },
         "onInviteMsg|c|b|3|true|-1.5|{\"msgtype\":true,\"msgdata\":-1.5}", "onInviteMsg c b 3"},
        {"invite msg null", [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "b", 3, "{\"msgtype\":null}"); },
         "onInviteMsg|c|b|3|||{\"msgtype\":null}", "onInviteMsg c b 3"},
        {"invite msg not json", [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "bob", 3, "not json"); },
         "onInviteMsg|c|bob|3|||not json", "onInviteMsg c bob 3"},
        {"invite msg array", [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "bob", 3, "[1,2]"); },
         "onInviteMsg|c|bob|3|||[1,2]", "onInviteMsg c bob 3"},
        {"invite msg nested", [](InterfaceLinkD& e) { e.fire_onInviteMsg("c", "b", 3, "{\"msgtype\":{\"a\":1}}"); },
         "onInviteMsg|c|b|3|||{\"msgtype\":{\"a\":1}}", "onInviteMsg c b 3"},
        {"query status", [](InterfaceLinkD& e) { e.fire_onQueryUserStatusResult("bob", "1"); },
         "onQueryUserStatusResult|bob|1", "onQueryUserStatusResult bob 1"},
        {"bc call", [](InterfaceLinkD& e) { e.fire_onBCCall_result("ok", "{}", "id9"); }, "onBCCall_result|ok|{}|id9",
         "onBCCall_result id9 ok {}"},
        {"error", [](InterfaceLinkD& e) { e.fire_onError("login", 1004, "no vid"); }, "onError|login|1004|no vid",
         "onError login 1004 no vid"},
        {"user list", [](InterfaceLinkD& e) { e.fire_onChannelUserList(0, nullptr, nullptr); }, "onChannelUserList|0",
         "onChannelUserList 0"},
    };
    nuvra_test::LogCapture cap;
    for (const FireCase& c : cases) {
        cb.clear();
        cap.clear();
        on_engine(c.fire);
        std::vector<std::string> events = cb.events();
        std::vector<std::string> lines = cap.matching("usr.cb");
        if (c.event.empty()) {
            EXPECT_TRUE(events.empty()) << c.name;
            EXPECT_TRUE(lines.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(events.size(), 1u) << c.name;
        EXPECT_EQ(events[0], c.event) << c.name;
        ASSERT_EQ(lines.size(), 1u) << c.name;
        std::string tail = std::string(" : usr.cb          ") + c.log;
        EXPECT_EQ(lines[0].substr(lines[0].find(" : ")), tail) << c.name;
    }
}

TEST_F(EngineTest, LongPayloadsAreLoggedByTheirStartAndDeliveredWhole) {
    nuvra_test::LogCapture cap;
    std::string msg(300, 'q');
    on_engine([&](InterfaceLinkD& e) { e.fire_onMessageChannelReceive("c", "bob", 2, msg); });
    ASSERT_EQ(cb.events().size(), 1u);
    EXPECT_EQ(cb.events()[0], "onMessageChannelReceive|c|bob|2|" + msg);
    std::vector<std::string> lines = cap.matching("onMessageChannelReceive");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 101), " " + msg.substr(0, 100));
}

TEST_F(EngineTest, InviteAckPhaseIsReportedOnTheOpenRecord) {
    on_engine([](InterfaceLinkD& e) {
        Json::Value start(Json::objectValue);
        start["channel"] = "c";
        e.m_invite_ts["cbob"] = e.rp.t_start("invite", "call-1", start);
        size_t before = e.rp.reports.size();
        e.fire_onInviteReceivedByPeer("c", "bob", 3);
        ASSERT_EQ(e.rp.reports.size(), before + 1);
        const Json::Value report = e.rp.reports.back().body();
        EXPECT_EQ(report["cmd"].asString(), "phase");
        EXPECT_EQ(report["phase"].asString(), "ack");
        EXPECT_EQ(report["type"].asString(), "invite");
        EXPECT_EQ(e.m_invite_ts.count("cbob"), 1u);
        e.fire_onInviteReceivedByPeer("c", "alice", 4);
        EXPECT_EQ(e.rp.reports.size(), before + 1);
    });
    EXPECT_EQ(cb.named("onInviteReceivedByPeer").size(), 2u);
}

TEST_F(EngineTest, LogHandOverFollowsTheReportRate) {
    PlatLog2(kLogInfo, kLogPlatform, "a line worth uploading");
    std::string ring;
    on_engine([&](InterfaceLinkD& e) {
        e.m_vid = "app-1";
        e.do_report_log();
        int count = 0;
        ring = LogGetAll(count);
    });
    EXPECT_EQ(cb.events(), (std::vector<std::string>{"onDbg|__report_log__url", "onDbg|__report_log"}));
    EXPECT_EQ(cb.dbg_payload("__report_log__url"), "https://localhost/upload?appid=app-1");
    EXPECT_EQ(zlib_uncompress(cb.dbg_payload("__report_log"), 1048576), ring);
    EXPECT_NE(ring.find("a line worth uploading"), std::string::npos);

    cb.clear();
    on_engine([](InterfaceLinkD& e) {
        e._log_report_rate = 0;
        for (int i = 0; i < 50; ++i) e.do_report_log();
    });
    EXPECT_TRUE(cb.events().empty());
}

TEST_F(EngineTest, ChannelStatisticsAreReportedOnceAMinute) {
    auto chrp_reports = [](InterfaceLinkD& e) {
        std::vector<Json::Value> out;
        for (const Reporter2::Queued& q : e.rp.reports)
            if (Json::Value body = q.body(); body["type"].asString() == "chrp") out.push_back(body);
        return out;
    };
    on_engine([&](InterfaceLinkD& e) {
        uint64_t now = mynet::mono_time_ms();
        e.report_channel_stats(now + 3600000);
        EXPECT_TRUE(chrp_reports(e).empty()) << "nothing counted, nothing reported";
        e.m_channel_rp_time = now;
        e.m_chnanel_rp_count = 1;
        e.m_chnanel_rp_count_success = 1;
        e.m_channel_rp_time_all_success = 40;
        e.report_channel_stats(now + 59999);
        EXPECT_TRUE(chrp_reports(e).empty());
        e.report_channel_stats(now + 60000);
        std::vector<Json::Value> reports = chrp_reports(e);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(JSON2STRING(reports[0]["param_start"]), "{\"c\":1,\"cf\":0,\"cs\":1,\"ctf\":0,\"cts\":40}");
        EXPECT_EQ(reports[0]["cmd"].asString(), "end");
        EXPECT_EQ(reports[0]["result"].asString(), "ok");
        EXPECT_TRUE(reports[0]["isok"].asBool());
        EXPECT_EQ(reports[0]["key"].asString().rfind("unknown_device_id", 0), 0u);
        EXPECT_EQ(e.m_channel_rp_time, now + 60000);
        EXPECT_EQ(e.m_chnanel_rp_count + e.m_chnanel_rp_count_success + e.m_chnanel_rp_count_failed, 0);
        EXPECT_EQ(e.m_channel_rp_time_all_success, 0u);
    });
}

TEST_F(EngineTest, HousekeepingTickMakesTheStatisticsRecord) {
    on_engine([](InterfaceLinkD& e) {
        nuvra_test::clock_past(60001);
        e.m_channel_rp_time = mynet::mono_time_ms() - 60001;
        e.m_chnanel_rp_count = 2;
        e.m_chnanel_rp_count_failed = 2;
        e.m_channel_rp_time_all_failed = 30;
    });
    EXPECT_TRUE(nuvra_test::wait_on_loop([&] { return engine->m_chnanel_rp_count == 0; }, 1000));
    on_engine([](InterfaceLinkD& e) {
        ASSERT_FALSE(e.rp.reports.empty());
        EXPECT_EQ(JSON2STRING(e.rp.reports.back().body()["param_start"]), "{\"c\":2,\"cf\":2,\"cs\":0,\"ctf\":15,\"cts\":0}");
    });
}

}  // namespace
