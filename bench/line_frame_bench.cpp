#include <benchmark/benchmark.h>

#include <list>
#include <random>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "line_frame.h"
#include "network.h"
#include "peers/line_server.h"
#include "support/loop_thread.h"
#include "support/resident_memory.h"

namespace {

constexpr int kReceiveBuffer = 1048576;
constexpr size_t kRead = 2048;

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// Resident memory of idle line connections, each with its (empty) receive
// buffer and its watchdog running. Registered first: buffers freed by the
// other benchmarks would be reused already resident.
void BM_IdleLineResidentSize(benchmark::State& state) {
    nuvra_test::ensure_loop_thread();
    constexpr int kLines = 100;
    for (auto _ : state) {
        std::vector<std::shared_ptr<InterfaceLinkD::ConnInfo>> lines;
        long before = 0, after = 0;
        nuvra_test::run_on_loop([&] {
            before = nuvra_test::resident_kib();
            for (int i = 0; i < kLines; ++i) {
                auto line = std::make_shared<InterfaceLinkD::ConnInfo>();
                line->init();
                line->in_buf->flip();
                lines.push_back(line);
            }
            after = nuvra_test::resident_kib();
        });
        state.counters["KiB_per_line"] = double(after - before) / kLines;
        nuvra_test::run_on_loop([&] {
            for (auto& line : lines) line->close();
            lines.clear();
        });
    }
}
BENCHMARK(BM_IdleLineResidentSize)->Iterations(1);

// The receive path of a line: every read is compacted in, checked for room,
// put, flipped and cut. Counts the bytes compact() has to move.
struct Receiver {
    mynet::ByteBuffer in_buf = std::make_shared<mynet::_ByteBuffer>(kReceiveBuffer);
    std::list<std::string> msgs;
    uint64_t moved = 0;

    Receiver() { in_buf->flip(); }

    bool read(const char* p, size_t n) {
        if (in_buf->m_position != 0) moved += in_buf->remaining();
        in_buf->compact();
        if (in_buf->remaining() < n) return false;
        in_buf->put(p, static_cast<uint32_t>(n));
        in_buf->flip();
        return line_frame_cut(*in_buf, 1, "tcp.1", msgs) == 0;
    }
};

// One frame of state.range(0) bytes in all, arriving in 2048-byte reads. The
// time per byte stays flat as the frame grows when nothing is moved while
// the frame is incomplete.
void BM_LargeFrameIn2048ByteReads(benchmark::State& state) {
    const size_t frame_size = static_cast<size_t>(state.range(0));
    const std::string wire = nuvra_test::line_frame(0x80, random_bytes(frame_size - 4, 1));
    uint64_t moved = 0;
    for (auto _ : state) {
        Receiver rx;
        for (size_t at = 0; at < wire.size(); at += kRead)
            if (!rx.read(wire.data() + at, std::min(kRead, wire.size() - at))) state.SkipWithError("receive failed");
        if (rx.msgs.size() != 1) state.SkipWithError("frame not cut");
        moved += rx.moved;
        benchmark::DoNotOptimize(rx.msgs);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.counters["moved_per_frame"] = static_cast<double>(moved) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LargeFrameIn2048ByteReads)->Arg(64 << 10)->Arg(256 << 10)->Arg(1 << 20);

// Many small compressed frames back to back, as a busy line delivers them.
void BM_SmallFramesIn2048ByteReads(benchmark::State& state) {
    std::string wire;
    size_t n = 0;
    while (wire.size() < (256u << 10)) {
        wire += nuvra_test::text_frame(0x81, "call_ret channel_join " + std::to_string(n++) +
                                                 " 0 {\"result\":\"ok\",\"cid\":\"c1\",\"msgid\":42}");
    }
    uint64_t moved = 0;
    for (auto _ : state) {
        Receiver rx;
        for (size_t at = 0; at < wire.size(); at += kRead)
            if (!rx.read(wire.data() + at, std::min(kRead, wire.size() - at))) state.SkipWithError("receive failed");
        if (rx.msgs.size() != n) state.SkipWithError("frames lost");
        moved += rx.moved;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
    state.counters["moved_per_read"] =
        static_cast<double>(moved) / static_cast<double>(state.iterations() * (wire.size() / kRead + 1));
}
BENCHMARK(BM_SmallFramesIn2048ByteReads);

void BM_BuildFrame(benchmark::State& state) {
    const uint32_t flag = static_cast<uint32_t>(state.range(0));
    std::string text = "call channel_join 17 0 {\"line\":\"a7f3c2\",\"name\":\"room\"}";
    while (text.size() < static_cast<size_t>(state.range(1))) text += text;
    text.resize(static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        mynet::ByteBuffer frame;
        if (line_frame_build(text, flag, frame) != LINE_FRAME_BUILT) state.SkipWithError("not built");
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BuildFrame)->ArgsProduct({{0, 1}, {64, 1024, 16384}});

}  // namespace
