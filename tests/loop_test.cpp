#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "loop.h"
#include "support/clock_hold.h"
#include "support/loop_thread.h"

namespace {

using nuvra_test::run_on_loop;
using nuvra_test::wait_on_loop;

// Records values from the network thread; read back on the test thread.
struct Recorder {
    std::mutex mtx;
    std::vector<int> seen;
    std::thread::id loop_thread;
    bool off_loop = false;

    void add(int v) {
        std::lock_guard<std::mutex> lock(mtx);
        if (loop_thread == std::thread::id()) loop_thread = std::this_thread::get_id();
        off_loop |= loop_thread != std::this_thread::get_id();
        seen.push_back(v);
    }
    std::vector<int> values() {
        std::lock_guard<std::mutex> lock(mtx);
        return seen;
    }
    size_t size() { return values().size(); }
};

// Queues live for the process, like an instance's: their handle stays
// registered with the loop.
mynet::Async* make_queue() { return new mynet::Async(); }

bool eventually(const std::function<bool()>& pred, int timeout_ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(Async, WorkPostedBeforeTheLoopStartsRunsInOrderOnceItDoes) {
    if (mynet::g_loop_is_started) GTEST_SKIP() << "needs a process whose loop has not started";
    mynet::Async* q = make_queue();
    Recorder rec;
    for (int i = 0; i < 5; ++i) q->run([&rec, i] { rec.add(i); });
    nuvra_test::ensure_loop_thread();
    ASSERT_TRUE(eventually([&] { return rec.size() == 5; }));
    EXPECT_EQ(rec.values(), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Async, ProducersOnManyThreadsKeepTheirOwnOrder) {
    nuvra_test::ensure_loop_thread();
    mynet::Async* q = make_queue();
    Recorder rec;
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) q->run([&rec, t, i] { rec.add(t * 100000 + i); });
        });
    for (auto& p : producers) p.join();
    ASSERT_TRUE(eventually([&] { return rec.size() == kThreads * kEach; }));
    std::vector<int> next(kThreads, 0);
    for (int v : rec.values()) {
        int t = v / 100000, i = v % 100000;
        ASSERT_EQ(i, next[t]) << "producer " << t;
        ++next[t];
    }
    EXPECT_FALSE(rec.off_loop);
}

TEST(Async, QueuesBuiltOnOtherThreadsWhileTheLoopRuns) {
    nuvra_test::ensure_loop_thread();
    std::atomic<int> ran{0};
    std::vector<std::thread> threads;
    std::vector<mynet::Async*> queues(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            queues[t] = make_queue();
            queues[t]->run([&] { ++ran; });
        });
    for (auto& th : threads) th.join();
    EXPECT_TRUE(eventually([&] { return ran.load() == 8; }));
}

TEST(Async, WorkPostedFromTheDrainRunsAfterWhatWasQueued) {
    nuvra_test::ensure_loop_thread();
    mynet::Async* q = make_queue();
    Recorder rec;
    run_on_loop([&] {
        q->run([&] {
            rec.add(1);
            q->run([&] { rec.add(3); });
        });
        q->run([&] { rec.add(2); });
    });
    ASSERT_TRUE(eventually([&] { return rec.size() == 3; }));
    EXPECT_EQ(rec.values(), (std::vector<int>{1, 2, 3}));
}

