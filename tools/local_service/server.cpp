#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "discovery_answer.h"
#include "telemetry_ack.h"

namespace local_service {

namespace {

constexpr size_t kMaxConns = 2048;
constexpr size_t kMaxPending = 16u << 20;  // unsent bytes a client may leave unread
constexpr int kTickMs = 500;

uint64_t mono_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool make_addr(const std::string& ip, uint16_t port, sockaddr_storage* ss, socklen_t* len) {
    *ss = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(ss);
    if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *len = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(ss);
    if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

std::string addr_text(const sockaddr_storage& ss) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (ss.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// A non-blocking socket bound to ip:port; -1 with the reason otherwise.
int bind_socket(const std::string& ip, uint16_t port, int type, std::string* error) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!make_addr(ip, port, &ss, &len)) {
        *error = "not an address: " + ip;
        return -1;
    }
    int fd = socket(ss.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || (type == SOCK_STREAM && listen(fd, 128) != 0)) {
        *error = (type == SOCK_STREAM ? "tcp " : "udp ") + ip + ":" + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t bound_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

}  // namespace

void log_line(const std::string& line) {
    auto now = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::printf("%s.%03d %s\n", stamp, ms, line.c_str());
    std::fflush(stdout);
}

Server::Server(ServiceOptions options) : m_options(std::move(options)) {
    LineConfig config;
    config.login_config = m_options.login_config;
    config.session_grace_ms = m_options.session_grace_ms;
    config.drop_prefix = m_options.drop_prefix;
    config.drop_after_ms = m_options.drop_after_ms;
    LinePorts ports;
    ports.send = [this](int conn, const std::string& text) { send_text(conn, text); };
    ports.close = [this](int conn) {
        auto it = m_conns.find(conn);
        if (it != m_conns.end()) it->second.doomed = true;
    };
    ports.log = log_line;
    m_line = std::make_unique<LineService>(std::move(config), std::move(ports));
}

Server::~Server() {
    for (auto& [id, c] : m_conns) close(c.fd);
    for (int fd : m_discovery_fds) close(fd);
    if (m_listen_fd >= 0) close(m_listen_fd);
    if (m_telemetry_fd >= 0) close(m_telemetry_fd);
}

bool Server::open(std::string* error) {
    const std::string& ip = m_options.address;
    m_listen_fd = bind_socket(ip, m_options.line_port, SOCK_STREAM, error);
    if (m_listen_fd < 0) return false;
    m_line_port = bound_port(m_listen_fd);
    for (int i = 0; i < m_options.discovery_ports; ++i) {
        int fd = bind_socket(ip, static_cast<uint16_t>(kFirstDiscoveryPort + i), SOCK_DGRAM, error);
        if (fd < 0) return false;
        m_discovery_fds.push_back(fd);
    }
    m_telemetry_fd = bind_socket(ip, m_options.telemetry_port, SOCK_DGRAM, error);
    return m_telemetry_fd >= 0;
}

std::string Server::endpoint(uint16_t port) const {
    bool v6 = m_options.address.find(':') != std::string::npos;
    return (v6 ? "[" + m_options.address + "]" : m_options.address) + ":" + std::to_string(port);
}

std::string Server::ready_line() const {
    std::string discovery = endpoint(kFirstDiscoveryPort);
    if (m_options.discovery_ports > 1) discovery += "-" + std::to_string(kFirstDiscoveryPort + m_options.discovery_ports - 1);
    return "ready line=" + endpoint(m_line_port) + " discovery=" + discovery +
           " telemetry=" + endpoint(m_options.telemetry_port);
}

void Server::run(int stop_fd) {
    uint64_t last_tick = mono_ms();
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({stop_fd, POLLIN, 0});
        fds.push_back({m_listen_fd, POLLIN, 0});
        for (int fd : m_discovery_fds) fds.push_back({fd, POLLIN, 0});
        fds.push_back({m_telemetry_fd, POLLIN, 0});
        std::vector<int> ids;
        for (auto& [id, c] : m_conns) {
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
            ids.push_back(id);
        }
        if (poll(fds.data(), fds.size(), kTickMs) < 0 && errno != EINTR) {
            log_line(std::string("poll failed: ") + strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        if (fds[1].revents) accept_all();
        size_t k = 2;
        for (int fd : m_discovery_fds)
            if (fds[k++].revents) serve_discovery(fd);
        if (fds[k++].revents) serve_telemetry(m_telemetry_fd);
        for (int id : ids) {
            short revents = fds[k++].revents;
            auto it = m_conns.find(id);
            if (it == m_conns.end() || it->second.doomed) continue;
            if (revents & (POLLIN | POLLHUP | POLLERR)) read_conn(id);
            it = m_conns.find(id);
            if (it != m_conns.end() && !it->second.doomed && (revents & POLLOUT)) write_conn(it->second);
        }
        close_doomed();
        uint64_t now = mono_ms();
        if (now - last_tick >= kTickMs) {
            last_tick = now;
            m_line->tick(now);
            close_doomed();
        }
    }
}

void Server::accept_all() {
    for (;;) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = accept4(m_listen_fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (m_conns.size() >= kMaxConns) {
            log_line("line refused " + addr_text(ss) + ": too many connections");
            close(fd);
            continue;
        }
        int id = ++m_next_conn;
        m_conns[id].fd = fd;
        m_line->on_open(id, addr_text(ss));
    }
}

void Server::read_conn(int id) {
    char buf[65536];
    ssize_t n = recv(m_conns[id].fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        m_conns[id].doomed = true;
        return;
    }
    std::vector<std::string> texts = m_conns[id].reader.feed(std::string(buf, static_cast<size_t>(n)));
    for (const std::string& text : texts) {
        m_line->on_text(id, text, mono_ms());
        if (!m_conns.count(id) || m_conns[id].doomed) return;
    }
    Conn& c = m_conns[id];
    if (c.reader.failed()) {
        log_line("line #" + std::to_string(id) + " broken frame (" + c.reader.error() + "): closing");
        c.doomed = true;
    }
}

void Server::send_text(int id, const std::string& text) {
    auto it = m_conns.find(id);
    if (it == m_conns.end() || it->second.doomed) return;
    Conn& c = it->second;
    // Answers follow the connection's compression: deflated once the client deflates.
    c.out += encode_frame(text, c.reader.last_compressed());
    write_conn(c);
    if (c.out.size() > kMaxPending) {
        log_line("line #" + std::to_string(id) + " does not read its answers: closing");
        c.doomed = true;
    }
}

void Server::write_conn(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            c.doomed = true;
            c.out.clear();
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
}

void Server::close_doomed() {
    // Closing can doom others (a session ending pushes to its channels), hence the loop.
    for (bool found = true; found;) {
        found = false;
        for (auto it = m_conns.begin(); it != m_conns.end(); ++it) {
            if (!it->second.doomed) continue;
            int id = it->first;
            close(it->second.fd);
            m_conns.erase(it);
            m_line->on_close(id, mono_ms());
            found = true;
            break;
        }
    }
}

void Server::serve_discovery(int fd) {
    for (int i = 0; i < 64; ++i) {
        char buf[65536];
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        DiscoveryAnswer a = answer_discovery(std::string(buf, static_cast<size_t>(n)), m_options.address, m_line_port);
        log_line("lbs  " + addr_text(from) + " port " + std::to_string(bound_port(fd)) + " " + a.log);
        sendto(fd, a.datagram.data(), a.datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

void Server::serve_telemetry(int fd) {
    for (int i = 0; i < 64; ++i) {
        char buf[65536];
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        TelemetryAck a = acknowledge_report(std::string(buf, static_cast<size_t>(n)));
        log_line("rpt  " + addr_text(from) + " " + a.log);
        if (!a.datagram.empty())
            sendto(fd, a.datagram.data(), a.datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

}  // namespace local_service
