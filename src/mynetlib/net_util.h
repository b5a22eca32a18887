#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace mynet {

union Addr_IN {
    sockaddr_in v4;
    sockaddr_in6 v6;
};

// A host text and a port.
struct InetSocketAddress {
    InetSocketAddress() = default;
    InetSocketAddress(std::string h, int p) : host(std::move(h)), port(p) {}
    explicit InetSocketAddress(const sockaddr* sa);
    std::string getHostString() const { return host; }
    int getPort() const { return port; }

    std::string host;
    int port = 0;
};

// ip as an IPv4 literal, else as an IPv6 literal, with port, into out: 0;
// neither: logs "<tag> wrong addr" and returns -1.
int parse_ip(std::string ip, int port, std::string tag, Addr_IN* out);
bool isIP(const std::string& s);
bool isIP6(const std::string& s);
// ip unchanged when it is an IPv6 literal, else prefix + ip.
std::string nat64_addr(std::string ip, std::string prefix);
// Each byte as two upper-case hex digits.
std::string hexlify(const std::string& s);
std::string hex_b(unsigned char b);
// libuv's symbolic name, or "unknown error"; never allocates.
const char* uv_err_name_all(int code);
// libuv's message text, or "unknown error"; never allocates.
const char* uv_strerror_all(int code);
// The file name at the end of a source path, as the fatal-error and todo
// lines show it.
const char* source_file_name(const char* path);
// Logs the fatal-error line for a libuv call at file:line that failed.
void log_uv_fatal(const char* file, int line, int code);
// rand(), seeded once per process from the clock.
uint32_t get_randint();

extern bool rand_is_init;

}  // namespace mynet
