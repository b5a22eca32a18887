#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "network.h"
#include "peers/tcp_echo.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"
#include "support/scripted_resolver.h"
#include "support/tcp_attempt.h"

// TCP attempts that fail where a loopback peer cannot make them fail: in name
// resolution (scripted) and in a connect the socket layer refuses at once.

namespace {

// Connects to this loopback port are refused by the socket layer itself, as
// when the local ports are exhausted.
std::atomic<int> g_refused_port{-1};

}  // namespace

extern "C" int connect(int fd, const sockaddr* addr, socklen_t len) {
    using ConnectFn = int (*)(int, const sockaddr*, socklen_t);
    static ConnectFn real = reinterpret_cast<ConnectFn>(dlsym(RTLD_NEXT, "connect"));
    if (addr && addr->sa_family == AF_INET &&
        ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port) == g_refused_port.load()) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    return real(fd, addr, len);
}

namespace {

using nuvra_test::connect_on_loop;
using nuvra_test::LogCapture;
using nuvra_test::run_on_loop;
using nuvra_test::ScriptedName;
using nuvra_test::TcpEcho;
using nuvra_test::wait_on_loop;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Index of the first line containing text, or -1.
int line_of(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

struct AnsweredErrorCase {
    const char* name;
    const char* host;
    int eai_error;  // 0: the name is not scripted at all
    int code;
};

void PrintTo(const AnsweredErrorCase& c, std::ostream* os) { *os << c.name; }

class TcpNameAnsweredWithError : public ::testing::TestWithParam<AnsweredErrorCase> {};

TEST_P(TcpNameAnsweredWithError, FailsOnceWithoutConnecting) {
    const AnsweredErrorCase& c = GetParam();
    LogCapture log;
    TcpEcho echo;
    ScriptedName script("scripted.test", c.eai_error);
    auto a = connect_on_loop(c.host, echo.port(), 3000);
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 3000));
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_FALSE(a->reported_inside_connect);
        EXPECT_EQ(a->code, c.code);
        EXPECT_EQ(a->reason, "");
    });
    EXPECT_EQ(log.matching("[ net  ] on get addr error :").size(), 1u);
    EXPECT_FALSE(log.contains("tcp connect timeout"));
    EXPECT_FALSE(log.contains("connect to"));
    EXPECT_EQ(echo.accepted(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TcpNameAnsweredWithError,
    ::testing::Values(AnsweredErrorCase{"unknown_name", "unknown.test", 0, UV_EAI_NONAME},
                      AnsweredErrorCase{"temporary_failure", "scripted.test", EAI_AGAIN, UV_EAI_AGAIN},
                      AnsweredErrorCase{"resolver_failure", "scripted.test", EAI_FAIL, UV_EAI_FAIL}),
    [](const ::testing::TestParamInfo<AnsweredErrorCase>& i) { return i.param.name; });

TEST(TcpName, ResolutionTimesOutThenTheLateAnswerIsDropped) {
    LogCapture log;
    TcpEcho echo;
    ScriptedName late("late.test", {"127.0.0.1"});
    late.hold();
    auto a = connect_on_loop("late.test", echo.port(), 100);
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 3000));
    run_on_loop([&] {
        EXPECT_EQ(a->code, UV_ETIMEDOUT);
        EXPECT_EQ(a->reason, "");
    });

    late.release();
    ASSERT_TRUE(log.wait_for("[ net  ] Client Closed before getaddrinfo", 3000));
    sleep_ms(50);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
    });
    EXPECT_EQ(echo.accepted(), 0);
    EXPECT_EQ(late.lookups(), 1);
    const auto lines = log.lines();
    const int timeout = line_of(lines, "[ net  ] tcp connect timeout to late.test:" + std::to_string(echo.port()));
    ASSERT_GE(timeout, 0);
    EXPECT_LT(timeout, line_of(lines, "Client Closed before getaddrinfo"));
    EXPECT_FALSE(log.contains("on get addr error"));
}

struct RefusedCase {
    const char* name;
    const char* host;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class TcpConnectRefusedAtOnce : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(TcpConnectRefusedAtOnce, FailsOnceWithTheCodeAndItsName) {
    LogCapture log;
    ScriptedName named("named.test", {"127.0.0.1"});
    TcpEcho echo;
    g_refused_port = echo.port();
    auto a = connect_on_loop(GetParam().host, echo.port(), 3000);
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 3000));
    g_refused_port = -1;
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_FALSE(a->reported_inside_connect);
        EXPECT_EQ(a->code, UV_EADDRNOTAVAIL);
        EXPECT_EQ(a->reason, "EADDRNOTAVAIL");
    });
    EXPECT_EQ(log.matching("[ net  ] on tcp connect failed1 : " + std::to_string(UV_EADDRNOTAVAIL) + " EADDRNOTAVAIL")
                  .size(),
              1u);
    EXPECT_FALSE(log.contains("failed2"));
    EXPECT_FALSE(log.contains("tcp connect timeout"));
    EXPECT_EQ(echo.accepted(), 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, TcpConnectRefusedAtOnce,
                         ::testing::Values(RefusedCase{"literal", "127.0.0.1"}, RefusedCase{"host_name", "named.test"}),
                         [](const ::testing::TestParamInfo<RefusedCase>& i) { return i.param.name; });

}  // namespace
