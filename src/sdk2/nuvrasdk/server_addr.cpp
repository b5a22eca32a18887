#include "server_addr.h"

#include <uv.h>

#include "engine_text.h"

std::string nat64_to_ipv4(const std::string& ipv6) {
    sockaddr_in6 addr{};
    if (uv_ip6_addr(ipv6.c_str(), 0, &addr) != 0) return "";
    const uint8_t* b = addr.sin6_addr.s6_addr;
    return std::string() + int(b[12]) + "." + int(b[13]) + "." + int(b[14]) + "." + int(b[15]);
}
