#pragma once

#include <string>

namespace nuvra_test {

// Loopback addresses of this test process's own. Some peers must listen on
// fixed ports (discovery answers on 8180/8181), so two processes running at
// once (ctest -j, other build flavours, other users of the machine) must not
// share an address. The address is 127.<16 + index>.<pid>: no two live
// processes share a pid (pid_max is 32768 here; above 65536 two pids could
// meet only 65536 apart), and an index (0 .. kOwnAddresses - 1) serves tests
// that need several. It never falls in 127.0.0.0/12, where fixed addresses
// such as 127.0.0.1 are.
constexpr int kOwnAddresses = 239;
// The index the SOCKS5 server peers listen on; tests keep to the others.
constexpr int kSocks5AddressIndex = kOwnAddresses - 1;
std::string own_loopback_ip(int index = 0);

}  // namespace nuvra_test
