// Each test runs in a process of its own, as ctest runs them: the pool, the
// process-wide instance and the log sink belong to the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "loop.h"
#include "nuvra_api.h"
#include "nuvra_api_cpp.h"
#include "nuvra_sig.h"
#include "peers/discovery_service.h"
#include "peers/line_server.h"
#include "support/binding_recorders.h"
#include "support/own_address.h"
#include "support/recording_callback.h"

namespace {

using nuvra_test::RecordingCallBack;

// Lines a recorder's onLog received that contain text.
size_t lines_with(const nuvra_test::AppEvents& app, const std::string& text) {
    size_t n = 0;
    for (const std::string& e : app.named("onLog"))
        if (e.find(text) != std::string::npos) ++n;
    return n;
}

size_t lines_with(const RecordingCallBack& cb, const std::string& text) {
    size_t n = 0;
    for (const std::string& e : cb.named("onLog"))
        if (e.find(text) != std::string::npos) ++n;
    return n;
}

// What a caller-thread log line leaves on standard output.
std::string printed_by(const char* marker) {
    testing::internal::CaptureStdout();
    PlatLog2(kLogInfo, kLogPlatform, "%s", marker);
    return testing::internal::GetCapturedStdout();
}

// Returns once everything posted to the wrapper's instance before has run, by
// installing again what the wrapper installed.
//
// Objects installed on an instance outlive their installation: each test
// installs the empty defaults before its objects go out of scope.
void settle(nuvra_sdk_cpp::INuvraAPI* wrapper) { wrapper->callbackSet(wrapper->callbackGet()); }

TEST(InstancePool, HandsOutFiveHundredThenReusesDestroyedOnesLowestFirst) {
    std::vector<nuvra_sdk_cpp::INuvraAPI*> made;
    for (int i = 0; i < 500; ++i) made.push_back(createNuvraSDKInstanceCPP());
    EXPECT_EQ(std::set<nuvra_sdk_cpp::INuvraAPI*>(made.begin(), made.end()).size(), 500u);
    EXPECT_EQ(std::count(made.begin(), made.end(), nullptr), 0);
    EXPECT_EQ(createNuvraSDKInstanceCPP(), nullptr);
    EXPECT_EQ(createNuvraSDKInstanceC(), nullptr);

    nuvra_test::RecordingAppCallBack h3;
    made[3]->callbackSet(&h3);
    made[7]->destroy();
    made[3]->destroy();
    settle(made[7]);
    settle(made[3]);

    // The lowest destroyed entry first, with the wrapper and the object it had.
    nuvra_sdk_cpp::INuvraAPI* again = createNuvraSDKInstanceCPP();
    EXPECT_EQ(again, made[3]);
    EXPECT_EQ(again->callbackGet(), &h3);
    // Entry 7 was handed out by the C++ binding; the C binding makes its own table.
    INuvraAPIC* table = createNuvraSDKInstanceC();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->api, static_cast<nuvra_sdk_cpp::NuvraAPI*>(made[7])->api);
    EXPECT_EQ(table->callbackGet(table), nullptr);
    EXPECT_EQ(createNuvraSDKInstanceCPP(), nullptr);
    table->release(table);
}

TEST(InstancePool, MakesNewInstancesWhileNotFullEvenWithOneDestroyed) {
    std::vector<nuvra_sdk::INuvraAPI*> made;
    for (int i = 0; i < 10; ++i) made.push_back(nuvra_sdk::createNuvraSDKInstance());
    made[4]->destroy();
    made[4]->callbackSet(nullptr);
    nuvra_sdk::INuvraAPI* next = nuvra_sdk::createNuvraSDKInstance();
    EXPECT_EQ(std::count(made.begin(), made.end(), next), 0);
    EXPECT_EQ(nuvra_sdk::getInstanceCookie(next, nuvra_sdk::Binding::Cpp), nullptr);
    EXPECT_EQ(nuvra_sdk::getInstanceCookie(next, nuvra_sdk::Binding::C), nullptr);
}

