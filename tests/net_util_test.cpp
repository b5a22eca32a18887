#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/un.h>
#include <uv.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "network.h"
#include "support/log_capture.h"

namespace {

struct LiteralCase {
    std::string text;
    bool ip;
    bool ip6;
};

void PrintTo(const LiteralCase& c, std::ostream* os) {
    *os << '"' << c.text.c_str() << '"' << (c.text.find('\0') != std::string::npos ? " with NUL" : "");
}

class IpLiteral : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(IpLiteral, IsRecognised) {
    const LiteralCase& c = GetParam();
    EXPECT_EQ(mynet::isIP(c.text), c.ip);
    EXPECT_EQ(mynet::isIP6(c.text), c.ip6);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IpLiteral,
    ::testing::Values(LiteralCase{"1.2.3.4", true, false}, LiteralCase{"255.255.255.255", true, false},
                      LiteralCase{"1.2.3", false, false}, LiteralCase{"1.2.3.4.5", false, false},
                      LiteralCase{"256.1.1.1", false, false}, LiteralCase{"1.2.3.4 ", false, false},
                      LiteralCase{"::ffff:1.2.3.4", true, true}, LiteralCase{"::1", true, true},
                      LiteralCase{"2001:db8::1", true, true}, LiteralCase{"2001:db8:::1", false, false},
                      LiteralCase{"", false, false}, LiteralCase{"localhost", false, false},
                      // A text with a NUL is not its first part.
                      LiteralCase{std::string("1.2.3.4\0x", 9), false, false},
                      LiteralCase{std::string("::1\0x", 5), false, false}));

TEST(ParseIp, FillsTheAddressOfEitherFamily) {
    mynet::Addr_IN a;
    ASSERT_EQ(mynet::parse_ip("192.0.2.7", 8180, "t", &a), 0);
    EXPECT_EQ(a.v4.sin_family, AF_INET);
    EXPECT_EQ(ntohs(a.v4.sin_port), 8180);
    EXPECT_EQ(a.v4.sin_addr.s_addr, inet_addr("192.0.2.7"));

    ASSERT_EQ(mynet::parse_ip("2001:db8::5", 8000, "t", &a), 0);
    EXPECT_EQ(a.v6.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(a.v6.sin6_port), 8000);
    in6_addr expected;
    inet_pton(AF_INET6, "2001:db8::5", &expected);
    EXPECT_EQ(memcmp(&a.v6.sin6_addr, &expected, sizeof(expected)), 0);
}

TEST(ParseIp, RefusesANameWithItsTag) {
    nuvra_test::LogCapture log;
    mynet::Addr_IN a;
    EXPECT_EQ(mynet::parse_ip("example.invalid", 1, "my tag", &a), -1);
    EXPECT_EQ(log.matching(" : [ net  ] my tag wrong addr : example.invalid").size(), 1u);
}

struct Nat64Case {
    const char* ip;
    const char* prefix;
    const char* expected;
};

void PrintTo(const Nat64Case& c, std::ostream* os) { *os << c.prefix << " + " << c.ip; }

class Nat64 : public ::testing::TestWithParam<Nat64Case> {};

TEST_P(Nat64, PrefixesAllButIpv6) {
    EXPECT_EQ(mynet::nat64_addr(GetParam().ip, GetParam().prefix), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Nat64,
                         ::testing::Values(Nat64Case{"2001:db8::1", "64:ff9b::", "2001:db8::1"},
                                           Nat64Case{"192.0.2.1", "64:ff9b::", "64:ff9b::192.0.2.1"},
                                           Nat64Case{"192.0.2.1", "", "192.0.2.1"},
                                           // Plain concatenation for anything that is not IPv6.
                                           Nat64Case{"host.name", "p", "phost.name"}));

TEST(Hexlify, EveryByteAsTwoUpperCaseDigits) {
    std::string all;
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
        char two[3];
        snprintf(two, sizeof(two), "%02X", b);
        expected += two;
        EXPECT_EQ(mynet::hex_b(static_cast<unsigned char>(b)), two);
    }
    EXPECT_EQ(mynet::hexlify(all), expected);
    EXPECT_EQ(mynet::hexlify(std::string("\x00\xAB\x7F", 3)), "00AB7F");
    EXPECT_EQ(mynet::hexlify(""), "");
}

TEST(UvErrorText, KnownCodesMatchLibuv) {
#define NUVRA_CHECK_CODE(name, _)                                            \
    EXPECT_STREQ(mynet::uv_err_name_all(UV_##name), uv_err_name(UV_##name)); \
    EXPECT_STREQ(mynet::uv_strerror_all(UV_##name), uv_strerror(UV_##name));
    UV_ERRNO_MAP(NUVRA_CHECK_CODE)
#undef NUVRA_CHECK_CODE
    EXPECT_STREQ(mynet::uv_err_name_all(UV_EINVAL), "EINVAL");
    EXPECT_STREQ(mynet::uv_strerror_all(UV_EOF), "end of file");
}

class UvUnknownCode : public ::testing::TestWithParam<int> {};

// libuv would hand out a fresh allocation for each of these.
TEST_P(UvUnknownCode, GivesTheFixedText) {
    EXPECT_STREQ(mynet::uv_err_name_all(GetParam()), "unknown error");
    EXPECT_STREQ(mynet::uv_strerror_all(GetParam()), "unknown error");
}

INSTANTIATE_TEST_SUITE_P(Table, UvUnknownCode, ::testing::Values(0, 1, 12345, -99999, INT_MIN, INT_MAX));

TEST(InetSocketAddress, TextAndPortOfEitherFamily) {
    sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(8181);
    inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
    mynet::InetSocketAddress a(reinterpret_cast<const sockaddr*>(&v4));
    EXPECT_EQ(a.getHostString(), "127.0.0.1");
    EXPECT_EQ(a.getPort(), 8181);

    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(65535);
    inet_pton(AF_INET6, "2001:db8::42", &v6.sin6_addr);
    mynet::InetSocketAddress b(reinterpret_cast<const sockaddr*>(&v6));
    EXPECT_EQ(b.getHostString(), "2001:db8::42");
    EXPECT_EQ(b.getPort(), 65535);

    sockaddr_un un = {};
    un.sun_family = AF_UNIX;
    mynet::InetSocketAddress c(reinterpret_cast<const sockaddr*>(&un));
    EXPECT_EQ(c.getHostString(), "");
    EXPECT_EQ(c.getPort(), 0);
    mynet::InetSocketAddress d(nullptr);
    EXPECT_EQ(d.getHostString(), "");
}

TEST(FatalErrorLine, NamesTheFileLineCodeAndText) {
    nuvra_test::LogCapture log;
    mynet::log_uv_fatal("/some/dir/udp.cpp", 42, UV_EINVAL);
    mynet::log_uv_fatal("tcp.cpp", 7, UV_EBADF);
    std::vector<std::string> tails;
    for (const std::string& l : log.lines()) tails.push_back(l.substr(l.find(" : ") + 3));
    EXPECT_EQ(tails, (std::vector<std::string>{"fatal error: udp.cpp 42 ret=-22 invalid argument\n",
                                               "fatal error: tcp.cpp 7 ret=-9 bad file descriptor\n"}));
}

TEST(GetRandint, SeedsOnlyOnce) {
    mynet::get_randint();
    EXPECT_TRUE(mynet::rand_is_init);
    srand(42);
    const int expected = rand();
    srand(42);
    EXPECT_EQ(mynet::get_randint(), static_cast<uint32_t>(expected));
}

}  // namespace
