#include "simple_work.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/loop_thread.h"

using nuvra_test::run_on_loop;
using nuvra_test::wait_on_loop;

namespace {

constexpr int kWaitMs = 2000;
constexpr int kShortTimeoutMs = 50;
constexpr int kLongTimeoutMs = 10000;
constexpr char kTimeout[] = "<time-out>";

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Ends {
    std::vector<std::string> results;
    // Reports made before the end function ran.
    int reports_before_end = -1;
};

SPSimpleWork make_job(int done_n, int timeout_ms, Ends& ends, const int& reports_made) {
    return std::make_shared<SimpleWork>(done_n, timeout_ms, [](SPSimpleWork) {},
                                        [&ends, &reports_made](SPSimpleWork job, std::string result) {
                                            EXPECT_TRUE(job && job->isEnd());
                                            if (ends.results.empty()) ends.reports_before_end = reports_made;
                                            ends.results.push_back(result);
                                        });
}

// Branch reports in order; a last kTimeout stands for letting the time-out strike.
struct Sequence {
    const char* name;
    int done_n;
    std::vector<std::string> events;
    std::string result;
    // Reports counted when the job ended; events after that point are late.
    int ends_after;
};

void PrintTo(const Sequence& s, std::ostream* os) { *os << s.name; }

class SimpleWorkSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(SimpleWorkSequence, EndsOnceWithExpectedResult) {
    const Sequence& c = GetParam();
    nuvra_test::ensure_loop_thread();
    bool uses_timeout = !c.events.empty() && c.events.back() == kTimeout;
    int timeout_ms = uses_timeout ? kShortTimeoutMs : kLongTimeoutMs;

    Ends ends;
    int reports_made = 0;
    SPSimpleWork job;
    // One loop turn, so that a slow test thread can't let the time-out
    // overtake the reports.
    run_on_loop([&] {
        job = make_job(c.done_n, timeout_ms, ends, reports_made);
        job->start();
        for (const std::string& e : c.events) {
            if (e == kTimeout) break;
            ++reports_made;
            job->end(e, false);
        }
    });
    if (uses_timeout) {
        EXPECT_TRUE(wait_on_loop([&] { return !ends.results.empty(); }, kWaitMs));
        sleep_ms(kShortTimeoutMs * 2);  // room for a second, wrong result
    }
    run_on_loop([&] {
        ASSERT_EQ(ends.results.size(), 1u);
        EXPECT_EQ(ends.results[0], c.result);
        EXPECT_EQ(ends.reports_before_end, c.ends_after);
        EXPECT_TRUE(job->isEnd());
        EXPECT_EQ(job->m_timer, nullptr) << "time-out left armed";
        EXPECT_FALSE(job->m_workFunction);
        EXPECT_FALSE(job->m_endFunction);
        job->end("late", true);
        EXPECT_EQ(ends.results.size(), 1u);
    });
    std::weak_ptr<SimpleWork> weak = job;
    run_on_loop([&] { job.reset(); });
    EXPECT_TRUE(wait_on_loop([&] { return weak.expired(); }, kWaitMs)) << "ended job not released";
}

INSTANTIATE_TEST_SUITE_P(
    Reports, SimpleWorkSequence,
    ::testing::Values(Sequence{"FailThenSuccess", 2, {"failed", ""}, "", 2},
                      Sequence{"FailThenFail", 2, {"failed", "error"}, "error", 2},
                      Sequence{"FailThenTimeout", 2, {"failed", kTimeout}, "time out", 1},
                      Sequence{"SuccessFirst", 2, {"", "x", kTimeout}, "", 1},
                      Sequence{"SilentTimeout", 2, {kTimeout}, "time out", 0},
                      Sequence{"OneBranchFails", 1, {"boom", ""}, "boom", 1},
                      Sequence{"OneBranchSucceeds", 1, {""}, "", 1},
                      Sequence{"ThreeBranchesLastFails", 3, {"a", "b", "c"}, "c", 3},
                      Sequence{"ThreeBranchesMiddleSucceeds", 3, {"a", "", "c"}, "", 2}),
    [](const ::testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

TEST(SimpleWork, ForcedReportEndsAtOnce) {
    nuvra_test::ensure_loop_thread();
    Ends ends;
    int reports_made = 0;
    run_on_loop([&] {
        SPSimpleWork job = make_job(3, kLongTimeoutMs, ends, reports_made);
        job->start();
        job->end("stop", true);
    });
    run_on_loop([&] { EXPECT_EQ(ends.results, std::vector<std::string>{"stop"}); });
}

// Nobody but the armed time-out holds the job; it still gets its result.
TEST(SimpleWork, UnownedJobStillTimesOut) {
    nuvra_test::ensure_loop_thread();
    Ends ends;
    int reports_made = 0;
    std::weak_ptr<SimpleWork> weak;
    run_on_loop([&] {
        SPSimpleWork job = make_job(2, kShortTimeoutMs, ends, reports_made);
        weak = job;
        job->start();
    });
    ASSERT_TRUE(wait_on_loop([&] { return !ends.results.empty(); }, kWaitMs));
    run_on_loop([&] { EXPECT_EQ(ends.results, std::vector<std::string>{"time out"}); });
    EXPECT_TRUE(wait_on_loop([&] { return weak.expired(); }, kWaitMs));
}

// A branch that succeeds before the work function returns: the work
// function's own captures must outlive the end.
TEST(SimpleWork, EndInsideWorkFunction) {
    nuvra_test::ensure_loop_thread();
    std::vector<std::string> results;
    std::string seen_after_end;
    std::weak_ptr<SimpleWork> weak;
    run_on_loop([&] {
        auto note = std::make_shared<std::string>("branch state");
        auto job = std::make_shared<SimpleWork>(
            2, kShortTimeoutMs,
            [note, &seen_after_end](SPSimpleWork j) {
                j->end("", false);
                j->end("second", false);
                seen_after_end = *note;
            },
            [&results](SPSimpleWork j, std::string result) {
                results.push_back(result);
                j->end("from end function", true);
            });
        note.reset();
        weak = job;
        job->start();
    });
    sleep_ms(kShortTimeoutMs * 2);
    run_on_loop([&] {
        EXPECT_EQ(results, std::vector<std::string>{""});
        EXPECT_EQ(seen_after_end, "branch state");
    });
    EXPECT_TRUE(wait_on_loop([&] { return weak.expired(); }, kWaitMs));
}

TEST(SimpleWork, StartsOnlyOnce) {
    nuvra_test::ensure_loop_thread();
    int starts = 0;
    std::vector<std::string> results;
    run_on_loop([&] {
        auto job = std::make_shared<SimpleWork>(
            1, kShortTimeoutMs, [&starts](SPSimpleWork) { ++starts; },
            [&results](SPSimpleWork, std::string result) { results.push_back(result); });
        job->start();
        job->start();
    });
    sleep_ms(kShortTimeoutMs * 3);
    run_on_loop([&] {
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(results, std::vector<std::string>{"time out"});
    });
}

}  // namespace
