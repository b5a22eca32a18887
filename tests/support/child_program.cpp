#include "support/child_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace nuvra_test {

namespace {

ChildRun spawn_child(const std::string& program, const std::vector<std::string>& args, const std::string& path) {
    ChildRun run;
    run.output_path = path;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&run.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) run.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

void wait_children(std::vector<ChildRun>& runs, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t running = runs.size();
    while (running > 0 && std::chrono::steady_clock::now() < deadline) {
        for (ChildRun& run : runs) {
            if (run.ended || waitpid(run.pid, &run.status, WNOHANG) != run.pid) continue;
            run.ended = true;
            --running;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (ChildRun& run : runs) {
        if (run.ended) continue;
        run.hung = true;
        kill(run.pid, SIGKILL);
        waitpid(run.pid, &run.status, 0);
    }
}

std::string take_output(const ChildRun& run) {
    std::ifstream in(run.output_path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(run.output_path.c_str());
    return text.str();
}

}  // namespace

void run_children(const std::string& program, int runs, int at_once, int timeout_ms,
                  const std::function<std::vector<std::string>(int)>& args_of,
                  const std::function<void(int, const ChildRun&, const std::string&)>& check) {
    std::string dir = "/tmp/child_runs.XXXXXX";
    if (!mkdtemp(dir.data())) {
        ADD_FAILURE() << "no directory for the output of " << program;
        return;
    }
    for (int first = 0; first < runs; first += at_once) {
        std::vector<ChildRun> batch;
        for (int i = first; i < first + at_once && i < runs; ++i) {
            batch.push_back(spawn_child(program, args_of(i), dir + "/run" + std::to_string(i) + ".out"));
            if (batch.back().pid > 0) continue;
            ADD_FAILURE() << "could not start " << program;
            batch.pop_back();
        }
        wait_children(batch, timeout_ms);
        for (size_t k = 0; k < batch.size(); ++k) check(first + static_cast<int>(k), batch[k], take_output(batch[k]));
    }
    rmdir(dir.c_str());
}

std::string unclean_end(const ChildRun& run, const std::string& output) {
    if (run.hung) return "hung";
    if (WIFSIGNALED(run.status)) return "signal " + std::to_string(WTERMSIG(run.status));
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
        return "status " + std::to_string(WEXITSTATUS(run.status));
    if (output.find("Sanitizer") != std::string::npos) return "sanitizer report";
    if (output.find("runtime error") != std::string::npos) return "runtime error";
    return "";
}

std::string way_name(const std::string& way) {
    std::string name = way;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

}  // namespace nuvra_test
