// The local service's frame reader over bytes, without a socket: what a
// client may send it, including what it must survive.

#include <gtest/gtest.h>

#include "peers/line_server.h"
#include "wire.h"

namespace {

using nuvra_test::batch_frame;
using nuvra_test::line_frame;
using nuvra_test::line_frame_with_length;
using nuvra_test::text_frame;

struct ReaderCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> texts;
    bool failed;
};

std::string nested_batches(int depth) {
    std::string frame = text_frame(0x80, "deep");
    for (int i = 0; i < depth; ++i) frame = line_frame(0x82, frame);
    return frame;
}

TEST(LocalServiceFrameReader, CutsWhatClientsSend) {
    std::string big(3u << 20, 'x');
    for (const auto& rc : std::vector<ReaderCase>{
             {"plain and deflated", text_frame(0x80, "a b") + text_frame(0x81, "c"), {"a b", "c"}, false},
             {"flags 0", line_frame(0x00, "zero"), {"zero"}, false},
             {"batch", batch_frame(0x83, {text_frame(0x80, "1"), text_frame(0x81, "2")}), {"1", "2"}, false},
             {"batch cut short keeps the whole frames",
              batch_frame(0x82, {text_frame(0x80, "1"), text_frame(0x80, "2")}, 1) + text_frame(0x80, "after"),
              {"1", "after"},
              false},
             {"body that does not inflate", line_frame(0x81, "nope"), {""}, false},
             {"nesting a client would use", nested_batches(3), {"deep"}, false},
             {"nesting beyond any use is dropped", nested_batches(5000), {}, false},
             {"half a frame waits", text_frame(0x80, "whole") + text_frame(0x80, "half").substr(0, 6), {"whole"}, false},
             {"length below the header", line_frame_with_length(0x80, 3, "") + text_frame(0x80, "x"), {}, true},
             {"deflated text too large", line_frame(0x81, nuvra_test::deflate_bytes(big + big)), {""}, false},
         }) {
        local_service::FrameReader reader;
        EXPECT_EQ(reader.feed(rc.bytes), rc.texts) << rc.name;
        EXPECT_EQ(reader.failed(), rc.failed) << rc.name;
    }
}

TEST(LocalServiceFrameReader, StaysFailedAndFollowsTheClientsCompression) {
    local_service::FrameReader reader;
    std::string frame = text_frame(0x81, "line_ping:1");
    EXPECT_TRUE(reader.feed(frame.substr(0, 5)).empty());
    EXPECT_EQ(reader.feed(frame.substr(5)), std::vector<std::string>{"line_ping:1"});
    EXPECT_TRUE(reader.last_compressed());
    reader.feed(text_frame(0x80, "plain"));
    EXPECT_FALSE(reader.last_compressed());
    reader.feed(line_frame_with_length(0x80, 1, ""));
    EXPECT_TRUE(reader.failed());
    EXPECT_TRUE(reader.feed(text_frame(0x80, "later")).empty());
}

}  // namespace
