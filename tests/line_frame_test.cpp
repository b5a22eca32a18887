// The frame writer and reader over bytes. Frames are built and inspected
// with the test peer's own zlib helpers, so the library's codec never checks
// itself.

#include "line_frame.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "network.h"
#include "peers/line_server.h"
#include "support/log_capture.h"

namespace {

using nuvra_test::batch_frame;
using nuvra_test::deflate_bytes;
using nuvra_test::line_frame;
using nuvra_test::line_frame_with_length;
using nuvra_test::text_frame;

const std::string kTag = "tcp.7";

std::string bytes_of(const mynet::_ByteBuffer& b) { return std::string(b.data(), b.remaining()); }

uint32_t length_field(const std::string& frame) {
    return uint32_t{static_cast<uint8_t>(frame[1])} << 16 | uint32_t{static_cast<uint8_t>(frame[2])} << 8 |
           uint32_t{static_cast<uint8_t>(frame[3])};
}

// A receive buffer in read mode holding `bytes`.
std::shared_ptr<mynet::_ByteBuffer> rx_holding(const std::string& bytes, int capacity = 1 << 20) {
    auto b = std::make_shared<mynet::_ByteBuffer>(capacity);
    b->put(bytes);
    b->flip();
    return b;
}

struct Cut {
    int result = 0;
    std::vector<std::string> msgs;
    std::string left;  // bytes still in the buffer
};

Cut cut(const std::string& bytes, uint32_t conn_flag) {
    auto b = rx_holding(bytes);
    std::list<std::string> msgs;
    Cut c;
    c.result = line_frame_cut(*b, conn_flag, kTag, msgs);
    c.msgs.assign(msgs.begin(), msgs.end());
    c.left = bytes_of(*b);
    return c;
}

// `taken`: the bytes of the buffer, or of the batch body, cut before it.
std::string decode_error_line(uint32_t length, size_t taken) {
    return "tcp.7           decode packet error size=" + std::to_string(length) +
           ", packet.size()=" + std::to_string(taken);
}

// --- writing ---------------------------------------------------------------

struct BuildCase {
    uint32_t flag;
    uint8_t flags_byte;
};

// Without it the test names would carry the struct's padding bytes.
void PrintTo(const BuildCase& c, std::ostream* os) { *os << "flag " << c.flag; }

class LineFrameBuildFlags : public ::testing::TestWithParam<BuildCase> {};

TEST_P(LineFrameBuildFlags, HeaderCarriesFlagsAndExactLength) {
    const std::string text = "line_ping:1";
    mynet::ByteBuffer frame;
    ASSERT_EQ(line_frame_build(text, GetParam().flag, frame), LINE_FRAME_BUILT);
    const std::string bytes = bytes_of(*frame);
    EXPECT_EQ(frame->m_capacity, bytes.size());  // one buffer of exactly the frame's size
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), GetParam().flags_byte);
    EXPECT_EQ(length_field(bytes), bytes.size());
    const std::string body = bytes.substr(4);
    if (GetParam().flags_byte & nuvra_test::kFrameCompressed) {
        std::string inflated;
        ASSERT_TRUE(nuvra_test::inflate_bytes(body, &inflated));
        EXPECT_EQ(inflated, text);
    } else {
        EXPECT_EQ(bytes.size(), 15u);
        EXPECT_EQ(body, text);
    }
}

// This side never sets the batch bit; bits above the flags byte never reach
// the length.
INSTANTIATE_TEST_SUITE_P(Flags, LineFrameBuildFlags,
                         ::testing::Values(BuildCase{0, 0x80}, BuildCase{1, 0x81}, BuildCase{2, 0x80},
                                           BuildCase{3, 0x81}, BuildCase{0x80, 0x80}, BuildCase{0x85, 0x85},
                                           BuildCase{0x100, 0x80}));

TEST(LineFrameBuild, EmptyTextIsAHeaderOnlyFrame) {
    mynet::ByteBuffer frame;
    ASSERT_EQ(line_frame_build("", 0, frame), LINE_FRAME_BUILT);
    EXPECT_EQ(bytes_of(*frame), std::string("\x80\x00\x00\x04", 4));
}

