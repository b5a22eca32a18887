// Checks the UDP test peers themselves with raw sockets and zlib, so the
// library's tests can trust what the peers send and record.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "peers/discovery_service.h"
#include "peers/telemetry_collector.h"
#include "support/own_address.h"

using nuvra_test::DiscoveryService;
using nuvra_test::own_loopback_ip;
using nuvra_test::TelemetryCollector;
using Reply = TelemetryCollector::Reply;

namespace {

std::string zip(const std::string& text) {
    uLongf n = compressBound(text.size());
    std::string out(n, '\0');
    compress(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(text.data()), text.size());
    out.resize(n);
    return out;
}

// nullopt unless bytes are one complete zlib stream of at most 64 KiB.
std::optional<std::string> unzip(const std::string& bytes) {
    uLongf n = 65536;
    std::string out(n, '\0');
    if (uncompress(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(bytes.data()),
                   bytes.size()) != Z_OK) {
        return std::nullopt;
    }
    out.resize(n);
    return out;
}

struct Datagram {
    std::string bytes;
    uint16_t src_port;
};

// A client socket on 127.0.0.1, ephemeral port.
class Client {
public:
    Client() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = addr("127.0.0.1", 0);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Client() { close(fd); }

    void send(const std::string& ip, uint16_t to_port, const std::string& bytes) {
        sockaddr_in a = addr(ip, to_port);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    std::optional<Datagram> recv(int timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
        std::string buf(65536, '\0');
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, &buf[0], buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        buf.resize(n);
        return Datagram{buf, ntohs(from.sin_port)};
    }

    int fd;
    uint16_t port;

private:
    static sockaddr_in addr(const std::string& ip, uint16_t p) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(p);
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        return a;
    }
};

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

const char* kNotZlib = "<not zlib>";

// Receives the expected answers (inflated texts, kNotZlib for bytes that do
// not inflate) and then checks that nothing more follows.
void expect_answers(Client& client, const std::vector<std::string>& expected, std::vector<uint16_t>* ports) {
    for (const auto& text : expected) {
        auto d = client.recv(1000);
        ASSERT_TRUE(d) << "missing answer " << text;
        auto inflated = unzip(d->bytes);
        EXPECT_EQ(inflated ? *inflated : kNotZlib, text);
        ports->push_back(d->src_port);
    }
    EXPECT_FALSE(client.recv(50)) << "unexpected extra datagram";
}

// Peers on fixed ports listen on this process's own loopback addresses.
const std::string kReport = "{\"cmd\":\"end\",\"seq\":7,\"type\":\"login\"}";
const std::string kAck7 = "{\"seq\":7}";

struct TelemetryCase {
    const char* name;
    Reply reply;
    std::vector<std::string> answers;
    bool from_other_socket;
};

void PrintTo(const TelemetryCase& c, std::ostream* os) { *os << c.name; }

class TelemetryReplies : public testing::TestWithParam<TelemetryCase> {};

TEST_P(TelemetryReplies, AnswersReportAndRecordsIt) {
    const auto& c = GetParam();
    TelemetryCollector collector;
    ASSERT_TRUE(collector.ok());
    collector.set_reply(c.reply);
    Client client;
    client.send("127.0.0.1", collector.port(), zip(kReport));

    std::vector<uint16_t> ports;
    expect_answers(client, c.answers, &ports);
    for (auto p : ports) {
        if (c.from_other_socket) {
            EXPECT_NE(p, collector.port());
        } else {
            EXPECT_EQ(p, collector.port());
        }
    }
    auto r = collector.wait_report(0, 1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text, kReport);
    EXPECT_EQ(r->json["seq"].asUInt(), 7u);
    EXPECT_EQ(r->src_port, client.port);
    EXPECT_FALSE(r->dropped);
}

INSTANTIATE_TEST_SUITE_P(
    UdpPeers, TelemetryReplies,
    testing::Values(TelemetryCase{"Ack", Reply::Ack, {kAck7}, false},
                    TelemetryCase{"WrongSeq", Reply::WrongSeq, {"{\"seq\":8}"}, false},
                    TelemetryCase{"Garbage", Reply::Garbage, {kNotZlib}, false},
                    TelemetryCase{"JsonArray", Reply::JsonArray, {"[1]"}, false},
                    TelemetryCase{"StringSeq", Reply::StringSeq, {"{\"seq\":\"0\"}"}, false},
                    TelemetryCase{"Twice", Reply::Twice, {kAck7, kAck7}, false},
                    TelemetryCase{"OtherSocket", Reply::OtherSocket, {kAck7}, true},
                    TelemetryCase{"None", Reply::None, {}, false}),
    [](const testing::TestParamInfo<TelemetryCase>& info) { return std::string(info.param.name); });

TEST(UdpPeersTelemetry, DropsFirstReportsThenAcknowledges) {
    TelemetryCollector collector;
    ASSERT_TRUE(collector.ok());
    collector.drop_first(1);
    Client client;
    client.send("127.0.0.1", collector.port(), zip(kReport));
    EXPECT_FALSE(client.recv(50));
    client.send("127.0.0.1", collector.port(), zip(kReport));
    std::vector<uint16_t> ports;
    expect_answers(client, {kAck7}, &ports);

    auto reports = collector.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].dropped);
    EXPECT_FALSE(reports[1].dropped);
}

