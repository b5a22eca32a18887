// The line connection against the loopback line server: framing on the
// wire, the flags adopted at login, the login-answer time-out, the ping
// schedule and the pong time-out. Time-outs are reached by moving the clock
// forward; the 500 ms watchdog itself ticks in real time.

#include <gtest/gtest.h>

#include <string>

#include "if_linkd.h"
#include "peers/line_server.h"
#include "support/engine_fixture.h"
#include "support/line_fixture.h"
#include "support/log_capture.h"

namespace {

using nuvra_test::LineFixture;
using nuvra_test::LineServer;
using Info = LineFixture::Info;

constexpr int kWait = 3000;

bool logged_in(InterfaceLinkD&, Info& info) { return info && info->state == InterfaceLinkD::CONN_STATE_LOGINED; }

bool pong_answered(InterfaceLinkD&, Info& info) {
    return info && info->last_pong_recv_time != 0 && info->last_pong_recv_time >= info->last_ping_send_time;
}

class LineConn : public nuvra_test::EngineFixture {
protected:

    void SetUp() override { ASSERT_TRUE(server.ok()); }

    // Connects, waits for the login answer and the first pong.
    void log_in() {
        ASSERT_TRUE(line.connect(server.port()));
        ASSERT_TRUE(line.wait_on_loop(logged_in, kWait));
        ASSERT_TRUE(server.wait_for("line_ping:1", kWait));
    }

    template <typename T> T read_on_loop(const std::function<T(InterfaceLinkD&, Info&)>& f) {
        T v{};
        line.on_loop([&](InterfaceLinkD& e, Info& i) { v = f(e, i); });
        return v;
    }
    uint64_t login_time() {
        return read_on_loop<uint64_t>([](InterfaceLinkD&, Info& i) { return i->login_time; });
    }
    uint64_t last_ping() {
        return read_on_loop<uint64_t>([](InterfaceLinkD&, Info& i) { return i->last_ping_send_time; });
    }
    uint64_t last_pong() {
        return read_on_loop<uint64_t>([](InterfaceLinkD&, Info& i) { return i->last_pong_recv_time; });
    }
    // Moves the clock on so that `ms` have passed since `since`.
    static void advance_to(uint64_t since, uint64_t ms) {
        const auto passed = static_cast<int64_t>(mynet::mono_time_ms() - since);
        mynet::test_clock_advance(static_cast<int64_t>(ms) - passed);
    }

    LineServer server;
    LineFixture line{engine.get()};
};

TEST_F(LineConn, LoginGoesOutPlainAndThePingCompressed) {
    nuvra_test::LogCapture cap;
    const std::string login = "login {\"a\"}";  // 11 bytes
    ASSERT_TRUE(line.connect(server.port(), login));
    ASSERT_TRUE(line.wait_on_loop(logged_in, kWait));
    auto first = server.wait_for("login ", kWait);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->flags, 0x80);
    EXPECT_EQ(first->length, 15u);
    EXPECT_EQ(first->text, login);
    auto ping = server.wait_for("line_ping:", kWait);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->flags, 0x81);
    EXPECT_EQ(ping->text, "line_ping:1");
    EXPECT_GT(ping->length, 4u);
    EXPECT_TRUE(server.errors().empty());  // the body inflated and filled the frame
    EXPECT_TRUE(cap.contains("tcp.1           send : [0 11] login {\"a\"}"));
    EXPECT_TRUE(cap.contains("tcp.1           send : [1 " + std::to_string(ping->length - 4) + "] line_ping:1"));
}

// Frames with flags 0 follow the connection: plain before the login answer,
// inflated after it.
TEST_F(LineConn, FlagsZeroFollowTheConnectionFlag) {
    server.set_reply_flags(0);
    log_in();
    ASSERT_TRUE(line.wait_on_loop(pong_answered, kWait));
    server.push_text(nuvra_test::kLastConn, "notify msg 5", 0);
    auto has = [this](const std::string& m) {
        for (const auto& got : line.messages())
            if (got == m) return true;
        return false;
    };
    ASSERT_TRUE(line.wait_on_loop([&](InterfaceLinkD&, Info&) { return has("notify msg 5"); }, kWait));
    EXPECT_EQ(line.messages().front().rfind("login_res ok ", 0), 0u);
    EXPECT_TRUE(has("line_pong:1"));
}

