// A process whose main returns while another of its threads keeps posting
// operations ends at once: the exit_while_posting program posts one
// operation without a pause (or queues a burst of them) and returns from
// main. For each operation and way, 20 runs: every run must end by itself
// with status 0 and no sanitizer report; the library's exit handler must
// have returned, its network thread standing still, within a second of the
// moment the exit began; and no operation may begin to run after that
// moment (the program checks this itself and ends with another status).
// The rest of the exit, the runtime's and the sanitizers' own, is not timed:
// on a loaded machine it alone can take a second.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "support/child_program.h"

namespace {

constexpr int kRuns = 20;
// One at a time: each run keeps two threads busy.
constexpr int kAtOnce = 1;
constexpr int kRunTimeoutMs = 10000;
constexpr auto kExitHandlerTakesAtMost = std::chrono::seconds(1);

// The moment the program printed for what, such as "exit began".
bool printed_at(const std::string& output, const std::string& what, std::chrono::steady_clock::time_point* at) {
    const std::string says = what + " at ";
    const size_t pos = output.find(says);
    if (pos == std::string::npos) return false;
    const long long ns = std::strtoll(output.c_str() + pos + says.size(), nullptr, 10);
    *at = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
    return true;
}

using Way = std::tuple<std::string, std::string>;

class ExitWhilePosting : public ::testing::TestWithParam<Way> {};

TEST_P(ExitWhilePosting, EveryRunEndsAtOnceAndRunsNothingMore) {
    const auto& [op, way] = GetParam();
    nuvra_test::run_children(
        EXIT_WHILE_POSTING, kRuns, kAtOnce, kRunTimeoutMs,
        [&](int seed) { return std::vector<std::string>{op, way, std::to_string(seed)}; },
        [](int seed, const nuvra_test::ChildRun& run, const std::string& output) {
            const std::string which = "run " + std::to_string(seed) + ":\n" + output;
            EXPECT_EQ(nuvra_test::unclean_end(run, output), "") << which;
            std::chrono::steady_clock::time_point began, handled;
            ASSERT_TRUE(printed_at(output, "exit began", &began)) << which;
            ASSERT_TRUE(printed_at(output, "exit handled", &handled)) << which;
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(handled - began);
            EXPECT_LT(took, kExitHandlerTakesAtMost) << "the exit handler took " << took.count() << " ms in " << which;
        });
}

INSTANTIATE_TEST_SUITE_P(Operations, ExitWhilePosting,
                         ::testing::Combine(::testing::Values("ping", "dbg", "messageInstantSend", "channelJoin"),
                                            ::testing::Values("forever", "burst")),
                         [](const ::testing::TestParamInfo<Way>& info) {
                             return std::get<0>(info.param) + "_" + std::get<1>(info.param);
                         });

}  // namespace
