#include "callback_context.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "loop.h"

namespace nuvra_sdk {

namespace {

std::atomic<std::thread::id> g_network_thread{};

thread_local int t_log_depth = 0;

// Two generations of readers: a waiter moves new deliveries to the other
// counter and waits only for the old one to drain, so a steady stream of log
// lines cannot hold it up.
std::atomic<unsigned> g_epoch{0};
std::atomic<int> g_readers[2];
std::mutex g_waiters;

}  // namespace

void mark_network_thread() { g_network_thread.store(std::this_thread::get_id()); }

bool on_network_thread() { return g_network_thread.load() == std::this_thread::get_id(); }

LogDelivery::LogDelivery() {
    for (;;) {
        unsigned epoch = g_epoch.load();
        g_readers[epoch & 1].fetch_add(1);
        // Registered under a generation a waiter has already moved past: it
        // may have found the counter empty, so register again under the new one.
        if (g_epoch.load() == epoch) {
            m_epoch = static_cast<int>(epoch & 1);
            break;
        }
        g_readers[epoch & 1].fetch_sub(1);
    }
    ++t_log_depth;
}

LogDelivery::~LogDelivery() {
    --t_log_depth;
    g_readers[m_epoch].fetch_sub(1);
}

bool in_log_delivery() { return t_log_depth > 0; }

void wait_log_deliveries() {
    std::lock_guard<std::mutex> lock(g_waiters);
    unsigned old_epoch = g_epoch.fetch_add(1);
    while (g_readers[old_epoch & 1].load() != 0) std::this_thread::yield();
}

namespace {

// A waiter that moves the generation while another still waits can only add
// readers to the counter being watched: the wait grows, it never ends early.
void run_when_drained(unsigned old_epoch, std::function<void()> f) {
    if (g_readers[old_epoch & 1].load() == 0) {
        f();
        return;
    }
    mynet::do_later(1, [old_epoch, f = std::move(f)]() mutable { run_when_drained(old_epoch, std::move(f)); });
}

}  // namespace

void after_log_deliveries(std::function<void()> f) { run_when_drained(g_epoch.fetch_add(1), std::move(f)); }

}  // namespace nuvra_sdk
