#include "support/command_line.h"

#include <pystring/pystring.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace nuvra_test {

namespace {

// "call_ret <method> <id> <x> <json>" to the call transport.
void route_call_ret(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const std::string& msg) {
    if (info.state != InterfaceLinkD::CONN_STATE_LOGINED || !pystring::startswith(msg, "call_ret ")) return;
    std::vector<std::string> f;
    pystring::split(msg, f, " ", 4);
    f.resize(5);
    engine.m_main_slot.process_tcp_call_res(static_cast<uint32_t>(std::strtoul(f[2].c_str(), nullptr, 10)), f[4],
                                            info.conn ? info.conn->getRemoteIP() : "");
}

}  // namespace

bool CommandLine::up() {
    if (!server.ok()) return false;
    line.on_message = route_call_ret;
    if (!line.connect(server.port())) return false;
    if (!line.wait_on_loop([](InterfaceLinkD& e, LineFixture::Info& info) {
            return e.m_tcp_connected && info && info->last_pong_recv_time != 0;
        }, kWaitMs))
        return false;
    run([](InterfaceLinkD& e) {
        e.set_login_state(InterfaceLinkD::LOGIN_STATE_LOGINED);
        e.set_line(kLine);
        e.m_account = kAccount;
        e.m_uid = kUid;
        // As if just polled, so that no poll call mixes with the commands'.
        e.m_time_poll_last = mynet::mono_time_ms();
    });
    return true;
}

void CommandLine::run(const std::function<void(InterfaceLinkD&)>& f) {
    line.on_loop([&](InterfaceLinkD& e, LineFixture::Info&) { f(e); });
}

void CommandLine::run_and_time_out(const std::function<void(InterfaceLinkD&)>& f) {
    run([&](InterfaceLinkD& e) {
        f(e);
        mynet::test_clock_advance(10001);
        e.m_main_slot.check_timeout();
    });
}

std::vector<ReceivedCall> CommandLine::calls() const {
    std::vector<ReceivedCall> out;
    for (const Received& r : server.received())
        if (auto c = parse_call(r)) out.push_back(*c);
    return out;
}

std::optional<ReceivedCall> CommandLine::wait_call(const std::string& method) const {
    return server.wait_for_call(method, kWaitMs);
}

std::string CommandLine::request_text(const ReceivedCall& call) {
    const std::string head = "call " + call.method + " " + std::to_string(call.id) + " 0 ";
    return call.frame.text.compare(0, head.size(), head) == 0 ? call.frame.text.substr(head.size()) : "";
}

bool CommandLine::wait_events(size_t n, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (events().size() < n) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace nuvra_test
