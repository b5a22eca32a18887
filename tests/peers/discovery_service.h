#pragma once

#include <json/json.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "peers/udp_peer_loop.h"

namespace nuvra_test {

// A discovery service on one loopback address, listening on the fixed UDP
// ports 8180 .. 8180 + nports - 1. A request is the zlib stream of
// "getaddr " + JSON; a good answer is the zlib stream of "ok " + a JSON object
// with the lists "http" and "tcp" of [host, port] pairs. Every datagram is
// inflated and recorded; each request gets the answer the test chose, from
// the port it reached. Tests use one address each (127.0.0.2, 127.0.0.3, ...).
class DiscoveryService {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint16_t kFirstPort = 8180;

    struct Addr {
        std::string host;
        unsigned port;
    };

    struct Request {
        std::string text;       // inflated payload; "" when it is not a zlib stream
        Json::Value json;       // the object after "getaddr "; null when absent or malformed
        uint16_t src_port = 0;  // sender's port
        uint16_t dst_port = 0;  // the discovery port it reached
        Clock::time_point at;   // arrival
    };

    // Binds ip:8180 .. ip:8180+nports-1 (nports 1..8) and starts the thread.
    explicit DiscoveryService(const std::string& ip, int nports = 2);
    ~DiscoveryService();
    DiscoveryService(const DiscoveryService&) = delete;
    DiscoveryService& operator=(const DiscoveryService&) = delete;

    // True when every port is bound and the thread runs.
    bool ok() const { return m_loop.running(); }
    // Answer "ok " + {"http":[[host,port],...],"tcp":[...]} (default: both lists empty).
    void answer_ok(const std::vector<Addr>& tcp, const std::vector<Addr>& http = {});
    // Answer any text, compressed: an error text, or "ok " + malformed or wrongly typed JSON.
    void answer_text(const std::string& text);
    // Answer these bytes as they are, uncompressed (such as bytes that are not a zlib stream).
    void answer_bytes(const std::string& bytes);
    // Answer a good "ok " answer with this tcp list whose compressed form exceeds 2048 bytes.
    void answer_oversized(const std::vector<Addr>& tcp);
    // Answer nothing.
    void stay_silent();
    // Answers leave delay_ms after their request arrived.
    void set_delay(int delay_ms);
    // Every answer is sent two times.
    void set_twice(bool twice);
    // Answers are sent from a socket on an ephemeral port instead of the discovery port.
    void set_other_socket(bool other);
    // Off: requests are answered but not kept, so a long run's record does not
    // grow (wait_request and requests() then see none of them).
    void set_recording(bool on);
    // Waits up to timeout_ms for the request at index (0 = the first ever received).
    std::optional<Request> wait_request(size_t index, int timeout_ms) const;
    // Every request received so far, in arrival order.
    std::vector<Request> requests() const;

private:
    void set_answer(std::optional<std::string> bytes);
    void close_sockets();
    void on_datagram(size_t port_index, const std::string& bytes, const sockaddr_storage& from, socklen_t from_len);

    std::vector<int> m_fds;  // one per discovery port, in port order
    int m_other_fd = -1;

    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    std::optional<std::string> m_answer;  // datagram payload; none: silent
    int m_delay_ms = 0;
    bool m_twice = false;
    bool m_other = false;
    bool m_recording = true;
    std::vector<Request> m_requests;

    UdpPeerLoop m_loop;
};

}  // namespace nuvra_test
