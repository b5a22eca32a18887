#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msg_id_buf.h"
#include "msg_wait_clear.h"
#include "support/log_capture.h"

namespace {

using nuvra_test::LogCapture;

constexpr int kLife = 120000;

TEST(MsgIDBuf, AnIdStaysKnownForTheCacheTimeAfterItsLatestArrival) {
    LogCapture log;
    MsgIDBuf buf;
    EXPECT_FALSE(buf.dup_or_add("m1", 1000));
    EXPECT_TRUE(buf.dup_or_add("m1", 2000));
    EXPECT_TRUE(buf.dup_or_add("m1", 3000));
    EXPECT_EQ(buf.size(), 1u) << "one entry per id";
    buf.tick(3000 + kLife - 1, kLife);
    EXPECT_TRUE(buf.known("m1"));
    buf.tick(3000 + kLife, kLife);
    EXPECT_FALSE(buf.known("m1"));
    EXPECT_EQ(buf.size(), 0u);
    ASSERT_EQ(log.matching("del msgid").size(), 1u);
    EXPECT_NE(log.matching("del msgid")[0].find(" : del msgid m1"), std::string::npos);
    EXPECT_FALSE(buf.dup_or_add("m1", 3000 + kLife)) << "forgotten ids are new again";
}

TEST(MsgIDBuf, ExpiryTakesTheFrontInOrderOfLatestArrival) {
    LogCapture log;
    MsgIDBuf buf;
    buf.dup_or_add("a", 1);
    buf.dup_or_add("b", 10);
    buf.dup_or_add("c", 20);
    buf.dup_or_add("a", 30);  // a is now the youngest
    buf.tick(10 + 100, 100);
    EXPECT_FALSE(buf.known("b"));
    EXPECT_TRUE(buf.known("c"));
    EXPECT_TRUE(buf.known("a"));
    buf.tick(20 + 100, 100);
    EXPECT_FALSE(buf.known("c"));
    EXPECT_TRUE(buf.known("a"));
    EXPECT_EQ(log.matching("del msgid").size(), 2u);
}

TEST(MsgIDBuf, CacheTimeZeroDropsAllAndNegativeKeepsAll) {
    LogCapture log;
    MsgIDBuf buf;
    buf.dup_or_add("a", 500);
    buf.dup_or_add("b", 500);
    buf.tick(500, -1);
    buf.tick(UINT64_MAX, -5);
    EXPECT_EQ(buf.size(), 2u);
    buf.tick(500, 0);
    EXPECT_EQ(buf.size(), 0u);
}

TEST(MsgIDBuf, EmptyIdIsNeverKnownNorRecorded) {
    MsgIDBuf buf;
    EXPECT_FALSE(buf.dup_or_add("", 1));
    EXPECT_FALSE(buf.dup_or_add("", 2));
    EXPECT_EQ(buf.size(), 0u);
}

TEST(MsgIDBuf, PastTheBoundTheOldestIdIsForgotten) {
    LogCapture log;
    MsgIDBuf buf;
    buf.max_ids = 3;
    for (const char* id : {"a", "b", "c"}) buf.dup_or_add(id, 1);
    buf.dup_or_add("a", 2);  // a becomes the youngest; b is the oldest now
    EXPECT_FALSE(buf.dup_or_add("d", 3));
    EXPECT_EQ(buf.size(), 3u);
    EXPECT_FALSE(buf.known("b"));
    for (const char* id : {"a", "c", "d"}) EXPECT_TRUE(buf.known(id)) << id;
    EXPECT_TRUE(log.contains("msgid cache full, drop b"));
}

TEST(MsgIDBuf, TheDefaultBoundHoldsAgainstAFlood) {
    LogCapture log;
    MsgIDBuf buf;
    for (int i = 0; i < int(MsgIDBuf::kMaxIds) + 10; ++i) buf.dup_or_add("id" + std::to_string(i), 1);
    EXPECT_EQ(buf.size(), MsgIDBuf::kMaxIds);
    EXPECT_FALSE(buf.known("id9"));
    EXPECT_TRUE(buf.known("id10"));
}

// The bytes held follow every way an id comes and goes.
TEST(MsgIDBuf, PastTheByteBoundTheOldestIdsAreForgotten) {
    LogCapture log;
    MsgIDBuf buf;
    buf.max_bytes = 10;
    buf.dup_or_add("aaaa", 1);
    buf.dup_or_add("bbbb", 2);
    buf.dup_or_add("cc", 3);
    buf.dup_or_add("aaaa", 4);  // a repeat: aaaa becomes the youngest, nothing grows
    EXPECT_EQ(buf.bytes(), 10u);
    EXPECT_FALSE(buf.dup_or_add("ddd", 5));
    EXPECT_FALSE(buf.known("bbbb"));
    EXPECT_TRUE(buf.known("cc") && buf.known("aaaa") && buf.known("ddd"));
    EXPECT_EQ(buf.bytes(), 9u);
    EXPECT_TRUE(log.contains("msgid cache full, drop bbbb"));
    buf.tick(3 + kLife, kLife);
    EXPECT_EQ(buf.bytes(), 7u) << "expiry gives the bytes back";
    EXPECT_FALSE(buf.dup_or_add(std::string(11, 'x'), 6));
    EXPECT_EQ(buf.size(), 1u) << "an id over the whole bound is held alone";
    EXPECT_FALSE(buf.dup_or_add("e", 7));
    EXPECT_EQ(buf.size(), 1u);
    EXPECT_EQ(buf.bytes(), 1u);
}

TEST(MsgWaitClear, PastTheByteBoundTheIdsNotedFirstAreDropped) {
    LogCapture log;
    MsgWaitClear w;
    w.max_bytes = 10;
    w.add("aaaa");
    w.add("bbbb");
    w.add("cc");
    w.add("aaaa");  // already noted
    EXPECT_EQ(w.bytes(), 10u);
    w.add("ddd");
    EXPECT_EQ(w.ids(), (std::vector<std::string>{"bbbb", "cc", "ddd"}));
    EXPECT_EQ(w.bytes(), 9u);
    EXPECT_TRUE(log.contains("msgid clear list full, drop aaaa"));
    w.erase({"bbbb", "zz"});
    EXPECT_EQ(w.bytes(), 5u) << "erasing gives the bytes back";
    w.add(std::string(11, 'x'));
    EXPECT_EQ(w.ids(), std::vector<std::string>{std::string(11, 'x')}) << "an id over the whole bound is noted alone";
    w.add("e");
    EXPECT_EQ(w.ids(), std::vector<std::string>{"e"});
    EXPECT_EQ(w.bytes(), 1u);
}

TEST(MsgWaitClear, IdsComeInByteOrderAndOnlyTheGivenOnesAreErased) {
    MsgWaitClear w;
    for (const char* id : {"b", "a", "ab", "B", "\xc3\xa9", "a"}) w.add(id);
    w.add("");
    EXPECT_EQ(w.ids(), (std::vector<std::string>{"B", "a", "ab", "b", "\xc3\xa9"}));
    w.erase({"a", "zz", "b"});
    EXPECT_EQ(w.ids(), (std::vector<std::string>{"B", "ab", "\xc3\xa9"}));
    EXPECT_FALSE(w.contains(""));
}

TEST(MsgWaitClear, PastTheBoundTheIdNotedFirstIsDropped) {
    LogCapture log;
    MsgWaitClear w;
    w.max_ids = 2;
    w.add("z");
    w.add("a");
    w.add("z");  // already noted: keeps its place
    w.add("m");
    EXPECT_EQ(w.ids(), (std::vector<std::string>{"a", "m"}));
    EXPECT_TRUE(log.contains("msgid clear list full, drop z"));
    w.erase({"a"});
    w.add("q");
    EXPECT_EQ(w.ids(), (std::vector<std::string>{"m", "q"}));
}

}  // namespace
