#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "network.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"

namespace {

// A datagram peer on plain POSIX sockets.
class RawPeer {
public:
    explicit RawPeer(const std::string& ip) {
        family_ = ip.find(':') == std::string::npos ? AF_INET : AF_INET6;
        fd_ = ::socket(family_, SOCK_DGRAM, 0);
        sockaddr_storage addr = make_addr(ip, 0);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return;
        socklen_t len = sizeof(addr);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = port_of(addr);
    }
    ~RawPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }

    void send_to(const std::string& ip, int port, const std::string& data) const {
        sockaddr_storage to = make_addr(ip, port);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }

    // One datagram within timeout_ms; false when none came.
    bool receive(std::string* data, sockaddr_storage* from, int timeout_ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return false;
        char buf[65536];
        socklen_t len = sizeof(*from);
        ssize_t n = ::recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(from), &len);
        if (n < 0) return false;
        data->assign(buf, static_cast<size_t>(n));
        return true;
    }

    void reply(const sockaddr_storage& to, const std::string& data) const {
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }

    static int port_of(const sockaddr_storage& a) {
        if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
    }

private:
    static sockaddr_storage make_addr(const std::string& ip, int port) {
        sockaddr_storage a = {};
        if (ip.find(':') == std::string::npos) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, ip.c_str(), &v4->sin_addr);
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr);
        }
        return a;
    }

    int family_ = AF_INET;
    int fd_ = -1;
    int port_ = 0;
};

struct Received {
    std::string host;
    int port;
    std::string data;
};

// A library socket and what it reported; touched on the network thread only.
struct Socket {
    std::shared_ptr<mynet::NetworkUdp> udp;
    std::vector<Received> received;
    int closed = 0;

    // Creates the socket on the network thread; returns bind's result.
    int open(const std::string& ip) {
        int ret = -100;
        nuvra_test::run_on_loop([&] {
            udp = std::make_shared<mynet::NetworkUdp>();
            udp->init();
            udp->onData([this](const mynet::InetSocketAddress& sender, mynet::ByteBuffer& data) {
                received.push_back(Received{sender.getHostString(), sender.getPort(), data->getString()});
            });
            udp->onClosed([this] { ++closed; });
            ret = udp->bind(ip, 0);
        });
        return ret;
    }

    int local_port() {
        int port = 0;
        nuvra_test::run_on_loop([&] {
            sockaddr_storage a = {};
            int len = sizeof(a);
            if (uv_udp_getsockname(&udp->udp.handle, reinterpret_cast<sockaddr*>(&a), &len) == 0)
                port = RawPeer::port_of(a);
        });
        return port;
    }

    void send(const std::string& host, int port, const std::string& data) {
        nuvra_test::run_on_loop([&] {
            auto bb = std::make_shared<mynet::_ByteBuffer>(data);
            udp->send(host, port, bb);
        });
    }

    // The callbacks point here, so the socket must have closed before.
    ~Socket() {
        nuvra_test::run_on_loop([&] {
            if (udp) udp->close();
        });
        nuvra_test::wait_on_loop([&] { return !udp || udp->isClosed; }, 2000);
        nuvra_test::run_on_loop([&] { udp.reset(); });
    }
};

struct EchoCase {
    const char* bind_ip;
    const char* peer_ip;
    // The sender text the socket reports for the peer.
    const char* sender_text;
};

void PrintTo(const EchoCase& c, std::ostream* os) { *os << c.bind_ip << " <-> " << c.peer_ip; }

class UdpEcho : public ::testing::TestWithParam<EchoCase> {};

TEST_P(UdpEcho, SendsTheRemainingBytesAndReportsTheSender) {
    const EchoCase& c = GetParam();
    nuvra_test::LogCapture log;
    RawPeer peer(c.peer_ip);
    if (!peer.ok() && std::string(c.peer_ip).find(':') != std::string::npos) GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_TRUE(peer.ok());
    Socket s;
    ASSERT_EQ(s.open(c.bind_ip), 0);
    const int port = s.local_port();
    ASSERT_NE(port, 0);

    // Only the bytes from the position to the limit go out.
    nuvra_test::run_on_loop([&] {
        auto bb = std::make_shared<mynet::_ByteBuffer>(std::string("--ping"));
        bb->getString(2);
        s.udp->send(c.peer_ip, peer.port(), bb);
    });
    std::string got;
    sockaddr_storage from = {};
    ASSERT_TRUE(peer.receive(&got, &from, 2000));
    EXPECT_EQ(got, "ping");
    EXPECT_EQ(RawPeer::port_of(from), port);

    peer.reply(from, "pong");
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !s.received.empty(); }, 2000));
    nuvra_test::run_on_loop([&] {
        EXPECT_EQ(s.received[0].data, "pong");
        EXPECT_EQ(s.received[0].host, c.sender_text);
        EXPECT_EQ(s.received[0].port, peer.port());
    });
    EXPECT_TRUE(log.contains("[ net  ] uv_udp_init"));
    EXPECT_FALSE(log.contains("error"));
}

