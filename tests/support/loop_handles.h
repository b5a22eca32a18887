#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace nuvra_test {

// One libuv handle alive on the network loop.
struct LoopHandle {
    const void* id = nullptr;  // the handle's address
    std::string kind;          // "timer", "tcp", "udp", ...
    // A timer with one firing left (do_later, call_later): it ends by itself.
    bool one_shot = false;
    uint64_t due_in_ms = 0;  // timers only
};

// The handles alive on the network loop, read on the network thread.
// Unreferenced handles are process-wide parts of the runtime (the write
// flusher, the shared ticks) and libuv's internal ones are its own: neither
// is listed. Each member of a shared tick is listed as a "tick" of its own.
std::vector<LoopHandle> live_loop_handles();

// The ids of the handles alive now, to tell later ones from.
std::set<const void*> live_handle_ids();

// The timers alive that are not among before, once they have had up to
// wait_ms to close (a close takes a loop turn): what an operation left.
std::vector<LoopHandle> timers_left_since(const std::set<const void*>& before, int wait_ms);

// "timer due in 9 s x2, udp x1"
std::string describe(const std::vector<LoopHandle>& handles);

}  // namespace nuvra_test