TEST_F(LineConn, LargeFrameInSmallPiecesArrivesWhole) {
    log_in();
    std::string big(900000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    server.send_raw(nuvra_test::kLastConn, nuvra_test::text_frame(0x80, big) + nuvra_test::text_frame(0x81, "tail"),
                    {1000, 0});
    auto done = [this] {
        auto m = line.messages();
        return !m.empty() && m.back() == "tail";
    };
    ASSERT_TRUE(line.wait_on_loop([&](InterfaceLinkD&, Info&) { return done(); }, kWait));
    auto m = line.messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], big);
    EXPECT_FALSE(line.closed());
}

TEST_F(LineConn, UndecodableFrameClosesTheLine) {
    nuvra_test::LogCapture cap;
    log_in();
    // The pong first, so that the bad frame starts a read of its own.
    ASSERT_TRUE(line.wait_on_loop(pong_answered, kWait));
    server.send_raw(nuvra_test::kLastConn, nuvra_test::line_frame_with_length(0x80, 2, "xx"));
    ASSERT_TRUE(line.wait_closed(kWait));
    EXPECT_TRUE(cap.contains("tcp.1           decode packet error size=2, packet.size()=0"));
    EXPECT_TRUE(server.wait_for_close(nuvra_test::kLastConn, kWait));
}

TEST_F(LineConn, UnansweredLoginClosesAfterFiveSeconds) {
    nuvra_test::LogCapture cap;
    server.on_text("login ", nuvra_test::answer({}));
    ASSERT_TRUE(line.connect(server.port()));
    const uint64_t sent = login_time();
    advance_to(sent, 4950);
    ASSERT_TRUE(line.wait_closed(kWait));
    const uint64_t after = line.closed_at_ms() - sent;
    EXPECT_GT(after, 5000u);
    EXPECT_LE(after, 5600u);
    EXPECT_TRUE(cap.contains("line login timeout 1"));
    EXPECT_TRUE(server.wait_for_close(nuvra_test::kLastConn, kWait));
}

TEST_F(LineConn, AnsweredLoginIsNotTimedOut) {
    log_in();
    mynet::test_clock_advance(6000);
    EXPECT_FALSE(line.wait_closed(700));
}

// Each pong schedules the next ping `m_config_ping_time` after it.
TEST_F(LineConn, PingFollowsEachPongAfterThePingTime) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_config_ping_time = 4000; });
    log_in();
    for (int n = 2; n <= 3; ++n) {
        ASSERT_TRUE(line.wait_on_loop(pong_answered, kWait));
        const uint64_t pong = last_pong();
        advance_to(pong, 3000);
        EXPECT_FALSE(server.wait_for("line_ping:" + std::to_string(n), 600));
        advance_to(pong, 3950);
        ASSERT_TRUE(server.wait_for("line_ping:" + std::to_string(n), kWait));
        const uint64_t gap = last_ping() - pong;
        EXPECT_GT(gap, 4000u);
        EXPECT_LE(gap, 4600u);
    }
    EXPECT_FALSE(line.closed());
}

// A pong stamped in the millisecond of its ping still answers it.
TEST_F(LineConn, SameMillisecondPongKeepsThePingsGoing) {
    server.on_text("line_ping:", nuvra_test::answer({}));
    log_in();
    line.on_loop([](InterfaceLinkD&, Info& i) { i->last_pong_recv_time = i->last_ping_send_time; });
    mynet::test_clock_advance(9900);
    ASSERT_TRUE(server.wait_for("line_ping:2", kWait));
    EXPECT_FALSE(line.closed());
}

class LinePongWatchdog : public LineConn, public testing::WithParamInterface<int64_t> {};

// A step of the system clock either way, right after the ping, changes
// nothing: the line closes 8 s after it.
TEST_P(LinePongWatchdog, WithheldPongClosesWithinEightAndAHalfSeconds) {
    nuvra_test::LogCapture cap;
    server.on_text("line_ping:", nuvra_test::answer({}));
    log_in();
    const uint64_t ping = last_ping();
    mynet::test_wall_clock_step(GetParam());
    advance_to(ping, 7500);
    EXPECT_FALSE(line.wait_closed(300));
    advance_to(ping, 7950);
    ASSERT_TRUE(line.wait_closed(kWait));
    const uint64_t after = line.closed_at_ms() - ping;
    EXPECT_GT(after, 8000u);
    EXPECT_LE(after, 8600u);
    EXPECT_TRUE(cap.matching("line login timeout").empty());
    EXPECT_EQ(server.count("line_ping:"), 1u);
    mynet::test_wall_clock_step(-GetParam());
}

