// A release that is due when a handler of its table calls exit() ends: the
// exit_release program joins the releasing thread at exit, so a release that
// waited for the handler would hold the process for ever. Each way is run
// several times; every run must end with status 0 within a few seconds.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace {

constexpr int kRuns = 10;
constexpr int kRunTimeoutMs = 10000;

// The program's exit status, or -1 when it had to be killed.
int run_program(const std::string& way) {
    pid_t pid = -1;
    const char* argv[] = {EXIT_RELEASE, way.c_str(), nullptr};
    if (posix_spawn(&pid, EXIT_RELEASE, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ExitInHandler : public ::testing::TestWithParam<const char*> {};

TEST_P(ExitInHandler, AReleaseDueOnAnotherThreadEnds) {
    for (int run = 0; run < kRuns; ++run) EXPECT_EQ(run_program(GetParam()), 0) << "run " << run;
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitInHandler, ::testing::Values("in-line", "in-event"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
