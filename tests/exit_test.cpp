// A process that leaves while its instances are busy ends cleanly: the
// exit_mid_traffic program signs eight instances in through the local
// service, which drops six of their lines after every login, so that
// reconnections and their name resolutions keep starting; it sends a burst
// and leaves mid-traffic. Each way of leaving is run 20 times: every run
// must end with status 0, by itself, with no signal and no sanitizer report.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/local_service_process.h"
#include "support/own_address.h"

extern char** environ;

namespace {

constexpr int kRuns = 20;
constexpr int kAtOnce = 4;
constexpr int kRunTimeoutMs = 90000;

struct ChildRun {
    pid_t pid = -1;
    std::string output_path;
    int status = -1;
    bool hung = false;
};

ChildRun spawn(const std::string& service, const std::string& way, int seed, const std::string& dir) {
    ChildRun run;
    run.output_path = dir + "/run" + std::to_string(seed) + ".out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, run.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const std::string seed_text = std::to_string(seed);
    const char* argv[] = {EXIT_MID_TRAFFIC, service.c_str(), way.c_str(), seed_text.c_str(), nullptr};
    if (posix_spawn(&run.pid, EXIT_MID_TRAFFIC, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        run.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

void wait_for(ChildRun& run) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    for (;;) {
        if (waitpid(run.pid, &run.status, WNOHANG) == run.pid) return;
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.hung = true;
    kill(run.pid, SIGKILL);
    waitpid(run.pid, &run.status, 0);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ExitMidTraffic : public ::testing::TestWithParam<const char*> {};

TEST_P(ExitMidTraffic, EveryRunEndsCleanly) {
    const std::string ip = nuvra_test::own_loopback_ip();
    nuvra_test::LocalServiceProcess service(
        {"--address", ip, "--line-port", "0", "--drop-lines", "drop-", "--drop-after-ms", "0"});
    ASSERT_TRUE(service.wait_ready()) << service.error_output();
    char dir_template[] = "/tmp/exit_mid_traffic.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;

    for (int first = 0; first < kRuns; first += kAtOnce) {
        std::vector<ChildRun> runs;
        for (int seed = first; seed < first + kAtOnce && seed < kRuns; ++seed)
            runs.push_back(spawn(ip, GetParam(), seed, dir));
        for (size_t k = 0; k < runs.size(); ++k) {
            ChildRun& run = runs[k];
            ASSERT_GT(run.pid, 0);
            wait_for(run);
            const std::string output = read_file(run.output_path);
            std::remove(run.output_path.c_str());
            const std::string which = "run " + std::to_string(first + static_cast<int>(k)) + ":\n" + output;
            EXPECT_FALSE(run.hung) << which;
            EXPECT_FALSE(WIFSIGNALED(run.status)) << "signal " << WTERMSIG(run.status) << " in " << which;
            EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
                << "status " << WEXITSTATUS(run.status) << " in " << which;
            EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << which;
            EXPECT_EQ(output.find("runtime error"), std::string::npos) << which;
        }
    }
    rmdir(dir.c_str());
    // The lines did flap: the service dropped them over and over.
    EXPECT_GE(service.count_output("dropped (--drop-lines)", kRuns), static_cast<size_t>(kRuns));
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitMidTraffic, ::testing::Values("return", "exit-in-handler", "exit-on-thread"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
