#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "if_linkd.h"
#include "peers/discovery_service.h"
#include "peers/socks5_servers.h"
#include "support/clock_hold.h"
#include "support/engine_fixture.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"
#include "support/own_address.h"
#include "support/scripted_resolver.h"

using nuvra_test::DiscoveryService;
using nuvra_test::own_loopback_ip;
using nuvra_test::run_on_loop;
using nuvra_test::ScriptedName;
using nuvra_test::wait_on_loop;

namespace {

constexpr int kWaitMs = 3000;
constexpr int kSession = 7;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Sockets the process holds open.
int open_sockets() {
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        char target[64] = {0};
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(path.c_str(), target, sizeof(target) - 1) > 0 && std::string(target).rfind("socket:", 0) == 0) ++n;
    }
    closedir(dir);
    return n;
}

std::vector<std::string> hosts(const std::vector<Addr>& addrs) {
    std::vector<std::string> out;
    for (const Addr& a : addrs) out.push_back(a.host + ":" + std::to_string(a.port));
    return out;
}

// Requests grouped by the job (source port) that sent them, in arrival order.
std::map<uint16_t, std::vector<DiscoveryService::Request>> by_job(const std::vector<DiscoveryService::Request>& rs) {
    std::map<uint16_t, std::vector<DiscoveryService::Request>> jobs;
    for (const auto& r : rs) jobs[r.src_port].push_back(r);
    return jobs;
}

using Results = std::vector<std::pair<int, std::string>>;

// One engine with discovery pointed at loopback services only and its
// hand-over recorded; the engine is touched on the network thread only.
class LbsStep : public nuvra_test::EngineFixture {
protected:
    void SetUp() override {
        run_on_loop([&] {
            ld->m_vid = "vid-1";
            ld->m_ulbs_host = "";
            ld->m_ulbs_buildin = {};
            ld->_buildin_ulbs_time = 0;
            ld->m_retry_count = 2;
            ld->m_login_session = kSession;
            ld->m_login_session_step = "lbs";
            ld->m_on_lbs_result = [this](int session, const std::string& result) {
                results.emplace_back(session, result);
            };
        });
    }

    // The step ends before the engine goes, and reports nowhere.
    void TearDown() override {
        run_on_loop([&] {
            ld->m_on_lbs_result = [](int, const std::string&) {};
            if (SPSimpleWork work = ld->m_lbs_work.lock()) work->end("test over", true);
            ld->m_login_session_step = "";
        });
        EngineFixture::TearDown();
    }

