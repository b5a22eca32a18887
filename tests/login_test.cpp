#include <gtest/gtest.h>
#include <uv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "if_linkd.h"
#include "log.h"
#include "peers/discovery_service.h"
#include "peers/line_server.h"
#include "support/clock_hold.h"
#include "support/engine_fixture.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"
#include "support/own_address.h"
#include "support/parsed_json.h"
#include "support/recording_callback.h"
#include "support/scripted_resolver.h"

using namespace nuvra_test;

namespace {

constexpr int kWaitMs = 3000;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Line watchdogs still running: the only members of the 500 ms tick.
int line_watchdogs() {
    int n = 0;
    mynet::SharedTick::for_each_member([&n](const void*, int period_ms) { n += period_ms == 500; });
    return n;
}

// One engine on the real loop thread, pointed at a test discovery service
// and a test line server with the debug keys an application would use.
class LoginRoad : public EngineFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        discovery = std::make_unique<DiscoveryService>(discovery_ip);
        ASSERT_TRUE(discovery->ok()) << discovery_ip;
        discovery->answer_ok({{"127.0.0.1", server.port()}});
        run_on_loop([&] {
            queue->start();
            ld->user_dbg("norpt", "1");
            ld->user_dbg("lbss", discovery_ip);
        });
    }
    // Work a test held back in the queue runs after the engine is gone.
    void TearDown() override {
        EngineFixture::TearDown();
        run_on_loop([&] { queue->start(); });
    }

    // Posts f through the instance queue.
    void post(std::function<void(InterfaceLinkD&)> f) {
        queue->run([this, f] {
            if (engine) f(*engine);
        });
    }
    void run(const std::function<void(InterfaceLinkD&)>& f) {
        run_on_loop([&] { f(*ld); });
    }
    template <typename T> T read(const std::function<T(InterfaceLinkD&)>& f) {
        T value{};
        run_on_loop([&] { value = f(*ld); });
        return value;
    }
    void login(const std::string& token = "tok", int window_s = 30, int count = 3) {
        post([token, window_s, count](InterfaceLinkD& e) { e.user_login("vid1", "acc", token, 7, "dev", window_s, count); });
    }
    bool logged_in() {
        return cb.wait_for("onLoginSuccess", kWaitMs) &&
               wait_on_loop([&] { return ld->m_login_state == InterfaceLinkD::LOGIN_STATE_LOGINED; }, kWaitMs);
    }
    int state() { return read<int>([](InterfaceLinkD& e) { return e.m_login_state; }); }
    // Events other than the log hand-over.
    std::vector<std::string> events() {
        std::vector<std::string> out;
        for (const std::string& e : cb.events())
            if (e.rfind("onDbg|", 0) != 0 && e.rfind("onLog|", 0) != 0) out.push_back(e);
        return out;
    }
    size_t count_events(const std::string& prefix) {
        size_t n = 0;
        for (const std::string& e : events()) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    // Moves both clocks forward and lets the engine's 100 ms ticks see it.
    void advance(int64_t ms) {
        run_on_loop([ms] { mynet::test_clock_advance(ms); });
        sleep_ms(250);
    }

    LogCapture log;
    LineServer server;
    std::string discovery_ip = own_loopback_ip();
    std::unique_ptr<DiscoveryService> discovery;
    mynet::Async* queue = &engine_queue();
    InterfaceLinkD* ld = engine.get();
};

TEST_F(LoginRoad, LoginSendsTheExactRequestThenPingsAtOnce) {
    login();
    ASSERT_TRUE(logged_in());
    auto req = server.wait_for("login ", kWaitMs);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->text,
              "login {\"account\":\"acc\",\"device\":\"dev\",\"ip\":\"\",\"token\":\"tok\",\"uid\":7,"
              "\"ver\":1010303001,\"vid\":\"vid1\"}");
    EXPECT_EQ(req->flags, 0x80);
    auto ping = server.wait_for("line_ping:", kWaitMs);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->text, "line_ping:1");
    EXPECT_EQ(ping->index, req->index + 1);
    EXPECT_EQ(ping->flags, 0x81);
    EXPECT_EQ(events(), std::vector<std::string>{"onLoginSuccess|7|0"});
    run([](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_line, "line1");
        EXPECT_EQ(e.m_uid, 7u);
        EXPECT_TRUE(e.published_has_line());
        EXPECT_EQ(e.published_login_state(), InterfaceLinkD::LOGIN_STATE_LOGINED);
    });
}

// A server may give its user the uid 0.
TEST_F(LoginRoad, ALoginAnsweredWithUidZeroSucceeds) {
    post([](InterfaceLinkD& e) { e.user_login("vid1", "acc", "tok", 0, "dev", 30, 3); });
    ASSERT_TRUE(logged_in());
    auto answer = server.wait_for("login ", kWaitMs);
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->text.find("\"uid\":0,"), std::string::npos);
    EXPECT_EQ(events(), std::vector<std::string>{"onLoginSuccess|0|0"});
    EXPECT_EQ(server.count("login "), 1u);
    run([](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_uid, 0u);
        EXPECT_EQ(e.m_line, "line1");
    });
}

TEST_F(LoginRoad, TcpflagZeroKeepsThePingPlain) {
    run([](InterfaceLinkD& e) { e.user_dbg("tcpflag", "0"); });
    login();
    ASSERT_TRUE(logged_in());
    auto ping = server.wait_for("line_ping:", kWaitMs);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->flags, 0x80);
}

