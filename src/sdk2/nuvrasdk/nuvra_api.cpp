#include "nuvra_api.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "callback_context.h"
#include "if_linkd.h"
#include "log.h"
#include "net_util.h"
#include "sdk_version.h"

namespace nuvra_sdk {

namespace {

std::atomic<bool> nolog{false};
bool threadCreated = false;
std::mutex mtx;
std::mutex mtx_thread;
std::atomic<NuvraAPI*> api{nullptr};
bool created = false;
constexpr int pool_max = 500;
int pool_size = 0;
NuvraAPI* pool[pool_max];

// In place before any line can be written, so "nolog" holds from the first.
const bool sink_installed = (SetLogSink2(nuvra_cb_log), SetLogDebugSeen2(nuvra_log_seen), true);

}  // namespace

NuvraAPI::NuvraAPI() : async(new mynet::Async()), dummy_callback(new ICallBack()) {
    post([this] { build_engine(); });
}

void NuvraAPI::build_engine() {
    if (m_intf) return;
    mark_network_thread();
    m_intf = new InterfaceLinkD(dummy_callback, async);
    m_intf->m_callback = dummy_callback;
    inited.store(true);
}

void NuvraAPI::wait_ready() {
    if (inited.load()) return;
    if (on_network_thread()) {
        build_engine();
        return;
    }
    while (!inited.load()) std::this_thread::yield();
}

void NuvraAPI::post(std::function<void()> step) { async->run(std::move(step)); }

void NuvraAPI::post_install(ICallBack* next, ICallBack* only_replacing, std::function<void()> after) {
    ICallBack* object = next ? next : dummy_callback;
    post([this, object, only_replacing, after = std::move(after)] {
        if (!only_replacing || m_user_callback.load() == only_replacing) {
            m_user_callback.store(object);
            m_intf->m_callback = object;
        }
        if (after) after();
    });
}

void NuvraAPI::install(ICallBack* next, ICallBack* only_replacing) {
    auto installed = std::make_shared<std::promise<void>>();
    std::future<void> done = installed->get_future();
    post_install(next, only_replacing, [installed] { installed->set_value(); });
    // Exit may begin meanwhile, and then the network thread runs nothing more.
    while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        if (mynet::loop_stopped_for_exit()) return;
    // The replaced object may be freed once this returns: a log line of
    // another thread may still be running in it. Only the process-wide
    // instance hands its object log lines.
    if (this == api.load()) log_lines().wait();
}

void NuvraAPI::callbackSet(ICallBack* handler) {
    // Inside an event the installation can only run after it returns.
    if (may_wait_for_network())
        install(handler, nullptr);
    else
        post_install(handler, nullptr, nullptr);
}

ICallBack* NuvraAPI::callbackGet() { return m_user_callback.load(); }

void NuvraAPI::start() {
    // The network thread is already running its loop; it must not park here.
    if (on_network_thread()) return;
    threadEntry(false);
}

void NuvraAPI::stop() {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : todo %s : %d \n", mynet::log_time(), mynet::source_file_name(__FILE__),
             351);
}

bool NuvraAPI::isOnline() { return m_intf->published_has_line(); }

int NuvraAPI::getStatus() { return m_intf->published_login_state(); }

int NuvraAPI::getSdkVersion() { return m_intf->getSdkVersion(); }

void NuvraAPI::dbg(std::string a, std::string b) {
    if (a == "nolog") {
        nolog.store(b == "true");
        return;
    }
    post([this, a = std::move(a), b = std::move(b)] { m_intf->user_dbg(a, b); });
}

void NuvraAPI::destroy() {
    post([this] { isDestroy.store(true); });
}

void NuvraAPI::checkThread() {
    {
        std::lock_guard<std::mutex> lock(mtx_thread);
        if (threadCreated) return;
        threadCreated = true;
    }
    mynet::init();
    // Runs for the life of the process; nothing ever joins it.
    std::thread(threadEntry, true).detach();
}

void NuvraAPI::threadEntry(bool force) {
    bool run_loop = false;
    {
        std::lock_guard<std::mutex> lock(mtx_thread);
        if (!threadCreated || force) {
            threadCreated = true;
            run_loop = true;
        }
    }
    if (run_loop) {
        mynet::start();
        return;
    }
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}

INuvraAPI* getNuvraSDKInstance() {
    NuvraAPI::checkThread();
    NuvraAPI* inst = nullptr;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!created) {
            created = true;
            PlatLog2(kLogInfo, kLogPlatform, "%llu : new NuvraAPI, version: %s", mynet::log_time(),
                     NUVRA_SDK_VERSION_TEXT);
            api.store(new NuvraAPI());
        }
        inst = api.load();
    }
    // Outside the lock: a handler on the network thread may be asking too.
    inst->wait_ready();
    return inst;
}

INuvraAPI* createNuvraSDKInstance() {
    NuvraAPI::checkThread();
    NuvraAPI* inst = nullptr;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (pool_size < pool_max) {
            inst = new NuvraAPI();
            pool[pool_size++] = inst;
        } else {
            for (int i = 0; i < pool_size; ++i) {
                if (pool[i]->isDestroy.load()) {
                    pool[i]->isDestroy.store(false);
                    inst = pool[i];
                    break;
                }
            }
        }
    }
    if (inst) inst->wait_ready();
    return inst;
}

namespace {

std::atomic<void*>& cookie_of(INuvraAPI* inst, Binding binding) {
    auto* self = static_cast<NuvraAPI*>(inst);
    return binding == Binding::Cpp ? self->cookie : self->cookie_c;
}

}  // namespace

void* getInstanceCookie(INuvraAPI* inst, Binding binding) { return cookie_of(inst, binding).load(); }

void setInstanceCookie(INuvraAPI* inst, Binding binding, void* cookie) { cookie_of(inst, binding).store(cookie); }

void forgetInstanceCookie(INuvraAPI* inst, Binding binding, void* cookie) {
    cookie_of(inst, binding).compare_exchange_strong(cookie, nullptr);
}

bool nuvra_log_seen() {
    NuvraAPI* inst = api.load();
    return (inst && inst->m_user_callback.load()) || !nolog.load();
}

bool nuvra_cb_log(const char* log) {
    CallGate::Call line(log_lines());
    NuvraAPI* inst = api.load();
    ICallBack* object = inst ? inst->m_user_callback.load() : nullptr;
    if (!object) return nolog.load();
    object->onLog(log);
    return true;
}

}  // namespace nuvra_sdk
