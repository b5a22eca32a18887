#include <cstddef>
#include <cstdint>
#include <string>

#include "json_text.h"
#include "line_msg_wire.h"

using namespace line_msg;

namespace {

// Each setting m carries is the unsigned number the body holds under its key.
bool settings_follow_answer(const LineMsg& m, const Json::Value& body) {
    for (int k = 0; k < CONFIG_COUNT; ++k) {
        const std::optional<int>& got = m.config[k];
        const Json::Value& member = json_member(body, kConfigKeyNames[k]);
        // A key absent or not an unsigned number leaves the setting as it was.
        if (!member.isUInt()) {
            if (got) return false;
            continue;
        }
        if (got && *got != static_cast<int>(member.asUInt())) return false;
    }
    return true;
}

}  // namespace

// The input is the body of an accepted login, "login_res ok " + field + " "
// + body. The answer is usable exactly when the body names a uid (0 too) and a
// line id; every setting it carries is taken as the number it is, and
// the ones the engine could not use (a negative call time-out, no calls in
// flight at all) are left as they were.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const LineMsg m = parse_line_msg(kAwaitingLogin, "login_res ok 0 " + body);

    Json::Value parsed;
    const bool is_object = parse_json(body, parsed) && parsed.isObject();
    const Json::Value& uid = json_member(parsed, "uid");
    const Json::Value& line = json_member(parsed, "line");
    const bool usable = is_object && uid.isUInt() && line.isString() && !json_as_string(line).empty();
    if (m.kind != (usable ? LOGIN_OK : LOGIN_MALFORMED)) __builtin_trap();
    if (!usable) {
        for (const auto& setting : m.config)
            if (setting) __builtin_trap();
        return 0;
    }
    if (m.uid != uid.asUInt() || m.line != json_as_string(line)) __builtin_trap();
    if (!settings_follow_answer(m, parsed)) __builtin_trap();
    if (m.config[CONFIG_CALL_TIMEOUT] && *m.config[CONFIG_CALL_TIMEOUT] < 0) __builtin_trap();
    if (m.config[CONFIG_CALL_CONCURRENT] && *m.config[CONFIG_CALL_CONCURRENT] <= 0) __builtin_trap();

    // The third field, whatever it holds, does not change the answer.
    const LineMsg again = parse_line_msg(kAwaitingLogin, "login_res ok 9f:x " + body);
    if (again.kind != m.kind || again.uid != m.uid || again.line != m.line) __builtin_trap();
    return 0;
}
