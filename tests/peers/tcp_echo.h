#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "peers/poll_server.h"

namespace nuvra_test {

// A loopback TCP server on POSIX sockets that echoes what every accepted
// connection sends. Reading can be held back to let the client's writes pile
// up, and each connection can be greeted with bytes of its own.
class TcpEcho {
public:
    // ip: "127.0.0.1" or "::1"; the port is chosen by the system.
    explicit TcpEcho(const std::string& ip = "127.0.0.1");
    ~TcpEcho();
    TcpEcho(const TcpEcho&) = delete;
    TcpEcho& operator=(const TcpEcho&) = delete;

    int port() const { return m_server.port; }
    // Sent to each connection as soon as it is accepted; set before connecting.
    void set_greeting(const std::string& bytes);
    // Off: accepted connections are neither read nor echoed until turned on.
    void set_reading(bool on);
    // Closes every accepted connection (the client sees end of stream).
    void close_connections();
    int accepted() const { return m_accepted.load(); }

private:
    void run();

    std::mutex m_mtx;
    std::string m_greeting;
    bool m_reading = true;
    bool m_close_all = false;
    std::atomic<int> m_accepted{0};
    PollServer m_server;
};

}  // namespace nuvra_test
