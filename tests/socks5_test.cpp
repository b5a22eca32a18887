#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "network.h"
#include "peers/fake_socks5.h"
#include "peers/socks5_servers.h"
#include "peers/tcp_echo.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"
#include "support/tcp_attempt.h"

using nuvra_test::Close;
using nuvra_test::Echo;
using nuvra_test::FakeSocks5;
using nuvra_test::finish_on_loop;
using nuvra_test::Pause;
using nuvra_test::ProxyStep;
using nuvra_test::Recv;
using nuvra_test::run_on_loop;
using nuvra_test::Send;
using nuvra_test::Socks5Server;
using nuvra_test::TcpAttempt;
using nuvra_test::TcpEcho;
using nuvra_test::wait_on_loop;

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back(static_cast<char>(v));
    return s;
}

std::string port_bytes(int port) { return bytes({(port >> 8) & 0xFF, port & 0xFF}); }

const std::string kMethodOk = bytes({5, 0});
const std::string kConnectOk = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

// An attempt through the proxy at 127.0.0.1:proxy_port.
std::shared_ptr<TcpAttempt> connect_through(const std::string& host, int port, uint32_t timeout_ms, int proxy_port,
                                            const std::function<void(mynet::NetworkTcpClient&)>& prepare = {}) {
    return nuvra_test::connect_on_loop(host, port, timeout_ms, "127.0.0.1", proxy_port, prepare);
}

// An attempt through a real server, at its own address.
std::shared_ptr<TcpAttempt> connect_via(const Socks5Server& server, const std::string& host, int port,
                                        uint32_t timeout_ms,
                                        const std::function<void(mynet::NetworkTcpClient&)>& prepare = {}) {
    return nuvra_test::connect_on_loop(host, port, timeout_ms, server.host(), server.port(), prepare);
}

TEST(Socks5Wire, RequestsAndAnswersHaveTheirWireLayout) {
    mynet::Socks5Proxy p("127.0.0.1", 1080, "10.1.2.3", 8080);
    char select[3];
    p.build_select_request(select);
    EXPECT_EQ(std::string(select, 3), bytes({5, 1, 0}));
    char cmd[10];
    p.build_command_request(cmd);
    EXPECT_EQ(std::string(cmd, 10), bytes({5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90}));
    p.set_socks5_udp_port(0x9C40);
    p.build_command_request(cmd);
    EXPECT_EQ(std::string(cmd, 10), bytes({5, 3, 0, 1, 0, 0, 0, 0, 0x9C, 0x40}));
    EXPECT_EQ(p.build_proxy_addr(), 0);
    mynet::Socks5Proxy bad("proxy.invalid", 1080, "10.1.2.3", 8080);
    EXPECT_NE(bad.build_proxy_addr(), 0);
    mynet::Socks5Proxy prefix(std::string("127.0.0.1\0junk", 14), 1080, "10.1.2.3", 8080);
    EXPECT_NE(prefix.build_proxy_addr(), 0);

    mynet::SOCKS5UDPHEADER h{};
    h.type = 1;
    h.addr = inet_addr("127.0.0.1");
    h.port = htons(8180);
    std::string wire(reinterpret_cast<const char*>(&h), sizeof(h));
    EXPECT_EQ(wire, bytes({0, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0xF4}));
}

struct AnswerCase {
    std::string in;
    size_t size;
};

TEST(Socks5Wire, CommandAnswerSizeFollowsTheAddressType) {
    const std::string v4 = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
    const std::string v6 = bytes({5, 0, 0, 4}) + std::string(16, '\0') + bytes({0x1F, 0x90});
    const std::string name = bytes({5, 0, 0, 3, 5}) + "proxy" + bytes({0x1F, 0x90});
    const AnswerCase cases[] = {
        {"", 0},
        {v4.substr(0, 3), 0},
        {v4.substr(0, 9), 0},
        {v4, 10},
        {v4 + "tunnel", 10},
        {v6.substr(0, 21), 0},
        {v6, 22},
        {name.substr(0, 4), 0},
        {name.substr(0, 11), 0},
        {name, 12},
        {bytes({5, 0, 0, 9, 0, 0, 0, 0, 0x1F, 0x90}), 10},
    };
    for (const AnswerCase& c : cases) {
        EXPECT_EQ(mynet::socks5_command_answer_size(c.in.data(), c.in.size()), c.size) << c.in.size();
        if (c.size) {
            EXPECT_EQ(mynet::socks5_command_answer_port(c.in.data(), c.size), 8080);
        }
    }
}

