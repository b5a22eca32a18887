#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "support/log_capture.h"

namespace {

// Ids of the lines currently kept, oldest first.
std::vector<uint32_t> kept_ids() {
    int count = 0;
    std::string all = LogGetAll(count);
    std::vector<uint32_t> ids;
    size_t pos = 0;
    while (pos < all.size()) {
        ids.push_back(static_cast<uint32_t>(std::stoul(all.substr(pos))));
        pos = all.find('\n', pos) + 1;
    }
    return ids;
}

void empty_ring() { LogClear(0x7FFFFFFF); }

TEST(Log, LevelsDecideSinkAndRing) {
    struct Case {
        LogLevel level;
        bool reaches_sink;
        bool kept;
    };
    const Case cases[] = {
        {kLogTrace, false, false}, {kLogDebug, true, false}, {kLogInfo, true, true},
        {kLogWarning, true, true}, {kLogError, true, true},  {kLogAssert, true, true},
    };
    for (const Case& c : cases) {
        nuvra_test::LogCapture cap;
        empty_ring();
        PlatLog2(c.level, kLogPlatform, "line at %d", static_cast<int>(c.level));
        std::string text = "line at " + std::to_string(c.level);
        EXPECT_EQ(cap.contains(text), c.reaches_sink) << c.level;
        int count = -7;
        std::string all = LogGetAll(count);
        EXPECT_EQ(all.find(text) != std::string::npos, c.kept) << c.level;
        if (!c.kept) {
            EXPECT_EQ(count, -7);
        }
    }
}

// When nobody would see the lines that are not kept, they are dropped before
// formatting; kept lines are formatted, offered and kept all the same.
TEST(Log, UnseenLinesThatAreNotKeptAreDropped) {
    static std::atomic<bool> seen{true};
    const LogSeen before = SetLogDebugSeen2([] { return seen.load(); });
    for (bool s : {false, true}) {
        seen = s;
        nuvra_test::LogCapture cap;
        empty_ring();
        PlatLog2(kLogDebug, kLogPlatform, "debug line %d", 1);
        PlatLog2(kLogInfo, kLogPlatform, "info line %d", 2);
        EXPECT_EQ(cap.contains("debug line 1"), s);
        EXPECT_TRUE(cap.contains("info line 2"));
        int count = 0;
        EXPECT_NE(LogGetAll(count).find("info line 2"), std::string::npos);
    }
    SetLogDebugSeen2(before);
}

TEST(Log, LongLinesAreCutAt510Characters) {
    nuvra_test::LogCapture cap;
    for (size_t len : {509u, 510u, 511u, 600u}) {
        cap.clear();
        std::string text(len, 'x');
        PlatLog2(kLogInfo, kLogPlatform, "%s", text.c_str());
        ASSERT_EQ(cap.lines().size(), 1u);
        EXPECT_EQ(cap.lines()[0].size(), std::min<size_t>(len, 510)) << len;
    }
}

TEST(Log, GetAllWritesIdBlankTextNewline) {
    nuvra_test::LogCapture cap;
    empty_ring();
    PlatLog2(kLogInfo, kLogPlatform, "a");
    PlatLog2(kLogInfo, kLogPlatform, "b");
    int count = 0;
    std::string all = LogGetAll(count);
    uint32_t first = kept_ids().at(0);
    EXPECT_EQ(all, std::to_string(first) + " a\n" + std::to_string(first + 1) + " b\n");
    EXPECT_EQ(count, static_cast<int>(first + 1));
}

TEST(Log, RingKeepsTheLast1000LinesAndIdsNeverRepeat) {
    nuvra_test::LogCapture cap;
    empty_ring();
    PlatLog2(kLogInfo, kLogPlatform, "first");
    uint32_t first = kept_ids().at(0);
    for (int i = 0; i < 1000; ++i) PlatLog2(kLogInfo, kLogPlatform, "n%d", i);
    std::vector<uint32_t> ids = kept_ids();
    ASSERT_EQ(ids.size(), 1000u);
    EXPECT_EQ(ids.front(), first + 1);
    EXPECT_EQ(ids.back(), first + 1000);
}

TEST(Log, ClearDropsOnlyIdsBelowCount) {
    nuvra_test::LogCapture cap;
    empty_ring();
    for (int i = 0; i < 3; ++i) PlatLog2(kLogInfo, kLogPlatform, "c%d", i);
    std::vector<uint32_t> ids = kept_ids();
    LogClear(static_cast<int>(ids[0]));
    EXPECT_EQ(kept_ids().size(), 3u);
    LogClear(static_cast<int>(ids[2]));
    EXPECT_EQ(kept_ids(), std::vector<uint32_t>{ids[2]});
    LogClear(static_cast<int>(ids[2] + 1));
    EXPECT_TRUE(kept_ids().empty());
    int count = 5;
    EXPECT_EQ(LogGetAll(count), "");
    EXPECT_EQ(count, 5);
}

TEST(Log, DeclinedLinesGoToStandardOutput) {
    SetLogSink2([](const char*) { return false; });
    testing::internal::CaptureStdout();
    PlatLog2(kLogDebug, kLogPlatform, "to stdout %d", 1);
    std::string out = testing::internal::GetCapturedStdout();
    SetLogSink2(nullptr);
    EXPECT_EQ(out, "to stdout 1\n");

    nuvra_test::LogCapture cap;
    testing::internal::CaptureStdout();
    PlatLog2(kLogInfo, kLogPlatform, "taken");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Lines that nobody takes reach standard output from whichever thread logs;
// each must come out whole, with its own newline.
TEST(Log, PrintedLinesFromManyThreadsStayWhole) {
    SetLogSink2(nullptr);
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i) expected.push_back("printed " + std::to_string(t) + "-" + std::to_string(i));
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) PlatLog2(kLogDebug, kLogPlatform, "printed %d-%d", t, i);
        });
    for (auto& th : threads) th.join();
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> printed;
    for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1)
        printed.push_back(out.substr(pos, nl - pos));
    std::sort(printed.begin(), printed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(printed, expected);
}

