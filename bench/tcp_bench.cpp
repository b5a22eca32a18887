// Loopback TCP through NetworkTcpClient/NetworkTcpStream beside a bare libuv
// client doing the same on the same network thread, against one echo peer:
// ping-pong round trips of 64 bytes, and 4 MiB streamed out and echoed back
// in 64 KiB writes. The bare client reads into a 64 KiB area (libuv's
// suggestion) or, to isolate the stream's own cost, a 2048-byte one like the
// stream's.
#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <vector>

#include "network.h"
#include "peers/tcp_echo.h"
#include "support/loop_thread.h"

namespace {

constexpr size_t kPingSize = 64;
constexpr int kPingsPerBatch = 200;
constexpr size_t kChunk = 64 * 1024;
constexpr int kChunksPerBatch = 64;
constexpr size_t kBatchBytes = kChunk * kChunksPerBatch;

nuvra_test::TcpEcho& echo() {
    static nuvra_test::TcpEcho* e = new nuvra_test::TcpEcho();
    return *e;
}

// What one batch waits for; lives on the network thread.
struct Batch {
    size_t got = 0;
    size_t expect = 0;
    int pings_left = 0;
    std::promise<void> done;
};

// Counts echoed bytes; in ping-pong mode sends the next ping when one is back.
template <typename SendPing>
void on_bytes(Batch& b, size_t n, SendPing send_ping) {
    b.got += n;
    if (b.pings_left > 0) {
        if (b.got < kPingSize) return;
        b.got -= kPingSize;
        if (--b.pings_left > 0) {
            send_ping();
        } else {
            b.done.set_value();
        }
        return;
    }
    if (b.got >= b.expect) b.done.set_value();
}

// Starts a batch on the network thread (pings > 0: ping-pong; else the echo
// of expect bytes), lets send begin it, and waits until on_bytes ends it.
template <typename Send>
void run_batch(Batch& b, int pings, size_t expect, Send send) {
    std::future<void> f;
    nuvra_test::run_on_loop([&] {
        b = Batch();
        b.pings_left = pings;
        b.expect = expect;
        f = b.done.get_future();
        send();
    });
    f.wait();
}

class LibraryClient {
public:
    LibraryClient() {
        m_ping = std::make_shared<mynet::_ByteBuffer>(std::string(kPingSize, 'p'));
        m_chunk = std::make_shared<mynet::_ByteBuffer>(std::string(kChunk, 'c'));
        nuvra_test::run_on_loop([this] {
            auto client = std::make_shared<mynet::NetworkTcpClient>("127.0.0.1", echo().port(), 5000);
            client->onConnected([this](mynet::NetworkTcpClient*, mynet::NetworkTcpStream* s) {
                m_stream = s->shared_from_this();
                s->onData([this](mynet::NetworkTcpStream*, mynet::ByteBuffer& bb) {
                    on_bytes(m_batch, bb->remaining(), [this] { m_stream->send(m_ping); });
                });
            });
            client->connect();
        });
        nuvra_test::wait_on_loop([this] { return m_stream != nullptr; }, 5000);
    }
    bool ok() const { return m_stream != nullptr; }

    void ping_pong() {
        run_batch(m_batch, kPingsPerBatch, 0, [this] { m_stream->send(m_ping); });
    }