TEST_F(LoginRoad, ASecondLoginIsRefusedWithTheState) {
    server.on_text("login ", after(300, answer_login_ok()));
    login();
    ASSERT_TRUE(server.wait_for("login ", kWaitMs));
    run([](InterfaceLinkD& e) { e.user_login("vid1", "acc", "tok", 7, "dev", 30, 3); });
    ASSERT_TRUE(logged_in());
    login();
    ASSERT_TRUE(cb.wait_for("onError|login|208|login in wrong status : 2", kWaitMs));
    EXPECT_EQ(events().front(), "onError|login|208|login in wrong status : 1");
    EXPECT_EQ(count_events("onLoginSuccess"), 1u);
    EXPECT_EQ(server.count("login "), 1u);
}

struct RefusalCase {
    const char* reason;
    int code;
    bool on_error;
};

std::ostream& operator<<(std::ostream& os, const RefusalCase& c) { return os << c.reason; }

class LoginRefusal : public LoginRoad, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LoginRefusal, FailsTheLoginThenReportsTheError) {
    const RefusalCase& c = GetParam();
    server.on_text("login ", answer({reply(login_refused_text(c.reason))}));
    login("tok", 30, 1);
    ASSERT_TRUE(cb.wait_for("onLoginFailed", kWaitMs));
    std::vector<std::string> expected{"onLoginFailed|" + std::to_string(c.code)};
    if (c.on_error) expected.push_back("onError|login|" + std::to_string(c.code) + "|" + c.reason);
    sleep_ms(50);
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(state(), InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
    // The refused line is dropped with the attempt.
    EXPECT_TRUE(server.wait_for_close(0, kWaitMs));
}

const RefusalCase kRefusals[] = {
    {"kick", 207, true},
    {"TokenErrorExpired", 204, true},
    {"TokenErrorWrong", 206, true},
    {"wrong account x", 209, true},
    {"busy", 201, false},
};

INSTANTIATE_TEST_SUITE_P(Reasons, LoginRefusal, ::testing::ValuesIn(kRefusals));

TEST_F(LoginRoad, AnExpiredTokenIsRefusedAgainWithoutAsking) {
    server.on_text_once("login ", answer({reply(login_refused_text("TokenErrorExpired"))}));
    login("old");
    ASSERT_TRUE(cb.wait_for("onError|login|204", kWaitMs));
    const size_t asked = discovery->requests().size();
    cb.clear();
    login("old");
    ASSERT_TRUE(cb.wait_for("onLoginFailed|204", kWaitMs));
    sleep_ms(100);
    EXPECT_EQ(events(), std::vector<std::string>{"onLoginFailed|204"});
    EXPECT_EQ(discovery->requests().size(), asked);
    login("new");
    EXPECT_TRUE(logged_in());
}

TEST_F(LoginRoad, AWrongTokenIsRememberedFor59999Ms) {
    ClockHold hold;
    server.on_text_once("login ", answer({reply(login_refused_text("TokenErrorBad"))}));
    login("bad");
    ASSERT_TRUE(cb.wait_for("onError|login|206", kWaitMs));
    cb.clear();
    run([](InterfaceLinkD&) { mynet::test_clock_advance(59999); });
    login("bad");
    ASSERT_TRUE(cb.wait_for("onLoginFailed|206", kWaitMs));
    cb.clear();
    run([](InterfaceLinkD&) { mynet::test_clock_advance(1); });
    login("bad");
    EXPECT_TRUE(logged_in());
}

TEST_F(LoginRoad, AttemptsAgainstAClosedPortBackOffThenFailOnce) {
    discovery->answer_ok({{"127.0.0.1", 1}});
    login("tok", 30, 3);
    ASSERT_TRUE(cb.wait_for("onLoginFailed", kWaitMs));
    sleep_ms(150);
    EXPECT_EQ(events(), std::vector<std::string>{"onLoginFailed|201"});
    EXPECT_EQ(log.matching("retry login").size(), 2u);
    // One discovery per attempt: waits of 100 ms, then 200 ms.
    std::vector<DiscoveryService::Request> asked = discovery->requests();
    std::vector<DiscoveryService::Clock::time_point> starts;
    for (const auto& r : asked)
        if (starts.empty() || r.at - starts.back() > std::chrono::milliseconds(50)) starts.push_back(r.at);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_GE(starts[1] - starts[0], std::chrono::milliseconds(95));
    EXPECT_GE(starts[2] - starts[1], std::chrono::milliseconds(195));
    EXPECT_EQ(state(), InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
    // The login's record ends with the last attempt's failure as its code in
    // decimal and the start of its text.
    const Json::Value details = read<Json::Value>([](InterfaceLinkD& e) {
        for (const Reporter2::Queued& q : e.rp.reports)
            if (Json::Value b = q.body(); b["type"] == "login" && b["result"] == "failed") return b["param_end"];
        return Json::Value();
    });
    EXPECT_EQ(details["tcp0_result"].asString(), std::to_string(UV_ECONNREFUSED) + ":connection");
    EXPECT_EQ(details["ecode"].asInt(), 201);
}

TEST_F(LoginRoad, ARefusedAttemptCostsOneAttemptOfTheCount) {
    server.on_text_once("login ", answer({reply(login_refused_text("busy"))}));
    login("tok", 30, 2);
    ASSERT_TRUE(logged_in());
    EXPECT_EQ(server.count("login "), 2u);
    EXPECT_EQ(count_events("onLoginFailed"), 0u);
    EXPECT_EQ(count_events("onReconnecting"), 0u);
}

TEST_F(LoginRoad, ALostLineIsResumedUnderItsLineId) {
    login();
    ASSERT_TRUE(logged_in());
    ASSERT_TRUE(server.wait_for_call("user_getmsg", kWaitMs));
    ASSERT_TRUE(wait_on_loop([&] { return !ld->m_is_polling; }, kWaitMs));
    const auto lost = std::chrono::steady_clock::now();
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onReconnected", kWaitMs));
    EXPECT_GE(std::chrono::steady_clock::now() - lost, std::chrono::milliseconds(100));
    auto relogin = server.wait_for("line_login2 ", kWaitMs);
    ASSERT_TRUE(relogin);
    EXPECT_EQ(relogin->text, "line_login2 line1 2 0");
    EXPECT_EQ(relogin->conn, 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"onLoginSuccess|7|0", "onReconnecting|1", "onReconnected|0"}));
    EXPECT_EQ(state(), InterfaceLinkD::LOGIN_STATE_LOGINED);
    EXPECT_TRUE(server.wait_for("line_ping:1", kWaitMs, Match::PREFIX, relogin->index));
    // The resumed line polls once for what it missed.
    sleep_ms(200);
    size_t polls = 0;
    for (const Received& r : server.received()) polls += r.conn == 1 && r.text.rfind("call user_getmsg ", 0) == 0;
    EXPECT_EQ(polls, 1u);
}

