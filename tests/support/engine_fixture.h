#pragma once

// The base of every engine test:
//
//     class MyTest : public nuvra_test::EngineFixture { ... };
//     TEST_F(MyTest, X) { on_engine([](InterfaceLinkD& e) { ... }); }
//
// - `engine` is built on the network thread, before the test's own members,
//   with the process' real queue and the events recorded in `cb`; telemetry
//   is kept local (rp.m_enable = false), so reports stay queued where a test
//   reads them. Touch it on the network thread only: on_engine, read,
//   wait_engine.
// - TearDown destroys the engine on the network thread, before the test's
//   own members, so no engine callback outlives what it records into (a
//   derived TearDown calls EngineFixture::TearDown last; a test may destroy
//   it earlier with destroy_engine). Once the test's members are gone too,
//   every libuv handle opened during the test must be closed within a few
//   seconds, except the one-shot time-outs the protocol leaves running,
//   which a test declares with allow_timeouts(ms): those due within ms may
//   outlive it (the 10 s time-out of a step the test leaves unfinished, a
//   proxy association's 10 s delayed release). A leak fails the test and
//   names the handles.
// - Process-wide settings change through RAII guards (ProxyGuard).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "support/loop_handles.h"
#include "support/recording_callback.h"

namespace nuvra_test {

class EngineFixture : public ::testing::Test {
protected:
    EngineFixture();
    ~EngineFixture() override;
    void TearDown() override;

    // Runs f on the network thread with the engine and waits for it.
    void on_engine(const std::function<void(InterfaceLinkD&)>& f);
    template <typename T> T read(const std::function<T(InterfaceLinkD&)>& f) {
        T value{};
        on_engine([&](InterfaceLinkD& e) { value = f(e); });
        return value;
    }
    // Evaluates pred on the network thread until it holds or timeout_ms passed.
    bool wait_engine(const std::function<bool(InterfaceLinkD&)>& pred, int timeout_ms);
    // Destroys the engine now, on the network thread.
    void destroy_engine();
    // One-shot time-outs due within ms may outlive the test.
    void allow_timeouts(uint64_t ms) { allowed_timeouts_ms_ = std::max(allowed_timeouts_ms_, ms); }

    // Declared first: the engine's events go here until it is destroyed.
    RecordingCallBack cb;
    std::unique_ptr<InterfaceLinkD> engine;

private:
    // Handles the test opened and did not close, beyond the allowance.
    std::vector<LoopHandle> handles_left() const;

    std::set<const void*> handles_before_;
    uint64_t allowed_timeouts_ms_ = 0;
};

// The queue every test engine runs its work through, as an instance's does.
// The first call waits for the network thread, so it is made off that thread.
mynet::Async& engine_queue();

// Restores the process-wide proxy when it goes; the second form also sets
// it for its life.
class ProxyGuard {
public:
    ProxyGuard();
    ProxyGuard(const std::string& host, int port);
    ~ProxyGuard();
    ProxyGuard(const ProxyGuard&) = delete;
    ProxyGuard& operator=(const ProxyGuard&) = delete;

private:
    std::string host_;
    int port_ = 0;
};

}  // namespace nuvra_test
