#include "support/thread_cpu_time.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "support/loop_thread.h"

namespace nuvra_test {

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double loop_cpu_percent(int window_ms) {
    double cpu0 = 0, cpu1 = 0;
    run_on_loop([&] { cpu0 = thread_cpu_ms(); });
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(window_ms));
    run_on_loop([&] { cpu1 = thread_cpu_ms(); });
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return (cpu1 - cpu0) / wall * 100;
}

}  // namespace nuvra_test
