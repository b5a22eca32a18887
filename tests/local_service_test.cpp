// Drives the local service program at the wire level with a client written
// here on POSIX sockets, zlib and jsoncpp, so neither the library nor the
// service's own frame code takes part on this side.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "peers/line_server.h"
#include "peers/udp_peer_util.h"
#include "support/local_service_process.h"
#include "support/own_address.h"

using nuvra_test::LocalServiceProcess;

namespace {

struct Frame {
    uint8_t flags = 0;
    std::string text;
};

// One line connection speaking frames by hand.
class WireClient {
public:
    WireClient(const std::string& ip, uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~WireClient() { close(fd_); }

    bool connected() const { return connected_; }
    void send_bytes(const std::string& b) {
        for (size_t pos = 0; pos < b.size();) {
            ssize_t n = send(fd_, b.data() + pos, b.size() - pos, MSG_NOSIGNAL);
            if (n <= 0) return;
            pos += static_cast<size_t>(n);
        }
    }
    // Plain frames until the login is accepted, deflated ones after, as the library does.
    void send_text(const std::string& text) {
        send_bytes(nuvra_test::text_frame(compress_ ? 0x81 : 0x80, text));
    }
    void set_compress(bool on) { compress_ = on; }

    std::optional<Frame> read_frame(int timeout_ms = 2000) {
        if (!read_bytes(4, timeout_ms)) return std::nullopt;
        uint32_t length = (uint32_t(uint8_t(buf_[1])) << 16) | (uint32_t(uint8_t(buf_[2])) << 8) | uint8_t(buf_[3]);
        if (length < 4 || !read_bytes(length, timeout_ms)) return std::nullopt;
        Frame f;
        f.flags = static_cast<uint8_t>(buf_[0]);
        std::string body = buf_.substr(4, length - 4);
        buf_.erase(0, length);
        if (!(f.flags & 1)) f.text = body;
        else if (!nuvra_test::inflate_bytes(body, &f.text)) f.text = "<not zlib>";
        return f;
    }
    // The next text beginning with prefix; texts before it are kept for later reads.
    std::optional<std::string> wait_text(const std::string& prefix, int timeout_ms = 2000) {
        for (auto it = seen_.begin(); it != seen_.end(); ++it) {
            if (it->compare(0, prefix.size(), prefix) == 0) {
                std::string t = *it;
                seen_.erase(it);
                return t;
            }
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto f = read_frame(static_cast<int>(left.count()));
            if (!f) return std::nullopt;
            if (f->text.compare(0, prefix.size(), prefix) == 0) return f->text;
            seen_.push_back(f->text);
        }
    }
    // True when the service closed the connection within timeout_ms.
    bool closed_by_peer(int timeout_ms = 2000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char b[4096];
            ssize_t n = recv(fd_, b, sizeof b, 0);
            if (n <= 0) return true;
        }
    }

