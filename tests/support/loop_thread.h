#pragma once

#include <functional>

namespace nuvra_test {

// Starts the network thread once per process; it runs for the process' life.
void ensure_loop_thread();

// Runs f on the network thread and waits until it has returned.
void run_on_loop(const std::function<void()>& f);

// Evaluates pred on the network thread every few milliseconds until it holds
// or timeout_ms passed; returns its last value.
bool wait_on_loop(const std::function<bool()>& pred, int timeout_ms);

}  // namespace nuvra_test