TEST(ProcessInstance, EveryGetReturnsTheSameWrapperAndTheVersionIsLoggedOnce) {
    testing::internal::CaptureStdout();
    INuvraAPIC* table = getNuvraSDKInstanceC();
    nuvra_sdk_cpp::INuvraAPI* wrapper = getNuvraSDKInstanceCPP();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(getNuvraSDKInstanceC(), table);
    EXPECT_EQ(getNuvraSDKInstanceCPP(), wrapper);
    EXPECT_EQ(table->api, static_cast<nuvra_sdk_cpp::NuvraAPI*>(wrapper)->api);
    size_t first = out.find(" : new NuvraAPI, version: 1.3.3.1_c2fb16d\n");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find("new NuvraAPI", first + 4), std::string::npos) << out;
}

TEST(LogSink, RoutesEachLineByWhatTheProcessInstanceHasInstalled) {
    EXPECT_NE(printed_by("before any instance").find("before any instance"), std::string::npos);
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::getNuvraSDKInstance();
    nuvra_sdk::INuvraAPI* pooled = nuvra_sdk::createNuvraSDKInstance();

    inst->dbg("nolog", "true");
    EXPECT_EQ(printed_by("while nolog"), "");
    // Nobody sees a line then: those that are not kept are not even formatted.
    EXPECT_FALSE(nuvra_sdk::nuvra_log_seen());
    pooled->dbg("nolog", "TRUE");
    EXPECT_TRUE(nuvra_sdk::nuvra_log_seen());
    EXPECT_NE(printed_by("nolog off").find("nolog off"), std::string::npos);

    RecordingCallBack h;
    RecordingCallBack pooled_h;
    inst->callbackSet(&h);
    pooled->callbackSet(&pooled_h);
    EXPECT_EQ(printed_by("to the object"), "");
    EXPECT_EQ(lines_with(h, "to the object"), 1u);
    inst->dbg("nolog", "true");
    EXPECT_TRUE(nuvra_sdk::nuvra_log_seen());
    inst->dbg("nolog", "false");
    EXPECT_EQ(lines_with(pooled_h, "to the object"), 0u);

    inst->callbackSet(nullptr);
    EXPECT_EQ(printed_by("to nobody"), "");
    EXPECT_EQ(lines_with(h, "to nobody"), 0u);
    // "nolog" off changes nothing once the empty defaults are installed.
    inst->dbg("nolog", "false");
    EXPECT_EQ(printed_by("still nobody"), "");
}

TEST(Facade, GettersBeforeAnyLogin) {
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::createNuvraSDKInstance();
    EXPECT_EQ(inst->callbackGet(), nullptr);
    EXPECT_EQ(inst->getSdkVersion(), 1010303001);
    EXPECT_FALSE(inst->isOnline());
    EXPECT_EQ(inst->getStatus(), 0);

    RecordingCallBack h;
    inst->callbackSet(&h);
    EXPECT_EQ(inst->callbackGet(), &h);
    inst->callbackSet(nullptr);
    EXPECT_NE(inst->callbackGet(), nullptr);
    EXPECT_NE(inst->callbackGet(), &h);
}

TEST(Facade, CallbackSetReturnsOnceInstalledBehindEarlierSteps) {
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::getNuvraSDKInstance();
    RecordingCallBack first;
    RecordingCallBack second;
    inst->callbackSet(&first);
    // Posted before the change: its line goes to the object installed then.
    inst->dbg("posted_before", "1");
    inst->callbackSet(&second);
    EXPECT_EQ(lines_with(first, "posted_before"), 1u);
    EXPECT_EQ(lines_with(second, "posted_before"), 0u);
    // Installed on return: the very next line of this thread reaches it.
    PlatLog2(kLogInfo, kLogPlatform, "right after");
    EXPECT_EQ(lines_with(second, "right after"), 1u);
    EXPECT_EQ(lines_with(first, "right after"), 0u);
    inst->callbackSet(nullptr);
}

