#pragma once

#include <json/value.h>

#include <future>

#include "if_linkd.h"

namespace bench {

// The request every benchmark call carries.
const Json::Value& call_request();

// Keeps `width` calls of `call_api` in flight until `total` have completed;
// each result function makes the next call. Runs on the network thread.
struct CallChains {
    InterfaceLinkD* engine = nullptr;
    int total = 0;
    int issued = 0;
    int completed = 0;
    int failed = 0;
    std::promise<void> done;

    void start(int width);
    void next();
};

}  // namespace bench
