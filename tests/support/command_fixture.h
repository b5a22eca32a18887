#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "support/command_line.h"
#include "support/engine_fixture.h"

namespace nuvra_test {

// The base of the command tests: an engine fixture whose engine is logged in
// on a real line to the test line server (see CommandLine); a test whose
// line does not come up stops in SetUp.
//
//     class MyCommands : public nuvra_test::CommandFixture { ... };
//     TEST_F(MyCommands, X) { line.run([](InterfaceLinkD& e) { e.user_...(); }); }
class CommandFixture : public EngineFixture {
protected:
    void SetUp() override { ASSERT_TRUE(line.up()); }

    // The engine's call id counter.
    uint32_t call_ids();
    // Waits until no call is queued or in flight on the line.
    bool all_answered();
    // The request of the first call of method, parsed; null when none came.
    Json::Value request_of(const std::string& method);

    CommandLine line{engine.get(), cb};
};

}  // namespace nuvra_test
