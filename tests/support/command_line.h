#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "peers/line_server.h"
#include "support/line_fixture.h"
#include "support/log_capture.h"
#include "support/recording_callback.h"

namespace nuvra_test {

// An engine logged in the way a session has it (state LOGINED, line id
// kLine, account kAccount, uid kUid) on a real line to the test line server,
// with the server's call answers routed to the call transport as the
// dispatcher routes them. For command tests, on an engine fixture's engine:
//
//     class MyCommands : public EngineFixture {
//         CommandLine line{engine.get(), cb};
//     };
class CommandLine {
public:
    CommandLine(InterfaceLinkD* engine, const RecordingCallBack& events) : line(engine), events_(events) {}

    static constexpr const char* kLine = "L1";
    static constexpr const char* kAccount = "me";
    static constexpr uint32_t kUid = 7;
    static constexpr int kWaitMs = 3000;

    // Connects and waits for the first pong; false when the line did not come up.
    bool up();

    // Runs f on the network thread and waits for it.
    void run(const std::function<void(InterfaceLinkD&)>& f);
    // Runs f, then moves the clocks past the call time-out and lets the
    // transport expire what is pending, all in one go on the network thread.
    void run_and_time_out(const std::function<void(InterfaceLinkD&)>& f);

    // Every "call " frame received so far, in order.
    std::vector<ReceivedCall> calls() const;
    // The first call of method, waiting for it.
    std::optional<ReceivedCall> wait_call(const std::string& method) const;
    // The request text of a received call: what follows "call <method> <id> 0 ".
    static std::string request_text(const ReceivedCall& call);

    std::vector<std::string> events() const { return events_.events(); }
    // Waits until at least n events were recorded.
    bool wait_events(size_t n, int timeout_ms = kWaitMs) const;

    // Declared first so that it is gone last: the engine logs until destroyed.
    LogCapture log;
    LineServer server;
    LineFixture line;

private:
    const RecordingCallBack& events_;
};

}  // namespace nuvra_test
