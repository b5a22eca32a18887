#include "msg_wire.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct DecodeCase {
    const char* name;
    std::string text;
    IncomingMsg want;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeMsg : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeMsg, TakesTheFieldsOfItsEncoding) {
    const DecodeCase& c = GetParam();
    const IncomingMsg got = decode_msg_text(c.text);
    EXPECT_EQ(got.msgid, c.want.msgid);
    EXPECT_EQ(got.src, c.want.src);
    EXPECT_EQ(got.t, c.want.t);
    EXPECT_EQ(got.content, c.want.content);
}

const IncomingMsg kEmpty{};

INSTANTIATE_TEST_SUITE_P(
    Texts, DecodeMsg,
    ::testing::Values(
        DecodeCase{"v1", "msg alice x y instant two words", {"", "alice", "instant", "two words"}},
        DecodeCase{"v1_json_keeps_blanks", "msg a x y channel_msg {\"msg\": \"a b\", \"uid\": 1}",
                   {"", "a", "channel_msg", "{\"msg\": \"a b\", \"uid\": 1}"}},
        DecodeCase{"v1_five_parts", "msg alice x y instant", kEmpty},
        DecodeCase{"v1_trailing_blank_is_empty_content", "msg alice x y instant ", {"", "alice", "instant", ""}},
        DecodeCase{"v1_double_blank_is_empty_part", "msg  alice y instant z w", {"", "", "instant", "z w"}},
        DecodeCase{"v2", "msg-v2 bob a b appmsg z hi there", {"", "bob", "appmsg", "hi there"}},
        DecodeCase{"v2_six_parts", "msg-v2 bob a b appmsg hi", kEmpty},
        DecodeCase{"v3", "msg-v3 m1 bob a b instant c two words", {"m1", "bob", "instant", "two words"}},
        DecodeCase{"v3_seven_parts", "msg-v3 m1 bob a b instant c", kEmpty},
        DecodeCase{"v3_nul_bytes_kept", std::string("msg-v3 m\0 b a b t c x\0y", 23),
                   {std::string("m\0", 2), "b", "t", std::string("x\0y", 3)}},
        DecodeCase{"empty", "", kEmpty},
        DecodeCase{"prefix_without_blank", "msg", kEmpty},
        DecodeCase{"unknown_prefix", "msgx alice x y instant hi", kEmpty},
        DecodeCase{"unknown_version", "msg-v4 m1 bob a b instant c hi", kEmpty},
        DecodeCase{"upper_case", "MSG alice x y instant hi", kEmpty}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

}  // namespace
