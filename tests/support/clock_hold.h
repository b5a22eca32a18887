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

}  // namespace nuvra_test
