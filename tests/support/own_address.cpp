#include "support/own_address.h"

#include <unistd.h>

#include <cstdint>

namespace nuvra_test {

std::string own_loopback_ip(int index) {
    const uint32_t pid = static_cast<uint32_t>(getpid()) & 0xFFFF;
    const uint32_t slot = static_cast<uint32_t>(index % kOwnAddresses);
    return "127." + std::to_string(16 + slot) + "." + std::to_string(pid >> 8) + "." + std::to_string(pid & 0xFF);
}

}  // namespace nuvra_test
