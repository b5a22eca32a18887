#pragma once

#include <functional>
#include <memory>

namespace mynet {

struct TickGroup;
struct TickEntry;

// A periodic callback on a tick shared by every member of the same period:
// one libuv timer per period for the whole process instead of one per
// object, so hundreds of idle instances cost the loop a handful of timers.
//
// Each firing of a period's timer walks its members in the order they
// joined and calls each once. A member that leaves during a walk is not
// called after it has left; one that joins during a walk is first called at
// the next firing. A member joining between firings is first called at the
// next firing of its period, at most one period later.
//
// The timer is unreferenced (the loop's keep-alive holds the loop) and runs
// only while the period has members. Network thread only.
class SharedTick {
public:
    using OnTick = std::function<void()>;

    SharedTick() = default;
    // Leaves the tick.
    ~SharedTick();
    SharedTick(const SharedTick&) = delete;
    SharedTick& operator=(const SharedTick&) = delete;

    // Joins the tick of period_ms (at least 1) with f, leaving any tick
    // joined before.
    void start(int period_ms, OnTick f);
    // f is never called again; harmless twice. What f captured is released
    // now, or at the end of the walk when called from inside one.
    void close();
    bool active() const { return m_entry != nullptr; }

    // Every live member of every period, for leak checks in tests.
    static void for_each_member(const std::function<void(const void* id, int period_ms)>& visit);

private:
    TickGroup* m_group = nullptr;
    TickEntry* m_entry = nullptr;
};

}  // namespace mynet
