#include <gtest/gtest.h>
#include <json/json.h>
#include <netdb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "loop.h"
#include "peers/telemetry_collector.h"
#include "reporter2.h"
#include "support/clock_hold.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"
#include "support/scripted_resolver.h"

namespace {

using nuvra_test::LogCapture;
using nuvra_test::run_on_loop;
using nuvra_test::ScriptedName;
using nuvra_test::TelemetryCollector;
using nuvra_test::wait_on_loop;
using Reply = TelemetryCollector::Reply;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The log lines without their "<ms> : " prefix; a line without it is kept whole.
std::vector<std::string> bodies(const LogCapture& log) {
    std::vector<std::string> out;
    for (const std::string& line : log.lines()) {
        size_t digits = line.find_first_not_of("0123456789");
        bool prefixed = digits > 0 && digits != std::string::npos && line.compare(digits, 3, " : ") == 0;
        out.push_back(prefixed ? line.substr(digits + 3) : line);
    }
    return out;
}

size_t count_body(const LogCapture& log, const std::string& body) {
    size_t n = 0;
    for (const std::string& b : bodies(log)) n += b == body;
    return n;
}

// A reporter, built and destroyed on the network thread, pointed at a
// collector on loopback.
class ReporterTest : public ::testing::Test {
protected:
    explicit ReporterTest(const std::string& collector_ip = "127.0.0.1") : collector(collector_ip) {}

    void SetUp() override {
        ASSERT_TRUE(collector.ok());
        run_on_loop([&] {
            rp = std::make_unique<Reporter2>();
            rp->m_hostname = collector_host();
            rp->m_port = collector.port();
        });
    }
    void TearDown() override {
        run_on_loop([&] { rp.reset(); });
    }

    virtual std::string collector_host() const { return "127.0.0.1"; }

    // Moves the clock past the jobs' first-run delay and waits until the
    // collector is resolved and the socket exists, with nothing queued.
    void ready() {
        mynet::test_clock_advance(1000);
        ASSERT_TRUE(log.wait_for("rpt host", 3000));
        ASSERT_TRUE(wait_on_loop([&] { return rp->m_udp != nullptr; }, 3000));
    }

    // Opens and at once ends a record of the type "chrp"; one report.
    void end_record(const std::string& key) {
        run_on_loop([&] {
            rp->t_start("chrp", key, Json::Value(Json::objectValue));
            rp->t_end("chrp", key, true, "ok", Json::Value());
        });
    }

    size_t queued() {
        size_t n = 0;
        run_on_loop([&] { n = rp->reports.size(); });
        return n;
    }

