#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pystring/pystring.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "if_linkd.h"
#include "common/call_chains.h"
#include "log.h"
#include "support/engine_fixture.h"
#include "support/line_fixture.h"
#include "support/loop_thread.h"
#include "support/thread_cpu_time.h"

// Server calls through the library against a minimal loopback line peer,
// beside a raw client that sends the very bytes of such a call and waits for
// the same answer. The peer runs on its own thread and costs both the same.

namespace {

std::atomic<uint64_t> g_sunk{0};
bool counting_sink(const char* text) {
    g_sunk.fetch_add(text[0] != 0, std::memory_order_relaxed);
    return true;
}

// One deflate stream per thread, reset per frame, at the library's level.
std::string deflate6(const std::string& in) {
    thread_local struct Z {
        z_stream s{};
        Z() { deflateInit(&s, 6); }
        ~Z() { deflateEnd(&s); }
    } z;
    deflateReset(&z.s);
    std::string out(deflateBound(&z.s, in.size()), '\0');
    z.s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.s.avail_in = static_cast<uInt>(in.size());
    z.s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.s.avail_out = static_cast<uInt>(out.size());
    deflate(&z.s, Z_FINISH);
    out.resize(z.s.total_out);
    return out;
}

std::string inflate_all(const std::string& in) {
    thread_local struct Z {
        z_stream s{};
        std::unique_ptr<char[]> buf{new char[64 * 1024]};
        Z() { inflateInit(&s); }
        ~Z() { inflateEnd(&s); }
    } z;
    inflateReset(&z.s);
    z.s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.s.avail_in = static_cast<uInt>(in.size());
    z.s.next_out = reinterpret_cast<Bytef*>(z.buf.get());
    z.s.avail_out = 64 * 1024;
    inflate(&z.s, Z_FINISH);
    return std::string(z.buf.get(), z.s.total_out);
}

std::string frame(uint8_t flags, const std::string& text) {
    const std::string body = (flags & 1) ? deflate6(text) : text;
    const uint32_t word = (uint32_t(flags) << 24) | uint32_t(body.size() + 4);
    std::string f(4, '\0');
    f[0] = char(word >> 24);
    f[1] = char(word >> 16);
    f[2] = char(word >> 8);
    f[3] = char(word);
    return f + body;
}

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Answers logins, pings and every "call <m> <id> 0 <json>" with "ok" in
// plain frames (a server's choice), so that the peer's own deflating does not
// bound what is measured of the library; one write per read.
class BenchPeer {
public:
    BenchPeer() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_fd_, 8);
        socklen_t len = sizeof a;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        std::thread([this] {
            for (;;) {
                const int fd = ::accept(listen_fd_, nullptr, nullptr);
                if (fd < 0) return;
                std::thread([fd] { serve(fd); }).detach();
            }
        }).detach();
    }
    uint16_t port() const { return port_; }

private:
    static void serve(int fd) {
        std::string in;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            in.append(buf, size_t(n));
            std::string out;
            size_t pos = 0;
            while (in.size() - pos >= 4) {
                const auto* h = reinterpret_cast<const unsigned char*>(in.data() + pos);
                const uint8_t flags = h[0];
                const uint32_t length = (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
                if (length < 4 || in.size() - pos < length) break;
                std::string body = in.substr(pos + 4, length - 4);
                pos += length;
                if (flags & 1) body = inflate_all(body);
                out += frame(0x80, answer(body));
            }
            in.erase(0, pos);
            if (!out.empty() && !write_all(fd, out.data(), out.size())) break;
        }
        ::close(fd);
    }

    static std::string answer(const std::string& text) {
        if (pystring::startswith(text, "login ")) return "login_res ok 0 {\"line\":\"L1\",\"uid\":7}";
        if (pystring::startswith(text, "line_ping:")) return "line_pong:" + text.substr(10);
        std::vector<std::string> f;
        pystring::split(text, f, " ", 4);
        f.resize(5);
        return "call_ret " + f[1] + " " + f[2] + " 0 {\"result\":\"ok\"}";
    }

    int listen_fd_ = -1;
    uint16_t port_ = 0;
};

BenchPeer& peer() {
    static BenchPeer* p = new BenchPeer();
    return *p;
}

void route_call_ret(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const std::string& msg) {
    if (!pystring::startswith(msg, "call_ret ")) return;
    std::vector<std::string> f;
    pystring::split(msg, f, " ", 4);
    f.resize(5);
    engine.m_main_slot.process_tcp_call_res(static_cast<uint32_t>(std::atoi(f[2].c_str())), f[4],
                                            info.conn ? info.conn->getRemoteIP() : "");
}