INSTANTIATE_TEST_SUITE_P(Table, UdpEcho,
                         ::testing::Values(EchoCase{"0.0.0.0", "127.0.0.1", "127.0.0.1"}, EchoCase{"::", "::1", "::1"},
                                           // Dual stack: an IPv4 peer seen through an IPv6 socket.
                                           EchoCase{"::", "127.0.0.1", "::ffff:127.0.0.1"}));

TEST(Udp, DatagramsArriveCutTo2048BytesAndEmptyOnesAreSkipped) {
    nuvra_test::LogCapture log;
    RawPeer peer("127.0.0.1");
    ASSERT_TRUE(peer.ok());
    Socket s;
    ASSERT_EQ(s.open("127.0.0.1"), 0);
    const int port = s.local_port();

    std::vector<std::string> sent;
    for (size_t size : {0, 1, 2047, 2048, 2049, 3000}) {
        std::string d(size, '\0');
        for (size_t i = 0; i < size; ++i) d[i] = static_cast<char>((i * 7 + size) & 0xFF);
        sent.push_back(d);
        peer.send_to("127.0.0.1", port, d);
    }
    peer.send_to("127.0.0.1", port, "end");
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return !s.received.empty() && s.received.back().data == "end"; }, 2000));
    nuvra_test::run_on_loop([&] {
        ASSERT_EQ(s.received.size(), 6u);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(s.received[i].data, sent[i + 1].substr(0, 2048)) << i;
    });
}

struct BindCase {
    const char* ip;
    bool port_in_use;
    int expected;
    const char* log_line;
};

void PrintTo(const BindCase& c, std::ostream* os) { *os << '"' << c.ip << '"' << (c.port_in_use ? " busy port" : ""); }

class UdpBind : public ::testing::TestWithParam<BindCase> {};

TEST_P(UdpBind, RefusesWithTheCode) {
    const BindCase& c = GetParam();
    nuvra_test::LogCapture log;
    RawPeer holder("127.0.0.1");
    ASSERT_TRUE(holder.ok());
    Socket s;
    int ret = 0;
    nuvra_test::run_on_loop([&] {
        s.udp = std::make_shared<mynet::NetworkUdp>();
        s.udp->init();
        ret = s.udp->bind(c.ip, c.port_in_use ? holder.port() : 0);
    });
    EXPECT_EQ(ret, c.expected);
    EXPECT_TRUE(log.contains(c.log_line)) << c.log_line;
}

INSTANTIATE_TEST_SUITE_P(Table, UdpBind,
                         ::testing::Values(BindCase{"1.2.3", false, -1, "[ net  ] udp bind wrong addr : 1.2.3"},
                                           // No name resolution here.
                                           BindCase{"localhost", false, -1, "[ net  ] udp bind wrong addr : localhost"},
                                           BindCase{"", false, -1, "[ net  ] udp bind wrong addr : "},
                                           BindCase{"127.0.0.1", true, UV_EADDRINUSE,
                                                    "[ net  ] udp bind failed -98 address already in use"}));

TEST(Udp, SecondBindFails) {
    nuvra_test::LogCapture log;
    Socket s;
    ASSERT_EQ(s.open("127.0.0.1"), 0);
    int ret = 0;
    nuvra_test::run_on_loop([&] { ret = s.udp->bind("127.0.0.1", 0); });
    EXPECT_EQ(ret, UV_EINVAL);
    EXPECT_TRUE(log.contains("[ net  ] udp bind failed"));
}

struct SendErrorCase {
    const char* bind_ip;
    const char* host;
    const char* log_line;
};

void PrintTo(const SendErrorCase& c, std::ostream* os) { *os << c.bind_ip << " -> " << c.host; }

class UdpSendError : public ::testing::TestWithParam<SendErrorCase> {};