TEST(Async, StopHoldsWorkBackAndStartReleasesItInOrder) {
    nuvra_test::ensure_loop_thread();
    mynet::Async* q = make_queue();
    Recorder rec;
    // A function that stops the queue is the last of its drain.
    q->run([&] {
        rec.add(0);
        q->stop();
    });
    for (int i = 1; i <= 3; ++i) q->run([&rec, i] { rec.add(i); });
    ASSERT_TRUE(eventually([&] { return rec.size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rec.size(), 1u);

    bool ran_inside_start = false;
    run_on_loop([&] {
        q->start();
        ran_inside_start = rec.size() != 1;
    });
    EXPECT_FALSE(ran_inside_start);
    ASSERT_TRUE(eventually([&] { return rec.size() == 4; }));
    EXPECT_EQ(rec.values(), (std::vector<int>{0, 1, 2, 3}));
}

TEST(Async, RunNeverCallsTheFunctionInline) {
    nuvra_test::ensure_loop_thread();
    mynet::Async* q = make_queue();
    std::atomic<bool> ran{false};
    bool ran_inline = true;
    run_on_loop([&] {
        q->run([&] { ran = true; });
        ran_inline = ran.load();
    });
    EXPECT_FALSE(ran_inline);
    EXPECT_TRUE(eventually([&] { return ran.load(); }));
}

// An empty function has nothing to do: it is skipped, and what follows runs.
// The queue and the timers keep no order between them, so each is checked
// on its own.
TEST(Async, EmptyFunctionsAreSkipped) {
    nuvra_test::ensure_loop_thread();
    mynet::Async* q = make_queue();
    Recorder queued;
    Recorder delayed;
    q->run(mynet::Async::OnRun());
    q->run([&] { queued.add(1); });
    q->run(mynet::Async::OnRun());
    q->run([&] { queued.add(2); });
    run_on_loop([&] {
        mynet::do_later(0, mynet::OnDoLater());
        mynet::do_later(1, [&] { delayed.add(3); });
    });
    ASSERT_TRUE(eventually([&] { return queued.size() == 2 && delayed.size() == 1; }));
    EXPECT_EQ(queued.values(), (std::vector<int>{1, 2}));
    EXPECT_EQ(delayed.values(), std::vector<int>{3});
}

struct TimerCase {
    int interval_ms;
    int repeat;
    int close_at;  // 0: never closed by the callback
    int expected;
};

class TimerFirings : public testing::TestWithParam<TimerCase> {};

TEST_P(TimerFirings, FireTheirCountThenStaySilent) {
    nuvra_test::ensure_loop_thread();
    const TimerCase c = GetParam();
    std::atomic<int> fired{0};
    std::shared_ptr<mynet::Timer> keep;
    run_on_loop([&] {
        keep = std::make_shared<mynet::Timer>();
        keep->start(c.interval_ms, c.repeat, [&, c](mynet::Timer* t) {
            if (++fired == c.close_at) t->close();
        });
    });
    int settle = std::max(c.interval_ms, 20) * (c.expected + 6) + 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(settle));
    EXPECT_EQ(fired.load(), c.expected);
    run_on_loop([&] {
        keep->close();
        keep.reset();
    });
}

INSTANTIATE_TEST_SUITE_P(Table, TimerFirings,
                         testing::Values(TimerCase{20, 1, 0, 1}, TimerCase{20, 3, 0, 3}, TimerCase{20, -1, 5, 5},
                                         TimerCase{0, 5, 0, 1}, TimerCase{0, -1, 0, 1}, TimerCase{-50, 3, 0, 1}),
                         [](const testing::TestParamInfo<TimerCase>& info) {
                             const TimerCase& c = info.param;
                             return "every" + std::to_string(c.interval_ms < 0 ? 0 : c.interval_ms) + "ms_repeat" +
                                    std::to_string(c.repeat < 0 ? 0 : c.repeat) + "_case" +
                                    std::to_string(info.index);
                         });

TEST(Timer, IntervalsFollowTheGivenTime) {
    nuvra_test::ensure_loop_thread();
    std::mutex mtx;
    std::vector<std::chrono::steady_clock::time_point> at;
    auto started = std::chrono::steady_clock::now();
    run_on_loop([&] {
        started = std::chrono::steady_clock::now();
        std::make_shared<mynet::Timer>()->start(50, 3, [&](mynet::Timer* t) {
            std::lock_guard<std::mutex> lock(mtx);
            at.push_back(std::chrono::steady_clock::now());
            if (at.size() == 3) t->close();
        });
    });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mtx);
        return at.size() == 3;
    }));
    auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    EXPECT_GE(ms(at[0] - started), 49);
    EXPECT_GE(ms(at[2] - started), 148);
    EXPECT_LT(ms(at[2] - started), 400);
}

TEST(Timer, LivesWithoutOwnersUntilClosedAndClosesOnce) {
    nuvra_test::ensure_loop_thread();
    std::atomic<int> fired{0};
    std::weak_ptr<mynet::Timer> weak;
    run_on_loop([&] {
        auto t = std::make_shared<mynet::Timer>();
        weak = t;
        t->start(5, -1, [&](mynet::Timer* self) {
            if (++fired == 3) {
                self->close();
                self->close();
            }
        });
    });
    EXPECT_TRUE(eventually([&] { return fired.load() == 3; }));
    EXPECT_TRUE(wait_on_loop([&] { return weak.expired(); }, 1000));
    EXPECT_EQ(fired.load(), 3);
}

