#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

namespace local_service {

struct ServiceOptions {
    // Every listener binds this address; only loopback addresses are accepted.
    std::string address = "127.0.0.1";
    uint16_t line_port = 8190;  // 0: an ephemeral port, announced in the ready line
    uint16_t telemetry_port = 8000;
    int discovery_ports = 2;    // 8180 .. 8180 + n - 1
    // Members added to every login answer, such as {"config_msg_set":1}.
    Json::Value login_config = Json::Value(Json::objectValue);
    // How long a session whose line dropped waits for its client to log in again.
    int session_grace_ms = 60000;
    // Lines of accounts starting with this text ("": none) are closed by the
    // service drop_after_ms after each login, so that their clients keep
    // reconnecting.
    std::string drop_prefix;
    int drop_after_ms = 300;
    bool help = false;
};

constexpr uint16_t kFirstDiscoveryPort = 8180;

// True for an IPv4 literal in 127.0.0.0/8 or the IPv6 literal ::1.
bool is_loopback_literal(const std::string& address);

// Reads the command line; false with a one-line reason when it is unusable.
bool parse_options(int argc, char** argv, ServiceOptions* out, std::string* error);

extern const char* const kUsage;

}  // namespace local_service
