#include <gtest/gtest.h>
#include <uv.h>

#include <chrono>
#include <list>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "network.h"
#include "support/log_capture.h"
#include "support/loop_handles.h"
#include "support/loop_thread.h"
#include "support/scripted_resolver.h"

using nuvra_test::ScriptedName;

namespace {

struct Result {
    int code;
    std::string error;
    std::list<std::string> addresses;
};

// Owned by the network thread; read through run_on_loop.
struct Calls {
    std::vector<Result> results;

    mynet::OnResolveResult recorder() {
        return [this](int code, std::string error, std::list<std::string>& addresses) {
            results.push_back(Result{code, error, addresses});
        };
    }
};

size_t count_on_loop(const Calls& calls) {
    size_t n = 0;
    nuvra_test::run_on_loop([&] { n = calls.results.size(); });
    return n;
}

// Waits until a delay of ms, started now on the network thread, has run out:
// every time-out armed before with at most ms has fired by then.
void let_timers_pass(int ms) {
    bool fired = false;
    nuvra_test::run_on_loop([&] { mynet::do_later(ms, [&] { fired = true; }); });
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return fired; }, 2000));
}

// Long enough for a warm resolver to answer on a loaded machine, short
// enough to be waited out.
constexpr int kAnswerTimeoutMs = 250;

// The first lookup of a process loads the resolver's modules, which can take
// longer than kAnswerTimeoutMs under the sanitizers.
void warm_up_resolver() {
    static bool done = false;
    if (done) return;
    nuvra_test::LogCapture log;
    auto answered = std::make_shared<bool>(false);
    nuvra_test::run_on_loop([&] {
        mynet::resolve_hostname(
            "localhost", [answered](int, std::string, std::list<std::string>&) { *answered = true; }, 10000);
    });
    nuvra_test::wait_on_loop([&] { return *answered; }, 10000);
    done = true;
}

TEST(ResolveHostname, EmptyHostIsRefusedWithoutCall) {
    nuvra_test::LogCapture log;
    Calls calls;
    int ret = 0;
    nuvra_test::run_on_loop([&] { ret = mynet::resolve_hostname("", calls.recorder(), 10); });
    EXPECT_EQ(ret, -1);
    let_timers_pass(20);
    EXPECT_EQ(count_on_loop(calls), 0u);
}

struct AnsweredCase {
    const char* host;
    int code;
    const char* error;
    std::list<std::string> addresses;
};

void PrintTo(const AnsweredCase& c, std::ostream* os) { *os << c.host; }

class ResolveAnswered : public ::testing::TestWithParam<AnsweredCase> {
protected:
    static void SetUpTestSuite() { warm_up_resolver(); }
    // The resolver's order is kept, IPv6 first here.
    ScriptedName both{"both.test", {"::1", "127.0.0.1"}};
};

TEST_P(ResolveAnswered, CallsOnceAndTheTimeOutStaysSilent) {
    const AnsweredCase& c = GetParam();
    nuvra_test::LogCapture log;
    Calls calls;
    int ret = -100;
    nuvra_test::run_on_loop([&] { ret = mynet::resolve_hostname(c.host, calls.recorder(), kAnswerTimeoutMs); });
    EXPECT_EQ(ret, 0);
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !calls.results.empty(); }, 2000));
    let_timers_pass(kAnswerTimeoutMs);

    nuvra_test::run_on_loop([&] {
        ASSERT_EQ(calls.results.size(), 1u);
        EXPECT_EQ(calls.results[0].code, c.code);
        EXPECT_EQ(calls.results[0].error, c.error);
        EXPECT_EQ(calls.results[0].addresses, c.addresses);
    });
    EXPECT_TRUE(log.contains(std::string("[ net  ] resolve_hostname : \"") + c.host + "\" "));
    EXPECT_TRUE(
        log.contains("[ net  ] uv_on_getaddrinfo_done2 status: " + std::string(c.host) + " " + std::to_string(c.code)));
    EXPECT_FALSE(log.contains("timeout"));
}

INSTANTIATE_TEST_SUITE_P(Table, ResolveAnswered,
                         ::testing::Values(AnsweredCase{"localhost", 0, "", {"127.0.0.1"}},
                                           AnsweredCase{"both.test", 0, "", {"::1", "127.0.0.1"}},
                                           AnsweredCase{"unknown.test", UV_EAI_NONAME, "unknown node or service", {}}));

