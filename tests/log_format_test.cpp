#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/types.h>

#include "log_format.h"

namespace {

struct Formatted {
    std::string text;
    int result;
};

// Both formatters into buffers of the same size, poisoned past the text so
// that a missing terminator or a write past the room shows.
Formatted ours(size_t size, const char* format, ...) {
    char buf[1100];
    memset(buf, 'Z', sizeof buf);
    va_list args;
    va_start(args, format);
    const int n = log_format(buf, size, format, args);
    va_end(args);
    EXPECT_EQ(buf[size], 'Z') << format;
    return Formatted{std::string(buf), n};
}

Formatted libc(size_t size, const char* format, ...) {
    char buf[1100];
    memset(buf, 'Z', sizeof buf);
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf, size, format, args);
    va_end(args);
    return Formatted{std::string(buf), n};
}

#define EXPECT_SAME(size, ...)                                        \
    do {                                                              \
        const Formatted got_ = ours(size, __VA_ARGS__);               \
        const Formatted want_ = libc(size, __VA_ARGS__);              \
        EXPECT_EQ(got_.text, want_.text) << #__VA_ARGS__;             \
        EXPECT_EQ(got_.result, want_.result) << #__VA_ARGS__;         \
    } while (0)

// The conversions the log lines use, with the edges of their values.
TEST(LogFormat, WritesWhatTheCLibraryWrites) {
    const unsigned long long big = ULLONG_MAX;
    EXPECT_SAME(511, "%llu : %-15s send : [%u %u] %.100s", big, "line1", 0u, UINT_MAX, "call m 1 0 {}");
    EXPECT_SAME(511, "%llu : call_api %d %d %s %d", 1700000000123ull, 0, INT_MIN, "bench_call", -1);
    EXPECT_SAME(511, "%d %i %d", INT_MAX, -7, 0);
    EXPECT_SAME(511, "%lld %lld %ld %lu", LLONG_MIN, LLONG_MAX, LONG_MIN, ULONG_MAX);
    EXPECT_SAME(511, "%hhd %hhu %hd %hu", 200, 300, 70000, 70000);
    EXPECT_SAME(511, "%zu %zd %jd %ju %td", SIZE_MAX, static_cast<ssize_t>(-3), INTMAX_MIN, UINTMAX_MAX,
                static_cast<ptrdiff_t>(-9));
    EXPECT_SAME(511, "%x %X %08x %-6X| %lx", 0xbeefu, 0xbeefu, 0x1fu, 0xau, 0xdeadbeefcafeUL);
    EXPECT_SAME(511, "[%5d] [%-5d] [%05d] [%-05d] [%05d] [%2d]", 42, 42, 42, 42, -42, 12345);
    EXPECT_SAME(511, "[%*d] [%*d] [%-*u]", 6, 1, -6, 2, 4, 3u);
    EXPECT_SAME(511, "[%15s] [%-15s] [%.3s] [%8.2s] [%-8.2s] [%.0s]", "ab", "ab", "abcdef", "abcdef", "abcdef", "x");
    EXPECT_SAME(511, "[%.*s] [%.*s] [%*s]", 4, "abcdef", -1, "abcdef", -5, "ab");
    EXPECT_SAME(511, "[%c] [%3c] [%-3c] [%c]", 'a', 'b', 'c', 0x1ff);
    EXPECT_SAME(511, "100%% [%s] [%.5s] [%.6s] [%10s]", static_cast<const char*>(nullptr),
                static_cast<const char*>(nullptr), static_cast<const char*>(nullptr),
                static_cast<const char*>(nullptr));
    EXPECT_SAME(511, "%s", "");
    EXPECT_SAME(511, "no conversions at all");
    EXPECT_SAME(511, "%s\n", "a line that ends in a newline");
}

// What this formatter leaves to the C library still comes out the same.
TEST(LogFormat, OtherConversionsGoToTheCLibrary) {
    EXPECT_SAME(511, "%p %d", reinterpret_cast<void*>(0x1234), 5);
    EXPECT_SAME(511, "%.3f %e %g", 3.14159, 2.5e10, 0.0001);
    EXPECT_SAME(511, "%+d % d %#x %#o %o", 5, 5, 255u, 8u, 8u);
    EXPECT_SAME(511, "%.3d %.0d %05s", 7, 0, "ab");
    EXPECT_SAME(511, "%ls", L"wide");
    EXPECT_SAME(511, "%1234567d", 1);
    EXPECT_SAME(511, "trailing %");
}

// A line longer than the room is cut, terminated, and still counts in full.
TEST(LogFormat, CutsAtTheRoom) {
    const std::string long_text(600, 'x');
    for (size_t size : {size_t(1), size_t(2), size_t(11), size_t(511), size_t(1024)}) {
        SCOPED_TRACE(size);
        EXPECT_SAME(size, "%llu : %-15s %s", 1234567890123ull, "tag", long_text.c_str());
        EXPECT_SAME(size, "%600d|", 1);
        EXPECT_SAME(size, "%-600s|", "left");
        EXPECT_SAME(size, "%s%s", long_text.c_str(), long_text.c_str());
    }
    EXPECT_EQ(ours(511, "%s", long_text.c_str()).text.size(), 510u);
}

// Random texts through the conversions the log lines use, against the C library.
TEST(LogFormat, RandomLinesMatch) {
    std::mt19937_64 rng(15);
    const char* const formats[] = {
        "%llu : %-15s recv : [%llu, %llu] %.*s", "%d|%u|%s|%x|%-7d|%07d|%c", "%s %.100s %lld %zu", "%5s%-5s%*d%%",
    };
    for (int i = 0; i < 2000; ++i) {
        std::string text;
        const size_t n = rng() % 300;
        for (size_t k = 0; k < n; ++k) text += static_cast<char>(1 + rng() % 255);
        const size_t size = 1 + rng() % 520;
        const int a = static_cast<int>(rng());
        const unsigned long long b = rng();
        switch (i % 4) {
        case 0: EXPECT_SAME(size, formats[0], b, text.c_str(), b >> 7, b >> 40, a % 200, text.c_str()); break;
        case 1: EXPECT_SAME(size, formats[1], a, static_cast<unsigned>(a), text.c_str(), a, a % 1000, a % 1000, a); break;
        case 2: EXPECT_SAME(size, formats[2], text.c_str(), text.c_str(), static_cast<long long>(b), b); break;
        default: EXPECT_SAME(size, formats[3], text.c_str(), text.c_str(), a % 40, a); break;
        }
    }
}

}  // namespace