    // Logs in; returns the answer's JSON body.
    Json::Value login(const std::string& account, uint32_t uid = 0, const std::string& vid = "app") {
        Json::Value req(Json::objectValue);
        req["account"] = account;
        req["device"] = "dev";
        req["ip"] = "";
        req["token"] = "any";
        req["uid"] = uid;
        req["ver"] = 1010303001;
        req["vid"] = vid;
        send_text("login " + nuvra_test::json_text(req));
        auto answer = wait_text("login_res");
        if (!answer || answer->compare(0, 15, "login_res ok 0 ") != 0) return Json::Value();
        set_compress(true);
        Json::Value body = nuvra_test::parse_json_object(answer->substr(15));
        line_ = body["line"].asString();
        return body;
    }
    // Makes a call and returns its answer object.
    Json::Value call(const std::string& method, Json::Value req) {
        if (!req.isMember("line")) req["line"] = line_;
        uint32_t id = ++call_id_;
        send_text("call " + method + " " + std::to_string(id) + " 0 " + nuvra_test::json_text(req));
        auto answer = wait_text("call_ret " + method + " " + std::to_string(id) + " 0 ");
        if (!answer) return Json::Value();
        return nuvra_test::parse_json_object(answer->substr(answer->find(" 0 ") + 3));
    }
    const std::string& line() const { return line_; }

private:
    bool read_bytes(size_t want, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (buf_.size() < want) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char b[65536];
            ssize_t n = recv(fd_, b, sizeof b, 0);
            if (n <= 0) return false;
            buf_.append(b, static_cast<size_t>(n));
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool compress_ = false;
    std::string buf_;
    std::vector<std::string> seen_;
    std::string line_;
    uint32_t call_id_ = 0;
};

Json::Value obj(std::initializer_list<std::pair<const char*, Json::Value>> members) {
    Json::Value v(Json::objectValue);
    for (const auto& [k, val] : members) v[k] = val;
    return v;
}

Json::Value parse_any(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    reader->parse(text.data(), text.data() + text.size(), &v, &errors);
    return v;
}

// The message text carried by a push: "notify recvmsg [ver, text]" or the text itself.
std::string pushed_message(const std::string& push) {
    const std::string by_version = "notify recvmsg ";
    if (push.compare(0, by_version.size(), by_version) != 0) return push;
    Json::Value note = parse_any(push.substr(by_version.size()));
    return note.isArray() && note.size() == 2 ? note[1].asString() : "";
}

// Each test serves on an address of its own, so they run side by side.
class LocalService : public ::testing::Test {
protected:
    void start(const std::string& ip, std::vector<std::string> extra = {}) {
        ip_ = ip;
        std::vector<std::string> args = {"--address", ip, "--line-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        service_ = std::make_unique<LocalServiceProcess>(args);
        ASSERT_TRUE(service_->wait_ready()) << service_->error_output();
    }
    std::unique_ptr<WireClient> client() { return std::make_unique<WireClient>(ip_, service_->line_port()); }
    // Sends one datagram to ip:port and returns the inflated answer, "" when none came.
    std::string exchange_udp(uint16_t port, const std::string& bytes, int timeout_ms = 2000) {
        int fd = nuvra_test::bind_udp("127.0.0.1", 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, ip_.c_str(), &to.sin_addr);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        std::string answer;
        if (poll(&p, 1, timeout_ms) > 0) {
            char b[65536];
            ssize_t n = recv(fd, b, sizeof b, 0);
            if (n > 0) answer = nuvra_test::inflate_datagram(std::string(b, static_cast<size_t>(n)));
        }
        nuvra_test::close_fd(fd);
        return answer;
    }

    std::string ip_;
    std::unique_ptr<LocalServiceProcess> service_;
};

TEST(LocalServiceProgram, RefusesEveryAddressButLoopback) {
    for (const char* address : {"0.0.0.0", "10.1.2.3", "192.168.0.1", "::", "localhost", "128.0.0.1", "bogus"}) {
        LocalServiceProcess service({"--address", address});
        EXPECT_EQ(service.wait_exit(), 2) << address;
        EXPECT_NE(service.error_output().find("refusing to serve on"), std::string::npos) << address;
        EXPECT_TRUE(service.output().empty()) << address;
    }
}

TEST(LocalServiceProgram, RefusesUnusableOptions) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--line-port", "70000"}, {"--discovery-ports", "9"}, {"--login-config", "[1]"}, {"--what"}, {"--address"}}) {
        LocalServiceProcess service(args);
        EXPECT_EQ(service.wait_exit(), 2) << args[0];
        EXPECT_NE(service.error_output().find("usage:"), std::string::npos) << args[0];
    }
}

TEST(LocalServiceProgram, StopsCleanlyOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        LocalServiceProcess service({"--address", nuvra_test::own_loopback_ip(1), "--line-port", "0"});
        ASSERT_TRUE(service.wait_ready()) << service.error_output();
        WireClient c(nuvra_test::own_loopback_ip(1), service.line_port());
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(service.stop(sig), 0) << sig;
        auto lines = service.output();
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find("stopped"), std::string::npos);
    }
}

TEST(LocalServiceProgram, ReportsAPortInUse) {
    LocalServiceProcess first({"--address", nuvra_test::own_loopback_ip(2), "--line-port", "0"});
    ASSERT_TRUE(first.wait_ready());
    LocalServiceProcess second({"--address", nuvra_test::own_loopback_ip(2), "--line-port", "0"});
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_NE(second.error_output().find("cannot bind udp " + nuvra_test::own_loopback_ip(2) + ":8180"), std::string::npos)
        << second.error_output();
}

