#include "binding_support.h"

#include "callback_context.h"
#include "nuvra_api.h"

namespace nuvra_sdk_cpp {

namespace {

// Makes the change and frees the old adapter once nothing can reach it: here,
// or, where the caller cannot wait, later on the network thread.
void change_callback(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, nuvra_sdk::ICallBack* only_replacing,
                     std::function<void()> free_old) {
    auto* instance = static_cast<nuvra_sdk::NuvraAPI*>(api);
    if (!nuvra_sdk::may_wait_for_network()) {
        instance->post_install(next, only_replacing, [free_old = std::move(free_old)]() mutable {
            nuvra_sdk::after_log_deliveries(std::move(free_old));
        });
        return;
    }
    instance->install(next, only_replacing);
    free_old();
}

}  // namespace

void install_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, std::function<void()> free_previous) {
    change_callback(api, next, nullptr, std::move(free_previous));
}

void uninstall_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* adapter, std::function<void()> free_adapter) {
    change_callback(api, nullptr, adapter, std::move(free_adapter));
}

}  // namespace nuvra_sdk_cpp
