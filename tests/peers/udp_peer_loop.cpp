#include "peers/udp_peer_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "peers/udp_peer_util.h"

namespace nuvra_test {

UdpPeerLoop::~UdpPeerLoop() { stop(); }

bool UdpPeerLoop::start(std::vector<int> sockets, OnDatagram on_datagram) {
    if (running() || pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    m_stop = false;
    m_sockets = std::move(sockets);
    m_on_datagram = std::move(on_datagram);
    m_thread = std::thread([this] { run(); });
    return true;
}

void UdpPeerLoop::stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        char byte = 0;
        (void)!write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    close_fd(m_wake[0]);
    close_fd(m_wake[1]);
}

void UdpPeerLoop::send_at(Clock::time_point due, int fd, const sockaddr_storage& to, socklen_t to_len,
                          std::string bytes) {
    m_outgoing.push_back({due, fd, to, to_len, std::move(bytes)});
}

void UdpPeerLoop::run() {
    std::vector<pollfd> fds;
    for (int fd : m_sockets) fds.push_back({fd, POLLIN, 0});
    fds.push_back({m_wake[0], POLLIN, 0});
    std::string buf(65536, '\0');
    while (!m_stop) {
        if (poll(fds.data(), fds.size(), poll_timeout_ms()) < 0 && errno != EINTR) return;
        for (size_t i = 0; i < m_sockets.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            for (;;) {
                sockaddr_storage from{};
                socklen_t from_len = sizeof from;
                ssize_t n =
                    recvfrom(m_sockets[i], &buf[0], buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
                if (n < 0) break;
                m_on_datagram(i, buf.substr(0, n), from, from_len);
            }
        }
        send_due();
    }
}

void UdpPeerLoop::send_due() {
    auto now = Clock::now();
    auto due = std::stable_partition(m_outgoing.begin(), m_outgoing.end(),
                                     [&](const Outgoing& o) { return o.due <= now; });
    for (auto it = m_outgoing.begin(); it != due; ++it) {
        sendto(it->fd, it->bytes.data(), it->bytes.size(), 0, reinterpret_cast<const sockaddr*>(&it->to),
               it->to_len);
    }
    m_outgoing.erase(m_outgoing.begin(), due);
}

int UdpPeerLoop::poll_timeout_ms() const {
    if (m_outgoing.empty()) return -1;
    auto next = std::min_element(m_outgoing.begin(), m_outgoing.end(),
                                 [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; })->due;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

}  // namespace nuvra_test
