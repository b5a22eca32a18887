#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "if_linkd.h"

namespace nuvra_test {

// A line connection brought up by hand on an engine fixture's engine, the
// way the connect step does it: a TCP client to the server, the stream
// wrapped in a ConnInfo (connid, this2, empty receive buffer, watchdog
// started) that becomes the engine's m_conn_info, the login text sent and
// login_time stamped. Every read goes through the connection's receive (a
// negative result closes the stream). Like the dispatcher, a "login_res ok "
// or "line_login_res ok" moves the connection to CONN_STATE_LOGINED with
// flag = m_tcp_conn_flag and sends the first ping, and a "line_pong:" on a
// logged-in connection stamps last_pong_recv_time.
//
//     class MyTest : public EngineFixture {
//         LineServer server;
//         LineFixture line{engine.get()};
//     };
//
// Construct and use it on the test thread; the engine and the connection
// belong to the network thread (reach them through on_loop).
class LineFixture {
public:
    using Info = std::shared_ptr<InterfaceLinkD::ConnInfo>;
    // Called on the network thread for every unpacked message, after the
    // handling above.
    using OnMessage = std::function<void(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const std::string& msg)>;

    static constexpr const char* kLoginText = "login {\"uid\":7}";

    // The engine outlives the fixture.
    explicit LineFixture(InterfaceLinkD* engine);
    // Closes the connection and waits for the stream's close.
    ~LineFixture();
    LineFixture(const LineFixture&) = delete;
    LineFixture& operator=(const LineFixture&) = delete;

    // Connects to host:port and sends login_text; true once the line is up.
    // Set on_message before.
    bool connect(uint16_t port, const std::string& login_text = kLoginText, const std::string& host = "127.0.0.1",
                 uint32_t connid = 1, int timeout_ms = 3000);

    // Runs f on the network thread with the engine and the connection (null
    // before connect) and waits for it.
    void on_loop(const std::function<void(InterfaceLinkD& engine, Info& info)>& f);
    // Evaluates pred on the network thread until it holds or timeout_ms passed.
    bool wait_on_loop(const std::function<bool(InterfaceLinkD& engine, Info& info)>& pred, int timeout_ms);

    // Every unpacked message so far, in order. Any thread.
    std::vector<std::string> messages() const;
    // True once the stream has reported its close. Any thread.
    bool closed() const;
    bool wait_closed(int timeout_ms) const;
    // mynet::mono_time_ms() when the stream reported its close.
    uint64_t closed_at_ms() const;

    OnMessage on_message;

private:
    struct Records;

    InterfaceLinkD* engine_;
    std::shared_ptr<Records> records_;
};

}  // namespace nuvra_test
