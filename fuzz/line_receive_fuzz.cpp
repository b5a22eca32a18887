#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "line_frame.h"
#include "log.h"

namespace {

// Longer inputs are cut here; -max_len stays below it.
constexpr int kMaxInput = 1 << 16;

bool g_undecodable = false;

bool note_line(const char* line) {
    if (strstr(line, "decode packet error")) g_undecodable = true;
    return true;
}

// What a connection made of the stream: every message its cuts appended, in
// order; the first negative result (the stream would be closed there); the
// bytes it holds uncut at the end; whether a frame was undecodable.
struct Fed {
    std::vector<std::string> msgs;
    int result = 0;
    std::string left;
    bool undecodable = false;

    bool operator==(const Fed& o) const {
        return msgs == o.msgs && result == o.result && left == o.left && undecodable == o.undecodable;
    }
};

// A connection, emptied as the connect step starts it, given the stream in
// pieces of these sizes. One connection serves every run, as one line
// serves every read.
Fed feed(uint32_t flag, const std::string& stream, const std::vector<size_t>& sizes) {
    static InterfaceLinkD::ConnInfo& info = *new InterfaceLinkD::ConnInfo();
    info.flag = flag;
    info.in_buf->m_position = 0;
    info.in_buf->flip();
    g_undecodable = false;
    Fed fed;
    // One read buffer serves every piece, as the stream's does.
    static const mynet::ByteBuffer piece = std::make_shared<mynet::_ByteBuffer>(kMaxInput);
    size_t pos = 0;
    for (size_t size : sizes) {
        piece->m_position = piece->m_limit;
        piece->compact();
        piece->put(stream.data() + pos, static_cast<uint32_t>(size));
        piece->flip();
        pos += size;
        std::list<std::string> msgs;
        fed.result = info.receive(piece, msgs);
        fed.msgs.insert(fed.msgs.end(), msgs.begin(), msgs.end());
        if (fed.result < 0) break;
    }
    fed.left.assign(info.in_buf->data(), info.in_buf->remaining());
    fed.undecodable = g_undecodable;
    return fed;
}

// One cut of the whole stream in a buffer of its own.
Fed cut_whole(uint32_t flag, const std::string& stream) {
    mynet::_ByteBuffer buf(stream);
    g_undecodable = false;
    std::list<std::string> msgs;
    Fed fed;
    fed.result = line_frame_cut(buf, flag, "tcp.0", msgs);
    fed.msgs.assign(msgs.begin(), msgs.end());
    fed.left.assign(buf.data(), buf.remaining());
    fed.undecodable = g_undecodable;
    return fed;
}

}  // namespace

// Bytes 0-3: the connection's flag, a split point (two bytes) and the seed of
// the random pieces; the rest is the stream from the server. Fed whole, byte
// by byte, split in two, in 4-byte pieces and in random pieces of at most one
// socket read, the
// connection must make of it what one cut of the whole stream makes. The
// inflation budget is per cut, so that holds only while no frame was refused;
// fed whole it holds always.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    size = std::min<size_t>(size, kMaxInput + 4);
    SetLogSink2(note_line);
    const uint32_t flag = data[0];
    const std::string stream(reinterpret_cast<const char*>(data) + 4, size - 4);
    const size_t n = stream.size();
    const size_t split = (size_t{data[1]} << 8 | data[2]) % (n + 1);

    const Fed whole = cut_whole(flag, stream);
    if (!(feed(flag, stream, n ? std::vector<size_t>{n} : std::vector<size_t>{}) == whole)) __builtin_trap();
    if (whole.undecodable) return 0;

    if (!(feed(flag, stream, std::vector<size_t>(n, 1)) == whole)) __builtin_trap();
    if (!(feed(flag, stream, {split, n - split}) == whole)) __builtin_trap();
    std::vector<size_t> words(n / 4, 4);
    if (n % 4) words.push_back(n % 4);
    if (!(feed(flag, stream, words) == whole)) __builtin_trap();
    std::minstd_rand random(data[3] + 1u);
    std::vector<size_t> pieces;
    for (size_t left = n; left > 0;) {
        const size_t piece = std::min<size_t>(left, 1 + random() % 2048);
        pieces.push_back(piece);
        left -= piece;
    }
    if (!(feed(flag, stream, pieces) == whole)) __builtin_trap();
    return 0;
}
