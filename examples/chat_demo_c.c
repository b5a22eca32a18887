/* The same session as chat_demo.cpp through the C table: two users sign in
 * to a signaling service, meet in a channel, set a channel attribute,
 * exchange an instant and a channel message, invoke a server method and log
 * out. Every event is printed as one line that starts with the event's name
 * and ends with the thread it came on; the library's own log lines go to the
 * file given with --log (default: standard error).
 *
 *   chat_demo_c [--service 127.0.0.1] [--log FILE]
 */

#define _POSIX_C_SOURCE 200809L

#include <nuvra_sig.h>

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* What the main thread waits for: notes the event handlers leave. */
#define MAX_NOTES 64
static pthread_mutex_t g_mtx = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cv = PTHREAD_COND_INITIALIZER;
static char g_notes[MAX_NOTES][64];
static int g_note_count;
static pthread_t g_main_thread;
static FILE* g_log;

/* The callback structure comes first, so a handler finds its user from it. */
typedef struct User {
    ICallBackC cb;
    const char* name;
} User;

static void note(ICallBackC* cb, const char* what) {
    pthread_mutex_lock(&g_mtx);
    if (g_note_count < MAX_NOTES) {
        snprintf(g_notes[g_note_count++], sizeof g_notes[0], "%s: %s", ((User*)cb)->name, what);
        pthread_cond_broadcast(&g_cv);
    }
    pthread_mutex_unlock(&g_mtx);
}

static int wait_note(const char* what) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 15;
    pthread_mutex_lock(&g_mtx);
    for (;;) {
        for (int i = 0; i < g_note_count; ++i) {
            if (strcmp(g_notes[i], what) == 0) {
                pthread_mutex_unlock(&g_mtx);
                return 1;
            }
        }
        if (pthread_cond_timedwait(&g_cv, &g_mtx, &deadline) == ETIMEDOUT) break;
    }
    pthread_mutex_unlock(&g_mtx);
    printf("FAILED waiting for %s\n", what);
    return 0;
}

