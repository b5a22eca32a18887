// Returns from main while a thread of its own keeps posting one operation:
//
//   exit_while_posting ping|dbg|messageInstantSend|channelJoin forever|burst SEED
//
// "forever" posts without a pause until the process has ended; "burst"
// queues 50 000 operations and returns from main once they are posted,
// while most of them still wait. There is no login: each operation runs on
// the network thread and reports through the log lines and events of the
// process-wide instance, which all reach one object here. SEED varies how
// long the traffic runs before main returns. It prints "exit began at N"
// when the exit begins and "exit handled at N" once the library's exit
// handler has returned, N the monotonic clock in nanoseconds. Ends with 0 when
// the process left cleanly, 2 when the traffic never came up, 5 when an
// operation began to run after the exit had begun, 4 when anything arrived
// after the library's exit handler had returned.

#include <nuvra_sig.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using nuvra_sdk_cpp::INuvraAPI;

constexpr long kTrafficBeforeExit = 1000;  // deliveries that show the traffic is up
constexpr long kBurst = 50000;
// How long the first delivery after the exit began is held back: long enough
// that the library's exit handler, the next one to run, has surely begun.
constexpr auto kHold = std::chrono::milliseconds(200);

std::atomic<long> g_before_exit{0};
std::atomic<bool> g_exit_began{false};
std::atomic<bool> g_held{false};
std::atomic<long> g_started_after_exit{0};
std::atomic<bool> g_exit_handled{false};

void say(int fd, const char* text) {
    ssize_t ignored = write(fd, text, std::strlen(text));
    (void)ignored;
}

void fail_now(const char* text, int code) {
    say(STDERR_FILENO, text);
    _exit(code);
}

// Every operation here writes one log line of the tag "usr" when it begins
// to run.
void delivered(bool begins_operation) {
    if (g_exit_handled.load()) fail_now("a delivery came after the library's exit handler had returned\n", 4);
    if (!g_exit_began.load()) {
        g_before_exit.fetch_add(1);
        return;
    }
    // The operation running when the exit began may finish; whatever begins
    // after this hold began after the library's exit handler did.
    if (!g_held.exchange(true)) {
        std::this_thread::sleep_for(kHold);
        return;
    }
    if (begins_operation) g_started_after_exit.fetch_add(1);
}

class Events : public nuvra_sdk_cpp::ICallBack {
public:
    void onLog(const char* txt, size_t) override { delivered(std::strstr(txt, ": usr ") != nullptr); }
    void onError(const char*, size_t, int, const char*, size_t) override { delivered(false); }
    void onMessageSendError(const char*, size_t, int) override { delivered(false); }
    void onChannelJoinFailed(const char*, size_t, int) override { delivered(false); }
};

// Made before the first instance, so destroyed only after the network
// thread has stopped.
Events g_events;

// "<what> at N", N the monotonic clock in nanoseconds.
void say_when(const char* what) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    std::snprintf(line, sizeof line, "%s at %lld\n", what,
                  static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    say(STDOUT_FILENO, line);
}

// Registered after the first instance: runs just before the library's own
// exit handler.
void exit_begins() {
    say_when("exit began");
    g_exit_began.store(true);
}

// Registered before the first instance: runs once the library's exit
// handler has returned.
void exit_handled() {
    say_when("exit handled");
    g_exit_handled.store(true);
    if (g_started_after_exit.load() > 0) fail_now("an operation began to run after the exit had begun\n", 5);
}

void post(INuvraAPI* api, const std::string& op, long k) {
    const std::string id = "m" + std::to_string(k);
    if (op == "ping") {
        api->ping();
    } else if (op == "dbg") {
        api->dbg(id.data(), id.size(), "1", 1);
    } else if (op == "messageInstantSend") {
        api->messageInstantSend("peer", 4, 0, "hello", 5, id.data(), id.size());
    } else {
        api->channelJoin(id.data(), id.size());
    }
}

bool traffic_is_up() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_before_exit.load() < kTrafficBeforeExit) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: exit_while_posting ping|dbg|messageInstantSend|channelJoin forever|burst SEED\n");
        return 1;
    }
    const std::string op = argv[1];
    const bool forever = std::strcmp(argv[2], "forever") == 0;
    const int seed = std::atoi(argv[3]);

    std::atexit(exit_handled);
    INuvraAPI* api = getNuvraSDKInstanceCPP();
    api->callbackSet(&g_events);
    std::atexit(exit_begins);

    std::thread poster([api, op, forever] {
        for (long k = 0; forever || k < kBurst; ++k) post(api, op, k);
    });
    if (forever) {
        poster.detach();
    } else {
        poster.join();
    }
    if (!traffic_is_up()) {
        std::fprintf(stderr, "no traffic: %ld deliveries\n", g_before_exit.load());
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds((seed * 7) % 20));
    return 0;
}