// The engine's log lines show what each posted step handed it.
TEST(Facade, StepsHandTheEngineTheirAdjustedArguments) {
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::getNuvraSDKInstance();
    RecordingCallBack h;
    inst->callbackSet(&h);
    // A step names its query by the wall clock when it runs.
    mynet::test_wall_clock_step(1000000000);
    uint64_t before = mynet::get_time_in_ms();
    inst->channelQueryUserNum("c");
    inst->setAttr("_conn_timeout", "5");
    inst->setAttr("_conn_timeout", "");
    inst->setAttr("other", "5");
    // "nolog" stays on the caller's thread; any other key reaches the engine.
    inst->dbg("nolog", "false");
    inst->dbg("mode", "x");
    inst->callbackSet(&h);
    uint64_t after = mynet::get_time_in_ms();

    std::vector<std::string> queries;
    for (const std::string& e : h.named("onLog"))
        if (e.find("user_channel_query_num") != std::string::npos) queries.push_back(e);
    ASSERT_EQ(queries.size(), 1u);
    unsigned long long id = 0;
    ASSERT_EQ(sscanf(queries[0].substr(queries[0].find("msgID=")).c_str(), "msgID=\"queryMsgNum_%llu\"", &id), 1)
        << queries[0];
    EXPECT_GE(id, before);
    EXPECT_LE(id, after);
    EXPECT_EQ(lines_with(h, "user_set_attr name=\"_conn_timeout\" value=\"20\""), 1u);
    EXPECT_EQ(lines_with(h, "user_set_attr name=\"_conn_timeout\" value=\"\""), 1u);
    EXPECT_EQ(lines_with(h, "user_set_attr name=\"other\" value=\"5\""), 1u);
    EXPECT_EQ(lines_with(h, "a=\"nolog\""), 0u);
    EXPECT_EQ(lines_with(h, "user_dbg a=\"mode\" b=\"x\""), 1u);
    inst->callbackSet(nullptr);
}

TEST(Facade, ConnTimeoutIsKeptWithinTwentyAndOneHundredTwenty) {
    const std::pair<const char*, const char*> cases[] = {
        {"5", "20"},           {"500", "120"},
        {"60", "60"},          {"abc", "20"},
        {"30abc", "30abc"},    {"  45", "  45"},
        {"+90", "+90"},        {"-5", "20"},
        {"20", "20"},          {"120", "120"},
        {"121", "120"},        {"99999999999999999999999", "120"},
        {"4294967336", "120"}, {"-99999999999999999999999", "20"},
    };
    for (const auto& c : cases) EXPECT_EQ(nuvra_sdk::conn_timeout_value(c.first), c.second) << c.first;
}