TEST_F(LocalService, DiscoveryAnswersOnBothPortsWithTheLineServer) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(3)));
    std::string request = nuvra_test::deflate_text("getaddr {\"appid\":\"app\"}");
    for (uint16_t port : {8180, 8181}) {
        std::string answer = exchange_udp(port, request);
        ASSERT_EQ(answer.compare(0, 3, "ok "), 0) << answer;
        Json::Value body = nuvra_test::parse_json_object(answer.substr(3));
        ASSERT_TRUE(body["tcp"].isArray());
        ASSERT_EQ(body["tcp"].size(), 1u);
        EXPECT_EQ(body["tcp"][0][0].asString(), nuvra_test::own_loopback_ip(3));
        EXPECT_EQ(body["tcp"][0][1].asUInt(), service_->line_port());
        EXPECT_TRUE(body["http"].isArray());
    }
    EXPECT_EQ(exchange_udp(8180, "not zlib"), "bad request");
    EXPECT_EQ(exchange_udp(8181, nuvra_test::deflate_text("getaddr [")), "bad request");
    EXPECT_EQ(service_->count_output("getaddr appid=app -> " + nuvra_test::own_loopback_ip(3) + ":", 2), 2u);
    EXPECT_EQ(service_->count_output("refused: ", 2), 2u);
}

TEST_F(LocalService, TelemetryIsAcknowledgedBySeq) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(4)));
    std::string report = nuvra_test::deflate_text(R"({"cmd":"end","seq":41,"type":"login","result":"success"})");
    EXPECT_EQ(exchange_udp(8000, report), R"({"seq":41})");
    EXPECT_EQ(exchange_udp(8000, nuvra_test::deflate_text(R"({"seq":"41"})"), 300), "");
    EXPECT_EQ(exchange_udp(8000, "garbage", 300), "");
    EXPECT_EQ(service_->count_output("report seq=41 type=login cmd=end result=success", 1), 1u);
    EXPECT_EQ(service_->count_output("dropped: no report seq", 1), 1u);
    EXPECT_EQ(service_->count_output("dropped: not a zlib stream", 1), 1u);
}

TEST_F(LocalService, LoginPingAndCompressionFollowTheClient) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(5)));
    auto c = client();
    ASSERT_TRUE(c->connected());
    c->send_text("login {\"account\":\"alice\",\"uid\":7,\"vid\":\"app\"}");
    auto f = c->read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags & 1, 0) << "a login answer is plain";
    ASSERT_EQ(f->text.compare(0, 15, "login_res ok 0 "), 0) << f->text;
    Json::Value body = nuvra_test::parse_json_object(f->text.substr(15));
    EXPECT_EQ(body["uid"].asUInt(), 7u);
    EXPECT_FALSE(body["line"].asString().empty());

    c->set_compress(true);
    c->send_text("line_ping:1");
    f = c->read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags, 0x01);
    EXPECT_EQ(f->text, "line_pong:1");

    c->set_compress(false);
    c->send_text("line_ping:2");
    f = c->read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags, 0x80) << "plain, yet never the flags byte 0";
    EXPECT_EQ(f->text, "line_pong:2");

    // A client without uid gets one, the same at its next login.
    auto d = client();
    uint32_t uid = d->login("bob")["uid"].asUInt();
    EXPECT_GE(uid, 1000u);
    auto e = client();
    EXPECT_EQ(e->login("bob")["uid"].asUInt(), uid);
    EXPECT_NE(e->line(), d->line());
}

TEST_F(LocalService, LoginAnswerCarriesTheConfiguredKeys) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(6), {"--login-config", R"({"config_ping_time":20000,"config_msg_set":1})"}));
    auto c = client();
    Json::Value body = c->login("alice");
    EXPECT_EQ(body["config_ping_time"].asUInt(), 20000u);
    EXPECT_EQ(body["config_msg_set"].asUInt(), 1u);
}

struct RefusedLogin {
    const char* name;
    std::string text;
    std::string reason;
};

