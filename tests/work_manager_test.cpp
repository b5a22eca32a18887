#include "work_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop.h"
#include "support/clock_hold.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"

using nuvra_test::run_on_loop;
using nuvra_test::wait_on_loop;

namespace {

constexpr int kWaitMs = 2000;

// Real time for the 100 ms tick to come round at least twice.
void let_ticks_pass() { std::this_thread::sleep_for(std::chrono::milliseconds(250)); }

bool all_digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The part of a log line after its "<ms> : " prefix; "" when the prefix is missing.
std::string body(const std::string& line) {
    size_t sep = line.find(" : ");
    if (sep == std::string::npos || !all_digits(line.substr(0, sep))) return std::string();
    return line.substr(sep + 3);
}

std::vector<std::string> bodies(const nuvra_test::LogCapture& log, const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& l : log.matching(name)) out.push_back(body(l));
    return out;
}

// A job whose work function only records its runs; the test reports on them.
class WorkManagerTest : public ::testing::Test {
protected:
    void SetUp() override { nuvra_test::ensure_loop_thread(); }

    void TearDown() override {
        run_on_loop([&] { job.reset(); });
    }

    void make(const std::string& name, int first_time, int work_timeout, int done_n, int retry_min = 200,
              int retry_max = 5000, bool nolog = false) {
        run_on_loop([&] {
            created_at = mynet::mono_time_ms();
            job = std::make_unique<WorkManager>(
                name, first_time, 86400000, retry_min, retry_max, work_timeout, done_n,
                [this](WorkManager::SPWork w, WorkManager*) { runs.push_back(w); },
                [this](WorkManager::SPWork w, WorkManager*) { timed_out.push_back(w); });
            job->m_nolog = nolog;
        });
    }

    size_t run_count() {
        size_t n = 0;
        run_on_loop([&] { n = runs.size(); });
        return n;
    }

    bool wait_runs(size_t n) {
        return wait_on_loop([&] { return runs.size() >= n; }, kWaitMs);
    }

    std::unique_ptr<WorkManager> job;
    std::vector<WorkManager::SPWork> runs;
    std::vector<WorkManager::SPWork> timed_out;
    uint64_t created_at = 0;
};

TEST_F(WorkManagerTest, FirstRunWaitsForFirstTime) {
    make("wm_first", 1000, 10000, 1);
    let_ticks_pass();
    EXPECT_EQ(run_count(), 0u);
    mynet::test_clock_advance(1000);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        EXPECT_GE(runs[0]->t - created_at, 1000u);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_DOING);
        EXPECT_EQ(job->m_t_do, WorkManager::kNotScheduled);
    });
}

// Each failure schedules the next run its delay after the failure, and only
// the clock reaching it starts that run; a success resets the delay.
TEST_F(WorkManagerTest, RetryDelayDoublesToMaximumAndResetsAfterSuccess) {
    make("wm_backoff", 0, 100000, 1);
    const int delays[] = {200, 400, 800, 1600, 3200, 5000, 5000};
    size_t k = 0;
    for (int delay : delays) {
        ASSERT_TRUE(wait_runs(k + 1)) << "run " << k;
        run_on_loop([&] {
            uint64_t before = mynet::mono_time_ms();
            job->done(runs[k], false, true);
            uint64_t after = mynet::mono_time_ms();
            EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_WAIT_TRY);
            EXPECT_GE(job->m_t_do, before + delay);
            EXPECT_LE(job->m_t_do, after + delay);
        });
        if (delay == 800 || delay == 3200) {
            // Far from due: the ticks in between start nothing.
            let_ticks_pass();
            EXPECT_EQ(run_count(), k + 1) << "delay " << delay;
        }
        mynet::test_clock_advance(delay);
        ++k;
    }
    ASSERT_TRUE(wait_runs(k + 1));
    run_on_loop([&] {
        job->done(runs[k], true, true);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_IDLE);
        EXPECT_EQ(job->m_t_do, WorkManager::kNotScheduled);
        EXPECT_EQ(job->m_retry_time, 200);
    });
    let_ticks_pass();
    EXPECT_EQ(run_count(), k + 1) << "a success waits for update()";

    run_on_loop([&] { job->update(); });
    ASSERT_TRUE(wait_runs(k + 2));
    run_on_loop([&] {
        uint64_t before = mynet::mono_time_ms();
        job->done(runs[k + 1], false, true);
        EXPECT_GE(job->m_t_do, before + 200);
        EXPECT_LE(job->m_t_do, mynet::mono_time_ms() + 200);
    });
}

TEST_F(WorkManagerTest, UpdatesDuringRunGiveOneRerunWithNewestVersion) {
    make("wm_update", 0, 100000, 1);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        EXPECT_EQ(runs[0]->version, 0);
        job->update();
        job->update();
        // The outdated run's failure asks for a retry, yet no delay follows.
        job->done(runs[0], false, true);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_IDLE);
        EXPECT_EQ(job->m_t_do, 0u);
        EXPECT_EQ(job->m_retry_time, 200);
    });
    ASSERT_TRUE(wait_runs(2));
    run_on_loop([&] {
        EXPECT_EQ(runs[1]->version, 2);
        job->done(runs[1], true, true);
        EXPECT_EQ(job->m_version_done, 2);
    });
    let_ticks_pass();
    EXPECT_EQ(run_count(), 2u);
}

