#pragma once

namespace nuvra_test {

// CPU time the calling thread has used, in milliseconds: a cost measure that
// other processes on the machine do not inflate.
double thread_cpu_ms();
// Percent of one core the network thread uses over the next window_ms of
// real time.
double loop_cpu_percent(int window_ms);

}  // namespace nuvra_test
