#pragma once

#include <uv.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace mynet {

extern std::atomic<bool> g_loop_is_started;

// Creates the default loop; safe to call from any thread, any number of times.
void init();
// Runs the default loop on the calling thread for ever; returns at once when
// the loop is already started. At process exit the thread stops for good
// between two callbacks before anything is torn down (see loop.cpp).
void start();
// True once the process has begun to exit: from then on the network thread
// runs nothing, so nobody may wait for it.
bool loop_stopped_for_exit();
// Network thread, between two callbacks: once the process has begun to exit,
// stops here for good (the exit handler waits for that); otherwise one
// atomic load.
void stand_still_if_exiting();

// Two clocks. The wall clock (get_time_in_ms) is for what is written or
// sent: log stamps, telemetry times, generated ids. Every time-out, period
// and age is measured on the monotonic clock (mono_time_ms), so a step of the
// system clock in either direction changes none of them; libuv's timers run
// on a monotonic clock of their own. Both carry a test offset:
// test_clock_advance moves both forward together (fast tests of long
// time-outs), test_wall_clock_step moves only the wall clock, either way.
uint64_t get_time_in_ms();
uint32_t get_time_in_s();
uint32_t getTickCount();
uint64_t mono_time_ms();
// Milliseconds from `since` to `now`, both from mono_time_ms(); 0 if `since`
// lies ahead.
uint64_t elapsed_ms(uint64_t since, uint64_t now);
// The clock as the "%llu" that starts every log line.
inline unsigned long long log_time() { return static_cast<unsigned long long>(get_time_in_ms()); }

// Test seams. test_clock_advance moves both clocks forward by ms; the
// monotonic clock never goes back, so ms <= 0 moves nothing (a system clock
// stepped back is test_wall_clock_step). test_clock_hold(true) stops the
// monotonic clock from following real time, so a test can look at one
// instant for as long as it needs; test_clock_advance still moves it, and
// test_clock_hold(false) lets it run on from where it stands.
void test_clock_advance(int64_t ms);
void test_wall_clock_step(int64_t ms);
void test_clock_hold(bool held);

using OnDoLater = std::function<void()>;

// Calls f once on the network thread after time_in_ms (negative counts as 0),
// never inside the caller.
void do_later(int time_in_ms, OnDoLater f);

// A queue of functions filled from any thread and run in order on the
// network thread; stop() holds the queued work back until start().
class Async {
public:
    using OnRun = std::function<void()>;
    struct AsyncData {
        uv_async_t req;
        void* data;
    };

    Async();
    Async(const Async&) = delete;
    Async& operator=(const Async&) = delete;

    void run(const OnRun& f);
    // Takes f over instead of copying it and everything it captured.
    void run(OnRun&& f);
    void run();
    void stop();
    void start();

    bool isStoped = false;
    AsyncData* async = nullptr;
    std::mutex async_queue_mtx;
    std::list<OnRun> async_queue;
    // Set on the network thread once the handle is registered with the loop;
    // until then run() only queues, and registration wakes the drain.
    bool registered = false;
};

class Timer : public std::enable_shared_from_this<Timer> {
public:
    using OnTimeout = std::function<void(Timer*)>;
    struct timer_t {
        uv_timer_t handle;
        std::shared_ptr<Timer> timer;
    };

    Timer();
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Fires f `repeat` times (0 or less: until close) every time_in_ms; a
    // time_in_ms of 0 (or less) fires once.
    void start(int time_in_ms, int repeat, OnTimeout f);
    void stop();
    // Idempotent; the record and the self-reference go in the close callback.
    void close();
    static void call_later(int time_in_ms, std::function<void()> f);

    timer_t* t = nullptr;
    int m_interval_ms = 0;
    int m_repeat = 0;
    OnTimeout m_f;
    bool m_closed = false;
};

}  // namespace mynet