TEST_F(LoginRoad, AResumedSessionResubscribesItsChannel) {
    login();
    ASSERT_TRUE(logged_in());
    run([](InterfaceLinkD& e) {
        e.set_channel_name("room");
        e.m_cid = "c1";
        e.m_channel_msgid = 41;
        e.m_config_line_login3 = 1;
    });
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onReconnected", kWaitMs));
    auto relogin = server.wait_for("line_login3 ", kWaitMs);
    ASSERT_TRUE(relogin);
    const int attempt = read<int>([](InterfaceLinkD& e) { return e.m_login_session; });
    EXPECT_EQ(relogin->text, "line_login3 line1 2 41 " + std::to_string(attempt) + " vid1 acc");
    auto sub = server.wait_for("channel_sub ", kWaitMs);
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->text, "channel_sub {\"cid\":\"c1\",\"cname\":\"room\",\"msgid\":41,\"vid\":\"vid1\"}");
}

// A join's successful answer records the current channel, however many
// attempts started while its call waited; only a leave of that channel sent
// after it takes that away. The next loss of the line shows what was recorded:
// the re-login carries the channel message id and "channel_sub " follows it.
class ChannelAcrossAttempts;

struct ChannelRoad {
    const char* name;
    // Runs the session up to the join's answer.
    void (ChannelAcrossAttempts::*to_the_answer)();
    std::string relogin;
    std::string sub;  // "" when none may follow
};

std::ostream& operator<<(std::ostream& os, const ChannelRoad& c) { return os << c.name; }

class ChannelAcrossAttempts : public LoginRoad, public ::testing::WithParamInterface<ChannelRoad> {
public:
    // The join is posted while the lost line waits for its first reconnection
    // attempt; a longer back-off gives the test thread room to post in it.
    void join_in_the_reconnection_delay() {
        login();
        ASSERT_TRUE(logged_in());
        const int lost_session = read<int>([](InterfaceLinkD& e) { return e.m_login_session; });
        run([](InterfaceLinkD& e) { e.m_retry_delay_min = 1000; });
        server.close_conn(kLastConn);
        bool posted = false;
        ASSERT_TRUE(wait_on_loop(
            [&] {
                if (ld->m_login_state == InterfaceLinkD::LOGIN_STATE_RECONNECTING &&
                    ld->m_login_session == lost_session) {
                    post_join();
                    ld->m_retry_delay_min = 100;
                    posted = true;
                }
                return posted;
            },
            kWaitMs));
        ASSERT_TRUE(cb.wait_for("onReconnected", kWaitMs));
        EXPECT_EQ(state_at_join, InterfaceLinkD::LOGIN_STATE_RECONNECTING);
        EXPECT_EQ(session_at_join, lost_session) << "the join ran after the attempt started";
    }
    // The join is posted right after login; it runs when the refused first
    // attempt opens the queue, before the retry starts.
    void join_while_a_refused_first_attempt_is_retried() {
        server.on_text_once("login ", answer({reply(login_refused_text("busy"))}));
        login();
        post_join();
        ASSERT_TRUE(logged_in());
        EXPECT_EQ(server.count("login "), 2u);
        EXPECT_EQ(state_at_join, InterfaceLinkD::LOGIN_STATE_LOGINING);
        EXPECT_LT(session_at_join, read<int>([](InterfaceLinkD& e) { return e.m_login_session; }));
    }
    void join_then_leave_another() { join_then_leave("lobby"); }
    void join_then_leave_it() { join_then_leave("room"); }

    int state_at_join = -1;
    int session_at_join = -1;

private:
    void post_join() {
        post([this](InterfaceLinkD& e) {
            state_at_join = e.m_login_state;
            session_at_join = e.m_login_session;
            e.user_channel_join("room");
        });
    }
    void join_then_leave(const std::string& left) {
        login();
        ASSERT_TRUE(logged_in());
        post([left](InterfaceLinkD& e) {
            e.user_channel_join("room");
            e.user_channel_leave(left);
        });
        ASSERT_TRUE(cb.wait_for("onChannelLeaved|" + left + "|602", kWaitMs));
    }
};

