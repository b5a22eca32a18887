#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "network.h"
#include "peers/tcp_echo.h"
#include "support/log_capture.h"
#include "support/loop_handles.h"
#include "support/loop_thread.h"
#include "support/tcp_attempt.h"

using nuvra_test::connect_on_loop;
using nuvra_test::finish_on_loop;
using nuvra_test::run_on_loop;
using nuvra_test::TcpEcho;
using nuvra_test::wait_on_loop;

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A loopback port with nothing listening on it.
int closed_port(int family) {
    int fd = socket(family, SOCK_STREAM, 0);
    sockaddr_storage ss{};
    ss.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr = in6addr_loopback;
    } else {
        reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    socklen_t len = sizeof(ss);
    bind(fd, reinterpret_cast<sockaddr*>(&ss), family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    int port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    close(fd);
    return port;
}

// A socket listening on 127.0.0.1 at an ephemeral port, which `a` receives.
int listen_on_loopback(int backlog, sockaddr_in& a) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return fd;
}

// A listener whose accept queue (backlog 0) is filled by one connection, so
// that a further connect stays pending.
class FullListener {
public:
    FullListener() {
        sockaddr_in a{};
        m_listen = listen_on_loopback(0, a);
        m_port = ntohs(a.sin_port);
        m_filler = socket(AF_INET, SOCK_STREAM, 0);
        connect(m_filler, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    ~FullListener() {
        close(m_filler);
        close(m_listen);
    }
    int port() const { return m_port; }

private:
    int m_listen = -1;
    int m_filler = -1;
    int m_port = 0;
};

// One accepted loopback connection on POSIX sockets, read with deadlines.
class RawPeer {
public:
    RawPeer() {
        sockaddr_in a{};
        m_listen = listen_on_loopback(4, a);
        m_port = ntohs(a.sin_port);
    }
    ~RawPeer() {
        if (m_conn >= 0) close(m_conn);
        close(m_listen);
    }
    int port() const { return m_port; }
    bool accept_within(int ms) {
        if (!readable(m_listen, ms)) return false;
        m_conn = accept(m_listen, nullptr, nullptr);
        return m_conn >= 0;
    }
    // Reads until n bytes arrived, the stream ended or ms passed.
    std::string read_within(size_t n, int ms) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buf[65536];
        while (got.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(m_conn, static_cast<int>(left.count()))) break;
            ssize_t r = recv(m_conn, buf, std::min(sizeof(buf), n - got.size()), 0);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    bool sees_end_within(int ms) {
        char b;
        return readable(m_conn, ms) && recv(m_conn, &b, 1, 0) == 0;
    }

private:
    static bool readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }
    int m_listen = -1;
    int m_conn = -1;
    int m_port = 0;
};

struct ConnectCase {
    const char* name;
    const char* listen_ip;
    const char* host;
    bool ipv6;
    bool literal;
};

class TcpConnect : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(TcpConnect, EchoesBothWaysAndKeepsThePeerAddressAfterClose) {
    const ConnectCase& c = GetParam();
    nuvra_test::LogCapture log;
    TcpEcho echo(c.listen_ip);
    auto a = connect_on_loop(c.host, echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 2000));
    ASSERT_EQ(a->connected, 1);
    EXPECT_EQ(a->failed, 0);
    EXPECT_FALSE(a->reported_inside_connect);
    EXPECT_EQ(a->isipv6, c.ipv6);
    EXPECT_EQ(log.contains(std::string("[ net  ] connect to ") + c.host), c.literal);

    run_on_loop([&] { a->stream->send("hello over tcp", 14); });
    ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= 14; }, 2000));
    EXPECT_EQ(a->data, "hello over tcp");

    std::string ip;
    int port = 0;
    run_on_loop([&] {
        a->stream->close();
        ip = a->stream->getRemoteIP();
        port = a->stream->getRemoteAddr().getPort();
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->closed == 1; }, 2000));
    run_on_loop([&] {
        // The record is gone now; the address is still the peer's.
        EXPECT_EQ(a->stream->getRemoteIP(), ip);
        EXPECT_EQ(a->stream->getFD(), 0);
    });
    EXPECT_EQ(ip, c.listen_ip);
    EXPECT_EQ(port, echo.port());
    finish_on_loop(a);
}

