#pragma once

#include <poll.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvra_test {

// What a TCP test peer serving every connection from one thread of its own
// needs besides its connections: a non-blocking listener, a pipe that wakes
// the thread out of poll, and the stop the thread checks under the peer's lock.
// The peer starts `thread` itself and owns the lock.
struct PollServer {
    // Where the peer's own fds start in round_fds().
    static constexpr size_t kFirstConnFd = 2;

    PollServer() = default;
    // Closes the listener and the pipe; stop() first.
    ~PollServer();
    PollServer(const PollServer&) = delete;
    PollServer& operator=(const PollServer&) = delete;

    // Listens on host ("127.0.0.1" or "::1") at an ephemeral port and opens
    // the pipe; false, with nothing open, when either fails.
    bool open(const std::string& host, int backlog);
    // Listens again on host at `port`; false when it cannot.
    bool listen_again(const std::string& host, int backlog);
    // Sets stopping under mu, then wakes the thread, if started, and waits for it.
    void stop(std::mutex& mu);
    // Makes the thread's poll return; for a change made under the peer's lock.
    void wake();
    // The start of every round's fds: the pipe, then the listener.
    std::vector<pollfd> round_fds() const;
    // Polls fds, then empties the pipe if it woke the poll; false when poll
    // fails other than by a signal. Call without the peer's lock.
    bool poll(std::vector<pollfd>& fds, int timeout_ms);
    // True when the poll found connections waiting on the listener.
    bool listener_ready(const std::vector<pollfd>& fds) const;
    // The next waiting connection, non-blocking and with Nagle off; -1 when none.
    int accept_conn() const;

    int listen_fd = -1;  // -1 while a peer keeps its port shut
    uint16_t port = 0;
    int wake_fds[2] = {-1, -1};
    bool stopping = false;  // under the peer's lock
    std::thread thread;
};

}  // namespace nuvra_test