TEST(LineFrameBuild, RefusesWhatNoFrameCanCarry) {
    auto untouched = std::make_shared<mynet::_ByteBuffer>(1);
    mynet::ByteBuffer frame = untouched;
    // Past what the compressor accepts: no empty body goes out instead.
    EXPECT_EQ(line_frame_build(std::string(953135, 'x'), 1, frame), LINE_FRAME_TOO_LONG);
    EXPECT_EQ(frame, untouched);
    ASSERT_EQ(line_frame_build(std::string(953134, 'x'), 1, frame), LINE_FRAME_BUILT);
    frame = untouched;
    // A length needing more than 24 bits would run into the flags byte.
    const std::string widest(kLineFrameMaxLength - 4, 'y');
    EXPECT_EQ(line_frame_build(widest + "y", 0, frame), LINE_FRAME_TOO_LONG);
    EXPECT_EQ(frame, untouched);
    ASSERT_EQ(line_frame_build(widest, 0, frame), LINE_FRAME_BUILT);
    EXPECT_EQ(frame->remaining(), kLineFrameMaxLength);
    EXPECT_EQ(length_field(bytes_of(*frame)), kLineFrameMaxLength);
}

// --- reading ---------------------------------------------------------------

struct CutCase {
    const char* name;
    std::string bytes;
    uint32_t conn_flag;
    int result;
    std::vector<std::string> msgs;
    std::string left;
    int error_length;  // the length in the expected "decode packet error" line, -1 for none
    size_t error_taken;  // the bytes taken, in the same line
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

std::vector<CutCase> cut_cases() {
    const std::string a = text_frame(0x80, "alpha");
    const std::string b = text_frame(0x80, "bravo bravo");
    const std::string z = text_frame(0x81, "{\"k\":\"zipped\"}");
    std::vector<CutCase> cases = {
        {"OneAndAHalfFrames", a + b.substr(0, 6), 0, 0, {"alpha"}, b.substr(0, 6), -1, 0},
        {"ThreeBytes", a.substr(0, 3), 1, 0, {}, a.substr(0, 3), -1, 0},
        {"HeaderOnly", line_frame(0x80, ""), 1, 0, {""}, "", -1, 0},
        {"IncompleteHeaderAfterFrame", a + std::string("\x80\x00", 2), 0, 0, {"alpha"}, std::string("\x80\x00", 2), -1, 0},
        {"CompressedFrame", z + a, 0, 0, {"{\"k\":\"zipped\"}", "alpha"}, "", -1, 0},
        {"FlagsZeroAfterLoginInflate", line_frame(0x00, deflate_bytes("notify msg 3")), 1, 0, {"notify msg 3"}, "", -1, 0},
        {"FlagsZeroBeforeLoginArePlain", line_frame(0x00, "login_res ok 0 {}"), 0, 0, {"login_res ok 0 {}"}, "", -1, 0},
        {"BadZlibBodyIsAnEmptyMessage", line_frame(0x81, "not zlib") + a, 0, 0, {"", "alpha"}, "", -1, 0},
        {"EmptyCompressedBody", line_frame(0x81, ""), 0, 0, {""}, "", -1, 0},
        {"OtherFlagBitsIgnored", line_frame(0xF4, "x") + line_frame(0x7D, deflate_bytes("y")), 0, 0, {"x", "y"}, "", -1, 0},
        {"BatchOfThreeInPlace",
         a + batch_frame(0x82, {text_frame(0x80, "1"), text_frame(0x81, "2"), text_frame(0x80, "3")}) + b, 0, 0,
         {"alpha", "1", "2", "3", "bravo bravo"}, "", -1, 0},
        {"CompressedBatch", batch_frame(0x83, {text_frame(0x80, "p"), text_frame(0x80, "q")}), 0, 0, {"p", "q"}, "", -1, 0},
        {"BatchWithTruncatedTail",
         batch_frame(0x82, {text_frame(0x80, "one"), text_frame(0x80, "two"), text_frame(0x80, "three")}, 2) + a, 0,
         0, {"one", "two", "alpha"}, "", -1, 0},
        {"BadInnerFrameDropsRestOfBatchOnly",
         batch_frame(0x82, {text_frame(0x80, "kept"), line_frame_with_length(0x80, 2, ""), text_frame(0x80, "lost")}) +
             a,
         0, 0, {"kept", "alpha"}, "", 2, text_frame(0x80, "kept").size()},
        {"FlagsZeroInsideBatchUseConnectionFlag", batch_frame(0x82, {line_frame(0, deflate_bytes("inner"))}), 1, 0,
         {"inner"}, "", -1, 0},
    };
    for (uint32_t length = 0; length < 4; ++length)
        cases.push_back(
            {"Length", a + b + line_frame_with_length(0x80, length, "zzzz"), 0, -1, {"alpha", "bravo bravo"}, "",
             int(length), a.size() + b.size()});
    return cases;
}

class LineFrameCutCases : public ::testing::TestWithParam<CutCase> {};

TEST_P(LineFrameCutCases, Cuts) {
    const CutCase& c = GetParam();
    nuvra_test::LogCapture cap;
    Cut got = cut(c.bytes, c.conn_flag);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.msgs, c.msgs);
    if (c.result == 0) {
        EXPECT_EQ(got.left, c.left);
    }
    std::vector<std::string> errors = cap.matching("decode packet error");
    if (c.error_length < 0) {
        EXPECT_TRUE(errors.empty());
    } else {
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(decode_error_line(static_cast<uint32_t>(c.error_length), c.error_taken)),
                  std::string::npos)
            << errors[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LineFrameCutCases, ::testing::ValuesIn(cut_cases()),
                         [](const ::testing::TestParamInfo<CutCase>& info) {
                             return std::string(info.param.name) + std::to_string(info.index);
                         });

TEST(LineFrameCut, IncompleteFrameCompletesAfterCompact) {
    const std::string a = text_frame(0x80, "first");
    const std::string b = text_frame(0x81, "second, compressed");
    auto rx = rx_holding(a + b.substr(0, 5));
    std::list<std::string> msgs;
    ASSERT_EQ(line_frame_cut(*rx, 1, kTag, msgs), 0);
    EXPECT_EQ(rx->m_position, a.size());  // at the second frame's first byte
    rx->compact();
    rx->put(b.substr(5));
    rx->flip();
    ASSERT_EQ(line_frame_cut(*rx, 1, kTag, msgs), 0);
    EXPECT_EQ(std::vector<std::string>(msgs.begin(), msgs.end()),
              (std::vector<std::string>{"first", "second, compressed"}));
    EXPECT_EQ(rx->remaining(), 0u);
}

// `levels` batches around one text frame, built header by header.
std::string nested(int levels, const std::string& text) {
    std::string inner = text_frame(0x80, text);
    std::string out;
    for (int i = 0; i < levels; ++i) {
        uint32_t length = static_cast<uint32_t>(inner.size()) + 4u * static_cast<uint32_t>(levels - i);
        out += line_frame_with_length(0x82, length, "");
    }
    return out + inner;
}

TEST(LineFrameCut, BatchNestingIsCapped) {
    nuvra_test::LogCapture cap;
    Cut deepest = cut(nested(kLineBatchDepthMax, "deep"), 0);
    EXPECT_EQ(deepest.msgs, std::vector<std::string>{"deep"});
    EXPECT_TRUE(cap.matching("decode packet error").empty());

    Cut too_deep = cut(nested(kLineBatchDepthMax + 1, "deep") + text_frame(0x80, "next"), 0);
    EXPECT_EQ(too_deep.result, 0);
    EXPECT_EQ(too_deep.msgs, std::vector<std::string>{"next"});
    EXPECT_EQ(cap.matching("decode packet error").size(), 1u);
}

TEST(LineFrameCut, HostileNestingNeitherRecursesNorCrashes) {
    nuvra_test::LogCapture cap;
    Cut got = cut(nested(200000, "bottom"), 0);
    EXPECT_EQ(got.result, 0);
    EXPECT_TRUE(got.msgs.empty());
    EXPECT_EQ(cap.matching("decode packet error").size(), 1u);
}

std::string megabyte_frame(char c) { return text_frame(0x81, std::string(kLineInflateMax, c)); }

TEST(LineFrameCut, InflationBudgetStopsABombInsideABatch) {
    nuvra_test::LogCapture cap;
    std::vector<std::string> inner(200, megabyte_frame('b'));  // each ~1 KiB, inflating to 1 MiB
    Cut got = cut(batch_frame(0x82, inner) + text_frame(0x80, "after"), 0);
    EXPECT_EQ(got.result, 0);
    ASSERT_EQ(got.msgs.size(), kLineInflateBudget / kLineInflateMax + 1);
    EXPECT_EQ(got.msgs.back(), "after");
    EXPECT_EQ(cap.matching("decode packet error").size(), 1u);
}

// Cuts a stream of any size in one go.
Cut cut_whole(const std::string& bytes) {
    auto b = rx_holding(bytes, static_cast<int>(bytes.size()));
    std::list<std::string> msgs;
    Cut c;
    c.result = line_frame_cut(*b, 0, kTag, msgs);
    c.msgs.assign(msgs.begin(), msgs.end());
    return c;
}

// A bad batch drops only its own rest, so a stream of small batches, each
// holding a body that inflates to a megabyte, must not cost a megabyte of
// inflation per batch once the cut's budget is spent.
TEST(LineFrameCut, SpentBudgetInflatesNothingMore) {
    nuvra_test::LogCapture cap;
    const std::string bomb = megabyte_frame('s');
    const std::string spend = batch_frame(0x82, std::vector<std::string>(kLineInflateBudget / kLineInflateMax + 1, bomb));
    ASSERT_EQ(cut_whole(spend).msgs.size(), kLineInflateBudget / kLineInflateMax);

    constexpr int kBatches = 400;
    std::string hostile = spend;
    for (int i = 0; i < kBatches; ++i) hostile += batch_frame(0x82, {bomb});
    hostile += text_frame(0x80, "after") + line_frame(0x81, deflate_bytes(""));
    cap.clear();
    Cut got = cut_whole(hostile);
    EXPECT_EQ(got.result, -1) << "the compressed frame after the spent budget";
    EXPECT_EQ(cap.matching("decode packet error").size(), 1u + kBatches + 1u);
    ASSERT_EQ(got.msgs.size(), kLineInflateBudget / kLineInflateMax + 1);
    EXPECT_EQ(got.msgs.back(), "after");
}

TEST(LineFrameCut, InflationBudgetCountsPerCut) {
    std::string frames;
    for (size_t i = 0; i < kLineInflateBudget / kLineInflateMax; ++i) frames += megabyte_frame('t');
    nuvra_test::LogCapture cap;
    // The whole budget in one cut is fine, and so is the next cut.
    for (int round = 0; round < 3; ++round) {
        Cut got = cut(frames, 0);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.msgs.size(), kLineInflateBudget / kLineInflateMax);
    }
    // One more top-level frame in the same cut is undecodable.
    Cut over = cut(frames + megabyte_frame('t'), 0);
    EXPECT_EQ(over.result, -1);
    EXPECT_EQ(over.msgs.size(), kLineInflateBudget / kLineInflateMax);
    EXPECT_EQ(cap.matching("decode packet error").size(), 1u);
}

