#pragma once

// Runs a test program again and again as a child process, its standard
// output and error in one file, and tells how each run ended.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace nuvra_test {

struct ChildRun {
    pid_t pid = -1;
    std::string output_path;
    int status = -1;
    bool hung = false;
    bool ended = false;
};

// Runs program `runs` times, at_once at a time, run i with the arguments
// args_of(i); a run still going after timeout_ms is killed and marked hung.
// Each ended run goes to check(i, run, what it printed). A run that cannot
// be started fails the test.
void run_children(const std::string& program, int runs, int at_once, int timeout_ms,
                  const std::function<std::vector<std::string>(int)>& args_of,
                  const std::function<void(int, const ChildRun&, const std::string&)>& check);

// Empty when the run ended by itself with status 0 and printed no sanitizer
// report; otherwise what went wrong.
std::string unclean_end(const ChildRun& run, const std::string& output);

// A test name for a way of running a program, such as "exit-in-handler":
// dashes become underscores.
std::string way_name(const std::string& way);

}  // namespace nuvra_test
