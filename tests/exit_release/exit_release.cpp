// Calls exit() from inside a handler of a C table while another thread's
// release of that table is due, and joins that thread at exit:
//
//   exit_release in-line|in-event
//
// "in-line" calls exit() inside the onLog of a line the main thread writes,
// "in-event" inside an event handler on the network thread. The releasing
// thread is joined by the destructor of a static object made before the
// first instance, so it runs once the library knows the process is leaving.
// Ends with 0 when the process left; a release that waited for the handler
// that called exit would hold the join, and the process, for ever.

#include <nuvra_sig.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_exiting{false};
bool g_in_line = false;
INuvraAPIC* g_table = nullptr;
std::thread g_releaser;

struct JoinAtExit {
    ~JoinAtExit() {
        if (g_releaser.joinable()) g_releaser.join();
    }
} g_join_at_exit;

void leave() {
    g_exiting = true;
    // Time for the releaser to start waiting for this handler.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    exit(0);
}

ICallBackC handlers() {
    ICallBackC cb;
    auto none = [](auto...) {};
    cb.onReconnecting = none;
    cb.onReconnected = none;
    cb.onLoginSuccess = none;
    cb.onLogout = none;
    cb.onLoginFailed = none;
    cb.onChannelJoined = none;
    cb.onChannelJoinFailed = none;
    cb.onChannelLeaved = none;
    cb.onChannelUserJoined = none;
    cb.onChannelUserLeaved = none;
    cb.onChannelUserList = none;
    cb.onChannelQueryUserNumResult = none;
    cb.onChannelQueryUserIsIn = none;
    cb.onChannelAttrUpdated = none;
    cb.onInviteReceived = none;
    cb.onInviteReceivedByPeer = none;
    cb.onInviteAcceptedByPeer = none;
    cb.onInviteRefusedByPeer = none;
    cb.onInviteFailed = none;
    cb.onInviteEndByPeer = none;
    cb.onInviteEndByMyself = none;
    cb.onInviteMsg = none;
    cb.onMessageSendError = none;
    cb.onMessageSendProgress = none;
    cb.onMessageSendSuccess = none;
    cb.onMessageAppReceived = none;
    cb.onMessageInstantReceive = none;
    cb.onMessageChannelReceive = none;
    cb.onLog = [](ICallBackC*, const char* txt, size_t n) {
        if (g_in_line && std::string(txt, n).find(" : todo ") != std::string::npos) leave();
    };
    cb.onInvokeRet = none;
    cb.onMsg = none;
    cb.onUserAttrResult = none;
    cb.onUserAttrAllResult = none;
    cb.onError = [](ICallBackC*, const char*, size_t, int, const char*, size_t) {
        if (!g_in_line) leave();
    };
    cb.onQueryUserStatusResult = none;
    cb.onDbg = none;
    cb.onBCCall_result = none;
    return cb;
}

ICallBackC g_handlers = handlers();

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    g_in_line = std::strcmp(argv[1], "in-line") == 0;
    g_table = getNuvraSDKInstanceC();
    g_table->callbackSet(g_table, &g_handlers);
    g_releaser = std::thread([] {
        // Waiting in release for the handler when exit begins.
        while (!g_exiting.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_table->release(g_table);
    });
    if (g_in_line) {
        // stop writes its line through onLog on this thread.
        g_table->stop(g_table);
    } else {
        // Refused before any login: onError on the network thread.
        g_table->channelJoin(g_table, "c", 1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(30));
    return 3;
}
