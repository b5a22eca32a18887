#pragma once

#include <functional>
#include <list>
#include <string>

namespace mynet {

using OnResolveResult = std::function<void(int code, std::string error, std::list<std::string>& addresses)>;

// Asynchronous getaddrinfo with its own time-out; f is called exactly once,
// on the network thread, unless host is empty (then -1 and no call). An
// immediate failure calls f before returning the libuv code.
int resolve_hostname(std::string host, OnResolveResult f, int timeout_ms);

}  // namespace mynet