class RealProxy : public ::testing::TestWithParam<Socks5Server::Kind> {};

TEST_P(RealProxy, ConnectCarriesDataBothWays) {
    Socks5Server server(GetParam());
    if (!server.start()) GTEST_SKIP() << "SOCKS5 server cannot run here: " << server.error();
    nuvra_test::LogCapture log;
    TcpEcho echo;
    echo.set_greeting("from the peer;");
    auto a = connect_via(server, "127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 3000));
    ASSERT_EQ(a->connected, 1) << a->code;
    std::string proxy = server.host();
    std::string pport = std::to_string(server.port());
    EXPECT_TRUE(log.contains("[ net  ] start auth socks5, " + proxy + ":" + pport));
    EXPECT_TRUE(log.contains("[ net  ] proxy server auth answer ack, ver is 5, method is 0: " + proxy + ", " + pport));
    EXPECT_TRUE(log.contains("[ net  ] proxy server cmd answer ack, ver is 5, rep is 0"));
    run_on_loop([&] {
        EXPECT_EQ(a->stream->getRemoteAddr().getPort(), server.port());
        a->stream->send("through the tunnel", 18);
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= 32; }, 3000));
    run_on_loop([&] { EXPECT_EQ(a->data, "from the peer;through the tunnel"); });
    finish_on_loop(a);
    EXPECT_EQ(a->failed, 0);
}

// A UDP socket on POSIX calls, waiting at most 2 s for each datagram.
class UdpSocket {
public:
    UdpSocket() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = addr(0);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        timeval tv{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~UdpSocket() { close(m_fd); }
    int port() const { return m_port; }
    void send_to(int port, const std::string& data) { send_to("127.0.0.1", port, data); }
    void send_to(const std::string& host, int port, const std::string& data) {
        sockaddr_in a = addr(port);
        inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    // "" after the wait; *from gets the sender's port.
    std::string receive(int* from) {
        char buf[2048];
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        ssize_t n = recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&a), &len);
        *from = ntohs(a.sin_port);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

private:
    static sockaddr_in addr(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        return a;
    }
    int m_fd;
    int m_port = 0;
};

std::string udp_header(int port) {
    mynet::SOCKS5UDPHEADER h{};
    h.type = 1;
    h.addr = inet_addr("127.0.0.1");
    h.port = htons(static_cast<uint16_t>(port));
    return std::string(reinterpret_cast<const char*>(&h), sizeof(h));
}

TEST(Socks5UdpAssociate, DantedRelaysADatagramBothWays) {
    Socks5Server server(Socks5Server::DANTED);
    if (!server.start()) GTEST_SKIP() << "danted cannot run here: " << server.error();
    UdpSocket local;
    UdpSocket target;
    auto a = connect_via(server, "127.0.0.1", target.port(), 2000, [&](mynet::NetworkTcpClient& c) {
        c.s5->set_socks5_udp_port(local.port());
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 3000));
    ASSERT_EQ(a->connected, 1) << a->code;
    ASSERT_GT(a->udp_port, 0);

    local.send_to(server.host(), a->udp_port, udp_header(target.port()) + "ping");
    int relay = 0;
    EXPECT_EQ(target.receive(&relay), "ping");
    target.send_to(relay, "pong");
    int from = 0;
    EXPECT_EQ(local.receive(&from), udp_header(target.port()) + "pong");
    EXPECT_EQ(from, a->udp_port);
    finish_on_loop(a);
}

TEST(Socks5UdpAssociate, MicrosocksRefusesTheAssociation) {
    Socks5Server server(Socks5Server::MICROSOCKS);
    if (!server.start()) GTEST_SKIP() << "microsocks cannot run here: " << server.error();
    nuvra_test::LogCapture log;
    auto a = connect_via(server, "127.0.0.1", 9, 2000,
                             [](mynet::NetworkTcpClient& c) { c.s5->set_socks5_udp_port(40000); });
    ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 3000));
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_LT(a->code, 0);
        EXPECT_EQ(a->reason, "");
    });
    EXPECT_TRUE(log.contains("[ net  ] connection cannot be established, error: 7"));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealProxy, ::testing::Values(Socks5Server::DANTED, Socks5Server::MICROSOCKS),
                         [](const ::testing::TestParamInfo<Socks5Server::Kind>& i) {
                             return i.param == Socks5Server::DANTED ? "danted" : "microsocks";
                         });

