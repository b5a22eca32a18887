#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "network.h"
#include "support/log_capture.h"
#include "zlib_helpers.h"

namespace {

using mynet::_ByteBuffer;

std::string bytes_of(_ByteBuffer& b) { return std::string(b.data(), b.remaining()); }

TEST(ByteBuffer, IntegersAreBigEndianBothWays) {
    auto b = std::make_shared<_ByteBuffer>(8);
    b->putInt(0x01020304);
    b->putInt(0xFFFFFFFE);
    b->flip();
    EXPECT_EQ(bytes_of(*b), std::string("\x01\x02\x03\x04\xFF\xFF\xFF\xFE", 8));
    EXPECT_EQ(b->getUInt32(), 0x01020304u);
    EXPECT_EQ(b->getUInt32(), 0xFFFFFFFEu);
    EXPECT_EQ(b->remaining(), 0u);
}

TEST(ByteBuffer, RefusedOperationsLogAndChangeNothing) {
    nuvra_test::LogCapture cap;
    _ByteBuffer small(4);
    small.put("12345");
    EXPECT_EQ(small.m_position, 0u);
    small.put("123");
    small.putInt(7);
    EXPECT_EQ(small.m_position, 3u);
    small.flip();
    EXPECT_EQ(small.getUInt32(), 0u);
    EXPECT_EQ(small.m_position, 0u);
    EXPECT_EQ(small.getString(4), "");
    EXPECT_EQ(small.getString(0), "");
    EXPECT_EQ(small.getString(3), "123");
    std::vector<std::string> tails;
    for (const std::string& l : cap.lines()) tails.push_back(l.substr(l.find(" : ") + 3));
    EXPECT_EQ(tails, (std::vector<std::string>{"[ net  ] wrong size 5.\n", "[ net  ] wrong size 1.\n",
                                               "[ net  ] wrong size 2.\n", "[ net  ] wrong size 3.\n"}));
    // Every line starts with the millisecond clock.
    for (const std::string& l : cap.lines()) EXPECT_GT(std::stoull(l), 1600000000000ull);
}

TEST(ByteBuffer, MarkResetFlipAndCompact) {
    _ByteBuffer b(std::string("0123456789"));
    b.reset();  // the mark starts at 0
    EXPECT_EQ(b.m_position, 0u);
    b.getString(3);
    b.mark();
    b.getString(4);
    b.reset();
    EXPECT_EQ(b.m_position, 3u);
    b.getString(2);
    b.reset();  // the mark was consumed
    EXPECT_EQ(b.m_position, 5u);

    b.compact();
    EXPECT_EQ(b.m_position, 5u);
    EXPECT_EQ(b.m_limit, 10u);
    b.flip();
    EXPECT_EQ(bytes_of(b), "56789");

    _ByteBuffer other(100);
    other.put(std::string(90, 'a') + "0123456789");
    other.flip();
    other.getString(90);
    other.compact();
    EXPECT_EQ(other.m_position, 10u);
    EXPECT_EQ(other.m_limit, 100u);
    other.flip();
    EXPECT_EQ(other.getString(), "0123456789");
    other.compact();
    EXPECT_EQ(other.m_position, 0u);
    EXPECT_EQ(other.m_limit, 100u);
}

TEST(ByteBuffer, PutOfAnotherBufferLeavesItsPosition) {
    auto src = std::make_shared<_ByteBuffer>(std::string("xyz"));
    src->getString(1);
    _ByteBuffer dst(8);
    dst.put(src);
    EXPECT_EQ(src->m_position, 1u);
    dst.flip();
    EXPECT_EQ(dst.getString(), "yz");
}

// The receive path: compact, put a chunk, flip, cut length-prefixed frames,
// step back over an incomplete one with mark/reset.
TEST(ByteBuffer, FramesSplitInRandomPiecesReassemble) {
    std::mt19937 rng(7);
    std::string stream;
    std::vector<std::string> frames;
    for (int i = 0; i < 200; ++i) {
        std::string body(rng() % 300, static_cast<char>('a' + i % 26));
        frames.push_back(body);
        _ByteBuffer h(4);
        h.putInt(static_cast<uint32_t>(body.size()));
        h.flip();
        stream += h.getString() + body;
    }
    _ByteBuffer rx(4096);
    rx.flip();
    std::vector<std::string> got;
    size_t at = 0;
    while (at < stream.size()) {
        size_t n = std::min<size_t>(1 + rng() % 700, stream.size() - at);
        rx.compact();
        ASSERT_GE(rx.remaining(), n);
        rx.put(stream.data() + at, static_cast<uint32_t>(n));
        at += n;
        rx.flip();
        while (rx.remaining() >= 4) {
            rx.mark();
            uint32_t len = rx.getUInt32();
            if (rx.remaining() < len) {
                rx.reset();
                break;
            }
            got.push_back(rx.getString(len));
        }
    }
    EXPECT_EQ(got, frames);
}

TEST(Zlib, RoundTripsAndRefusesBadStreams) {
    for (const std::string& text : {std::string("{\"a\":1}"), std::string(5000, 'x'), std::string("\0\xFF", 2)}) {
        std::string z = zlib_compress(text);
        ASSERT_FALSE(z.empty());
        EXPECT_EQ(static_cast<unsigned char>(z[0]), 0x78);
        EXPECT_EQ(zlib_uncompress(z, 2048), text);
        EXPECT_EQ(zlib_uncompress(z.substr(0, z.size() - 1), 2048), "");
    }
    std::string empty = zlib_compress("");
    EXPECT_FALSE(empty.empty());
    EXPECT_EQ(zlib_uncompress(empty, 2048), "");
    EXPECT_EQ(zlib_uncompress("not zlib at all", 2048), "");
    EXPECT_EQ(zlib_uncompress("", 2048), "");
    std::string corrupt = zlib_compress("hello hello hello");
    corrupt[corrupt.size() - 1] ^= 1;  // Adler-32
    EXPECT_EQ(zlib_uncompress(corrupt, 2048), "");
}

// Short texts may be stored rather than deflated; every size, either side of
// where that changes, must still be a stream zlib itself inflates to the text.
TEST(Zlib, StreamsOfEverySizeInflateWithZlib) {
    std::mt19937 rng(7);
    std::string members;
    while (members.size() < 70000) members += "{\"account\":\"user-" + std::to_string(rng() % 1000) + "\"},";
    for (size_t n : {0, 1, 2, 74, 127, 128, 255, 256, 257, 1024, 1025, 4096, 70000}) {
        const std::string text = members.substr(0, n);
        const std::string z = zlib_compress(text);
        ASSERT_GE(z.size(), 6u) << n;
        EXPECT_EQ((static_cast<unsigned char>(z[0]) * 256 + static_cast<unsigned char>(z[1])) % 31, 0) << n;
        std::string out(n + 1, 0);
        uLongf out_size = out.size();
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(&out[0]), &out_size, reinterpret_cast<const Bytef*>(z.data()),
                             z.size()),
                  Z_OK)
            << n;
        out.resize(out_size);
        EXPECT_EQ(out, text) << n;
        // What deflate can shrink, it does.
        if (n >= 257) {
            EXPECT_LT(z.size(), n / 2) << n;
        }
    }
}

TEST(Zlib, InputAndOutputLimits) {
    std::mt19937 rng(1);
    std::string big(953134, 0);
    for (char& c : big) c = static_cast<char>(rng());
    std::string z = zlib_compress(big);
    ASSERT_FALSE(z.empty());
    EXPECT_EQ(zlib_uncompress(z, 1048576), big);
    EXPECT_EQ(zlib_compress(big + "x"), "");

    std::string full(1048576, 'k');
    EXPECT_EQ(zlib_uncompress(std::string(zlib_compress(full.substr(0, 900000))), 1048576).size(), 900000u);
    // Streams made by zlib itself, past what zlib_compress accepts.
    auto deflate_all = [](const std::string& s) {
        uLongf n = compressBound(s.size());
        std::string out(n, 0);
        compress2(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(s.data()), s.size(), 6);
        out.resize(n);
        return out;
    };
    EXPECT_EQ(zlib_uncompress(deflate_all(full), 1048576).size(), 1048576u);
    EXPECT_EQ(zlib_uncompress(deflate_all(full + "k"), 1048576), "");
}

}  // namespace