INSTANTIATE_TEST_SUITE_P(Hosts, TcpConnect,
                         ::testing::Values(ConnectCase{"ipv4_literal", "127.0.0.1", "127.0.0.1", false, true},
                                           ConnectCase{"ipv6_literal", "::1", "::1", true, true},
                                           ConnectCase{"host_name", "127.0.0.1", "localhost", false, false}),
                         [](const ::testing::TestParamInfo<ConnectCase>& i) { return i.param.name; });

TEST(TcpStream, BurstIsHandedOverInPiecesOfAtMost2048Bytes) {
    std::string burst(5000, '\0');
    for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<char>(i * 7 + 3);
    TcpEcho echo;
    echo.set_greeting(burst);
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= burst.size(); }, 2000));
    run_on_loop([&] {
        EXPECT_EQ(a->data, burst);
        EXPECT_GE(a->pieces.size(), 3u);
        for (size_t n : a->pieces) EXPECT_LE(n, 2048u);
    });
    finish_on_loop(a);
}

TEST(TcpStream, PeerCloseIsReportedOnceAndLaterCallsAreRefused) {
    nuvra_test::LogCapture log;
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1 && echo.accepted() == 1; }, 2000));
    echo.close_connections();
    ASSERT_TRUE(wait_on_loop([&] { return a->closed == 1; }, 2000));
    run_on_loop([&] {
        a->stream->send("late", 4);
        a->stream->close();
    });
    sleep_ms(30);
    run_on_loop([&] { EXPECT_EQ(a->closed, 1); });
    EXPECT_TRUE(log.contains("is closed"));
    EXPECT_TRUE(log.contains("[ net  ] close when closed"));
    finish_on_loop(a);
}

// A write that the socket refuses with EPIPE (here: its sending side shut
// under the stream) fails into the closed callback; it must not raise
// SIGPIPE, whose default action would end the application. Lines that the
// server resets while the engine still writes end the same way.
TEST(TcpStream, WriteRefusedWithEpipeClosesWithoutSignallingTheProcess) {
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    run_on_loop([&] {
        uv_os_fd_t fd = -1;
        ASSERT_EQ(uv_fileno(reinterpret_cast<uv_handle_t*>(&a->stream->tcp->handle), &fd), 0);
        shutdown(fd, SHUT_WR);
        a->stream->send("refused", 7);
    });
    EXPECT_TRUE(wait_on_loop([&] { return a->closed == 1; }, 2000));
    finish_on_loop(a);
}

// An owner may leave any callback unset: an empty function must not throw
// out of a libuv callback.
TEST(TcpStream, UnsetCallbacksAreSkipped) {
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    run_on_loop([&] {
        a->stream->onData(nullptr);
        a->stream->onClosed(nullptr);
        a->stream->onBufHigh(nullptr);
        a->stream->onBufLow(nullptr);
        a->stream->onSent(nullptr);
        a->stream->setBufHigh(2);
        a->stream->setBufLow(1);
        a->stream->send("echo me", 7);
    });
    sleep_ms(50);
    std::weak_ptr<mynet::NetworkTcpStream> weak = a->stream;
    run_on_loop([&] {
        a->stream->close();
        a->stream.reset();
    });
    EXPECT_TRUE(wait_on_loop([&] { return weak.expired(); }, 2000));
    EXPECT_EQ(a->closed, 0);
}

