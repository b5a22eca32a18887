#include "peers/discovery_service.h"

#include "peers/udp_peer_util.h"

namespace nuvra_test {

namespace {

constexpr int kMaxPorts = 8;

// The JSON object after "getaddr ", or null.
Json::Value parse_request(const std::string& text) {
    static const std::string prefix = "getaddr ";
    if (text.compare(0, prefix.size(), prefix) != 0) return Json::Value();
    return parse_json_object(text.substr(prefix.size()));
}

Json::Value addr_list(const std::vector<DiscoveryService::Addr>& addrs) {
    Json::Value list(Json::arrayValue);
    for (const auto& a : addrs) {
        Json::Value pair(Json::arrayValue);
        pair.append(a.host);
        pair.append(Json::UInt(a.port));
        list.append(pair);
    }
    return list;
}

std::string ok_text(const Json::Value& body) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return "ok " + Json::writeString(writer, body);
}

Json::Value ok_body(const std::vector<DiscoveryService::Addr>& tcp, const std::vector<DiscoveryService::Addr>& http) {
    Json::Value body(Json::objectValue);
    body["http"] = addr_list(http);
    body["tcp"] = addr_list(tcp);
    return body;
}

// Hex digits of a fixed pseudo-random sequence: they compress to about half
// their length, so the answer stays large after compression.
std::string incompressible_padding(size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string pad(n, '0');
    uint32_t x = 2463534242u;
    for (auto& c : pad) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = digits[x & 15];
    }
    return pad;
}

}  // namespace

DiscoveryService::DiscoveryService(const std::string& ip, int nports)
    : m_answer(deflate_text(ok_text(ok_body({}, {})))) {
    bool bound = nports >= 1 && nports <= kMaxPorts;
    for (int i = 0; bound && i < nports; ++i) {
        m_fds.push_back(bind_udp(ip, kFirstPort + i));
        bound = m_fds.back() >= 0;
    }
    if (bound) {
        m_other_fd = bind_udp(ip, 0);
        auto on_datagram = [this](size_t port_index, const std::string& bytes, const sockaddr_storage& from,
                                  socklen_t from_len) { this->on_datagram(port_index, bytes, from, from_len); };
        bound = m_other_fd >= 0 && m_loop.start(m_fds, on_datagram);
    }
    if (!bound) close_sockets();
}

DiscoveryService::~DiscoveryService() {
    m_loop.stop();
    close_sockets();
}

void DiscoveryService::answer_ok(const std::vector<Addr>& tcp, const std::vector<Addr>& http) {
    set_answer(deflate_text(ok_text(ok_body(tcp, http))));
}

void DiscoveryService::answer_text(const std::string& text) { set_answer(deflate_text(text)); }

void DiscoveryService::answer_bytes(const std::string& bytes) { set_answer(bytes); }

void DiscoveryService::answer_oversized(const std::vector<Addr>& tcp) {
    Json::Value body = ok_body(tcp, {});
    body["pad"] = incompressible_padding(8000);
    set_answer(deflate_text(ok_text(body)));
}

void DiscoveryService::stay_silent() { set_answer(std::nullopt); }

void DiscoveryService::set_delay(int delay_ms) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_delay_ms = delay_ms;
}

void DiscoveryService::set_twice(bool twice) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_twice = twice;
}

void DiscoveryService::set_recording(bool on) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_recording = on;
}

void DiscoveryService::set_other_socket(bool other) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_other = other;
}

std::optional<DiscoveryService::Request> DiscoveryService::wait_request(size_t index, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_requests.size() > index; })) {
        return std::nullopt;
    }
    return m_requests[index];
}

std::vector<DiscoveryService::Request> DiscoveryService::requests() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_requests;
}

void DiscoveryService::set_answer(std::optional<std::string> bytes) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_answer = std::move(bytes);
}

void DiscoveryService::close_sockets() {
    for (auto& fd : m_fds) close_fd(fd);
    m_fds.clear();
    close_fd(m_other_fd);
}

void DiscoveryService::on_datagram(size_t port_index, const std::string& bytes, const sockaddr_storage& from,
                                   socklen_t from_len) {
    Request request;
    request.text = inflate_datagram(bytes);
    request.json = parse_request(request.text);
    request.src_port = port_of(from);
    request.dst_port = kFirstPort + port_index;
    request.at = Clock::now();

    std::optional<std::string> answer;
    int delay_ms;
    bool twice;
    bool other;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        answer = m_answer;
        delay_ms = m_delay_ms;
        twice = m_twice;
        other = m_other;
        if (m_recording) m_requests.push_back(request);
    }
    m_cv.notify_all();
    if (!answer) return;

    auto due = request.at + std::chrono::milliseconds(delay_ms);
    int fd = other ? m_other_fd : m_fds[port_index];
    m_loop.send_at(due, fd, from, from_len, *answer);
    if (twice) m_loop.send_at(due, fd, from, from_len, *answer);
}

}  // namespace nuvra_test
