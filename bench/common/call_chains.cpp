#include "call_chains.h"

namespace bench {

const Json::Value& call_request() {
    static const Json::Value req = [] {
        Json::Value r(Json::objectValue);
        r["line"] = "L1";
        r["name"] = "room-17";
        r["account"] = "bench-user";
        return r;
    }();
    return req;
}

void CallChains::start(int width) {
    for (int i = 0; i < width && issued < total; ++i) next();
}

void CallChains::next() {
    ++issued;
    engine->call_api(0, "bench_call", call_request(),
                     [this](int result, const std::string&, const Json::Value&) {
                         failed += result != 0;
                         if (++completed == total) {
                             done.set_value();
                         } else if (issued < total) {
                             next();
                         }
                     },
                     false);
}

}  // namespace bench
