#pragma once

// Runs the local service program as a child process for a test and collects
// what it prints. Each test gives it its own loopback address.

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvra_test {

class LocalServiceProcess {
public:
    // Starts the service with these arguments (added after the program name).
    explicit LocalServiceProcess(std::vector<std::string> args);
    // Stops it with SIGKILL when it still runs.
    ~LocalServiceProcess();
    LocalServiceProcess(const LocalServiceProcess&) = delete;
    LocalServiceProcess& operator=(const LocalServiceProcess&) = delete;

    // Waits for the "ready" line; false when the process ended or time ran out.
    bool wait_ready(int timeout_ms = 5000);
    // The line port announced in the ready line; 0 before it.
    uint16_t line_port() const;
    // Waits for a printed line containing text; true when one came.
    bool wait_output(const std::string& text, int timeout_ms = 5000) const;
    // Number of printed lines containing text, once it reaches at least n or
    // timeout_ms passed (output arrives on a thread of its own).
    size_t count_output(const std::string& text, size_t n = 0, int timeout_ms = 5000) const;
    std::vector<std::string> output() const;
    // Whether lines printed from now on are kept for the calls above; a
    // measurement of this process' memory keeps none.
    void keep_output(bool keep);
    std::string error_output() const;
    // Sends sig and waits for the exit; the exit code, or 128 + signal, or -1 on time-out.
    int stop(int sig, int timeout_ms = 5000);
    // Waits for the process to end by itself; as stop.
    int wait_exit(int timeout_ms = 5000);

private:
    void read_pipe(int fd, bool is_stdout);

    pid_t m_pid = -1;
    int m_status = -1;
    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    std::vector<std::string> m_lines;
    bool m_keep_output = true;
    std::string m_stderr;
    uint16_t m_line_port = 0;
    bool m_stdout_closed = false;
    std::thread m_out_thread;
    std::thread m_err_thread;
};

// The service program built with the tests.
const char* local_service_path();

}  // namespace nuvra_test
