/* A C application of the library: loads it with dlopen, finds the four entry
 * points bound to the version "test" and uses the C tables. Exits 0 when every
 * check holds, else prints the first that failed. Given a discovery address
 * and a line server, it also signs in there, joins a channel and signs out.
 *
 *     c_client <path of libnuvrasig.so> [<discovery ip> <line host:port>] */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "nuvra_sig.h"

typedef INuvraAPIC* (*get_table_fn)(void);

struct recorder {
    ICallBackC cb; /* first, so the structure handed back finds its recorder */
    atomic_int foreign_self;
    atomic_int unterminated;
    atomic_int marker_lines;
    atomic_int logged_in_uid;
    atomic_int joined;
    atomic_int logout_code;
};

static struct recorder app;

static struct recorder* of(ICallBackC* self) { return (struct recorder*)(void*)self; }

static void check_text(ICallBackC* self, const char* text, size_t size) {
    if (self != &app.cb) atomic_fetch_add(&app.foreign_self, 1);
    if (text[size] != '\0') atomic_fetch_add(&of(self)->unterminated, 1);
}

static void record_onLog(ICallBackC* self, const char* txt, size_t txt_size) {
    check_text(self, txt, txt_size);
    if (strstr(txt, "c_client_marker")) atomic_fetch_add(&of(self)->marker_lines, 1);
}

static void record_onError(ICallBackC* self, const char* name, size_t name_size, int ecode, const char* desc,
                           size_t desc_size) {
    (void)ecode;
    check_text(self, name, name_size);
    check_text(self, desc, desc_size);
}

static void record_onChannelJoinFailed(ICallBackC* self, const char* channelID, size_t channelID_size, int ecode) {
    (void)ecode;
    check_text(self, channelID, channelID_size);
}

static void record_onLoginSuccess(ICallBackC* self, uint32_t uid, int fd) {
    (void)fd;
    atomic_store(&of(self)->logged_in_uid, (int)uid);
}

static void record_onChannelJoined(ICallBackC* self, const char* channelID, size_t channelID_size) {
    check_text(self, channelID, channelID_size);
    if (channelID_size == 4 && memcmp(channelID, "room", 4) == 0) atomic_store(&of(self)->joined, 1);
}

static void record_onLoginFailed(ICallBackC* self, int ecode) {
    (void)self;
    (void)ecode;
}

static void record_onLogout(ICallBackC* self, int ecode) { atomic_store(&of(self)->logout_code, ecode); }

static void ignore_onReconnecting(ICallBackC* self, uint32_t nretry) {
    (void)self; (void)nretry;
}

static void ignore_onReconnected(ICallBackC* self, int fd) {
    (void)self; (void)fd;
}

static void ignore_onChannelLeaved(ICallBackC* self, const char* channelID, size_t channelID_size, int ecode) {
    (void)self; (void)channelID; (void)ecode; (void)channelID_size;
}

static void ignore_onChannelUserJoined(ICallBackC* self, const char* account, size_t account_size, uint32_t uid) {
    (void)self; (void)account; (void)uid; (void)account_size;
}

static void ignore_onChannelUserLeaved(ICallBackC* self, const char* account, size_t account_size, uint32_t uid) {
    (void)self; (void)account; (void)uid; (void)account_size;
}

static void ignore_onChannelUserList(ICallBackC* self, int n, char** accounts, uint32_t* uids) {
    (void)self; (void)n; (void)accounts; (void)uids;
}

static void ignore_onChannelQueryUserNumResult(ICallBackC* self, const char* channelID, size_t channelID_size, int ecode, int num) {
    (void)self; (void)channelID; (void)ecode; (void)num; (void)channelID_size;
}

static void ignore_onChannelQueryUserIsIn(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, int isIn) {
    (void)self; (void)channelID; (void)account; (void)isIn; (void)channelID_size; (void)account_size;
}

static void ignore_onChannelAttrUpdated(ICallBackC* self, const char* channelID, size_t channelID_size, const char* name, size_t name_size, const char* value, size_t value_size, const char* type, size_t type_size) {
    (void)self; (void)channelID; (void)name; (void)value; (void)type; (void)channelID_size; (void)name_size; (void)value_size; (void)type_size;
}

static void ignore_onInviteReceived(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)extra; (void)channelID_size; (void)account_size; (void)extra_size;
}

static void ignore_onInviteReceivedByPeer(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)channelID_size; (void)account_size;
}

static void ignore_onInviteAcceptedByPeer(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)extra; (void)channelID_size; (void)account_size; (void)extra_size;
}

static void ignore_onInviteRefusedByPeer(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)extra; (void)channelID_size; (void)account_size; (void)extra_size;
}

static void ignore_onInviteFailed(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, int ecode, const char* extra, size_t extra_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)ecode; (void)extra; (void)channelID_size; (void)account_size; (void)extra_size;
}

static void ignore_onInviteEndByPeer(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, const char* extra, size_t extra_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)extra; (void)channelID_size; (void)account_size; (void)extra_size;
}

static void ignore_onInviteEndByMyself(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)channelID_size; (void)account_size;
}