struct ScriptCase {
    const char* name;
    std::vector<ProxyStep> script;
    bool connects;
    std::string tunnel;            // bytes the new owner receives first
    std::vector<std::string> lines;  // log lines expected
};

class ScriptedProxy : public ::testing::TestWithParam<ScriptCase> {};

// The time-out is tripled to 3 s; every outcome must come well before it.
TEST_P(ScriptedProxy, EndsWithOneOutcomePromptly) {
    const ScriptCase& c = GetParam();
    nuvra_test::LogCapture log;
    FakeSocks5 proxy(c.script);
    auto a = connect_through("127.0.0.1", 8080, 1000, proxy.port());
    ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 1000));
    if (c.connects) {
        ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= c.tunnel.size(); }, 1000));
        run_on_loop([&] {
            EXPECT_EQ(a->data, c.tunnel);
            a->stream->send("back", 4);
        });
        ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= c.tunnel.size() + 4; }, 1000));
        run_on_loop([&] { EXPECT_EQ(a->data, c.tunnel + "back"); });
    }
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->connected, c.connects ? 1 : 0);
        EXPECT_EQ(a->failed, c.connects ? 0 : 1);
        if (!c.connects) {
            EXPECT_LT(a->code, 0);
            EXPECT_EQ(a->reason, "");
        }
    });
    for (const std::string& line : c.lines) EXPECT_TRUE(log.contains(line)) << line;
    EXPECT_FALSE(log.contains("tcp connect timeout"));
    finish_on_loop(a);
}

const std::string kV6Answer = bytes({5, 0, 0, 4}) + std::string(16, '\0') + bytes({0x1F, 0x90});

INSTANTIATE_TEST_SUITE_P(
    Answers, ScriptedProxy,
    ::testing::Values(
        ScriptCase{"split_answers_then_tunnel_data",
                   {Recv(3), Send(bytes({5})), Pause(30), Send(bytes({0})), Recv(10), Send(kConnectOk.substr(0, 3)),
                    Pause(30), Send(kConnectOk.substr(3, 5)), Pause(30), Send(kConnectOk.substr(8) + "tail"), Echo()},
                   true,
                   "tail",
                   {"[ net  ] proxy server cmd answer ack, ver is 5, rep is 0"}},
        ScriptCase{"answers_in_one_piece_with_data",
                   {Recv(3), Send(kMethodOk), Recv(10), Send(kConnectOk + "early"), Echo()},
                   true,
                   "early",
                   {}},
        ScriptCase{"ipv6_bound_address", {Recv(3), Send(kMethodOk), Recv(10), Send(kV6Answer + "v6"), Echo()}, true,
                   "v6", {}},
        ScriptCase{"closes_at_once", {Close()}, false, "", {}},
        ScriptCase{"closes_after_method_answer", {Recv(3), Send(kMethodOk), Recv(10), Close()}, false, "", {}},
        ScriptCase{"short_method_answer_then_close", {Recv(3), Send(bytes({5})), Close()}, false, "", {}},
        ScriptCase{"short_command_answer_then_close",
                   {Recv(3), Send(kMethodOk), Recv(10), Send(kConnectOk.substr(0, 6)), Close()},
                   false,
                   "",
                   {}},
        ScriptCase{"wrong_version",
                   {Recv(3), Send(bytes({4, 0}))},
                   false,
                   "",
                   {"[ net  ] proxy server auth answer ack, ver is 4, method is 0: 127.0.0.1, ",
                    "[ net  ] socks5 auth is not allowed 127.0.0.1"}},
        ScriptCase{"no_acceptable_method",
                   {Recv(3), Send(bytes({5, 0xFF}))},
                   false,
                   "",
                   {"[ net  ] proxy server auth answer ack, ver is 5, method is -1: 127.0.0.1, ",
                    "[ net  ] socks5 auth is not allowed 127.0.0.1"}},
        ScriptCase{"password_wanted",
                   {Recv(3), Send(bytes({5, 2}))},
                   false,
                   "",
                   {"[ net  ] socks5 auth is not allowed 127.0.0.1"}},
        ScriptCase{"reply_5",
                   {Recv(3), Send(kMethodOk), Recv(10), Send(bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}))},
                   false,
                   "",
                   {"[ net  ] proxy server cmd answer ack, ver is 5, rep is 5",
                    "[ net  ] connection cannot be established, error: 5"}},
        ScriptCase{"reply_0x85",
                   {Recv(3), Send(kMethodOk), Recv(10), Send(bytes({5, 0x85, 0, 1, 0, 0, 0, 0, 0, 0}))},
                   false,
                   "",
                   {"[ net  ] proxy server cmd answer ack, ver is 5, rep is -123",
                    "[ net  ] connection cannot be established, error: -123"}},
        ScriptCase{"command_answer_wrong_version",
                   {Recv(3), Send(kMethodOk), Recv(10), Send(bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}))},
                   false,
                   "",
                   {"[ net  ] connection cannot be established, error: 0"}}),
    [](const ::testing::TestParamInfo<ScriptCase>& i) { return i.param.name; });