    void configure(const std::function<void(InterfaceLinkD&)>& f) {
        run_on_loop([&] { f(*ld); });
    }
    void start_step() {
        run_on_loop([&] { ld->login_mode2_step_12_lbs(kSession); });
    }
    bool wait_result(int ms = kWaitMs) {
        return wait_on_loop([&] { return !results.empty(); }, ms);
    }
    Results step_results() {
        Results copy;
        run_on_loop([&] { copy = results; });
        return copy;
    }
    Json::Value details() {
        Json::Value copy;
        run_on_loop([&] { copy = ld->m_last_t_login_info.json(); });
        return copy;
    }
    template <typename T> T read(const std::function<T(InterfaceLinkD&)>& f) {
        T value{};
        run_on_loop([&] { value = f(*ld); });
        return value;
    }
    // Moves the clock on so that `dt_ms` have passed since `since`; a clock
    // already past that stays where it is.
    static void clock_to(uint64_t since, uint64_t dt_ms) {
        int64_t passed = static_cast<int64_t>(mynet::mono_time_ms() - since);
        mynet::test_clock_advance(static_cast<int64_t>(dt_ms) - passed);
    }
    // Sets the clock to `dt_ms` after `since`, then waits hold_ms, or until
    // pred holds; under a ClockHold, real time doesn't move it on meanwhile.
    static bool hold_clock(uint64_t since, uint64_t dt_ms, int hold_ms, const std::function<bool()>& pred = {}) {
        clock_to(since, dt_ms);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(hold_ms);
        for (;;) {
            if (pred && pred()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return !pred;
            sleep_ms(5);
        }
    }
    // Lets the step's armed time-out strike now instead of in 10 s.
    void strike_step_timeout() {
        run_on_loop([&] {
            SPSimpleWork work = ld->m_lbs_work.lock();
            ASSERT_TRUE(work && work->m_timer) << "no armed step time-out";
            EXPECT_EQ(work->m_work_timeout, 10000);
            mynet::Timer::OnTimeout f = work->m_timer->m_f;
            f(work->m_timer.get());
        });
    }

    InterfaceLinkD* ld = engine.get();
    Results results;  // network thread only
};

struct RequestCase {
    const char* name;
    std::string service_ip;
    std::string builtin_ip;
    std::string appid;
    std::string fake_ip;
    std::string text;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class LbsHappyPath : public LbsStep, public ::testing::WithParamInterface<RequestCase> {};

// The discovery host answers at once: its list is taken, the built-in
// addresses are never asked, and the answered job still closes its socket.
TEST_P(LbsHappyPath, TakesFirstGoodAnswer) {
    const RequestCase& c = GetParam();
    DiscoveryService dns_service(c.service_ip);
    DiscoveryService builtin_service(c.builtin_ip);
    ASSERT_TRUE(dns_service.ok() && builtin_service.ok());
    dns_service.answer_ok({{"127.0.0.1", 4000}, {"127.0.0.2", 4001}}, {{"h.test", 80}});
    nuvra_test::LogCapture log;
    int sockets_before = open_sockets();
    configure([&](InterfaceLinkD& e) {
        e.m_vid = c.appid;
        e._fake_lbs_ip = c.fake_ip;
        e.m_ulbs_host = c.service_ip;
        e.m_ulbs_buildin = {c.builtin_ip};
        e._buildin_ulbs_time = 500;
        e.m_tcp_addrs = {{"stale", 1}};
    });
    uint64_t t_start = mynet::mono_time_ms();
    start_step();
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, ""}}));
    EXPECT_EQ(read<std::string>([](InterfaceLinkD& e) { return e.m_login_session_step; }), "conn");
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_tcp_addrs); }),
              (std::vector<std::string>{"127.0.0.1:4000", "127.0.0.2:4001"}));
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_http_addrs); }),
              (std::vector<std::string>{"h.test:80"}));

    // One request, unless a slow machine let the first resend go out.
    std::vector<DiscoveryService::Request> rs = dns_service.requests();
    ASSERT_FALSE(rs.empty());
    for (const auto& r : rs) {
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.dst_port, rs[0].dst_port);
    }
    EXPECT_TRUE(rs[0].dst_port == 8180 || rs[0].dst_port == 8181) << rs[0].dst_port;

    Json::Value d = details();
    EXPECT_EQ(d["step"], "lbs");
    EXPECT_EQ(d["retry"], 2);
    EXPECT_TRUE(d["h1t1"].isUInt64());
    EXPECT_EQ(d["h1i1"], c.service_ip + ";");
    EXPECT_FALSE(d.isMember("h1e1"));
    EXPECT_TRUE(d["t2"].isUInt64());
    EXPECT_EQ(d["i2"], "udp:" + c.service_ip);
    EXPECT_FALSE(d.isMember("e2"));
    EXPECT_TRUE(log.contains("send req " + c.service_ip + " 1 : " + c.appid));
    EXPECT_TRUE(log.contains("bind 0.0.0.0"));
    EXPECT_TRUE(log.contains("data recv ok {"));

    // Past the built-in delay: the ended step asks nobody else.
    sleep_ms(650);
    EXPECT_TRUE(builtin_service.requests().empty());
    EXPECT_EQ(dns_service.requests().size(), rs.size()) << "answered job resent";
    clock_to(t_start, 10200);
    EXPECT_TRUE(wait_on_loop([&] { return open_sockets() <= sockets_before; }, kWaitMs)) << "job socket left open";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, LbsHappyPath,
    ::testing::Values(RequestCase{"Plain", own_loopback_ip(1), own_loopback_ip(5), "vid-1", "", "getaddr {\"appid\":\"vid-1\"}"},
                      RequestCase{"FakeIpUnescaped", own_loopback_ip(2), own_loopback_ip(6), "v\"1", "10.9.8.7",
                                  "getaddr {\"appid\":\"v\"1\",\"ip\":\"10.9.8.7\"}"}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

struct ScheduleCase {
    const char* name;
    std::string service_ip;
    bool slow;
    // Sends per job once the clock passed each mark.
    std::vector<std::pair<uint64_t, size_t>> marks;
};

void PrintTo(const ScheduleCase& c, std::ostream* os) { *os << c.name; }

class LbsSilentService : public LbsStep, public ::testing::WithParamInterface<ScheduleCase> {};

// Three built-in jobs against a service that never answers, driven by the
// clock seam: each resends on the schedule to one port, closes after 10 s,
// and the step fails by its time-out.
TEST_P(LbsSilentService, ResendsOnScheduleThenCloses) {
    const ScheduleCase& c = GetParam();
    DiscoveryService service(c.service_ip);
    ASSERT_TRUE(service.ok());
    service.stay_silent();
    nuvra_test::LogCapture log;
    int sockets_before = open_sockets();
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_buildin = {c.service_ip, c.service_ip, c.service_ip, own_loopback_ip(98)};
        e._buildin_ulbs_time = 1;
        e._slow_ulbs = c.slow;
    });
    nuvra_test::ClockHold hold;
    uint64_t t_start = mynet::mono_time_ms();
    start_step();
    ASSERT_TRUE(hold_clock(t_start, 0, kWaitMs, [&] { return service.requests().size() >= 3; })) << "three jobs";
    for (const auto& [dt, sends] : c.marks) {
        size_t expected = 3 * sends;
        EXPECT_TRUE(hold_clock(t_start, dt, kWaitMs, [&] { return service.requests().size() >= expected; })) << dt;
        hold_clock(t_start, dt, 150);  // a tick or more: no further send
        EXPECT_EQ(service.requests().size(), expected) << "at " << dt << " ms";
    }
    EXPECT_FALSE(log.contains(own_loopback_ip(98))) << "a fourth built-in address was asked";
    auto jobs = by_job(service.requests());
    EXPECT_EQ(jobs.size(), 3u);
    for (const auto& [src_port, sent] : jobs) {
        std::set<uint16_t> ports;
        for (const auto& r : sent) {
            ports.insert(r.dst_port);
            EXPECT_EQ(r.text, "getaddr {\"appid\":\"vid-1\"}");
        }
        EXPECT_EQ(ports.size(), 1u) << "job " << src_port << " changed its port";
        EXPECT_TRUE(*ports.begin() == 8180 || *ports.begin() == 8181) << *ports.begin();
    }

    clock_to(t_start, 10150);
    EXPECT_TRUE(wait_on_loop([&] { return open_sockets() <= sockets_before; }, kWaitMs)) << "job sockets left open";
    clock_to(t_start, 20000);
    sleep_ms(250);
    EXPECT_EQ(service.requests().size(), 3 * c.marks.back().second) << "closed job sent";
    EXPECT_TRUE(step_results().empty());
    strike_step_timeout();
    EXPECT_EQ(step_results(), (Results{{kSession, "time out"}}));
    EXPECT_EQ(read<std::string>([](InterfaceLinkD& e) { return e.m_login_session_step; }), "lbs");
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, LbsSilentService,
    ::testing::Values(ScheduleCase{"Default",
                                   own_loopback_ip(3),
                                   false,
                                   {{150, 1}, {350, 2}, {900, 3}, {2000, 4}, {3600, 5}, {5200, 6}, {7000, 7}, {9500, 7}}},
                      ScheduleCase{"Slow", own_loopback_ip(4), true, {{350, 1}, {2000, 1}, {7000, 1}, {9500, 1}}}),
    [](const ::testing::TestParamInfo<ScheduleCase>& info) { return std::string(info.param.name); });

