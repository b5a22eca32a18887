// Checks the test line server itself with a raw socket client written here,
// so the library's own framing never takes part.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include "peers/line_server.h"

using nuvra_test::CallScript;
using nuvra_test::kLastConn;
using nuvra_test::LineServer;
using nuvra_test::Match;
using nuvra_test::answer;
using nuvra_test::reply;
using nuvra_test::Steps;

namespace {

std::string header(uint8_t flags, uint32_t length) {
    const char h[4] = {static_cast<char>(flags), static_cast<char>(length >> 16),
                       static_cast<char>(length >> 8), static_cast<char>(length)};
    return std::string(h, 4);
}

std::string zip(const std::string& s) {
    uLongf n = compressBound(s.size());
    std::string out(n, '\0');
    compress(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(s.data()), s.size());
    out.resize(n);
    return out;
}

std::string unzip(const std::string& s) {
    std::string out(1 << 20, '\0');
    uLongf n = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(s.data()),
                   s.size()) != Z_OK)
        return "<not zlib>";
    out.resize(n);
    return out;
}

struct Frame {
    uint8_t flags = 0;
    uint32_t length = 0;
    std::string text;  // body, inflated when bit 0 is set
};

class RawClient {
public:
    explicit RawClient(uint16_t port, int sndbuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (sndbuf) setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd_); }

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    void send_bytes(const std::string& b) {
        for (size_t pos = 0; pos < b.size();) {
            ssize_t n = send(fd_, b.data() + pos, b.size() - pos, MSG_NOSIGNAL);
            if (n <= 0) return;
            pos += static_cast<size_t>(n);
        }
    }
    void send_text(uint8_t flags, const std::string& text) {
        std::string body = (flags & 1) ? zip(text) : text;
        send_bytes(header(flags, static_cast<uint32_t>(body.size() + 4)) + body);
    }

    // One recv within timeout_ms: >0 bytes appended, 0 on FIN, -errno on error, -1000 on time-out.
    long read_some(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return -1000;
        char b[65536];
        ssize_t n = recv(fd_, b, sizeof b, 0);
        if (n < 0) return -errno;
        buf_.append(b, static_cast<size_t>(n));
        return n;
    }
    // Reads until `want` bytes are buffered; false on time-out or close.
    bool read_bytes(size_t want, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (buf_.size() < want) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || read_some(static_cast<int>(left)) <= 0) return false;
        }
        return true;
    }
    std::optional<Frame> read_frame(int timeout_ms = 1000) {
        if (!read_bytes(4, timeout_ms)) return std::nullopt;
        Frame f;
        f.flags = static_cast<uint8_t>(buf_[0]);
        f.length = (static_cast<uint8_t>(buf_[1]) << 16) | (static_cast<uint8_t>(buf_[2]) << 8) |
                   static_cast<uint8_t>(buf_[3]);
        if (f.length < 4 || !read_bytes(f.length, timeout_ms)) return std::nullopt;
        std::string body = buf_.substr(4, f.length - 4);
        buf_.erase(0, f.length);
        f.text = (f.flags & 1) ? unzip(body) : body;
        return f;
    }

    std::string buf_;

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string login_request(uint32_t uid) {
    return "login {\"account\":\"a\",\"device\":\"d\",\"ip\":\"\",\"token\":\"t\",\"uid\":" +
           std::to_string(uid) + ",\"ver\":1010303001,\"vid\":\"v\"}";
}

}  // namespace

TEST(LineServerPeer, DefaultLoginPingCallAndRecord) {
    LineServer server;
    ASSERT_TRUE(server.ok());
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());

    c.send_text(0x80, login_request(7));
    auto f = c.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags, 0x80);
    EXPECT_EQ(f->text, "login_res ok 0 {\"line\":\"line1\",\"uid\":7}");
    auto login = server.wait_for("login ", 1000);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->conn, 0);
    EXPECT_EQ(login->flags, 0x80);
    EXPECT_EQ(login->length, login_request(7).size() + 4);

    // Once the client deflates, answers follow it.
    c.send_text(0x81, "line_ping:1");
    f = c.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags, 0x81);
    EXPECT_EQ(f->text, "line_pong:1");

    server.queue_call_script("channel_join", CallScript::failed("busy"));
    c.send_text(0x81, "call channel_join 3 0 {\"name\":\"c 1\"}");
    c.send_text(0x81, "call channel_join 4 0 {}");
    f = c.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->text, "call_ret channel_join 3 0 {\"reason\":\"busy\",\"result\":\"failed\"}");
    f = c.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->text, "call_ret channel_join 4 0 {\"result\":\"ok\"}");
    auto call = server.wait_for_call("channel_join", 1000);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->id, 3u);
    EXPECT_EQ(call->request["name"].asString(), "c 1");
    auto second = server.wait_for_call("channel_join", 1000, call->frame.index + 1);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->id, 4u);

    c.send_text(0x81, "channel_sub {\"cid\":\"1\"}");
    EXPECT_TRUE(server.wait_for("\"cid\"", 1000, Match::SUBSTRING));
    EXPECT_EQ(server.count("channel_sub "), 1u);
    EXPECT_FALSE(server.wait_for("nothing", 20));
    EXPECT_TRUE(server.errors().empty());
}