TEST(ResolveHostname, ImmediateFailureCallsBeforeReturningAndOnlyOnce) {
    nuvra_test::LogCapture log;
    Calls calls;
    const std::string host(300, 'a');
    int ret = 0;
    size_t calls_at_return = 0;
    nuvra_test::run_on_loop([&] {
        ret = mynet::resolve_hostname(host, calls.recorder(), 20);
        calls_at_return = calls.results.size();
    });
    ASSERT_LT(ret, 0);
    EXPECT_EQ(calls_at_return, 1u);
    let_timers_pass(40);

    nuvra_test::run_on_loop([&] {
        ASSERT_EQ(calls.results.size(), 1u);
        EXPECT_EQ(calls.results[0].code, ret);
        EXPECT_STREQ(calls.results[0].error.c_str(), mynet::uv_err_name_all(ret));
        EXPECT_NE(calls.results[0].error, "unknown error");
        EXPECT_TRUE(calls.results[0].addresses.empty());
    });
    EXPECT_TRUE(log.contains("[ net  ] getaddrinfo error: " + host + " " + std::to_string(ret) + " " +
                             mynet::uv_err_name_all(ret) + " "));
    EXPECT_FALSE(log.contains("getaddrinfo timeout"));
}

// A resolution that has its answer (addresses, a refusal, a failure before
// libuv takes it) stops its time-out at once: no timer of it stays on the loop.
TEST(ResolveHostname, AnswerStopsTheTimeOut) {
    warm_up_resolver();
    const std::string too_long(300, 'a');
    for (const std::string& host : {std::string("localhost"), std::string("unknown.test"), too_long}) {
        SCOPED_TRACE(host.substr(0, 20));
        nuvra_test::LogCapture log;
        Calls calls;
        const std::set<const void*> before = nuvra_test::live_handle_ids();
        nuvra_test::run_on_loop([&] { mynet::resolve_hostname(host, calls.recorder(), 60000); });
        ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !calls.results.empty(); }, 2000));
        // A left time-out would stay for a minute.
        const std::vector<nuvra_test::LoopHandle> left = nuvra_test::timers_left_since(before, 1000);
        EXPECT_TRUE(left.empty()) << nuvra_test::describe(left);
        EXPECT_EQ(count_on_loop(calls), 1u);
    }
}

TEST(ResolveHostname, TimeOutBeforeTheAnswerThenTheLateAnswerIsDropped) {
    nuvra_test::LogCapture log;
    Calls calls;
    ScriptedName held("held.test", {"127.0.0.1"});
    held.hold();
    nuvra_test::run_on_loop([&] { EXPECT_EQ(mynet::resolve_hostname("held.test", calls.recorder(), 30), 0); });
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !calls.results.empty(); }, 2000));
    nuvra_test::run_on_loop([&] {
        EXPECT_EQ(calls.results[0].code, -1);
        EXPECT_EQ(calls.results[0].error, "timeout");
        EXPECT_TRUE(calls.results[0].addresses.empty());
    });
    EXPECT_TRUE(log.contains("[ net  ] getaddrinfo timeout: held.test "));
    EXPECT_FALSE(log.contains("uv_on_getaddrinfo_done2"));
    held.release();
    ASSERT_TRUE(log.wait_for("[ net  ] uv_on_getaddrinfo_done2 already timeout: held.test", 2000));
    EXPECT_EQ(count_on_loop(calls), 1u);
    const auto lines = log.lines();
    std::vector<std::string> order;
    for (const std::string& l : lines)
        for (const char* t : {"getaddrinfo timeout", "done2 status: held.test 0", "already timeout"})
            if (l.find(t) != std::string::npos) order.push_back(t);
    EXPECT_EQ(order, (std::vector<std::string>{"getaddrinfo timeout", "done2 status: held.test 0", "already timeout"}));
}

// A result function may start the next resolution from inside its call.
TEST(ResolveHostname, ResultFunctionMayResolveAgain) {
    warm_up_resolver();
    nuvra_test::LogCapture log;
    Calls calls;
    std::function<void(int, std::string, std::list<std::string>&)> second = calls.recorder();
    nuvra_test::run_on_loop([&] {
        mynet::resolve_hostname(
            "unknown.test",
            [&](int, std::string, std::list<std::string>&) {
                mynet::resolve_hostname("localhost", second, kAnswerTimeoutMs);
            },
            kAnswerTimeoutMs);
    });
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !calls.results.empty(); }, 2000));
    let_timers_pass(kAnswerTimeoutMs);
    nuvra_test::run_on_loop([&] {
        ASSERT_EQ(calls.results.size(), 1u);
        EXPECT_EQ(calls.results[0].code, 0);
    });
}

}  // namespace