TEST_P(ChannelAcrossAttempts, TheNextReloginResumesWhatTheJoinRecorded) {
    const ChannelRoad& c = GetParam();
    server.set_call_script("channel_join", CallScript::ok(parsed(R"({"cid":"c5","msgid":9})")));
    (this->*c.to_the_answer)();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(cb.wait_for("onChannelUserList", kWaitMs));
    EXPECT_EQ(cb.named("onChannelJoined"), std::vector<std::string>{"onChannelJoined|room"});
    EXPECT_EQ(cb.named("onChannelJoinFailed"), std::vector<std::string>{});
    // What channelLeave("") would leave.
    EXPECT_EQ(read<std::string>([](InterfaceLinkD& e) { return e.published_channel_name(); }),
              c.sub.empty() ? "" : "room");

    const size_t resumed = count_events("onReconnected");
    const size_t from = server.received().size();
    server.close_conn(kLastConn);
    auto relogin = server.wait_for("line_login", kWaitMs, Match::PREFIX, from);
    ASSERT_TRUE(relogin);
    EXPECT_EQ(relogin->text, c.relogin);
    ASSERT_TRUE(wait_on_loop([&] { return count_events("onReconnected") > resumed; }, kWaitMs));
    // The resumed line polls after its "channel_sub ", on the same connection.
    auto poll = server.wait_for_call("user_getmsg", kWaitMs, relogin->index);
    ASSERT_TRUE(poll);
    std::vector<std::string> subs;
    for (const Received& r : server.received())
        if (r.index > relogin->index && r.index < poll->frame.index && r.text.rfind("channel_sub ", 0) == 0)
            subs.push_back(r.text);
    EXPECT_EQ(subs, c.sub.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.sub});
}

const std::string kRoomSub = "channel_sub {\"cid\":\"c5\",\"cname\":\"room\",\"msgid\":9,\"vid\":\"vid1\"}";

const ChannelRoad kChannelRoads[] = {
    {"JoinInTheReconnectionDelay", &ChannelAcrossAttempts::join_in_the_reconnection_delay, "line_login2 line1 2 9",
     kRoomSub},
    {"JoinWhileARefusedFirstAttemptIsRetried", &ChannelAcrossAttempts::join_while_a_refused_first_attempt_is_retried,
     "line_login2 line1 2 9", kRoomSub},
    {"JoinThenLeaveAnother", &ChannelAcrossAttempts::join_then_leave_another, "line_login2 line1 2 9", kRoomSub},
    {"JoinThenLeaveIt", &ChannelAcrossAttempts::join_then_leave_it, "line_login2 line1 2 0", ""},
};

INSTANTIATE_TEST_SUITE_P(
    Roads, ChannelAcrossAttempts, ::testing::ValuesIn(kChannelRoads),
    [](const ::testing::TestParamInfo<ChannelRoad>& info) { return std::string(info.param.name); });

struct GiveUpCase {
    const char* name;
    int count;
    bool relogin_fails;
    std::vector<std::string> expected;
};

std::ostream& operator<<(std::ostream& os, const GiveUpCase& c) { return os << c.name; }

class LoginGiveUp : public LoginRoad, public ::testing::WithParamInterface<GiveUpCase> {};

TEST_P(LoginGiveUp, EndsTheSessionWhenTheCountIsSpent) {
    const GiveUpCase& c = GetParam();
    if (c.relogin_fails) server.on_text("line_login2 ", answer({close_line()}));
    login("tok", 30, c.count);
    ASSERT_TRUE(logged_in());
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onLogout", kWaitMs));
    sleep_ms(300);
    EXPECT_EQ(events(), c.expected);
    EXPECT_EQ(state(), InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
    EXPECT_FALSE(read<bool>([](InterfaceLinkD& e) { return e.published_has_line(); }));
}

const GiveUpCase kGiveUps[] = {
    {"CountZero", 0, false, {"onLoginSuccess|7|0", "onLogout|102"}},
    {"CountOneReloginRefused", 1, true, {"onLoginSuccess|7|0", "onReconnecting|1", "onLogout|102"}},
};

INSTANTIATE_TEST_SUITE_P(Counts, LoginGiveUp, ::testing::ValuesIn(kGiveUps));

TEST_F(LoginRoad, ARefusedReloginEndsTheSessionWithItsCode) {
    server.on_text("line_login2 ", answer({reply("line_login_res kick")}));
    login();
    ASSERT_TRUE(logged_in());
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onLogout", kWaitMs));
    EXPECT_EQ(events(), (std::vector<std::string>{"onLoginSuccess|7|0", "onReconnecting|1", "onLogout|103"}));
    EXPECT_TRUE(log.contains("error : line_login_res kick"));
}

TEST_F(LoginRoad, LogoutAsksTheServerAndEndsWithoutHandingTheLogOver) {
    run([](InterfaceLinkD& e) { e._log_report_rate = 100; });
    login();
    ASSERT_TRUE(logged_in());
    post([](InterfaceLinkD& e) { e.user_logout(); });
    login();
    ASSERT_TRUE(cb.wait_for("onLogout|101", kWaitMs));
    auto call = server.wait_for_call("user_logout", kWaitMs);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->request["line"], "line1");
    EXPECT_EQ(call->request["ver_clear"], 0);
    // The login posted right after waited for the logout, then succeeded.
    ASSERT_TRUE(wait_on_loop([&] { return ld->m_login_state == InterfaceLinkD::LOGIN_STATE_LOGINED; }, kWaitMs));
    EXPECT_EQ(events(), (std::vector<std::string>{"onLoginSuccess|7|0", "onLogout|101", "onLoginSuccess|7|0"}));
    for (const std::string& e : cb.events()) EXPECT_NE(e.rfind("onDbg", 0), 0u) << e;
}

