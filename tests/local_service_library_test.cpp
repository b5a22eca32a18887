// Two library instances talk to each other through the local service, over
// real sockets, through the C++ binding an application uses.

#include <gtest/gtest.h>
#include <nuvra_sig.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/local_service_process.h"
#include "support/own_address.h"

using nuvra_test::LocalServiceProcess;

namespace {

std::string str(const char* p, size_t n) { return std::string(p, n); }

// Keeps every event as one text, "onName arg arg ...", in arrival order.
class Recorder : public nuvra_sdk_cpp::ICallBack {
public:
    // The first event beginning with prefix, waiting up to timeout_ms.
    std::string wait(const std::string& prefix, int timeout_ms = 15000) {
        std::unique_lock<std::mutex> lock(m_mtx);
        std::string found;
        m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (const auto& e : m_events)
                if (e.compare(0, prefix.size(), prefix) == 0) return !(found = e).empty();
            return false;
        });
        return found;
    }
    size_t count(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(m_mtx);
        size_t n = 0;
        for (const auto& e : m_events) n += e.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
    std::string all() {
        std::lock_guard<std::mutex> lock(m_mtx);
        std::string out;
        for (const auto& e : m_events) out += e + "\n";
        return out;
    }

    void onReconnecting(uint32_t n) override { add("onReconnecting " + std::to_string(n)); }
    void onReconnected(int) override { add("onReconnected"); }
    void onLoginSuccess(uint32_t uid, int) override { add("onLoginSuccess " + std::to_string(uid)); }
    void onLogout(int ecode) override { add("onLogout " + std::to_string(ecode)); }
    void onLoginFailed(int ecode) override { add("onLoginFailed " + std::to_string(ecode)); }
    void onChannelJoined(const char* c, size_t cn) override { add("onChannelJoined " + str(c, cn)); }
    void onChannelUserJoined(const char* a, size_t an, uint32_t uid) override {
        add("onChannelUserJoined " + str(a, an) + " " + std::to_string(uid));
    }
    void onChannelUserLeaved(const char* a, size_t an, uint32_t uid) override {
        add("onChannelUserLeaved " + str(a, an) + " " + std::to_string(uid));
    }
    void onChannelUserList(int n, char** accounts, uint32_t*) override {
        std::string list = "onChannelUserList " + std::to_string(n);
        for (int i = 0; i < n; ++i) list += std::string(" ") + accounts[i];
        add(list);
    }
    void onChannelAttrUpdated(const char* c, size_t cn, const char* n, size_t nn, const char* v, size_t vn,
                              const char* t, size_t tn) override {
        add("onChannelAttrUpdated " + str(c, cn) + " " + str(n, nn) + " " + str(v, vn) + " " + str(t, tn));
    }
    void onInviteReceived(const char* c, size_t cn, const char* a, size_t an, uint32_t uid, const char* e,
                          size_t en) override {
        add("onInviteReceived " + str(c, cn) + " " + str(a, an) + " " + std::to_string(uid) + " " + str(e, en));
    }
    void onInviteReceivedByPeer(const char* c, size_t cn, const char* a, size_t an, uint32_t) override {
        add("onInviteReceivedByPeer " + str(c, cn) + " " + str(a, an));
    }
    void onInviteAcceptedByPeer(const char* c, size_t cn, const char* a, size_t an, uint32_t, const char* e,
                                size_t en) override {
        add("onInviteAcceptedByPeer " + str(c, cn) + " " + str(a, an) + " " + str(e, en));
    }
    void onInviteFailed(const char* c, size_t cn, const char* a, size_t an, uint32_t, int ecode, const char*,
                        size_t) override {
        add("onInviteFailed " + str(c, cn) + " " + str(a, an) + " " + std::to_string(ecode));
    }
    void onInviteEndByPeer(const char* c, size_t cn, const char* a, size_t an, uint32_t, const char*,
                           size_t) override {
        add("onInviteEndByPeer " + str(c, cn) + " " + str(a, an));
    }
    void onInviteEndByMyself(const char* c, size_t cn, const char* a, size_t an, uint32_t) override {
        add("onInviteEndByMyself " + str(c, cn) + " " + str(a, an));
    }
    void onMessageSendSuccess(const char* id, size_t idn) override { add("onMessageSendSuccess " + str(id, idn)); }
    void onMessageSendError(const char* id, size_t idn, int ecode) override {
        add("onMessageSendError " + str(id, idn) + " " + std::to_string(ecode));
    }
    void onMessageInstantReceive(const char* a, size_t an, uint32_t uid, const char* m, size_t mn) override {
        add("onMessageInstantReceive " + str(a, an) + " " + std::to_string(uid) + " " + str(m, mn));
    }
    void onMessageChannelReceive(const char* c, size_t cn, const char* a, size_t an, uint32_t, const char* m,
                                 size_t mn) override {
        add("onMessageChannelReceive " + str(c, cn) + " " + str(a, an) + " " + str(m, mn));
    }
    void onInvokeRet(const char* id, size_t idn, const char* err, size_t errn, const char* r, size_t rn) override {
        add("onInvokeRet " + str(id, idn) + " [" + str(err, errn) + "] " + str(r, rn));
    }
    void onUserAttrResult(const char* a, size_t an, const char* n, size_t nn, const char* v, size_t vn) override {
        add("onUserAttrResult " + str(a, an) + " " + str(n, nn) + " " + str(v, vn));
    }
    void onQueryUserStatusResult(const char* n, size_t nn, const char* s, size_t sn) override {
        add("onQueryUserStatusResult " + str(n, nn) + " " + str(s, sn));
    }
    void onError(const char* n, size_t nn, int ecode, const char* d, size_t dn) override {
        add("onError " + str(n, nn) + " " + std::to_string(ecode) + " " + str(d, dn));
    }

private:
    void add(const std::string& e) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_events.push_back(e);
        m_cv.notify_all();
    }

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<std::string> m_events;
};

