#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "bench_engine.h"
#include "lean_line_peer.h"
#include "peers/discovery_service.h"
#include "rows.h"
#include "support/own_address.h"
#include "support/local_service_process.h"
#include "support/loop_thread.h"

namespace perf {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The floor of a sign-in without the library: a blocking TCP connect, one
// frame and the first bytes of its answer. Milliseconds, or -1.
double bare_exchange_ms(const std::string& ip, uint16_t port, const std::string& text) {
    const std::string frame = line_frame(0x80, text);
    const Clock::time_point t0 = Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    char header[4];
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size()) &&
                    ::read(fd, header, sizeof header) > 0;
    const double ms = ms_since(t0);
    ::close(fd);
    return ok ? ms : -1;
}

// A session ended without a server round trip, and the clock moved past every
// wait a new login could meet, so that each sample is a first login.
void end_session(BenchEngine& b) {
    nuvra_test::run_on_loop([&] {
        b.engine->fire_onLogout(nuvra_sdk::LOGOUT_E_USER);
        mynet::test_clock_advance(10100);
    });
}

Row login_row(const Options& o) {
    const char* const kMeasure = "login against the local service, median";
    const std::string service_ip = nuvra_test::own_loopback_ip(kLoginServiceIp);
    nuvra_test::LocalServiceProcess service({"--address", service_ip, "--line-port", "0"});
    if (!service.wait_ready()) return failed_row(kMeasure, "the local service did not start");
    BenchEngine b(service_ip);
    const int n = o.quick ? 20 : 200;
    std::vector<double> lib, ref;
    for (int i = 0; i < n; ++i) {
        const Clock::time_point t0 = Clock::now();
        b.start_login("login-bench");
        if (!b.wait_logins(i + 1, 5000)) return failed_row(kMeasure, "login failed");
        lib.push_back(ms_since(t0));
        end_session(b);
        ref.push_back(bare_exchange_ms(service_ip, service.line_port(),
                                       "login {\"account\":\"login-ref\",\"device\":\"dev\",\"ip\":\"\",\"token\":"
                                       "\"tok\",\"uid\":7,\"vid\":\"vid\"}"));
    }
    Row r;
    r.measure = kMeasure;
    r.unit = "ms";
    r.library = median(lib);
    r.reference = median(ref);
    r.goal = "<= 2 ms";
    r.met = r.library <= 2;
    return r;
}

// From the server dropping the line to onReconnected: the first retry waits
// 100 ms, then discovery, connect and the re-login. The reference is that
// wait plus a bare connect and exchange with the same server.
Row reconnection_row(const Options& o) {
    const char* const kMeasure = "reconnection after a dropped line, median";
    const std::string discovery_ip = nuvra_test::own_loopback_ip(kReconnectDiscoveryIp);
    LeanLinePeer peer;
    nuvra_test::DiscoveryService discovery(discovery_ip);
    if (!peer.ok() || !discovery.ok()) return failed_row(kMeasure, "peers cannot bind");
    discovery.answer_ok({{"127.0.0.1", peer.port()}});
    BenchEngine b(discovery_ip);
    b.start_login();
    if (!b.wait_logins(1, 5000)) return failed_row(kMeasure, "login failed");
    const int n = o.quick ? 5 : 30;
    std::vector<double> lib, ref;
    for (int i = 0; i < n; ++i) {
        const Clock::time_point t0 = Clock::now();
        peer.drop_all();
        if (!b.wait_reconnects(i + 1, 5000)) return failed_row(kMeasure, "no reconnection");
        lib.push_back(ms_since(t0));
        nuvra_test::run_on_loop([] { mynet::test_clock_advance(10100); });
        ref.push_back(100 + bare_exchange_ms("127.0.0.1", peer.port(), "line_login2 lean-1 2 0"));
    }
    Row r;
    r.measure = kMeasure;
    r.unit = "ms";
    r.library = median(lib);
    r.reference = median(ref);
    r.goal = "<= 102 ms";
    r.met = r.library <= 102;
    return r;
}

}  // namespace

std::vector<Row> session_rows(const Options& o) { return {login_row(o), reconnection_row(o)}; }

}  // namespace perf
