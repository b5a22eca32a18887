#pragma once

#include <functional>

#include "loop.h"

// Where application code runs, and what it may therefore wait for.
//
// Events run on the network thread; log lines reach onLog on whichever thread
// wrote them. A caller may block on the network thread only from outside both,
// and an object that a log line may still be running in may be freed only
// once that delivery has ended.
namespace nuvra_sdk {

// Records the calling thread as the network thread.
void mark_network_thread();
bool on_network_thread();

// Marks one log line being handed to an application's object, from before the
// object is read until its onLog has returned. Nests.
class LogDelivery {
public:
    LogDelivery();
    ~LogDelivery();
    LogDelivery(const LogDelivery&) = delete;
    LogDelivery& operator=(const LogDelivery&) = delete;

private:
    int m_epoch;
};

// The calling thread is inside a log delivery.
bool in_log_delivery();

// Returns once every log delivery that began before the call has ended, so an
// object replaced before the call is no longer in use. Deliveries that begin
// meanwhile are not waited for. Must not be called inside a delivery.
void wait_log_deliveries();

// On the network thread: runs f there once every log delivery that began
// before the call has ended, without blocking the thread meanwhile.
void after_log_deliveries(std::function<void()> f);

// The caller may block until the network thread has served it; not once the
// process is exiting, when that thread serves nothing more.
inline bool may_wait_for_network() {
    return !on_network_thread() && !in_log_delivery() && !mynet::loop_stopped_for_exit();
}

}  // namespace nuvra_sdk
