#include "lean_line_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

namespace perf {

namespace {

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool inflate_text(const std::string& in, std::string* out) {
    thread_local struct Z {
        z_stream s{};
        bool ok = inflateInit(&s) == Z_OK;
        ~Z() { inflateEnd(&s); }
    } z;
    thread_local std::string buf(1 << 20, '\0');
    if (!z.ok || inflateReset(&z.s) != Z_OK) return false;
    z.s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.s.avail_in = static_cast<uInt>(in.size());
    z.s.next_out = reinterpret_cast<Bytef*>(&buf[0]);
    z.s.avail_out = static_cast<uInt>(buf.size());
    if (inflate(&z.s, Z_FINISH) != Z_STREAM_END) return false;
    out->assign(buf.data(), z.s.total_out);
    return true;
}

std::string capture_key(const std::string& method, bool compressed) { return method + (compressed ? " z" : ""); }

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// The method and the id of "call <method> <id> 0 <json>"; false for other texts.
bool call_fields(const std::string& text, std::string* method, std::string* id) {
    if (!starts_with(text, "call ")) return false;
    const size_t m_end = text.find(' ', 5);
    if (m_end == std::string::npos) return false;
    const size_t id_end = text.find(' ', m_end + 1);
    if (id_end == std::string::npos) return false;
    method->assign(text, 5, m_end - 5);
    id->assign(text, m_end + 1, id_end - m_end - 1);
    return true;
}

}  // namespace

std::string stored_zlib(const std::string& text) {
    const uint16_t len = static_cast<uint16_t>(text.size());
    std::string z;
    z.reserve(text.size() + 11);
    z += '\x78';
    z += '\x01';
    z += '\x01';  // final block, stored
    z += char(len & 0xFF);
    z += char(len >> 8);
    z += char(~len & 0xFF);
    z += char((~len >> 8) & 0xFF);
    z += text;
    const uLong a = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()));
    z += char(a >> 24);
    z += char(a >> 16);
    z += char(a >> 8);
    z += char(a);
    return z;
}

std::string line_frame(uint8_t flags, const std::string& body) {
    const uint32_t length = uint32_t(body.size() + 4);
    std::string f;
    f.reserve(length);
    f += char(flags);
    f += char(length >> 16);
    f += char(length >> 8);
    f += char(length);
    f += body;
    return f;
}

LeanLinePeer::LeanLinePeer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_fd_, 64) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    // Detached: the destructor wakes the acceptor, which closes the socket.
    std::thread([shared = shared_, fd = listen_fd_] {
        for (;;) {
            const int conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) break;
            int one = 1;
            ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            {
                std::lock_guard<std::mutex> lock(shared->mtx);
                shared->open_fds.push_back(conn);
            }
            std::thread([shared, conn] { serve(shared, conn); }).detach();
        }
        ::close(fd);
    }).detach();
}

LeanLinePeer::~LeanLinePeer() {
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    shared_->reset_all();
}

std::string LeanLinePeer::captured_frame(const std::string& method, bool compressed) const {
    std::lock_guard<std::mutex> lock(shared_->mtx);
    auto it = shared_->captured.find(capture_key(method, compressed));
    return it == shared_->captured.end() ? "" : it->second;
}

void LeanLinePeer::drop_all() { shared_->reset_all(); }

void LeanLinePeer::Shared::reset_all() {
    std::lock_guard<std::mutex> lock(mtx);
    for (int fd : open_fds) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::shutdown(fd, SHUT_RDWR);
    }
}

void LeanLinePeer::Shared::capture(const std::string& key, const std::string& frame) {
    std::lock_guard<std::mutex> lock(mtx);
    captured.emplace(key, frame);
}

void LeanLinePeer::Shared::forget(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    open_fds.erase(std::remove(open_fds.begin(), open_fds.end(), fd), open_fds.end());
}

void LeanLinePeer::serve(const std::shared_ptr<Shared>& shared, int fd) {
    std::string in, out, text, method, id, answer;
    std::vector<char> buf(64 * 1024);
    int next_line = 1;
    // What this connection has already handed over, so the lock is taken once per kind.
    std::set<std::string> captured;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        in.append(buf.data(), size_t(n));
        size_t pos = 0;
        out.clear();
        while (in.size() - pos >= 4) {
            const auto* h = reinterpret_cast<const unsigned char*>(in.data() + pos);
            const uint32_t length = (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
            if (length < 4 || in.size() - pos < length) break;
            const bool compressed = h[0] & 1;
            text.assign(in, pos + 4, length - 4);
            if (compressed && !inflate_text(std::string(text), &text)) text.clear();
            answer.clear();
            if (call_fields(text, &method, &id)) {
                if (captured.insert(capture_key(method, compressed)).second)
                    shared->capture(capture_key(method, compressed), in.substr(pos, length));
                answer = "call_ret " + method + " " + id + " 0 {\"result\":\"ok\"}";
            } else if (starts_with(text, "login ")) {
                answer = "login_res ok 0 {\"uid\":7,\"line\":\"lean-" + std::to_string(fd) + "-" +
                         std::to_string(next_line++) + "\"}";
            } else if (starts_with(text, "line_login2 ") || starts_with(text, "line_login3 ")) {
                answer = "line_login_res ok";
            } else if (starts_with(text, "line_ping:")) {
                answer = "line_pong:" + text.substr(10);
            }
            pos += length;
            if (answer.empty()) continue;
            out += compressed ? line_frame(0x81, stored_zlib(answer)) : line_frame(0x80, answer);
        }
        in.erase(0, pos);
        if (!out.empty() && !write_all(fd, out.data(), out.size())) break;
    }
    shared->forget(fd);
    ::close(fd);
}

}  // namespace perf
