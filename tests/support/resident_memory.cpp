#include "support/resident_memory.h"

#include <fstream>
#include <string>

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

}  // namespace nuvra_test
