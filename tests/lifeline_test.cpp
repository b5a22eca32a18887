#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "if_linkd.h"
#include "lifeline.h"
#include "peers/line_server.h"
#include "support/engine_fixture.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"

using nuvra_test::run_on_loop;

namespace {

constexpr int kWaitMs = 3000;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ------------------------------------------------------------ the token

// Both forms of guard, before and after their owner goes. The callback's
// arguments arrive as given: a reference stays a reference.
TEST(Lifeline, GuardRunsItsFunctionOnlyWhileTheOwnerLives) {
    std::vector<std::string> ran;
    auto record = [&ran](const char* who) {
        return [&ran, who](int n, std::list<std::string>& out) {
            ran.push_back(std::string(who) + " " + std::to_string(n));
            out.push_back(who);
        };
    };
    std::function<void(int, std::list<std::string>&)> plain;
    std::function<void(int, std::list<std::string>&)> with_gone;
    std::list<std::string> out;
    {
        Lifeline owner;
        plain = owner.guard(record("f"));
        with_gone = owner.guard(record("f"), record("gone"));
        plain(1, out);
        with_gone(2, out);
    }
    plain(3, out);
    with_gone(4, out);
    EXPECT_EQ(ran, (std::vector<std::string>{"f 1", "f 2", "gone 4"}));
    EXPECT_EQ(out, (std::list<std::string>{"f", "f", "gone"}));
}

TEST(Lifeline, WatchTellsButNeverProlongsTheOwnersLife) {
    EXPECT_FALSE(Lifeline::Watch().alive()) << "a watch of nothing";
    auto owner = std::make_unique<Lifeline>();
    Lifeline::Watch watch = owner->watch();
    Lifeline::Watch copy = watch;
    EXPECT_TRUE(watch.alive());
    owner.reset();
    EXPECT_FALSE(watch.alive());
    EXPECT_FALSE(copy.alive());
}

// A delayed callback on the real loop thread, with its owner kept or gone
// by the time it fires.
TEST(Lifeline, DelayedCallbackAfterItsOwnerIsGoneDoesNothing) {
    for (bool owner_kept : {true, false}) {
        SCOPED_TRACE(owner_kept ? "owner kept" : "owner gone");
        auto fired = std::make_shared<bool>(false);
        std::unique_ptr<Lifeline> owner;
        run_on_loop([&] {
            owner = std::make_unique<Lifeline>();
            mynet::do_later(10, owner->guard([fired] { *fired = true; }));
            if (!owner_kept) owner.reset();
        });
        bool seen = false;
        for (int waited = 0; waited < 200 && !seen; waited += 5) {
            sleep_ms(5);
            run_on_loop([&] { seen = *fired; });
        }
        EXPECT_EQ(seen, owner_kept);
        run_on_loop([&] { owner.reset(); });
    }
}

// ------------------------------------------------------------ the engine's pieces

using EngineGone = nuvra_test::EngineFixture;

// The connect step's connection comes up after the engine is gone: it is
// closed unused, and the step's end reports nowhere.
TEST_F(EngineGone, ConnectionUpAfterTheEngineIsGoneIsClosedUnused) {
    nuvra_test::LineServer server;
    ASSERT_TRUE(server.ok());
    nuvra_test::LogCapture log;
    allow_timeouts(10000);  // the connect step's own time-out, which holds its job
    run_on_loop([&] {
        engine->m_tcp_addrs = {Addr{"127.0.0.1", server.port()}};
        engine->m_login_session = 1;
        engine->m_login_session_step = "conn";
        engine->login_step_3_conn(1);
        engine.reset();
    });
    ASSERT_TRUE(server.wait_for_connections(1, kWaitMs));
    EXPECT_TRUE(server.wait_for_close(0, kWaitMs));
    EXPECT_TRUE(server.received().empty()) << "a login request from a destroyed engine";
    EXPECT_FALSE(log.contains("connected 127.0.0.1"));
    EXPECT_FALSE(log.contains("conn failed"));
}

// A reconnection's delayed attempt finds the engine gone: no new attempt,
// no event.
TEST_F(EngineGone, DelayedRetryAfterTheEngineIsGoneDoesNothing) {
    nuvra_test::LogCapture log;
    run_on_loop([&] {
        engine->set_login_state(InterfaceLinkD::LOGIN_STATE_RECONNECTING);
        engine->m_retry_max_time = 30000;
        engine->m_retry_max_count = 3;
        engine->m_retry_time_start = mynet::mono_time_ms();
        engine->m_retry_delay = 10;
        engine->reconnect();
        engine.reset();
    });
    sleep_ms(100);
    EXPECT_TRUE(cb.events().empty());
    EXPECT_FALSE(log.contains("onReconnecting"));
}

}  // namespace
