// A bounded soak: many instances, made through the C++ binding, sign in to a
// line server that misbehaves at random while they invoke server methods and
// send messages; then the server calms down and every promise is checked.
//
//   NUVRA_SOAK_SECONDS    how long the faults go on (default: 55 under ASan, else 10)
//   NUVRA_SOAK_INSTANCES  how many instances (default 50; 20 under TSan)
//   NUVRA_SOAK_SEED       the server's and the driver's seed (default: from the clock)
// The seed is printed first, so a failing run can be replayed.

#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "loop.h"
#include "nuvra_sig.h"
#include "peers/chaos_line_server.h"
#include "peers/discovery_service.h"
#include "support/loop_handles.h"
#include "support/own_address.h"
#include "support/resident_memory.h"
#include "support/sanitizer_build.h"

namespace {

using Clock = std::chrono::steady_clock;
using nuvra_test::ChaosCounts;
using nuvra_test::ChaosLineServer;
using nuvra_test::DiscoveryService;

const char* const kInvokeMethod = "io.nuvra.signal.echo";
constexpr int kMaxPendingPerInstance = 24;
constexpr int kLogoutCode = 101;
constexpr int kAlreadyLoginCode = 208;
// Every so often the clocks jump past the longest time-outs, so calls in
// flight expire in bulk while their answers are still on the way, and
// telemetry kept for 60 s is let go (memory is compared only after a jump).
constexpr int kClockJumpEveryMs = 15000;
constexpr int64_t kClockJumpMs = 61000;

long env_number(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

struct SoakConfig {
    int seconds = 10;
    int instances = 50;
    uint64_t seed = 0;

    static SoakConfig from_env() {
        SoakConfig c;
#if defined(NUVRA_TEST_ASAN)
        c.seconds = 55;
#elif defined(NUVRA_TEST_TSAN)
        c.instances = 20;
#endif
        c.seconds = static_cast<int>(env_number("NUVRA_SOAK_SECONDS", c.seconds));
        c.instances = static_cast<int>(std::clamp(env_number("NUVRA_SOAK_INSTANCES", c.instances), 1L, 400L));
        const char* seed = std::getenv("NUVRA_SOAK_SEED");
        c.seed = seed && *seed ? std::strtoull(seed, nullptr, 10)
                               : static_cast<uint64_t>(Clock::now().time_since_epoch().count());
        return c;
    }
};

// Descriptors the process holds open, by kind ("socket", "pipe", ...).
using FdKinds = std::map<std::string, int>;

FdKinds open_fds() {
    FdKinds kinds;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return kinds;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == dirfd(dir)) continue;
        char target[256] = {0};
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(path.c_str(), target, sizeof(target) - 1) <= 0) continue;
        std::string kind = target;
        kinds[kind.substr(0, kind.find_first_of(":["))] += 1;
    }
    closedir(dir);
    return kinds;
}

// libuv keeps one descriptor of /dev/null per loop in reserve from its first
// stream on (to shed connections when descriptors run out): not ours to count.
FdKinds without_libuv_reserve(FdKinds kinds, const FdKinds& before) {
    auto it = kinds.find("/dev/null");
    auto was = before.find("/dev/null");
    if (it != kinds.end() && it->second == (was == before.end() ? 0 : was->second) + 1) --it->second;
    if (it != kinds.end() && it->second == 0) kinds.erase(it);
    return kinds;
}

// The loop's handles but one-shot timers, which end by themselves (the
// connect and discovery steps arm time-outs that cannot be cancelled).
std::string lasting_loop_handles() {
    std::vector<nuvra_test::LoopHandle> handles = nuvra_test::live_loop_handles();
    handles.erase(std::remove_if(handles.begin(), handles.end(), [](const auto& h) { return h.one_shot; }),
                  handles.end());
    return nuvra_test::describe(handles);
}

std::string describe(const FdKinds& kinds) {
    std::string out;
    for (const auto& [kind, n] : kinds) out += (out.empty() ? "" : ", ") + kind + " x" + std::to_string(n);
    return out;
}

// The process' memory at one moment of the run.
struct MemorySample {
    double seconds = 0;  // since the faults began
    long rss_kib = 0;
    long heap_kib = 0;

    static MemorySample take(Clock::time_point start) {
        return {std::chrono::duration<double>(Clock::now() - start).count(), nuvra_test::resident_kib(),
                nuvra_test::heap_in_use_kib()};
    }
};

