#include "peers/fake_socks5.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nuvra_test {

ProxyStep Recv(size_t n) { return ProxyStep{ProxyStep::kRecv, "", n, 0}; }
ProxyStep Send(const std::string& bytes) { return ProxyStep{ProxyStep::kSend, bytes, 0, 0}; }
ProxyStep Pause(int ms) { return ProxyStep{ProxyStep::kPause, "", 0, ms}; }
ProxyStep Close() { return ProxyStep{ProxyStep::kClose, "", 0, 0}; }
ProxyStep Echo() { return ProxyStep{ProxyStep::kEcho, "", 0, 0}; }

namespace {

bool send_all(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FakeSocks5::FakeSocks5(std::vector<ProxyStep> script) : m_script(std::move(script)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(m_listen, 4) == 0) {
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    if (pipe(m_wake) != 0) m_wake[0] = m_wake[1] = -1;
    m_thread = std::thread([this] { run(); });
}

FakeSocks5::~FakeSocks5() {
    char b = 1;
    ssize_t n = write(m_wake[1], &b, 1);
    (void)n;
    m_thread.join();
    close(m_listen);
    close(m_wake[0]);
    close(m_wake[1]);
}

std::string FakeSocks5::received() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_received;
}

bool FakeSocks5::wait_readable(int fd, int timeout_ms) {
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
    int r;
    do {
        r = poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 && fds[0].revents == 0;
}

bool FakeSocks5::stopping() {
    pollfd w{m_wake[0], POLLIN, 0};
    return poll(&w, 1, 0) > 0;
}

void FakeSocks5::run() {
    if (!wait_readable(m_listen, -1)) return;
    int fd = accept(m_listen, nullptr, nullptr);
    if (fd < 0) return;
    // Each SEND leaves as a segment of its own, so split answers stay split.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    char buf[4096];
    bool open = true;
    for (const ProxyStep& step : m_script) {
        if (!open) break;
        switch (step.kind) {
        case ProxyStep::kRecv: {
            size_t got = 0;
            while (open && got < step.count) {
                if (!wait_readable(fd, -1)) {
                    close(fd);
                    return;
                }
                size_t want = std::min(step.count - got, sizeof(buf));
                ssize_t n = recv(fd, buf, want, 0);
                if (n <= 0) {
                    open = false;
                    break;
                }
                got += static_cast<size_t>(n);
                std::lock_guard<std::mutex> lock(m_mtx);
                m_received.append(buf, static_cast<size_t>(n));
            }
            break;
        }
        case ProxyStep::kSend:
            open = send_all(fd, step.bytes);
            break;
        case ProxyStep::kPause:
            wait_readable(-1, step.ms);
            if (stopping()) {
                close(fd);
                return;
            }
            break;
        case ProxyStep::kClose:
            close(fd);
            fd = -1;
            open = false;
            break;
        case ProxyStep::kEcho:
            while (open && wait_readable(fd, -1)) {
                ssize_t n = recv(fd, buf, sizeof(buf), 0);
                open = n > 0 && send_all(fd, std::string(buf, static_cast<size_t>(n)));
            }
            break;
        }
    }
    while (open && wait_readable(fd, -1)) open = recv(fd, buf, sizeof(buf), 0) > 0;
    if (fd >= 0) close(fd);
    wait_readable(-1, -1);
}

}  // namespace nuvra_test
