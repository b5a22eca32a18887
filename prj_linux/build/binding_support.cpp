#include "binding_support.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "callback_context.h"
#include "nuvra_api.h"

namespace nuvra_sdk_cpp {

namespace {

// Posts the change and either waits for it and for the log lines that may
// still run in the old object, or, where waiting is impossible, leaves both
// waits to the network thread.
void change_callback(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, nuvra_sdk::ICallBack* only_replacing,
                     std::function<void()> free_old) {
    auto* instance = static_cast<nuvra_sdk::NuvraAPI*>(api);
    if (!nuvra_sdk::may_wait_for_network()) {
        instance->post_install(next, only_replacing, [free_old = std::move(free_old)]() mutable {
            nuvra_sdk::after_log_deliveries(std::move(free_old));
        });
        return;
    }
    auto installed = std::make_shared<std::atomic<bool>>(false);
    instance->post_install(next, only_replacing, [installed] { installed->store(true); });
    while (!installed->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    nuvra_sdk::wait_log_deliveries();
    free_old();
}

}  // namespace

void install_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, std::function<void()> free_previous) {
    change_callback(api, next, nullptr, std::move(free_previous));
}

void uninstall_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* adapter,
                       std::function<void()> free_adapter) {
    change_callback(api, nullptr, adapter, std::move(free_adapter));
}

}  // namespace nuvra_sdk_cpp
