#include <gtest/gtest.h>

#include <json/reader.h>
#include <json/writer.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "json_text.h"
#include "support/parsed_json.h"

namespace {

using nuvra_test::parsed;
using std::string;

Json::Value str(const string& bytes) {
    return Json::Value(bytes);
}

Json::Value object_of(const std::vector<std::pair<string, Json::Value>>& members) {
    Json::Value o(Json::objectValue);
    for (const auto& m : members) o[m.first] = m.second;
    return o;
}

Json::Value array_of(const std::vector<Json::Value>& items) {
    Json::Value a(Json::arrayValue);
    for (const auto& v : items) a.append(v);
    return a;
}

string fast_writer(const Json::Value& v) {
    Json::FastWriter w;
    w.omitEndingLineFeed();
    return w.write(v);
}

string nested(int depth, const string& open, const string& inner, const string& close) {
    string t;
    for (int i = 0; i < depth; ++i) t += open;
    t += inner;
    for (int i = 0; i < depth; ++i) t += close;
    return t;
}

// ---------------------------------------------------------------- writer

struct WriteCase {
    const char* name;
    std::function<Json::Value()> make;
    string expected;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class Json2StringBytes : public ::testing::TestWithParam<WriteCase> {};

TEST_P(Json2StringBytes, ExactOutput) {
    EXPECT_EQ(JSON2STRING(GetParam().make()), GetParam().expected);
}

// Cut anywhere, also inside an escape, a number or a key.
TEST_P(Json2StringBytes, HeadIsThePrefix) {
    const Json::Value v = GetParam().make();
    const string& whole = GetParam().expected;
    for (size_t n = 0; n <= whole.size() + 1; ++n) EXPECT_EQ(JSON2STRING_head(v, n), whole.substr(0, n)) << n;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, Json2StringBytes,
    ::testing::Values(
        WriteCase{"Null", [] { return Json::Value(); }, "null"},
        WriteCase{"True", [] { return Json::Value(true); }, "true"},
        WriteCase{"False", [] { return Json::Value(false); }, "false"},
        WriteCase{"EmptyArray", [] { return Json::Value(Json::arrayValue); }, "[]"},
        WriteCase{"EmptyObject", [] { return Json::Value(Json::objectValue); }, "{}"},
        WriteCase{"EmptyString", [] { return Json::Value(Json::stringValue); }, "\"\""},
        WriteCase{"QuoteAndBackslash", [] { return str("a\"b\\c"); }, R"("a\"b\\c")"},
        WriteCase{"ShortEscapes", [] { return str("\b\f\n\r\t"); }, R"("\b\f\n\r\t")"},
        WriteCase{"Nul", [] { return str(string("a\0b", 3)); }, R"("a\u0000b")"},
        WriteCase{"OtherControlsUpperHex", [] { return str("\x01\x0b\x0e\x1a\x1b\x1f"); },
                  R"("\u0001\u000B\u000E\u001A\u001B\u001F")"},
        WriteCase{"FirstPrintableAndDel", [] { return str(" ~\x7f"); }, "\" ~\x7f\""},
        WriteCase{"SlashUnchanged", [] { return str("a/b</"); }, R"("a/b</")"},
        WriteCase{"Utf8Raw", [] { return str("caf\xc3\xa9"); }, "\"caf\xc3\xa9\""},
        WriteCase{"InvalidBytesRaw", [] { return str("\xff\x80\xc3 \xed\xa0\x80"); },
                  "\"\xff\x80\xc3 \xed\xa0\x80\""},
        WriteCase{"KeysByteOrder",
                  [] {
                      return object_of({{"vid", 1}, {"account", 2}, {"b", 3}, {"B", 4}, {"", 5}});
                  },
                  R"({"":5,"B":4,"account":2,"b":3,"vid":1})"},
        WriteCase{"KeysHighBytesNulAndPrefix",
                  [] {
                      return object_of({{"b\xff", 1},
                                        {"b\x80", 2},
                                        {"b\x7f", 3},
                                        {string("b\0c", 3), 4},
                                        {"bc", 5},
                                        {"b", 6}});
                  },
                  "{\"b\":6,\"b\\u0000c\":4,\"bc\":5,\"b\x7f\":3,\"b\x80\":2,\"b\xff\":1}"},
        WriteCase{"KeysEscaped", [] { return object_of({{"q\"\n\x01", true}}); },
                  R"({"q\"\n\u0001":true})"},
        WriteCase{"Nested",
                  [] {
                      return object_of({{"z", array_of({1, object_of({{"y", Json::Value()}, {"x", "s"}})})},
                                        {"a", Json::Value(Json::objectValue)},
                                        {"m", array_of({Json::Value(Json::arrayValue), false})}});
                  },
                  R"({"a":{},"m":[[],false],"z":[1,{"x":"s","y":null}]})"},
        WriteCase{"ArrayWithHoles",
                  [] {
                      Json::Value a;
                      a[2] = "x";
                      return a;
                  },
                  R"([null,null,"x"])"},
        WriteCase{"Ints",
                  [] {
                      return array_of({0, -5, Json::Int64(std::numeric_limits<int64_t>::min()),
                                       Json::UInt64(std::numeric_limits<uint64_t>::max()), Json::UInt(7)});
                  },
                  "[0,-5,-9223372036854775808,18446744073709551615,7]"},
        WriteCase{"Reals",
                  [] { return array_of({1.5, 0.1, 1e300, 3.0, -0.0, 1e21, 1e-7, 1e16, 1e17}); },
                  "[1.5,0.10000000000000001,1.0000000000000001e+300,3.0,-0.0,1e+21,"
                  "9.9999999999999995e-08,10000000000000000.0,1e+17]"},
        WriteCase{"NonFiniteReals", [] { return array_of({kNaN, kInf, -kInf}); },
                  "[null,1e+9999,-1e+9999]"}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return string(info.param.name); });

// Where no string needs one of our escapes, the text is FastWriter's.
TEST(Json2String, AgreesWithFastWriterWithoutSpecialStrings) {
    const std::vector<Json::Value> values = {
        array_of({0.5, 2.0, 1e-300, 123456789.125, -1e100, 4.9406564584124654e-324, 1.7976931348623157e308,
                  0.30000000000000004, 1e15, 1e-5, 12345678901234567890.0, kNaN, kInf, -kInf}),
        array_of({Json::Int64(-1), Json::UInt64(1ull << 63), 2147483648.0, Json::Value(), true}),
        object_of({{"b", array_of({1, "x / y", Json::Value(Json::objectValue)})},
                   {"a", object_of({{"k", "v"}, {"j", 1.25}})}}),
    };
    for (const auto& v : values) EXPECT_EQ(JSON2STRING(v), fast_writer(v));
}

TEST(Json2String, ParsedEscapesComeBackInOurForm) {
    EXPECT_EQ(JSON2STRING(parsed(R"(["\u00e9","\u0000","\/","\u001f","\ud83d\ude00"])")),
              "[\"\xc3\xa9\",\"\\u0000\",\"/\",\"\\u001F\",\"\xf0\x9f\x98\x80\"]");
}

// ---------------------------------------------------------------- parser

struct ParseCase {
    const char* name;
    std::function<string()> text;
    bool ok;
    string value;  // JSON2STRING of the result; "null" after a failure
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseJson : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseJson, ResultAndValue) {
    Json::Value out = "stale";
    EXPECT_EQ(parse_json(GetParam().text(), out), GetParam().ok);
    EXPECT_EQ(JSON2STRING(out), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseJson,
    ::testing::Values(
        // Only the first value is read; whatever follows it is ignored.
        ParseCase{"TrailingWord", [] { return string(R"({"a":1} trailing)"); }, true, R"({"a":1})"},
        ParseCase{"SecondValue", [] { return string("5 6"); }, true, "5"},
        ParseCase{"ExtraClose", [] { return string("[1,2]]"); }, true, "[1,2]"},
        ParseCase{"UnclosedTrailer", [] { return string(R"("x" {)"); }, true, R"("x")"},
        ParseCase{"Comments", [] { return string("// c\n/* d */ {\"a\" : 1 /* e */} // f"); }, true,
                  R"({"a":1})"},
        ParseCase{"ScalarTop", [] { return string("null"); }, true, "null"},
        ParseCase{"NulAndRawBytes", [] { return string("{\"k\\u0000\":\"a\\u0000\xff\"}"); }, true,
                  "{\"k\\u0000\":\"a\\u0000\xff\"}"},
        ParseCase{"DuplicateKeyLastWins", [] { return string(R"({"a":1,"a":2})"); }, true, R"({"a":2})"},
        ParseCase{"Empty", [] { return string(); }, false, "null"},
        ParseCase{"OnlyComment", [] { return string("// x"); }, false, "null"},
        ParseCase{"TrailingCommaLeavesNothing", [] { return string(R"({"a":1,})"); }, false, "null"},
        ParseCase{"Truncated", [] { return string(R"({"a":[1,)"); }, false, "null"},
        ParseCase{"BadLiteral", [] { return string("nul"); }, false, "null"},
        ParseCase{"LoneSurrogate", [] { return string(R"("\ud800")"); }, false, "null"},
        ParseCase{"CommentBeforeColon", [] { return string(R"({"a"/*x*/:1})"); }, false, "null"},
        // The reader throws once containers nest 1000 deep; that is refused.
        ParseCase{"Depth999", [] { return nested(999, "[", "1", "]"); }, true, nested(999, "[", "1", "]")},
        ParseCase{"Depth1000", [] { return nested(1000, "[", "1", "]"); }, false, "null"},
        ParseCase{"Depth1000Unclosed", [] { return nested(1000, "[", "", ""); }, false, "null"},
        ParseCase{"ObjectDepth1000", [] { return nested(1000, R"({"a":)", "1", "}"); }, false, "null"},
        ParseCase{"Depth1000Mixed", [] { return nested(500, R"([{"a":)", "1", "}]"); }, false, "null"},
        ParseCase{"BracketsInString",
                  [] { return "[\"" + string(2000, '[') + "\\\"" + string(2000, '{') + "\"]"; }, true,
                  "[\"" + string(2000, '[') + "\\\"" + string(2000, '{') + "\"]"},
        ParseCase{"BracketsInComments",
                  [] { return "[/*" + string(2000, '[') + "*/ 1 //" + string(2000, '{') + "\n]"; }, true, "[1]"},
        ParseCase{"DeepTrailerAfterContainer", [] { return "[1]" + string(5000, '['); }, true, "[1]"},
        ParseCase{"DeepTrailerAfterScalar", [] { return "\"s\"" + string(5000, '['); }, true, R"("s")"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return string(info.param.name); });

// ---------------------------------------------------------------- readers

struct ReadCase {
    const char* name;
    string json;
    string s;
    uint32_t u;
    int i;
    uint64_t u64;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class MemberReaders : public ::testing::TestWithParam<ReadCase> {};

TEST_P(MemberReaders, TypeCheckedWithDefaults) {
    const ReadCase& c = GetParam();
    const Json::Value v = parsed(c.json);
    EXPECT_EQ(json_string(v, "k"), c.s);
    EXPECT_EQ(json_uint(v, "k"), c.u);
    EXPECT_EQ(json_int(v, "k"), c.i);
    EXPECT_EQ(json_uint64(v, "k"), c.u64);
}

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, MemberReaders,
    ::testing::Values(ReadCase{"String", R"({"k":"abc"})", "abc", 0, 0, 0},
                      ReadCase{"StringWithNul", R"({"k":"a\u0000b"})", string("a\0b", 3), 0, 0, 0},
                      ReadCase{"NumericStringIsNoNumber", R"({"k":"5"})", "5", 0, 0, 0},
                      ReadCase{"Small", R"({"k":5})", "", 5, 5, 5},
                      ReadCase{"Negative", R"({"k":-1})", "", 0, -1, 0},
                      ReadCase{"IntMin", R"({"k":-2147483648})", "", 0, -2147483647 - 1, 0},
                      ReadCase{"BelowIntMin", R"({"k":-2147483649})", "", 0, 0, 0},
                      ReadCase{"AboveIntMax", R"({"k":2147483648})", "", 2147483648u, 0, 2147483648u},
                      ReadCase{"UintMax", R"({"k":4294967295})", "", 4294967295u, 0, 4294967295u},
                      ReadCase{"AboveUintMax", R"({"k":4294967296})", "", 0, 0, 4294967296u},
                      ReadCase{"Uint64Max", R"({"k":18446744073709551615})", "", 0, 0, kU64Max},
                      ReadCase{"AboveUint64Max", R"({"k":18446744073709551616})", "", 0, 0, 0},
                      ReadCase{"IntegralReal", R"({"k":5.0})", "", 5, 5, 5},
                      ReadCase{"FractionalReal", R"({"k":5.5})", "", 0, 0, 0},
                      ReadCase{"Bool", R"({"k":true})", "", 0, 0, 0},
                      ReadCase{"Null", R"({"k":null})", "", 0, 0, 0},
                      ReadCase{"Object", R"({"k":{"k":1}})", "", 0, 0, 0},
                      ReadCase{"Array", R"({"k":[1]})", "", 0, 0, 0},
                      ReadCase{"Absent", R"({"j":1})", "", 0, 0, 0},
                      ReadCase{"TopArray", R"([1,"k"])", "", 0, 0, 0},
                      ReadCase{"TopString", R"("k")", "", 0, 0, 0},
                      ReadCase{"TopNumber", "7", "", 0, 0, 0},
                      ReadCase{"TopNull", "null", "", 0, 0, 0}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return string(info.param.name); });

TEST(JsonReaders, MembersAndElementsOfTheWrongKindAreNull) {
    const Json::Value v = parsed(R"({"o":{"s":"x"},"list":[["a",1],["b",4294967295],"c"]})");
    EXPECT_EQ(json_string(json_member(v, "o"), "s"), "x");
    EXPECT_TRUE(json_member(v, nullptr).isNull());
    EXPECT_TRUE(json_member(json_member(v, "list"), "a").isNull());
    EXPECT_TRUE(json_member(Json::Value("s"), "s").isNull());

    const Json::Value& list = json_member(v, "list");
    EXPECT_EQ(json_as_string(json_index(json_index(list, 1), 0)), "b");
    EXPECT_EQ(json_as_uint(json_index(json_index(list, 1), 1)), 4294967295u);
    EXPECT_EQ(json_as_string(json_index(list, 2)), "c");
    EXPECT_TRUE(json_index(json_index(list, 2), 0).isNull());
    EXPECT_TRUE(json_index(list, 3).isNull());
    EXPECT_TRUE(json_index(v, 0).isNull());
    EXPECT_TRUE(json_index(json_member(v, "o"), 0).isNull());
    EXPECT_TRUE(json_index(Json::Value("ab"), 0).isNull());
    EXPECT_TRUE(json_index(Json::Value(), 0).isNull());
}

TEST(JsonReaders, ValueReadersOnEveryType) {
    for (const char* text : {"null", "true", "{}", "[]", "-3", "2.5"}) {
        const Json::Value v = parsed(text);
        EXPECT_EQ(json_as_string(v), "") << text;
        EXPECT_EQ(json_as_uint(v), 0u) << text;
        EXPECT_EQ(json_as_uint64(v), 0u) << text;
    }
    EXPECT_EQ(json_as_string(parsed("\"9\"")), "9");
    EXPECT_EQ(json_as_uint(parsed("\"9\"")), 0u);
    EXPECT_EQ(json_as_int(parsed("-3")), -3);
    EXPECT_EQ(json_as_int(parsed("{}")), 0);
}

struct EqualsCase {
    const char* name;
    std::function<Json::Value()> make;
    uint64_t n;
    bool equal;
};

void PrintTo(const EqualsCase& c, std::ostream* os) { *os << c.name; }

class NumberEquals : public ::testing::TestWithParam<EqualsCase> {};

TEST_P(NumberEquals, ComparesAsNumbers) {
    EXPECT_EQ(json_number_equals(GetParam().make(), GetParam().n), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberEquals,
    ::testing::Values(EqualsCase{"ParsedInt", [] { return parsed("5"); }, 5, true},
                      EqualsCase{"Unsigned", [] { return Json::Value(Json::UInt(5)); }, 5, true},
                      EqualsCase{"Signed", [] { return Json::Value(5); }, 5, true},
                      EqualsCase{"IntegralReal", [] { return parsed("5.0"); }, 5, true},
                      EqualsCase{"Other", [] { return parsed("6"); }, 5, false},
                      EqualsCase{"FractionalReal", [] { return parsed("5.5"); }, 5, false},
                      EqualsCase{"MinusOneIsNotMax", [] { return parsed("-1"); }, kU64Max, false},
                      EqualsCase{"Max", [] { return parsed("18446744073709551615"); }, kU64Max, true},
                      EqualsCase{"NumericString", [] { return parsed("\"5\""); }, 5, false},
                      EqualsCase{"TrueIsNotOne", [] { return Json::Value(true); }, 1, false},
                      EqualsCase{"NullIsNotZero", [] { return Json::Value(); }, 0, false}),
    [](const ::testing::TestParamInfo<EqualsCase>& info) { return string(info.param.name); });

}  // namespace