// A new owner that sets no data callback: the tunnel bytes that came with the
// answer are dropped.
TEST(Socks5Client, TunnelBytesWithoutADataCallbackAreDropped) {
    FakeSocks5 proxy({Recv(3), Send(kMethodOk), Recv(10), Send(kConnectOk + "early"), Pause(50), Close()});
    int connected = 0, failed = 0, closed = 0;
    std::shared_ptr<mynet::NetworkTcpStream> stream;
    run_on_loop([&] {
        mynet::my_proxy_host = "127.0.0.1";
        mynet::my_proxy_port = proxy.port();
        auto client = std::make_shared<mynet::NetworkTcpClient>("127.0.0.1", 8080, 1000);
        mynet::my_proxy_host = "";
        mynet::my_proxy_port = 0;
        client->onConnected([&](mynet::NetworkTcpClient*, mynet::NetworkTcpStream* s) {
            ++connected;
            stream = s->shared_from_this();
            s->onData(nullptr);
            s->onClosed([&](mynet::NetworkTcpStream*) { ++closed; });
        });
        client->onConnFail([&](mynet::NetworkTcpClient*, int, std::string) { ++failed; });
        client->connect();
    });
    ASSERT_TRUE(wait_on_loop([&] { return closed > 0; }, 2000));
    run_on_loop([&] {
        EXPECT_EQ(connected, 1);
        EXPECT_EQ(failed, 0);
        stream.reset();
    });
}

TEST(Socks5Client, ProxyClosingAtOnceFailsOnceAndOutlivesItsTimeout) {
    nuvra_test::LogCapture log;
    FakeSocks5 proxy({Close()});
    // Tripled to 300 ms: the time-out fires while the test still runs.
    auto a = connect_through("127.0.0.1", 8080, 100, proxy.port());
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 1000));
    EXPECT_FALSE(log.contains("tcp connect timeout"));
    sleep_ms(400);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_LT(a->code, 0);
    });
    EXPECT_FALSE(log.contains("tcp connect timeout"));
}

TEST(Socks5Client, SilentProxyTimesOutAfterThreeTimesTheTimeout) {
    nuvra_test::LogCapture log;
    FakeSocks5 proxy({Recv(3)});
    auto a = connect_through("127.0.0.1", 8080, 100, proxy.port());
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 2000));
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_EQ(a->code, UV_ETIMEDOUT);
        EXPECT_EQ(a->reason, "");
        // Well past one time-out; the loop's cached clock may start it a bit early.
        EXPECT_GE(a->elapsed_ms(), 200);
    });
    EXPECT_TRUE(log.contains("[ net  ] tcp connect timeout to 127.0.0.1:8080"));
}

TEST(Socks5Client, HostNameIsResolvedAndTheAddressIsAskedFor) {
    FakeSocks5 proxy({Recv(3), Send(kMethodOk), Recv(10), Send(kConnectOk), Echo()});
    auto a = connect_through("localhost", 4321, 1000, proxy.port());
    ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 1000));
    ASSERT_EQ(a->connected, 1);
    EXPECT_EQ(proxy.received(), bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + port_bytes(4321));
    finish_on_loop(a);
}

TEST(Socks5Client, Ipv6PeerIsRefusedAfterTheMethodAnswer) {
    nuvra_test::LogCapture log;
    FakeSocks5 proxy({Recv(3), Send(kMethodOk)});
    auto a = connect_through("::1", 8080, 1000, proxy.port());
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 1000));
    run_on_loop([&] {
        EXPECT_EQ(a->connected, 0);
        EXPECT_EQ(a->failed, 1);
        EXPECT_LT(a->code, 0);
    });
    EXPECT_TRUE(log.contains("[ net  ] socks5 does not support peer ipv4 addr temporary ::1"));
    EXPECT_EQ(proxy.received(), bytes({5, 1, 0}));
}

}  // namespace
