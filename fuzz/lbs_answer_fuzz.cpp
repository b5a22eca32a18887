#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "lbs_wire.h"
#include "log.h"

namespace {

bool drop_line(const char*) { return true; }

}  // namespace

// The first byte picks whether the datagram came through a relay; the rest is
// the datagram, also read as the JSON of an answer and as resolver answers,
// one per line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetLogSink2(drop_line);
    if (size == 0) return 0;
    const bool through_relay = data[0] & 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    lbs_wire::Reply reply = lbs_wire::decode_reply(bytes, through_relay);
    if (reply.error.empty() == reply.json.empty() && !reply.json.empty()) __builtin_trap();
    if (reply.text.empty() && reply.error != "wrong resp") __builtin_trap();

    std::vector<Addr> http{{"h", 1}};
    std::vector<Addr> tcp{{"t", 2}};
    const std::string& json = reply.error.empty() ? reply.json : bytes;
    if (lbs_wire::parse_server_lists(json, http, tcp)) {
        for (const Addr& a : http)
            if (a.port < 0 || a.port > 65535) __builtin_trap();
        for (const Addr& a : tcp)
            if (a.port < 0 || a.port > 65535) __builtin_trap();
    } else if (http.size() != 1 || tcp.size() != 1 || http[0].host != "h" || tcp[0].host != "t") {
        __builtin_trap();
    }

    std::list<std::string> answers;
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\n') {
            answers.push_back(bytes.substr(start, i - start));
            start = i + 1;
        }
    }
    lbs_wire::DnsResult dns = lbs_wire::parse_dns_answers(answers, "fuzz", "64:ff9b::", through_relay);
    if (dns.ipv6_mode < 0 || dns.ipv6_mode > 2 || dns.ips.size() > answers.size()) __builtin_trap();
    if (through_relay && dns.ipv6_mode != 0) __builtin_trap();
    return 0;
}
