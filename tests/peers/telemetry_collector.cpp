#include "peers/telemetry_collector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace nuvra_test {

namespace {

constexpr size_t kMaxInflated = 1 << 20;

std::string deflate_text(const std::string& text) {
    uLongf size = compressBound(text.size());
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
                  text.size(), Z_DEFAULT_COMPRESSION) != Z_OK) {
        return "";
    }
    out.resize(size);
    return out;
}

// "" unless bytes hold one complete zlib stream.
std::string inflate_bytes(const std::string& bytes) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return "";
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    zs.avail_in = bytes.size();
    std::string out;
    char chunk[16384];
    int rc;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - zs.avail_out);
    } while (rc == Z_OK && out.size() < kMaxInflated);
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? out : "";
}

Json::Value parse_object(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject()) {
        return Json::Value();
    }
    return value;
}

bool make_addr(const std::string& ip, uint16_t port, sockaddr_storage& ss, socklen_t& len) {
    ss = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

uint16_t port_of(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
}

// A non-blocking UDP socket bound to ip:port, or -1.
int bind_udp(const std::string& ip, uint16_t port) {
    sockaddr_storage ss;
    socklen_t len;
    if (!make_addr(ip, port, ss, len)) return -1;
    int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t local_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return port_of(ss);
}

std::string ack_text(uint64_t seq) { return "{\"seq\":" + std::to_string(seq) + "}"; }

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

TelemetryCollector::TelemetryCollector(const std::string& ip, uint16_t port) {
    m_fd = bind_udp(ip, port);
    m_other_fd = bind_udp(ip, 0);
    if (m_fd < 0 || m_other_fd < 0 || pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        close_fd(m_fd);
        close_fd(m_other_fd);
        return;
    }
    m_port = local_port(m_fd);
    m_thread = std::thread([this] { run(); });
}

TelemetryCollector::~TelemetryCollector() {
    if (m_thread.joinable()) {
        m_stop = true;
        char byte = 0;
        (void)!write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    close_fd(m_fd);
    close_fd(m_other_fd);
    close_fd(m_wake[0]);
    close_fd(m_wake[1]);
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

void TelemetryCollector::run() {
    std::string buf(65536, '\0');
    while (!m_stop) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, poll_timeout_ms()) < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) {
            for (;;) {
                sockaddr_storage from{};
                socklen_t from_len = sizeof from;
                ssize_t n = recvfrom(m_fd, &buf[0], buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
                if (n < 0) break;
                on_datagram(buf.substr(0, n), from, from_len);
            }
        }
        send_due();
    }
}

void TelemetryCollector::on_datagram(const std::string& bytes, const sockaddr_storage& from, socklen_t from_len) {
    Report report;
    report.text = inflate_bytes(bytes);
    report.json = parse_object(report.text);
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
        m_outgoing.push_back({report.at + std::chrono::milliseconds(delay_ms), answer.first, from, from_len,
                              std::move(answer.second)});
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

void TelemetryCollector::send_due() {
    auto now = Clock::now();
    auto due = std::stable_partition(m_outgoing.begin(), m_outgoing.end(),
                                     [&](const Outgoing& o) { return o.due <= now; });
    for (auto it = m_outgoing.begin(); it != due; ++it) {
        sendto(it->fd, it->bytes.data(), it->bytes.size(), 0, reinterpret_cast<const sockaddr*>(&it->to),
               it->to_len);
    }
    m_outgoing.erase(m_outgoing.begin(), due);
}

int TelemetryCollector::poll_timeout_ms() const {
    if (m_outgoing.empty()) return -1;
    auto next = std::min_element(m_outgoing.begin(), m_outgoing.end(),
                                 [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; })->due;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

}  // namespace nuvra_test
