#include "peers/discovery_service.h"

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
constexpr int kMaxPorts = 8;

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

// The JSON object after "getaddr ", or null.
Json::Value parse_request(const std::string& text) {
    static const std::string prefix = "getaddr ";
    if (text.compare(0, prefix.size(), prefix) != 0) return Json::Value();
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    const char* begin = text.data() + prefix.size();
    if (!reader->parse(begin, text.data() + text.size(), &value, &errors) || !value.isObject()) {
        return Json::Value();
    }
    return value;
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

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
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
        bound = m_other_fd >= 0 && pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) == 0;
    }
    if (!bound) {
        for (auto& fd : m_fds) close_fd(fd);
        m_fds.clear();
        close_fd(m_other_fd);
        return;
    }
    m_thread = std::thread([this] { run(); });
}

DiscoveryService::~DiscoveryService() {
    if (m_thread.joinable()) {
        m_stop = true;
        char byte = 0;
        (void)!write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    for (auto& fd : m_fds) close_fd(fd);
    close_fd(m_other_fd);
    close_fd(m_wake[0]);
    close_fd(m_wake[1]);
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

void DiscoveryService::run() {
    std::vector<pollfd> fds;
    for (int fd : m_fds) fds.push_back({fd, POLLIN, 0});
    fds.push_back({m_wake[0], POLLIN, 0});
    std::string buf(65536, '\0');
    while (!m_stop) {
        if (poll(fds.data(), fds.size(), poll_timeout_ms()) < 0 && errno != EINTR) return;
        for (size_t i = 0; i < m_fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            for (;;) {
                sockaddr_storage from{};
                socklen_t from_len = sizeof from;
                ssize_t n = recvfrom(m_fds[i], &buf[0], buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
                if (n < 0) break;
                on_datagram(m_fds[i], kFirstPort + i, buf.substr(0, n), from, from_len);
            }
        }
        send_due();
    }
}

void DiscoveryService::on_datagram(int fd, uint16_t dst_port, const std::string& bytes, const sockaddr_storage& from,
                                   socklen_t from_len) {
    Request request;
    request.text = inflate_bytes(bytes);
    request.json = parse_request(request.text);
    request.src_port = port_of(from);
    request.dst_port = dst_port;
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
        m_requests.push_back(request);
    }
    m_cv.notify_all();
    if (!answer) return;

    Outgoing out{request.at + std::chrono::milliseconds(delay_ms), other ? m_other_fd : fd, from, from_len, *answer};
    m_outgoing.push_back(out);
    if (twice) m_outgoing.push_back(out);
}

void DiscoveryService::send_due() {
    auto now = Clock::now();
    auto due = std::stable_partition(m_outgoing.begin(), m_outgoing.end(),
                                     [&](const Outgoing& o) { return o.due <= now; });
    for (auto it = m_outgoing.begin(); it != due; ++it) {
        sendto(it->fd, it->bytes.data(), it->bytes.size(), 0, reinterpret_cast<const sockaddr*>(&it->to),
               it->to_len);
    }
    m_outgoing.erase(m_outgoing.begin(), due);
}

int DiscoveryService::poll_timeout_ms() const {
    if (m_outgoing.empty()) return -1;
    auto next = std::min_element(m_outgoing.begin(), m_outgoing.end(),
                                 [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; })->due;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

}  // namespace nuvra_test
