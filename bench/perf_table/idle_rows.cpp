#include <malloc.h>
#include <uv.h>

#include <chrono>
#include <memory>
#include <thread>

#include "bench_engine.h"
#include "rows.h"
#include "support/own_address.h"
#include "support/local_service_process.h"
#include "support/loop_thread.h"
#include "support/resident_memory.h"
#include "support/thread_cpu_time.h"

namespace perf {

namespace {

constexpr int kInstances = 500;
// What the instances ran before: a login watchdog, a housekeeping tick, a
// line watchdog and two telemetry jobs each.
constexpr int kTimersPerInstance = 5;

// Resident KiB with freed heap given back, so that what stays is what lives.
long settled_resident_kib() {
    long kib = 0;
    nuvra_test::run_on_loop([&] {
        malloc_trim(0);
        kib = nuvra_test::resident_kib();
    });
    return kib;
}

// The reference of the CPU row: bare libuv timers of 100 ms with empty callbacks.
double bare_timers_cpu_percent(int n, int window_ms) {
    std::vector<std::unique_ptr<uv_timer_t>> timers;
    nuvra_test::run_on_loop([&] {
        for (int i = 0; i < n; ++i) {
            timers.push_back(std::make_unique<uv_timer_t>());
            uv_timer_init(uv_default_loop(), timers.back().get());
            uv_timer_start(timers.back().get(), [](uv_timer_t*) {}, 100, 100);
        }
    });
    const double pct = nuvra_test::loop_cpu_percent(window_ms);
    int open = n;
    nuvra_test::run_on_loop([&] {
        for (auto& t : timers) {
            t->data = &open;
            uv_close(reinterpret_cast<uv_handle_t*>(t.get()), [](uv_handle_t* h) { --*static_cast<int*>(h->data); });
        }
    });
    nuvra_test::wait_on_loop([&] { return open == 0; }, 2000);
    return pct;
}

// The reference of the memory rows: bare libuv connections to the same
// server, each reading into one shared buffer.
struct BareConnections {
    std::vector<std::unique_ptr<uv_tcp_t>> tcp;
    std::vector<std::unique_ptr<uv_connect_t>> connects;
    int connected = 0;
    int failed = 0;
    int open = 0;

    bool connect(const std::string& ip, uint16_t port, int n) {
        nuvra_test::run_on_loop([&] {
            sockaddr_in addr{};
            uv_ip4_addr(ip.c_str(), port, &addr);
            for (int i = 0; i < n; ++i) {
                tcp.push_back(std::make_unique<uv_tcp_t>());
                connects.push_back(std::make_unique<uv_connect_t>());
                uv_tcp_init(uv_default_loop(), tcp.back().get());
                tcp.back()->data = this;
                connects.back()->data = this;
                ++open;
                uv_tcp_connect(connects.back().get(), tcp.back().get(), reinterpret_cast<const sockaddr*>(&addr),
                               [](uv_connect_t* req, int status) {
                                   auto* self = static_cast<BareConnections*>(req->data);
                                   if (status != 0) {
                                       ++self->failed;
                                       return;
                                   }
                                   ++self->connected;
                                   uv_read_start(
                                       req->handle,
                                       [](uv_handle_t*, size_t, uv_buf_t* b) {
                                           static char shared[2048];
                                           *b = uv_buf_init(shared, sizeof shared);
                                       },
                                       [](uv_stream_t*, ssize_t, const uv_buf_t*) {});
                               });
            }
        });
        return nuvra_test::wait_on_loop([&] { return connected + failed == n; }, 10000) && failed == 0;
    }
    ~BareConnections() {
        nuvra_test::run_on_loop([&] {
            for (auto& t : tcp)
                uv_close(reinterpret_cast<uv_handle_t*>(t.get()),
                         [](uv_handle_t* h) { --static_cast<BareConnections*>(h->data)->open; });
        });
        nuvra_test::wait_on_loop([&] { return open == 0; }, 5000);
    }
};

}  // namespace

std::vector<Row> idle_rows(const Options& o) {
    const char* const kCpu = "500 idle logged-in instances, CPU of one core";
    const char* const kPerInstance = "resident memory per idle logged-in instance";
    const char* const kTotal = "resident memory of 500 idle logged-in instances";
    const int window_ms = o.quick ? 2000 : 10000;
    const std::string service_ip = nuvra_test::own_loopback_ip(kIdleServiceIp);
    auto all_failed = [&](const std::string& why) {
        return std::vector<Row>{failed_row(kCpu, why), failed_row(kPerInstance, why), failed_row(kTotal, why)};
    };
    nuvra_test::LocalServiceProcess service({"--address", service_ip, "--line-port", "0"});
    if (!service.wait_ready()) return all_failed("the local service did not start");
    service.keep_output(false);

    const double timers_pct = bare_timers_cpu_percent(kInstances * kTimersPerInstance, window_ms);

    BareConnections bare;
    long before = settled_resident_kib();
    if (!bare.connect(service_ip, service.line_port(), kInstances)) return all_failed("bare connections failed");
    const long bare_kib = settled_resident_kib() - before;

    // One instance logged in first sets up what the process keeps for all of
    // them (the codec's streams, the log's first lines), so that the crowd
    // measured is what more instances cost.
    BenchEngine first(service_ip);
    first.start_login("idle-first");
    if (!first.wait_logins(1, 30000)) return all_failed("a login failed");
    before = settled_resident_kib();
    std::vector<std::unique_ptr<BenchEngine>> engines;
    for (int i = 0; i < kInstances; ++i) engines.push_back(std::make_unique<BenchEngine>(service_ip));
    for (int i = 0; i < kInstances; ++i) engines[i]->start_login("idle-" + std::to_string(i));
    for (auto& e : engines)
        if (!e->wait_logins(1, 30000)) return all_failed("a login failed");
    // Let the logins' one-shot work finish before anything is measured: the
    // discovery requests live their fixed life after their answer.
    const auto settle = std::chrono::milliseconds(o.quick ? 1500 : InterfaceLinkD::ULBS_Job::kLifeMs + 1000);
    std::this_thread::sleep_for(settle);
    const long engines_kib = settled_resident_kib() - before;
    const double engines_pct = nuvra_test::loop_cpu_percent(window_ms);
    engines.clear();

    std::vector<Row> rows(3);
    rows[0].measure = kCpu;
    rows[0].unit = "%";
    rows[0].library = engines_pct;
    rows[0].reference = timers_pct;
    rows[0].goal = "<= 1 %";
    rows[0].met = engines_pct <= 1;
    rows[1].measure = kPerInstance;
    rows[1].unit = "KiB";
    rows[1].library = double(engines_kib) / kInstances;
    rows[1].reference = double(bare_kib) / kInstances;
    rows[1].goal = "<= 8 KiB";
    rows[1].met = rows[1].library <= 8;
    rows[2].measure = kTotal;
    rows[2].unit = "KiB";
    rows[2].library = double(engines_kib);
    rows[2].reference = double(bare_kib);
    rows[2].goal = "<= 4096 KiB";
    rows[2].met = engines_kib <= 4096;
    return rows;
}

}  // namespace perf