// What one service answers, set up on it.
using Answer = std::function<void(DiscoveryService&)>;

struct BadAnswerCase {
    const char* name;
    std::string service_ip;
    Answer answer;
    std::string e2;
};

void PrintTo(const BadAnswerCase& c, std::ostream* os) { *os << c.name; }

class LbsBadAnswer : public LbsStep, public ::testing::WithParamInterface<BadAnswerCase> {};

// Both branches ask the same service; two bad answers fail the step at once
// and leave the server lists as they were.
TEST_P(LbsBadAnswer, FailsWithoutTouchingLists) {
    const BadAnswerCase& c = GetParam();
    DiscoveryService service(c.service_ip);
    ASSERT_TRUE(service.ok());
    c.answer(service);
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_host = c.service_ip;
        e.m_ulbs_buildin = {c.service_ip};
        e._buildin_ulbs_time = 1;
        e.m_tcp_addrs = {{"kept", 1}};
        e.m_http_addrs = {{"kept", 2}};
    });
    start_step();
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, "failed"}}));
    EXPECT_GE(service.requests().size(), 2u);
    Json::Value d = details();
    EXPECT_EQ(d["e2"], c.e2);
    EXPECT_EQ(d["i2"], "udp:" + c.service_ip);
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_tcp_addrs); }),
              std::vector<std::string>{"kept:1"});
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_http_addrs); }),
              std::vector<std::string>{"kept:2"});
    EXPECT_EQ(read<std::string>([](InterfaceLinkD& e) { return e.m_login_session_step; }), "lbs");
    EXPECT_EQ(log.matching("data recv").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LbsBadAnswer,
    ::testing::Values(
        BadAnswerCase{"Oversized", own_loopback_ip(10), [](DiscoveryService& s) { s.answer_oversized({{"127.0.0.1", 1}}); },
                      "failed:wrong resp"},
        BadAnswerCase{"NotZlib", own_loopback_ip(11), [](DiscoveryService& s) { s.answer_bytes("ok {\"tcp\":[]}"); },
                      "failed:wrong resp"},
        BadAnswerCase{"InflatesToNothing", own_loopback_ip(12), [](DiscoveryService& s) { s.answer_text(""); },
                      "failed:wrong resp"},
        BadAnswerCase{"ErrorText", own_loopback_ip(13), [](DiscoveryService& s) { s.answer_text("no servers"); },
                      "failed:no servers"},
        BadAnswerCase{"WrongJsonTypes", own_loopback_ip(14),
                      [](DiscoveryService& s) { s.answer_text("ok {\"http\":[],\"tcp\":[[\"127.0.0.1\",\"80\"]]}"); },
                      "wrongjson:{\"http\":[],\"tcp\":[[\""},
        BadAnswerCase{"NotJson", own_loopback_ip(15), [](DiscoveryService& s) { s.answer_text("ok <html>"); },
                      "wrongjson:<html>"}),
    [](const ::testing::TestParamInfo<BadAnswerCase>& info) { return std::string(info.param.name); });