// Only a refused body ends inflation for the cut: a budget spent exactly
// still lets an empty compressed body through, and the next body that
// inflates to anything is refused.
TEST(LineFrameCut, BudgetSpentExactlyStillTakesAnEmptyBody) {
    std::string exact;
    for (size_t i = 0; i < kLineInflateBudget / kLineInflateMax - 1; ++i) exact += megabyte_frame('e');
    exact += text_frame(0x81, std::string(kLineInflateMax / 2, 'h')) + text_frame(0x81, std::string(kLineInflateMax / 2, 'h'));
    const std::string empty = line_frame(0x81, deflate_bytes(""));
    nuvra_test::LogCapture cap;
    Cut got = cut_whole(exact + empty);
    EXPECT_EQ(got.result, 0);
    ASSERT_EQ(got.msgs.size(), 10u);
    EXPECT_EQ(got.msgs[8], std::string(kLineInflateMax / 2, 'h'));
    EXPECT_EQ(got.msgs[9], "");
    EXPECT_TRUE(cap.matching("decode packet error").empty());

    const std::string one = text_frame(0x81, "x");
    got = cut_whole(exact + empty + one + empty);
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.msgs.size(), 10u);
    ASSERT_EQ(cap.matching("decode packet error").size(), 1u);
    EXPECT_NE(cap.matching("decode packet error")[0].find(
                  decode_error_line(static_cast<uint32_t>(one.size()), exact.size() + empty.size() + one.size())),
              std::string::npos);
}