TEST_F(LoginRoad, LogoutEndsOnTheCallTimeOutWhenTheServerIsSilent) {
    server.set_call_script("user_logout", CallScript::silent());
    login();
    ASSERT_TRUE(logged_in());
    post([](InterfaceLinkD& e) { e.user_logout(); });
    ASSERT_TRUE(server.wait_for_call("user_logout", kWaitMs));
    advance(10001);
    ASSERT_TRUE(cb.wait_for("onLogout|101", kWaitMs));
}

TEST_F(LoginRoad, LogoutWithoutASessionIsRefused) {
    post([](InterfaceLinkD& e) { e.user_logout(); });
    ASSERT_TRUE(cb.wait_for("onError", kWaitMs));
    EXPECT_EQ(events(), std::vector<std::string>{"onError|logout|108|logout when logouted, ignore this action"});
}

TEST_F(LoginRoad, AMalformedFrameDropsTheWholeReadAndTheLineIsResumed) {
    login();
    ASSERT_TRUE(logged_in());
    // A length shorter than the header cannot be framed.
    server.send_raw(kLastConn, text_frame(0x80, "notify kick") + line_frame_with_length(0x80, 2, ""));
    ASSERT_TRUE(cb.wait_for("onReconnected", kWaitMs));
    EXPECT_EQ(events(), (std::vector<std::string>{"onLoginSuccess|7|0", "onReconnecting|1", "onReconnected|0"}));
}

struct NotifyCase {
    const char* text;
    const char* event;  // "" for none
};

std::ostream& operator<<(std::ostream& os, const NotifyCase& c) { return os << c.text; }

class LoginNotify : public LoginRoad, public ::testing::WithParamInterface<NotifyCase> {};

TEST_P(LoginNotify, EndsTheSessionOrIsDropped) {
    const NotifyCase& c = GetParam();
    login();
    ASSERT_TRUE(logged_in());
    server.push_text(kLastConn, c.text);
    server.push_text(kLastConn, "notify outofsync");
    ASSERT_TRUE(cb.wait_for("onLogout", kWaitMs));
    sleep_ms(50);
    // A second ending cause finds no session.
    std::vector<std::string> expected{"onLoginSuccess|7|0", *c.event ? c.event : "onLogout|102"};
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(log.contains("unknown msg"), std::string(c.text) == "hello");
}

const NotifyCase kNotifies[] = {
    {"notify kick", "onLogout|103"},         {"notify kicked", "onLogout|103"},
    {"notify TokenErrorExpired", "onLogout|105"}, {"notify wrong_line", "onLogout|103"},
    {"notify unknown", ""},                   {"hello", ""},
};

INSTANTIATE_TEST_SUITE_P(Texts, LoginNotify, ::testing::ValuesIn(kNotifies));

class LoginCallMode : public LoginRoad, public ::testing::WithParamInterface<int> {};

// The session ends after the refused command's own result; in call mode 1
// the calls still pending end with it.
TEST_P(LoginCallMode, ACallRefusedWithKickEndsTheSession) {
    Json::Value config(Json::objectValue);
    config["config_call_mode"] = GetParam();
    server.on_text_once("login ", answer({reply(login_ok_text(7, "line1", config))}));
    server.set_call_script("channel_join", CallScript::failed("kick"));
    server.set_call_script("channel_leave", CallScript::silent());
    login();
    ASSERT_TRUE(logged_in());
    post([](InterfaceLinkD& e) {
        e.user_channel_leave("other");
        e.user_channel_join("room");
    });
    ASSERT_TRUE(cb.wait_for("onLogout", kWaitMs));
    sleep_ms(50);
    std::vector<std::string> got = events();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[1], "onChannelJoinFailed|room|300");
    EXPECT_EQ(std::count(got.begin(), got.end(), "onLogout|103"), 1);
    EXPECT_EQ(count_events("onChannelLeaved"), GetParam() == 1 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, LoginCallMode, ::testing::Values(0, 1));

TEST_F(LoginRoad, ASessionWithoutSignsOfLifeEndsAfter185000Ms) {
    server.on_text("line_ping:", answer({}));
    // A poll answer is a sign of life too.
    server.on_text("call user_getmsg ", answer({}));
    clock_past(905002);
    login();
    ASSERT_TRUE(logged_in());
    ClockHold hold;
    run([](InterfaceLinkD& e) { e.m_last_active_time = mynet::mono_time_ms() - 185000; });
    sleep_ms(200);
    EXPECT_EQ(count_events("onLogout"), 0u);
    run([](InterfaceLinkD& e) {
        e.m_isbackground = true;
        e.m_last_active_time = mynet::mono_time_ms() - 905000;
    });
    sleep_ms(200);
    EXPECT_EQ(count_events("onLogout"), 0u);
    run([](InterfaceLinkD& e) { e.m_last_active_time = mynet::mono_time_ms() - 905002; });
    ASSERT_TRUE(cb.wait_for("onLogout|102", kWaitMs));
}