TEST_F(LocalService, RefusesUnusableLogins) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(7)));
    for (const auto& rc : std::vector<RefusedLogin>{
             {"no account", R"(login {"uid":1})", "wrong account"},
             {"blank in account", R"(login {"account":"a b"})", "wrong account"},
             {"not JSON", "login {", "wrong request"},
         }) {
        auto c = client();
        c->send_text(rc.text);
        auto answer = c->wait_text("login_res");
        ASSERT_TRUE(answer) << rc.name;
        ASSERT_EQ(answer->compare(0, 17, "login_res failed "), 0) << *answer;
        EXPECT_EQ(nuvra_test::parse_json_object(answer->substr(17))["reason"].asString().compare(0, rc.reason.size(),
                                                                                                rc.reason),
                  0)
            << rc.name << ": " << *answer;
    }
}

TEST_F(LocalService, ChannelsListMembersPushChangesAndCarryMessages) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(8)));
    auto a = client();
    auto b = client();
    uint32_t uid_a = a->login("alice", 7)["uid"].asUInt();
    uint32_t uid_b = b->login("bob", 8)["uid"].asUInt();

    Json::Value joined = a->call("channel_join", obj({{"name", "room"}}));
    EXPECT_EQ(joined["result"].asString(), "ok");
    EXPECT_FALSE(joined["cid"].asString().empty());
    ASSERT_EQ(joined["list"].size(), 1u);
    ASSERT_TRUE(a->call("channel_set_attr", obj({{"channel", "room"}, {"name", "topic"}, {"value", "x y"}}))["result"] ==
                "ok");
    auto own_update = a->wait_text("notify channel ");
    ASSERT_TRUE(own_update);
    EXPECT_NE(own_update->find(R"("type":"update")"), std::string::npos) << *own_update;

    joined = b->call("channel_join", obj({{"name", "room"}}));
    ASSERT_EQ(joined["list"].size(), 2u);
    EXPECT_EQ(joined["list"][0][0].asString(), "alice");
    EXPECT_EQ(joined["list"][0][1].asUInt(), uid_a);
    EXPECT_EQ(joined["list"][1][0].asString(), "bob");
    EXPECT_EQ(joined["attrs"]["topic"].asString(), "x y");
    auto user_join = a->wait_text("notify channel ");
    ASSERT_TRUE(user_join);
    std::string prefix = "notify channel msg bob " + std::to_string(uid_b) + " ";
    std::string suffix = " channel_user_join {\"account\":\"bob\",\"uid\":" + std::to_string(uid_b) + "}";
    EXPECT_EQ(user_join->compare(0, prefix.size(), prefix), 0) << *user_join;
    EXPECT_EQ(user_join->substr(user_join->size() - suffix.size()), suffix);

    EXPECT_EQ(a->call("channel_query_num", obj({{"name", "room"}}))["num"].asInt(), 2);
    EXPECT_EQ(a->call("channel_query_user_isin", obj({{"name", "room"}, {"account", "bob"}}))["isin"].asInt(), 1);
    EXPECT_EQ(a->call("channel_query_user_isin", obj({{"name", "room"}, {"account", "carol"}}))["isin"].asInt(), 0);

    // Channel messages reach the other members with a growing id, not the sender.
    for (int i = 1; i <= 2; ++i) {
        ASSERT_EQ(a->call("channel_sendmsg", obj({{"name", "room"}, {"msg", "hi " + std::to_string(i)}}))["result"], "ok");
        auto pushed = b->wait_text("notify channel2 ");
        ASSERT_TRUE(pushed);
        EXPECT_EQ(pushed->compare(0, 18, "notify channel2 " + std::to_string(i) + " "), 0) << *pushed;
        EXPECT_NE(pushed->find(" channel_msg 0 {\"account\":\"alice\",\"channel\":\"room\",\"msg\":\"hi " +
                               std::to_string(i) + "\",\"uid\":7}"),
                  std::string::npos)
            << *pushed;
    }
    EXPECT_FALSE(a->wait_text("notify channel2 ", 200));

    EXPECT_EQ(b->call("channel_sendmsg", obj({{"name", "elsewhere"}, {"msg", "x"}}))["reason"].asString(),
              "not in channel");
    ASSERT_EQ(b->call("channel_leave", obj({{"name", "room"}}))["result"], "ok");
    auto user_leave = a->wait_text("notify channel ");
    ASSERT_TRUE(user_leave);
    EXPECT_NE(user_leave->find(" channel_user_leave {\"account\":\"bob\""), std::string::npos) << *user_leave;
    EXPECT_EQ(a->call("channel_query_num", obj({{"name", "room"}}))["num"].asInt(), 1);
}

