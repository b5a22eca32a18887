#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "loop.h"

// Where application code runs, and what it may therefore wait for.
//
// Events run on the network thread; log lines reach onLog on whichever thread
// wrote them. A caller may block on the network thread only from outside both,
// and an object that a call may still be running in may be freed only once
// that call has ended.
namespace nuvra_sdk {

// Records the calling thread as the network thread.
void mark_network_thread();
bool on_network_thread();

// Calls into something that a waiter must outlast, such as an object being
// replaced. A waiter outlasts every call that began before it and none that
// began later, so a steady stream of calls cannot hold it up.
//
// Calls are counted by generation: a call counts in the generation current
// when it began; a wait closes the current generation and ends once that
// generation and every older one are empty. Counts change only under one
// mutex and a closed generation never gains a call, so an emptied generation
// stays empty: a wait cannot end while a call that began before it still runs,
// however many other waits close generations meanwhile.
class CallGate {
public:
    // One call through the gate, from its start until it returns. Nests.
    class Call {
    public:
        explicit Call(CallGate& gate);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        CallGate& m_gate;
        uint64_t m_generation;
    };

    // Returns once every call that began before has ended, or once the
    // process has begun to exit: a call that called exit never ends. Never
    // from inside a call through this gate (see in_call): it would wait for
    // itself.
    void wait();
    // On the network thread: runs f there once every call that began before
    // has ended, without blocking the thread meanwhile.
    void after(std::function<void()> f);
    // The calling thread is inside a call through this gate.
    bool in_call() const;

private:
    // Closes the current generation; returns its number.
    uint64_t close();
    // The generation and every older one are empty.
    bool ended(uint64_t generation);
    // Under m_mtx: forgets empty generations from the oldest on.
    void drop_empty();
    void run_when_ended(uint64_t generation, std::function<void()> f);

    std::mutex m_mtx;
    std::condition_variable m_emptied;
    // Calls running per open or closed generation, the oldest first; the
    // last is the current one.
    std::deque<int> m_calls = std::deque<int>(1, 0);
    // Number of the generation m_calls starts with.
    uint64_t m_oldest = 0;
};

// Every log line handed to an application's object, from before the object is
// read until its onLog has returned: what a replaced object must outlast.
CallGate& log_lines();

// The calling thread is inside a call through any gate.
bool in_call();

// The caller may block until the network thread has served it; not once the
// process is exiting, when that thread serves nothing more.
inline bool may_wait_for_network() {
    return !on_network_thread() && !in_call() && !mynet::loop_stopped_for_exit();
}

// The caller may block until the calls through gate have ended: never on the
// network thread, which must go on delivering, nor inside one of those calls.
inline bool may_wait_for(const CallGate& gate) { return !on_network_thread() && !gate.in_call(); }

}  // namespace nuvra_sdk
