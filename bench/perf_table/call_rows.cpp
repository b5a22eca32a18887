#include <algorithm>
#include <chrono>
#include <future>
#include <vector>

#include "bare_uv_client.h"
#include "bench_engine.h"
#include "common/call_chains.h"
#include "lean_line_peer.h"
#include "peers/discovery_service.h"
#include "rows.h"
#include "support/own_address.h"
#include "support/loop_thread.h"
#include "support/thread_cpu_time.h"

namespace perf {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds for `total` calls with `width` in flight; negative when one failed.
double call_seconds(InterfaceLinkD* engine, int width, int total) {
    bench::CallChains chains;
    chains.engine = engine;
    chains.total = total;
    std::future<void> finished = chains.done.get_future();
    Clock::time_point start;
    nuvra_test::run_on_loop([&] {
        start = Clock::now();
        chains.start(width);
    });
    finished.wait();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return chains.failed == 0 ? s : -1;
}

// One instant message at a time, the next sent from onMessageSendSuccess of
// the last, as an application would chain them.
double message_seconds(BenchEngine& b, int total) {
    int sent = 0;
    std::promise<void> done;
    InterfaceLinkD* engine = b.engine.get();
    auto send = [engine, &sent] { engine->user_send_instant_msg("peer-account", 0, "hello there", "bench-msg-1", ""); };
    b.events.on_sent = [&] {
        if (++sent == total)
            done.set_value();
        else
            send();
    };
    const int errors_before = b.events.send_errors.load();
    Clock::time_point start;
    nuvra_test::run_on_loop([&] {
        start = Clock::now();
        send();
    });
    done.get_future().wait();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    nuvra_test::run_on_loop([&] { b.events.on_sent = nullptr; });
    return b.events.send_errors.load() == errors_before ? s : -1;
}

// CPU milliseconds the network thread has used so far.
double loop_cpu_ms() {
    double ms = 0;
    nuvra_test::run_on_loop([&] { ms = nuvra_test::thread_cpu_ms(); });
    return ms;
}

// One run: its wall time and the network thread's CPU time, both in
// seconds; negative times mean the run failed.
struct Run {
    double seconds = -1;
    double cpu = -1;
};
template <typename F> Run timed(F run) {
    const double cpu0 = loop_cpu_ms();
    Run r;
    r.seconds = run();
    r.cpu = (loop_cpu_ms() - cpu0) / 1000;
    return r;
}

// The run of middle length.
Run median_run(std::vector<Run> runs) {
    const auto middle = runs.begin() + static_cast<std::ptrdiff_t>(runs.size() / 2);
    std::nth_element(runs.begin(), middle, runs.end(),
                     [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    return *middle;
}

// The median of `rounds` runs of the library and of its reference, taken in
// turns: a drift of the machine's pace meets both alike, and neither a
// passing hiccup nor one lucky run decides a row.
struct Pair {
    Run library;
    Run reference;
};
template <typename L, typename R> Pair median_in_turns(int rounds, L library, R reference) {
    std::vector<Run> libraries;
    std::vector<Run> references;
    for (int i = 0; i < rounds; ++i) {
        libraries.push_back(timed(library));
        references.push_back(timed(reference));
        if (libraries.back().seconds < 0 || references.back().seconds < 0) return Pair();
    }
    return Pair{median_run(libraries), median_run(references)};
}

// The network thread's CPU per call, which the machine's load hardly moves.
std::string cpu_note(const Pair& p, int n) {
    char b[160];
    snprintf(b, sizeof b, "network thread CPU per call: library %.2f us, reference %.2f us",
             p.library.cpu * 1e6 / n, p.reference.cpu * 1e6 / n);
    return b;
}

Row round_trip_row(const std::string& measure, double lib_s, double ref_s, int n) {
    Row r;
    r.measure = measure;
    r.unit = "us";
    r.library = lib_s * 1e6 / n;
    r.reference = ref_s * 1e6 / n;
    r.goal = "<= 1.2x ref";
    r.met = r.library <= 1.2 * r.reference;
    return r;
}

Row throughput_row(const std::string& measure, double lib_s, double ref_s, int n, double goal_k) {
    Row r;
    r.measure = measure;
    r.unit = "k/s";
    r.library = n / lib_s / 1000;
    r.reference = n / ref_s / 1000;
    r.goal = ">= " + std::to_string(int(goal_k)) + " k/s";
    r.met = r.library >= goal_k;
    return r;
}

}  // namespace

std::vector<Row> call_rows(const Options& o) {
    const char* const kRoundTrip = "call round trip, call_api -> result";
    const char* const kMessage = "round trip, messageInstantSend -> onMessageSendSuccess";
    const char* const kCompressed = "60 calls in flight, compressed frames";
    const char* const kPlain = "60 calls in flight, plain frames";
    const std::string discovery_ip = nuvra_test::own_loopback_ip(kCallDiscoveryIp);
    LeanLinePeer peer;
    nuvra_test::DiscoveryService discovery(discovery_ip);
    if (!peer.ok() || !discovery.ok()) {
        const std::string why = "peers cannot bind";
        return {failed_row(kRoundTrip, why), failed_row(kMessage, why), failed_row(kCompressed, why),
                failed_row(kPlain, why)};
    }
    discovery.answer_ok({{"127.0.0.1", peer.port()}});
    BenchEngine compressed(discovery_ip, "1");
    BenchEngine plain(discovery_ip, "0");
    compressed.start_login();
    plain.start_login();
    if (!compressed.wait_logins(1, 5000) || !plain.wait_logins(1, 5000)) {
        const std::string why = "login failed";
        return {failed_row(kRoundTrip, why), failed_row(kMessage, why), failed_row(kCompressed, why),
                failed_row(kPlain, why)};
    }

    // Round trips are taken in many short turns: the machine's pace drifts
    // within a second by more than the margin a round trip is judged by.
    const int serial_rounds = o.quick ? 4 : 20;
    const int serial = o.quick ? 1000 : 2500;
    const int rounds = o.quick ? 2 : 5;
    const int pipelined = o.quick ? 30000 : 200000;
    InterfaceLinkD* ce = compressed.engine.get();
    InterfaceLinkD* pe = plain.engine.get();
    // Warm both paths and let the peer capture the frames the library sends.
    call_seconds(ce, 60, 2000);
    call_seconds(pe, 60, 2000);
    message_seconds(compressed, 200);
    const std::string call_frame = peer.captured_frame("bench_call", true);
    const std::string plain_frame = peer.captured_frame("bench_call", false);
    const std::string message_frame = peer.captured_frame("user_sendmsg", true);

    std::vector<Row> rows;
    auto add = [&rows](const char* measure, const Pair& p, int n, const std::function<Row(double, double)>& make) {
        if (p.library.seconds < 0) {
            rows.push_back(failed_row(measure, "a call failed"));
            return;
        }
        rows.push_back(make(p.library.seconds, p.reference.seconds));
        rows.back().note = cpu_note(p, n);
    };
    const uint16_t port = peer.port();
    // Compressed: the library's default line flag.
    add(kRoundTrip,
        median_in_turns(
            serial_rounds, [&] { return call_seconds(ce, 1, serial); },
            [&] { return bare_uv_pipelined_seconds(port, call_frame, 1, serial); }),
        serial, [&](double lib, double ref) { return round_trip_row(kRoundTrip, lib, ref, serial); });
    add(kMessage,
        median_in_turns(
            serial_rounds, [&] { return message_seconds(compressed, serial); },
            [&] { return bare_uv_pipelined_seconds(port, message_frame, 1, serial); }),
        serial, [&](double lib, double ref) { return round_trip_row(kMessage, lib, ref, serial); });
    add(kCompressed,
        median_in_turns(
            rounds, [&] { return call_seconds(ce, 60, pipelined); },
            [&] { return bare_uv_pipelined_seconds(port, call_frame, 60, pipelined); }),
        pipelined, [&](double lib, double ref) { return throughput_row(kCompressed, lib, ref, pipelined, 150); });
    add(kPlain,
        median_in_turns(
            rounds, [&] { return call_seconds(pe, 60, pipelined); },
            [&] { return bare_uv_pipelined_seconds(port, plain_frame, 60, pipelined); }),
        pipelined, [&](double lib, double ref) { return throughput_row(kPlain, lib, ref, pipelined, 200); });
    return rows;
}

}  // namespace perf
