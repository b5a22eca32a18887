#pragma once

#include "loop.h"

namespace nuvra_test {

// Holds the monotonic clock for the guard's life, so that only
// mynet::test_clock_advance moves it; released even when an assertion
// leaves the test early.
class ClockHold {
public:
    ClockHold() { mynet::test_clock_hold(true); }
    ~ClockHold() { mynet::test_clock_hold(false); }
    ClockHold(const ClockHold&) = delete;
    ClockHold& operator=(const ClockHold&) = delete;
};

// Moves the monotonic clock on until it reads more than ms, so that a test
// can set a time ms in the past on a machine that has not been up that long.
inline void clock_past(uint64_t ms) {
    const uint64_t now = mynet::mono_time_ms();
    if (now <= ms) mynet::test_clock_advance(static_cast<int64_t>(ms - now + 1));
}

}  // namespace nuvra_test