/* One event line: name, fields, user, thread. */
static void print_event(ICallBackC* cb, const char* event, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
static void print_event(ICallBackC* cb, const char* event, const char* fmt, ...) {
    char fields[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(fields, sizeof fields, fmt, ap);
    va_end(ap);
    const char* thread = pthread_equal(pthread_self(), g_main_thread) ? "main" : "network";
    pthread_mutex_lock(&g_mtx);
    printf("%s %s user=%s thread=%s\n", event, fields, ((User*)cb)->name, thread);
    fflush(stdout);
    pthread_mutex_unlock(&g_mtx);
}

#define S(p, n) (int)(n), (p)

static void onReconnecting(ICallBackC* cb, uint32_t nretry) { print_event(cb, "onReconnecting", "nretry=%u", nretry); }
static void onReconnected(ICallBackC* cb, int fd) { print_event(cb, "onReconnected", "fd=%d", fd); }
static void onLoginSuccess(ICallBackC* cb, uint32_t uid, int fd) {
    print_event(cb, "onLoginSuccess", "uid=%u fd=%d", uid, fd);
    note(cb, "login");
}
static void onLogout(ICallBackC* cb, int ecode) {
    print_event(cb, "onLogout", "ecode=%d", ecode);
    note(cb, "logout");
}
static void onLoginFailed(ICallBackC* cb, int ecode) { print_event(cb, "onLoginFailed", "ecode=%d", ecode); }
static void onChannelJoined(ICallBackC* cb, const char* ch, size_t chn) {
    print_event(cb, "onChannelJoined", "channel=%.*s", S(ch, chn));
    note(cb, "joined");
}
static void onChannelJoinFailed(ICallBackC* cb, const char* ch, size_t chn, int ecode) {
    print_event(cb, "onChannelJoinFailed", "channel=%.*s ecode=%d", S(ch, chn), ecode);
}
static void onChannelLeaved(ICallBackC* cb, const char* ch, size_t chn, int ecode) {
    print_event(cb, "onChannelLeaved", "channel=%.*s ecode=%d", S(ch, chn), ecode);
}
static void onChannelUserJoined(ICallBackC* cb, const char* acc, size_t accn, uint32_t uid) {
    char what[64];
    print_event(cb, "onChannelUserJoined", "account=%.*s uid=%u", S(acc, accn), uid);
    snprintf(what, sizeof what, "user joined %.*s", S(acc, accn));
    note(cb, what);
}
static void onChannelUserLeaved(ICallBackC* cb, const char* acc, size_t accn, uint32_t uid) {
    print_event(cb, "onChannelUserLeaved", "account=%.*s uid=%u", S(acc, accn), uid);
}
static void onChannelUserList(ICallBackC* cb, int n, char** accounts, uint32_t* uids) {
    char members[512] = "";
    for (int i = 0; i < n; ++i) {
        size_t used = strlen(members);
        snprintf(members + used, sizeof members - used, "%s%s:%u", i ? "," : "", accounts[i], uids[i]);
    }
    print_event(cb, "onChannelUserList", "n=%d members=%s", n, members);
}
static void onChannelQueryUserNumResult(ICallBackC* cb, const char* ch, size_t chn, int ecode, int num) {
    print_event(cb, "onChannelQueryUserNumResult", "channel=%.*s ecode=%d num=%d", S(ch, chn), ecode, num);
}
static void onChannelQueryUserIsIn(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn,
                                   int isIn) {
    print_event(cb, "onChannelQueryUserIsIn", "channel=%.*s account=%.*s isIn=%d", S(ch, chn), S(acc, accn), isIn);
}
static void onChannelAttrUpdated(ICallBackC* cb, const char* ch, size_t chn, const char* name, size_t namen,
                                 const char* value, size_t valuen, const char* type, size_t typen) {
    char what[64];
    print_event(cb, "onChannelAttrUpdated", "channel=%.*s name=%.*s value=%.*s type=%.*s", S(ch, chn),
                S(name, namen), S(value, valuen), S(type, typen));
    snprintf(what, sizeof what, "attr %.*s", S(name, namen));
    note(cb, what);
}
static void onInviteReceived(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                             const char* extra, size_t extran) {
    print_event(cb, "onInviteReceived", "channel=%.*s account=%.*s uid=%u extra=%.*s", S(ch, chn), S(acc, accn), uid,
                S(extra, extran));
}
static void onInviteReceivedByPeer(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn,
                                   uint32_t uid) {
    print_event(cb, "onInviteReceivedByPeer", "channel=%.*s account=%.*s uid=%u", S(ch, chn), S(acc, accn), uid);
}
static void onInviteAcceptedByPeer(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn,
                                   uint32_t uid, const char* extra, size_t extran) {
    print_event(cb, "onInviteAcceptedByPeer", "channel=%.*s account=%.*s uid=%u extra=%.*s", S(ch, chn),
                S(acc, accn), uid, S(extra, extran));
}
static void onInviteRefusedByPeer(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn,
                                  uint32_t uid, const char* extra, size_t extran) {
    print_event(cb, "onInviteRefusedByPeer", "channel=%.*s account=%.*s uid=%u extra=%.*s", S(ch, chn), S(acc, accn),
                uid, S(extra, extran));
}
static void onInviteFailed(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                           int ecode, const char* extra, size_t extran) {
    print_event(cb, "onInviteFailed", "channel=%.*s account=%.*s uid=%u ecode=%d extra=%.*s", S(ch, chn),
                S(acc, accn), uid, ecode, S(extra, extran));
}
static void onInviteEndByPeer(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                              const char* extra, size_t extran) {
    print_event(cb, "onInviteEndByPeer", "channel=%.*s account=%.*s uid=%u extra=%.*s", S(ch, chn), S(acc, accn), uid,
                S(extra, extran));
}
static void onInviteEndByMyself(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn,
                                uint32_t uid) {
    print_event(cb, "onInviteEndByMyself", "channel=%.*s account=%.*s uid=%u", S(ch, chn), S(acc, accn), uid);
}
static void onInviteMsg(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn, uint32_t uid,
                        const char* type, size_t typen, const char* data, size_t datan, const char* extra,
                        size_t extran) {
    print_event(cb, "onInviteMsg", "channel=%.*s account=%.*s uid=%u msgType=%.*s msgData=%.*s extra=%.*s",
                S(ch, chn), S(acc, accn), uid, S(type, typen), S(data, datan), S(extra, extran));
}
static void onMessageSendError(ICallBackC* cb, const char* id, size_t idn, int ecode) {
    print_event(cb, "onMessageSendError", "messageID=%.*s ecode=%d", S(id, idn), ecode);
}
static void onMessageSendProgress(ICallBackC* cb, const char* acc, size_t accn, const char* id, size_t idn,
                                  const char* type, size_t typen, const char* info, size_t infon) {
    print_event(cb, "onMessageSendProgress", "account=%.*s messageID=%.*s type=%.*s info=%.*s", S(acc, accn),
                S(id, idn), S(type, typen), S(info, infon));
}
static void onMessageSendSuccess(ICallBackC* cb, const char* id, size_t idn) {
    char what[64];
    print_event(cb, "onMessageSendSuccess", "messageID=%.*s", S(id, idn));
    snprintf(what, sizeof what, "sent %.*s", S(id, idn));
    note(cb, what);
}
static void onMessageAppReceived(ICallBackC* cb, const char* msg, size_t msgn) {
    print_event(cb, "onMessageAppReceived", "msg=%.*s", S(msg, msgn));
}
static void onMessageInstantReceive(ICallBackC* cb, const char* acc, size_t accn, uint32_t uid, const char* msg,
                                    size_t msgn) {
    print_event(cb, "onMessageInstantReceive", "account=%.*s uid=%u msg=%.*s", S(acc, accn), uid, S(msg, msgn));
    note(cb, "instant");
}
static void onMessageChannelReceive(ICallBackC* cb, const char* ch, size_t chn, const char* acc, size_t accn,
                                    uint32_t uid, const char* msg, size_t msgn) {
    print_event(cb, "onMessageChannelReceive", "channel=%.*s account=%.*s uid=%u msg=%.*s", S(ch, chn), S(acc, accn),
                uid, S(msg, msgn));
    note(cb, "channel message");
}
/* Only the process-wide instance receives the library's log lines. */
static void onLog(ICallBackC* cb, const char* txt, size_t txtn) {
    (void)cb;
    pthread_mutex_lock(&g_mtx);
    fprintf(g_log, "%.*s\n", S(txt, txtn));
    pthread_mutex_unlock(&g_mtx);
}
static void onInvokeRet(ICallBackC* cb, const char* id, size_t idn, const char* err, size_t errn, const char* resp,
                        size_t respn) {
    print_event(cb, "onInvokeRet", "callID=%.*s err=%.*s resp=%.*s", S(id, idn), S(err, errn), S(resp, respn));
    note(cb, "invoke");
}
static void onMsg(ICallBackC* cb, const char* from, size_t fromn, const char* t, size_t tn, const char* msg,
                  size_t msgn) {
    print_event(cb, "onMsg", "from=%.*s t=%.*s msg=%.*s", S(from, fromn), S(t, tn), S(msg, msgn));
}
static void onUserAttrResult(ICallBackC* cb, const char* acc, size_t accn, const char* name, size_t namen,
                             const char* value, size_t valuen) {
    print_event(cb, "onUserAttrResult", "account=%.*s name=%.*s value=%.*s", S(acc, accn), S(name, namen),
                S(value, valuen));
}
static void onUserAttrAllResult(ICallBackC* cb, const char* acc, size_t accn, const char* value, size_t valuen) {
    print_event(cb, "onUserAttrAllResult", "account=%.*s value=%.*s", S(acc, accn), S(value, valuen));
}
static void onError(ICallBackC* cb, const char* name, size_t namen, int ecode, const char* desc, size_t descn) {
    print_event(cb, "onError", "name=%.*s ecode=%d desc=%.*s", S(name, namen), ecode, S(desc, descn));
}
static void onQueryUserStatusResult(ICallBackC* cb, const char* name, size_t namen, const char* status,
                                    size_t statusn) {
    print_event(cb, "onQueryUserStatusResult", "name=%.*s status=%.*s", S(name, namen), S(status, statusn));
}
static void onDbg(ICallBackC* cb, const char* a, size_t an, const char* b, size_t bn) {
    (void)b;
    print_event(cb, "onDbg", "a=%.*s bytes=%zu", S(a, an), bn);
}
static void onBCCall_result(ICallBackC* cb, const char* reason, size_t reasonn, const char* ret, size_t retn,
                            const char* id, size_t idn) {
    print_event(cb, "onBCCall_result", "reason=%.*s json_ret=%.*s callID=%.*s", S(reason, reasonn), S(ret, retn),
                S(id, idn));
}

/* The library calls every member without testing it, so all 37 are set. */
static void fill_callbacks(ICallBackC* cb) {
    cb->onReconnecting = onReconnecting;
    cb->onReconnected = onReconnected;
    cb->onLoginSuccess = onLoginSuccess;
    cb->onLogout = onLogout;
    cb->onLoginFailed = onLoginFailed;
    cb->onChannelJoined = onChannelJoined;
    cb->onChannelJoinFailed = onChannelJoinFailed;
    cb->onChannelLeaved = onChannelLeaved;
    cb->onChannelUserJoined = onChannelUserJoined;
    cb->onChannelUserLeaved = onChannelUserLeaved;
    cb->onChannelUserList = onChannelUserList;
    cb->onChannelQueryUserNumResult = onChannelQueryUserNumResult;
    cb->onChannelQueryUserIsIn = onChannelQueryUserIsIn;
    cb->onChannelAttrUpdated = onChannelAttrUpdated;
    cb->onInviteReceived = onInviteReceived;
    cb->onInviteReceivedByPeer = onInviteReceivedByPeer;
    cb->onInviteAcceptedByPeer = onInviteAcceptedByPeer;
    cb->onInviteRefusedByPeer = onInviteRefusedByPeer;
    cb->onInviteFailed = onInviteFailed;
    cb->onInviteEndByPeer = onInviteEndByPeer;
    cb->onInviteEndByMyself = onInviteEndByMyself;
    cb->onInviteMsg = onInviteMsg;
    cb->onMessageSendError = onMessageSendError;
    cb->onMessageSendProgress = onMessageSendProgress;
    cb->onMessageSendSuccess = onMessageSendSuccess;
    cb->onMessageAppReceived = onMessageAppReceived;
    cb->onMessageInstantReceive = onMessageInstantReceive;
    cb->onMessageChannelReceive = onMessageChannelReceive;
    cb->onLog = onLog;
    cb->onInvokeRet = onInvokeRet;
    cb->onMsg = onMsg;
    cb->onUserAttrResult = onUserAttrResult;
    cb->onUserAttrAllResult = onUserAttrAllResult;
    cb->onError = onError;
    cb->onQueryUserStatusResult = onQueryUserStatusResult;
    cb->onDbg = onDbg;
    cb->onBCCall_result = onBCCall_result;
}

/* Texts go in as a pointer and a byte count. */
#define T(s) (s), strlen(s)

static int run(const char* service) {
    static User alice_user = {.name = "alice"};
    static User bob_user = {.name = "bob"};
    fill_callbacks(&alice_user.cb);
    fill_callbacks(&bob_user.cb);
    INuvraAPIC* alice = getNuvraSDKInstanceC();
    INuvraAPIC* bob = createNuvraSDKInstanceC();
    if (!alice || !bob) {
        printf("FAILED to get two instances\n");
        return 1;
    }
    alice->callbackSet(alice, &alice_user.cb);
    bob->callbackSet(bob, &bob_user.cb);
    /* Discovery asks this host only, by name and as its built-in address. */
    alice->dbg(alice, T("lbss"), T(service));
    bob->dbg(bob, T("lbss"), T(service));

    alice->login(alice, T("demo"), T("alice"), T("any-token"), 0, T("device-a"));
    bob->login(bob, T("demo"), T("bob"), T("any-token"), 0, T("device-b"));
    if (!wait_note("alice: login") || !wait_note("bob: login")) return 1;

    alice->channelJoin(alice, T("lobby"));
    if (!wait_note("alice: joined")) return 1;
    bob->channelJoin(bob, T("lobby"));
    if (!wait_note("bob: joined") || !wait_note("alice: user joined bob")) return 1;

    alice->channelSetAttr(alice, T("lobby"), T("topic"), T("weekly sync"));
    if (!wait_note("alice: attr topic") || !wait_note("bob: attr topic")) return 1;

    alice->messageInstantSend(alice, T("bob"), 0, T("hello bob"), T("m1"));
    if (!wait_note("alice: sent m1") || !wait_note("bob: instant")) return 1;

    bob->messageChannelSend(bob, T("lobby"), T("hello lobby"), T("m2"));
    if (!wait_note("bob: sent m2") || !wait_note("alice: channel message")) return 1;

    alice->invoke(alice, T("io.nuvra.signal.echo"), T("{\"question\":42}"), T("call-1"));
    if (!wait_note("alice: invoke")) return 1;

    alice->logout(alice);
    bob->logout(bob);
    if (!wait_note("alice: logout") || !wait_note("bob: logout")) return 1;
    printf("done\n");
    return 0;
}

int main(int argc, char** argv) {
    const char* service = "127.0.0.1";
    g_main_thread = pthread_self();
    g_log = stderr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--service") == 0) service = argv[i + 1];
        if (strcmp(argv[i], "--log") == 0) {
            FILE* f = fopen(argv[i + 1], "a");
            if (f) g_log = f;
        }
    }
    return run(service);
}