TEST(Log, AssertHelperWritesTwoLinesOnlyWhenFalse) {
    nuvra_test::LogCapture cap;
    PlatAssertHelper2(true, "f.cpp", "fn", "nothing %d", 1);
    EXPECT_TRUE(cap.lines().empty());
    PlatAssertHelper2(false, "f.cpp", "fn", "broken %d", 7);
    EXPECT_EQ(cap.lines(), (std::vector<std::string>{"LibAssert : [f.cpp] [fn], info: ", "broken 7"}));
}

// A sink that logs again must not deadlock: the ring's lock is never held
// while the sink runs.
std::atomic<int> g_reentered{0};
bool reentrant_sink(const char* text) {
    if (std::string(text) == "outer") {
        ++g_reentered;
        PlatLog2(kLogInfo, kLogPlatform, "inner");
    }
    return true;
}

TEST(Log, SinkMayLogAgain) {
    empty_ring();
    SetLogSink2(reentrant_sink);
    PlatLog2(kLogInfo, kLogPlatform, "outer");
    SetLogSink2(nullptr);
    EXPECT_EQ(g_reentered.load(), 1);
    int count = 0;
    std::string all = LogGetAll(count);
    EXPECT_NE(all.find(" inner\n"), std::string::npos);
    EXPECT_NE(all.find(" outer\n"), std::string::npos);
}

TEST(Log, ThreadsLoggingAtOnceGetContiguousIds) {
    nuvra_test::LogCapture cap;
    empty_ring();
    constexpr int kThreads = 8, kLines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) PlatLog2(kLogInfo, kLogPlatform, "t%d-%d", t, i);
        });
    for (auto& th : threads) th.join();
    std::vector<uint32_t> ids = kept_ids();
    ASSERT_EQ(ids.size(), static_cast<size_t>(kThreads * kLines));
    for (size_t i = 1; i < ids.size(); ++i) ASSERT_EQ(ids[i], ids[i - 1] + 1);
    EXPECT_EQ(cap.lines().size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
