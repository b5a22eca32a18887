#include "peers/tcp_echo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace nuvra_test {

namespace {

struct Conn {
    int fd;
    std::string out;  // echo bytes the socket has not taken yet
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int listen_on(const std::string& ip, int* port) {
    bool v6 = ip.find(':') != std::string::npos;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr);
        len = sizeof(*a);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, ip.c_str(), &a->sin_addr);
        len = sizeof(*a);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    *port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    set_nonblocking(fd);
    return fd;
}

// Writes what the socket takes now; false when the connection is broken.
bool flush(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        c.out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

TcpEcho::TcpEcho(const std::string& ip) {
    m_listen = listen_on(ip, &m_port);
    if (pipe(m_wake) != 0) m_wake[0] = m_wake[1] = -1;
    set_nonblocking(m_wake[0]);
    m_thread = std::thread([this] { run(); });
}

TcpEcho::~TcpEcho() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_stop = true;
    }
    wake();
    m_thread.join();
    if (m_listen >= 0) close(m_listen);
    close(m_wake[0]);
    close(m_wake[1]);
}

void TcpEcho::set_greeting(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_greeting = bytes;
}

void TcpEcho::set_reading(bool on) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_reading = on;
    }
    wake();
}

void TcpEcho::close_connections() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_close_all = true;
    }
    wake();
}

void TcpEcho::wake() {
    char b = 1;
    ssize_t n = write(m_wake[1], &b, 1);
    (void)n;
}

void TcpEcho::run() {
    std::vector<Conn> conns;
    std::vector<char> buf(65536);
    for (;;) {
        bool reading;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_stop) break;
            if (m_close_all) {
                for (Conn& c : conns) close(c.fd);
                conns.clear();
                m_close_all = false;
            }
            reading = m_reading;
        }
        // A held connection is left out of the poll, so a hang-up it cannot
        // read yet does not spin the loop.
        std::vector<pollfd> fds;
        std::vector<size_t> polled;
        fds.push_back({m_wake[0], POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        for (size_t i = 0; i < conns.size(); ++i) {
            short ev = reading ? POLLIN : 0;
            if (!conns[i].out.empty()) ev |= POLLOUT;
            if (ev == 0) continue;
            fds.push_back({conns[i].fd, ev, 0});
            polled.push_back(i);
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(m_wake[0], drain, sizeof(drain)) > 0) {
            }
        }
        std::vector<bool> broken(conns.size(), false);
        for (size_t k = 0; k < polled.size(); ++k) {
            Conn& c = conns[polled[k]];
            short re = fds[k + 2].revents;
            bool ok = true;
            if (reading && (re & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t n = recv(c.fd, buf.data(), buf.size(), 0);
                if (n > 0) {
                    c.out.append(buf.data(), static_cast<size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ok = false;
                }
            }
            if (ok) ok = flush(c);
            broken[polled[k]] = !ok;
        }
        std::vector<Conn> alive;
        for (size_t i = 0; i < conns.size(); ++i) {
            if (broken[i]) {
                close(conns[i].fd);
            } else {
                alive.push_back(std::move(conns[i]));
            }
        }
        conns.swap(alive);
        if (fds[1].revents & POLLIN) {
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd >= 0) {
                set_nonblocking(fd);
                ++m_accepted;
                Conn c{fd, ""};
                {
                    std::lock_guard<std::mutex> lock(m_mtx);
                    c.out = m_greeting;
                }
                if (flush(c)) {
                    conns.push_back(c);
                } else {
                    close(fd);
                }
            }
        }
    }
    for (Conn& c : conns) close(c.fd);
}

}  // namespace nuvra_test
