#include "support/parsed_json.h"

#include <gtest/gtest.h>

namespace nuvra_test {

Json::Value parsed(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v, false)) << text;
    return v;
}

}  // namespace nuvra_test
