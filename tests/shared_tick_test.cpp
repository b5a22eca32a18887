#include <gtest/gtest.h>
#include <uv.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "loop.h"
#include "shared_tick.h"
#include "support/loop_thread.h"

namespace {

using nuvra_test::run_on_loop;
using nuvra_test::wait_on_loop;

// Members of one period, each recording its id on the network thread. Each
// test uses a period of its own, so no other member shares its walks.
struct Members {
    explicit Members(int period_ms) : period(period_ms) {}
    ~Members() {
        run_on_loop([&] { ticks.clear(); });
    }
    // On the network thread.
    void add(int id, std::function<void(int)> extra = nullptr) {
        if (static_cast<size_t>(id) >= ticks.size()) ticks.resize(id + 1);
        ticks[id] = std::make_unique<mynet::SharedTick>();
        ticks[id]->start(period, [this, id, extra] {
            seen.push_back(id);
            if (extra) extra(id);
        });
    }
    size_t calls() {
        size_t n = 0;
        run_on_loop([&] { n = seen.size(); });
        return n;
    }
    // Closes every member and returns what was recorded.
    std::vector<int> stop() {
        std::vector<int> out;
        run_on_loop([&] {
            for (auto& t : ticks)
                if (t) t->close();
            out = seen;
        });
        return out;
    }

    int period;
    std::vector<std::unique_ptr<mynet::SharedTick>> ticks;
    std::vector<int> seen;
};

// Libuv timers of this period that are running.
int running_timers(int period_ms) {
    struct Arg {
        int period;
        int n;
    } arg{period_ms, 0};
    run_on_loop([&] {
        uv_walk(
            uv_default_loop(),
            [](uv_handle_t* h, void* p) {
                auto* a = static_cast<Arg*>(p);
                if (h->type == UV_TIMER && uv_is_active(h) &&
                    uv_timer_get_repeat(reinterpret_cast<uv_timer_t*>(h)) == static_cast<uint64_t>(a->period))
                    ++a->n;
            },
            &arg);
    });
    return arg.n;
}

// Splits a record into walks, given that every walk starts with `first`.
std::vector<std::vector<int>> walks(const std::vector<int>& seen, int first) {
    std::vector<std::vector<int>> out;
    for (int id : seen) {
        if (id == first || out.empty()) out.emplace_back();
        out.back().push_back(id);
    }
    return out;
}

TEST(SharedTick, HundredsOfMembersShareOneTimerAndRunInJoinOrder) {
    constexpr int kMembers = 300;
    Members m(20);
    run_on_loop([&] {
        for (int i = 0; i < kMembers; ++i) m.add(i);
    });
    EXPECT_EQ(running_timers(20), 1);
    ASSERT_TRUE(wait_on_loop([&] { return m.seen.size() >= 3 * kMembers; }, 5000));
    const std::vector<int> seen = m.stop();
    ASSERT_EQ(seen.size() % kMembers, 0u);
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<int>(i % kMembers)) << i;
}

enum class Act { CLOSE, DESTROY };

struct LeaveCase {
    const char* name;
    int actor;  // acts at its first call
    int target;
    Act act;
};

std::ostream& operator<<(std::ostream& os, const LeaveCase& c) { return os << c.name; }

class SharedTickLeave : public ::testing::TestWithParam<LeaveCase> {};

// A member that leaves during a walk, by close or by the end of its owner,
// also from its own callback, is not called after it left; the others keep
// their order.
TEST_P(SharedTickLeave, IsNotCalledAfterItLeft) {
    const LeaveCase& c = GetParam();
    constexpr int kMembers = 5;
    Members m(21);
    bool acted = false;
    run_on_loop([&] {
        for (int i = 0; i < kMembers; ++i) {
            m.add(i, [&, i](int) {
                if (i != c.actor || acted) return;
                acted = true;
                if (c.act == Act::CLOSE) {
                    m.ticks[c.target]->close();
                } else {
                    m.ticks[c.target].reset();
                }
            });
        }
    });
    ASSERT_TRUE(wait_on_loop([&] { return acted && m.seen.size() >= 4 * kMembers; }, 5000));
    const std::vector<int> seen = m.stop();
    std::vector<int> all, without;
    for (int i = 0; i < kMembers; ++i) {
        all.push_back(i);
        if (i != c.target) without.push_back(i);
    }
    // The walk in which it left: called only if its turn came before.
    std::vector<int> expected = c.target <= c.actor ? all : without;
    while (expected.size() < seen.size()) expected.insert(expected.end(), without.begin(), without.end());
    EXPECT_EQ(seen, expected);
}

const LeaveCase kLeaveCases[] = {
    {"ClosesItself", 2, 2, Act::CLOSE},
    {"ClosesALaterMember", 1, 3, Act::CLOSE},
    {"ClosesAnEarlierMember", 3, 1, Act::CLOSE},
    {"ClosesTheFirstMember", 4, 0, Act::CLOSE},
    {"DestroysItsOwnTick", 2, 2, Act::DESTROY},
    {"DestroysALaterMembersTick", 0, 4, Act::DESTROY},
    {"DestroysAnEarlierMembersTick", 3, 2, Act::DESTROY},
};

