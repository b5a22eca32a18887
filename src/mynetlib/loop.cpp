#include "loop.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

namespace mynet {

std::atomic<bool> g_loop_is_started{false};

namespace {

std::atomic<int64_t> g_clock_offset_ms{0};
std::atomic<int64_t> g_mono_offset_ms{0};
// While held, the monotonic clock reads g_mono_held_at, which advances move
// on like the offset.
std::atomic<bool> g_mono_held{false};
std::atomic<uint64_t> g_mono_held_at{0};

uint64_t steady_ms() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Handles may be registered with a running loop only on its own thread, so
// queues built on other threads are handed to the network thread here. The
// registrar itself is created by init(), before the loop runs.
struct Registrar {
    uv_async_t handle;
    std::mutex mtx;
    std::vector<Async*> pending;
};

Registrar* g_registrar = nullptr;
std::once_flag g_init_once;

void uv_on_async_work_global(uv_async_t* handle) {
    auto* self = static_cast<Async*>(reinterpret_cast<Async::AsyncData*>(handle)->data);
    for (;;) {
        // Other threads may keep the queue full for ever: the exit cannot
        // wait for it to empty.
        stand_still_if_exiting();
        Async::OnRun f;
        {
            std::lock_guard<std::mutex> lock(self->async_queue_mtx);
            if (self->async_queue.empty() || self->isStoped) return;
            f = std::move(self->async_queue.front());
            self->async_queue.pop_front();
        }
        // An empty function would throw; it has nothing to do.
        if (f) f();
    }
}

void register_pending(uv_async_t*) {
    std::vector<Async*> todo;
    {
        std::lock_guard<std::mutex> lock(g_registrar->mtx);
        todo.swap(g_registrar->pending);
    }
    for (Async* a : todo) {
        uv_async_init(uv_default_loop(), &a->async->req, uv_on_async_work_global);
        std::lock_guard<std::mutex> lock(a->async_queue_mtx);
        a->registered = true;
        // Work posted before the registration drains now.
        uv_async_send(&a->async->req);
    }
}

void uv_on_timer_timeout(uv_timer_t* handle) {
    stand_still_if_exiting();
    Timer* self = reinterpret_cast<Timer::timer_t*>(handle)->timer.get();
    if (self->m_repeat > 0 && --self->m_repeat == 0) uv_timer_stop(handle);
    // A copy: the callback may close or restart its own timer.
    Timer::OnTimeout f = self->m_f;
    if (f) f(self);
}

void uv_on_timer_timeout_closed(uv_handle_t* handle) {
    stand_still_if_exiting();
    delete reinterpret_cast<Timer::timer_t*>(handle);
}

// Process exit. Nothing stops the network thread in the life of the process,
// but at exit it must stand still before anything it uses is torn down: the
// C++ runtime's static objects, the application's, and libuv's thread pool,
// which libuv's own library destructor takes down (a name resolution queued
// after that aborts the process). So the exit handler installed with the loop
// raises g_exiting, wakes the loop and waits until the network thread has
// parked for good between two callbacks: it does so at the next queued
// function, timer firing or other callback it comes to
// (stand_still_if_exiting), or in the gate's own wake-up when it was idle.
// The handler is installed before the network thread starts, so it runs
// before the destructors of everything made until then, and long before
// libuv's.
struct ExitGate {
    uv_async_t handle;
    std::mutex mtx;
    std::condition_variable parked_cv;
    bool parked = false;
    std::thread::id loop_thread;
    // The process the network thread runs in: a child of fork has none.
    std::atomic<pid_t> loop_pid{0};
};

// Never freed: the exit handler and the parked thread use it to the end.
ExitGate* g_exit = nullptr;
// Raised under g_exit->mtx once the process has begun to exit; read without
// it between any two callbacks of the network thread.
std::atomic<bool> g_exiting{false};

[[noreturn]] void park_for_good() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

[[noreturn]] void park_at_exit() {
    {
        std::lock_guard<std::mutex> lock(g_exit->mtx);
        g_exit->parked = true;
    }
    g_exit->parked_cv.notify_all();
    park_for_good();
}

void park_when_woken(uv_async_t*) { park_at_exit(); }

void stop_loop_at_exit() {
    const pid_t loop_pid = g_exit->loop_pid.load();
    // A child of fork: the network thread does not exist there.
    if (loop_pid != 0 && loop_pid != getpid()) return;
    std::unique_lock<std::mutex> lock(g_exit->mtx);
    g_exiting.store(true, std::memory_order_release);
    // Not started yet: start() parks before it runs the loop. exit() from an
    // event handler: this thread never returns to the loop.
    if (g_exit->loop_pid.load() == 0 || g_exit->loop_thread == std::this_thread::get_id()) return;
    uv_async_send(&g_exit->handle);
    g_exit->parked_cv.wait(lock, [] { return g_exit->parked; });
}

}  // namespace

void init() {
    std::call_once(g_init_once, [] {
        uv_loop_t* loop = uv_default_loop();
        g_registrar = new Registrar();
        uv_async_init(loop, &g_registrar->handle, register_pending);
        g_exit = new ExitGate();
        uv_async_init(loop, &g_exit->handle, park_when_woken);
        // Only the exit handler wakes it; it keeps no loop alive.
        uv_unref(reinterpret_cast<uv_handle_t*>(&g_exit->handle));
        std::atexit(stop_loop_at_exit);
    });
}

bool loop_stopped_for_exit() { return g_exiting.load(std::memory_order_acquire); }

void stand_still_if_exiting() {
    if (g_exiting.load(std::memory_order_acquire)) park_at_exit();
}

void start() {
    if (g_loop_is_started.exchange(true)) return;
    init();
    bool leaving = false;
    {
        std::lock_guard<std::mutex> lock(g_exit->mtx);
        leaving = g_exiting.load();
        if (!leaving) {
            g_exit->loop_thread = std::this_thread::get_id();
            g_exit->loop_pid.store(getpid());
        }
    }
    // The process is already leaving: the loop must not start under it.
    if (leaving) park_for_good();
    // A write on a line the peer has reset fails with EPIPE, and the kernel
    // sends SIGPIPE to the writing thread, whose default action would end
    // the application. Every write runs on this thread: keep it off here.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    auto keep_alive = std::make_shared<Timer>();
    keep_alive->start(10000, -1, [](Timer*) {});
    uv_run(uv_default_loop(), UV_RUN_DEFAULT);
}

uint64_t get_time_in_ms() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<uint64_t>(ms + g_clock_offset_ms.load(std::memory_order_relaxed));
}

