#include "poll_wire.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "json_text.h"
#include "support/parsed_json.h"

namespace {

using nuvra_test::parsed;

TEST(PollRequest, MembersInByteOrderAndNullWhenNothingToClear) {
    EXPECT_EQ(JSON2STRING(getmsg_request("L1", 4294967295u)), "{\"line\":\"L1\",\"max\":30,\"ver_clear\":4294967295}");
    EXPECT_EQ(JSON2STRING(getmsg2_request("L1", {})), "{\"clear_msgs\":null,\"line\":\"L1\",\"max\":30}");
    EXPECT_EQ(JSON2STRING(getmsg2_request("L1", {"B", "a", "b"})),
              "{\"clear_msgs\":[\"B\",\"a\",\"b\"],\"line\":\"L1\",\"max\":30}");
}

struct GetmsgCase {
    const char* name;
    std::string answer;
    uint32_t ver_clear;
    std::vector<std::pair<uint32_t, std::string>> msgs;
};

void PrintTo(const GetmsgCase& c, std::ostream* os) { *os << c.name; }

class GetmsgAnswerRead : public ::testing::TestWithParam<GetmsgCase> {};

TEST_P(GetmsgAnswerRead, WrongTypesCountAsAbsent) {
    const GetmsgCase& c = GetParam();
    const GetmsgAnswer a = read_getmsg_answer(parsed(c.answer));
    EXPECT_EQ(a.ver_clear, c.ver_clear);
    std::vector<std::pair<uint32_t, std::string>> got;
    for (const VersionedText& m : a.msgs) got.emplace_back(m.ver, m.text);
    EXPECT_EQ(got, c.msgs);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, GetmsgAnswerRead,
    ::testing::Values(
        GetmsgCase{"well_formed", R"({"ver_clear":12,"msgs":[[11,"a"],[13,"b b"]]})", 12, {{11, "a"}, {13, "b b"}}},
        GetmsgCase{"largest_version", R"({"ver_clear":4294967295,"msgs":[[4294967295,"x"]]})", 4294967295u,
                   {{4294967295u, "x"}}},
        GetmsgCase{"nothing", "{}", 0, {}},
        GetmsgCase{"ver_clear_text", R"({"ver_clear":"12"})", 0, {}},
        GetmsgCase{"ver_clear_negative", R"({"ver_clear":-1})", 0, {}},
        GetmsgCase{"ver_clear_too_big", R"({"ver_clear":4294967296})", 0, {}},
        GetmsgCase{"ver_clear_fraction", R"({"ver_clear":1.5})", 0, {}},
        GetmsgCase{"msgs_object", R"({"msgs":{"a":[1,"x"]}})", 0, {}},
        GetmsgCase{"msgs_text", R"({"msgs":"[[1,\"x\"]]"})", 0, {}},
        // Malformed elements still count towards a full answer.
        GetmsgCase{"malformed_elements", R"({"msgs":[5,[6],["7","x"],[8,9],[],null,{"0":1}]})", 0,
                   {{0, ""}, {6, ""}, {0, "x"}, {8, ""}, {0, ""}, {0, ""}, {0, ""}}},
        GetmsgCase{"answer_is_array", R"([[1,"x"]])", 0, {}}),
    [](const ::testing::TestParamInfo<GetmsgCase>& info) { return std::string(info.param.name); });

TEST(Getmsg2AnswerRead, OneTextPerElementAndEmptyForOtherTypes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(read_getmsg2_answer(parsed(R"({"msgs":["a b","c"]})")), (V{"a b", "c"}));
    EXPECT_EQ(read_getmsg2_answer(parsed(R"({"msgs":[1,null,["x"],{},"y"]})")), (V{"", "", "", "", "y"}));
    EXPECT_EQ(read_getmsg2_answer(parsed(R"({"msgs":"a"})")), V{});
    EXPECT_EQ(read_getmsg2_answer(parsed(R"({})")), V{});
    EXPECT_EQ(read_getmsg2_answer(parsed(R"(["a"])")), V{});
    EXPECT_EQ(read_getmsg2_answer(Json::Value()), V{});
}

}  // namespace
