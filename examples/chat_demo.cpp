// Two users sign in to a signaling service, meet in a channel, set a channel
// attribute, exchange an instant and a channel message, invoke a server
// method and log out, through the C++ binding. Every event is printed as one
// line that starts with the event's name and ends with the thread it came on;
// the library's own log lines go to the file given with --log (default:
// standard error).
//
//   chat_demo [--service 127.0.0.1] [--log FILE]

#include <nuvra_sig.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

using nuvra_sdk_cpp::INuvraAPI;

std::string str(const char* p, size_t n) { return std::string(p, n); }

// What the main thread waits for: notes that the event handlers leave.
class Progress {
public:
    void note(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_notes.insert(what);
        m_cv.notify_all();
    }
    bool wait(const std::string& what, int timeout_ms = 15000) {
        std::unique_lock<std::mutex> lock(m_mtx);
        if (m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_notes.count(what) > 0; }))
            return true;
        std::printf("FAILED waiting for %s\n", what.c_str());
        return false;
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::set<std::string> m_notes;
};

std::thread::id g_main_thread;
std::mutex g_print_mtx;
FILE* g_log = stderr;

class Events : public nuvra_sdk_cpp::ICallBack {
public:
    Events(std::string user, Progress& progress) : m_user(std::move(user)), m_progress(progress) {}