struct ReplyCase {
    const char* name;
    std::function<void(LineServer&)> script;
    std::string request;
    std::vector<std::string> answers;  // expected in order; nothing more follows
    int min_delay_ms;
};

class LineServerReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(LineServerReplies, AnswersAsScripted) {
    const ReplyCase& rc = GetParam();
    LineServer server;
    rc.script(server);
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());
    auto start = std::chrono::steady_clock::now();
    c.send_text(0x80, rc.request);
    for (const auto& want : rc.answers) {
        auto f = c.read_frame();
        ASSERT_TRUE(f) << want;
        EXPECT_EQ(f->text, want);
    }
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, rc.min_delay_ms);
    EXPECT_FALSE(c.read_frame(60));
}

Json::Value members() {
    Json::Value m;
    m["cid"] = "c1";
    m["list"].append("u1");
    return m;
}

Json::Value config() {
    Json::Value m;
    m["config_ping_time"] = 20000;
    return m;
}

CallScript with(CallScript s, const std::function<void(CallScript&)>& f) {
    f(s);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, LineServerReplies,
    ::testing::Values(
        ReplyCase{"CallOkWithMembers",
                  [](LineServer& s) { s.set_call_script("m", CallScript::ok(members())); },
                  "call m 5 0 {}",
                  {"call_ret m 5 0 {\"cid\":\"c1\",\"list\":[\"u1\"],\"result\":\"ok\"}"}, 0},
        ReplyCase{"CallUnknown",
                  [](LineServer& s) { s.set_call_script("m", CallScript::unknown("kick")); },
                  "call m 5 0 {}", {"call_ret m 5 0 {\"reason\":\"kick\",\"result\":\"unknown\"}"}, 0},
        ReplyCase{"CallMalformed",
                  [](LineServer& s) { s.set_call_script("m", CallScript::malformed("not json")); },
                  "call m 5 0 {}", {"call_ret m 5 0 not json"}, 0},
        ReplyCase{"CallTwiceWithWrongId",
                  [](LineServer& s) {
                      s.set_call_script("m", with(CallScript::ok(), [](CallScript& c) {
                                            c.copies = 2;
                                            c.id_offset = 100;
                                        }));
                  },
                  "call m 5 0 {}",
                  {"call_ret m 105 0 {\"result\":\"ok\"}", "call_ret m 105 0 {\"result\":\"ok\"}"}, 0},
        ReplyCase{"CallDelayed",
                  [](LineServer& s) {
                      s.set_call_script("m", with(CallScript::ok(), [](CallScript& c) { c.delay_ms = 120; }));
                  },
                  "call m 5 0 {}", {"call_ret m 5 0 {\"result\":\"ok\"}"}, 120},
        ReplyCase{"CallNever", [](LineServer& s) { s.set_call_script("m", CallScript::silent()); },
                  "call m 5 0 {}", {}, 0},
        ReplyCase{"LoginWithConfig",
                  [](LineServer& s) { s.on_text("login ", answer({reply(nuvra_test::login_ok_text(9, "L9", config()))})); },
                  login_request(7), {"login_res ok 0 {\"config_ping_time\":20000,\"line\":\"L9\",\"uid\":9}"}, 0},
        ReplyCase{"LoginDefaultEchoesUidZero", [](LineServer&) {}, login_request(0),
                  {"login_res ok 0 {\"line\":\"line1\",\"uid\":0}"}, 0},
        ReplyCase{"LoginRefused",
                  [](LineServer& s) { s.on_text("login ", answer({reply(nuvra_test::login_refused_text("kick"))})); },
                  login_request(7), {"login_res failed {\"reason\":\"kick\"}"}, 0},
        ReplyCase{"LoginSilent", [](LineServer& s) { s.on_text("login ", answer({})); }, login_request(7),
                  {}, 0},
        ReplyCase{"Relogin2Default", [](LineServer&) {}, "line_login2 L1 2 0", {"line_login_res ok"}, 0},
        ReplyCase{"Relogin3Refused",
                  [](LineServer& s) { s.on_text("line_login3 ", answer({reply("line_login_res kick")})); },
                  "line_login3 L1 2 0 5 v a", {"line_login_res kick"}, 0},
        ReplyCase{"PingLate", [](LineServer& s) { s.on_text("line_ping:", nuvra_test::after(120, nuvra_test::answer_ping())); }, "line_ping:12",
                  {"line_pong:12"}, 120},
        ReplyCase{"PingNever", [](LineServer& s) { s.on_text("line_ping:", answer({})); }, "line_ping:1", {}, 0}),
    [](const ::testing::TestParamInfo<ReplyCase>& i) { return std::string(i.param.name); });

