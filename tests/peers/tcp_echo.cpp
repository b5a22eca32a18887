#include "peers/tcp_echo.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace nuvra_test {

namespace {

constexpr int kBacklog = 64;

struct Conn {
    int fd;
    std::string out;  // echo bytes the socket has not taken yet
};

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
    if (m_server.open(ip, kBacklog)) m_server.thread = std::thread([this] { run(); });
}

TcpEcho::~TcpEcho() { m_server.stop(m_mtx); }

void TcpEcho::set_greeting(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_greeting = bytes;
}

void TcpEcho::set_reading(bool on) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_reading = on;
    }
    m_server.wake();
}

void TcpEcho::close_connections() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_close_all = true;
    }
    m_server.wake();
}

void TcpEcho::run() {
    std::vector<Conn> conns;
    std::vector<char> buf(65536);
    for (;;) {
        bool reading;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_server.stopping) break;
            if (m_close_all) {
                for (Conn& c : conns) close(c.fd);
                conns.clear();
                m_close_all = false;
            }
            reading = m_reading;
        }
        // A held connection is left out of the poll, so a hang-up it cannot
        // read yet does not spin the loop.
        std::vector<pollfd> fds = m_server.round_fds();
        std::vector<size_t> polled;
        for (size_t i = 0; i < conns.size(); ++i) {
            short ev = reading ? POLLIN : 0;
            if (!conns[i].out.empty()) ev |= POLLOUT;
            if (ev == 0) continue;
            fds.push_back({conns[i].fd, ev, 0});
            polled.push_back(i);
        }
        if (!m_server.poll(fds, -1)) break;
        std::vector<bool> broken(conns.size(), false);
        for (size_t k = 0; k < polled.size(); ++k) {
            Conn& c = conns[polled[k]];
            short re = fds[PollServer::kFirstConnFd + k].revents;
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
        if (m_server.listener_ready(fds)) {
            int fd = m_server.accept_conn();
            if (fd >= 0) {
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
