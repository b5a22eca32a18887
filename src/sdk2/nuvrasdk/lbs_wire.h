#pragma once

#include <list>
#include <string>
#include <vector>

#include "server_addr.h"

// The texts of discovery: the request a job sends, the reply it gets, the
// server lists in a good reply, and the discovery host's name resolution.
// Functions over bytes only, so every reading of network input can be
// exercised without a socket.
namespace lbs_wire {

// Length of the header a SOCKS5 UDP relay puts before every datagram.
constexpr size_t kSocks5UdpHeaderSize = 10;

// "getaddr " and the JSON object joined from text, without escaping: the
// application id as "appid" and, only when fake_ip is not "", "ip".
std::string request_text(const std::string& appid, const std::string& fake_ip);

// The datagram for a SOCKS5 UDP relay: the header naming ip:port, then
// payload. "" when ip is not an IPv4 literal, the only kind the header holds.
std::string socks5_udp_datagram(const std::string& ip, int port, const std::string& payload);

// One reply datagram as the job reads it: `text` is the inflated text (""
// when it does not inflate); exactly one of `error` and `json` says what it
// means: "wrong resp" for nothing readable, the text itself for anything but
// "ok ", else "" with `json` the text after "ok ".
struct Reply {
    std::string text;
    std::string error;
    std::string json;
};
// Through a relay the datagram starts with the relay's header; one shorter
// than the header is unreadable.
Reply decode_reply(const std::string& datagram, bool through_relay);

// Fills http and tcp from the JSON of a good reply: an object holding the
// arrays "http" and "tcp" of [host string, port 0..65535] pairs (further
// elements of a pair are ignored). Anything else is false and leaves both
// lists untouched.
bool parse_server_lists(const std::string& json, std::vector<Addr>& http, std::vector<Addr>& tcp);

// What the discovery host's resolution means: the IPv6 mode (0 IPv4 only,
// 1 mixed, 2 IPv6 only), the NAT64 prefix and the IPv4 texts to ask, in
// resolver order (IPv6 answers as the IPv4 address they embed).
struct DnsResult {
    int ipv6_mode = 0;
    std::string ipv6_head;
    std::vector<std::string> ips;
};
// host only names the host in the log lines; head is the prefix kept when no
// answer yields a new one.
DnsResult parse_dns_answers(const std::list<std::string>& answers, const std::string& host, const std::string& head,
                            bool force_ipv4);

}  // namespace lbs_wire
