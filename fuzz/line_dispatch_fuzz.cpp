#include <uv.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "if_linkd.h"
#include "log.h"
#include "loop.h"

namespace {

using Engine = InterfaceLinkD;

bool drop_line(const char*) { return true; }

// What the session reported during one input.
struct Events : nuvra_sdk::ICallBack {
    Engine* engine = nullptr;
    int login_success = 0;
    int login_failed = 0;
    int logout = 0;
    int reconnected = 0;

    void onLoginSuccess(uint32_t uid, int) override {
        ++login_success;
        if (uid != engine->m_uid || engine->m_line.empty() || engine->m_login_state != Engine::LOGIN_STATE_LOGINED)
            __builtin_trap();
    }
    void onLoginFailed(int) override {
        ++login_failed;
        if (engine->m_login_state != Engine::LOGIN_STATE_NOT_LOGIN) __builtin_trap();
    }
    void onLogout(int) override {
        ++logout;
        if (!engine->m_line.empty() || engine->m_login_state != Engine::LOGIN_STATE_NOT_LOGIN) __builtin_trap();
    }
    void onReconnected(int) override {
        ++reconnected;
        if (engine->m_login_state != Engine::LOGIN_STATE_LOGINED) __builtin_trap();
    }
};

// The server's settings a login answer may change, with the values of a new
// engine.
int Engine::*const kConfig[] = {
    &Engine::m_config_call_mode,       &Engine::m_config_call_timeout,    &Engine::m_config_call_retry_time,
    &Engine::m_config_call_concurrent, &Engine::m_config_msg_set,         &Engine::m_config_msg_v3,
    &Engine::m_config_channel_msgid,   &Engine::m_config_channel_extra,   &Engine::m_config_ping_time,
    &Engine::m_config_line_login3,     &Engine::m_config_msgid_cache_time, &Engine::m_config_inst_msg_with_msgid,
};
constexpr size_t kConfigCount = sizeof(kConfig) / sizeof(kConfig[0]);

// One engine, one line connection and one stream for the whole run; each
// input puts them back into the state it asks for. The loop never runs, so
// nothing that the engine starts reaches the network.
struct World {
    Events events;
    Engine* engine;
    std::shared_ptr<Engine::ConnInfo> info = std::make_shared<Engine::ConnInfo>();
    mynet::NetworkTcpStream* stream;
    int config_defaults[kConfigCount];

    World() {
        SetLogSink2(drop_line);
        mynet::init();
        engine = new Engine(&events, nullptr);
        events.engine = engine;
        engine->rp.m_enable = false;
        engine->_log_report_rate = 0;
        engine->m_account = "me";
        engine->m_vid = "app";
        // A stream with no socket: the handlers only ask it for its peer.
        auto* record = new mynet::NetworkTcpStream::tcp_t();
        uv_tcp_init(uv_default_loop(), &record->handle);
        stream = new mynet::NetworkTcpStream(record);
        for (size_t k = 0; k < kConfigCount; ++k) config_defaults[k] = engine->*kConfig[k];
    }
};

World& world() {
    static World* w = new World();
    return *w;
}

// Byte 0 of an input.
constexpr int kLoginStateMask = 0x03;
constexpr int kConnStateShift = 2;
constexpr uint8_t kCallMode1 = 0x10;
constexpr uint8_t kMsgSet1 = 0x20;
constexpr uint8_t kChannelMsgid1 = 0x40;
constexpr uint8_t kInChannel = 0x80;

void reset(World& w, uint8_t setup) {
    Engine& e = *w.engine;
    const int login_state = setup & kLoginStateMask;
    const bool has_line = login_state == Engine::LOGIN_STATE_LOGINED || login_state == Engine::LOGIN_STATE_RECONNECTING;
    e.set_login_state(login_state);
    e.set_line(has_line ? "L1" : "");
    e.m_uid = has_line ? 7 : 0;
    e.next_login_attempt("conn");
    e.m_tcp_connected = login_state == Engine::LOGIN_STATE_LOGINED;
    e.m_retry_max_time = 0;
    e.m_tcp_call_id = 0;
    for (size_t k = 0; k < kConfigCount; ++k) e.*kConfig[k] = w.config_defaults[k];
    e.m_config_call_mode = (setup & kCallMode1) ? 1 : 0;
    e.m_config_msg_set = (setup & kMsgSet1) ? 1 : 0;
    e.m_config_channel_msgid = (setup & kChannelMsgid1) ? 1 : 0;
    e.m_ver_clear = 0;
    e.m_ver_notify = 0;
    e.m_is_polling = false;
    e.m_poll_again = false;
    e.m_time_poll_ack = 0;
    e.m_channel_msgid = 0;
    e.set_channel_name((setup & kInChannel) ? "ch" : "");
    e.m_cid = (setup & kInChannel) ? "c1" : "";

    Engine::ConnInfo& info = *w.info;
    info.state = (setup >> kConnStateShift & 0x03) % 3;
    info.flag = 1;
    info.ping_i = 0;
    info.connid = 1;
    info.this2 = &e;
    e.m_conn_info = w.info;
    w.events.login_success = w.events.login_failed = w.events.logout = w.events.reconnected = 0;
}

// Frees what the input left in the engine, so that every input starts from
// the same state and a run that keeps memory is a leak.
void clean_up(World& w) {
    Engine& e = *w.engine;
    e.msgIDBuf.tick(mynet::mono_time_ms(), 0);
    e.m_msgs_wait_clear.erase(e.m_msgs_wait_clear.ids());
    e.m_invite_ts.clear();
    e.set_line("");
    e.set_channel_name("");
    e.m_cid.clear();
    e.m_conn_info.reset();
    LogClear(INT_MAX);
}

// Ends whatever is still waiting, the way time ends it.
void finish_calls(Engine& e) {
    for (int round = 0; round < 8; ++round) {
        if (e.m_main_slot.calls.empty() && e.m_main_slot.calls_calling.empty()) return;
        mynet::test_clock_advance(int64_t{INT_MAX} + 1);
        e.m_main_slot.check_timeout();
    }
    e.m_main_slot.clear();
}

}  // namespace

