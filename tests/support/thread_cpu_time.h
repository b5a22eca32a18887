#pragma once

namespace nuvra_test {

// CPU time the calling thread has used, in milliseconds: a cost measure that
// other processes on the machine do not inflate.
double thread_cpu_ms();

}  // namespace nuvra_test