TEST(UdpPeersTelemetry, DelaysAcknowledgement) {
    TelemetryCollector collector;
    ASSERT_TRUE(collector.ok());
    collector.set_ack_delay(150);
    Client client;
    auto t0 = Clock::now();
    client.send("127.0.0.1", collector.port(), zip(kReport));
    auto d = client.recv(1000);
    ASSERT_TRUE(d);
    EXPECT_GE(ms_since(t0), 150);
    EXPECT_EQ(unzip(d->bytes).value_or(""), kAck7);
}

TEST(UdpPeersTelemetry, RecordsUndecodableReportWithoutAnswer) {
    TelemetryCollector collector;
    ASSERT_TRUE(collector.ok());
    Client client;
    client.send("127.0.0.1", collector.port(), "not zlib");
    client.send("127.0.0.1", collector.port(), zip("[\"seq\",1]"));
    EXPECT_FALSE(client.recv(50));
    auto r0 = collector.wait_report(0, 1000);
    auto r1 = collector.wait_report(1, 1000);
    ASSERT_TRUE(r0 && r1);
    EXPECT_EQ(r0->text, "");
    EXPECT_TRUE(r0->json.isNull());
    EXPECT_EQ(r1->text, "[\"seq\",1]");
    EXPECT_TRUE(r1->json.isNull());
    EXPECT_FALSE(collector.wait_report(2, 20));
}

TEST(UdpPeersTelemetry, FixedPortAndSendText) {
    TelemetryCollector collector(own_loopback_ip(1), 8000);
    ASSERT_TRUE(collector.ok());
    EXPECT_EQ(collector.port(), 8000);
    EXPECT_FALSE(collector.send_text("{\"seq\":3}"));
    collector.set_reply(Reply::None);
    Client client;
    client.send(own_loopback_ip(1), 8000, zip(kReport));
    ASSERT_TRUE(collector.wait_report(0, 1000));
    EXPECT_TRUE(collector.send_text("{\"seq\":3}"));
    std::vector<uint16_t> ports;
    expect_answers(client, {"{\"seq\":3}"}, &ports);
}

const std::string kGetaddr = "getaddr {\"appid\":\"app1\"}";

struct DiscoveryCase {
    const char* name;
    std::string ip;
    std::function<void(DiscoveryService&)> setup;
    std::vector<std::string> answers;
    bool from_other_socket;
    int min_delay_ms;
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryAnswers : public testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryAnswers, AnswersRequestAndRecordsIt) {
    const auto& c = GetParam();
    DiscoveryService service(c.ip);
    ASSERT_TRUE(service.ok());
    c.setup(service);
    Client client;
    auto t0 = Clock::now();
    client.send(c.ip, 8181, zip(kGetaddr));

    std::vector<uint16_t> ports;
    expect_answers(client, c.answers, &ports);
    EXPECT_GE(ms_since(t0), c.min_delay_ms);
    for (auto p : ports) {
        if (c.from_other_socket) {
            EXPECT_NE(p, 8181);
        } else {
            EXPECT_EQ(p, 8181);
        }
    }
    auto r = service.wait_request(0, 1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text, kGetaddr);
    EXPECT_EQ(r->json["appid"].asString(), "app1");
    EXPECT_EQ(r->src_port, client.port);
    EXPECT_EQ(r->dst_port, 8181);
}