// Versions keep their order across the wrap of the counters: an outdated
// run is followed by a rerun, and the rerun's success is the one recorded.
TEST_F(WorkManagerTest, VersionsWrapWithoutLosingTheRerun) {
    for (uint32_t start : {0x7ffffffeu, 0xfffffffeu}) {
        SCOPED_TRACE(start);
        run_on_loop([&] { runs.clear(); });
        make("wm_wrap", 100000, 100000, 1);
        run_on_loop([&] {
            job->m_version_target = start;
            job->update();
        });
        ASSERT_TRUE(wait_runs(1));
        run_on_loop([&] {
            EXPECT_EQ(runs[0]->version, start + 1);
            job->update();
            job->update();
            job->done(runs[0], true, true);
            EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_IDLE);
            EXPECT_EQ(job->m_t_do, 0u) << "outdated success not rerun";
            EXPECT_EQ(job->m_version_done, 0u);
        });
        ASSERT_TRUE(wait_runs(2));
        run_on_loop([&] {
            EXPECT_EQ(runs[1]->version, start + 3);
            job->done(runs[1], true, true);
            EXPECT_EQ(job->m_version_done, start + 3);
            EXPECT_EQ(job->m_t_do, WorkManager::kNotScheduled);
        });
    }
}

TEST_F(WorkManagerTest, UpdateEndsRetryWait) {
    make("wm_wait", 0, 100000, 1, 100000, 100000);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        job->done(runs[0], false, true);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_WAIT_TRY);
        job->update();
    });
    ASSERT_TRUE(wait_runs(2));
    run_on_loop([&] { EXPECT_EQ(runs[1]->version, 1); });
}

TEST_F(WorkManagerTest, SilentRunTimesOutOnceAndLateReportChangesNothing) {
    nuvra_test::LogCapture log;
    make("wm_silent", 0, 5000, 1, 100000, 100000);
    ASSERT_TRUE(wait_runs(1));
    let_ticks_pass();
    run_on_loop([&] { EXPECT_TRUE(timed_out.empty()); });

    mynet::test_clock_advance(5000);
    ASSERT_TRUE(wait_on_loop([&] { return !timed_out.empty(); }, kWaitMs));
    let_ticks_pass();
    run_on_loop([&] {
        ASSERT_EQ(timed_out.size(), 1u);
        EXPECT_EQ(timed_out[0], runs[0]);
        EXPECT_TRUE(runs[0]->isdone);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_WAIT_TRY);

        uint64_t t_do = job->m_t_do;
        job->done(runs[0], true, true);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_WAIT_TRY);
        EXPECT_EQ(job->m_t_do, t_do);
        EXPECT_EQ(job->m_version_done, 0);
        EXPECT_EQ(runs[0]->m_done_count, 1);
    });
    EXPECT_EQ(log.matching("wm_silent       timeout ").size(), 1u);
    EXPECT_EQ(log.matching("wm_silent       already done").size(), 1u);
}

// A run's age is counted on the monotonic clock: a step of the system clock
// either way neither times a fresh run out nor holds its time-out back.
TEST_F(WorkManagerTest, WallClockStepsChangeNoRunTimeout) {
    for (int64_t step : {-3600000, 3600000}) {
        SCOPED_TRACE(step);
        run_on_loop([&] {
            runs.clear();
            timed_out.clear();
        });
        nuvra_test::ClockHold hold;
        make("wm_clock", 0, 5000, 1);
        ASSERT_TRUE(wait_runs(1));
        mynet::test_wall_clock_step(step);
        mynet::test_clock_advance(4999);
        let_ticks_pass();
        run_on_loop([&] { EXPECT_TRUE(timed_out.empty()); });
        mynet::test_clock_advance(1);
        EXPECT_TRUE(wait_on_loop([&] { return timed_out.size() == 1; }, kWaitMs));
        mynet::test_wall_clock_step(-step);
    }
}

TEST_F(WorkManagerTest, RunWithSeveralReportsFinishesAtSuccessOrLastReport) {
    make("wm_multi", 0, 100000, 2);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        job->done(runs[0], false, true);
        EXPECT_FALSE(runs[0]->isdone);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_DOING);
        job->done(runs[0], false, true);
        EXPECT_TRUE(runs[0]->isdone);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_WAIT_TRY);
        job->update();
    });
    ASSERT_TRUE(wait_runs(2));
    run_on_loop([&] {
        job->done(runs[1], true, true);
        EXPECT_TRUE(runs[1]->isdone);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_IDLE);
        EXPECT_EQ(job->m_version_done, 1);
    });
}

// A failure without retry parks the job until update().
TEST_F(WorkManagerTest, FailureWithoutRetryWaitsForUpdate) {
    make("wm_noretry", 0, 100000, 1);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        job->done(runs[0], false, false);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_IDLE);
        EXPECT_EQ(job->m_t_do, WorkManager::kNotScheduled);
    });
    mynet::test_clock_advance(10000);
    let_ticks_pass();
    EXPECT_EQ(run_count(), 1u);
}

