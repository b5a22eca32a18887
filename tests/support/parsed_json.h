#pragma once

#include <json/json.h>

#include <string>

namespace nuvra_test {

// A JSON text a test wrote or received, parsed with jsoncpp directly (never
// through the library's reader); a text that does not parse fails the test
// and gives null.
Json::Value parsed(const std::string& text);

}  // namespace nuvra_test