struct BranchCase {
    const char* name;
    std::string dns_ip;
    Answer dns_answer;
    std::string builtin_ip;
    Answer builtin_answer;
    std::string result;
    std::vector<std::string> tcp;
    std::string e2;  // "" when no bad answer was seen
};

void PrintTo(const BranchCase& c, std::ostream* os) { *os << c.name; }

class LbsBranches : public LbsStep, public ::testing::WithParamInterface<BranchCase> {};

// Reports of both branches count together. The built-in answer leaves 300 ms
// after its request, so the DNS branch's answer comes first.
TEST_P(LbsBranches, CountReportsAcrossBranches) {
    const BranchCase& c = GetParam();
    DiscoveryService dns_service(c.dns_ip);
    DiscoveryService builtin_service(c.builtin_ip);
    ASSERT_TRUE(dns_service.ok() && builtin_service.ok());
    c.dns_answer(dns_service);
    c.builtin_answer(builtin_service);
    builtin_service.set_delay(300);
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_host = c.dns_ip;
        e.m_ulbs_buildin = {c.builtin_ip};
        e._buildin_ulbs_time = 100;
    });
    start_step();
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, c.result}}));
    EXPECT_FALSE(dns_service.requests().empty());
    EXPECT_FALSE(builtin_service.requests().empty());
    Json::Value d = details();
    EXPECT_EQ(d["i2"], "udp:" + c.builtin_ip);
    if (c.e2.empty()) {
        EXPECT_FALSE(d.isMember("e2")) << d["e2"];
    } else {
        EXPECT_EQ(d["e2"], c.e2);
    }
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_tcp_addrs); }), c.tcp);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, LbsBranches,
    ::testing::Values(
        BranchCase{"BadThenBadFailsAtOnce", own_loopback_ip(20), [](DiscoveryService& s) { s.answer_text("busy"); },
                   own_loopback_ip(21), [](DiscoveryService& s) { s.answer_bytes("garbage"); }, "failed", {},
                   "failed:wrong resp"},
        BranchCase{"BadThenGoodSucceeds", own_loopback_ip(22), [](DiscoveryService& s) { s.answer_text("busy"); },
                   own_loopback_ip(23), [](DiscoveryService& s) { s.answer_ok({{"127.0.0.9", 9}}); }, "",
                   {"127.0.0.9:9"}, "failed:busy"},
        BranchCase{"GoodEmptyListSucceeds", own_loopback_ip(24), [](DiscoveryService& s) { s.stay_silent(); },
                   own_loopback_ip(25), [](DiscoveryService& s) { s.answer_ok({}); }, "", {}, ""}),
    [](const ::testing::TestParamInfo<BranchCase>& info) { return std::string(info.param.name); });

