#include "support/local_service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace nuvra_test {

const char* local_service_path() { return NUVRA_LOCAL_SERVICE_PATH; }

LocalServiceProcess::LocalServiceProcess(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    std::vector<char*> argv;
    std::string path = local_service_path();
    argv.push_back(&path[0]);
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        // A test that crashes takes its service along, so the address is free
        // for whoever gets this pid next.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_out_thread = std::thread([this, fd = out[0]] { read_pipe(fd, true); });
    m_err_thread = std::thread([this, fd = err[0]] { read_pipe(fd, false); });
}

LocalServiceProcess::~LocalServiceProcess() {
    if (m_pid > 0 && m_status < 0) stop(SIGKILL);
    if (m_out_thread.joinable()) m_out_thread.join();
    if (m_err_thread.joinable()) m_err_thread.join();
}

void LocalServiceProcess::read_pipe(int fd, bool is_stdout) {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(m_mtx);
        if (!is_stdout) {
            m_stderr.append(buf, static_cast<size_t>(n));
            continue;
        }
        partial.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            std::string line = partial.substr(0, nl);
            partial.erase(0, nl + 1);
            size_t at = line.find(" ready line=");
            if (at != std::string::npos && m_line_port == 0) {
                size_t colon = line.find(' ', at + 12);
                std::string endpoint = line.substr(at + 12, colon - at - 12);
                m_line_port = static_cast<uint16_t>(std::atoi(endpoint.substr(endpoint.rfind(':') + 1).c_str()));
            }
            if (m_keep_output) m_lines.push_back(line);
        }
        m_cv.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(m_mtx);
    if (is_stdout) m_stdout_closed = true;
    m_cv.notify_all();
}

void LocalServiceProcess::keep_output(bool keep) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_keep_output = keep;
}

bool LocalServiceProcess::wait_ready(int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return m_line_port != 0 || m_stdout_closed; }) &&
           m_line_port != 0;
}

uint16_t LocalServiceProcess::line_port() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_line_port;
}

bool LocalServiceProcess::wait_output(const std::string& text, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mtx);
    auto seen = [&] {
        for (const auto& l : m_lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    };
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return seen() || m_stdout_closed; }) &&
           seen();
}

size_t LocalServiceProcess::count_output(const std::string& text, size_t n, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mtx);
    auto count = [&] {
        size_t k = 0;
        for (const auto& l : m_lines)
            if (l.find(text) != std::string::npos) ++k;
        return k;
    };
    m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count() >= n || m_stdout_closed; });
    return count();
}

std::vector<std::string> LocalServiceProcess::output() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_lines;
}

std::string LocalServiceProcess::error_output() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_stderr;
}

int LocalServiceProcess::stop(int sig, int timeout_ms) {
    if (m_pid > 0 && m_status < 0) kill(m_pid, sig);
    return wait_exit(timeout_ms);
}

int LocalServiceProcess::wait_exit(int timeout_ms) {
    if (m_pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (m_status < 0) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        usleep(5000);
    }
    if (m_out_thread.joinable()) m_out_thread.join();
    if (m_err_thread.joinable()) m_err_thread.join();
    return m_status;
}

}  // namespace nuvra_test
