#include "peers/poll_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "peers/udp_peer_util.h"

namespace nuvra_test {

namespace {

// A non-blocking listener on host at port (0: ephemeral); -1 on failure.
int listen_tcp(const std::string& host, uint16_t port, int backlog) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family = host.find(':') == std::string::npos ? AF_INET : AF_INET6;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) return -1;
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) return -1;
        len = sizeof *a;
    }
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

PollServer::~PollServer() {
    close_fd(listen_fd);
    close_fd(wake_fds[0]);
    close_fd(wake_fds[1]);
}

bool PollServer::open(const std::string& host, int backlog) {
    listen_fd = listen_tcp(host, 0, backlog);
    if (listen_fd < 0) return false;
    port = local_port(listen_fd);
    if (port == 0 || pipe2(wake_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        close_fd(listen_fd);
        port = 0;
        return false;
    }
    return true;
}

bool PollServer::listen_again(const std::string& host, int backlog) {
    listen_fd = listen_tcp(host, port, backlog);
    return listen_fd >= 0;
}

void PollServer::stop(std::mutex& mu) {
    {
        std::lock_guard<std::mutex> lock(mu);
        stopping = true;
    }
    if (thread.joinable()) {
        wake();
        thread.join();
    }
}

void PollServer::wake() {
    char b = 1;
    if (write(wake_fds[1], &b, 1) < 0) {
    }
}

std::vector<pollfd> PollServer::round_fds() const { return {{wake_fds[0], POLLIN, 0}, {listen_fd, POLLIN, 0}}; }

bool PollServer::poll(std::vector<pollfd>& fds, int timeout_ms) {
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) return false;
    if (fds[0].revents & POLLIN) {
        char buf[64];
        while (read(wake_fds[0], buf, sizeof buf) > 0) {
        }
    }
    return true;
}

bool PollServer::listener_ready(const std::vector<pollfd>& fds) const {
    return listen_fd >= 0 && (fds[1].revents & POLLIN);
}

int PollServer::accept_conn() const {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace nuvra_test
