#pragma once

#include <cstdint>
#include <string>

namespace perf {

// The reference for the call rows: a bare libuv client on the library's own
// loop that writes one prepared frame, cuts the answer frames out of what it
// reads and writes the frame again for each answer, keeping `width` frames in
// flight until `total` answers came. Returns the seconds from the first write
// to the last answer; negative when the peer cannot be reached.
double bare_uv_pipelined_seconds(uint16_t port, const std::string& frame, int width, int total);

}  // namespace perf