TEST(TcpStream, SendsFromThePositionAndAccountsTheQueuedLength) {
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    std::string payload(100000, 'p');
    run_on_loop([&] {
        auto bb = std::make_shared<mynet::_ByteBuffer>(4 + static_cast<int>(payload.size()));
        bb->putInt(0xDEADBEEF);
        bb->put(payload);
        bb->flip();
        bb->getUInt32();
        a->stream->send(bb);
        EXPECT_EQ(a->stream->buf_size, payload.size());
        // The caller moving on must not upset the count of queued bytes.
        bb->getString();
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= payload.size(); }, 3000));
    run_on_loop([&] {
        EXPECT_EQ(a->data, payload);
        EXPECT_EQ(a->stream->buf_size, 0u);
    });
    finish_on_loop(a);
}

TEST(TcpStream, QueuedBytesCrossTheHighThenTheLowMark) {
    TcpEcho echo;
    echo.set_reading(false);
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    const int kChunk = 1536 * 1024;
    auto log_marks = std::make_shared<std::vector<std::pair<char, unsigned>>>();
    auto& marks = *log_marks;
    run_on_loop([&] {
        a->stream->onBufHigh([log_marks](mynet::NetworkTcpStream*, unsigned q) { log_marks->emplace_back('H', q); });
        a->stream->onBufLow([log_marks](mynet::NetworkTcpStream*, unsigned q) { log_marks->emplace_back('L', q); });
        a->stream->send(std::string(kChunk, 'x').data(), kChunk);
        ASSERT_EQ(marks.size(), 1u);
        EXPECT_EQ(marks[0], std::make_pair('H', static_cast<unsigned>(kChunk)));
        // Still above the high mark: no second report.
        a->stream->send("y", 1);
        EXPECT_EQ(marks.size(), 1u);
    });
    echo.set_reading(true);
    ASSERT_TRUE(wait_on_loop([&] { return marks.size() >= 2; }, 5000));
    run_on_loop([&] {
        EXPECT_EQ(marks[1].first, 'L');
        EXPECT_LT(marks[1].second, 32768u);
        a->stream->send(std::string(kChunk, 'z').data(), kChunk);
        ASSERT_EQ(marks.size(), 3u);
        EXPECT_EQ(marks[2].first, 'H');
    });
    ASSERT_TRUE(wait_on_loop([&] { return marks.size() >= 4 && a->data.size() >= 2u * kChunk + 1; }, 5000));
    run_on_loop([&] {
        EXPECT_EQ(marks[3].first, 'L');
        EXPECT_EQ(a->stream->buf_size, 0u);
    });
    finish_on_loop(a);
}

TEST(TcpStream, SendsOfOneTurnLeaveInOrderAsOneWritePerStream) {
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    auto b = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1 && b->connected == 1; }, 2000));
    std::string want_a;
    std::string want_b;
    std::vector<std::string> reported;
    uint64_t writes_a = 0;
    uint64_t writes_b = 0;
    run_on_loop([&] {
        writes_a = a->stream->m_writes_issued;
        writes_b = b->stream->m_writes_issued;
        a->stream->onSent([&reported](mynet::NetworkTcpStream*, mynet::ByteBuffer& bb) {
            reported.push_back(std::string(bb->data(), bb->remaining()));
        });
        for (int i = 0; i < 300; ++i) {
            std::string frame = "frame " + std::to_string(i) + ";";
            // A buffer read past its head sends only what is left.
            auto bb = std::make_shared<mynet::_ByteBuffer>("head" + frame);
            bb->getUInt32();
            a->stream->send(bb);
            want_a += frame;
            std::string other = "other " + std::to_string(i) + ";";
            b->stream->send(other.data(), static_cast<int>(other.size()));
            want_b += other;
        }
        EXPECT_EQ(a->stream->buf_size, want_a.size());
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= want_a.size() && b->data.size() >= want_b.size(); },
                             3000));
    run_on_loop([&] {
        EXPECT_EQ(a->data, want_a);
        EXPECT_EQ(b->data, want_b);
        EXPECT_EQ(a->stream->m_writes_issued - writes_a, 1u);
        EXPECT_EQ(b->stream->m_writes_issued - writes_b, 1u);
        EXPECT_EQ(a->stream->buf_size, 0u);
        ASSERT_EQ(reported.size(), 300u);
        EXPECT_EQ(reported.front(), "frame 0;");
        EXPECT_EQ(reported.back(), "frame 299;");
        // A later turn is a write of its own.
        a->stream->send("next", 4);
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->data.size() >= want_a.size() + 4; }, 2000));
    run_on_loop([&] { EXPECT_EQ(a->stream->m_writes_issued - writes_a, 2u); });
    finish_on_loop(a);
    finish_on_loop(b);
}