// One engine with its line logged in to the peer, for the whole run.
nuvra_test::LineFixture& line() {
    static nuvra_test::LineFixture* l = [] {
        SetLogSink2(counting_sink);
        static nuvra_sdk::ICallBack events;
        InterfaceLinkD* engine = nullptr;
        // Made off the network thread: making it waits for that thread.
        mynet::Async& queue = nuvra_test::engine_queue();
        nuvra_test::run_on_loop([&] {
            engine = new InterfaceLinkD(&events, &queue);
            engine->rp.m_enable = false;
        });
        auto* f = new nuvra_test::LineFixture(engine);
        f->on_message = route_call_ret;
        f->connect(peer().port());
        f->wait_on_loop([](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) { return e.m_tcp_connected; }, 3000);
        return f;
    }();
    return *l;
}

void run_on_loop_engine(const std::function<void(InterfaceLinkD&)>& f) {
    line().on_loop([&](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) { f(e); });
}

std::shared_ptr<InterfaceLinkD::ConnInfo>& idle_conn() {
    static auto* c = new std::shared_ptr<InterfaceLinkD::ConnInfo>(std::make_shared<InterfaceLinkD::ConnInfo>());
    return *c;
}

// Runs the chains and returns the network thread's CPU time they took, in ms.
double run_chains(int width, int total, benchmark::State& state) {
    bench::CallChains chains;
    chains.total = total;
    double cpu_start = 0;
    std::future<void> finished = chains.done.get_future();
    line().on_loop([&](InterfaceLinkD& e, nuvra_test::LineFixture::Info&) {
        cpu_start = nuvra_test::thread_cpu_ms();
        chains.engine = &e;
        chains.start(width);
    });
    finished.wait();
    double cpu_end = 0;
    line().on_loop([&](InterfaceLinkD&, nuvra_test::LineFixture::Info&) { cpu_end = nuvra_test::thread_cpu_ms(); });
    if (chains.failed != 0) state.SkipWithError("calls failed");
    return cpu_end - cpu_start;
}

// Network-thread CPU per call, in microseconds.
void report_cpu(benchmark::State& state, double cpu_ms) {
    state.counters["loop_cpu_us"] = benchmark::Counter(cpu_ms * 1000.0 / double(state.iterations()));
}

// call_api to result function, one call at a time.
void BM_CallRoundTrip(benchmark::State& state) {
    constexpr int kBatch = 2000;
    line();
    double cpu_ms = 0;
    while (state.KeepRunningBatch(kBatch)) cpu_ms += run_chains(1, kBatch, state);
    state.SetItemsProcessed(state.iterations());
    report_cpu(state, cpu_ms);
}
BENCHMARK(BM_CallRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same framed call bytes written and the same answer frame read back on
// a plain socket.
void BM_RawRoundTrip(benchmark::State& state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(peer().port());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    const std::string call = frame(0x81, "call bench_call 1 0 " + JSON2STRING(bench::call_request()));
    const size_t answer_size = frame(0x80, "call_ret bench_call 1 0 {\"result\":\"ok\"}").size();
    std::string buf(answer_size, '\0');
    for (auto _ : state) {
        write_all(fd, call.data(), call.size());
        size_t got = 0;
        while (got < answer_size) {
            const ssize_t n = ::read(fd, &buf[got], answer_size - got);
            if (n <= 0) {
                state.SkipWithError("read failed");
                break;
            }
            got += size_t(n);
        }
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// 60 calls in flight on one line (the default limit).
void BM_CallThroughput60(benchmark::State& state) {
    constexpr int kBatch = 30000;
    line();
    double cpu_ms = 0;
    while (state.KeepRunningBatch(kBatch)) cpu_ms += run_chains(60, kBatch, state);
    state.SetItemsProcessed(state.iterations());
    report_cpu(state, cpu_ms);
}
BENCHMARK(BM_CallThroughput60)->UseRealTime()->Unit(benchmark::kMillisecond);

// The call transport alone: queue, text, logs, answer parsing and
// completion, with a line connection that has no stream (so no frame and no
// syscall).
void BM_CallSlotOnly(benchmark::State& state) {
    line();
    InterfaceLinkD* engine = nullptr;
    run_on_loop_engine([&](InterfaceLinkD& e) { engine = &e; });
    nuvra_test::run_on_loop([&] {
        engine->m_conn_info.swap(idle_conn());
        int failed = 0;
        const ApiCallResult count = [&failed](int result, const std::string&, const Json::Value&) {
            failed += result != 0;
        };
        for (auto _ : state) {
            const REQ_ID id = engine->call_api(0, "bench_call", bench::call_request(), count, false);
            engine->m_main_slot.process_tcp_call_res(id, "{\"result\":\"ok\"}", "127.0.0.1");
        }
        engine->m_conn_info.swap(idle_conn());
        if (failed != 0) state.SkipWithError("calls failed");
    });
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CallSlotOnly);

}  // namespace
