#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvra_test {

// One step of a scripted proxy's part in a conversation.
struct ProxyStep {
    enum Kind { kRecv, kSend, kPause, kClose, kEcho } kind;
    std::string bytes;  // kSend
    size_t count = 0;   // kRecv: bytes to read
    int ms = 0;         // kPause
};

ProxyStep Recv(size_t n);
ProxyStep Send(const std::string& bytes);
ProxyStep Pause(int ms);
// Closes the connection (the client sees end of stream).
ProxyStep Close();
// Echoes everything until the client closes.
ProxyStep Echo();

// A loopback TCP server on POSIX sockets that plays a script on the first
// connection it accepts: reads and answers as told, so that answers can come
// split, short, wrong or followed by data. After the last step it keeps the
// connection open and drains it until destroyed.
class FakeSocks5 {
public:
    explicit FakeSocks5(std::vector<ProxyStep> script);
    ~FakeSocks5();
    FakeSocks5(const FakeSocks5&) = delete;
    FakeSocks5& operator=(const FakeSocks5&) = delete;

    int port() const { return m_port; }
    // Every byte the kRecv steps read, in order.
    std::string received() const;

private:
    void run();
    // True once fd is readable; false when the server stops or timeout_ms
    // passes. With fd -1 it waits for the stop only.
    bool wait_readable(int fd, int timeout_ms);
    bool stopping();

    std::vector<ProxyStep> m_script;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    int m_port = 0;
    mutable std::mutex m_mtx;
    std::string m_received;
    std::thread m_thread;
};

}  // namespace nuvra_test
