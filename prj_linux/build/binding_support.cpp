#include "binding_support.h"

#include "callback_context.h"
#include "nuvra_api.h"

namespace nuvra_sdk_cpp {

namespace {

nuvra_sdk::NuvraAPI* core_of(nuvra_sdk::INuvraAPI* api) { return static_cast<nuvra_sdk::NuvraAPI*>(api); }

// Posts the change and frees the old adapter on the network thread once it has
// run and no log line can still be inside the old adapter.
void post_change(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, nuvra_sdk::ICallBack* only_replacing,
                 std::function<void()> free_old) {
    if (!free_old) {
        core_of(api)->post_install(next, only_replacing, nullptr);
        return;
    }
    core_of(api)->post_install(next, only_replacing, [free_old = std::move(free_old)]() mutable {
        nuvra_sdk::log_lines().after(std::move(free_old));
    });
}

}  // namespace

void install_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* next, std::function<void()> free_previous) {
    if (!nuvra_sdk::may_wait_for_network()) {
        post_change(api, next, nullptr, std::move(free_previous));
        return;
    }
    core_of(api)->install(next, nullptr);
    if (free_previous) free_previous();
}

void uninstall_adapter(nuvra_sdk::INuvraAPI* api, nuvra_sdk::ICallBack* adapter, std::function<void()> free_adapter) {
    post_change(api, nullptr, adapter, std::move(free_adapter));
}

}  // namespace nuvra_sdk_cpp
