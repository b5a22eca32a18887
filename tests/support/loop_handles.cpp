#include "support/loop_handles.h"

#include <uv.h>

#include <chrono>
#include <map>
#include <thread>

#include "support/loop_thread.h"

namespace nuvra_test {

LoopHandles live_loop_handles() {
    std::map<std::string, int> kinds;
    run_on_loop([&] {
        uv_walk(
            uv_default_loop(),
            [](uv_handle_t* h, void* arg) {
                if (!uv_has_ref(h)) return;
                (*static_cast<std::map<std::string, int>*>(arg))[uv_handle_type_name(uv_handle_get_type(h))] += 1;
            },
            &kinds);
    });
    LoopHandles out;
    for (const auto& [kind, n] : kinds) {
        out.count += n;
        out.kinds += (out.kinds.empty() ? "" : ", ") + kind + " x" + std::to_string(n);
    }
    return out;
}

LoopHandles wait_loop_handles_at_most(int limit, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        LoopHandles now = live_loop_handles();
        if (now.count <= limit || std::chrono::steady_clock::now() >= deadline) return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace nuvra_test