uint32_t get_time_in_s() { return static_cast<uint32_t>(get_time_in_ms() / 1000); }

uint32_t getTickCount() { return static_cast<uint32_t>(get_time_in_ms()); }

uint64_t elapsed_ms(uint64_t since, uint64_t now) { return now > since ? now - since : 0; }

uint64_t mono_time_ms() {
    if (g_mono_held.load(std::memory_order_acquire)) return g_mono_held_at.load(std::memory_order_acquire);
    return steady_ms() + static_cast<uint64_t>(g_mono_offset_ms.load(std::memory_order_acquire));
}

void test_clock_advance(int64_t ms) {
    if (ms <= 0) return;
    g_clock_offset_ms.fetch_add(ms);
    g_mono_offset_ms.fetch_add(ms);
    g_mono_held_at.fetch_add(static_cast<uint64_t>(ms));
}

void test_wall_clock_step(int64_t ms) { g_clock_offset_ms.fetch_add(ms); }

void test_clock_hold(bool held) {
    if (held == g_mono_held.load()) return;
    if (held) {
        g_mono_held_at.store(mono_time_ms(), std::memory_order_release);
        g_mono_held.store(true, std::memory_order_release);
        return;
    }
    // Real time went on while held; the offset takes it back so the clock
    // resumes where it stood instead of jumping.
    const uint64_t at = g_mono_held_at.load();
    g_mono_offset_ms.store(static_cast<int64_t>(at - steady_ms()), std::memory_order_release);
    g_mono_held.store(false, std::memory_order_release);
}

void do_later(int time_in_ms, OnDoLater f) {
    auto timer = std::make_shared<Timer>();
    timer->start(time_in_ms, 1, [f = std::move(f)](Timer* t) {
        if (f) f();
        t->close();
    });
}

Async::Async() {
    init();
    async = new AsyncData();
    async->data = this;
    std::lock_guard<std::mutex> lock(g_registrar->mtx);
    g_registrar->pending.push_back(this);
    uv_async_send(&g_registrar->handle);
}

void Async::run(const OnRun& f) {
    std::lock_guard<std::mutex> lock(async_queue_mtx);
    async_queue.push_back(f);
    if (registered) uv_async_send(&async->req);
}

void Async::run(OnRun&& f) {
    std::lock_guard<std::mutex> lock(async_queue_mtx);
    async_queue.push_back(std::move(f));
    if (registered) uv_async_send(&async->req);
}

void Async::run() {
    std::lock_guard<std::mutex> lock(async_queue_mtx);
    if (registered) uv_async_send(&async->req);
}

void Async::stop() { isStoped = true; }

void Async::start() {
    isStoped = false;
    run();
}

Timer::Timer() {
    t = new timer_t();
    uv_timer_init(uv_default_loop(), &t->handle);
}

Timer::~Timer() = default;

void Timer::start(int time_in_ms, int repeat, OnTimeout f) {
    if (m_closed) return;
    if (time_in_ms < 0) time_in_ms = 0;
    t->timer = shared_from_this();
    m_interval_ms = time_in_ms;
    m_repeat = repeat;
    m_f = std::move(f);
    // The loop's clock is cached per iteration; count from the real now so a
    // timer started late in a long iteration does not fire early.
    uv_update_time(uv_default_loop());
    uv_timer_start(&t->handle, uv_on_timer_timeout, static_cast<uint64_t>(time_in_ms),
                   static_cast<uint64_t>(time_in_ms));
}

void Timer::stop() {
    if (!m_closed) uv_timer_stop(&t->handle);
}

void Timer::close() {
    if (m_closed) return;
    m_closed = true;
    uv_timer_stop(&t->handle);
    uv_close(reinterpret_cast<uv_handle_t*>(&t->handle), uv_on_timer_timeout_closed);
}

void Timer::call_later(int time_in_ms, std::function<void()> f) { do_later(time_in_ms, std::move(f)); }

}  // namespace mynet
