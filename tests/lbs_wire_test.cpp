#include "lbs_wire.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

// The peer's side of the wire, written with zlib directly.
std::string deflate_text(const std::string& text) {
    uLongf size = compressBound(text.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()), text.size(),
              Z_DEFAULT_COMPRESSION);
    out.resize(size);
    return out;
}

const std::string kRelayHeader("\x00\x00\x00\x01\x7f\x00\x00\x05\x1f\xf4", 10);

std::vector<std::string> hosts(const std::vector<Addr>& addrs) {
    std::vector<std::string> out;
    for (const Addr& a : addrs) out.push_back(a.host + ":" + std::to_string(a.port));
    return out;
}

TEST(LbsRequest, TextIsJoinedWithoutEscaping) {
    EXPECT_EQ(lbs_wire::request_text("vid-1", ""), "getaddr {\"appid\":\"vid-1\"}");
    EXPECT_EQ(lbs_wire::request_text("a\"b\\", "10.9.8.7"), "getaddr {\"appid\":\"a\"b\\\",\"ip\":\"10.9.8.7\"}");
    EXPECT_EQ(lbs_wire::request_text("", ""), "getaddr {\"appid\":\"\"}");
}

TEST(LbsRequest, RelayDatagramCarriesIpv4HeaderThenPayload) {
    EXPECT_EQ(lbs_wire::socks5_udp_datagram("127.0.0.5", 8180, "zz"), kRelayHeader + "zz");
    // Port bytes high first: 8181 is 0x1F 0xF5.
    std::string d = lbs_wire::socks5_udp_datagram("10.1.2.3", 8181, "");
    EXPECT_EQ(d, std::string("\x00\x00\x00\x01\x0a\x01\x02\x03\x1f\xf5", 10));
    // Only IPv4 literals fit the header.
    EXPECT_EQ(lbs_wire::socks5_udp_datagram("64:ff9b::127.0.0.5", 8180, "zz"), "");
    EXPECT_EQ(lbs_wire::socks5_udp_datagram("localhost", 8180, "zz"), "");
    EXPECT_EQ(lbs_wire::socks5_udp_datagram(std::string("127.0.0.5\0x", 11), 8180, "zz"), "");
}

struct ReplyCase {
    const char* name;
    std::string datagram;
    bool through_relay;
    std::string text;
    std::string error;
    std::string json;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class LbsReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(LbsReply, Decodes) {
    const ReplyCase& c = GetParam();
    lbs_wire::Reply r = lbs_wire::decode_reply(c.datagram, c.through_relay);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.json, c.json);
}

const std::string kGood = "ok {\"http\":[],\"tcp\":[[\"127.0.0.1\",9000]]}";
const std::string kGoodJson = kGood.substr(3);