const std::string kOkLists = "ok {\"http\":[[\"127.0.0.1\",80]],\"tcp\":[[\"127.0.0.1\",8080],[\"::1\",8081]]}";

INSTANTIATE_TEST_SUITE_P(
    UdpPeers, DiscoveryAnswers,
    testing::Values(
        DiscoveryCase{"Default", own_loopback_ip(10), [](DiscoveryService&) {}, {"ok {\"http\":[],\"tcp\":[]}"}, false, 0},
        DiscoveryCase{"OkLists", own_loopback_ip(11),
                      [](DiscoveryService& s) {
                          s.answer_ok({{"127.0.0.1", 8080}, {"::1", 8081}}, {{"127.0.0.1", 80}});
                      },
                      {kOkLists}, false, 0},
        DiscoveryCase{"ErrorText", own_loopback_ip(12), [](DiscoveryService& s) { s.answer_text("no such app"); },
                      {"no such app"}, false, 0},
        DiscoveryCase{"NotZlib", own_loopback_ip(13), [](DiscoveryService& s) { s.answer_bytes("ok plain"); },
                      {kNotZlib}, false, 0},
        DiscoveryCase{"Silent", own_loopback_ip(14), [](DiscoveryService& s) { s.stay_silent(); }, {}, false, 0},
        DiscoveryCase{"Late", own_loopback_ip(15), [](DiscoveryService& s) { s.set_delay(150); },
                      {"ok {\"http\":[],\"tcp\":[]}"}, false, 150},
        DiscoveryCase{"Twice", own_loopback_ip(16),
                      [](DiscoveryService& s) {
                          s.answer_text("busy");
                          s.set_twice(true);
                      },
                      {"busy", "busy"}, false, 0},
        DiscoveryCase{"OtherSocket", own_loopback_ip(17), [](DiscoveryService& s) { s.set_other_socket(true); },
                      {"ok {\"http\":[],\"tcp\":[]}"}, true, 0}),
    [](const testing::TestParamInfo<DiscoveryCase>& info) { return std::string(info.param.name); });

TEST(UdpPeersDiscovery, OversizedAnswerIsGoodButOver2048Bytes) {
    DiscoveryService service(own_loopback_ip(20));
    ASSERT_TRUE(service.ok());
    service.answer_oversized({{"127.0.0.1", 8080}});
    Client client;
    client.send(own_loopback_ip(20), 8180, zip(kGetaddr));
    auto d = client.recv(1000);
    ASSERT_TRUE(d);
    EXPECT_GT(d->bytes.size(), 2048u);
    auto text = unzip(d->bytes);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->rfind("ok {", 0), 0u);
    EXPECT_NE(text->find("\"tcp\":[[\"127.0.0.1\",8080]]"), std::string::npos);
    EXPECT_FALSE(unzip(d->bytes.substr(0, 2048)));
}

TEST(UdpPeersDiscovery, EightPortsAndBindConflict) {
    DiscoveryService service(own_loopback_ip(21), 8);
    ASSERT_TRUE(service.ok());
    DiscoveryService clash(own_loopback_ip(21), 1);
    EXPECT_FALSE(clash.ok());

    Client client;
    client.send(own_loopback_ip(21), 8187, "not zlib");
    auto d = client.recv(1000);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->src_port, 8187);
    auto r = service.wait_request(0, 1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->dst_port, 8187);
    EXPECT_EQ(r->text, "");
    EXPECT_TRUE(r->json.isNull());
}

}  // namespace
