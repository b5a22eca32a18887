// An application that loads the library with dlopen and closes it again
// with dlclose goes on as before: the dlclose_and_go_on program pings with an
// instance, closes the library and then signs the instance in through the
// local service, makes calls for a while, signs out and returns from main.
// Each run must end by itself with status 0 and no sanitizer report.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/local_service_process.h"
#include "support/own_address.h"

namespace {

constexpr int kRuns = 8;
constexpr int kAtOnce = 4;
constexpr int kRunTimeoutMs = 60000;

TEST(Dlclose, TheLibraryStaysLoadedAndItsInstanceGoesOnWorking) {
    const std::string ip = nuvra_test::own_loopback_ip();
    nuvra_test::LocalServiceProcess service({"--address", ip, "--line-port", "0"});
    ASSERT_TRUE(service.wait_ready()) << service.error_output();
    nuvra_test::run_children(
        DLCLOSE_AND_GO_ON, kRuns, kAtOnce, kRunTimeoutMs,
        [&](int i) { return std::vector<std::string>{NUVRA_LIB, ip, "unload-" + std::to_string(i)}; },
        [](int i, const nuvra_test::ChildRun& run, const std::string& output) {
            EXPECT_EQ(nuvra_test::unclean_end(run, output), "") << "run " << i << ":\n" << output;
        });
}

}  // namespace