TEST_F(LocalService, InstantMessagesArePushedAndPolledInVersionMode) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(9)));
    auto a = client();
    auto b = client();
    a->login("alice", 7);
    b->login("bob", 8);
    for (const char* text : {"hello bob", "second"}) {
        Json::Value sent = a->call("user_sendmsg", obj({{"peer", "bob"}, {"t", "instant"}, {"content", text}}));
        EXPECT_EQ(sent["result"].asString(), "ok");
        EXPECT_FALSE(sent["msgid"].asString().empty());
    }
    auto first = b->wait_text("notify recvmsg ");
    ASSERT_TRUE(first);
    Json::Value note = parse_any(first->substr(15));
    ASSERT_TRUE(note.isArray());
    EXPECT_EQ(note[0].asUInt(), 1u);
    std::string text = note[1].asString();
    EXPECT_EQ(text.compare(0, 12, "msg alice 7 "), 0) << text;
    EXPECT_EQ(text.substr(text.size() - 18), " instant hello bob");
    ASSERT_TRUE(b->wait_text("notify recvmsg [2,"));

    Json::Value polled = b->call("user_getmsg", obj({{"ver_clear", 0}, {"max", 30}}));
    ASSERT_EQ(polled["msgs"].size(), 2u);
    EXPECT_EQ(polled["msgs"][1][0].asUInt(), 2u);
    EXPECT_EQ(polled["ver_clear"].asUInt(), 0u);
    polled = b->call("user_getmsg", obj({{"ver_clear", 1}, {"max", 30}}));
    ASSERT_EQ(polled["msgs"].size(), 1u);
    EXPECT_EQ(pushed_message("notify recvmsg " + nuvra_test::json_text(polled["msgs"][0])).substr(0, 12),
              "msg alice 7 ");
    EXPECT_EQ(b->call("user_getmsg", obj({{"ver_clear", 2}, {"max", 30}}))["msgs"].size(), 0u);

    // A message to an account without a session waits for its next login.
    a->call("user_sendmsg", obj({{"peer", "carol"}, {"t", "instant"}, {"content", "later"}}));
    auto c = client();
    c->login("carol");
    polled = c->call("user_getmsg", obj({{"ver_clear", 0}, {"max", 30}}));
    ASSERT_EQ(polled["msgs"].size(), 1u);
    EXPECT_NE(polled["msgs"][0][1].asString().find(" instant later"), std::string::npos);
}

TEST_F(LocalService, MessageIdModePushesV3TextsAndClearsThemByPoll) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(10), {"--login-config", R"({"config_msg_set":1})"}));
    auto a = client();
    auto b = client();
    a->login("alice", 7);
    b->login("bob", 8);
    a->call("user_sendmsg", obj({{"peer", "bob"}, {"t", "instant"}, {"content", "one two"}}));
    auto pushed = b->wait_text("notify recvmsg_by_msgid ");
    ASSERT_TRUE(pushed);
    std::string text = pushed->substr(24);
    ASSERT_EQ(text.compare(0, 7, "msg-v3 "), 0) << text;
    std::string msgid = text.substr(7, text.find(' ', 7) - 7);
    EXPECT_EQ(text.substr(text.size() - 18), " instant 0 one two");

    Json::Value polled = b->call("user_getmsg2", obj({{"clear_msgs", Json::Value()}, {"max", 30}}));
    ASSERT_EQ(polled["msgs"].size(), 1u);
    EXPECT_EQ(polled["msgs"][0].asString(), text);
    Json::Value clear(Json::arrayValue);
    clear.append(msgid);
    EXPECT_EQ(b->call("user_getmsg2", obj({{"clear_msgs", clear}, {"max", 30}}))["msgs"].size(), 0u);
}

