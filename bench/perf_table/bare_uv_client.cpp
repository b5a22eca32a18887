#include "bare_uv_client.h"

#include <uv.h>

#include <chrono>
#include <future>

#include "support/loop_thread.h"

namespace perf {

namespace {

using Clock = std::chrono::steady_clock;

struct BareRun {
    uv_tcp_t tcp;
    uv_connect_t connect_req;
    std::string frame;
    int width = 0;
    int total = 0;
    int sent = 0;
    int answered = 0;
    std::string in;
    char buf[65536];
    Clock::time_point start;
    Clock::time_point end;
    std::promise<bool> finished;
    std::promise<void> closed;
};

void on_written(uv_write_t* req, int) { delete req; }

void send_frame(BareRun* r) {
    ++r->sent;
    uv_buf_t b = uv_buf_init(&r->frame[0], static_cast<unsigned>(r->frame.size()));
    const int n = uv_try_write(reinterpret_cast<uv_stream_t*>(&r->tcp), &b, 1);
    if (n == static_cast<int>(b.len)) return;
    if (n > 0) {
        b.base += n;
        b.len -= n;
    }
    uv_write(new uv_write_t, reinterpret_cast<uv_stream_t*>(&r->tcp), &b, 1, on_written);
}

void on_read(uv_stream_t* s, ssize_t n, const uv_buf_t*) {
    auto* r = static_cast<BareRun*>(s->data);
    if (n < 0) {
        uv_read_stop(s);
        if (r->answered < r->total) r->finished.set_value(false);
        r->answered = r->total;
        return;
    }
    r->in.append(r->buf, size_t(n));
    size_t pos = 0;
    while (r->in.size() - pos >= 4) {
        const auto* h = reinterpret_cast<const unsigned char*>(r->in.data() + pos);
        const uint32_t length = (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
        if (length < 4 || r->in.size() - pos < length) break;
        pos += length;
        if (++r->answered == r->total) {
            r->end = Clock::now();
            r->finished.set_value(true);
        } else if (r->sent < r->total) {
            send_frame(r);
        }
    }
    r->in.erase(0, pos);
}

void on_connected(uv_connect_t* req, int status) {
    auto* r = static_cast<BareRun*>(req->data);
    if (status != 0) {
        r->finished.set_value(false);
        return;
    }
    uv_read_start(
        reinterpret_cast<uv_stream_t*>(&r->tcp),
        [](uv_handle_t* h, size_t, uv_buf_t* b) {
            auto* run = static_cast<BareRun*>(h->data);
            *b = uv_buf_init(run->buf, sizeof run->buf);
        },
        on_read);
    r->start = Clock::now();
    for (int i = 0; i < r->width && r->sent < r->total; ++i) send_frame(r);
}

}  // namespace

double bare_uv_pipelined_seconds(uint16_t port, const std::string& frame, int width, int total) {
    BareRun run;
    run.frame = frame;
    run.width = width;
    run.total = total;
    std::future<bool> finished = run.finished.get_future();
    nuvra_test::run_on_loop([&] {
        sockaddr_in addr{};
        uv_ip4_addr("127.0.0.1", port, &addr);
        uv_tcp_init(uv_default_loop(), &run.tcp);
        uv_tcp_nodelay(&run.tcp, 1);
        run.tcp.data = &run;
        run.connect_req.data = &run;
        if (uv_tcp_connect(&run.connect_req, &run.tcp, reinterpret_cast<const sockaddr*>(&addr), on_connected) != 0)
            run.finished.set_value(false);
    });
    const bool ok = finished.get();
    nuvra_test::run_on_loop([&] {
        uv_close(reinterpret_cast<uv_handle_t*>(&run.tcp),
                 [](uv_handle_t* h) { static_cast<BareRun*>(h->data)->closed.set_value(); });
    });
    run.closed.get_future().wait();
    if (!ok) return -1;
    return std::chrono::duration<double>(run.end - run.start).count();
}

}  // namespace perf
