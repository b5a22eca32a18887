#include "shared_tick.h"

#include <uv.h>

#include <map>
#include <utility>
#include <vector>

namespace mynet {

struct TickEntry {
    SharedTick::OnTick f;
    bool live = true;
};

// One period's timer and its members in the order they joined. Entries that
// left stay in place (not called) until the walk under way has ended, so a
// walk never sees the vector shrink and never destroys a running function.
struct TickGroup {
    uv_timer_t handle;
    int period_ms = 0;
    std::vector<std::unique_ptr<TickEntry>> entries;
    size_t live = 0;
    bool walking = false;
    bool has_dead = false;
};

namespace {

// The groups belong to the loop for the process' life, like its other
// process-wide handles.
std::map<int, TickGroup*>& groups() {
    static auto* all = new std::map<int, TickGroup*>();
    return *all;
}

// Drops the entries that left. Their functions are destroyed last, after the
// group is consistent again: what they captured may leave other ticks.
void sweep(TickGroup& g) {
    if (!g.has_dead) return;
    std::vector<std::unique_ptr<TickEntry>> dead;
    size_t kept = 0;
    for (size_t i = 0; i < g.entries.size(); ++i) {
        if (!g.entries[i]->live) {
            dead.push_back(std::move(g.entries[i]));
        } else if (kept++ != i) {
            g.entries[kept - 1] = std::move(g.entries[i]);
        }
    }
    g.entries.resize(kept);
    g.has_dead = false;
    if (g.live == 0) uv_timer_stop(&g.handle);
}

void walk(uv_timer_t* handle) {
    TickGroup& g = *static_cast<TickGroup*>(handle->data);
    g.walking = true;
    // Members that join during the walk wait for the next firing.
    const size_t n = g.entries.size();
    for (size_t i = 0; i < n; ++i) {
        TickEntry* e = g.entries[i].get();
        if (e->live) e->f();
    }
    g.walking = false;
    sweep(g);
}

TickGroup& group_of(int period_ms) {
    TickGroup*& g = groups()[period_ms];
    if (!g) {
        g = new TickGroup();
        g->period_ms = period_ms;
        uv_timer_init(uv_default_loop(), &g->handle);
        g->handle.data = g;
        uv_unref(reinterpret_cast<uv_handle_t*>(&g->handle));
    }
    return *g;
}

void leave(TickGroup& g) {
    --g.live;
    g.has_dead = true;
    if (!g.walking) sweep(g);
}

}  // namespace

SharedTick::~SharedTick() { close(); }

void SharedTick::start(int period_ms, OnTick f) {
    close();
    if (period_ms < 1) period_ms = 1;
    TickGroup& g = group_of(period_ms);
    auto entry = std::make_unique<TickEntry>();
    entry->f = std::move(f);
    m_entry = entry.get();
    m_group = &g;
    g.entries.push_back(std::move(entry));
    if (g.live++ == 0 && !uv_is_active(reinterpret_cast<uv_handle_t*>(&g.handle))) {
        // The loop's clock is cached per iteration; count from the real now.
        uv_update_time(uv_default_loop());
        const auto period = static_cast<uint64_t>(period_ms);
        uv_timer_start(&g.handle, walk, period, period);
    }
}

void SharedTick::close() {
    if (!m_entry) return;
    m_entry->live = false;
    TickGroup* g = m_group;
    m_entry = nullptr;
    m_group = nullptr;
    leave(*g);
}

void SharedTick::for_each_member(const std::function<void(const void* id, int period_ms)>& visit) {
    for (const auto& [period, g] : groups()) {
        for (const auto& e : g->entries)
            if (e->live) visit(e.get(), period);
    }
}

}  // namespace mynet