// A run started over an unfinished one ends the old one for good, even when
// it needed more reports, and its late reports are refused.
TEST_F(WorkManagerTest, NewRunOverUnfinishedRunRetiresIt) {
    nuvra_test::LogCapture log;
    make("wm_over", 0, 100000, 2, 200, 5000, true);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        job->_do_work();
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_TRUE(runs[0]->isdone);
        job->done(runs[0], true, true);
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_DOING);
        EXPECT_EQ(job->m_version_done, 0);
        EXPECT_FALSE(runs[1]->isdone);
    });
    // Quiet mode keeps only the two warnings.
    EXPECT_EQ(bodies(log, "wm_over"), (std::vector<std::string>{"wm_over         new work when working  ",
                                                                "wm_over         already done"}));
}

TEST_F(WorkManagerTest, LogLinesCarryNameAndValues) {
    nuvra_test::LogCapture log;
    make("wm_log", 0, 100000, 1);
    ASSERT_TRUE(wait_runs(1));
    run_on_loop([&] {
        job->update();
        job->done(runs[0], true, true);
    });
    // The outdated run is followed by another, whose lines may come after.
    std::vector<std::string> got = bodies(log, "wm_log");
    ASSERT_GE(got.size(), 3u);
    const std::string start = "wm_log          start work : ";
    ASSERT_EQ(got[0].compare(0, start.size(), start), 0) << got[0];
    std::string times = got[0].substr(start.size());
    size_t blank = times.find(' ');
    ASSERT_NE(blank, std::string::npos) << got[0];
    std::string now = times.substr(0, blank), due = times.substr(blank + 1);
    ASSERT_TRUE(all_digits(now)) << got[0];
    ASSERT_EQ(due.back(), ' ') << got[0];
    due.pop_back();
    ASSERT_TRUE(all_digits(due)) << got[0];
    EXPECT_GE(std::stoull(due), created_at) << "due at creation";
    EXPECT_GE(std::stoull(now), std::stoull(due));
    EXPECT_EQ(got[1], "wm_log          update 1 ");
    EXPECT_EQ(got[2], "wm_log          done 0 1");
}

// The work function may end its run before returning.
TEST_F(WorkManagerTest, ReportFromInsideWorkFunction) {
    std::vector<bool> outcomes = {false, true};
    size_t calls = 0;
    run_on_loop([&] {
        job = std::make_unique<WorkManager>("wm_sync", 0, 0, 200, 5000, 100000, 1,
                                            [&](WorkManager::SPWork w, WorkManager* m) {
                                                bool ok = outcomes[calls++];
                                                m->done(w, ok, true);
                                                EXPECT_TRUE(w->isdone);
                                            });
    });
    ASSERT_TRUE(wait_on_loop([&] { return calls == 1; }, kWaitMs));
    run_on_loop([&] { EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_WAIT_TRY); });
    mynet::test_clock_advance(200);
    ASSERT_TRUE(wait_on_loop([&] { return calls == 2; }, kWaitMs));
    run_on_loop([&] {
        EXPECT_EQ(job->m_status, WorkManager::WORK_STATUS_IDLE);
        EXPECT_EQ(job->m_t_do, WorkManager::kNotScheduled);
    });
}

TEST_F(WorkManagerTest, DestroyedJobNoLongerTicks) {
    size_t calls = 0;
    run_on_loop([&] {
        job = std::make_unique<WorkManager>("wm_gone", 0, 0, 200, 5000, 100000, 1,
                                            [&](WorkManager::SPWork, WorkManager*) { ++calls; });
        job.reset();
    });
    let_ticks_pass();
    run_on_loop([&] { EXPECT_EQ(calls, 0u); });
}

// An owner may drop the job from inside its work or time-out function and
// go on using what that function holds.
TEST_F(WorkManagerTest, OwnerFreesJobInsideItsCallbacks) {
    auto used_after_free = std::make_shared<int>(0);
    auto drop_job = [this, held = std::make_shared<int>(0), used_after_free](WorkManager::SPWork, WorkManager*) {
        job.reset();
        *used_after_free = ++*held;
    };
    run_on_loop([&] { job = std::make_unique<WorkManager>("wm_free_w", 0, 0, 200, 5000, 100000, 1, drop_job); });
    EXPECT_TRUE(wait_on_loop([&] { return job == nullptr; }, kWaitMs));

    run_on_loop([&] {
        job = std::make_unique<WorkManager>("wm_free_t", 0, 0, 200, 5000, 1000, 1,
                                            [](WorkManager::SPWork, WorkManager*) {}, drop_job);
    });
    ASSERT_TRUE(wait_on_loop([&] { return job && job->last_work; }, kWaitMs));
    mynet::test_clock_advance(1000);
    EXPECT_TRUE(wait_on_loop([&] { return job == nullptr; }, kWaitMs));
    let_ticks_pass();
    run_on_loop([&] { EXPECT_EQ(*used_after_free, 2); });
}

}  // namespace
