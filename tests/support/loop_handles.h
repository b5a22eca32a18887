#pragma once

#include <string>

namespace nuvra_test {

// The libuv handles alive on the network loop, read on the network thread.
// Unreferenced handles are process-wide parts of the runtime (the write
// flusher) and libuv's internal ones are its own: neither is counted.
struct LoopHandles {
    int count = 0;
    std::string kinds;  // e.g. "timer x2, udp x1"
};

LoopHandles live_loop_handles();

// Waits until at most `limit` handles are alive or timeout_ms passed;
// returns the last reading.
LoopHandles wait_loop_handles_at_most(int limit, int timeout_ms);

}  // namespace nuvra_test