// Byte 0: the engine's login state (bits 0-1), the connection's state (bits
// 2-3, modulo 3), call mode 1, message set 1, channel message ids, a current
// channel (bits 4-7). The rest: texts from the line server, one a line,
// dispatched in turn on that connection, while two calls of the application
// wait (in flight once logged in, as call ids 1 and 2). Whatever the texts,
// each call gets exactly one result, and the session events stay consistent:
// at most one login result and only for a login running, at most one logout,
// at most one reconnection and only for a session resuming; once time has
// ended what still waited, nothing is left in flight.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& w = world();
    Engine& e = *w.engine;
    const uint8_t setup = data[0];
    reset(w, setup);
    const int start_state = e.m_login_state;

    std::vector<int> results(2, 0);
    if (start_state != Engine::LOGIN_STATE_NOT_LOGIN) {
        for (int& count : results) {
            Json::Value req(Json::objectValue);
            req["line"] = e.m_line;
            e.call_api(0, "user_fuzz", req, [&count](int, const std::string&, const Json::Value&) {
                if (++count > 1) __builtin_trap();
            }, false);
        }
    }

    const std::string texts(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t start = 0;
    while (start <= texts.size()) {
        size_t end = texts.find('\n', start);
        if (end == std::string::npos) end = texts.size();
        e.process_conn_msg(1, w.stream, w.info, texts.substr(start, end - start));
        if (e.m_login_state < Engine::LOGIN_STATE_NOT_LOGIN || e.m_login_state > Engine::LOGIN_STATE_RECONNECTING)
            __builtin_trap();
        if (e.m_login_state == Engine::LOGIN_STATE_LOGINED && e.m_line.empty()) __builtin_trap();
        if (w.info->state < Engine::CONN_STATE_CONNECTED || w.info->state > Engine::CONN_STATE_CLOSED) __builtin_trap();
        start = end + 1;
    }

    const Events& ev = w.events;
    if (ev.login_success + ev.login_failed > 1 || ev.logout > 1 || ev.reconnected > 1) __builtin_trap();
    if (ev.login_success + ev.login_failed > 0 && start_state != Engine::LOGIN_STATE_LOGINING) __builtin_trap();
    if (ev.reconnected > 0 && start_state != Engine::LOGIN_STATE_RECONNECTING) __builtin_trap();

    finish_calls(e);
    const Engine::CallSlot& slot = e.m_main_slot;
    if (!slot.calls.empty() || !slot.calls_calling.empty() || slot.n_call_tcp != 0) __builtin_trap();
    for (int count : results)
        if (start_state != Engine::LOGIN_STATE_NOT_LOGIN && count != 1) __builtin_trap();
    clean_up(w);
    return 0;
}
