#include "peers/socks5_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/own_address.h"

namespace nuvra_test {

namespace {

const char* const kDanted = "/usr/sbin/danted";
const char* const kMicrosocks = "/usr/bin/microsocks";

sockaddr_in loopback(const std::string& host, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A port of host that was free a moment ago; the caller retries if it is taken.
int free_port(const std::string& host) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(host, 0);
    socklen_t len = sizeof(a);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool listening(const std::string& host, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(host, port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

std::string danted_config(const std::string& dir, const std::string& host, int port) {
    std::ostringstream c;
    c << "logoutput: " << dir << "/danted.log\n"
      << "internal: " << host << " port = " << port << "\n"
      << "external: 127.0.0.1\n"
      << "socksmethod: none\n"
      << "clientmethod: none\n"
      << "user.privileged: root\n"
      << "user.unprivileged: root\n"
      << "client pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n"
      << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect udpassociate udpreply }\n";
    return c.str();
}

bool exited(pid_t pid, int* status) { return waitpid(pid, status, WNOHANG) == pid; }

}  // namespace

Socks5Server::Socks5Server(Kind kind) : m_kind(kind), m_host(own_loopback_ip(kSocks5AddressIndex)) {}

Socks5Server::~Socks5Server() {
    stop();
    if (m_dir.empty()) return;
    for (const char* name : {"/danted.conf", "/danted.log", "/danted.pid", "/server.log"})
        std::remove((m_dir + name).c_str());
    rmdir(m_dir.c_str());
}

bool Socks5Server::start() {
    const char* binary = m_kind == DANTED ? kDanted : kMicrosocks;
    if (access(binary, X_OK) != 0) {
        m_error = std::string(binary) + " is not installed";
        return false;
    }
    if (m_kind == DANTED && geteuid() != 0) {
        m_error = "danted is configured to run as root here, and this test is not root";
        return false;
    }
    char tmpl[] = "/tmp/nuvra-socks5-XXXXXX";
    if (!mkdtemp(tmpl)) {
        m_error = "no temporary directory";
        return false;
    }
    m_dir = tmpl;
    // The free port may be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 3; ++attempt)
        if (launch(free_port(m_host))) return true;
    return false;
}

bool Socks5Server::launch(int port) {
    std::vector<std::string> args;
    if (m_kind == DANTED) {
        std::string cfg = m_dir + "/danted.conf";
        std::ofstream(cfg) << danted_config(m_dir, m_host, port);
        args = {kDanted, "-f", cfg, "-N", "1", "-p", m_dir + "/danted.pid"};
    } else {
        args = {kMicrosocks, "-i", m_host, "-p", std::to_string(port), "-b", "127.0.0.1"};
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::string log = m_dir + "/server.log";

    pid_t pid = fork();
    if (pid < 0) {
        m_error = "fork failed";
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        setpgid(0, 0);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    m_pid = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (exited(pid, &status)) {
            m_pid = -1;
            m_error = std::string(argv[0]) + " exited with status " + std::to_string(status) + ": " + read_log();
            return false;
        }
        if (listening(m_host, port)) {
            m_port = port;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop();
    m_error = std::string(argv[0]) + " did not listen within 3 s: " + read_log();
    return false;
}

void Socks5Server::stop() {
    if (m_pid <= 0) return;
    // The server's workers share its process group.
    kill(-m_pid, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!exited(m_pid, &status)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (int i = 0; i < 100 && kill(-m_pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (kill(-m_pid, 0) == 0) kill(-m_pid, SIGKILL);
    m_pid = -1;
}

std::string Socks5Server::read_log() const {
    std::string text;
    for (const char* name : {"/server.log", "/danted.log"}) {
        std::ifstream in(m_dir + name);
        std::stringstream s;
        s << in.rdbuf();
        text += s.str();
    }
    return text;
}

}  // namespace nuvra_test