TEST(TcpStream, MarksOfABurstInOneTurnFireAtTheSameByteCounts) {
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    auto log_marks = std::make_shared<std::vector<std::pair<char, unsigned>>>();
    auto& marks = *log_marks;
    using Mark = std::pair<char, unsigned>;
    run_on_loop([&] {
        a->stream->setBufHigh(100);
        a->stream->setBufLow(50);
        a->stream->onBufHigh([log_marks](mynet::NetworkTcpStream*, unsigned q) { log_marks->emplace_back('H', q); });
        a->stream->onBufLow([log_marks](mynet::NetworkTcpStream*, unsigned q) { log_marks->emplace_back('L', q); });
        a->stream->send(std::string(60, 'a').data(), 60);
        EXPECT_TRUE(marks.empty());
        a->stream->send(std::string(60, 'b').data(), 60);
        ASSERT_EQ(marks.size(), 1u);
        EXPECT_EQ(marks[0], Mark('H', 120));
        a->stream->send(std::string(30, 'c').data(), 30);
        EXPECT_EQ(marks.size(), 1u);
    });
    // Written together, the buffers are still subtracted one by one: the low
    // mark is crossed after the second, with the third's 30 bytes left.
    ASSERT_TRUE(wait_on_loop([&] { return marks.size() >= 2 && a->data.size() >= 150; }, 2000));
    run_on_loop([&] {
        ASSERT_EQ(marks.size(), 2u);
        EXPECT_EQ(marks[1], Mark('L', 30));
        a->stream->send(std::string(101, 'd').data(), 101);
        ASSERT_EQ(marks.size(), 3u);
        EXPECT_EQ(marks[2], Mark('H', 101));
    });
    ASSERT_TRUE(wait_on_loop([&] { return marks.size() >= 4; }, 2000));
    run_on_loop([&] {
        EXPECT_EQ(marks[3], Mark('L', 0));
        EXPECT_EQ(a->stream->buf_size, 0u);
    });
    finish_on_loop(a);
}

TEST(TcpStream, CloseInTheTurnOfASendWritesWhatTheSocketTakesThenEnds) {
    RawPeer peer;
    auto a = connect_on_loop("127.0.0.1", peer.port(), 2000);
    ASSERT_TRUE(peer.accept_within(2000));
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    run_on_loop([&] {
        a->stream->send("last ", 5);
        a->stream->send("words", 5);
        a->stream->close();
        a->stream->send("late", 4);
    });
    EXPECT_EQ(peer.read_within(10, 2000), "last words");
    EXPECT_TRUE(peer.sees_end_within(2000));
    ASSERT_TRUE(wait_on_loop([&] { return a->closed == 1; }, 2000));
    finish_on_loop(a);
}

TEST(TcpStream, CloseWithAGatheredWriteTooBigForTheSocketFreesItAndClosesOnce) {
    nuvra_test::LogCapture log;
    TcpEcho echo;
    echo.set_reading(false);
    auto a = connect_on_loop("127.0.0.1", echo.port(), 2000);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    std::vector<std::weak_ptr<mynet::_ByteBuffer>> sent;
    run_on_loop([&] {
        for (int i = 0; i < 8; ++i) {
            auto bb = std::make_shared<mynet::_ByteBuffer>(std::string(1024 * 1024, static_cast<char>('a' + i)));
            sent.push_back(bb);
            a->stream->send(bb);
        }
        a->stream->close();
    });
    ASSERT_TRUE(wait_on_loop([&] { return a->closed == 1; }, 2000));
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->closed, 1);
        EXPECT_EQ(a->stream->buf_size, 0u);
        for (const auto& w : sent) EXPECT_TRUE(w.expired());
    });
    EXPECT_TRUE(log.contains("[ net  ] send error. " + std::to_string(UV_ECANCELED)));
    EXPECT_TRUE(log.contains("[ net  ] close when closed"));
    finish_on_loop(a);
}

