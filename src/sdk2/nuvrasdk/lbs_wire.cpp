#include "lbs_wire.h"

#include <arpa/inet.h>
#include <pystring/pystring.h>

#include <cstring>

#include "json_text.h"
#include "log.h"
#include "loop.h"
#include "net_util.h"
#include "socks5.h"
#include "zlib_helpers.h"

namespace lbs_wire {

namespace {

constexpr int kMaxInflated = 1 << 20;
constexpr unsigned kMaxPort = 65535;

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// [host string, port] with the port a whole number of a port's range.
bool read_pair(const Json::Value& pair, Addr& out) {
    if (!pair.isArray() || pair.size() < 2) return false;
    const Json::Value& host = json_index(pair, 0);
    const Json::Value& port = json_index(pair, 1);
    if (!host.isString() || !port.isUInt() || json_as_uint(port) > kMaxPort) return false;
    out.host = json_as_string(host);
    out.port = static_cast<int>(json_as_uint(port));
    return true;
}

bool read_list(const Json::Value& list, std::vector<Addr>& out) {
    if (!list.isArray()) return false;
    std::vector<Addr> addrs;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Addr a;
        if (!read_pair(json_index(list, i), a)) return false;
        addrs.push_back(a);
    }
    out.swap(addrs);
    return true;
}

// The prefix an IPv6 answer was built with: up to its "::", else all but its
// last two groups; "" when neither form fits.
std::string nat64_prefix_of(const std::string& answer) {
    std::vector<std::string> parts = pystring::split(answer, "::", 1);
    if (parts.size() == 2) return parts[0] + "::";
    parts = pystring::rsplit(answer, ":", 2);
    if (parts.size() == 3) return parts[0] + ":";
    return "";
}

}  // namespace

std::string request_text(const std::string& appid, const std::string& fake_ip) {
    std::string text = "getaddr {\"appid\":\"" + appid + "\"";
    if (!fake_ip.empty()) text += ",\"ip\":\"" + fake_ip + "\"";
    return text + "}";
}

std::string socks5_udp_datagram(const std::string& ip, int port, const std::string& payload) {
    in_addr addr;
    if (ip.find('\0') != std::string::npos || inet_pton(AF_INET, ip.c_str(), &addr) != 1) return "";
    mynet::SOCKS5UDPHEADER header{};
    header.type = 1;
    header.addr = addr.s_addr;
    header.port = htons(static_cast<uint16_t>(port));
    std::string datagram(reinterpret_cast<const char*>(&header), sizeof(header));
    return datagram + payload;
}

Reply decode_reply(const std::string& datagram, bool through_relay) {
    Reply reply;
    if (!through_relay) {
        reply.text = zlib_uncompress(datagram, kMaxInflated);
    } else if (datagram.size() >= kSocks5UdpHeaderSize) {
        reply.text = zlib_uncompress(datagram.substr(kSocks5UdpHeaderSize), kMaxInflated);
    }
    if (reply.text.empty()) {
        reply.error = "wrong resp";
    } else if (starts_with(reply.text, "ok ")) {
        reply.json = reply.text.substr(3);
    } else {
        reply.error = reply.text;
    }
    return reply;
}

bool parse_server_lists(const std::string& json, std::vector<Addr>& http, std::vector<Addr>& tcp) {
    Json::Value value;
    if (!parse_json(json, value) || !value.isObject() || !value.isMember("http") || !value.isMember("tcp")) {
        return false;
    }
    std::vector<Addr> new_http;
    std::vector<Addr> new_tcp;
    if (!read_list(json_member(value, "http"), new_http) || !read_list(json_member(value, "tcp"), new_tcp)) {
        return false;
    }
    http.swap(new_http);
    tcp.swap(new_tcp);
    return true;
}

DnsResult parse_dns_answers(const std::list<std::string>& answers, const std::string& host, const std::string& head,
                            bool force_ipv4) {
    DnsResult result;
    result.ipv6_head = head;
    // The walk stops at the first IPv6 answer that embeds an IPv4 address;
    // answers after it do not count.
    bool ipv4_seen = false;
    for (const std::string& answer : answers) {
        if (!mynet::isIP6(answer)) {
            ipv4_seen = true;
            continue;
        }
        if (result.ipv6_mode == 0) result.ipv6_mode = 1;
        if (nat64_to_ipv4(answer).empty()) continue;
        std::string prefix = nat64_prefix_of(answer);
        if (!prefix.empty()) {
            result.ipv6_head = prefix;
            PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s sethead %s", mynet::log_time(), "dns.", prefix.c_str());
        }
        break;
    }
    if (!ipv4_seen && result.ipv6_mode == 1) result.ipv6_mode = 2;
    if (force_ipv4) result.ipv6_mode = 0;

    for (const std::string& answer : answers) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s dns_result %s:%s", mynet::log_time(), "dns.", host.c_str(),
                 answer.c_str());
        if (!mynet::isIP6(answer)) {
            result.ips.push_back(answer);
            continue;
        }
        std::string ipv4 = nat64_to_ipv4(answer);
        if (ipv4.empty()) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s dns_result ignore %s:%s", mynet::log_time(), "dns.", host.c_str(),
                     answer.c_str());
            continue;
        }
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s dns_result nat64 %s:%s -> %s", mynet::log_time(), "dns.", host.c_str(),
                 answer.c_str(), ipv4.c_str());
        result.ips.push_back(ipv4);
    }
    return result;
}

}  // namespace lbs_wire