    void stream_batch() {
        run_batch(m_batch, 0, kBatchBytes, [this] {
            for (int i = 0; i < kChunksPerBatch; ++i) m_stream->send(m_chunk);
        });
    }

private:
    std::shared_ptr<mynet::NetworkTcpStream> m_stream;
    mynet::ByteBuffer m_ping;
    mynet::ByteBuffer m_chunk;
    Batch m_batch;
};

class BareClient {
public:
    explicit BareClient(size_t read_size) : m_read(read_size), m_ping(kPingSize, 'p'), m_chunk(kChunk, 'c') {
        nuvra_test::run_on_loop([this] {
            uv_tcp_init(uv_default_loop(), &m_tcp);
            m_tcp.data = this;
            m_conn.data = this;
            sockaddr_in addr;
            uv_ip4_addr("127.0.0.1", echo().port(), &addr);
            uv_tcp_connect(&m_conn, &m_tcp, reinterpret_cast<const sockaddr*>(&addr), [](uv_connect_t* req, int st) {
                auto* self = static_cast<BareClient*>(req->data);
                if (st != 0) return;
                self->m_connected = true;
                uv_read_start(reinterpret_cast<uv_stream_t*>(&self->m_tcp), alloc, on_read);
            });
        });
        nuvra_test::wait_on_loop([this] { return m_connected; }, 5000);
    }
    bool ok() const { return m_connected; }

    void ping_pong() {
        run_batch(m_batch, kPingsPerBatch, 0, [this] { write(m_ping); });
    }

    void stream_batch() {
        run_batch(m_batch, 0, kBatchBytes, [this] {
            for (int i = 0; i < kChunksPerBatch; ++i) write(m_chunk);
        });
    }

private:
    static void alloc(uv_handle_t* h, size_t, uv_buf_t* buf) {
        auto* self = static_cast<BareClient*>(h->data);
        *buf = uv_buf_init(self->m_read.data(), static_cast<unsigned>(self->m_read.size()));
    }
    static void on_read(uv_stream_t* s, ssize_t n, const uv_buf_t*) {
        auto* self = static_cast<BareClient*>(s->data);
        if (n <= 0) return;
        on_bytes(self->m_batch, static_cast<size_t>(n), [self] { self->write(self->m_ping); });
    }
    void write(std::string& bytes) {
        auto* req = new uv_write_t();
        uv_buf_t buf = uv_buf_init(&bytes[0], static_cast<unsigned>(bytes.size()));
        uv_write(req, reinterpret_cast<uv_stream_t*>(&m_tcp), &buf, 1, [](uv_write_t* r, int) { delete r; });
    }

    uv_tcp_t m_tcp;
    uv_connect_t m_conn;
    bool m_connected = false;
    std::vector<char> m_read;
    std::string m_ping;
    std::string m_chunk;
    Batch m_batch;
};

// The clients stay connected for the process: the loop thread never ends.
LibraryClient& library() {
    static LibraryClient* c = new LibraryClient();
    return *c;
}
BareClient& bare_64k() {
    static BareClient* c = new BareClient(65536);
    return *c;
}
BareClient& bare_2k() {
    static BareClient* c = new BareClient(2048);
    return *c;
}

template <typename Client>
void ping_pong(benchmark::State& state, Client& c) {
    if (!c.ok()) {
        state.SkipWithError("no connection to the echo peer");
        return;
    }
    for (auto _ : state) c.ping_pong();
    // items_per_second: round trips per second.
    state.SetItemsProcessed(state.iterations() * kPingsPerBatch);
}

template <typename Client>
void throughput(benchmark::State& state, Client& c) {
    if (!c.ok()) {
        state.SkipWithError("no connection to the echo peer");
        return;
    }
    for (auto _ : state) c.stream_batch();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBatchBytes));
}

void BM_PingPong_Library(benchmark::State& s) { ping_pong(s, library()); }
void BM_PingPong_BareLibuv(benchmark::State& s) { ping_pong(s, bare_64k()); }
void BM_Echo4MiB_Library(benchmark::State& s) { throughput(s, library()); }
void BM_Echo4MiB_BareLibuv64K(benchmark::State& s) { throughput(s, bare_64k()); }
void BM_Echo4MiB_BareLibuv2K(benchmark::State& s) { throughput(s, bare_2k()); }

}  // namespace

BENCHMARK(BM_PingPong_Library)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong_BareLibuv)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Echo4MiB_Library)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Echo4MiB_BareLibuv64K)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Echo4MiB_BareLibuv2K)->UseRealTime()->Unit(benchmark::kMillisecond);
