#include "peers/telemetry_collector.h"

#include "peers/udp_peer_util.h"

namespace nuvra_test {

namespace {

std::string ack_text(uint64_t seq) { return "{\"seq\":" + std::to_string(seq) + "}"; }

}  // namespace

TelemetryCollector::TelemetryCollector(const std::string& ip, uint16_t port) {
    m_fd = bind_udp(ip, port);
    m_other_fd = bind_udp(ip, 0);
    auto on_datagram = [this](size_t, const std::string& bytes, const sockaddr_storage& from, socklen_t from_len) {
        this->on_datagram(bytes, from, from_len);
    };
    if (m_fd < 0 || m_other_fd < 0 || !m_loop.start({m_fd}, on_datagram)) {
        close_fd(m_fd);
        close_fd(m_other_fd);
        return;
    }
    m_port = local_port(m_fd);
}

TelemetryCollector::~TelemetryCollector() {
    m_loop.stop();
    close_fd(m_fd);
    close_fd(m_other_fd);
}

void TelemetryCollector::set_reply(Reply reply) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_reply = reply;
}

void TelemetryCollector::set_ack_delay(int delay_ms) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_delay_ms = delay_ms;
}

void TelemetryCollector::drop_first(int k) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_drop = k;
}

bool TelemetryCollector::send_text(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_last_from_len == 0) return false;
    std::string bytes = deflate_text(text);
    return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&m_last_from),
                  m_last_from_len) == static_cast<ssize_t>(bytes.size());
}

std::optional<TelemetryCollector::Report> TelemetryCollector::wait_report(size_t index, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_reports.size() > index; })) {
        return std::nullopt;
    }
    return m_reports[index];
}

std::vector<TelemetryCollector::Report> TelemetryCollector::reports() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_reports;
}

void TelemetryCollector::on_datagram(const std::string& bytes, const sockaddr_storage& from, socklen_t from_len) {
    Report report;
    report.text = inflate_datagram(bytes);
    report.json = parse_json_object(report.text);
    report.src_port = port_of(from);
    report.at = Clock::now();

    Reply reply;
    int delay_ms;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        report.dropped = m_drop > 0;
        if (report.dropped) --m_drop;
        reply = m_reply;
        delay_ms = m_delay_ms;
        m_last_from = from;
        m_last_from_len = from_len;
        m_reports.push_back(report);
    }
    m_cv.notify_all();
    if (report.dropped) return;

    for (auto& answer : answers_for(reply, report.json)) {
        m_loop.send_at(report.at + std::chrono::milliseconds(delay_ms), answer.first, from, from_len,
                       std::move(answer.second));
    }
}

// Answers as (socket, payload); the acknowledging replies need the report's "seq".
std::vector<std::pair<int, std::string>> TelemetryCollector::answers_for(Reply reply,
                                                                         const Json::Value& report) const {
    switch (reply) {
        case Reply::Garbage: return {{m_fd, std::string("\x01\x02 not a zlib stream")}};
        case Reply::JsonArray: return {{m_fd, deflate_text("[1]")}};
        case Reply::StringSeq: return {{m_fd, deflate_text("{\"seq\":\"0\"}")}};
        case Reply::None: return {};
        default: break;
    }
    if (!report.isObject() || !report["seq"].isUInt()) return {};
    uint64_t seq = report["seq"].asUInt();
    std::string ack = deflate_text(ack_text(reply == Reply::WrongSeq ? seq + 1 : seq));
    if (reply == Reply::Twice) return {{m_fd, ack}, {m_fd, ack}};
    if (reply == Reply::OtherSocket) return {{m_other_fd, ack}};
    return {{m_fd, ack}};
}

}  // namespace nuvra_test
