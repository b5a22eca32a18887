#include <gtest/gtest.h>

#include <json/reader.h>

#include <ostream>
#include <string>

#include "call_answer.h"

namespace {

using std::string;

struct AnswerCase {
    const char* name;
    string text;
    int result;
    string reason;
};

std::ostream& operator<<(std::ostream& os, const AnswerCase& c) { return os << c.name; }

class CallAnswerTable : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(CallAnswerTable, GivesResultAndReason) {
    const AnswerCase& c = GetParam();
    const CallAnswer a = parse_call_answer(c.text);
    EXPECT_EQ(a.result, c.result) << c.text;
    EXPECT_EQ(a.reason, c.reason) << c.text;
}

const string kWrong1 = "wrong response json : 1";
const string kWrong2 = "wrong response json : 2";
const string kWrong3 = "wrong response json : 3";

INSTANTIATE_TEST_SUITE_P(
    Answers, CallAnswerTable,
    ::testing::Values(
        AnswerCase{"empty", "", -2, kWrong1},
        AnswerCase{"not_json", "ok", -2, kWrong1},
        AnswerCase{"cut_short", "{\"result\":\"ok\"", -2, kWrong1},
        AnswerCase{"array", "[\"ok\"]", -2, kWrong1},
        AnswerCase{"string", "\"ok\"", -2, kWrong1},
        AnswerCase{"no_result", "{\"reason\":\"kick\"}", -2, kWrong1},
        AnswerCase{"too_deep", string(5000, '[') + string(5000, ']'), -2, kWrong1},
        AnswerCase{"ok", "{\"result\":\"ok\"}", 0, ""},
        AnswerCase{"ok_ignores_reason", "{\"reason\":\"kick\",\"result\":\"ok\"}", 0, ""},
        AnswerCase{"ok_with_comment_and_tail", "/* c */ {\"result\":\"ok\"} tail", 0, ""},
        AnswerCase{"failed", "{\"result\":\"failed\",\"reason\":\"kick\"}", -1, "kick"},
        AnswerCase{"unknown", "{\"result\":\"unknown\",\"reason\":\"kick\"}", -2, "kick"},
        AnswerCase{"failed_empty_reason", "{\"result\":\"failed\",\"reason\":\"\"}", -1, ""},
        AnswerCase{"failed_no_reason", "{\"result\":\"failed\"}", -2, kWrong3},
        AnswerCase{"unknown_no_reason", "{\"result\":\"unknown\"}", -2, kWrong3},
        AnswerCase{"other_word", "{\"result\":\"OK\"}", -2, kWrong2},
        AnswerCase{"ok_with_nul", string("{\"result\":\"ok\\u0000\"}"), -2, kWrong2},
        AnswerCase{"result_number", "{\"result\":0,\"reason\":\"x\"}", -2, kWrong2},
        AnswerCase{"result_bool", "{\"result\":true}", -2, kWrong2},
        AnswerCase{"result_null", "{\"result\":null}", -2, kWrong2},
        AnswerCase{"result_array", "{\"result\":[\"ok\"]}", -2, kWrong2},
        AnswerCase{"result_object", "{\"result\":{\"ok\":1}}", -2, kWrong2},
        AnswerCase{"reason_int", "{\"result\":\"failed\",\"reason\":42}", -1, "42"},
        AnswerCase{"reason_negative", "{\"result\":\"failed\",\"reason\":-7}", -1, "-7"},
        AnswerCase{"reason_real", "{\"result\":\"unknown\",\"reason\":1.5}", -2, "1.5"},
        AnswerCase{"reason_bool", "{\"result\":\"failed\",\"reason\":false}", -1, "false"},
        AnswerCase{"reason_null", "{\"result\":\"failed\",\"reason\":null}", -1, ""},
        AnswerCase{"reason_array", "{\"result\":\"failed\",\"reason\":[\"kick\"]}", -2, kWrong3},
        AnswerCase{"reason_object", "{\"result\":\"unknown\",\"reason\":{}}", -2, kWrong3},
        AnswerCase{"reason_with_nul", "{\"result\":\"failed\",\"reason\":\"a\\u0000b\"}", -1, string("a\0b", 3)},
        AnswerCase{"reason_utf8", "{\"result\":\"failed\",\"reason\":\"\xC3\xA9t\xC3\xA9\"}", -1, "\xC3\xA9t\xC3\xA9"}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return string(info.param.name); });

TEST(CallAnswer, KeepsTheParsedAnswer) {
    const CallAnswer ok = parse_call_answer("{\"result\":\"ok\",\"members\":[\"a\",\"b\"]}");
    ASSERT_TRUE(ok.resp.isObject());
    EXPECT_EQ(ok.resp["members"].size(), 2u);

    const CallAnswer failed = parse_call_answer("{\"result\":\"failed\",\"reason\":\"x\",\"n\":3}");
    EXPECT_EQ(failed.resp["n"].asInt(), 3);

    EXPECT_TRUE(parse_call_answer("garbage").resp.isNull());
    EXPECT_TRUE(parse_call_answer("[1,2]").resp.isArray());
}

}  // namespace