enum class Caller { kPosted, kDoLater, kTimer };

struct TurnCase {
    const char* name;
    Caller caller;
};

class TcpSendLatency : public ::testing::TestWithParam<TurnCase> {};

// Nothing else wakes the loop here: a send left for after the loop's next
// wait would sit until the keep-alive timer, seconds away. The timer is left
// open after its one firing, so no pending close shortens that wait.
TEST_P(TcpSendLatency, SendLeavesBeforeTheLoopWaitsAgain) {
    RawPeer peer;
    auto a = connect_on_loop("127.0.0.1", peer.port(), 2000);
    ASSERT_TRUE(peer.accept_within(2000));
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    const Caller caller = GetParam().caller;
    std::vector<std::shared_ptr<mynet::Timer>> timers;
    for (int round = 0; round < 5; ++round) {
        std::string msg = "round " + std::to_string(round);
        auto start = std::chrono::steady_clock::now();
        run_on_loop([&] {
            std::shared_ptr<mynet::NetworkTcpStream> s = a->stream;
            auto send = [s, msg] { s->send(msg.data(), static_cast<int>(msg.size())); };
            if (caller == Caller::kPosted) {
                send();
            } else if (caller == Caller::kDoLater) {
                mynet::do_later(0, send);
            } else {
                timers.push_back(std::make_shared<mynet::Timer>());
                timers.back()->start(1, 1, [send](mynet::Timer*) { send(); });
            }
        });
        EXPECT_EQ(peer.read_within(msg.size(), 1000), msg);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(took.count(), 200) << "round " << round;
    }
    run_on_loop([&] {
        for (auto& t : timers) t->close();
    });
    finish_on_loop(a);
}

INSTANTIATE_TEST_SUITE_P(Callers, TcpSendLatency,
                         ::testing::Values(TurnCase{"posted", Caller::kPosted},
                                           TurnCase{"do_later", Caller::kDoLater},
                                           TurnCase{"timer", Caller::kTimer}),
                         [](const ::testing::TestParamInfo<TurnCase>& i) { return i.param.name; });

TEST(TcpClient, PendingConnectTimesOutThenFailsOnce) {
    nuvra_test::LogCapture log;
    FullListener full;
    auto a = connect_on_loop("127.0.0.1", full.port(), 150);
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 3000));
    sleep_ms(50);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_EQ(a->code, UV_ECANCELED);
        EXPECT_EQ(a->reason, uv_strerror(UV_ECANCELED));
        // The loop's cached clock may start the time-out a little early.
        EXPECT_GE(a->elapsed_ms(), 100);
    });
    std::string where = "127.0.0.1:" + std::to_string(full.port());
    auto lines = log.lines();
    auto timeout_line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find("[ net  ] tcp connect timeout to " + where) != std::string::npos;
    });
    auto failed_line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find("[ net  ] on tcp connect failed2 : " + where + " " + std::to_string(UV_ECANCELED)) !=
               std::string::npos;
    });
    ASSERT_NE(timeout_line, lines.end());
    ASSERT_NE(failed_line, lines.end());
    EXPECT_LT(timeout_line - lines.begin(), failed_line - lines.begin());
}

TEST(TcpClient, ConnectionMadeInTimeIgnoresTheLaterTimeout) {
    nuvra_test::LogCapture log;
    TcpEcho echo;
    auto a = connect_on_loop("127.0.0.1", echo.port(), 100);
    ASSERT_TRUE(wait_on_loop([&] { return a->connected == 1; }, 2000));
    sleep_ms(200);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 0);
        EXPECT_EQ(a->closed, 0);
    });
    EXPECT_FALSE(log.contains("tcp connect timeout"));
    finish_on_loop(a);
}