// A stream of varied frames, and the messages it stands for.
struct Stream {
    std::string bytes;
    std::vector<std::string> msgs;
};

Stream random_stream(std::mt19937& rng, int frames) {
    Stream s;
    auto random_text = [&rng] {
        std::string t(rng() % 90, '\0');
        for (char& ch : t) ch = static_cast<char>(rng());
        return t;
    };
    for (int i = 0; i < frames; ++i) {
        switch (rng() % 4) {
            case 0: {
                std::string t = random_text();
                s.bytes += text_frame(0x80, t);
                s.msgs.push_back(t);
                break;
            }
            case 1: {
                std::string t = random_text();
                s.bytes += line_frame(0x00, deflate_bytes(t));  // connection flag 1
                s.msgs.push_back(t);
                break;
            }
            case 2: {
                std::vector<std::string> inner;
                for (int k = 0; k < 3; ++k) {
                    std::string t = random_text();
                    inner.push_back(text_frame(k == 1 ? 0x81 : 0x80, t));
                    s.msgs.push_back(t);
                }
                s.bytes += batch_frame(rng() % 2 ? 0x83 : 0x82, inner);
                break;
            }
            default: {
                std::string t(rng() % 3000, 'r');  // larger than one socket read
                s.bytes += text_frame(0x81, t);
                s.msgs.push_back(t);
            }
        }
    }
    return s;
}

