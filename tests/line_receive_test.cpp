#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <memory>
#include <string>

#include "if_linkd.h"
#include "support/log_capture.h"

namespace {

std::string frame(const std::string& body) {
    const uint32_t length = static_cast<uint32_t>(body.size()) + 4;
    std::string f(4, '\0');
    f[1] = static_cast<char>(length >> 16);
    f[2] = static_cast<char>(length >> 8);
    f[3] = static_cast<char>(length);
    return f + body;
}

mynet::ByteBuffer piece(const std::string& bytes) { return std::make_shared<mynet::_ByteBuffer>(bytes); }

// A connection as the connect step makes it, without a stream.
std::shared_ptr<InterfaceLinkD::ConnInfo> connection() {
    auto info = std::make_shared<InterfaceLinkD::ConnInfo>();
    info->connid = 3;
    info->in_buf->flip();
    return info;
}

TEST(LineReceive, KeepsAnIncompleteFrameUntilTheRestArrives) {
    auto info = connection();
    const std::string stream = frame("call_ret 1 {}") + frame("notify channel2 x");
    const size_t cut = stream.size() - 5;
    std::list<std::string> msgs;
    EXPECT_EQ(info->receive(piece(stream.substr(0, cut)), msgs), 0);
    EXPECT_EQ(msgs, (std::list<std::string>{"call_ret 1 {}"}));
    EXPECT_EQ(info->in_buf->remaining(), cut - frame("call_ret 1 {}").size());
    msgs.clear();
    EXPECT_EQ(info->receive(piece(stream.substr(cut)), msgs), 0);
    EXPECT_EQ(msgs, (std::list<std::string>{"notify channel2 x"}));
    EXPECT_EQ(info->in_buf->remaining(), 0u);
}

// The buffer holds exactly 1 MiB of input not yet cut into frames.
TEST(LineReceive, OverflowIsRefusedOnlyPastOneMebibyte) {
    nuvra_test::LogCapture log;
    auto info = connection();
    std::string start(4, '\0');
    start[0] = 0;
    start[1] = static_cast<char>(0xFF);  // a frame of 16 MiB that never completes
    start[2] = static_cast<char>(0xFF);
    start[3] = static_cast<char>(0xFF);
    std::list<std::string> msgs;
    ASSERT_EQ(info->receive(piece(start + std::string(2044, 'a')), msgs), 0);
    for (int i = 1; i < 512; ++i) ASSERT_EQ(info->receive(piece(std::string(2048, 'a')), msgs), 0) << i;
    EXPECT_EQ(info->in_buf->remaining(), 1048576u);
    EXPECT_FALSE(log.contains("overflow"));

    EXPECT_EQ(info->receive(piece("a"), msgs), -2);
    EXPECT_TRUE(msgs.empty());
    ASSERT_EQ(log.matching("recv buffer overflow").size(), 1u);
    EXPECT_NE(log.matching("recv buffer overflow")[0].find("tcp.3           recv buffer overflow 0 1"), std::string::npos);
    // What was held is still there to read.
    EXPECT_EQ(info->in_buf->remaining(), 1048576u);
}

}  // namespace

// The buffer holds only what waits for the rest of its frame: none on an
// idle line, growing piece by piece with a large frame, freed once it is cut.
TEST(LineReceive, HoldsOnlyAnUnfinishedFrame) {
    auto info = connection();
    std::list<std::string> msgs;
    ASSERT_EQ(info->receive(piece(frame("line_pong:1") + frame("call_ret 2 {}")), msgs), 0);
    EXPECT_EQ(msgs, (std::list<std::string>{"line_pong:1", "call_ret 2 {}"}));
    EXPECT_EQ(info->in_buf->m_capacity, 0u);

    std::string big_body = "call_ret 3 ";
    for (int i = 0; big_body.size() < 300000; ++i) big_body += static_cast<char>('a' + i % 26);
    const std::string stream = frame(big_body) + frame("notify channel2 x") + frame("line_pong:2");
    const size_t tail = frame("line_pong:2").size() - 3;  // the last frame comes in two pieces
    msgs.clear();
    size_t fed = 0;
    while (fed < stream.size() - tail) {
        const size_t n = std::min<size_t>(2048, stream.size() - tail - fed);
        ASSERT_EQ(info->receive(piece(stream.substr(fed, n)), msgs), 0) << fed;
        fed += n;
        ASSERT_LE(info->in_buf->remaining(), info->in_buf->m_capacity);
        ASSERT_LE(info->in_buf->m_capacity, 1048576u);
    }
    EXPECT_EQ(msgs, (std::list<std::string>{big_body, "notify channel2 x"}));
    EXPECT_EQ(info->in_buf->remaining(), frame("line_pong:2").size() - tail);
    msgs.clear();
    ASSERT_EQ(info->receive(piece(stream.substr(fed)), msgs), 0);
    EXPECT_EQ(msgs, (std::list<std::string>{"line_pong:2"}));
    EXPECT_EQ(info->in_buf->remaining(), 0u);
    EXPECT_EQ(info->in_buf->m_capacity, 0u);
}

// A piece larger than the buffer's limit is refused whole, as one that does
// not fit beside what is held.
TEST(LineReceive, PieceLargerThanTheLimitIsAnOverflow) {
    nuvra_test::LogCapture log;
    auto info = connection();
    std::list<std::string> msgs;
    EXPECT_EQ(info->receive(piece(frame("line_pong:1") + std::string(1048576, 'a')), msgs), -2);
    EXPECT_TRUE(msgs.empty());
    EXPECT_EQ(log.matching("recv buffer overflow 1048576 1048591").size(), 1u);
}
