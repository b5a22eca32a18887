#include <gtest/gtest.h>

#include <string>

#include "json_text.h"
#include "login_details.h"

namespace {

TEST(LoginDetails, StartsNullAndClearsToNullOrAnEmptyObject) {
    LoginDetails d;
    EXPECT_EQ(JSON2STRING(d.json()), "null");
    d.set("step", "lbs");
    d.clear(true);
    EXPECT_EQ(JSON2STRING(d.json()), "{}");
    d.clear(false);
    EXPECT_EQ(JSON2STRING(d.json()), "null");
}

// What a record's end reports is what a JSON object set the same way holds:
// the last value of a key, every value type, keys that share a prefix, and
// strings with quotes, control bytes and a NUL.
TEST(LoginDetails, HoldsWhatAnObjectSetTheSameWayHolds) {
    static const char kOdd[] = "a\"b\\c\n\x01\0d";
    const std::string odd(kOdd, sizeof kOdd - 1);
    LoginDetails d;
    Json::Value expected(Json::objectValue);
    auto set = [&](const std::string& key, const Json::Value& v) {
        d.set(key, v);
        expected[key] = v;
    };
    set("step", "lbs");
    set("retry", 2);
    set("i3_0", "connected");
    set("i3_0_t", Json::UInt64(18446744073709551615ull));
    set("h1e1", -3);
    set("e2", odd);
    set("step", "login");
    set("i3_0", "again");
    set("i3", "127.0.0.1:9");
    EXPECT_EQ(JSON2STRING(d.json()), JSON2STRING(expected));
    EXPECT_EQ(d.json()["e2"].asString(), odd);
}

}  // namespace