struct RepeatCase {
    const char* name;
    std::string service_ip;
    bool other_socket;
};

void PrintTo(const RepeatCase& c, std::ostream* os) { *os << c.name; }

class LbsRepeatedAnswer : public LbsStep, public ::testing::WithParamInterface<RepeatCase> {};

// A job takes only its first datagram, whoever sends the next one: a second
// bad answer on the same socket would otherwise fail the step.
TEST_P(LbsRepeatedAnswer, SecondDatagramIgnored) {
    const RepeatCase& c = GetParam();
    DiscoveryService service(c.service_ip);
    ASSERT_TRUE(service.ok());
    service.answer_text("busy");
    service.set_twice(true);
    service.set_other_socket(c.other_socket);
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) { e.m_ulbs_host = c.service_ip; });
    start_step();
    ASSERT_TRUE(log.wait_for("data recv busy", kWaitMs));
    sleep_ms(100);
    EXPECT_EQ(log.matching("data recv").size(), 1u);
    EXPECT_EQ(log.matching("result busy").size(), 1u);
    EXPECT_TRUE(step_results().empty());
    EXPECT_EQ(details()["e2"], "failed:busy");
}

INSTANTIATE_TEST_SUITE_P(Senders, LbsRepeatedAnswer,
                         ::testing::Values(RepeatCase{"SameSocket", own_loopback_ip(30), false},
                                           RepeatCase{"OtherSocket", own_loopback_ip(31), true}),
                         [](const ::testing::TestParamInfo<RepeatCase>& info) { return std::string(info.param.name); });

// After the hand-over the step is "conn": a later good answer of the same
// attempt only logs its result.
TEST_F(LbsStep, LateAnswerAfterHandOverOnlyLogs) {
    DiscoveryService fast(own_loopback_ip(40));
    DiscoveryService slow(own_loopback_ip(41));
    ASSERT_TRUE(fast.ok() && slow.ok());
    fast.answer_ok({{"127.0.0.1", 1}});
    slow.answer_ok({{"127.0.0.2", 2}});
    slow.set_delay(300);
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_buildin = {own_loopback_ip(41), own_loopback_ip(40)};
        e._buildin_ulbs_time = 1;
    });
    start_step();
    ASSERT_TRUE(wait_result());
    // Both answers arrive; only the first is taken.
    for (int i = 0; i < 200 && log.matching("result  {").size() < 2; ++i) sleep_ms(10);
    EXPECT_EQ(log.matching("result  {").size(), 2u);
    EXPECT_EQ(step_results(), (Results{{kSession, ""}}));
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_tcp_addrs); }),
              std::vector<std::string>{"127.0.0.1:1"});
    EXPECT_EQ(details()["i2"], "udp:" + own_loopback_ip(40));
}

// Every piece of a stale attempt drops itself: the step start, the name
// resolution and the end.
TEST_F(LbsStep, StaleAttemptDropsItsPieces) {
    DiscoveryService service(own_loopback_ip(50));
    ASSERT_TRUE(service.ok());
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) { e.m_ulbs_host = own_loopback_ip(50); });
    run_on_loop([&] { ld->login_mode2_step_12_lbs(kSession + 1); });
    EXPECT_TRUE(log.contains("wrong state 8 : 7 lbs"));
    EXPECT_FALSE(read<bool>([](InterfaceLinkD& e) { return static_cast<bool>(e.m_lbs_work.lock()); }));

    // The attempt moves on while its name resolution runs.
    run_on_loop([&] {
        ld->login_mode2_step_12_lbs(kSession);
        ld->m_login_session = kSession + 1;
    });
    ASSERT_TRUE(log.wait_for("ignore dns result 7 : 8 lbs", kWaitMs));
    sleep_ms(50);
    EXPECT_TRUE(service.requests().empty());
    strike_step_timeout();
    EXPECT_TRUE(log.contains("wrong state 7 : 8 lbs"));
    EXPECT_TRUE(step_results().empty());
}