// Feeds the stream the way the receive path does: compact, put, flip, cut.
std::vector<std::string> feed(const std::string& bytes, const std::vector<size_t>& cuts, int* result) {
    auto rx = std::make_shared<mynet::_ByteBuffer>(1 << 16);
    rx->flip();
    std::list<std::string> msgs;
    size_t at = 0;
    *result = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (size_t end : ends) {
        rx->compact();
        rx->put(bytes.data() + at, static_cast<uint32_t>(end - at));
        at = end;
        rx->flip();
        *result |= line_frame_cut(*rx, 1, kTag, msgs);
    }
    return std::vector<std::string>(msgs.begin(), msgs.end());
}

TEST(LineFrameCut, SplitAtEveryByteGivesTheSameMessages) {
    std::mt19937 rng(20240605);
    Stream s = random_stream(rng, 24);
    for (size_t k = 0; k <= s.bytes.size(); ++k) {
        int result = 0;
        ASSERT_EQ(feed(s.bytes, {k}, &result), s.msgs) << "split at " << k;
        ASSERT_EQ(result, 0);
    }
}

TEST(LineFrameCut, RandomPiecesGiveTheSameMessages) {
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        Stream s = random_stream(rng, 40);
        std::vector<size_t> cuts;
        for (size_t at = rng() % 64; at < s.bytes.size(); at += 1 + rng() % 2048) cuts.push_back(at);
        int result = 0;
        ASSERT_EQ(feed(s.bytes, cuts, &result), s.msgs) << "round " << round;
        ASSERT_EQ(result, 0);
    }
}

}  // namespace
