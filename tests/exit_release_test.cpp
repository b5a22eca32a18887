// A release that is due when a handler of its table calls exit() ends: the
// exit_release program joins the releasing thread at exit, so a release that
// waited for the handler would hold the process for ever. Each way is run
// several times; every run must end by itself with status 0 and no
// sanitizer report.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_program.h"

namespace {

constexpr int kRuns = 10;
constexpr int kAtOnce = 2;
constexpr int kRunTimeoutMs = 10000;

class ExitInHandler : public ::testing::TestWithParam<const char*> {};

TEST_P(ExitInHandler, AReleaseDueOnAnotherThreadEnds) {
    const std::string way = GetParam();
    nuvra_test::run_children(
        EXIT_RELEASE, kRuns, kAtOnce, kRunTimeoutMs, [&](int) { return std::vector<std::string>{way}; },
        [](int run_number, const nuvra_test::ChildRun& run, const std::string& output) {
            EXPECT_EQ(nuvra_test::unclean_end(run, output), "") << "run " << run_number << ":\n" << output;
        });
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitInHandler, ::testing::Values("in-line", "in-event"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return nuvra_test::way_name(info.param);
                         });

}  // namespace
