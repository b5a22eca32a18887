#include <gtest/gtest.h>

#include "network.h"
#include "zlib_helpers.h"

TEST(ByteBufferSmoke, RoundTrip) {
    auto b = std::make_shared<mynet::_ByteBuffer>(8);
    b->putInt(0x01020304);
    b->flip();
    EXPECT_EQ(b->getUInt32(), 0x01020304u);
    EXPECT_EQ(zlib_uncompress(zlib_compress("abc"), 2048), "abc");
}