static void ignore_onInviteMsg(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, const char* msgType, size_t msgType_size, const char* msgData, size_t msgData_size, const char* extra, size_t extra_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)msgType; (void)msgData; (void)extra; (void)channelID_size; (void)account_size; (void)msgType_size; (void)msgData_size; (void)extra_size;
}

static void ignore_onMessageSendError(ICallBackC* self, const char* messageID, size_t messageID_size, int ecode) {
    (void)self; (void)messageID; (void)ecode; (void)messageID_size;
}

static void ignore_onMessageSendProgress(ICallBackC* self, const char* account, size_t account_size, const char* messageID, size_t messageID_size, const char* type, size_t type_size, const char* info, size_t info_size) {
    (void)self; (void)account; (void)messageID; (void)type; (void)info; (void)account_size; (void)messageID_size; (void)type_size; (void)info_size;
}

static void ignore_onMessageSendSuccess(ICallBackC* self, const char* messageID, size_t messageID_size) {
    (void)self; (void)messageID; (void)messageID_size;
}

static void ignore_onMessageAppReceived(ICallBackC* self, const char* msg, size_t msg_size) {
    (void)self; (void)msg; (void)msg_size;
}

static void ignore_onMessageInstantReceive(ICallBackC* self, const char* account, size_t account_size, uint32_t uid, const char* msg, size_t msg_size) {
    (void)self; (void)account; (void)uid; (void)msg; (void)account_size; (void)msg_size;
}

static void ignore_onMessageChannelReceive(ICallBackC* self, const char* channelID, size_t channelID_size, const char* account, size_t account_size, uint32_t uid, const char* msg, size_t msg_size) {
    (void)self; (void)channelID; (void)account; (void)uid; (void)msg; (void)channelID_size; (void)account_size; (void)msg_size;
}

static void ignore_onInvokeRet(ICallBackC* self, const char* callID, size_t callID_size, const char* err, size_t err_size, const char* resp, size_t resp_size) {
    (void)self; (void)callID; (void)err; (void)resp; (void)callID_size; (void)err_size; (void)resp_size;
}

static void ignore_onMsg(ICallBackC* self, const char* from, size_t from_size, const char* t, size_t t_size, const char* msg, size_t msg_size) {
    (void)self; (void)from; (void)t; (void)msg; (void)from_size; (void)t_size; (void)msg_size;
}

static void ignore_onUserAttrResult(ICallBackC* self, const char* account, size_t account_size, const char* name, size_t name_size, const char* value, size_t value_size) {
    (void)self; (void)account; (void)name; (void)value; (void)account_size; (void)name_size; (void)value_size;
}

static void ignore_onUserAttrAllResult(ICallBackC* self, const char* account, size_t account_size, const char* value, size_t value_size) {
    (void)self; (void)account; (void)value; (void)account_size; (void)value_size;
}

static void ignore_onQueryUserStatusResult(ICallBackC* self, const char* name, size_t name_size, const char* status, size_t status_size) {
    (void)self; (void)name; (void)status; (void)name_size; (void)status_size;
}

static void ignore_onDbg(ICallBackC* self, const char* a, size_t a_size, const char* b, size_t b_size) {
    (void)self; (void)a; (void)b; (void)a_size; (void)b_size;
}

static void ignore_onBCCall_result(ICallBackC* self, const char* reason, size_t reason_size, const char* json_ret, size_t json_ret_size, const char* callID, size_t callID_size) {
    (void)self; (void)reason; (void)json_ret; (void)callID; (void)reason_size; (void)json_ret_size; (void)callID_size;
}

static void fill(struct recorder* r) {
    ICallBackC* cb = &r->cb;
    atomic_init(&r->foreign_self, 0);
    atomic_init(&r->unterminated, 0);
    atomic_init(&r->marker_lines, 0);
    atomic_init(&r->logged_in_uid, 0);
    atomic_init(&r->joined, 0);
    atomic_init(&r->logout_code, 0);
    cb->onReconnecting = ignore_onReconnecting;
    cb->onReconnected = ignore_onReconnected;
    cb->onLoginSuccess = record_onLoginSuccess;
    cb->onLogout = record_onLogout;
    cb->onLoginFailed = record_onLoginFailed;
    cb->onChannelJoined = record_onChannelJoined;
    cb->onChannelJoinFailed = record_onChannelJoinFailed;
    cb->onChannelLeaved = ignore_onChannelLeaved;
    cb->onChannelUserJoined = ignore_onChannelUserJoined;
    cb->onChannelUserLeaved = ignore_onChannelUserLeaved;
    cb->onChannelUserList = ignore_onChannelUserList;
    cb->onChannelQueryUserNumResult = ignore_onChannelQueryUserNumResult;
    cb->onChannelQueryUserIsIn = ignore_onChannelQueryUserIsIn;
    cb->onChannelAttrUpdated = ignore_onChannelAttrUpdated;
    cb->onInviteReceived = ignore_onInviteReceived;
    cb->onInviteReceivedByPeer = ignore_onInviteReceivedByPeer;
    cb->onInviteAcceptedByPeer = ignore_onInviteAcceptedByPeer;
    cb->onInviteRefusedByPeer = ignore_onInviteRefusedByPeer;
    cb->onInviteFailed = ignore_onInviteFailed;
    cb->onInviteEndByPeer = ignore_onInviteEndByPeer;
    cb->onInviteEndByMyself = ignore_onInviteEndByMyself;
    cb->onInviteMsg = ignore_onInviteMsg;
    cb->onMessageSendError = ignore_onMessageSendError;
    cb->onMessageSendProgress = ignore_onMessageSendProgress;
    cb->onMessageSendSuccess = ignore_onMessageSendSuccess;
    cb->onMessageAppReceived = ignore_onMessageAppReceived;
    cb->onMessageInstantReceive = ignore_onMessageInstantReceive;
    cb->onMessageChannelReceive = ignore_onMessageChannelReceive;
    cb->onLog = record_onLog;
    cb->onInvokeRet = ignore_onInvokeRet;
    cb->onMsg = ignore_onMsg;
    cb->onUserAttrResult = ignore_onUserAttrResult;
    cb->onUserAttrAllResult = ignore_onUserAttrAllResult;
    cb->onError = record_onError;
    cb->onQueryUserStatusResult = ignore_onQueryUserStatusResult;
    cb->onDbg = ignore_onDbg;
    cb->onBCCall_result = ignore_onBCCall_result;}

