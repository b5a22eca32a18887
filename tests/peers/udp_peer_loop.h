#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace nuvra_test {

// The thread of a UDP test peer: polls the peer's sockets, hands every
// datagram to the peer on this thread, and sends the answers the peer queued
// once their time has come.
class UdpPeerLoop {
public:
    using Clock = std::chrono::steady_clock;
    // socket is the index into the sockets given to start.
    using OnDatagram = std::function<void(size_t socket, const std::string& bytes, const sockaddr_storage& from,
                                          socklen_t from_len)>;

    UdpPeerLoop() = default;
    ~UdpPeerLoop();
    UdpPeerLoop(const UdpPeerLoop&) = delete;
    UdpPeerLoop& operator=(const UdpPeerLoop&) = delete;

    // Starts the thread over these non-blocking sockets, which stay the
    // caller's; false when it cannot.
    bool start(std::vector<int> sockets, OnDatagram on_datagram);
    // True from a successful start until stop.
    bool running() const { return m_thread.joinable(); }
    // Ends the thread and waits for it; harmless when it does not run. Call
    // before the sockets close.
    void stop();
    // Queues bytes to leave fd for to at due. On the thread only (from on_datagram).
    void send_at(Clock::time_point due, int fd, const sockaddr_storage& to, socklen_t to_len, std::string bytes);

private:
    struct Outgoing {
        Clock::time_point due;
        int fd;
        sockaddr_storage to;
        socklen_t to_len;
        std::string bytes;
    };

    void run();
    void send_due();
    int poll_timeout_ms() const;

    std::vector<int> m_sockets;
    OnDatagram m_on_datagram;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::vector<Outgoing> m_outgoing;  // the thread only
    std::thread m_thread;
};

}  // namespace nuvra_test