struct Text {
    Text(const char* s) : p(s), n(std::strlen(s)) {}
    Text(const std::string& s) : p(s.data()), n(s.size()) {}
    const char* p;
    size_t n;
};

// One signed-in user of the service. The instance outlives the test, so it
// is signed out and let go of the recorder before the recorder is freed:
// callbackSet returns once no event can reach the old object.
struct User {
    ~User() {
        if (!api) return;
        api->logout();
        api->callbackSet(nullptr);
        api->destroy();
    }

    std::string account;
    nuvra_sdk_cpp::INuvraAPI* api = nullptr;
    Recorder events;
    uint32_t uid = 0;
};

class ThroughLocalService : public ::testing::Test {
protected:
    void start(const std::string& ip, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--address", ip, "--line-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        service_ = std::make_unique<LocalServiceProcess>(args);
        ASSERT_TRUE(service_->wait_ready()) << service_->error_output();
        ip_ = ip;
    }
    void sign_in(User& u, const std::string& account) {
        u.account = account;
        u.api = createNuvraSDKInstanceCPP();
        ASSERT_NE(u.api, nullptr);
        u.api->callbackSet(&u.events);
        dbg(u, "lbss", ip_);
        dbg(u, "norpt", "1");
        const std::string device_id = "d-" + account;
        Text vid = "app", acc = account, token = "t", device = device_id;
        u.api->login(vid.p, vid.n, acc.p, acc.n, token.p, token.n, 0, device.p, device.n);
        std::string ok = u.events.wait("onLoginSuccess ");
        ASSERT_FALSE(ok.empty()) << u.events.all() << service_->error_output();
        u.uid = static_cast<uint32_t>(std::stoul(ok.substr(15)));
    }
    static void dbg(User& u, Text key, Text value) { u.api->dbg(key.p, key.n, value.p, value.n); }
    static void join(User& u, Text channel) {
        u.api->channelJoin(channel.p, channel.n);
        EXPECT_EQ(u.events.wait("onChannelJoined "), "onChannelJoined " + std::string(channel.p, channel.n));
    }

    std::string ip_;
    std::unique_ptr<LocalServiceProcess> service_;
};

