// Signs instances in through a local service that keeps dropping the lines
// of some of them, sends a burst and leaves the process while the traffic,
// the reconnections and their name resolutions are under way:
//
//   exit_mid_traffic SERVICE_ADDRESS return|exit-in-handler|exit-on-thread SEED
//
// "return" returns from main, "exit-in-handler" calls exit() from the next
// event handler on the network thread, "exit-on-thread" calls exit() on a
// thread of its own. SEED varies how long after the burst it leaves. Ends
// with 0 when the process left cleanly, 2 when the traffic never came up,
// 3 when no exit came, 4 when an event or log line reached the program after
// its static objects had begun to be destroyed.

#include <dlfcn.h>
#include <netdb.h>
#include <nuvra_sig.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using nuvra_sdk_cpp::INuvraAPI;

constexpr int kSteady = 2;   // lines the service leaves up
constexpr int kDropped = 6;  // lines it drops after every login
constexpr int kInstances = kSteady + kDropped;
constexpr int kBurst = 20;

std::atomic<bool> g_exit_in_handler{false};
std::atomic<int> g_logged_in{0};
std::atomic<int> g_reconnecting{0};
std::atomic<long> g_events{0};

// What the handlers touch lives at namespace scope, made before the first
// instance: it is destroyed only after the library's thread has stopped.
std::mutex g_log_mtx;
std::string g_last_log;
long g_log_lines = 0;

// Set by the first destructor of a static object of this file (the last
// one made); atomics need no destruction.
std::atomic<bool> g_torn_down{false};

// Nothing may reach the program once its objects are being destroyed.
void check_not_torn_down() {
    if (!g_torn_down.load()) return;
    static const char kText[] = "a callback ran after static destruction had begun\n";
    ssize_t ignored = write(STDERR_FILENO, kText, sizeof kText - 1);
    (void)ignored;
    _exit(4);
}

class Events : public nuvra_sdk_cpp::ICallBack {
public:
    void onLoginSuccess(uint32_t, int) override {
        ++g_logged_in;
        event();
    }
    void onReconnecting(uint32_t) override {
        ++g_reconnecting;
        event();
    }
    void onReconnected(int) override { event(); }
    void onLogout(int) override { event(); }
    void onLoginFailed(int) override { event(); }
    void onChannelJoined(const char*, size_t) override { event(); }
    void onMessageSendSuccess(const char*, size_t) override { event(); }
    void onMessageSendError(const char*, size_t, int) override { event(); }
    void onMessageInstantReceive(const char*, size_t, uint32_t, const char*, size_t) override { event(); }
    void onMessageChannelReceive(const char*, size_t, const char*, size_t, uint32_t, const char*, size_t) override {
        event();
    }
    void onInvokeRet(const char*, size_t, const char*, size_t, const char*, size_t) override { event(); }
    void onError(const char*, size_t, int, const char*, size_t) override { event(); }
    void onLog(const char* txt, size_t txtn) override {
        check_not_torn_down();
        std::lock_guard<std::mutex> lock(g_log_mtx);
        g_last_log.assign(txt, txtn);
        ++g_log_lines;
    }

private:
    void event() {
        check_not_torn_down();
        ++g_events;
        if (g_exit_in_handler.load()) std::exit(0);
    }
};

Events g_handlers[kInstances];

struct TearDownMark {
    ~TearDownMark() { g_torn_down.store(true); }
} g_tear_down_mark;

using GetAddrInfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

}  // namespace

// Names take 20 ms to resolve, as through a DNS server, so that lookups are
// still on libuv's workers while the process leaves.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    static GetAddrInfoFn real = reinterpret_cast<GetAddrInfoFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return real(node, service, hints, res);
}

namespace {

struct Text {
    Text(const char* s) : p(s), n(std::strlen(s)) {}
    const char* p;
    size_t n;
};

std::string account_of(int i) { return i < kSteady ? "steady-" + std::to_string(i) : "drop-" + std::to_string(i); }

bool wait_for(const std::atomic<int>& counter, int at_least) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (counter.load() < at_least) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void burst(INuvraAPI* api, int i) {
    const Text room = "room";
    api->channelJoin(room.p, room.n);
    for (int k = 0; k < kBurst; ++k) {
        const std::string id = "m" + std::to_string(i) + "-" + std::to_string(k);
        const std::string to = account_of((i + 1) % kInstances), msg = "hello " + id;
        api->messageInstantSend(to.data(), to.size(), 0, msg.data(), msg.size(), id.data(), id.size());
        api->messageChannelSend(room.p, room.n, msg.data(), msg.size(), id.data(), id.size());
    }
    const Text method = "io.nuvra.signal.echo", args = "{\"n\":1}";
    const std::string call = "c" + std::to_string(i);
    api->invoke(method.p, method.n, args.p, args.n, call.data(), call.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: exit_mid_traffic SERVICE_ADDRESS return|exit-in-handler|exit-on-thread SEED\n");
        return 1;
    }
    const Text service = argv[1];
    const std::string way = argv[2];
    const int seed = std::atoi(argv[3]);

    INuvraAPI* apis[kInstances];
    for (int i = 0; i < kInstances; ++i) {
        apis[i] = i == 0 ? getNuvraSDKInstanceCPP() : createNuvraSDKInstanceCPP();
        if (!apis[i]) return 2;
        apis[i]->callbackSet(&g_handlers[i]);
        const Text lbss = "lbss", norpt = "norpt", on = "1";
        apis[i]->dbg(lbss.p, lbss.n, service.p, service.n);
        apis[i]->dbg(norpt.p, norpt.n, on.p, on.n);
        const Text app = "exit", token = "t", device = "d";
        const std::string account = account_of(i);
        apis[i]->login2(app.p, app.n, account.data(), account.size(), token.p, token.n, 0, device.p, device.n, 3600,
                        1000000);
    }
    if (!wait_for(g_logged_in, kInstances) || !wait_for(g_reconnecting, 1)) {
        std::fprintf(stderr, "no traffic: %d logged in, %d reconnecting\n", g_logged_in.load(),
                     g_reconnecting.load());
        return 2;
    }
    for (int i = 0; i < kInstances; ++i) burst(apis[i], i);
    std::this_thread::sleep_for(std::chrono::milliseconds((seed * 7) % 40));

    if (way == "exit-in-handler") {
        g_exit_in_handler.store(true);
    } else if (way == "exit-on-thread") {
        std::thread([] { std::exit(0); }).detach();
    } else {
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::seconds(30));
    return 3;
}
