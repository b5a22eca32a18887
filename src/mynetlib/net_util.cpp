#include "net_util.h"

#include <uv.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "loop.h"
#include "log.h"

namespace mynet {

bool rand_is_init = false;

namespace {

// Texts with an embedded NUL would parse as their first part only.
bool has_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

bool parse_ip4(const std::string& s, int port, sockaddr_in* out) {
    return !has_nul(s) && uv_ip4_addr(s.c_str(), port, out) == 0;
}

bool parse_ip6(const std::string& s, int port, sockaddr_in6* out) {
    return !has_nul(s) && uv_ip6_addr(s.c_str(), port, out) == 0;
}

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

InetSocketAddress::InetSocketAddress(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (sa == nullptr) return;
    if (sa->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(sa);
        uv_ip4_name(v4, text, sizeof(text));
        port = ntohs(v4->sin_port);
    } else if (sa->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(sa);
        uv_ip6_name(v6, text, sizeof(text));
        port = ntohs(v6->sin6_port);
    }
    host = text;
}

int parse_ip(std::string ip, int port, std::string tag, Addr_IN* out) {
    if (parse_ip4(ip, port, &out->v4) || parse_ip6(ip, port, &out->v6)) return 0;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] %s wrong addr : %s",
             log_time(), tag.c_str(), ip.c_str());
    return -1;
}

bool isIP(const std::string& s) {
    sockaddr_in v4;
    return isIP6(s) || parse_ip4(s, 0, &v4);
}

bool isIP6(const std::string& s) {
    sockaddr_in6 v6;
    return parse_ip6(s, 0, &v6);
}

std::string nat64_addr(std::string ip, std::string prefix) {
    if (isIP6(ip)) return ip;
    return prefix + ip;
}

std::string hex_b(unsigned char b) { return std::string{kHexDigits[b >> 4], kHexDigits[b & 0x0F]}; }

std::string hexlify(const std::string& s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char b : s) {
        out.push_back(kHexDigits[b >> 4]);
        out.push_back(kHexDigits[b & 0x0F]);
    }
    return out;
}

// libuv allocates (and never frees) a text for a code it does not know, so
// the known codes are looked up here from libuv's own list.
const char* uv_err_name_all(int code) {
    switch (code) {
#define NUVRA_ERR_NAME(name, _) \
    case UV_##name:             \
        return #name;
        UV_ERRNO_MAP(NUVRA_ERR_NAME)
#undef NUVRA_ERR_NAME
    }
    return "unknown error";
}

const char* uv_strerror_all(int code) {
    switch (code) {
#define NUVRA_ERR_TEXT(name, text) \
    case UV_##name:                \
        return text;
        UV_ERRNO_MAP(NUVRA_ERR_TEXT)
#undef NUVRA_ERR_TEXT
    }
    return "unknown error";
}

const char* source_file_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void log_uv_fatal(const char* file, int line, int code) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : fatal error: %s %d ret=%d %s\n", log_time(), source_file_name(file), line,
             code, uv_strerror_all(code));
}

uint32_t get_randint() {
    if (!rand_is_init) {
        srand(static_cast<unsigned>(time(nullptr)));
        rand_is_init = true;
    }
    return static_cast<uint32_t>(rand());
}

}  // namespace mynet