TEST_F(ThroughLocalService, TwoInstancesMeetInAChannelAndExchangeMessages) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(30)));
    User alice, bob;
    ASSERT_NO_FATAL_FAILURE(sign_in(alice, "alice"));
    ASSERT_NO_FATAL_FAILURE(sign_in(bob, "bob"));
    ASSERT_NE(alice.uid, bob.uid);

    join(alice, "lobby");
    join(bob, "lobby");
    EXPECT_EQ(bob.events.wait("onChannelUserList "), "onChannelUserList 2 alice bob");
    EXPECT_EQ(alice.events.wait("onChannelUserJoined "), "onChannelUserJoined bob " + std::to_string(bob.uid));

    alice.api->channelSetAttr("lobby", 5, "topic", 5, "sync at 10", 10);
    EXPECT_EQ(bob.events.wait("onChannelAttrUpdated "), "onChannelAttrUpdated lobby topic sync at 10 update");

    alice.api->messageInstantSend("bob", 3, 0, "hello bob", 9, "m1", 2);
    EXPECT_EQ(alice.events.wait("onMessageSendSuccess "), "onMessageSendSuccess m1");
    EXPECT_EQ(bob.events.wait("onMessageInstantReceive "), "onMessageInstantReceive alice 0 hello bob");

    bob.api->messageChannelSend("lobby", 5, "hi all", 6, "m2", 2);
    EXPECT_EQ(bob.events.wait("onMessageSendSuccess "), "onMessageSendSuccess m2");
    EXPECT_EQ(alice.events.wait("onMessageChannelReceive "), "onMessageChannelReceive lobby bob hi all");

    bob.api->channelLeave("lobby", 5);
    EXPECT_EQ(alice.events.wait("onChannelUserLeaved "), "onChannelUserLeaved bob " + std::to_string(bob.uid));

    // Polling after the pushes finds nothing twice: each message arrived once.
    alice.api->ping();
    EXPECT_EQ(bob.events.count("onMessageInstantReceive "), 1u);
    EXPECT_EQ(alice.events.count("onMessageChannelReceive "), 1u);
    EXPECT_EQ(alice.events.count("onError "), 0u) << alice.events.all();
    EXPECT_EQ(bob.events.count("onError "), 0u) << bob.events.all();
}

TEST_F(ThroughLocalService, AnInvitationIsReceivedAcceptedAndEnded) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(31)));
    User alice, bob;
    ASSERT_NO_FATAL_FAILURE(sign_in(alice, "alice"));
    ASSERT_NO_FATAL_FAILURE(sign_in(bob, "bob"));

    Text extra = "{\"media\":\"audio\"}";
    alice.api->channelInviteUser2("call-7", 6, "bob", 3, extra.p, extra.n);
    std::string received = bob.events.wait("onInviteReceived ");
    std::string from = "onInviteReceived call-7 alice " + std::to_string(alice.uid) + " ";
    ASSERT_EQ(received.compare(0, from.size(), from), 0) << received;
    EXPECT_NE(received.find("\"media\":\"audio\""), std::string::npos) << received;
    EXPECT_NE(received.find("\"callid\""), std::string::npos) << received;
    // The invitee's library acknowledges the invitation by itself.
    EXPECT_EQ(alice.events.wait("onInviteReceivedByPeer "), "onInviteReceivedByPeer call-7 bob");

    bob.api->channelInviteAccept("call-7", 6, "alice", 5, alice.uid, "{\"ok\":1}", 8);
    EXPECT_EQ(alice.events.wait("onInviteAcceptedByPeer "), "onInviteAcceptedByPeer call-7 bob {\"ok\":1}");

    alice.api->channelInviteEnd("call-7", 6, "bob", 3, bob.uid);
    EXPECT_EQ(alice.events.wait("onInviteEndByMyself "), "onInviteEndByMyself call-7 bob");
    EXPECT_EQ(bob.events.wait("onInviteEndByPeer "), "onInviteEndByPeer call-7 alice");

    alice.api->channelInviteUser("call-8", 6, "nobody", 6, 0);
    EXPECT_EQ(alice.events.wait("onInviteFailed "), "onInviteFailed call-8 nobody 703");
}

