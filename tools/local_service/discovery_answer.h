#pragma once

#include <string>

namespace local_service {

// The answer to one discovery datagram: the zlib stream of "ok " and the line
// server list for a "getaddr " request, of an error text for anything else.
struct DiscoveryAnswer {
    std::string datagram;
    std::string log;  // what the request was and what it got
};

DiscoveryAnswer answer_discovery(const std::string& datagram, const std::string& line_host, int line_port);

}  // namespace local_service