INSTANTIATE_TEST_SUITE_P(Walk, SharedTickLeave, ::testing::ValuesIn(kLeaveCases),
                         [](const ::testing::TestParamInfo<LeaveCase>& info) { return std::string(info.param.name); });

TEST(SharedTick, MemberJoiningDuringTheWalkWaitsForTheNextFiring) {
    Members m(22);
    bool joined = false;
    run_on_loop([&] {
        m.add(0, [&](int) {
            if (joined) return;
            joined = true;
            m.add(2);
        });
        m.add(1);
    });
    ASSERT_TRUE(wait_on_loop([&] { return m.seen.size() >= 8; }, 5000));
    const std::vector<std::vector<int>> w = walks(m.stop(), 0);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[0], (std::vector<int>{0, 1}));
    for (size_t k = 1; k < w.size(); ++k) EXPECT_EQ(w[k], (std::vector<int>{0, 1, 2})) << "walk " << k;
}

// Two ticks of one owner stay in their order while members before them come
// and go, and a member that rejoins goes to the end.
TEST(SharedTick, OrderSurvivesMembersLeavingAndRejoining) {
    Members m(23);
    run_on_loop([&] {
        for (int i = 0; i < 4; ++i) m.add(i);
    });
    ASSERT_TRUE(wait_on_loop([&] { return m.seen.size() >= 4; }, 5000));
    run_on_loop([&] {
        m.ticks[0]->close();
        m.seen.clear();
    });
    ASSERT_TRUE(wait_on_loop([&] { return m.seen.size() >= 6; }, 5000));
    std::vector<int> without_first;
    run_on_loop([&] {
        without_first = m.seen;
        m.add(0);
        m.seen.clear();
    });
    for (const auto& walk : walks(without_first, 1)) EXPECT_EQ(walk, (std::vector<int>{1, 2, 3}));
    ASSERT_TRUE(wait_on_loop([&] { return m.seen.size() >= 8; }, 5000));
    for (const auto& walk : walks(m.stop(), 1)) EXPECT_EQ(walk, (std::vector<int>{1, 2, 3, 0}));
}

// Consecutive calls come a period apart; the timer runs only while the
// period has members; close twice and a new start are harmless.
TEST(SharedTick, FiresEveryPeriodOnlyWhileItHasMembers) {
    constexpr int kPeriod = 50;
    std::vector<uint64_t> at;
    std::vector<int> replaced_calls;
    auto tick = std::make_shared<mynet::SharedTick>();
    run_on_loop([&] {
        tick->start(kPeriod, [&] { replaced_calls.push_back(1); });
        // A second start replaces the first function.
        tick->start(kPeriod, [&] { at.push_back(mynet::mono_time_ms()); });
    });
    EXPECT_EQ(running_timers(kPeriod), 1);
    ASSERT_TRUE(wait_on_loop([&] { return at.size() >= 5; }, 5000));
    run_on_loop([&] {
        tick->close();
        tick->close();
        EXPECT_FALSE(tick->active());
    });
    EXPECT_EQ(running_timers(kPeriod), 0);
    EXPECT_TRUE(replaced_calls.empty());
    for (size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], uint64_t(kPeriod * 3 / 5)) << i;

    size_t before = 0;
    run_on_loop([&] {
        before = at.size();
        tick->start(kPeriod, [&] { at.push_back(mynet::mono_time_ms()); });
    });
    EXPECT_EQ(running_timers(kPeriod), 1);
    EXPECT_TRUE(wait_on_loop([&] { return at.size() > before; }, 5000));
    run_on_loop([&] { tick.reset(); });
    EXPECT_EQ(running_timers(kPeriod), 0);
}

// Hundreds of engines share the housekeeping tick: each drops its own
// telemetry report once it is older than 60 s, none before.
TEST(SharedTickEngines, EveryEngineKeepsHouseOnTheSharedTick) {
    constexpr int kEngines = 300;
    static nuvra_sdk::ICallBack callback;
    std::vector<std::unique_ptr<InterfaceLinkD>> engines;
    run_on_loop([&] {
        for (int i = 0; i < kEngines; ++i) {
            auto e = std::make_unique<InterfaceLinkD>(&callback, nullptr);
            e->rp.m_enable = false;
            Reporter2::Queued report;
            report.seq = static_cast<uint32_t>(i);
            report.made_at = mynet::mono_time_ms();
            e->rp.reports.push_back(report);
            engines.push_back(std::move(e));
        }
    });
    auto queued = [&] {
        size_t n = 0;
        for (const auto& e : engines) n += e->rp.reports.size();
        return n;
    };
    // Several walks later, nothing is old enough yet.
    bool young = false;
    EXPECT_FALSE(wait_on_loop([&] { return queued() < kEngines; }, 300));
    run_on_loop([&] { young = queued() == kEngines; });
    EXPECT_TRUE(young);
    mynet::test_clock_advance(60001);
    EXPECT_TRUE(wait_on_loop([&] { return queued() == 0; }, 5000));
    run_on_loop([&] { engines.clear(); });
}

}  // namespace