static int failed(const char* what) {
    fprintf(stderr, "c_client: %s\n", what);
    return 1;
}

/* Waits up to five seconds for *counter to reach at least n. */
static int reaches(atomic_int* counter, int n) {
    struct timespec tick = {0, 1000000};
    int i;
    for (i = 0; i < 5000; ++i) {
        if (atomic_load(counter) >= n) return 1;
        nanosleep(&tick, NULL);
    }
    return 0;
}

int main(int argc, char** argv) {
    static const char* const entry_points[] = {"createNuvraSDKInstanceCPP", "getNuvraSDKInstanceCPP",
                                               "createNuvraSDKInstanceC", "getNuvraSDKInstanceC"};
    void* lib;
    void* symbol;
    get_table_fn get_table;
    get_table_fn create_table;
    INuvraAPIC* table;
    INuvraAPIC* created;
    size_t i;

    if (argc < 2) return failed("usage: c_client <library>");
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return failed(dlerror());
    for (i = 0; i < sizeof entry_points / sizeof entry_points[0]; ++i)
        if (!dlvsym(lib, entry_points[i], "test")) return failed(entry_points[i]);
    if (dlsym(lib, "nuvra_sig_login") || dlsym(lib, "create_INuvraAPI")) return failed("an internal function is exported");

    /* ISO C has no conversion from an object pointer to a function pointer. */
    symbol = dlvsym(lib, "getNuvraSDKInstanceC", "test");
    memcpy(&get_table, &symbol, sizeof get_table);
    symbol = dlvsym(lib, "createNuvraSDKInstanceC", "test");
    memcpy(&create_table, &symbol, sizeof create_table);

    table = get_table();
    if (!table || get_table() != table) return failed("the process-wide table differs between calls");
    if (table->getSdkVersion(table) != 1010303001) return failed("getSdkVersion");
    if (table->isOnline(table) || table->getStatus(table) != 0) return failed("online before any login");
    if (table->callbackGet(table) != NULL) return failed("a structure before callbackSet");

    fill(&app);
    table->callbackSet(table, &app.cb);
    if (table->callbackGet(table) != &app.cb) return failed("callbackGet after callbackSet");
    table->dbg(table, "c_client_marker", 15, "1", 1);
    if (!reaches(&app.marker_lines, 1)) return failed("no log line reached onLog");

    created = create_table();
    if (!created || created == table) return failed("createNuvraSDKInstanceC");
    if (created->getSdkVersion(created) != 1010303001) return failed("getSdkVersion of a created instance");

    table->release(table);
    if (argc == 4) {
        created->callbackSet(created, &app.cb);
        created->dbg(created, "lbss", 4, argv[2], strlen(argv[2]));
        created->dbg(created, "_dbg_ap", 7, argv[3], strlen(argv[3]));
        created->login(created, "vid", 3, "c_user", 6, "token", 5, 7, "device", 6);
        if (!reaches(&app.logged_in_uid, 7) || atomic_load(&app.logged_in_uid) != 7) return failed("no onLoginSuccess");
        if (!created->isOnline(created)) return failed("not online after onLoginSuccess");
        created->channelJoin(created, "room", 4);
        if (!reaches(&app.joined, 1)) return failed("no onChannelJoined");
        created->logout(created);
        if (!reaches(&app.logout_code, 101) || atomic_load(&app.logout_code) != 101) return failed("no onLogout 101");
    }
    created->release(created);
    if (atomic_load(&app.foreign_self) != 0) return failed("a callback got another structure");
    if (atomic_load(&app.unterminated) != 0) return failed("a text without its terminating NUL");
    puts("c_client ok");
    return 0;
}