TEST_F(LocalService, InvitationsAreRelayedToTheInvitee) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(11)));
    auto a = client();
    auto b = client();
    a->login("alice", 7);
    b->login("bob", 8);
    struct Step {
        WireClient* from;
        WireClient* to;
        std::string method;
        std::string peer_key;
        std::string peer;
        std::string type;
    };
    for (const Step& s : std::vector<Step>{
             {a.get(), b.get(), "voip_invite", "peer", "bob", "voip_invite"},
             {b.get(), a.get(), "voip_invite_ack", "peer", "alice", "voip_invite_ack"},
             {b.get(), a.get(), "voip_invite_accept", "peer", "alice", "voip_invite_accept"},
             {a.get(), b.get(), "voip_invite_msg", "peer", "bob", "voip_invite_msg"},
             {b.get(), a.get(), "voip_invite_refuse", "peer", "alice", "voip_invite_refuse"},
             {a.get(), b.get(), "call_bye", "destNum", "bob", "voip_invite_bye"},
         }) {
        Json::Value req = obj({{"channelName", "call-1"}, {"extra", "{\"k\":1}"}});
        req[s.peer_key] = s.peer;
        EXPECT_EQ(s.from->call(s.method, req)["result"].asString(), "ok") << s.method;
        auto pushed = s.to->wait_text("notify recvmsg ");
        ASSERT_TRUE(pushed) << s.method;
        std::string text = pushed_message(*pushed);
        uint32_t from_uid = s.from == a.get() ? 7 : 8;
        std::string from_account = s.from == a.get() ? "alice" : "bob";
        EXPECT_NE(text.find(" " + s.type + " {\"channel\":\"call-1\",\"extra\":\"{\\\"k\\\":1}\",\"peer\":\"" +
                            from_account + "\",\"peeruid\":" + std::to_string(from_uid) + "}"),
                  std::string::npos)
            << text;
    }
    Json::Value offline = a->call("voip_invite", obj({{"channelName", "c"}, {"peer", "nobody"}, {"extra", ""}}));
    EXPECT_EQ(offline["result"].asString(), "failed");
    EXPECT_EQ(offline["reason"].asString(), "peer is not online");
    EXPECT_EQ(a->call("pstn_invite", obj({{"channelName", "c"}, {"destNum", "123"}}))["result"].asString(), "failed");
}

TEST_F(LocalService, UserAttributesStatusExtensionCallsAndInvoke) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(12)));
    auto a = client();
    auto b = client();
    a->login("alice", 7);
    b->login("bob", 8);
    EXPECT_EQ(a->call("user_set_attr", obj({{"name", "color"}, {"value", "blue"}}))["result"].asString(), "ok");
    EXPECT_EQ(b->call("user_get_attr", obj({{"account", "alice"}, {"name", "color"}}))["value"].asString(), "blue");
    EXPECT_EQ(b->call("user_get_attr", obj({{"account", "alice"}, {"name", "size"}}))["value"].asString(), "");
    EXPECT_EQ(b->call("user_get_attr_all", obj({{"account", "alice"}}))["json"].asString(), R"({"color":"blue"})");
    EXPECT_EQ(a->call("user_query_user_status", obj({{"account", "bob"}}))["status"].asString(), "1");
    EXPECT_EQ(a->call("user_query_user_status", obj({{"account", "carol"}}))["status"].asString(), "0");
    EXPECT_EQ(a->call("user_query_user_status2", obj({{"accounts", "bob,carol"}}))["status"].asString(),
              R"({"bob":1,"carol":0})");
    EXPECT_EQ(a->call("user_ext_call", obj({{"func", "f"}, {"args", "{\"x\":1}"}, {"callid", "c1"}}))["ret"].asString(),
              "{\"x\":1}");

    Json::Value echoed = a->call("anything.goes", obj({{"a", 1}, {"b", "two"}}));
    EXPECT_EQ(echoed["result"].asString(), "ok");
    EXPECT_EQ(echoed["method"].asString(), "anything.goes");
    EXPECT_EQ(nuvra_test::json_text(echoed["args"]), R"({"a":1,"b":"two"})");

    EXPECT_EQ(a->call("user_logout", Json::Value(Json::objectValue))["result"].asString(), "ok");
    EXPECT_EQ(b->call("user_query_user_status", obj({{"account", "alice"}}))["status"].asString(), "0");
}