    void onReconnecting(uint32_t nretry) override { print("onReconnecting", "nretry=" + std::to_string(nretry)); }
    void onReconnected(int fd) override { print("onReconnected", "fd=" + std::to_string(fd)); }
    void onLoginSuccess(uint32_t uid, int fd) override {
        print("onLoginSuccess", "uid=" + std::to_string(uid) + " fd=" + std::to_string(fd));
        note("login");
    }
    void onLogout(int ecode) override {
        print("onLogout", "ecode=" + std::to_string(ecode));
        note("logout");
    }
    void onLoginFailed(int ecode) override { print("onLoginFailed", "ecode=" + std::to_string(ecode)); }
    void onChannelJoined(const char* ch, size_t chn) override {
        print("onChannelJoined", "channel=" + str(ch, chn));
        note("joined");
    }
    void onChannelJoinFailed(const char* ch, size_t chn, int ecode) override {
        print("onChannelJoinFailed", "channel=" + str(ch, chn) + " ecode=" + std::to_string(ecode));
    }
    void onChannelLeaved(const char* ch, size_t chn, int ecode) override {
        print("onChannelLeaved", "channel=" + str(ch, chn) + " ecode=" + std::to_string(ecode));
    }
    void onChannelUserJoined(const char* acc, size_t accn, uint32_t uid) override {
        print("onChannelUserJoined", "account=" + str(acc, accn) + " uid=" + std::to_string(uid));
        note("user joined " + str(acc, accn));
    }
    void onChannelUserLeaved(const char* acc, size_t accn, uint32_t uid) override {
        print("onChannelUserLeaved", "account=" + str(acc, accn) + " uid=" + std::to_string(uid));
    }
    void onChannelUserList(int n, char** accounts, uint32_t* uids) override {
        std::string members;
        for (int i = 0; i < n; ++i) members += std::string(i ? "," : "") + accounts[i] + ":" + std::to_string(uids[i]);
        print("onChannelUserList", "n=" + std::to_string(n) + " members=" + members);
    }
    void onChannelQueryUserNumResult(const char* ch, size_t chn, int ecode, int num) override {
        print("onChannelQueryUserNumResult",
              "channel=" + str(ch, chn) + " ecode=" + std::to_string(ecode) + " num=" + std::to_string(num));
    }
    void onChannelQueryUserIsIn(const char* ch, size_t chn, const char* acc, size_t accn, int isIn) override {
        print("onChannelQueryUserIsIn",
              "channel=" + str(ch, chn) + " account=" + str(acc, accn) + " isIn=" + std::to_string(isIn));
    }
    void onChannelAttrUpdated(const char* ch, size_t chn, const char* name, size_t namen, const char* value,
                              size_t valuen, const char* type, size_t typen) override {
        print("onChannelAttrUpdated", "channel=" + str(ch, chn) + " name=" + str(name, namen) +
                                          " value=" + str(value, valuen) + " type=" + str(type, typen));
        note("attr " + str(name, namen));
    }
    void onInviteReceived(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid, const char* extra,
                          size_t extran) override {
        print("onInviteReceived", invite(ch, chn, acc, accn, uid) + " extra=" + str(extra, extran));
    }
    void onInviteReceivedByPeer(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid) override {
        print("onInviteReceivedByPeer", invite(ch, chn, acc, accn, uid));
    }
    void onInviteAcceptedByPeer(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                                const char* extra, size_t extran) override {
        print("onInviteAcceptedByPeer", invite(ch, chn, acc, accn, uid) + " extra=" + str(extra, extran));
    }
    void onInviteRefusedByPeer(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                               const char* extra, size_t extran) override {
        print("onInviteRefusedByPeer", invite(ch, chn, acc, accn, uid) + " extra=" + str(extra, extran));
    }
    void onInviteFailed(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid, int ecode,
                        const char* extra, size_t extran) override {
        print("onInviteFailed",
              invite(ch, chn, acc, accn, uid) + " ecode=" + std::to_string(ecode) + " extra=" + str(extra, extran));
    }
    void onInviteEndByPeer(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid, const char* extra,
                           size_t extran) override {
        print("onInviteEndByPeer", invite(ch, chn, acc, accn, uid) + " extra=" + str(extra, extran));
    }
    void onInviteEndByMyself(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid) override {
        print("onInviteEndByMyself", invite(ch, chn, acc, accn, uid));
    }
    void onInviteMsg(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid, const char* type,
                     size_t typen, const char* data, size_t datan, const char* extra, size_t extran) override {
        print("onInviteMsg", invite(ch, chn, acc, accn, uid) + " msgType=" + str(type, typen) +
                                 " msgData=" + str(data, datan) + " extra=" + str(extra, extran));
    }
    void onMessageSendError(const char* id, size_t idn, int ecode) override {
        print("onMessageSendError", "messageID=" + str(id, idn) + " ecode=" + std::to_string(ecode));
    }
    void onMessageSendProgress(const char* acc, size_t accn, const char* id, size_t idn, const char* type,
                               size_t typen, const char* info, size_t infon) override {
        print("onMessageSendProgress", "account=" + str(acc, accn) + " messageID=" + str(id, idn) +
                                           " type=" + str(type, typen) + " info=" + str(info, infon));
    }
    void onMessageSendSuccess(const char* id, size_t idn) override {
        print("onMessageSendSuccess", "messageID=" + str(id, idn));
        note("sent " + str(id, idn));
    }
    void onMessageAppReceived(const char* msg, size_t msgn) override {
        print("onMessageAppReceived", "msg=" + str(msg, msgn));
    }
    void onMessageInstantReceive(const char* acc, size_t accn, uint32_t uid, const char* msg, size_t msgn) override {
        print("onMessageInstantReceive", "account=" + str(acc, accn) + " uid=" + std::to_string(uid) +
                                             " msg=" + str(msg, msgn));
        note("instant");
    }
    void onMessageChannelReceive(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                                 const char* msg, size_t msgn) override {
        print("onMessageChannelReceive", "channel=" + str(ch, chn) + " account=" + str(acc, accn) +
                                             " uid=" + std::to_string(uid) + " msg=" + str(msg, msgn));
        note("channel message");
    }
    // Only the process-wide instance receives the library's log lines.
    void onLog(const char* txt, size_t txtn) override {
        std::lock_guard<std::mutex> lock(g_print_mtx);
        std::fprintf(g_log, "%.*s\n", static_cast<int>(txtn), txt);
    }
    void onInvokeRet(const char* id, size_t idn, const char* err, size_t errn, const char* resp,
                     size_t respn) override {
        print("onInvokeRet", "callID=" + str(id, idn) + " err=" + str(err, errn) + " resp=" + str(resp, respn));
        note("invoke");
    }
    void onMsg(const char* from, size_t fromn, const char* t, size_t tn, const char* msg, size_t msgn) override {
        print("onMsg", "from=" + str(from, fromn) + " t=" + str(t, tn) + " msg=" + str(msg, msgn));
    }
    void onUserAttrResult(const char* acc, size_t accn, const char* name, size_t namen, const char* value,
                          size_t valuen) override {
        print("onUserAttrResult",
              "account=" + str(acc, accn) + " name=" + str(name, namen) + " value=" + str(value, valuen));
    }
    void onUserAttrAllResult(const char* acc, size_t accn, const char* value, size_t valuen) override {
        print("onUserAttrAllResult", "account=" + str(acc, accn) + " value=" + str(value, valuen));
    }
    void onError(const char* name, size_t namen, int ecode, const char* desc, size_t descn) override {
        print("onError", "name=" + str(name, namen) + " ecode=" + std::to_string(ecode) + " desc=" + str(desc, descn));
    }
    void onQueryUserStatusResult(const char* name, size_t namen, const char* status, size_t statusn) override {
        print("onQueryUserStatusResult", "name=" + str(name, namen) + " status=" + str(status, statusn));
    }
    void onDbg(const char* a, size_t an, const char*, size_t bn) override {
        print("onDbg", "a=" + str(a, an) + " bytes=" + std::to_string(bn));
    }
    void onBCCall_result(const char* reason, size_t reasonn, const char* ret, size_t retn, const char* id,
                         size_t idn) override {
        print("onBCCall_result",
              "reason=" + str(reason, reasonn) + " json_ret=" + str(ret, retn) + " callID=" + str(id, idn));
    }

private:
    static std::string invite(const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid) {
        return "channel=" + str(ch, chn) + " account=" + str(acc, accn) + " uid=" + std::to_string(uid);
    }
    void print(const char* event, const std::string& fields) {
        const char* thread = std::this_thread::get_id() == g_main_thread ? "main" : "network";
        std::lock_guard<std::mutex> lock(g_print_mtx);
        std::printf("%s %s user=%s thread=%s\n", event, fields.c_str(), m_user.c_str(), thread);
        std::fflush(stdout);
    }
    void note(const std::string& what) { m_progress.note(m_user + ": " + what); }

