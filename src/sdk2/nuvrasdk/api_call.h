#pragma once

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "reporter2.h"

// The caller's result function of a server call: (result, reason, resp).
// result 0: accepted; -1: refused, reason from the server; -2: no valid
// answer (time-out, "unknown", malformed answer). resp is the parsed answer,
// null when none was parsed.
using ApiCallResult = std::function<void(int, const std::string&, const Json::Value&)>;

using REQ_ID = uint32_t;
using DEV_ID = uint32_t;

struct REQ_FULL_ID {
    DEV_ID devid = 0;
    REQ_ID reqid = 0;
};

// One server call, held only through SP_ApiCall.
struct ApiCall {
    enum STATE {
        STATE_QUEUED = 0,
        STATE_SENT = 1,
        STATE_DONE = 2,
    };

    REQ_FULL_ID call_id;
    std::string method;
    Json::Value req;
    // req as compact JSON, written once when queued (again when the line id
    // is filled in) and reused by every send.
    std::string text;
    Json::Value resp;
    int state = STATE_QUEUED;
    // When the call was queued (monotonic); time-outs count from here, sending
    // keeps it.
    uint64_t starttime = 0;
    // The outcome travels in the completion's arguments; these stay as built.
    int result = 0;
    std::string reason;
    ApiCallResult onResult;
    int status = 0;
    // A call that asks for the other transport is never put on the line.
    bool only_http = false;
    bool by_http = false;
    // The open "call" telemetry record, or empty.
    Reporter2::SPT spt;
};

using SP_ApiCall = std::shared_ptr<ApiCall>;