// An attempt that has its answer (connected, refused, by address or by
// name) stops its connect time-out at once: no timer of it stays on the loop.
TEST(TcpClient, AnsweredAttemptLeavesNoTimeOutRunning) {
    TcpEcho echo;
    struct Case {
        const char* name;
        std::string host;
        int port;
        bool connects;
    };
    const Case cases[] = {
        {"connected by address", "127.0.0.1", echo.port(), true},
        {"connected by name", "localhost", echo.port(), true},
        {"refused", "127.0.0.1", closed_port(AF_INET), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nuvra_test::LogCapture log;
        const std::set<const void*> before = nuvra_test::live_handle_ids();
        auto a = connect_on_loop(c.host, c.port, 60000);
        ASSERT_TRUE(wait_on_loop([&] { return a->connected + a->failed > 0; }, 3000));
        run_on_loop([&] { EXPECT_EQ(a->connected, c.connects ? 1 : 0); });
        // A left time-out would stay for a minute.
        const std::vector<nuvra_test::LoopHandle> left = nuvra_test::timers_left_since(before, 1000);
        EXPECT_TRUE(left.empty()) << nuvra_test::describe(left);
        finish_on_loop(a);
        EXPECT_FALSE(log.contains("tcp connect timeout"));
    }
}

struct FailCase {
    const char* name;
    std::string host;
    int family;  // of the closed port to aim at
    std::string proxy;
    std::string line;
    int code;  // 0: any negative code
    std::string reason;
};

class TcpConnectFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(TcpConnectFailure, IsReportedOnceOnALaterIteration) {
    const FailCase& c = GetParam();
    nuvra_test::LogCapture log;
    int port = closed_port(c.family);
    auto a = connect_on_loop(c.host, port, 3000, c.proxy, 1080);
    ASSERT_TRUE(wait_on_loop([&] { return a->failed > 0; }, 2000));
    sleep_ms(30);
    run_on_loop([&] {
        EXPECT_EQ(a->failed, 1);
        EXPECT_EQ(a->connected, 0);
        EXPECT_FALSE(a->reported_inside_connect);
        if (c.code) {
            EXPECT_EQ(a->code, c.code);
        } else {
            EXPECT_LT(a->code, 0);
        }
        EXPECT_EQ(a->reason, c.reason);
    });
    EXPECT_TRUE(log.contains(c.line)) << c.line;
    EXPECT_FALSE(log.contains("tcp connect timeout"));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, TcpConnectFailure,
    ::testing::Values(
        FailCase{"refused_ipv4", "127.0.0.1", AF_INET, "", "[ net  ] on tcp connect failed2 : 127.0.0.1:",
                 UV_ECONNREFUSED, uv_strerror(UV_ECONNREFUSED)},
        FailCase{"refused_ipv6", "::1", AF_INET6, "", "[ net  ] on tcp connect failed2 : ::1:", UV_ECONNREFUSED,
                 uv_strerror(UV_ECONNREFUSED)},
        FailCase{"host_name_too_long", std::string(300, 'a'), AF_INET, "", "[ net  ] getaddrinfo error: aaaa", 0, ""},
        FailCase{"host_name_with_nul", std::string("127.0.0.1\0x", 11), AF_INET, "",
                 "[ net  ] getaddrinfo error: 127.0.0.1 " + std::to_string(UV_EINVAL) + " EINVAL", UV_EINVAL, ""},
        FailCase{"proxy_not_a_literal", "127.0.0.1", AF_INET, "proxy.invalid",
                 "[ net  ] wrong proxy ipv4 addr proxy.invalid", 0, ""},
        FailCase{"proxy_not_a_literal_with_host_name", "localhost", AF_INET, "proxy.invalid",
                 "[ net  ] wrong proxy ipv4 addr proxy.invalid", 0, ""}),
    [](const ::testing::TestParamInfo<FailCase>& i) { return i.param.name; });

}  // namespace
