#pragma once

#include <string>

namespace local_service {

// The acknowledgement of one telemetry datagram: the zlib stream of
// {"seq":N} for a report carrying "seq", nothing for anything else.
struct TelemetryAck {
    std::string datagram;  // "" when nothing is sent back
    std::string log;
};

TelemetryAck acknowledge_report(const std::string& datagram);

}  // namespace local_service