TEST(Timer, CallbackMayRestartItsOwnTimer) {
    nuvra_test::ensure_loop_thread();
    std::atomic<int> first{0}, second{0};
    run_on_loop([&] {
        std::make_shared<mynet::Timer>()->start(5, -1, [&](mynet::Timer* t) {
            ++first;
            // Replaces the running function; the firing must finish safely.
            t->start(5, 2, [&](mynet::Timer* t2) {
                if (++second == 2) t2->close();
            });
        });
    });
    EXPECT_TRUE(eventually([&] { return second.load() == 2; }));
    EXPECT_EQ(first.load(), 1);
}

TEST(Timer, NeverStartedTimerCanBeClosed) {
    nuvra_test::ensure_loop_thread();
    std::weak_ptr<mynet::Timer> weak;
    run_on_loop([&] {
        auto t = std::make_shared<mynet::Timer>();
        weak = t;
        t->close();
        t->close();
    });
    EXPECT_TRUE(weak.expired());
}

TEST(DoLater, RunsOnceAfterReturningAndFreesItsTimer) {
    nuvra_test::ensure_loop_thread();
    std::atomic<int> ran{0};
    bool ran_inside = true;
    run_on_loop([&] {
        mynet::do_later(0, [&] { ++ran; });
        ran_inside = ran.load() != 0;
    });
    EXPECT_FALSE(ran_inside);
    EXPECT_TRUE(eventually([&] { return ran.load() == 1; }));

    auto started = std::chrono::steady_clock::now();
    std::atomic<int64_t> after_ms{-1};
    run_on_loop([&] {
        mynet::do_later(40, [&] {
            after_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             started)
                           .count();
        });
        mynet::Timer::call_later(-5, [&] { ++ran; });
    });
    EXPECT_TRUE(eventually([&] { return after_ms.load() >= 0 && ran.load() == 2; }));
    EXPECT_GE(after_ms.load(), 39);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(ran.load(), 2);
}

TEST(Loop, SecondStartReturnsAtOnce) {
    nuvra_test::ensure_loop_thread();
    ASSERT_TRUE(eventually([] { return mynet::g_loop_is_started.load(); }));
    mynet::start();
    mynet::init();
}

// Wall readings are checked in a window: real time moves that clock on.
void expect_wall_near(uint64_t got, uint64_t want) {
    EXPECT_GE(got, want);
    EXPECT_LT(got, want + 1000);
}

// An advance moves both clocks forward by its amount; a wall step moves only
// the wall clock, either way; nothing moves the monotonic clock back.
TEST(Clock, SeamsMoveTheClocksAsDocumented) {
    nuvra_test::ClockHold hold;
    const uint64_t mono = mynet::mono_time_ms();
    const uint64_t wall = mynet::get_time_in_ms();

    mynet::test_clock_advance(60000);
    EXPECT_EQ(mynet::mono_time_ms(), mono + 60000);
    expect_wall_near(mynet::get_time_in_ms(), wall + 60000);

    mynet::test_wall_clock_step(-3600000);
    EXPECT_EQ(mynet::mono_time_ms(), mono + 60000);
    expect_wall_near(mynet::get_time_in_ms(), wall + 60000 - 3600000);
    mynet::test_wall_clock_step(3600000);
    EXPECT_EQ(mynet::mono_time_ms(), mono + 60000);
    expect_wall_near(mynet::get_time_in_ms(), wall + 60000);

    mynet::test_clock_advance(-60000);
    mynet::test_clock_advance(0);
    EXPECT_EQ(mynet::mono_time_ms(), mono + 60000);
    expect_wall_near(mynet::get_time_in_ms(), wall + 60000);
    EXPECT_EQ(mynet::get_time_in_s(), static_cast<uint32_t>(mynet::get_time_in_ms() / 1000));
}

// Held, the monotonic clock stands still; released, it runs on with real
// time from where it stood, without a jump for the time it was held.
TEST(Clock, ReleasedHoldRunsOnFromWhereItStood) {
    uint64_t held_at = 0;
    {
        nuvra_test::ClockHold hold;
        held_at = mynet::mono_time_ms();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(mynet::mono_time_ms(), held_at);
    }
    const uint64_t released = mynet::mono_time_ms();
    EXPECT_GE(released, held_at);
    EXPECT_LT(released, held_at + 150);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(mynet::mono_time_ms(), released + 50);
}

TEST(Clock, ElapsedCountsOnlyForward) {
    struct Case {
        uint64_t since, now, elapsed;
    } cases[] = {{1000, 1500, 500}, {1000, 1000, 0}, {1000, 900, 0}, {0, UINT64_MAX, UINT64_MAX}};
    for (const Case& c : cases) EXPECT_EQ(mynet::elapsed_ms(c.since, c.now), c.elapsed) << c.since << " " << c.now;
}

}  // namespace
