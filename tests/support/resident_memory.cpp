#include "support/resident_memory.h"
#include "support/sanitizer_build.h"

#include <malloc.h>

#include <cstddef>
#include <fstream>
#include <string>

#if defined(NUVRA_TEST_ASAN) || defined(NUVRA_TEST_TSAN)
// The sanitizer runtime's own count; g++ installs no header declaring it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace nuvra_test {

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

long heap_in_use_kib() {
#if defined(NUVRA_TEST_ASAN) || defined(NUVRA_TEST_TSAN)
    return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
#endif
}

}  // namespace nuvra_test