TEST(LineServerPeer, HookTakesOneOffsFirstThenTheLongestPrefix) {
    LineServer server;
    server.on_text("x", answer({reply("short")}));
    server.on_text("xy", answer({reply("long")}));
    server.on_text_once("x", answer({reply("once")}));
    server.on_text("call m ", [](const nuvra_test::Received& r) {
        return Steps{reply("seen " + std::to_string(nuvra_test::parse_call(r)->id) + " on " + std::to_string(r.conn))};
    });
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());
    for (const char* text : {"xyz", "xyz", "xz", "call m 9 0 {}", "call n 4 0 {}"}) c.send_text(0x80, text);
    for (const char* want : {"once", "long", "short", "seen 9 on 0", "call_ret n 4 0 {\"result\":\"ok\"}"}) {
        auto f = c.read_frame();
        ASSERT_TRUE(f) << want;
        EXPECT_EQ(f->text, want);
    }
    EXPECT_FALSE(c.read_frame(60));
}

TEST(LineServerPeer, StepsRunInOrderThenCloseOrReset) {
    LineServer server;
    server.on_text("bye", answer({reply("a"), nuvra_test::delay(80), reply("b", 0x81), nuvra_test::raw("zz"),
                                  nuvra_test::close_line()}));
    server.on_text("kill", answer({nuvra_test::delay(50), nuvra_test::reset_line()}));
    server.on_text("ping", answer({nuvra_test::delay(200), reply("late")}));
    RawClient fin(server.port());
    ASSERT_TRUE(fin.connected());
    RawClient rst(server.port());
    ASSERT_TRUE(rst.connected());

    // A delayed answer holds back nothing queued after it.
    fin.send_text(0x80, "ping");
    auto start = std::chrono::steady_clock::now();
    fin.send_text(0x80, "bye");
    auto f = fin.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->text, "a");
    f = fin.read_frame();
    ASSERT_TRUE(f);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
    EXPECT_EQ(f->flags, 0x81);
    EXPECT_EQ(f->text, "b");
    ASSERT_TRUE(fin.read_bytes(2, 1000));
    EXPECT_EQ(fin.buf_, "zz");
    EXPECT_EQ(fin.read_some(1000), 0);  // FIN, and the late answer is dropped with it

    rst.send_text(0x80, "kill");
    EXPECT_EQ(rst.read_some(1000), -ECONNRESET);
    EXPECT_TRUE(server.wait_for_close(1, 1000));
}

TEST(LineServerPeer, PushesFramesAsAsked) {
    LineServer server;
    RawClient c(server.port());
    ASSERT_TRUE(server.wait_for_connections(1, 1000));

    server.push_text(0, "hello world", 0x80);
    server.push_text(kLastConn, "abc", 0x00);  // the client has not deflated yet: plain
    ASSERT_TRUE(c.read_bytes(15 + 7, 1000));
    EXPECT_EQ(c.buf_, header(0x80, 15) + "hello world" + header(0x00, 7) + "abc");
    c.buf_.clear();

    c.send_text(0x81, "line_ping:1");
    ASSERT_TRUE(c.read_frame());
    server.push_text(0, "abc", 0x00);  // now flags 0 means deflated
    auto f = c.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags, 0x00);
    EXPECT_NE(f->text, "abc");  // read as plain by this client, it is the zlib stream
    EXPECT_EQ(unzip(f->text), "abc");

    std::string inner = header(0x80, 5) + "a" + header(0x80, 6) + "bc" + header(0x80, 8) + "defg";
    server.send_raw(0, nuvra_test::batch_frame(0x83, {header(0x80, 5) + "a", header(0x80, 6) + "bc",
                                                      header(0x80, 8) + "defg"}, 2));
    f = c.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags, 0x83);
    EXPECT_EQ(f->text, inner.substr(0, inner.size() - 2));
}