    std::string m_user;
    Progress& m_progress;
};

// Texts go in as a pointer and a byte count.
struct Text {
    Text(const char* s) : p(s), n(std::strlen(s)) {}
    Text(const std::string& s) : p(s.data()), n(s.size()) {}
    const char* p;
    size_t n;
};

void dbg(INuvraAPI* api, Text key, Text value) { api->dbg(key.p, key.n, value.p, value.n); }

int run(const std::string& service) {
    // Events and log lines may come until the process exits: the objects they
    // reach live as long, and are made before the first instance so that they
    // are destroyed only after the library's thread has stopped.
    static Progress progress;
    static Events alice_events("alice", progress);
    static Events bob_events("bob", progress);
    INuvraAPI* alice = getNuvraSDKInstanceCPP();
    INuvraAPI* bob = createNuvraSDKInstanceCPP();
    if (!alice || !bob) {
        std::printf("FAILED to get two instances\n");
        return 1;
    }
    alice->callbackSet(&alice_events);
    bob->callbackSet(&bob_events);
    for (INuvraAPI* api : {alice, bob}) {
        // Discovery asks this host only, by name and as its built-in address.
        dbg(api, "lbss", service);
    }

    const Text app = "demo", token = "any-token";
    alice->login(app.p, app.n, "alice", 5, token.p, token.n, 0, "device-a", 8);
    bob->login(app.p, app.n, "bob", 3, token.p, token.n, 0, "device-b", 8);
    if (!progress.wait("alice: login") || !progress.wait("bob: login")) return 1;

    const Text lobby = "lobby";
    alice->channelJoin(lobby.p, lobby.n);
    if (!progress.wait("alice: joined")) return 1;
    bob->channelJoin(lobby.p, lobby.n);
    if (!progress.wait("bob: joined") || !progress.wait("alice: user joined bob")) return 1;

    alice->channelSetAttr(lobby.p, lobby.n, "topic", 5, "weekly sync", 11);
    if (!progress.wait("alice: attr topic") || !progress.wait("bob: attr topic")) return 1;

    alice->messageInstantSend("bob", 3, 0, "hello bob", 9, "m1", 2);
    if (!progress.wait("alice: sent m1") || !progress.wait("bob: instant")) return 1;

    bob->messageChannelSend(lobby.p, lobby.n, "hello lobby", 11, "m2", 2);
    if (!progress.wait("bob: sent m2") || !progress.wait("alice: channel message")) return 1;

    const Text method = "io.nuvra.signal.echo", args = "{\"question\":42}";
    alice->invoke(method.p, method.n, args.p, args.n, "call-1", 6);
    if (!progress.wait("alice: invoke")) return 1;

    alice->logout();
    bob->logout();
    if (!progress.wait("alice: logout") || !progress.wait("bob: logout")) return 1;
    std::printf("done\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    g_main_thread = std::this_thread::get_id();
    std::string service = "127.0.0.1";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--service") == 0) service = argv[i + 1];
        if (std::strcmp(argv[i], "--log") == 0) g_log = std::fopen(argv[i + 1], "a");
    }
    if (!g_log) g_log = stderr;
    return run(service);
}
