#include "support/command_fixture.h"

#include "support/parsed_json.h"

namespace nuvra_test {

uint32_t CommandFixture::call_ids() {
    uint32_t n = 0;
    line.run([&](InterfaceLinkD& e) { n = e.m_tcp_call_id; });
    return n;
}

bool CommandFixture::all_answered() {
    return line.line.wait_on_loop(
        [](InterfaceLinkD& e, LineFixture::Info&) {
            return e.m_main_slot.calls.empty() && e.m_main_slot.calls_calling.empty();
        },
        CommandLine::kWaitMs);
}

Json::Value CommandFixture::request_of(const std::string& method) {
    auto call = line.wait_call(method);
    return call ? parsed(CommandLine::request_text(*call)) : Json::Value();
}

}  // namespace nuvra_test
