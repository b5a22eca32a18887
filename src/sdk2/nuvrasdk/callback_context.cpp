#include "callback_context.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "loop.h"

namespace nuvra_sdk {

namespace {

std::atomic<std::thread::id> g_network_thread{};

// The gates the calling thread is inside, the innermost last.
thread_local std::vector<const CallGate*> t_calls;

}  // namespace

void mark_network_thread() { g_network_thread.store(std::this_thread::get_id()); }

bool on_network_thread() { return g_network_thread.load() == std::this_thread::get_id(); }

CallGate::Call::Call(CallGate& gate) : m_gate(gate) {
    {
        std::lock_guard<std::mutex> lock(gate.m_mtx);
        m_generation = gate.m_oldest + gate.m_calls.size() - 1;
        ++gate.m_calls.back();
    }
    t_calls.push_back(&gate);
}

CallGate::Call::~Call() {
    t_calls.pop_back();
    std::lock_guard<std::mutex> lock(m_gate.m_mtx);
    // A generation with a call running is never dropped, so this one is still there.
    --m_gate.m_calls[m_generation - m_gate.m_oldest];
    m_gate.drop_empty();
}

void CallGate::drop_empty() {
    bool dropped = false;
    while (m_calls.size() > 1 && m_calls.front() == 0) {
        m_calls.pop_front();
        ++m_oldest;
        dropped = true;
    }
    if (dropped) m_emptied.notify_all();
}

uint64_t CallGate::close() {
    std::lock_guard<std::mutex> lock(m_mtx);
    uint64_t closed = m_oldest + m_calls.size() - 1;
    m_calls.push_back(0);
    drop_empty();
    return closed;
}

bool CallGate::ended(uint64_t generation) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_oldest > generation;
}

void CallGate::wait() {
    uint64_t closed = close();
    std::unique_lock<std::mutex> lock(m_mtx);
    // Exit wakes no gate, so the wait looks at it now and then.
    while (!m_emptied.wait_for(lock, std::chrono::milliseconds(10), [&] { return m_oldest > closed; }))
        if (mynet::loop_stopped_for_exit()) return;
}

void CallGate::run_when_ended(uint64_t generation, std::function<void()> f) {
    if (ended(generation)) {
        f();
        return;
    }
    mynet::do_later(1, [this, generation, f = std::move(f)]() mutable { run_when_ended(generation, std::move(f)); });
}

void CallGate::after(std::function<void()> f) { run_when_ended(close(), std::move(f)); }

CallGate& log_lines() {
    // Never destroyed: lines are written until the process is gone.
    static CallGate* gate = new CallGate();
    return *gate;
}

bool CallGate::in_call() const { return std::find(t_calls.begin(), t_calls.end(), this) != t_calls.end(); }

bool in_call() { return !t_calls.empty(); }

}  // namespace nuvra_sdk