// An IPv6 answer under "force_ipv4" is asked as the IPv4 address it embeds,
// from an IPv4 socket.
TEST_F(LbsStep, ForceIpv4AsksEmbeddedAddress) {
    DiscoveryService service(own_loopback_ip(60));
    ASSERT_TRUE(service.ok());
    service.answer_ok({{"127.0.0.1", 1}});
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_host = "::ffff:" + own_loopback_ip(60);
        e._force_ipv4 = true;
    });
    start_step();
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, ""}}));
    EXPECT_FALSE(service.requests().empty());
    EXPECT_EQ(read<int>([](InterfaceLinkD& e) { return e.m_ipv6_mode; }), 0);
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return e.m_lbs_ips; }),
              std::vector<std::string>{own_loopback_ip(60)});
    EXPECT_EQ(details()["h1i1"], own_loopback_ip(60) + ";");
    EXPECT_TRUE(log.contains("dns_result nat64 ::ffff:" + own_loopback_ip(60) + ":::ffff:" + own_loopback_ip(60) + " -> " + own_loopback_ip(60)));
    EXPECT_TRUE(log.contains("bind 0.0.0.0"));
    EXPECT_FALSE(log.contains("bind ::"));
}


// A job whose age has not passed 10 s by its timer's last firing (the
// firings came early, or late ones were lost) still closes then, and nothing
// keeps it alive after that.
TEST_F(LbsStep, JobClosesAtLastTickBeforeItsAgeRunsOut) {
    std::weak_ptr<InterfaceLinkD::ULBS_Job> weak;
    nuvra_test::ClockHold hold;
    run_on_loop([&] {
        auto job = std::make_shared<InterfaceLinkD::ULBS_Job>(ld, kSession, own_loopback_ip(70), 8180, "vid-1");
        job->udp->init();
        ASSERT_EQ(job->udp->bind("0.0.0.0", 0), 0);
        job->start_timer();
        weak = job;
    });
    run_on_loop([&] {
        std::shared_ptr<InterfaceLinkD::ULBS_Job> job = weak.lock();
        ASSERT_TRUE(job);
        // The tick's own firings, all at once.
        while (job->ticks < InterfaceLinkD::ULBS_Job::kTicks - 1) job->tick();
        EXPECT_FALSE(job->is_closed);
        job->tick();
        EXPECT_TRUE(job->is_closed);
        EXPECT_FALSE(job->m_timer.active());
    });
    EXPECT_TRUE(wait_on_loop([&] { return weak.expired(); }, kWaitMs)) << "closed job still held";
}

// An engine destroyed in the middle of its discovery: the jobs close at
// their next tick and no callback touches the engine any more.
using LbsEngineGone = nuvra_test::EngineFixture;

TEST_F(LbsEngineGone, PiecesOutliveTheEngineSafely) {
    DiscoveryService service(own_loopback_ip(90));
    ASSERT_TRUE(service.ok());
    service.stay_silent();
    int sockets_before = open_sockets();
    SPSimpleWork work;
    on_engine([&](InterfaceLinkD& e) {
        e.m_ulbs_host = own_loopback_ip(90);
        e.m_ulbs_buildin = {own_loopback_ip(90)};
        e._buildin_ulbs_time = 30;
        e.m_login_session = 1;
        e.m_login_session_step = "lbs";
        e.login_mode2_step_12_lbs(1);
        work = e.m_lbs_work.lock();
    });
    ASSERT_TRUE(service.wait_request(0, kWaitMs).has_value());
    destroy_engine();
    // The built-in branch's delay passes, the jobs tick, the step times out.
    sleep_ms(150);
    EXPECT_TRUE(wait_on_loop([&] { return open_sockets() <= sockets_before; }, kWaitMs)) << "job sockets left open";
    run_on_loop([&] {
        ASSERT_TRUE(work->m_timer);
        mynet::Timer::OnTimeout f = work->m_timer->m_f;
        f(work->m_timer.get());
        EXPECT_TRUE(work->isEnd());
        work.reset();
    });
}

