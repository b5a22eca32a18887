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
//   every libuv handle opened since the fixture was built must be closed
//   within a few seconds; a test declares what the protocol leaves running past its
//   end (a 10 s connect time-out, a name resolution's time-out, a delayed
//   proxy release) with allow_handles(n). A leak fails the test and names the handle kinds.
// - Process-wide settings change through RAII guards (ProxyGuard).

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "if_linkd.h"
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
    // n more handles may outlive the test.
    void allow_handles(int n) { allowed_handles_ += n; }

    // Declared first: the engine's events go here until it is destroyed.
    RecordingCallBack cb;
    std::unique_ptr<InterfaceLinkD> engine;

private:
    int handles_before_ = 0;
    int allowed_handles_ = 0;
};

// The queue every test engine runs its work through, as an instance's does.
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
