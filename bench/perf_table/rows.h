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
    // Printed under the table when not empty.
    std::string note;
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

// Indexes of this process's own loopback addresses (own_loopback_ip), one
// per discovery peer, whose ports are fixed.
constexpr int kCallDiscoveryIp = 0;
constexpr int kLoginServiceIp = 1;
constexpr int kReconnectDiscoveryIp = 2;
constexpr int kIdleServiceIp = 3;

}  // namespace perf
