#pragma once

#include <string>

// A server address as offered by discovery.
struct Addr {
    std::string host;
    int port = 0;
};

// The IPv4 address in the last four bytes of an IPv6 text (a NAT64 or
// mapped address); "" when the text is not IPv6.
std::string nat64_to_ipv4(const std::string& ipv6);
