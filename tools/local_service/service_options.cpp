#include "service_options.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <set>

#include "wire.h"

namespace local_service {

const char* const kUsage =
    "usage: nuvra_local_service [options]\n"
    "  --address A             loopback address to serve on (127.0.0.0/8 or ::1; default 127.0.0.1)\n"
    "  --line-port P           line server TCP port (default 8190; 0: any free port)\n"
    "  --telemetry-port P      telemetry collector UDP port (default 8000)\n"
    "  --discovery-ports N     discovery UDP ports 8180 .. 8180+N-1 (1..8, default 2)\n"
    "  --login-config JSON     members added to every login answer, e.g. '{\"config_msg_set\":1}'\n"
    "  --session-grace-ms MS   how long a dropped session may log in again (default 60000)\n"
    "  --drop-lines PREFIX     close the line of accounts starting with PREFIX after each login\n"
    "  --drop-after-ms MS      how long such a line stays up (default 300; checked every 500 ms)\n"
    "  --help                  this text\n";

bool is_loopback_literal(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

namespace {

bool read_number(const std::string& text, long min, long max, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

bool parse_options(int argc, char** argv, ServiceOptions* out, std::string* error) {
    static const std::set<std::string> kValued = {"--address",         "--line-port",    "--telemetry-port",
                                                  "--discovery-ports", "--login-config", "--session-grace-ms",
                                                  "--drop-lines",      "--drop-after-ms"};
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            out->help = true;
            continue;
        }
        if (!kValued.count(name)) {
            *error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            *error = name + " needs a value";
            return false;
        }
        std::string value = argv[++i];
        long n = 0;
        bool good = true;
        if (name == "--address") {
            out->address = value;
        } else if (name == "--drop-lines") {
            out->drop_prefix = value;
            good = !value.empty();
        } else if (name == "--drop-after-ms") {
            good = read_number(value, 0, 86400000, &n);
            out->drop_after_ms = static_cast<int>(n);
        } else if (name == "--login-config") {
            out->login_config = parse_object(value);
            good = out->login_config.isObject();
        } else if (name == "--line-port") {
            good = read_number(value, 0, 65535, &n);
            out->line_port = static_cast<uint16_t>(n);
        } else if (name == "--telemetry-port") {
            good = read_number(value, 1, 65535, &n);
            out->telemetry_port = static_cast<uint16_t>(n);
        } else if (name == "--discovery-ports") {
            good = read_number(value, 1, 8, &n);
            out->discovery_ports = static_cast<int>(n);
        } else {
            good = read_number(value, 0, 86400000, &n);
            out->session_grace_ms = static_cast<int>(n);
        }
        if (!good) {
            *error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (!is_loopback_literal(out->address)) {
        *error = "refusing to serve on " + out->address +
                 ": only loopback addresses are served (an IPv4 literal in 127.0.0.0/8, or ::1)";
        return false;
    }
    return true;
}

}  // namespace local_service
