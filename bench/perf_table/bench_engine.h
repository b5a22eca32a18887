#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "if_linkd.h"

namespace perf {

// Session events counted; a message-sent hook for the driver's chains. The
// engine calls back on the network thread only.
class CountingEvents : public nuvra_sdk::ICallBack {
public:
    void onLoginSuccess(uint32_t, int) override { logins.fetch_add(1); }
    void onReconnected(int) override { reconnects.fetch_add(1); }
    void onMessageSendSuccess(std::string) override {
        if (on_sent) on_sent();
    }
    void onMessageSendError(std::string, int) override { send_errors.fetch_add(1); }

    std::atomic<int> logins{0};
    std::atomic<int> reconnects{0};
    std::atomic<int> send_errors{0};
    std::function<void()> on_sent;
};

// An engine that signs in the way an application's does: discovery on
// `discovery_ip` (the debug key "lbss"), then the line server it names.
// Telemetry stays off. Built and destroyed on the network thread.
struct BenchEngine {
    explicit BenchEngine(const std::string& discovery_ip, const std::string& tcp_flag = "1");
    ~BenchEngine();
    BenchEngine(const BenchEngine&) = delete;
    BenchEngine& operator=(const BenchEngine&) = delete;

    // Starts a login (on the network thread) as `account`.
    void start_login(const std::string& account = "bench");
    // Waits until onLoginSuccess has come `n` times in all.
    bool wait_logins(int n, int timeout_ms);
    bool wait_reconnects(int n, int timeout_ms);

    CountingEvents events;
    std::unique_ptr<InterfaceLinkD> engine;
};

// Spins until counter reaches value or timeout_ms passed.
bool wait_count(const std::atomic<int>& counter, int value, int timeout_ms);

}  // namespace perf
