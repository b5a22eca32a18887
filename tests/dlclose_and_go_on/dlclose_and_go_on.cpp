// Loads the library with dlopen, uses an instance, closes the library with
// dlclose and goes on using the instance:
//
//   dlclose_and_go_on LIBRARY SERVICE_ADDRESS ACCOUNT
//
// Before dlclose it only installs its callback object and pings, so that the
// network thread has made nothing of its own that would hold the library in
// place; after it, it signs in through the local service, makes calls for a
// while, joins a channel and signs out. Ends with 0 when the library stayed
// loaded and the instance went on working after dlclose; 2 when the library
// or its entry point was not found or the ping not logged; 3 when dlclose
// failed or unloaded the library; 6 when the instance stopped working after
// dlclose.

#include <dlfcn.h>
#include <nuvra_sig.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

using nuvra_sdk_cpp::INuvraAPI;
using GetInstance = INuvraAPI* (*)();

class Events : public nuvra_sdk_cpp::ICallBack {
public:
    void onLoginSuccess(uint32_t, int) override { logged_in.store(true); }
    void onLogout(int) override { logged_out.store(true); }
    void onChannelJoined(const char*, size_t) override { joined.store(true); }
    void onInvokeRet(const char* callID, size_t callID_size, const char*, size_t, const char*, size_t) override {
        std::lock_guard<std::mutex> lock(mtx);
        answered.insert(std::string(callID, callID_size));
    }
    void onLog(const char*, size_t) override { log_lines.fetch_add(1); }

    bool was_answered(const std::string& call) {
        std::lock_guard<std::mutex> lock(mtx);
        return answered.count(call) != 0;
    }

    std::atomic<bool> logged_in{false};
    std::atomic<bool> logged_out{false};
    std::atomic<bool> joined{false};
    std::atomic<long> log_lines{0};

private:
    std::mutex mtx;
    std::set<std::string> answered;
};

// Made before the library is loaded, so it outlives the library's thread.
Events g_events;

template <class Pred>
bool wait_until(Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool echo(INuvraAPI* api, const std::string& call) {
    static const char kMethod[] = "io.nuvra.signal.echo", kArgs[] = "{\"n\":1}";
    api->invoke(kMethod, sizeof kMethod - 1, kArgs, sizeof kArgs - 1, call.data(), call.size());
    return wait_until([&] { return g_events.was_answered(call); });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: dlclose_and_go_on LIBRARY SERVICE_ADDRESS ACCOUNT\n");
        return 1;
    }
    const char* library = argv[1];
    const std::string service = argv[2], account = argv[3];

    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    auto get = reinterpret_cast<GetInstance>(dlsym(handle, "getNuvraSDKInstanceCPP"));
    if (!get) return 2;
    INuvraAPI* api = get();
    api->callbackSet(&g_events);
    api->dbg("lbss", 4, service.data(), service.size());
    api->dbg("norpt", 5, "1", 1);
    api->ping();
    if (!wait_until([] { return g_events.log_lines.load() > 0; })) return 2;

    if (dlclose(handle) != 0) {
        std::fprintf(stderr, "dlclose: %s\n", dlerror());
        return 3;
    }
    void* still = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (!still) {
        std::fprintf(stderr, "the library was unloaded\n");
        return 3;
    }
    dlclose(still);

    // The queue, the timers and the line go on: a login succeeds, calls are
    // answered, a channel is joined, log lines keep coming, the session ends
    // as asked.
    const long lines_before = g_events.log_lines.load();
    api->login("unload", 6, account.data(), account.size(), "t", 1, 0, "d", 1);
    if (!wait_until([] { return g_events.logged_in.load(); })) {
        std::fprintf(stderr, "no login after dlclose\n");
        return 6;
    }
    for (int i = 0; i < 10; ++i) {
        if (!echo(api, "after-" + std::to_string(i))) {
            std::fprintf(stderr, "call %d after dlclose not answered\n", i);
            return 6;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    api->channelJoin("room", 4);
    if (!wait_until([] { return g_events.joined.load(); })) return 6;
    api->logout();
    if (!wait_until([] { return g_events.logged_out.load(); })) return 6;
    if (g_events.log_lines.load() <= lines_before) return 6;
    return 0;
}