TEST(Facade, StopWritesOneLineAndStartNeverReturns) {
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::getNuvraSDKInstance();
    RecordingCallBack h;
    inst->callbackSet(&h);
    inst->stop();
    std::vector<std::string> lines = h.named("onLog");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : todo nuvra_api.cpp : 351 \n"), std::string::npos) << lines[0];

    std::atomic<bool> returned{false};
    std::thread([&] {
        inst->start();
        returned = true;
    }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    // The instance still serves its callers while a thread sits in start.
    inst->callbackSet(&h);
    inst->callbackSet(nullptr);
}

// Runs `act` once, from inside the onLog of the first line that contains
// `trigger`.
class ActOnLine : public RecordingCallBack {
public:
    ActOnLine(std::string trigger, std::function<void()> act) : m_trigger(std::move(trigger)), m_act(std::move(act)) {}
    void onLog(std::string txt) override {
        RecordingCallBack::onLog(txt);
        if (txt.find(m_trigger) == std::string::npos || m_done.exchange(true)) return;
        m_act();
        m_acted = true;
    }
    bool acted() const { return m_acted.load(); }

private:
    std::string m_trigger;
    std::function<void()> m_act;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_acted{false};
};

bool wait_until(const std::function<bool()>& pred) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(FromInsideAnEvent, NetworkThreadCallsNeverWaitForThemselves) {
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::getNuvraSDKInstance();
    RecordingCallBack next;
    nuvra_sdk_cpp::INuvraAPI* made = nullptr;
    INuvraAPIC* made_c = nullptr;
    ActOnLine h("network_trigger", [&] {
        inst->start();
        made = createNuvraSDKInstanceCPP();
        made_c = createNuvraSDKInstanceC();
        inst->callbackSet(&next);
    });
    inst->callbackSet(&h);
    inst->dbg("network_trigger", "1");
    ASSERT_TRUE(wait_until([&] { return h.acted(); }));
    EXPECT_NE(made, nullptr);
    ASSERT_NE(made_c, nullptr);
    EXPECT_EQ(made_c->getSdkVersion(made_c), 1010303001);
    EXPECT_TRUE(wait_until([&] { return inst->callbackGet() == &next; }));
    inst->callbackSet(nullptr);
    made_c->release(made_c);
}

TEST(FromInsideAnEvent, CallerThreadLogLineMayReplaceItsOwnObject) {
    nuvra_sdk::INuvraAPI* inst = nuvra_sdk::getNuvraSDKInstance();
    RecordingCallBack next;
    ActOnLine h("caller_trigger", [&] { inst->callbackSet(&next); });
    inst->callbackSet(&h);
    PlatLog2(kLogInfo, kLogPlatform, "caller_trigger");
    EXPECT_TRUE(h.acted());
    ASSERT_TRUE(wait_until([&] { return inst->callbackGet() == &next; }));
    PlatLog2(kLogInfo, kLogPlatform, "after the change");
    EXPECT_EQ(lines_with(next, "after the change"), 1u);
    inst->callbackSet(nullptr);
}

TEST(FromInsideAnEvent, BindingsReplaceAndReleaseFromInsideTheirOwnLogLine) {
    nuvra_sdk_cpp::INuvraAPI* wrapper = getNuvraSDKInstanceCPP();
    nuvra_test::RecordingAppCallBack second;
    struct Replacing : nuvra_test::RecordingAppCallBack {
        nuvra_sdk_cpp::INuvraAPI* wrapper;
        nuvra_sdk_cpp::ICallBack* next;
        std::atomic<bool> triggered{false};
        std::atomic<bool> done{false};
        void onLog(const char* txt, size_t n) override {
            RecordingAppCallBack::onLog(txt, n);
            if (std::string(txt, n).find("cpp_trigger") == std::string::npos || triggered.exchange(true)) return;
            wrapper->callbackSet(next);
            done = true;
        }
    } first;
    first.wrapper = wrapper;
    first.next = &second;
    wrapper->callbackSet(&first);
    wrapper->dbg("cpp_trigger", 11, "1", 1);
    ASSERT_TRUE(wait_until([&] { return first.done.load(); }));
    settle(wrapper);
    EXPECT_EQ(wrapper->callbackGet(), &second);
    wrapper->dbg("after_cpp", 9, "1", 1);
    ASSERT_TRUE(second.wait_for("onLog|", 5000));
    settle(wrapper);
    EXPECT_EQ(lines_with(second, "after_cpp"), 1u);
    EXPECT_EQ(lines_with(first, "after_cpp"), 0u);

    // The C table, released from inside a line delivered to its structure.
    static INuvraAPIC* table;
    static std::atomic<int> after_release;
    static std::atomic<bool> released;
    table = getNuvraSDKInstanceC();
    nuvra_test::RecordingAppCallBackC app;
    app.slot.cb.onLog = [](ICallBackC*, const char* txt, size_t n) {
        if (released.load()) ++after_release;
        if (std::string(txt, n).find("c_trigger") != std::string::npos && !released.exchange(true))
            table->release(table);
    };
    table->callbackSet(table, app.c());
    table->dbg(table, "c_trigger", 9, "1", 1);
    ASSERT_TRUE(wait_until([&] { return released.load(); }));
    settle(wrapper);
    wrapper->dbg("after_c", 7, "1", 1);
    settle(wrapper);
    EXPECT_EQ(after_release.load(), 0);
    // A fresh table, not the one that was freed.
    INuvraAPIC* fresh = getNuvraSDKInstanceC();
    EXPECT_EQ(fresh->callbackGet(fresh), nullptr);
    wrapper->callbackSet(nullptr);
}

TEST(FromInsideAnEvent, ReleaseWaitsForALineStillRunningInTheStructure) {
    static std::atomic<int> inside;
    static std::atomic<bool> released;
    static std::atomic<int> touched_after;
    INuvraAPIC* table = getNuvraSDKInstanceC();
    nuvra_test::RecordingAppCallBackC app;
    app.slot.cb.onLog = [](ICallBackC*, const char*, size_t) {
        ++inside;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (released.load()) ++touched_after;
        --inside;
    };
    table->callbackSet(table, app.c());
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int i = 0; i < 4; ++i)
        loggers.emplace_back([&] {
            while (!stop.load()) PlatLog2(kLogInfo, kLogPlatform, "busy");
        });
    ASSERT_TRUE(wait_until([&] { return inside.load() > 0; }));
    table->release(table);
    released = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (std::thread& t : loggers) t.join();
    EXPECT_EQ(touched_after.load(), 0);
}

