#include <cstddef>
#include <cstdint>
#include <string>

#include "json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Json::Value first;
    if (!parse_json(text, first)) return 0;
    const std::string written = JSON2STRING(first);
    Json::Value second;
    if (!parse_json(written, second)) __builtin_trap();
    if (!(second == first)) __builtin_trap();
    if (JSON2STRING(second) != written) __builtin_trap();
    json_string(first, "k");
    json_uint64(json_index(first, 0), "k");
    json_number_equals(json_member(first, "k"), 0);
    return 0;
}