INSTANTIATE_TEST_SUITE_P(WallClock, LinePongWatchdog, testing::Values(0, -3600000, 3600000),
                         [](const testing::TestParamInfo<int64_t>& info) {
                             return std::string(info.param == 0 ? "Steady" : info.param < 0 ? "StepBack" : "StepForward");
                         });

TEST_F(LineConn, NoPingsInTheBackground) {
    log_in();
    ASSERT_TRUE(line.wait_on_loop(pong_answered, kWait));
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_isbackground = true; });
    mynet::test_clock_advance(30000);
    EXPECT_FALSE(server.wait_for("line_ping:2", 1100));
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_isbackground = false; });
    EXPECT_TRUE(server.wait_for("line_ping:2", kWait));
    EXPECT_FALSE(line.closed());
}

TEST_F(LineConn, PingSentBeforeTheBackgroundStillTimesOut) {
    server.on_text("line_ping:", nuvra_test::answer({}));
    log_in();
    const uint64_t ping = last_ping();
    line.on_loop([](InterfaceLinkD& e, Info&) { e.m_isbackground = true; });
    advance_to(ping, 7950);
    ASSERT_TRUE(line.wait_closed(kWait));
    EXPECT_GT(line.closed_at_ms() - ping, 8000u);
    EXPECT_EQ(server.count("line_ping:"), 1u);
}

TEST_F(LineConn, TextThatDoesNotCompressIsNotSent) {
    nuvra_test::LogCapture cap;
    log_in();
    line.on_loop([](InterfaceLinkD&, Info& i) {
        i->conn_send_msg(std::string(953135, 'x'));
        i->conn_send_msg("after");
    });
    auto after = server.wait_for("after", kWait);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->index, server.received().size() - 1);
    for (const auto& r : server.received()) EXPECT_NE(r.text.size(), 0u);
    EXPECT_TRUE(cap.contains("tcp.1           send error : too long [1 953135] xxxx"));
    EXPECT_TRUE(server.errors().empty());
}

TEST_F(LineConn, CloseFreesTheConnection) {
    nuvra_test::LogCapture cap;
    log_in();
    std::weak_ptr<InterfaceLinkD::ConnInfo> weak;
    line.on_loop([&](InterfaceLinkD& e, Info& i) {
        weak = i;
        i.reset();
        e.m_conn_info.reset();
    });
    // Only the watchdog holds it now, and keeps it.
    EXPECT_FALSE(line.wait_on_loop([&](InterfaceLinkD&, Info&) { return weak.expired(); }, 200));
    line.on_loop([&](InterfaceLinkD&, Info&) {
        auto i = weak.lock();
        i->close();
        i->close();
        i->conn_send_msg("never sent");
    });
    ASSERT_TRUE(line.wait_closed(kWait));
    EXPECT_TRUE(line.wait_on_loop([&](InterfaceLinkD&, Info&) { return weak.expired(); }, kWait));
    EXPECT_TRUE(server.wait_for_close(nuvra_test::kLastConn, kWait));
    EXPECT_TRUE(cap.matching("close when closed").empty());
    EXPECT_TRUE(cap.matching("never sent").empty());
    EXPECT_EQ(server.count("never sent"), 0u);
}

TEST_F(LineConn, StopConnClosesTheCurrentLine) {
    line.on_loop([](InterfaceLinkD& e, Info&) { e.stop_conn(); });  // none yet: nothing happens
    log_in();
    line.on_loop([](InterfaceLinkD& e, Info&) { e.stop_conn(); });
    ASSERT_TRUE(line.wait_closed(kWait));
    EXPECT_TRUE(server.wait_for_close(nuvra_test::kLastConn, kWait));
    line.on_loop([](InterfaceLinkD& e, Info& i) {
        EXPECT_EQ(i->state, InterfaceLinkD::CONN_STATE_CLOSED);
        EXPECT_EQ(i->conn, nullptr);
        EXPECT_FALSE(i->timer.active());
        e.stop_conn();  // again: harmless
    });
}

}  // namespace
