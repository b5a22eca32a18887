#include <cstddef>
#include <cstdint>
#include <string>

#include "line_msg_wire.h"

using namespace line_msg;

// The first byte is the connection state (modulo 3), the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int state = data[0] % 3;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const LineMsg m = parse_line_msg(state, text);

    if (m.kind < 0 || m.kind >= KIND_COUNT) __builtin_trap();
    // Each state understands only its own kinds.
    const bool awaiting = m.kind <= RELOGIN_REFUSED;
    const bool logged_in = m.kind >= PONG && m.kind <= UNKNOWN;
    if (state == kAwaitingLogin && !awaiting) __builtin_trap();
    if (state == kLoggedIn && !logged_in) __builtin_trap();
    if (state == 2 && m.kind != IGNORED) __builtin_trap();

    // An accepted login always leaves the engine with a session to end.
    if (m.kind == LOGIN_OK && m.line.empty()) __builtin_trap();
    if (m.config[CONFIG_CALL_TIMEOUT] && *m.config[CONFIG_CALL_TIMEOUT] < 0) __builtin_trap();
    if (m.config[CONFIG_CALL_CONCURRENT] && *m.config[CONFIG_CALL_CONCURRENT] <= 0) __builtin_trap();
    if (m.kind == LOGIN_REFUSED && m.code != login_refusal_code(m.reason)) {
        if (m.code != 201 || !m.reason.empty()) __builtin_trap();
    }
    if (m.kind == RELOGIN_REFUSED && m.code != 102 && m.code != 103) __builtin_trap();
    // The last field keeps every byte after its blanks.
    if ((m.kind == CALL_RET || m.kind == NOTIFY_CHANNEL) && m.text.size() >= text.size()) __builtin_trap();
    return 0;
}
