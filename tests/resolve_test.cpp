#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <uv.h>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "network.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"

// The resolver seen by libuv's workers, interposed so that nothing leaves the
// host: "localhost" goes to the system resolver, a few test names get scripted
// answers, every other name is unknown.
namespace {

using GetAddrInfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

GetAddrInfoFn real_getaddrinfo() {
    static GetAddrInfoFn real = reinterpret_cast<GetAddrInfoFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real;
}

addrinfo* numeric(const char* ip) {
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    return real_getaddrinfo()(ip, nullptr, &hints, &res) == 0 ? res : nullptr;
}

// Holds resolutions of "held.test" on the worker until released.
struct Gate {
    std::mutex mtx;
    std::condition_variable cv;
    bool open = true;
    int waiting = 0;

    void close() {
        std::lock_guard<std::mutex> lock(mtx);
        open = false;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mtx);
        open = true;
        cv.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mtx);
        ++waiting;
        cv.wait(lock, [this] { return open; });
        --waiting;
    }
};

Gate& gate() {
    static Gate* g = new Gate();
    return *g;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    std::string name = node ? node : "";
    if (name == "localhost") return real_getaddrinfo()(node, service, hints, res);
    if (name == "both.test") {
        addrinfo* first = numeric("::1");
        if (first == nullptr) return EAI_FAIL;
        first->ai_next = numeric("127.0.0.1");
        *res = first;
        return 0;
    }
    if (name == "held.test") {
        gate().pass();
        *res = numeric("127.0.0.1");
        return *res ? 0 : EAI_FAIL;
    }
    return EAI_NONAME;
}

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
                                           // The resolver's order is kept, IPv6 first here.
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

// Lets held resolutions go even when a test fails half-way: libuv joins its
// workers at exit.
struct GateClosed {
    GateClosed() { gate().close(); }
    ~GateClosed() { gate().release(); }
};

TEST(ResolveHostname, TimeOutBeforeTheAnswerThenTheLateAnswerIsDropped) {
    nuvra_test::LogCapture log;
    Calls calls;
    {
        GateClosed held;
        nuvra_test::run_on_loop([&] { EXPECT_EQ(mynet::resolve_hostname("held.test", calls.recorder(), 30), 0); });
        ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !calls.results.empty(); }, 2000));
        nuvra_test::run_on_loop([&] {
            EXPECT_EQ(calls.results[0].code, -1);
            EXPECT_EQ(calls.results[0].error, "timeout");
            EXPECT_TRUE(calls.results[0].addresses.empty());
        });
        EXPECT_TRUE(log.contains("[ net  ] getaddrinfo timeout: held.test "));
        EXPECT_FALSE(log.contains("uv_on_getaddrinfo_done2"));
    }
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