TEST_F(LocalService, ReloginResumesTheSessionUntilItsGraceEnds) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(13), {"--session-grace-ms", "3000"}));
    auto b = client();
    b->login("bob", 8);
    b->call("channel_join", obj({{"name", "room"}}));
    std::string line;
    {
        auto a = client();
        a->login("alice", 7);
        line = a->line();
        a->call("channel_join", obj({{"name", "room"}}));
        ASSERT_TRUE(b->wait_text("notify channel "));
    }
    // Messages sent while the line is down wait in the session.
    b->call("user_sendmsg", obj({{"peer", "alice"}, {"t", "instant"}, {"content", "while away"}}));
    auto back = client();
    back->send_text("line_login2 " + line + " 2 0");
    EXPECT_EQ(back->wait_text("line_login_res"), std::optional<std::string>("line_login_res ok"));
    back->set_compress(true);
    back->send_text("channel_sub {\"cid\":\"c1\",\"cname\":\"room\",\"msgid\":0,\"vid\":\"app\"}");
    Json::Value polled = back->call("user_getmsg", obj({{"line", line}, {"ver_clear", 0}, {"max", 30}}));
    ASSERT_EQ(polled["msgs"].size(), 1u);
    EXPECT_FALSE(b->wait_text("notify channel ", 300)) << "still a member: nobody left or joined";

    auto stale = client();
    stale->send_text("line_login2 Lnosuch.1 2 0");
    EXPECT_EQ(stale->wait_text("line_login_res"), std::optional<std::string>("line_login_res expired"));

    // Without a re-login the session ends after its grace time and leaves its channels.
    back.reset();
    auto leave = b->wait_text("notify channel ", 5000);
    ASSERT_TRUE(leave);
    EXPECT_NE(leave->find("channel_user_leave {\"account\":\"alice\""), std::string::npos) << *leave;
    auto late = client();
    late->send_text("line_login3 " + line + " 2 0 3 app alice");
    EXPECT_EQ(late->wait_text("line_login_res"), std::optional<std::string>("line_login_res expired"));
}

TEST_F(LocalService, SurvivesBadInputAndKeepsServingOthers) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(14)));
    auto good = client();
    good->login("alice", 7);

    auto before_login = client();
    before_login->send_text("call channel_join 1 0 {\"name\":\"x\"}");
    auto answer = before_login->wait_text("call_ret channel_join 1 0 ");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->find("\"result\":\"unknown\""), std::string::npos) << *answer;

    auto odd = client();
    odd->login("bob", 8);
    EXPECT_EQ(odd->call("channel_join", obj({{"line", "Lother.9"}, {"name", "x"}}))["reason"].asString(), "wrong line");
    odd->send_text("call channel_join 5 0 [not json");
    answer = odd->wait_text("call_ret channel_join 5 0 ");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->find("\"result\":\"failed\""), std::string::npos);
    odd->send_text("what is this");
    odd->send_text("call");
    odd->send_bytes(nuvra_test::line_frame(0x81, "not a zlib stream"));
    odd->send_bytes(nuvra_test::batch_frame(0x82, {nuvra_test::text_frame(0x80, "line_ping:5")}, 2));
    odd->send_text("line_ping:6");
    EXPECT_TRUE(odd->wait_text("line_pong:6"));

    auto broken = client();
    broken->send_bytes(nuvra_test::line_frame_with_length(0x80, 2, ""));
    EXPECT_TRUE(broken->closed_by_peer());

    auto huge = client();
    huge->send_bytes(nuvra_test::line_frame_with_length(0x80, 0xFFFFFF, "partial"));
    huge.reset();

    EXPECT_EQ(good->call("channel_join", obj({{"name", "x"}}))["result"].asString(), "ok");
    EXPECT_TRUE(service_->wait_output("broken frame"));
    EXPECT_TRUE(service_->wait_output("unknown text: what is this"));
    EXPECT_EQ(service_->stop(SIGTERM), 0);
}

}  // namespace