    LogCapture log;
    TelemetryCollector collector;
    std::unique_ptr<Reporter2> rp;
};

TEST_F(ReporterTest, ReportsCarryTheRecordAndCommonFieldsInExactBytes) {
    ASSERT_NO_FATAL_FAILURE(ready());
    uint64_t before = 0, after = 0;
    run_on_loop([&] {
        Json::Value common;
        common["sdk"] = 1010303001;
        common["deviceid"] = "dev-1";
        common["deviceinfo"] = "linux";
        common["vid"] = "v1";
        common["account"] = "alice";
        common["uid"] = Json::UInt(7);
        rp->set_common_fields(common);
        before = mynet::get_time_in_ms();
        Json::Value start;
        start["method"] = "user_sendmsg";
        Reporter2::SPT t = rp->t_start("call", "7_1", start);
        mynet::test_clock_advance(250);
        Json::Value phase;
        phase["n"] = 1;
        t->phase("sent", phase);
        mynet::test_clock_advance(250);
        Json::Value end;
        end["way"] = 0;
        end["callip"] = "127.0.0.1:9";
        t->end(true, "success", end);
        after = mynet::get_time_in_ms();
    });
    auto r0 = collector.wait_report(0, 3000);
    auto r1 = collector.wait_report(1, 3000);
    ASSERT_TRUE(r0 && r1);

    const std::string common =
        "\"common\":{\"account\":\"alice\",\"deviceid\":\"dev-1\",\"deviceinfo\":\"linux\",\"sdk\":1010303001,"
        "\"uid\":7,\"vid\":\"v1\"}";
    auto num = [](const Json::Value& j, const char* k) { return j[k].asUInt64(); };
    const Json::Value& j0 = r0->json;
    const Json::Value& j1 = r1->json;
    EXPECT_EQ(r0->text, "{\"cmd\":\"phase\"," + common + ",\"duration\":" + std::to_string(num(j0, "duration")) +
                            ",\"key\":\"7_1\",\"now\":" + std::to_string(num(j0, "now")) +
                            ",\"param_phase\":{\"n\":1},\"param_start\":{\"method\":\"user_sendmsg\"},"
                            "\"phase\":\"sent\",\"seq\":0,\"time\":" +
                            std::to_string(num(j0, "time")) + ",\"type\":\"call\"}");
    EXPECT_EQ(r1->text, "{\"cmd\":\"end\"," + common + ",\"duration\":" + std::to_string(num(j1, "duration")) +
                            ",\"isok\":true,\"key\":\"7_1\",\"now\":" + std::to_string(num(j1, "now")) +
                            ",\"param_end\":{\"callip\":\"127.0.0.1:9\",\"way\":0},"
                            "\"param_start\":{\"method\":\"user_sendmsg\"},\"result\":\"success\",\"seq\":1,"
                            "\"time\":" +
                            std::to_string(num(j1, "time")) + ",\"type\":\"call\"}");

    // "time" is when the report was made, "duration" its age since t_start,
    // "now" when it was sent.
    EXPECT_GE(num(j0, "time"), before + 250);
    EXPECT_LE(num(j1, "time"), after);
    EXPECT_GE(num(j0, "duration"), 250u);
    EXPECT_LT(num(j0, "duration"), 350u);
    EXPECT_GE(num(j1, "duration"), 500u);
    EXPECT_LT(num(j1, "duration"), 600u);
    EXPECT_GE(num(j0, "now"), num(j0, "time"));
    EXPECT_GE(num(j1, "now"), num(j0, "now"));
    EXPECT_EQ(count_body(log, "send rp 0 127.0.0.1"), 1u);
    EXPECT_EQ(count_body(log, "send rp 1 127.0.0.1"), 1u);
}

TEST_F(ReporterTest, SendsOneReportAtATimeInSequenceOrder) {
    ASSERT_NO_FATAL_FAILURE(ready());
    const int kAckDelayMs = 150;
    collector.set_ack_delay(kAckDelayMs);
    end_record("a");
    end_record("b");
    end_record("c");
    ASSERT_TRUE(collector.wait_report(2, 3000));
    ASSERT_TRUE(wait_on_loop([&] { return rp->reports.empty(); }, 3000));
    auto got = collector.reports();
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].json["seq"].asUInt(), i);
        EXPECT_EQ(got[i].json["key"].asString(), std::string(1, static_cast<char>('a' + i)));
        // The next report leaves only after this one's acknowledgement.
        if (i > 0) {
            EXPECT_GE(got[i].at - got[i - 1].at, std::chrono::milliseconds(kAckDelayMs));
        }
    }
}

struct AckCase {
    const char* name;
    Reply reply;
    bool accepted;
    bool wrong_json;
};

void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }

class AckReplyTest : public ReporterTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AckReplyTest, OnlyTheHeadSeqAcknowledges) {
    const AckCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(ready());
    collector.set_reply(c.reply);
    end_record("a");
    end_record("b");
    ASSERT_TRUE(collector.wait_report(0, 3000));
    if (c.accepted) {
        ASSERT_TRUE(collector.wait_report(1, 3000));
        ASSERT_TRUE(wait_on_loop([&] { return rp->reports.empty(); }, 3000));
        sleep_ms(300);
        // No repeat of either report and no stray report after a duplicate.
        EXPECT_EQ(collector.reports().size(), 2u);
        EXPECT_EQ(count_body(log, "already done"), 0u);
    } else {
        sleep_ms(300);
        EXPECT_EQ(collector.reports().size(), 1u);
        EXPECT_EQ(queued(), 2u);
        // The socket still works: a proper acknowledgement releases the next report.
        collector.set_reply(Reply::Ack);
        ASSERT_TRUE(collector.send_text("{\"seq\":0}"));
        auto r1 = collector.wait_report(1, 3000);
        ASSERT_TRUE(r1);
        EXPECT_EQ(r1->json["seq"].asUInt(), 1u);
    }
    EXPECT_EQ(count_body(log, "error wrong json") > 0, c.wrong_json);
}