INSTANTIATE_TEST_SUITE_P(
    Table, LbsReply,
    ::testing::Values(ReplyCase{"Good", deflate_text(kGood), false, kGood, "", kGoodJson},
                      ReplyCase{"OkWithNothing", deflate_text("ok "), false, "ok ", "", ""},
                      ReplyCase{"ErrorText", deflate_text("busy, try later"), false, "busy, try later",
                                "busy, try later", ""},
                      ReplyCase{"OkWithoutBlankIsAnError", deflate_text("ok"), false, "ok", "ok", ""},
                      ReplyCase{"NotZlib", "ok {\"tcp\":[]}", false, "", "wrong resp", ""},
                      ReplyCase{"Empty", "", false, "", "wrong resp", ""},
                      ReplyCase{"InflatesToNothing", deflate_text(""), false, "", "wrong resp", ""},
                      ReplyCase{"Truncated", deflate_text(kGood).substr(0, 12), false, "", "wrong resp", ""},
                      ReplyCase{"RelayHeaderStripped", kRelayHeader + deflate_text(kGood), true, kGood, "", kGoodJson},
                      ReplyCase{"RelayHeaderOnly", kRelayHeader, true, "", "wrong resp", ""},
                      ReplyCase{"ShorterThanRelayHeader", kRelayHeader.substr(0, 9), true, "", "wrong resp", ""},
                      ReplyCase{"HeaderExpectedButMissing", deflate_text(kGood), true, "", "wrong resp", ""}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

struct ListsCase {
    const char* name;
    std::string json;
    bool ok;
    std::vector<std::string> http;
    std::vector<std::string> tcp;
};

void PrintTo(const ListsCase& c, std::ostream* os) { *os << c.name; }

class LbsServerLists : public ::testing::TestWithParam<ListsCase> {};

TEST_P(LbsServerLists, ParsesOrLeavesListsUntouched) {
    const ListsCase& c = GetParam();
    std::vector<Addr> http{{"old-http", 1}};
    std::vector<Addr> tcp{{"old-tcp", 2}};
    EXPECT_EQ(lbs_wire::parse_server_lists(c.json, http, tcp), c.ok);
    if (c.ok) {
        EXPECT_EQ(hosts(http), c.http);
        EXPECT_EQ(hosts(tcp), c.tcp);
    } else {
        EXPECT_EQ(hosts(http), std::vector<std::string>{"old-http:1"});
        EXPECT_EQ(hosts(tcp), std::vector<std::string>{"old-tcp:2"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LbsServerLists,
    ::testing::Values(
        ListsCase{"BothLists",
                  R"({"http":[["h.example",80]],"tcp":[["127.0.0.1",9000],["127.0.0.2",9001]]})",
                  true,
                  {"h.example:80"},
                  {"127.0.0.1:9000", "127.0.0.2:9001"}},
        ListsCase{"EmptyLists", R"({"http":[],"tcp":[]})", true, {}, {}},
        ListsCase{"CommentsAndTrailingText", "/* c */ {\"http\":[],\"tcp\":[[\"a\",1]]} tail", true, {}, {"a:1"}},
        ListsCase{"IntegralRealPortAndExtraElements", R"({"http":[],"tcp":[["a",80.0,"x"]]})", true, {}, {"a:80"}},
        ListsCase{"PortBounds", R"({"http":[["a",0]],"tcp":[["b",65535]]})", true, {"a:0"}, {"b:65535"}},
        ListsCase{"MissingHttp", R"({"tcp":[["a",1]]})", false, {}, {}},
        ListsCase{"MissingTcp", R"({"http":[]})", false, {}, {}},
        ListsCase{"NotAnObject", R"([["a",1]])", false, {}, {}},
        ListsCase{"NotJson", "{\"http\":[", false, {}, {}},
        ListsCase{"Empty", "", false, {}, {}},
        ListsCase{"ListIsAnObject", R"({"http":{},"tcp":[]})", false, {}, {}},
        ListsCase{"ListIsNull", R"({"http":[],"tcp":null})", false, {}, {}},
        ListsCase{"EntryNotAPair", R"({"http":[],"tcp":["a"]})", false, {}, {}},
        ListsCase{"EntryEmpty", R"({"http":[],"tcp":[[]]})", false, {}, {}},
        ListsCase{"EntryTooShort", R"({"http":[],"tcp":[["a"]]})", false, {}, {}},
        ListsCase{"HostNotString", R"({"http":[],"tcp":[[1,80]]})", false, {}, {}},
        ListsCase{"PortString", R"({"http":[],"tcp":[["a","80"]]})", false, {}, {}},
        ListsCase{"PortNegative", R"({"http":[],"tcp":[["a",-1]]})", false, {}, {}},
        ListsCase{"PortFraction", R"({"http":[],"tcp":[["a",80.5]]})", false, {}, {}},
        ListsCase{"PortTooLarge", R"({"http":[],"tcp":[["a",65536]]})", false, {}, {}},
        ListsCase{"PortBool", R"({"http":[],"tcp":[["a",true]]})", false, {}, {}},
        ListsCase{"BadHttpEntryFailsBoth", R"({"http":[["a",1],[2,2]],"tcp":[["b",2]]})", false, {}, {}}),
    [](const ::testing::TestParamInfo<ListsCase>& info) { return std::string(info.param.name); });

struct DnsCase {
    const char* name;
    std::vector<std::string> answers;
    bool force_ipv4;
    int mode;
    std::string head;
    std::vector<std::string> ips;
};

void PrintTo(const DnsCase& c, std::ostream* os) { *os << c.name; }

class LbsDnsAnswers : public ::testing::TestWithParam<DnsCase> {};

TEST_P(LbsDnsAnswers, ModePrefixAndAddresses) {
    const DnsCase& c = GetParam();
    nuvra_test::LogCapture log;
    std::list<std::string> answers(c.answers.begin(), c.answers.end());
    lbs_wire::DnsResult r = lbs_wire::parse_dns_answers(answers, "lbs.test", "64:ff9b::", c.force_ipv4);
    EXPECT_EQ(r.ipv6_mode, c.mode);
    EXPECT_EQ(r.ipv6_head, c.head);
    EXPECT_EQ(r.ips, c.ips);
    EXPECT_EQ(log.matching("dns_result lbs.test:").size(), c.answers.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LbsDnsAnswers,
    ::testing::Values(
        DnsCase{"Ipv4Only", {"198.51.100.7", "198.51.100.8"}, false, 0, "64:ff9b::", {"198.51.100.7", "198.51.100.8"}},
        DnsCase{"Ipv6FirstThenIpv4",
                {"2001:db8:1:2:3:4:c0a8:101", "198.51.100.7"},
                false,
                2,
                "2001:db8:1:2:3:4:",
                {"192.168.1.1", "198.51.100.7"}},
        DnsCase{"Ipv4FirstThenIpv6",
                {"198.51.100.7", "64:ff9b::c0a8:101"},
                false,
                1,
                "64:ff9b::",
                {"198.51.100.7", "192.168.1.1"}},
        DnsCase{"Ipv6OnlyShortPrefix", {"2001:db8::c000:221"}, false, 2, "2001:db8::", {"192.0.2.33"}},
        DnsCase{"Ipv4Mapped", {"::ffff:127.0.0.5"}, false, 2, "::", {"127.0.0.5"}},
        DnsCase{"ForcedIpv4", {"2001:db8:1:2:3:4:c0a8:101"}, true, 0, "2001:db8:1:2:3:4:", {"192.168.1.1"}},
        DnsCase{"NoAnswers", {}, false, 0, "64:ff9b::", {}},
        DnsCase{"NonLiteralCountsAsIpv4", {"not-an-address", "64:ff9b::c0a8:101"}, false, 1, "64:ff9b::",
                {"not-an-address", "192.168.1.1"}}),
    [](const ::testing::TestParamInfo<DnsCase>& info) { return std::string(info.param.name); });

TEST(LbsDnsAnswers, LogsEachAnswerAndItsConversion) {
    nuvra_test::LogCapture log;
    std::list<std::string> answers{"198.51.100.7", "64:ff9b::c0a8:101"};
    lbs_wire::parse_dns_answers(answers, "lbs.test", "x", false);
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(" : dns.            sethead 64:ff9b::"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" : dns.            dns_result lbs.test:198.51.100.7"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("dns_result lbs.test:64:ff9b::c0a8:101"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("dns_result nat64 lbs.test:64:ff9b::c0a8:101 -> 192.168.1.1"), std::string::npos)
        << lines[3];
}

}  // namespace