// About a dozen samples spread over the run, then the last.
std::string describe(const std::vector<MemorySample>& samples, const MemorySample& last) {
    std::string out;
    auto add = [&out](const MemorySample& m) {
        out += (out.empty() ? "" : ", ") + std::to_string(static_cast<long>(m.seconds)) + ": " +
               std::to_string(m.rss_kib) + "/" + std::to_string(m.heap_kib);
    };
    const size_t step = std::max<size_t>(1, samples.size() / 12);
    for (size_t i = 0; i < samples.size(); i += step) add(samples[i]);
    add(last);
    return out;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What every instance was promised and what it got, kept small: only the
// calls and messages still waiting for their result are remembered.
class Ledger {
public:
    enum Phase { IDLE, LOGGING_IN, IN_SESSION, LOGGING_OUT };

    struct Instance {
        Phase phase = IDLE;
        Clock::time_point login_at{};
        std::unordered_set<uint64_t> calls;
        std::unordered_set<uint64_t> messages;
        int last_logout = 0;
    };

    explicit Ledger(int n) : m_instances(static_cast<size_t>(n)) {}

    std::mutex mtx;
    std::vector<Instance> m_instances;
    uint64_t next_id = 0;
    uint64_t calls_sent = 0, messages_sent = 0, logins_sent = 0, logouts_sent = 0;
    std::map<std::string, uint64_t> call_results;     // by error text, "" = ok
    std::map<int, uint64_t> message_results;          // 0 = success, else the code
    std::map<std::string, uint64_t> session_events;  // "onLogout 103", ...
    std::map<std::string, uint64_t> errors;          // onError by name and code
    uint64_t violations = 0;
    std::vector<std::string> first_violations;

    void violation(const std::string& what) {
        ++violations;
        if (first_violations.size() < 20) first_violations.push_back(what);
    }
};

// The application object of one instance; every event lands in the ledger.
class SoakCallBack : public nuvra_sdk_cpp::ICallBack {
public:
    SoakCallBack(Ledger& ledger, int index) : m_ledger(ledger), m_index(index) {}

    void onLoginSuccess(uint32_t, int) override {
        session("onLoginSuccess", {Ledger::LOGGING_IN}, Ledger::IN_SESSION);
    }
    void onLoginFailed(int ecode) override {
        session("onLoginFailed " + std::to_string(ecode), {Ledger::LOGGING_IN}, Ledger::IDLE);
    }
    void onLogout(int ecode) override {
        std::lock_guard<std::mutex> lock(m_ledger.mtx);
        me().last_logout = ecode;
        session_locked("onLogout " + std::to_string(ecode), {Ledger::IN_SESSION, Ledger::LOGGING_OUT}, Ledger::IDLE);
    }
    void onReconnecting(uint32_t) override {
        session("onReconnecting", {Ledger::IN_SESSION, Ledger::LOGGING_OUT}, std::nullopt);
    }
    void onReconnected(int) override {
        session("onReconnected", {Ledger::IN_SESSION, Ledger::LOGGING_OUT}, std::nullopt);
    }
    void onInvokeRet(const char* callID, size_t callID_size, const char* err, size_t err_size, const char*,
                     size_t) override {
        std::lock_guard<std::mutex> lock(m_ledger.mtx);
        settle(me().calls, std::string(callID, callID_size), "call");
        ++m_ledger.call_results[std::string(err, err_size)];
    }
    void onMessageSendSuccess(const char* messageID, size_t messageID_size) override {
        std::lock_guard<std::mutex> lock(m_ledger.mtx);
        settle(me().messages, std::string(messageID, messageID_size), "message");
        ++m_ledger.message_results[0];
    }
    void onMessageSendError(const char* messageID, size_t messageID_size, int ecode) override {
        std::lock_guard<std::mutex> lock(m_ledger.mtx);
        settle(me().messages, std::string(messageID, messageID_size), "message");
        ++m_ledger.message_results[ecode];
    }
    void onError(const char* name, size_t name_size, int ecode, const char*, size_t) override {
        std::lock_guard<std::mutex> lock(m_ledger.mtx);
        std::string key = std::string(name, name_size) + " " + std::to_string(ecode);
        ++m_ledger.errors[key];
        // The driver signs in only after the previous session was reported over.
        if (ecode == kAlreadyLoginCode) m_ledger.violation("instance " + std::to_string(m_index) + ": " + key);
    }

private:
    Ledger::Instance& me() { return m_ledger.m_instances[static_cast<size_t>(m_index)]; }

    void session(const std::string& event, std::initializer_list<Ledger::Phase> allowed,
                 std::optional<Ledger::Phase> next) {
        std::lock_guard<std::mutex> lock(m_ledger.mtx);
        session_locked(event, allowed, next);
    }

    void session_locked(const std::string& event, std::initializer_list<Ledger::Phase> allowed,
                        std::optional<Ledger::Phase> next) {
        ++m_ledger.session_events[event];
        if (std::find(allowed.begin(), allowed.end(), me().phase) == allowed.end())
            m_ledger.violation("instance " + std::to_string(m_index) + ": " + event + " in phase " +
                               std::to_string(me().phase));
        if (next) me().phase = *next;
    }

    // Ids are "c<n>" and "m<n>", n never reused: a result for an id that is
    // not waiting is a second result or one never asked for.
    void settle(std::unordered_set<uint64_t>& waiting, const std::string& id, const char* what) {
        uint64_t n = id.size() > 1 ? std::strtoull(id.c_str() + 1, nullptr, 10) : 0;
        if (waiting.erase(n) == 0)
            m_ledger.violation("instance " + std::to_string(m_index) + ": " + what + " " + id +
                               " has a result it should not have");
    }

    Ledger& m_ledger;
    int m_index;
};

// Counts the library's log lines (all instances log through the process-wide
// one), and among them the error lines of the line protocol.
class LogCounter : public nuvra_sdk_cpp::ICallBack {
public:
    void onLog(const char* txt, size_t txt_size) override {
        m_lines.fetch_add(1, std::memory_order_relaxed);
        std::string line(txt, txt_size);
        if (line.find(" error") != std::string::npos) m_errors.fetch_add(1, std::memory_order_relaxed);
    }
    uint64_t lines() const { return m_lines.load(); }
    uint64_t errors() const { return m_errors.load(); }

private:
    std::atomic<uint64_t> m_lines{0};
    std::atomic<uint64_t> m_errors{0};
};

class ChaosSoak : public ::testing::Test {
protected:
    void SetUp() override {
        cfg = SoakConfig::from_env();
        std::printf("soak: seed %" PRIu64 ", %d instances, %d s of faults (NUVRA_SOAK_SEED=%" PRIu64
                    " replays it)\n",
                    cfg.seed, cfg.instances, cfg.seconds, cfg.seed);
        std::fflush(stdout);
        rng.seed(cfg.seed ^ 0x5eed);
    }

    // The instances outlive the test; the objects installed on them do not.
    void TearDown() override {
        for (auto* api : apis) api->callbackSet(nullptr);
        getNuvraSDKInstanceCPP()->callbackSet(nullptr);
    }

    // The instances sign in to the chaotic server through discovery.
    void make_instances(uint16_t line_port) {
        nuvra_sdk_cpp::INuvraAPI* global = getNuvraSDKInstanceCPP();
        global->callbackSet(&log_counter);
        global->dbg("norpt", 5, "1", 1);
        std::string line_addr = "127.0.0.1:" + std::to_string(line_port);
        const std::string discovery_ip = nuvra_test::own_loopback_ip();
        ledger = std::make_unique<Ledger>(cfg.instances);
        for (int i = 0; i < cfg.instances; ++i) {
            nuvra_sdk_cpp::INuvraAPI* api = createNuvraSDKInstanceCPP();
            ASSERT_NE(api, nullptr);
            callbacks.push_back(std::make_unique<SoakCallBack>(*ledger, i));
            api->dbg("norpt", 5, "1", 1);
            api->dbg("lbss", 4, discovery_ip.data(), discovery_ip.size());
            api->dbg("_dbg_ap", 7, line_addr.data(), line_addr.size());
            api->callbackSet(callbacks.back().get());
            apis.push_back(api);
        }
    }

    void login(int i) {
        std::string account = "soak" + std::to_string(i);
        std::string device = "dev" + std::to_string(i);
        apis[static_cast<size_t>(i)]->login2("soakapp", 7, account.data(), account.size(), "token", 5,
                                             static_cast<uint32_t>(i + 1), device.data(), device.size(), 3600, 1000);
    }

    // One driver round: sign idle instances in again after a pause, send
    // calls and messages, now and then sign out by hand.
    void drive_round(bool sending) {
        auto now = Clock::now();
        for (int i = 0; i < cfg.instances; ++i) {
            enum { NOTHING, LOGIN, LOGOUT } session_step = NOTHING;
            uint64_t call_id = 0, message_id = 0;
            {
                std::lock_guard<std::mutex> lock(ledger->mtx);
                Ledger::Instance& in = ledger->m_instances[static_cast<size_t>(i)];
                if (in.phase == Ledger::IDLE && in.login_at == Clock::time_point{}) {
                    in.login_at = now + std::chrono::milliseconds(sending ? uniform(20, 600) : 0);
                } else if (in.phase == Ledger::IDLE && now >= in.login_at) {
                    in.phase = Ledger::LOGGING_IN;
                    in.login_at = {};
                    session_step = LOGIN;
                    ++ledger->logins_sent;
                } else if (sending && in.phase == Ledger::IN_SESSION && uniform(0, 99999) < 15) {
                    in.phase = Ledger::LOGGING_OUT;
                    session_step = LOGOUT;
                    ++ledger->logouts_sent;
                }
                if (sending && in.calls.size() < kMaxPendingPerInstance && uniform(0, 99) < 25) {
                    call_id = ++ledger->next_id;
                    in.calls.insert(call_id);
                    ++ledger->calls_sent;
                }
                if (sending && in.messages.size() < kMaxPendingPerInstance && uniform(0, 99) < 20) {
                    message_id = ++ledger->next_id;
                    in.messages.insert(message_id);
                    ++ledger->messages_sent;
                }
            }
            nuvra_sdk_cpp::INuvraAPI* api = apis[static_cast<size_t>(i)];
            if (session_step == LOGIN) login(i);
            if (session_step == LOGOUT) api->logout();
            if (call_id) {
                std::string id = "c" + std::to_string(call_id);
                std::string req = "{\"n\":" + std::to_string(call_id) + "}";
                api->invoke(kInvokeMethod, std::strlen(kInvokeMethod), req.data(), req.size(), id.data(), id.size());
            }
            if (message_id) {
                std::string id = "m" + std::to_string(message_id);
                std::string peer = "soak" + std::to_string((i + 1) % cfg.instances);
                std::string msg = "hello " + std::to_string(message_id);
                api->messageInstantSend(peer.data(), peer.size(), static_cast<uint32_t>(i + 2), msg.data(),
                                        msg.size(), id.data(), id.size());
            }
        }
    }

    // True once every instance is signed in with nothing left waiting.
    bool all_settled() {
        std::lock_guard<std::mutex> lock(ledger->mtx);
        for (int i = 0; i < cfg.instances; ++i) {
            const Ledger::Instance& in = ledger->m_instances[static_cast<size_t>(i)];
            if (in.phase != Ledger::IN_SESSION || !in.calls.empty() || !in.messages.empty()) return false;
            if (apis[static_cast<size_t>(i)]->getStatus() != 2) return false;
        }
        return true;
    }

    std::string unsettled() {
        std::lock_guard<std::mutex> lock(ledger->mtx);
        std::string out;
        for (int i = 0; i < cfg.instances; ++i) {
            const Ledger::Instance& in = ledger->m_instances[static_cast<size_t>(i)];
            if (in.phase == Ledger::IN_SESSION && in.calls.empty() && in.messages.empty() &&
                apis[static_cast<size_t>(i)]->getStatus() == 2)
                continue;
            out += " [" + std::to_string(i) + ": phase " + std::to_string(in.phase) + ", status " +
                   std::to_string(apis[static_cast<size_t>(i)]->getStatus()) + ", calls " +
                   std::to_string(in.calls.size()) + ", messages " + std::to_string(in.messages.size()) + "]";
        }
        return out;
    }

    // The housekeeping ticks after the jump have run once this returns.
    static void clock_jump() {
        mynet::test_clock_advance(kClockJumpMs);
        sleep_ms(300);
    }

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    SoakConfig cfg;
    std::mt19937_64 rng;
    LogCounter log_counter;
    std::unique_ptr<Ledger> ledger;
    std::vector<std::unique_ptr<SoakCallBack>> callbacks;
    std::vector<nuvra_sdk_cpp::INuvraAPI*> apis;
};

template <typename Map>
std::string figures(const Map& m) {
    std::string out;
    for (const auto& [k, v] : m) {
        std::string key;
        if constexpr (std::is_same_v<typename Map::key_type, std::string>)
            key = k.empty() ? "ok" : k;
        else
            key = k == 0 ? "success" : std::to_string(k);
        out += (out.empty() ? "" : ", ") + ("\"" + key + "\" ") + std::to_string(v);
    }
    return out;
}

void print_server_counts(const ChaosCounts& c) {
    std::printf(
        "soak: server: logins %" PRIu64 ", re-logins %" PRIu64 " (refused %" PRIu64 "), login answers withheld %" PRIu64
        "\n"
        "soak: server: calls %" PRIu64 ": delayed %" PRIu64 ", withheld %" PRIu64 ", duplicated %" PRIu64
        ", split %" PRIu64 ", batched %" PRIu64 ", refused %" PRIu64 ", unknown %" PRIu64 ", malformed %" PRIu64
        ", kick %" PRIu64 "\n"
        "soak: server: drops FIN %" PRIu64 ", RST %" PRIu64 ", kicks %" PRIu64 ", bad frames %" PRIu64
        ", junk texts %" PRIu64 ", pongs withheld %" PRIu64 ", restarts %" PRIu64 ", client frame errors %" PRIu64 "\n",
        c.logins, c.relogins, c.relogins_refused, c.logins_withheld, c.calls, c.answers_delayed, c.answers_withheld,
        c.answers_duplicated, c.answers_split, c.answers_batched, c.calls_refused, c.calls_unknown, c.calls_malformed,
        c.calls_kicked, c.drops_fin, c.drops_rst, c.kicks, c.bad_frames, c.junk_texts, c.pongs_withheld, c.restarts,
        c.client_errors);
}

TEST_F(ChaosSoak, EveryPromiseHoldsUnderARandomlyFailingLineServer) {
    DiscoveryService discovery(nuvra_test::own_loopback_ip());
    ASSERT_TRUE(discovery.ok());
    discovery.set_recording(false);
    ChaosLineServer server("127.0.0.1", cfg.seed);
    ASSERT_TRUE(server.ok());
    discovery.answer_ok({{"127.0.0.1", server.port()}});
    make_instances(server.port());
    ASSERT_EQ(static_cast<int>(apis.size()), cfg.instances);

    // What is left when every instance is signed out again.
    const FdKinds fds_before = open_fds();
    const std::string handles_before = lasting_loop_handles();

    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(cfg.seconds);
    auto next_jump = start + std::chrono::milliseconds(kClockJumpEveryMs);
    std::vector<MemorySample> memory;  // after each jump, when telemetry has been let go
    int clock_jumps = 0;
    while (Clock::now() < end) {
        drive_round(true);
        if (Clock::now() >= next_jump) {
            clock_jump();
            ++clock_jumps;
            next_jump += std::chrono::milliseconds(kClockJumpEveryMs);
            memory.push_back(MemorySample::take(start));
        }
        sleep_ms(10);
    }

    // Calm: withheld answers run into their time-out, lost lines come back.
    server.set_chaos(false);
    clock_jump();
    const auto calm_deadline = Clock::now() + std::chrono::seconds(30);
    while (!all_settled() && Clock::now() < calm_deadline) {
        drive_round(false);
        sleep_ms(20);
    }
    const double calm_s = std::chrono::duration<double>(Clock::now() - end).count();
    clock_jump();
    const MemorySample memory_end = MemorySample::take(start);
    const MemorySample memory_warm = memory.empty() ? memory_end : memory.front();
    EXPECT_TRUE(all_settled()) << "not signed in or still waiting:" << unsettled();

    // Every instance signs out by hand and hears so exactly once.
    {
        std::lock_guard<std::mutex> lock(ledger->mtx);
        for (auto& in : ledger->m_instances)
            if (in.phase == Ledger::IN_SESSION) in.phase = Ledger::LOGGING_OUT;
    }
    for (auto* api : apis) api->logout();
    const auto logout_deadline = Clock::now() + std::chrono::seconds(15);
    auto all_out = [&] {
        std::lock_guard<std::mutex> lock(ledger->mtx);
        return std::all_of(ledger->m_instances.begin(), ledger->m_instances.end(),
                           [](const Ledger::Instance& in) { return in.phase == Ledger::IDLE; });
    };
    const auto logout_start = Clock::now();
    while (!all_out() && Clock::now() < logout_deadline) sleep_ms(20);
    const double logout_s = std::chrono::duration<double>(Clock::now() - logout_start).count();
    EXPECT_TRUE(all_out());
    {
        std::lock_guard<std::mutex> lock(ledger->mtx);
        for (size_t i = 0; i < ledger->m_instances.size(); ++i)
            EXPECT_EQ(ledger->m_instances[i].last_logout, kLogoutCode) << "instance " << i;
    }

    // Nothing left behind: sockets, descriptors, timers.
    const auto leak_deadline = Clock::now() + std::chrono::seconds(15);
    std::string handles_after;
    FdKinds fds_after;
    for (;;) {
        handles_after = lasting_loop_handles();
        fds_after = without_libuv_reserve(open_fds(), fds_before);
        bool clean = handles_after == handles_before && fds_after == fds_before && server.open_connections() == 0;
        if (clean || Clock::now() >= leak_deadline) break;
        sleep_ms(50);
    }
    EXPECT_EQ(handles_after, handles_before);
    EXPECT_EQ(describe(fds_after), describe(fds_before));
    EXPECT_EQ(server.open_connections(), 0);

    ChaosCounts counts = server.counts();
    {
        std::lock_guard<std::mutex> lock(ledger->mtx);
        std::printf("soak: %d instances, %.1f s; sent: calls %" PRIu64 ", messages %" PRIu64 ", logins %" PRIu64
                    ", logouts %" PRIu64 "\n",
                    cfg.instances, std::chrono::duration<double>(Clock::now() - start).count(), ledger->calls_sent,
                    ledger->messages_sent, ledger->logins_sent, ledger->logouts_sent);
        std::printf("soak: settled %.1f s after the faults stopped, signed out in %.1f s\n", calm_s, logout_s);
        std::printf("soak: call results: %s\n", figures(ledger->call_results).c_str());
        std::printf("soak: message results: %s\n", figures(ledger->message_results).c_str());
        std::printf("soak: session events: %s\n", figures(ledger->session_events).c_str());
        std::printf("soak: onError: %s\n", figures(ledger->errors).c_str());
        print_server_counts(counts);
        std::printf("soak: clock jumps %d; fds [%s] -> [%s]; handles [%s] -> [%s]; log lines %" PRIu64
                    " (%" PRIu64 " with an error)\n",
                    clock_jumps, describe(fds_before).c_str(), describe(fds_after).c_str(), handles_before.c_str(),
                    handles_after.c_str(), log_counter.lines(), log_counter.errors());
        std::printf("soak: memory after jumps, s: RSS/heap KiB: %s\n", describe(memory, memory_end).c_str());
        for (const std::string& v : ledger->first_violations) std::printf("soak: violation: %s\n", v.c_str());
        std::fflush(stdout);
        EXPECT_EQ(ledger->violations, 0u) << "seed " << cfg.seed;
    }
    // The server saw every fault it was asked for at least once in a run of some length.
    if (cfg.seconds >= 30) {
        EXPECT_GT(counts.drops_fin + counts.drops_rst, 0u);
        EXPECT_GT(counts.restarts + counts.kicks, 0u);
    }
    // Flat after warm-up: what a slow leak would show. The heap is what the
    // program holds and is judged closely; resident memory also carries the
    // allocator's free pages, and ASan's quarantine of freed blocks grows for
    // a while by itself, so it gets more room.
    const long heap_allowed_kib = 4 * 1024 + memory_warm.heap_kib / 4;
    EXPECT_LT(memory_end.heap_kib - memory_warm.heap_kib, heap_allowed_kib)
        << "heap " << memory_warm.heap_kib << " KiB after warm-up, " << memory_end.heap_kib << " KiB at the end";
#if defined(NUVRA_TEST_ASAN)
    const long rss_allowed_kib = 256 * 1024;
#else
    const long rss_allowed_kib = 16 * 1024 + memory_warm.rss_kib / 10;
#endif
    EXPECT_LT(memory_end.rss_kib - memory_warm.rss_kib, rss_allowed_kib)
        << "RSS " << memory_warm.rss_kib << " KiB after warm-up, " << memory_end.rss_kib << " KiB at the end";
}

}  // namespace