INSTANTIATE_TEST_SUITE_P(Replies, AckReplyTest,
                         ::testing::Values(AckCase{"WrongSeq", Reply::WrongSeq, false, false},
                                           AckCase{"Garbage", Reply::Garbage, false, true},
                                           AckCase{"JsonArray", Reply::JsonArray, false, true},
                                           AckCase{"StringSeq", Reply::StringSeq, false, false},
                                           AckCase{"Twice", Reply::Twice, true, false},
                                           AckCase{"OtherSocket", Reply::OtherSocket, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AckTextCase {
    const char* name;
    const char* text;
    bool accepted;
    bool wrong_json;
};

void PrintTo(const AckTextCase& c, std::ostream* os) { *os << c.name; }

class AckTextTest : public ReporterTest, public ::testing::WithParamInterface<AckTextCase> {};

// Acknowledgement texts handed straight to proc_ack while report 0 is in flight.
TEST_P(AckTextTest, NumbersCompareAsNumbersAndBadTextsNeverThrow) {
    const AckTextCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(ready());
    collector.set_reply(Reply::None);
    end_record("a");
    ASSERT_TRUE(collector.wait_report(0, 3000));
    log.clear();
    bool removed = false;
    run_on_loop([&] {
        rp->proc_ack(c.text);
        removed = rp->reports.empty();
    });
    EXPECT_EQ(removed, c.accepted);
    EXPECT_EQ(count_body(log, "error wrong json"), c.wrong_json ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AckTextTest,
    ::testing::Values(AckTextCase{"IntZero", "{\"seq\":0}", true, false},
                      AckTextCase{"WithOtherMembers", "{\"x\":[1,2],\"seq\":0}", true, false},
                      AckTextCase{"OneMore", "{\"seq\":1}", false, false},
                      AckTextCase{"Negative", "{\"seq\":-1}", false, false},
                      AckTextCase{"WrapsTo32BitZero", "{\"seq\":4294967296}", false, false},
                      AckTextCase{"Fraction", "{\"seq\":0.5}", false, false},
                      AckTextCase{"String", "{\"seq\":\"0\"}", false, false},
                      AckTextCase{"Null", "{\"seq\":null}", false, false},
                      AckTextCase{"Bool", "{\"seq\":false}", false, false},
                      AckTextCase{"Object", "{\"seq\":{}}", false, false},
                      AckTextCase{"NoSeq", "{\"sq\":0}", false, true},
                      AckTextCase{"Array", "[1]", false, true},
                      AckTextCase{"Number", "0", false, true},
                      AckTextCase{"Empty", "", false, true},
                      AckTextCase{"Truncated", "{\"seq\":", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReporterTest, AcknowledgementBeforeAnySendIsIgnored) {
    end_record("a");
    run_on_loop([&] {
        ASSERT_FALSE(rp->m_last_send_work);
        rp->proc_ack("{\"seq\":0}");
    });
    EXPECT_EQ(queued(), 1u);
}

TEST_F(ReporterTest, UnacknowledgedReportIsResentAfter5000MsOnANewSocket) {
    ASSERT_NO_FATAL_FAILURE(ready());
    collector.drop_first(1);
    end_record("a");
    auto first = collector.wait_report(0, 3000);
    ASSERT_TRUE(first);

    mynet::test_clock_advance(4000);
    sleep_ms(300);
    EXPECT_EQ(collector.reports().size(), 1u);
    EXPECT_FALSE(log.contains("close rpt udp"));

    mynet::test_clock_advance(1000);
    ASSERT_TRUE(log.wait_for("close rpt udp", 3000));
    auto second = collector.wait_report(1, 3000);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->json["seq"].asUInt(), 0u);
    EXPECT_GT(second->json["now"].asUInt64(), first->json["now"].asUInt64());
    EXPECT_EQ(second->json["time"], first->json["time"]);
    EXPECT_NE(second->src_port, first->src_port);
    ASSERT_TRUE(wait_on_loop([&] { return rp->reports.empty(); }, 3000));
    // The close asked for a fresh resolution.
    EXPECT_TRUE(wait_on_loop([&] { return count_body(log, "rpt host 127.0.0.1 127.0.0.1") == 2; }, 3000));
    EXPECT_EQ(count_body(log, "new rpt udp"), 2u);
}

// Ticks with the head report exactly age_ms old; true when the report is
// still queued afterwards. The caller holds the clock.
bool kept_at_age(Reporter2& rp, uint64_t age_ms) {
    bool kept = false;
    run_on_loop([&] {
        if (rp.reports.empty()) return;
        const uint64_t target = rp.reports.front().made_at + age_ms;
        mynet::test_clock_advance(static_cast<int64_t>(target - mynet::mono_time_ms()));
        EXPECT_EQ(mynet::mono_time_ms(), target);
        rp.tick();
        kept = !rp.reports.empty();
    });
    return kept;
}

TEST_F(ReporterTest, ReportIsKeptAt59999MsAndDroppedAt60000Ms) {
    run_on_loop([&] { rp->m_enable = false; });  // nothing acknowledges the report meanwhile
    nuvra_test::ClockHold hold;
    end_record("old");
    EXPECT_TRUE(kept_at_age(*rp, 59999));
    EXPECT_FALSE(log.contains("clear rp"));

    uint32_t seq = 0;
    run_on_loop([&] { seq = rp->reports.front().body()["seq"].asUInt(); });
    EXPECT_FALSE(kept_at_age(*rp, 60000));
    EXPECT_EQ(count_body(log, "clear rp " + std::to_string(seq)), 1u);
}

// A step of the system clock either way shows in the report's "time" alone:
// its "duration" and its age in the queue count on the monotonic clock.
TEST_F(ReporterTest, WallClockStepsChangeNoDurationOrAge) {
    run_on_loop([&] { rp->m_enable = false; });
    for (int64_t step : {-3600000, 3600000}) {
        SCOPED_TRACE(step);
        nuvra_test::ClockHold hold;
        Json::Value body;
        uint64_t wall = 0;
        run_on_loop([&] {
            rp->reports.clear();
            Reporter2::SPT t = rp->t_start("chrp", "a", Json::Value(Json::objectValue));
            mynet::test_wall_clock_step(step);
            mynet::test_clock_advance(250);
            t->end(true, "ok", Json::Value());
            wall = mynet::get_time_in_ms();
            body = rp->reports.front().body();
        });
        EXPECT_EQ(body["duration"].asUInt64(), 250u);
        EXPECT_LE(body["time"].asUInt64(), wall);
        EXPECT_GT(body["time"].asUInt64() + 1000, wall);
        EXPECT_TRUE(kept_at_age(*rp, 59999));
        EXPECT_FALSE(kept_at_age(*rp, 60000));
        mynet::test_wall_clock_step(-step);
    }
}

TEST_F(ReporterTest, PhaseOrEndOfARecordThatIsNotOpenQueuesNothing) {
    run_on_loop([&] {
        rp->t_phase("login", "k1", "ph", Json::Value());
        rp->t_end("login", "k1", false, "failed", Json::Value());
        Reporter2::SPT t = rp->t_start("invite", "c1", Json::Value());
        t->end(false, "recall", Json::Value());
        t->phase("ack", Json::Value());
        t->end(true, "again", Json::Value());
        rp->t_phase("invite", "c1", "ack", Json::Value());
    });
    auto has = [&](const std::string& body) { return count_body(log, body); };
    EXPECT_EQ(has("phase : can't find k k1 login ph"), 1u);
    EXPECT_EQ(has("end : can't find k k1 login "), 1u);
    EXPECT_EQ(has("phase : can't find k c1 invite ack"), 2u);
    EXPECT_EQ(has("end : can't find k c1 invite "), 1u);
    run_on_loop([&] {
        ASSERT_EQ(rp->reports.size(), 1u);
        EXPECT_EQ(rp->reports.front().body()["result"].asString(), "recall");
        EXPECT_EQ(rp->reports.front().body()["seq"].asUInt(), 0u);
        EXPECT_EQ(rp->m_seq, 1u);
        EXPECT_TRUE(rp->ts.empty());
    });
}

TEST_F(ReporterTest, SecondStartWithTheSameKeyReplacesTheFirst) {
    run_on_loop([&] {
        Json::Value v1, v2;
        v1["n"] = 1;
        v2["n"] = 2;
        Reporter2::SPT first = rp->t_start("call", "7_5", v1);
        Reporter2::SPT second = rp->t_start("call", "7_5", v2);
        ASSERT_EQ(rp->ts.size(), 1u);
        EXPECT_EQ(rp->ts.begin()->second, second);
        // The replaced record no longer ends the record open under its key.
        first->end(true, "success", Json::Value());
        EXPECT_EQ(rp->ts.size(), 1u);
        EXPECT_TRUE(rp->reports.empty());
        second->end(false, "timeout", Json::Value());
        EXPECT_TRUE(second->isdone);
        EXPECT_TRUE(rp->ts.empty());
        ASSERT_EQ(rp->reports.size(), 1u);
        EXPECT_EQ(rp->reports.front().body()["param_start"], v2);
        EXPECT_EQ(rp->reports.front().body()["result"].asString(), "timeout");
    });
    EXPECT_EQ(count_body(log, "end : can't find k 7_5 call "), 1u);
}

TEST_F(ReporterTest, DisabledReporterResolvesAndSendsNothing) {
    run_on_loop([&] { rp->m_enable = false; });
    end_record("a");
    mynet::test_clock_advance(1000);
    sleep_ms(400);
    EXPECT_TRUE(collector.reports().empty());
    EXPECT_FALSE(log.contains("rpt host"));
    EXPECT_FALSE(log.contains("new rpt udp"));
    EXPECT_EQ(queued(), 1u);
}

TEST_F(ReporterTest, DestroyedWithWorkPendingLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(ready());
    collector.set_reply(Reply::None);
    Reporter2::SPT open;
    end_record("a");
    run_on_loop([&] { open = rp->t_start("invite", "c1", Json::Value()); });
    ASSERT_TRUE(collector.wait_report(0, 3000));
    run_on_loop([&] {
        rp->m_wm_dns->_do_work();  // a resolution in flight as well
        rp.reset();
    });
    // Ticks, the socket's close and the resolution's answer all come after.
    mynet::test_clock_advance(6000);
    sleep_ms(300);
    run_on_loop([&] {
        open->phase("ack", Json::Value());
        open->end(false, "recall", Json::Value());
    });
    EXPECT_FALSE(log.contains("can't find k"));
    EXPECT_EQ(collector.reports().size(), 1u);
}

class ReporterIpv6Test : public ReporterTest {
protected:
    ReporterIpv6Test() : ReporterTest("::1") {}
    std::string collector_host() const override { return "::1"; }
};

TEST_F(ReporterIpv6Test, IPv6CollectorGetsItsReportsFromAnIPv6Socket) {
    end_record("a");
    mynet::test_clock_advance(1000);
    auto r0 = collector.wait_report(0, 3000);
    ASSERT_TRUE(r0);
    EXPECT_EQ(r0->json["seq"].asUInt(), 0u);
    ASSERT_TRUE(wait_on_loop([&] { return rp->reports.empty(); }, 3000));
    run_on_loop([&] {
        EXPECT_TRUE(rp->m_isipv6);
        EXPECT_EQ(rp->m_host_ips, std::vector<std::string>{"::1"});
    });
    EXPECT_GE(count_body(log, "rpt host ::1 ::1"), 1u);
}

// The collector's name, scripted.
class ReporterNamedCollectorTest : public ReporterTest {
protected:
    explicit ReporterNamedCollectorTest(const std::string& collector_ip = "127.0.0.1")
        : ReporterTest(collector_ip) {}
    std::string collector_host() const override { return "collector.test"; }

    // Moves the clock on in steps of 100 ms, a little faster than real time,
    // until done() holds; false after 10 s of real time.
    static bool advance_until(const std::function<bool()>& done) {
        for (int i = 0; i < 1000; ++i) {
            if (done()) return true;
            mynet::test_clock_advance(100);
            sleep_ms(10);
        }
        return done();
    }

    ScriptedName name{"collector.test", EAI_NONAME};
};

TEST_F(ReporterNamedCollectorTest, UnresolvableCollectorIsRetriedWithBackOffAndReachedOnceResolved) {
    end_record("a");
    ASSERT_TRUE(advance_until([&] { return name.lookups() >= 5; }));
    // Each retry waits at least twice as long as the one before.
    const std::vector<uint64_t> at = name.lookup_times();
    for (size_t i = 1; i < 5; ++i) EXPECT_GE(at[i] - at[i - 1], 200u << (i - 1)) << "retry " << i;
    EXPECT_TRUE(collector.reports().empty());
    EXPECT_EQ(queued(), 1u);
    EXPECT_FALSE(log.contains("rpt host"));

    name.answer({"127.0.0.1"});
    ASSERT_TRUE(advance_until([&] { return !collector.reports().empty(); }));
    auto report = collector.wait_report(0, 3000);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->json["seq"].asUInt(), 0u);
    EXPECT_TRUE(wait_on_loop([&] { return rp->reports.empty(); }, 3000));
    EXPECT_GE(count_body(log, "rpt host collector.test 127.0.0.1"), 1u);
}

class ReporterMixedAnswerTest : public ReporterNamedCollectorTest {
protected:
    ReporterMixedAnswerTest() : ReporterNamedCollectorTest("::1") {}
};

// With any IPv6 address in the answer the reporter speaks IPv6 only.
TEST_F(ReporterMixedAnswerTest, IPv4AddressesAreIgnoredOnceTheAnswerHoldsIPv6) {
    name.answer({"127.0.0.2", "::1", "127.0.0.1"});
    end_record("a");
    mynet::test_clock_advance(1000);
    ASSERT_TRUE(collector.wait_report(0, 3000));
    ASSERT_TRUE(wait_on_loop([&] { return rp->reports.empty(); }, 3000));
    run_on_loop([&] {
        EXPECT_TRUE(rp->m_isipv6);
        EXPECT_EQ(rp->m_host_ips, std::vector<std::string>{"::1"});
    });
    std::vector<std::string> hosts;
    run_on_loop([&] {  // no resolution half-logged
        for (const std::string& b : bodies(log))
            if (b.rfind("rpt host", 0) == 0) hosts.push_back(b);
    });
    // Each resolution logs the answer in its order (the IPv4 socket made
    // before the first one asks for another when it closes).
    const std::vector<std::string> one{"rpt host ignore collector.test 127.0.0.2", "rpt host collector.test ::1",
                                       "rpt host ignore collector.test 127.0.0.1"};
    ASSERT_FALSE(hosts.empty());
    ASSERT_EQ(hosts.size() % one.size(), 0u);
    for (size_t i = 0; i < hosts.size(); ++i) EXPECT_EQ(hosts[i], one[i % one.size()]);
}

}  // namespace
