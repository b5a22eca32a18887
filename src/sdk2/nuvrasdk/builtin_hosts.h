#pragma once

#include <string>
#include <vector>

// Out of the box the library talks only to a service on this machine; an
// application points it at its own service through the debug keys.
namespace builtin_hosts {

inline const char* const kLbsHost = "localhost";
inline const char* const kDiscoveryHost = "localhost";
inline const std::vector<std::string> kLbsAddresses = {"127.0.0.1", "127.0.0.1"};
inline const std::vector<std::string> kDiscoveryAddresses = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
// The slow discovery profile's host and address.
inline const char* const kAltDiscoveryHost = "localhost";
inline const std::vector<std::string> kAltDiscoveryAddresses = {"127.0.0.4"};
inline const char* const kCollectorHost = "localhost";
inline const char* const kLogUploadHost = "localhost";

}  // namespace builtin_hosts