// Discovery through a proxy that relays UDP: the relay strips the header on
// the way out and adds it on the way back.
TEST_F(LbsStep, ThroughDantedRelay) {
    nuvra_test::Socks5Server proxy(nuvra_test::Socks5Server::DANTED);
    if (!proxy.start()) GTEST_SKIP() << "danted cannot run here: " << proxy.error();
    DiscoveryService service(own_loopback_ip(80));
    ASSERT_TRUE(service.ok());
    service.answer_ok({{"127.0.0.1", 4242}});
    nuvra_test::LogCapture log;
    int sockets_before = open_sockets();
    nuvra_test::ProxyGuard proxy_set(proxy.host(), proxy.port());
    allow_timeouts(10000);  // the association's delayed release
    configure([&](InterfaceLinkD& e) { e.m_ulbs_host = own_loopback_ip(80); });
    uint64_t t_start = mynet::mono_time_ms();
    start_step();
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, ""}}));
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_tcp_addrs); }),
              std::vector<std::string>{"127.0.0.1:4242"});
    // A slow relay may see a resend before the answer is back.
    std::vector<DiscoveryService::Request> rs = service.requests();
    ASSERT_FALSE(rs.empty());
    for (const auto& r : rs) EXPECT_EQ(r.text, "getaddr {\"appid\":\"vid-1\"}");
    EXPECT_TRUE(log.contains("[ net  ] socks5 proxy server connected, new assign port is "));
    EXPECT_TRUE(log.contains("data recv ok {"));

    // The job's end closes its association too.
    clock_to(t_start, 10200);
    EXPECT_TRUE(log.wait_for("[ net  ] socks5 proxy tcp closed", kWaitMs));
    EXPECT_TRUE(wait_on_loop([&] { return open_sockets() <= sockets_before; }, kWaitMs)) << "job socket left open";
}

// A proxy that refuses UDP associations: every send is lost with a log line,
// nothing reaches the service, and the job still ends cleanly.
TEST_F(LbsStep, ThroughMicrosocksFailsByTimeOut) {
    nuvra_test::Socks5Server proxy(nuvra_test::Socks5Server::MICROSOCKS);
    if (!proxy.start()) GTEST_SKIP() << "microsocks cannot run here: " << proxy.error();
    DiscoveryService service(own_loopback_ip(81));
    ASSERT_TRUE(service.ok());
    nuvra_test::LogCapture log;
    int sockets_before = open_sockets();
    nuvra_test::ProxyGuard proxy_set(proxy.host(), proxy.port());
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_buildin = {own_loopback_ip(81)};
        e._buildin_ulbs_time = 1;
    });
    uint64_t t_start = mynet::mono_time_ms();
    start_step();
    ASSERT_TRUE(log.wait_for("ulbs            socks5 tcp conn failed (", kWaitMs));
    for (uint64_t dt : {350, 900, 2000, 3600, 5200, 7000}) {
        clock_to(t_start, dt);
        sleep_ms(150);
    }
    EXPECT_TRUE(wait_on_loop([&] { return log.matching("socks5 tcp conn failed (").size() == 7; }, kWaitMs))
        << log.matching("socks5 tcp conn failed (").size();
    EXPECT_EQ(log.matching("connection cannot be established, error: 7").size(), 7u);
    EXPECT_TRUE(service.requests().empty());
    clock_to(t_start, 10200);
    EXPECT_TRUE(wait_on_loop([&] { return open_sockets() <= sockets_before; }, kWaitMs)) << "sockets left open";
    EXPECT_TRUE(step_results().empty());
    strike_step_timeout();
    EXPECT_EQ(step_results(), (Results{{kSession, "time out"}}));
}

struct DnsFailureCase {
    const char* name;
    int eai_error;
    bool dns_first;  // the resolver fails before the built-in answer, else after it
    std::string builtin_ip;
    std::string result;
    int h1e1;
};

void PrintTo(const DnsFailureCase& c, std::ostream* os) { *os << c.name; }

class LbsDnsFailure : public LbsStep, public ::testing::WithParamInterface<DnsFailureCase> {};

