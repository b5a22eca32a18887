#include <cstddef>
#include <cstdint>
#include <string>

#include "call_answer.h"

// Whatever the bytes, the answer is exactly one of the three results, and
// only a clean "ok" has no reason text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const CallAnswer a = parse_call_answer(text);
    if (a.result != 0 && a.result != -1 && a.result != -2) __builtin_trap();
    if (a.result == 0 && !a.reason.empty()) __builtin_trap();
    if (a.result == 0 && !a.resp.isObject()) __builtin_trap();
    return 0;
}