TEST_P(UdpSendError, DropsTheDatagramWithALogLine) {
    const SendErrorCase& c = GetParam();
    nuvra_test::LogCapture log;
    RawPeer peer(std::string(c.bind_ip) == "::" ? "::1" : "127.0.0.1");
    ASSERT_TRUE(peer.ok());
    Socket s;
    ASSERT_EQ(s.open(c.bind_ip), 0);
    s.send(c.host, peer.port(), "lost");
    EXPECT_TRUE(log.wait_for(c.log_line, 2000)) << c.log_line;
    std::string got;
    sockaddr_storage from;
    EXPECT_FALSE(peer.receive(&got, &from, 50));
}

INSTANTIATE_TEST_SUITE_P(Table, UdpSendError,
                         ::testing::Values(SendErrorCase{"0.0.0.0", "localhost",
                                                         "[ net  ] udp send wrong addr : localhost"},
                                           SendErrorCase{"0.0.0.0", "1.2.3", "[ net  ] udp send wrong addr : 1.2.3"},
                                           // An IPv6 destination on an IPv4 socket fails in the kernel.
                                           SendErrorCase{"0.0.0.0", "::1", "[ net  ] send error. "}));

TEST(UdpClose, ClosingTwiceReportsOnceAndLaterUseIsRefused) {
    nuvra_test::LogCapture log;
    RawPeer peer("127.0.0.1");
    ASSERT_TRUE(peer.ok());
    Socket s;
    ASSERT_EQ(s.open("0.0.0.0"), 0);

    // Datagrams still queued when the close starts, one sent while closing.
    nuvra_test::run_on_loop([&] {
        for (int i = 0; i < 5; ++i) s.udp->send("127.0.0.1", peer.port(), std::make_shared<mynet::_ByteBuffer>("q"));
        s.udp->close();
        s.udp->close();
        s.udp->send("127.0.0.1", peer.port(), std::make_shared<mynet::_ByteBuffer>("closing"));
        EXPECT_FALSE(s.udp->isClosed);
    });
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return s.closed > 0; }, 2000));
    EXPECT_EQ(log.matching("[ net  ] send udp error : -9 bad file descriptor ").size(), 1u);

    // And once closed: no reopened socket, no second report.
    nuvra_test::run_on_loop([&] {
        EXPECT_TRUE(s.udp->isClosed);
        s.udp->close();
        s.udp->send("127.0.0.1", peer.port(), std::make_shared<mynet::_ByteBuffer>("closed"));
        EXPECT_EQ(s.udp->bind("127.0.0.1", 0), UV_EBADF);
        uv_os_fd_t fd;
        EXPECT_EQ(uv_fileno(reinterpret_cast<uv_handle_t*>(&s.udp->udp.handle), &fd), UV_EBADF);
    });
    nuvra_test::run_on_loop([] {});
    nuvra_test::run_on_loop([&] { EXPECT_EQ(s.closed, 1); });
    EXPECT_EQ(log.matching("[ net  ] send udp error : -9 bad file descriptor ").size(), 2u);

    std::string got;
    sockaddr_storage from;
    while (peer.receive(&got, &from, 50)) EXPECT_EQ(got, "q");
}

TEST(UdpClose, SocketLivesUntilItsCloseCompletes) {
    nuvra_test::LogCapture log;
    RawPeer peer("127.0.0.1");
    ASSERT_TRUE(peer.ok());
    std::weak_ptr<mynet::NetworkUdp> weak;
    int data_calls = 0;
    int closed = 0;
    int port = 0;
    nuvra_test::run_on_loop([&] {
        auto udp = std::make_shared<mynet::NetworkUdp>();
        udp->init();
        // Closes itself from inside its data callback.
        udp->onData([&, raw = udp.get()](const mynet::InetSocketAddress&, mynet::ByteBuffer&) {
            ++data_calls;
            raw->close();
        });
        udp->onClosed([&] { ++closed; });
        ASSERT_EQ(udp->bind("127.0.0.1", 0), 0);
        sockaddr_storage a = {};
        int len = sizeof(a);
        uv_udp_getsockname(&udp->udp.handle, reinterpret_cast<sockaddr*>(&a), &len);
        port = RawPeer::port_of(a);
        weak = udp;
    });
    nuvra_test::run_on_loop([&] { EXPECT_FALSE(weak.expired()); });

    peer.send_to("127.0.0.1", port, "a");
    peer.send_to("127.0.0.1", port, "b");
    ASSERT_TRUE(nuvra_test::wait_on_loop([&] { return closed > 0; }, 2000));
    nuvra_test::run_on_loop([&] {
        EXPECT_EQ(data_calls, 1);
        EXPECT_EQ(closed, 1);
        EXPECT_TRUE(weak.expired());
    });
}

}  // namespace