// A failed resolution is one failure report of the step: with one bad answer
// from the built-in branch the step fails, with the text of whichever came
// second.
TEST_P(LbsDnsFailure, CountsAsOneFailureReport) {
    const DnsFailureCase& c = GetParam();
    DiscoveryService builtin_service(c.builtin_ip);
    ASSERT_TRUE(builtin_service.ok());
    builtin_service.answer_text("busy");
    ScriptedName name("lbs.test", c.eai_error);
    if (!c.dns_first) name.hold();
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) {
        e.m_ulbs_host = "lbs.test";
        e.m_ulbs_buildin = {c.builtin_ip};
        e._buildin_ulbs_time = c.dns_first ? 200 : 1;
    });
    start_step();
    if (c.dns_first) {
        ASSERT_TRUE(log.wait_for("uv_on_getaddrinfo_done2 status: lbs.test", kWaitMs));
        EXPECT_TRUE(step_results().empty());
    } else {
        ASSERT_TRUE(log.wait_for("data recv busy", kWaitMs));
        EXPECT_TRUE(step_results().empty());
        name.release();
    }
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, c.result}}));
    Json::Value d = details();
    EXPECT_EQ(d["h1e1"], c.h1e1);
    EXPECT_TRUE(d.isMember("h1t1"));
    EXPECT_FALSE(d.isMember("h1i1"));
    EXPECT_EQ(d["e2"], "failed:busy");
    EXPECT_EQ(builtin_service.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, LbsDnsFailure,
    ::testing::Values(
        DnsFailureCase{"UnknownNameThenBadAnswer", EAI_NONAME, true, own_loopback_ip(61), "failed", UV_EAI_NONAME},
        DnsFailureCase{"BadAnswerThenUnknownName", EAI_NONAME, false, own_loopback_ip(62),
                       "ecode:" + std::to_string(UV_EAI_NONAME), UV_EAI_NONAME},
        DnsFailureCase{"BadAnswerThenResolverFailure", EAI_FAIL, false, own_loopback_ip(63),
                       "ecode:" + std::to_string(UV_EAI_FAIL), UV_EAI_FAIL}),
    [](const ::testing::TestParamInfo<DnsFailureCase>& info) { return std::string(info.param.name); });

// A name answered with IPv6 addresses only: each address stands for the IPv4
// address in its last 32 bits, and the jobs ask the prefix plus that address
// from sockets bound to "::". The answer ::1 gives the prefix "::" and the
// address 0.0.0.1, so the service is asked at ::0.0.0.1, which is ::1 again.
TEST_F(LbsStep, Nat64AnswerAsksThroughThePrefixFromAnIPv6Socket) {
    // ::1 is the only IPv6 loopback address: another process running this
    // test may hold its discovery ports for a moment.
    std::unique_ptr<DiscoveryService> held;
    for (int i = 0; i < 300 && !(held && held->ok()); ++i) {
        if (held) sleep_ms(50);
        held = std::make_unique<DiscoveryService>("::1");
    }
    ASSERT_TRUE(held->ok());
    DiscoveryService& service = *held;
    service.answer_ok({{"127.0.0.9", 9}});
    ScriptedName name("nat64.test", {"::1"});
    nuvra_test::LogCapture log;
    configure([&](InterfaceLinkD& e) { e.m_ulbs_host = "nat64.test"; });
    start_step();
    ASSERT_TRUE(wait_result());
    EXPECT_EQ(step_results(), (Results{{kSession, ""}}));
    EXPECT_EQ(read<int>([](InterfaceLinkD& e) { return e.m_ipv6_mode; }), 2);
    EXPECT_EQ(read<std::string>([](InterfaceLinkD& e) { return e.m_ipv6_head; }), "::");
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return e.m_lbs_ips; }),
              std::vector<std::string>{"0.0.0.1"});
    EXPECT_EQ(read<std::vector<std::string>>([](InterfaceLinkD& e) { return hosts(e.m_tcp_addrs); }),
              std::vector<std::string>{"127.0.0.9:9"});
    EXPECT_TRUE(log.contains("dns.            dns_result nat64 nat64.test:::1 -> 0.0.0.1"));
    EXPECT_EQ(log.matching("ulbs            bind ").size(), 1u);
    EXPECT_TRUE(log.contains("ulbs            bind ::"));
    EXPECT_FALSE(service.requests().empty());
    Json::Value d = details();
    EXPECT_EQ(d["h1i1"], "0.0.0.1;");
    EXPECT_EQ(d["i2"], "udp:0.0.0.1");
}

}  // namespace
