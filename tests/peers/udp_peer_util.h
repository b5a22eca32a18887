#pragma once

#include <json/json.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

// Wire and socket helpers shared by the UDP test peers.
namespace nuvra_test {

// The zlib stream of text; "" when zlib refuses.
std::string deflate_text(const std::string& text);
// The inflated text; "" unless bytes hold one complete zlib stream (at most about 1 MiB inflated).
std::string inflate_datagram(const std::string& bytes);
// text parsed as JSON; null unless it is an object.
Json::Value parse_json_object(const std::string& text);

// The port of an IPv4 or IPv6 address.
uint16_t port_of(const sockaddr_storage& ss);
// The port fd is bound to; 0 when it cannot be read.
uint16_t local_port(int fd);
// A non-blocking UDP socket bound to ip:port (IPv4 or IPv6 literal), or -1.
int bind_udp(const std::string& ip, uint16_t port);
// Closes fd when open and marks it closed.
void close_fd(int& fd);

}  // namespace nuvra_test