TEST(LineServerPeer, SendsRawBytesInPieces) {
    LineServer server;
    RawClient c(server.port());
    ASSERT_TRUE(server.wait_for_connections(1, 1000));

    // One and a half frames per write, the second write well after the first.
    std::string two = header(0x80, 24) + std::string(20, 'a') + header(0x80, 24) + std::string(20, 'b');
    server.send_raw(0, two, {36, 50});
    ASSERT_GT(c.read_some(1000), 0);
    EXPECT_LT(c.buf_.size(), two.size());
    ASSERT_TRUE(c.read_bytes(two.size(), 1000));
    EXPECT_EQ(c.buf_, two);
    c.buf_.clear();

    std::string odd = nuvra_test::line_frame_with_length(0x80, 2, "") +
                      nuvra_test::line_frame(0x81, "not zlib");
    EXPECT_EQ(odd, header(0x80, 2) + header(0x81, 12) + "not zlib");
    server.send_raw(0, odd, {1, 1});
    ASSERT_TRUE(c.read_bytes(odd.size(), 1000));
    EXPECT_EQ(c.buf_, odd);
    c.buf_.clear();

    std::string big = header(0x80, 0xffffff) + std::string((1 << 20) + 4096, 'x');
    server.send_raw(0, big);
    ASSERT_TRUE(c.read_bytes(big.size(), 2000));
    EXPECT_EQ(c.buf_, big);
}

TEST(LineServerPeer, ClosesWithFinOrReset) {
    LineServer server;
    RawClient fin(server.port());
    ASSERT_TRUE(server.wait_for_connections(1, 1000));
    RawClient rst(server.port());
    ASSERT_TRUE(server.wait_for_connections(2, 1000));

    server.push_text(0, "bye", 0x80);
    server.close_conn(0);
    auto f = fin.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->text, "bye");
    EXPECT_EQ(fin.read_some(1000), 0);
    shutdown(fin.fd(), SHUT_WR);
    EXPECT_TRUE(server.wait_for_close(0, 1000));

    server.close_conn(1, true);
    EXPECT_EQ(rst.read_some(1000), -ECONNRESET);
    EXPECT_TRUE(server.wait_for_close(1, 1000));
}

TEST(LineServerPeer, StopsAndResumesReading) {
    LineServer server;
    RawClient c(server.port(), 65536);
    ASSERT_TRUE(server.wait_for_connections(1, 1000));
    server.set_reading(0, false);

    std::string frame = header(0x80, 65536) + std::string(65532, 'f');
    std::string all;
    for (int i = 0; i < 64; ++i) all += frame;
    all += header(0x80, 7) + "end";
    fcntl(c.fd(), F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    for (int round = 0; round < 2; ++round) {
        ssize_t n;
        while ((n = send(c.fd(), all.data() + sent, all.size() - sent, MSG_NOSIGNAL)) > 0)
            sent += static_cast<size_t>(n);
        usleep(20000);
    }
    ASSERT_LT(sent, all.size());
    EXPECT_EQ(server.count("f"), 0u);

    server.set_reading(0, true);
    fcntl(c.fd(), F_SETFL, 0);
    c.send_bytes(all.substr(sent));
    EXPECT_TRUE(server.wait_for("end", 3000));
    EXPECT_EQ(server.count("f"), 64u);
}

TEST(LineServerPeer, RecordsBrokenClientFrames) {
    LineServer server("::1");
    if (!server.ok()) GTEST_SKIP() << "no ::1 here";
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(server.port());
    a.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string bytes = header(0x00, 5) + "x" + header(0x81, 9) + "plain" + header(0x80, 2) + "zz";
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(server.wait_for("plain", 1000));
    close(fd);
    ASSERT_TRUE(server.wait_for_close(0, 1000));
    auto errors = server.errors();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "conn 0: flags 0x00 without bit 7");
    EXPECT_EQ(errors[1], "conn 0: body of frame 1 does not inflate");
    EXPECT_EQ(errors[2], "conn 0: length field 2 below 4");
    EXPECT_EQ(server.received().size(), 2u);
}
