#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "api/nuvra_api.h"

// What both bindings share: texts coming in, and adapters changing hands.
namespace nuvra_sdk_cpp {

// Exactly n bytes from p, NULs included; a null pointer reads as "".
inline std::string text(const char* p, size_t n) { return p ? std::string(p, n) : std::string(); }

// Installs next on the instance in place of whatever is installed. Returns
// once it is in place, or at once inside an event or a log line, where it
// cannot be. free_previous (may be empty) runs once no event and no log line
// can still reach the object next replaced: on this thread before returning,
// or later on the network thread.
void install_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, std::function<void()> free_previous);

// Posts the instance's empty defaults in where adapter is still the installed
// object and returns at once, even while a login or a logout holds the
// instance's queue; free_adapter runs later on the network thread, once the
// change has run and no log line can still reach the adapter.
void uninstall_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* adapter, std::function<void()> free_adapter);

}  // namespace nuvra_sdk_cpp
