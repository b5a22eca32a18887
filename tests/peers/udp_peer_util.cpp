#include "peers/udp_peer_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>

namespace nuvra_test {

namespace {

constexpr size_t kMaxInflated = 1 << 20;

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

}  // namespace

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

std::string inflate_datagram(const std::string& bytes) {
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

Json::Value parse_json_object(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject()) {
        return Json::Value();
    }
    return value;
}

uint16_t port_of(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
}

uint16_t local_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return port_of(ss);
}

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

}  // namespace nuvra_test