TEST(BindingCallbackSet, ReplacingTheObjectLeavesNoGapForConcurrentLines) {
    constexpr int kLoggers = 4;
    nuvra_sdk_cpp::INuvraAPI* wrapper = getNuvraSDKInstanceCPP();
    nuvra_test::RecordingAppCallBack h;
    std::atomic<bool> installed{false};
    std::atomic<bool> stop{false};
    // Lines each logger wrote once the first callbackSet had returned.
    std::vector<size_t> written_after(kLoggers, 0);
    std::vector<std::thread> loggers;
    for (int t = 0; t < kLoggers; ++t)
        loggers.emplace_back([&, t] {
            while (!stop.load()) {
                bool after = installed.load();
                PlatLog2(kLogInfo, kLogPlatform, "gap %d %d", t, after ? 1 : 0);
                if (after) ++written_after[t];
            }
        });
    wrapper->callbackSet(&h);
    installed = true;
    // Each change makes a new adapter and frees the one it replaced.
    for (int i = 0; i < 20; ++i) wrapper->callbackSet(&h);
    stop = true;
    for (std::thread& t : loggers) t.join();
    for (int t = 0; t < kLoggers; ++t)
        EXPECT_EQ(lines_with(h, "gap " + std::to_string(t) + " 1"), written_after[t]) << "logger " << t;
    EXPECT_EQ(h.unterminated(), 0);
    wrapper->callbackSet(nullptr);
}

// The sequence that once let callbackSet return early: a line written on
// another thread is still running in the process-wide structure while an
// event of a pooled instance replaces that instance's structure from inside
// itself. callbackSet on the process-wide table must still outlast the line,
// so that main may free the structure it replaced.
TEST(BindingCallbackSet, OutlastsALineOfAnotherThreadWhileAnEventReplacesAnotherObject) {
    static std::atomic<bool> sleeping;
    static std::atomic<bool> line_ended;
    INuvraAPIC* table = getNuvraSDKInstanceC();
    auto* first = new nuvra_test::RecordingAppCallBackC;
    first->slot.cb.onLog = [](ICallBackC* self, const char* txt, size_t n) {
        if (std::string(txt, n).find(" : todo ") == std::string::npos) return;
        sleeping = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Still inside the structure after the sleep.
        self->onDbg(self, "slept", 5, "", 0);
        line_ended = true;
    };
    table->callbackSet(table, first->c());

    static INuvraAPIC* pooled;
    static nuvra_test::RecordingAppCallBackC* pooled_next;
    pooled = createNuvraSDKInstanceC();
    ASSERT_NE(pooled, nullptr);
    nuvra_test::RecordingAppCallBackC pooled_first;
    nuvra_test::RecordingAppCallBackC next;
    pooled_next = &next;
    pooled_first.slot.cb.onError = [](ICallBackC*, const char*, size_t, int, const char*, size_t) {
        pooled->callbackSet(pooled, pooled_next->c());
    };
    pooled->callbackSet(pooled, pooled_first.c());

    struct Joined : std::thread {
        using std::thread::thread;
        ~Joined() { join(); }
    } stopper([table] { table->stop(table); });
    ASSERT_TRUE(wait_until([] { return sleeping.load(); }));
    // Refused before any login: the refusal's onError replaces the structure.
    pooled->channelJoin(pooled, "c", 1);
    ASSERT_TRUE(wait_until([] { return pooled->callbackGet(pooled) == pooled_next->c(); }));
    pooled->channelJoin(pooled, "c", 1);
    ASSERT_TRUE(next.wait_for("onError|", 5000));
    EXPECT_FALSE(line_ended.load());

    nuvra_test::RecordingAppCallBackC second;
    table->callbackSet(table, second.c());
    EXPECT_TRUE(line_ended.load());
    delete first;
    table->callbackSet(table, nullptr);
    pooled->callbackSet(pooled, nullptr);
}