TEST_F(LoginRoad, TheWatchdogFailsAFirstLoginThatOutlivesItsWindow) {
    server.on_text("login ", answer({}));
    login("tok", 30, 3);
    ASSERT_TRUE(server.wait_for("login ", kWaitMs));
    advance(30001);
    ASSERT_TRUE(cb.wait_for("onLoginFailed|201", kWaitMs));
    EXPECT_TRUE(server.wait_for_close(0, kWaitMs));
}

// A retry delayed before a final failure must not fire into the session of a
// later login.
TEST_F(LoginRoad, ARetryOfAnEndedLoginStaysDropped) {
    server.on_text_once("login ", answer({reply(login_refused_text("busy"))}));
    login("tok", 30, 3);
    ASSERT_TRUE(log.wait_for("retry login", kWaitMs));
    run([](InterfaceLinkD& e) {
        mynet::test_clock_advance(30001);
        e.login_timeout();
    });
    ASSERT_TRUE(cb.wait_for("onLoginFailed|201", kWaitMs));
    login("tok2");
    ASSERT_TRUE(logged_in());
    sleep_ms(300);
    EXPECT_EQ(events(), (std::vector<std::string>{"onLoginFailed|201", "onLoginSuccess|7|0"}));
    EXPECT_EQ(server.connection_count(), 2);
}

// A login answer that arrives after the login has finally failed is stale.
TEST_F(LoginRoad, ALateLoginAnswerChangesNothing) {
    server.on_text("login ", after(300, answer_login_ok()));
    login("tok", 30, 3);
    ASSERT_TRUE(server.wait_for("login ", kWaitMs));
    run([](InterfaceLinkD& e) {
        mynet::test_clock_advance(30001);
        e.login_timeout();
    });
    ASSERT_TRUE(cb.wait_for("onLoginFailed|201", kWaitMs));
    sleep_ms(400);
    run([](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_line, "");
        EXPECT_FALSE(e.m_tcp_connected);
        EXPECT_EQ(e.m_login_state, InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
    });
    EXPECT_EQ(events(), std::vector<std::string>{"onLoginFailed|201"});
}

TEST_F(LoginRoad, AnOutOfPlaceLoginAnswerIsNotTaken) {
    server.on_text("line_login2 ", answer({reply(login_ok_text(9, "other"))}));
    login();
    ASSERT_TRUE(logged_in());
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onLogout", kWaitMs));
    EXPECT_EQ(events(), (std::vector<std::string>{"onLoginSuccess|7|0", "onReconnecting|1", "onLogout|102"}));
    EXPECT_EQ(read<uint32_t>([](InterfaceLinkD& e) { return e.m_uid; }), 0u);
}

TEST_F(LoginRoad, AReloginAnswerDuringAFirstLoginIsNotTaken) {
    server.on_text_once("login ", answer({reply("line_login_res ok")}));
    login("tok", 30, 1);
    ASSERT_TRUE(server.wait_for("login ", kWaitMs));
    sleep_ms(200);
    EXPECT_EQ(state(), InterfaceLinkD::LOGIN_STATE_LOGINING);
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(log.contains("error : line_login_res ok"));
}

TEST_F(LoginRoad, AnAnswerWithoutALineIdIsRetriedAsMalformed) {
    server.on_text_once("login ", answer({reply("login_res ok 0 {\"uid\":7,\"line\":\"\"}")}));
    login("tok", 30, 2);
    ASSERT_TRUE(logged_in());
    EXPECT_EQ(events(), (std::vector<std::string>{"onError|login|1002|wrong login resp", "onLoginSuccess|7|0"}));
    EXPECT_EQ(server.count("login "), 2u);
}

TEST_F(LoginRoad, ConfigKeysAreKeptAcrossAnswersAndBadOnesIgnored) {
    Json::Value config(Json::objectValue);
    config["config_ping_time"] = 20000;
    config["config_call_concurrent"] = 0;
    config["config_call_timeout"] = -5;
    config["config_msg_set"] = "1";
    server.on_text_once("login ", answer({reply(login_ok_text(7, "line1", config))}));
    login();
    ASSERT_TRUE(logged_in());
    run([](InterfaceLinkD& e) {
        EXPECT_EQ(e.m_config_ping_time, 20000);
        EXPECT_EQ(e.m_config_call_concurrent, 60);
        EXPECT_EQ(e.m_config_call_timeout, 60000);
        EXPECT_EQ(e.m_config_msg_set, 0);
    });
    post([](InterfaceLinkD& e) { e.user_logout(); });
    ASSERT_TRUE(cb.wait_for("onLogout|101", kWaitMs));
    login("tok2");
    ASSERT_TRUE(wait_on_loop([&] { return count_events("onLoginSuccess") == 2; }, kWaitMs));
    EXPECT_EQ(read<int>([](InterfaceLinkD& e) { return e.m_config_ping_time; }), 20000);
}

TEST_F(LoginRoad, CallsQueuedDuringTheLoginLeaveWithTheLineIdOnSuccess) {
    server.on_text_once("login ", after(200, answer_login_ok()));
    login();
    ASSERT_TRUE(server.wait_for("login ", kWaitMs));
    run([](InterfaceLinkD& e) { e.user_channel_join("room"); });
    ASSERT_TRUE(logged_in());
    auto call = server.wait_for_call("channel_join", 500);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->request["line"], "line1");
}

