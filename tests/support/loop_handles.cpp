#include "support/loop_handles.h"

#include <uv.h>

#include <chrono>
#include <map>
#include <thread>

#include "loop.h"
#include "shared_tick.h"
#include "support/loop_thread.h"

namespace nuvra_test {

namespace {

void add_handle(uv_handle_t* h, void* arg) {
    if (!uv_has_ref(h)) return;
    LoopHandle handle;
    handle.id = h;
    handle.kind = uv_handle_type_name(uv_handle_get_type(h));
    if (h->type == UV_TIMER) {
        // Every timer here is the runtime's, with its firings left beside it.
        auto* t = reinterpret_cast<mynet::Timer::timer_t*>(h);
        handle.one_shot = uv_is_active(h) && t->timer && t->timer->m_repeat == 1;
        handle.due_in_ms = uv_timer_get_due_in(&t->handle);
    }
    static_cast<std::vector<LoopHandle>*>(arg)->push_back(handle);
}

}  // namespace

std::vector<LoopHandle> live_loop_handles() {
    std::vector<LoopHandle> handles;
    run_on_loop([&] {
        uv_walk(uv_default_loop(), add_handle, &handles);
        // A member of a shared tick is a timer of its own as far as leaks go.
        mynet::SharedTick::for_each_member([&](const void* id, int period_ms) {
            LoopHandle handle;
            handle.id = id;
            handle.kind = "tick " + std::to_string(period_ms) + " ms";
            handles.push_back(handle);
        });
    });
    return handles;
}

std::set<const void*> live_handle_ids() {
    std::set<const void*> ids;
    for (const LoopHandle& h : live_loop_handles()) ids.insert(h.id);
    return ids;
}

std::vector<LoopHandle> timers_left_since(const std::set<const void*>& before, int wait_ms) {
    auto left = [&] {
        std::vector<LoopHandle> timers;
        for (const LoopHandle& h : live_loop_handles())
            if (h.kind == "timer" && !before.count(h.id)) timers.push_back(h);
        return timers;
    };
    std::vector<LoopHandle> timers = left();
    for (int waited = 0; waited < wait_ms && !timers.empty(); waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        timers = left();
    }
    return timers;
}

std::string describe(const std::vector<LoopHandle>& handles) {
    std::map<std::string, int> kinds;
    for (const LoopHandle& h : handles) {
        std::string label = h.kind;
        if (h.one_shot) label += " due in " + std::to_string(h.due_in_ms / 1000) + " s";
        kinds[label] += 1;
    }
    std::string out;
    for (const auto& [label, n] : kinds) out += (out.empty() ? "" : ", ") + label + " x" + std::to_string(n);
    return out;
}

}  // namespace nuvra_test
