// A process that leaves while its instances are busy ends cleanly: the
// exit_mid_traffic program signs eight instances in through the local
// service, which drops six of their lines after every login, so that
// reconnections and their name resolutions keep starting; it sends a burst
// and leaves mid-traffic. Each way of leaving is run 20 times: every run
// must end with status 0, by itself, with no signal and no sanitizer report.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/local_service_process.h"
#include "support/own_address.h"

namespace {

constexpr int kRuns = 20;
constexpr int kAtOnce = 4;
constexpr int kRunTimeoutMs = 90000;

class ExitMidTraffic : public ::testing::TestWithParam<const char*> {};

TEST_P(ExitMidTraffic, EveryRunEndsCleanly) {
    const std::string ip = nuvra_test::own_loopback_ip();
    nuvra_test::LocalServiceProcess service(
        {"--address", ip, "--line-port", "0", "--drop-lines", "drop-", "--drop-after-ms", "0"});
    ASSERT_TRUE(service.wait_ready()) << service.error_output();
    nuvra_test::run_children(
        EXIT_MID_TRAFFIC, kRuns, kAtOnce, kRunTimeoutMs,
        [&](int seed) { return std::vector<std::string>{ip, GetParam(), std::to_string(seed)}; },
        [](int seed, const nuvra_test::ChildRun& run, const std::string& output) {
            EXPECT_EQ(nuvra_test::unclean_end(run, output), "") << "run " << seed << ":\n" << output;
        });
    // The lines did flap: the service dropped them over and over.
    EXPECT_GE(service.count_output("dropped (--drop-lines)", kRuns), static_cast<size_t>(kRuns));
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitMidTraffic, ::testing::Values("return", "exit-in-handler", "exit-on-thread"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return nuvra_test::way_name(info.param);
                         });

}  // namespace