TEST_F(LoginRoad, TwoOfferedServersRaceAndOnlyTheWinnerLogsIn) {
    LineServer second("127.0.0.2");
    ASSERT_TRUE(second.ok());
    discovery->answer_ok({{"127.0.0.1", server.port()}, {"127.0.0.2", second.port()}});
    login();
    ASSERT_TRUE(logged_in());
    ASSERT_TRUE(server.wait_for_connections(1, kWaitMs));
    ASSERT_TRUE(second.wait_for_connections(1, kWaitMs));
    sleep_ms(100);
    EXPECT_EQ(server.count("login ") + second.count("login "), 1u);
    LineServer& loser = server.count("login ") == 1 ? second : server;
    EXPECT_TRUE(loser.wait_for_close(0, kWaitMs));
}

struct StaleBranchCase {
    const char* name;
    std::vector<std::string> addresses;  // the late answer for the slow server's name
    const char* line;
};

std::ostream& operator<<(std::ostream& os, const StaleBranchCase& c) { return os << c.name; }

class LoginStaleBranch : public LoginRoad, public ::testing::WithParamInterface<StaleBranchCase> {};

// A branch of the first login that connects or fails only once the lost line
// is being resumed (its discovery still running) names the step it belongs
// to, not the one the new attempt is in.
TEST_P(LoginStaleBranch, NamesItsOwnStep) {
    const StaleBranchCase& c = GetParam();
    // The resumed attempt's discovery is left running.
    allow_timeouts(10000);
    ScriptedName slow("slow-line.test", {});
    slow.hold();
    discovery->answer_ok({{"slow-line.test", server.port()}, {"127.0.0.1", server.port()}});
    login();
    ASSERT_TRUE(logged_in());
    ASSERT_TRUE(slow.wait_lookups(1, kWaitMs));
    discovery->stay_silent();
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onReconnecting|1", kWaitMs));
    ASSERT_TRUE(wait_on_loop([&] { return ld->m_login_session == 2 && ld->m_login_session_step == "lbs"; }, kWaitMs));
    slow.answer(c.addresses);
    slow.release();
    EXPECT_TRUE(log.wait_for(c.line, kWaitMs)) << ::testing::PrintToString(log.matching("wrong state"));
}

const StaleBranchCase kStaleBranches[] = {
    {"Connected", {"127.0.0.1"}, "close on connected : wrong state 1 : 2 conn"},
    {"Failed", {}, "wrong state 1 : 2 conn"},
};

INSTANTIATE_TEST_SUITE_P(Ends, LoginStaleBranch, ::testing::ValuesIn(kStaleBranches));

// The log shows the token's first 6 characters wherever the session writes
// it, in the lines the application gets and in the ring it uploads; the
// server gets it whole.
TEST_F(LoginRoad, NoLogLineHoldsTheWholeToken) {
    const std::string token = "Tk40ch-abcdefghijklmnopqrstuvwxyz0123456";
    ASSERT_EQ(token.size(), 40u);
    LogClear(0x7FFFFFFF);
    login(token);
    ASSERT_TRUE(logged_in());
    auto req = server.wait_for("login ", kWaitMs);
    ASSERT_TRUE(req);
    EXPECT_NE(req->text.find("\"token\":\"" + token + "\""), std::string::npos);
    server.close_conn(0);
    ASSERT_TRUE(cb.wait_for("onReconnected", kWaitMs));
    post([](InterfaceLinkD& e) { e.user_logout(); });
    ASSERT_TRUE(cb.wait_for("onLogout|101", kWaitMs));

    EXPECT_TRUE(log.contains("send : [0 " + std::to_string(req->text.size()) + "] login {"));
    EXPECT_TRUE(log.contains("\"token\":\"Tk40ch\",\"uid\":7"));
    EXPECT_TRUE(log.contains(" acc Tk40ch 7 dev"));
    for (const std::string& l : log.lines()) EXPECT_EQ(l.find(token.substr(0, 7)), std::string::npos) << l;
    int count = 0;
    const std::string ring = LogGetAll(count);
    EXPECT_NE(ring.find("Tk40ch"), std::string::npos);
    EXPECT_EQ(ring.find(token.substr(0, 7)), std::string::npos);
}

TEST_F(LoginRoad, FinalRefusalsLeaveNoLineOrWatchdogBehind) {
    server.on_text("login ", answer({reply(login_refused_text("kick"))}));
    for (int i = 0; i < 30; ++i) {
        cb.clear();
        login("t" + std::to_string(i), 30, 1);
        ASSERT_TRUE(cb.wait_for("onLoginFailed|207", kWaitMs)) << i;
    }
    ASSERT_EQ(server.connection_count(), 30);
    for (int c = 0; c < 30; ++c) EXPECT_TRUE(server.wait_for_close(c, kWaitMs)) << c;
    EXPECT_TRUE(wait_on_loop([] { return line_watchdogs() == 0; }, kWaitMs));
}

struct PushCase {
    const char* name;
    std::vector<std::string> texts;
    size_t instant_events;
};

std::ostream& operator<<(std::ostream& os, const PushCase& c) { return os << c.name; }

class LoginPush : public LoginRoad, public ::testing::WithParamInterface<PushCase> {};