TEST_F(ThroughLocalService, MessageIdModeDeliversEachMessageOnce) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(32), {"--login-config", R"({"config_msg_set":1})"}));
    User alice, bob;
    ASSERT_NO_FATAL_FAILURE(sign_in(alice, "alice"));
    ASSERT_NO_FATAL_FAILURE(sign_in(bob, "bob"));
    for (int i = 0; i < 3; ++i) {
        std::string msg = "note " + std::to_string(i);
        alice.api->messageInstantSend("bob", 3, 0, msg.data(), msg.size(), "", 0);
        EXPECT_EQ(bob.events.wait("onMessageInstantReceive alice 0 " + msg), "onMessageInstantReceive alice 0 " + msg);
    }
    // The acknowledging polls fetch the pushed messages again; they are dropped as seen.
    EXPECT_TRUE(service_->wait_output("call user_getmsg2"));
    EXPECT_EQ(bob.events.count("onMessageInstantReceive "), 3u) << bob.events.all();
}

TEST_F(ThroughLocalService, ASessionSurvivesALostLineAndKeepsItsMessages) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(33)));
    User alice, bob;
    ASSERT_NO_FATAL_FAILURE(sign_in(alice, "alice"));
    ASSERT_NO_FATAL_FAILURE(sign_in(bob, "bob"));
    join(alice, "lobby");
    join(bob, "lobby");

    alice.api->setNetworkStatus(0);
    EXPECT_EQ(alice.events.wait("onReconnecting "), "onReconnecting 1");
    EXPECT_EQ(alice.events.wait("onReconnected"), "onReconnected");
    EXPECT_TRUE(service_->wait_output("line_login2 "));

    // Still in the channel and still reachable, without having joined again.
    bob.api->messageChannelSend("lobby", 5, "after", 5, "m3", 2);
    EXPECT_EQ(alice.events.wait("onMessageChannelReceive "), "onMessageChannelReceive lobby bob after");
    bob.api->messageInstantSend("alice", 5, 0, "welcome back", 12, "m4", 2);
    EXPECT_EQ(alice.events.wait("onMessageInstantReceive "), "onMessageInstantReceive bob 0 welcome back");
    EXPECT_EQ(alice.events.count("onChannelUserLeaved "), 0u);
}

TEST_F(ThroughLocalService, AttributesStatusAndInvokeAreAnswered) {
    ASSERT_NO_FATAL_FAILURE(start(nuvra_test::own_loopback_ip(34)));
    User alice, bob;
    ASSERT_NO_FATAL_FAILURE(sign_in(alice, "alice"));
    ASSERT_NO_FATAL_FAILURE(sign_in(bob, "bob"));
    alice.api->setAttr("color", 5, "blue", 4);
    // The two users have lines of their own: bob asks once alice's call is served.
    ASSERT_TRUE(service_->wait_output("call user_set_attr "));
    bob.api->getUserAttr("alice", 5, "color", 5);
    EXPECT_EQ(bob.events.wait("onUserAttrResult "), "onUserAttrResult alice color blue");
    bob.api->queryUserStatus("alice", 5);
    EXPECT_EQ(bob.events.wait("onQueryUserStatusResult "), "onQueryUserStatusResult alice 1");

    Text name = "io.nuvra.signal.echo", args = "{\"n\":1}";
    alice.api->invoke(name.p, name.n, args.p, args.n, "c1", 2);
    EXPECT_EQ(alice.events.wait("onInvokeRet "),
              "onInvokeRet c1 [] {\"args\":{\"n\":1},\"method\":\"echo\",\"result\":\"ok\"}");

    alice.api->logout();
    EXPECT_EQ(alice.events.wait("onLogout "), "onLogout 101");
    ASSERT_TRUE(service_->wait_output("call user_logout "));
    bob.api->queryUserStatus("alice", 5);
    EXPECT_EQ(bob.events.wait("onQueryUserStatusResult alice 0"), "onQueryUserStatusResult alice 0");
}

}  // namespace