// A login holds its instance's queue until the line answers; release must
// not wait for that, and nothing may reach the released structure after it.
TEST(ReleaseOfATable, ReturnsAtOnceWhileALoginAnswerIsWithheld) {
    nuvra_test::LineServer line;
    ASSERT_TRUE(line.ok());
    line.on_text("login ", nuvra_test::answer({}));
    const std::string discovery_ip = nuvra_test::own_loopback_ip();
    nuvra_test::DiscoveryService discovery(discovery_ip);
    ASSERT_TRUE(discovery.ok()) << discovery_ip;
    discovery.answer_ok({{"127.0.0.1", line.port()}});
    const std::string line_addr = "127.0.0.1:" + std::to_string(line.port());

    // Events that reached the structure once release had returned; the
    // others read the freed structure, which ASan reports. Nothing hands the
    // released table out again: the instance's cookie no longer names it.
    static std::atomic<bool> released;
    static std::atomic<int> reached_after;
    INuvraAPIC* table = createNuvraSDKInstanceC();
    ASSERT_NE(table, nullptr);
    auto* core = static_cast<nuvra_sdk::INuvraAPI*>(table->api);
    auto* app = new nuvra_test::RecordingAppCallBackC;
    app->slot.cb.onLoginSuccess = [](ICallBackC*, uint32_t, int) { reached_after += released.load(); };
    app->slot.cb.onLoginFailed = [](ICallBackC*, int) { reached_after += released.load(); };
    app->slot.cb.onLogout = [](ICallBackC*, int) { reached_after += released.load(); };
    table->callbackSet(table, app->c());
    table->dbg(table, "norpt", 5, "1", 1);
    table->dbg(table, "lbss", 4, discovery_ip.data(), discovery_ip.size());
    table->dbg(table, "_dbg_ap", 7, line_addr.data(), line_addr.size());
    table->login(table, "vid", 3, "c_user", 6, "token", 5, 7, "device", 6);
    auto login_sent = [&] {
        for (const nuvra_test::Received& r : line.received())
            if (r.text.rfind("login ", 0) == 0) return true;
        return false;
    };
    ASSERT_TRUE(wait_until(login_sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    auto before = std::chrono::steady_clock::now();
    table->release(table);
    auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    released = true;
    delete app;
    EXPECT_LT(took_ms.count(), 50);

    line.push_text(nuvra_test::kLastConn, nuvra_test::login_ok_text(7, "line1"));
    EXPECT_TRUE(wait_until([core] { return core->isOnline(); }));
    core->logout();
    EXPECT_TRUE(wait_until([core] { return !core->isOnline(); }));
    EXPECT_EQ(reached_after.load(), 0);
    EXPECT_EQ(nuvra_sdk::getInstanceCookie(core, nuvra_sdk::Binding::C), nullptr);
}

TEST(Threads, EightThreadsUseTheFourExportsAndLogAtOnce) {
    constexpr int kThreads = 8;
    nuvra_test::RecordingAppCallBack h;
    std::vector<nuvra_sdk_cpp::INuvraAPI*> wrappers(kThreads), made(kThreads);
    std::vector<INuvraAPIC*> tables(kThreads), made_c(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) PlatLog2(kLogInfo, kLogPlatform, "thread %d line %d", t, i);
            wrappers[t] = getNuvraSDKInstanceCPP();
            tables[t] = getNuvraSDKInstanceC();
            made[t] = createNuvraSDKInstanceCPP();
            made_c[t] = createNuvraSDKInstanceC();
            if (t == 0) wrappers[t]->callbackSet(&h);
            for (int i = 50; i < 100; ++i) PlatLog2(kLogInfo, kLogPlatform, "thread %d line %d", t, i);
            made[t]->dbg("from_thread", 11, "x", 1);
        });
    for (std::thread& t : threads) t.join();
    for (int t = 1; t < kThreads; ++t) {
        EXPECT_EQ(wrappers[t], wrappers[0]);
        EXPECT_EQ(tables[t], tables[0]);
    }
    EXPECT_EQ(std::set<nuvra_sdk_cpp::INuvraAPI*>(made.begin(), made.end()).size(), size_t(kThreads));
    EXPECT_EQ(std::set<INuvraAPIC*>(made_c.begin(), made_c.end()).size(), size_t(kThreads));
    for (INuvraAPIC* table : made_c) table->release(table);
    wrappers[0]->callbackSet(nullptr);
}

}  // namespace