// Pushed messages reach the application once, in order, and only when new.
TEST_P(LoginPush, DeliversNewMessagesOnce) {
    const PushCase& c = GetParam();
    login();
    ASSERT_TRUE(logged_in());
    run([](InterfaceLinkD& e) { e.m_channel_msgid = 7; });
    for (const std::string& text : c.texts) server.push_text(kLastConn, text);
    server.push_text(kLastConn, "notify recvmsg [1,\"msg u9 _ _ instant end\"]");
    ASSERT_TRUE(cb.wait_for("onMessageInstantReceive|u9|0|end", kWaitMs));
    EXPECT_EQ(count_events("onMessageInstantReceive|u1"), c.instant_events);
}

const PushCase kPushes[] = {
    {"ChannelOlderThanTheLastIsDropped", {"notify channel2 5 msg u1 _ _ instant x"}, 0},
    {"ChannelNotOlderIsTaken", {"notify channel2 7 msg u1 _ _ instant x"}, 1},
    {"PlainChannelIsTaken", {"notify channel msg u1 _ _ instant x"}, 1},
    {"RepeatedMessageIdIsDropped",
     {"notify recvmsg_by_msgid msg-v3 id1 u1 _ _ instant _ x", "notify recvmsg_by_msgid msg-v3 id1 u1 _ _ instant _ x"},
     1},
};

INSTANTIATE_TEST_SUITE_P(Texts, LoginPush, ::testing::ValuesIn(kPushes));

TEST_F(LoginRoad, APushedVersionOutOfOrderIsPolledFor) {
    login();
    ASSERT_TRUE(logged_in());
    const size_t from = server.received().size();
    server.push_text(kLastConn, "notify recvmsg [5,\"msg u1 _ _ instant x\"]");
    ASSERT_TRUE(server.wait_for_call("user_getmsg", kWaitMs, from));
    sleep_ms(50);
    EXPECT_EQ(count_events("onMessageInstantReceive"), 0u);
    EXPECT_EQ(read<uint32_t>([](InterfaceLinkD& e) { return e.m_ver_notify; }), 5u);
}

// In call mode 1 a resumed line first sends the calls that were in flight,
// then the queued ones, each once.
TEST_F(LoginRoad, InCallModeOneAResumedLineResendsInFlightCallsFirst) {
    Json::Value config(Json::objectValue);
    config["config_call_mode"] = 1;
    server.on_text_once("login ", answer({reply(login_ok_text(7, "line1", config))}));
    server.set_call_script("channel_join", CallScript::silent());
    server.on_text("line_login2 ", after(300, answer({reply("line_login_res ok")})));
    login();
    ASSERT_TRUE(logged_in());
    post([](InterfaceLinkD& e) { e.user_channel_join("a"); });
    auto first = server.wait_for_call("channel_join", kWaitMs);
    ASSERT_TRUE(first);
    server.close_conn(0);
    auto relogin = server.wait_for("line_login2 ", kWaitMs);
    ASSERT_TRUE(relogin);
    post([](InterfaceLinkD& e) { e.user_channel_join("b"); });
    ASSERT_TRUE(cb.wait_for("onReconnected", kWaitMs));
    sleep_ms(100);
    std::vector<ReceivedCall> sent;
    for (const Received& r : server.received())
        if (auto call = parse_call(r); call && call->method == "channel_join") sent.push_back(*call);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].id, first->id);
    EXPECT_EQ(sent[1].frame.conn, 1);
    EXPECT_NE(sent[2].frame.text.find("\"b\""), std::string::npos);
    EXPECT_NE(sent[2].id, first->id);
    EXPECT_GT(sent[1].frame.index, relogin->index);
}

TEST_F(LoginRoad, AHugeWindowIsClampedNotWrapped) {
    server.on_text("login ", answer({}));
    run([](InterfaceLinkD& e) { e.user_login("vid1", "acc", "tok", 7, "dev", 3000000, 3); });
    EXPECT_EQ(read<int>([](InterfaceLinkD& e) { return e.m_retry_max_time; }), 2147483647);
    sleep_ms(150);
    EXPECT_EQ(state(), InterfaceLinkD::LOGIN_STATE_LOGINING);
    EXPECT_TRUE(events().empty());
}

// Callers' threads read the published copies while the engine logs in,
// joins and logs out.
TEST_F(LoginRoad, PublishedValuesAreReadSafelyFromAnotherThread) {
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop) {
            const int s = ld->published_login_state();
            const bool has_line = ld->published_has_line();
            const std::string channel = ld->published_channel_name();
            EXPECT_TRUE(s >= 0 && s <= 3);
            EXPECT_TRUE(channel.empty() || channel == "room");
            (void)has_line;
            ++reads;
        }
    });
    for (int round = 0; round < 3; ++round) {
        cb.clear();
        login("tok" + std::to_string(round));
        ASSERT_TRUE(cb.wait_for("onLoginSuccess", kWaitMs));
        post([](InterfaceLinkD& e) { e.user_channel_join("room"); });
        ASSERT_TRUE(cb.wait_for("onChannelJoined", kWaitMs));
        post([](InterfaceLinkD& e) { e.user_logout(); });
        ASSERT_TRUE(cb.wait_for("onLogout", kWaitMs));
    }
    // Under load the reader may not have been scheduled yet.
    while (reads.load() == 0) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_FALSE(ld->published_has_line());
    EXPECT_EQ(ld->published_login_state(), InterfaceLinkD::LOGIN_STATE_NOT_LOGIN);
}

}  // namespace
