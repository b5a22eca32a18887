#pragma once

#include <string>
#include <vector>

namespace perf {

// One line of the table. `ratio` is library / reference.
struct Row {
    std::string measure;
    std::string unit;
    double library = 0;
    double reference = 0;
    std::string goal;
    bool met = false;
    bool ran = true;
};

struct Options {
    bool quick = false;
};

// Call round trips and 60 calls in flight, beside a bare libuv client.
std::vector<Row> call_rows(const Options& o);
// Login median against the local service; reconnection after a dropped line.
std::vector<Row> session_rows(const Options& o);
// 500 idle logged-in instances: CPU of the network thread and resident memory.
std::vector<Row> idle_rows(const Options& o);

// A row that could not be measured, with why.
Row failed_row(const std::string& measure, const std::string& why);

// Loopback addresses of the discovery peers of this program, apart from
// those the tests use.
constexpr const char* kCallDiscoveryIp = "127.0.143.1";
constexpr const char* kLoginServiceIp = "127.0.143.2";
constexpr const char* kReconnectDiscoveryIp = "127.0.143.3";
constexpr const char* kIdleServiceIp = "127.0.143.4";

}  // namespace perf
