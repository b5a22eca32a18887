#pragma once

#include <json/json.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "peers/udp_peer_loop.h"

namespace nuvra_test {

// A telemetry collector on a loopback UDP socket. Every datagram is inflated
// and recorded; a report is then answered the way the test chose. A report's
// datagram is the zlib stream of a JSON object with "seq"; the acknowledgement
// is the zlib stream of {"seq":N}.
class TelemetryCollector {
public:
    using Clock = std::chrono::steady_clock;

    // What the collector sends back for a report.
    enum class Reply {
        Ack,          // {"seq":N} with the report's own seq
        WrongSeq,     // {"seq":N+1}
        Garbage,      // bytes that are not a zlib stream
        JsonArray,    // [1]
        StringSeq,    // {"seq":"0"}
        Twice,        // the right acknowledgement, sent two times
        OtherSocket,  // the right acknowledgement, sent from a second socket
        None,         // nothing
    };

    struct Report {
        std::string text;       // inflated payload; "" when it is not a zlib stream
        Json::Value json;       // text parsed; null unless it is a JSON object
        uint16_t src_port = 0;  // sender's port
        Clock::time_point at;   // arrival
        bool dropped = false;   // left unanswered by drop_first
    };

    // Binds ip:port (port 0: ephemeral; the real collector uses 8000) and starts the thread.
    explicit TelemetryCollector(const std::string& ip = "127.0.0.1", uint16_t port = 0);
    ~TelemetryCollector();
    TelemetryCollector(const TelemetryCollector&) = delete;
    TelemetryCollector& operator=(const TelemetryCollector&) = delete;

    // True when the socket is bound and the thread runs.
    bool ok() const { return m_loop.running(); }
    // The bound port.
    uint16_t port() const { return m_port; }
    // How the following reports are answered (default Ack).
    void set_reply(Reply reply);
    // Answers to the following reports leave delay_ms after their arrival.
    void set_ack_delay(int delay_ms);
    // The next k reports are recorded but not answered.
    void drop_first(int k);
    // Sends the zlib stream of text to the sender of the last report; false when there is none.
    bool send_text(const std::string& text);
    // Waits up to timeout_ms for the report at index (0 = the first ever received).
    std::optional<Report> wait_report(size_t index, int timeout_ms) const;
    // Every report received so far, in arrival order.
    std::vector<Report> reports() const;

private:
    void on_datagram(const std::string& bytes, const sockaddr_storage& from, socklen_t from_len);
    std::vector<std::pair<int, std::string>> answers_for(Reply reply, const Json::Value& report) const;

    int m_fd = -1;
    int m_other_fd = -1;
    uint16_t m_port = 0;

    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    Reply m_reply = Reply::Ack;
    int m_delay_ms = 0;
    int m_drop = 0;
    std::vector<Report> m_reports;
    sockaddr_storage m_last_from{};
    socklen_t m_last_from_len = 0;

    UdpPeerLoop m_loop;
};

}  // namespace nuvra_test
