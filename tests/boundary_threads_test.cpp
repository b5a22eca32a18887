// The public boundary as an application with several threads uses it: tables
// handed out again while an earlier holder still has them, waits of one table
// while another table's handler runs, calls from inside the other binding's
// handlers, and callbackGet beside a handler's callbackSet. Each test runs in
// a process of its own, as ctest runs them: the pool belongs to the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nuvra_api.h"
#include "nuvra_sig.h"
#include "support/binding_recorders.h"
#include "support/sanitizer_build.h"

namespace {

using Clock = std::chrono::steady_clock;
using nuvra_test::RecordingAppCallBackC;

// A wait that covers nothing it must not returns within this; the handlers
// that must not hold it up run for seconds.
constexpr long kPromptMs = 200;
constexpr int kSlowHandlerMs = 2000;

long ms_since(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

long ms_taken(const std::function<void()>& f) {
    const Clock::time_point start = Clock::now();
    f();
    return ms_since(start);
}

bool wait_until(const std::function<bool()>& pred) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct JoinedThread : std::thread {
    using std::thread::thread;
    ~JoinedThread() {
        if (joinable()) join();
    }
};

// A structure whose functions reach the recorder they belong to.
template <typename Owner> Owner& owner_of(ICallBackC* self) {
    return *static_cast<Owner*>(reinterpret_cast<RecordingAppCallBackC::Slot*>(self)->owner);
}

// A structure whose onLog stays 2 s inside the first "todo" line that stop
// writes: a handler of its table running on the thread that called stop.
struct SlowLine : RecordingAppCallBackC {
    std::atomic<bool> inside{false};
    SlowLine() {
        slot.cb.onLog = [](ICallBackC* self, const char* txt, size_t n) {
            SlowLine& me = owner_of<SlowLine>(self);
            if (std::string(txt, n).find(" : todo ") == std::string::npos || me.inside.exchange(true)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(kSlowHandlerMs));
        };
    }
};

// Fills the pool with C tables; returns them in the order handed out.
std::vector<INuvraAPIC*> fill_pool() {
    std::vector<INuvraAPIC*> tables;
    while (INuvraAPIC* t = createNuvraSDKInstanceC()) tables.push_back(t);
    return tables;
}

// The next create once the pool has taken the destroy of `table` in.
INuvraAPIC* create_after_destroy(INuvraAPIC* table) {
    table->destroy(table);
    INuvraAPIC* again = nullptr;
    wait_until([&] { return (again = createNuvraSDKInstanceC()) != nullptr; });
    return again;
}

TEST(TableHandedOutAgain, StaysValidForItsNewHolderAfterTheEarlierHoldersRelease) {
    std::vector<INuvraAPIC*> tables = fill_pool();
    ASSERT_EQ(tables.size(), 500u);
    INuvraAPIC* first = tables[0];
    void* instance = first->api;

    // The order the reference gives, with another thread's create between.
    INuvraAPIC* again = create_after_destroy(first);
    ASSERT_EQ(again, first);
    first->release(first);
    // A freed table's block would come back here.
    INuvraAPIC* process_table = getNuvraSDKInstanceC();
    ASSERT_NE(process_table, again);

    EXPECT_EQ(again->api, instance);
    EXPECT_EQ(again->getSdkVersion(again), 1010303001);
    RecordingAppCallBackC app;
    again->callbackSet(again, app.c());
    EXPECT_EQ(again->callbackGet(again), app.c());
    again->channelJoin(again, "room", 4);
    EXPECT_TRUE(app.wait_for("onChannelJoinFailed|room|", 5000));
    auto* core = static_cast<nuvra_sdk::INuvraAPI*>(instance);
    EXPECT_EQ(nuvra_sdk::getInstanceCookie(core, nuvra_sdk::Binding::C), again);

    // The last holder's release ends the table: the next hand-out is fresh.
    again->release(again);
    EXPECT_EQ(nuvra_sdk::getInstanceCookie(core, nuvra_sdk::Binding::C), nullptr);
    INuvraAPIC* fresh = create_after_destroy(tables[1]);
    EXPECT_EQ(fresh, tables[1]);
    process_table->release(process_table);
}

TEST(TableHandedOutAgain, TheProcessTableStaysValidForEveryGetUntilItsRelease) {
    INuvraAPIC* held = getNuvraSDKInstanceC();
    INuvraAPIC* other = getNuvraSDKInstanceC();
    ASSERT_EQ(held, other);
    other->release(other);
    // Still the process-wide table: the earlier get holds it.
    EXPECT_EQ(getNuvraSDKInstanceC(), held);
    held->release(held);
    RecordingAppCallBackC app;
    held->callbackSet(held, app.c());
    EXPECT_EQ(held->callbackGet(held), app.c());
    held->dbg(held, "probe", 5, "1", 1);
    EXPECT_TRUE(app.wait_for("onLog|", 5000));
    held->release(held);
    INuvraAPIC* fresh = getNuvraSDKInstanceC();
    EXPECT_EQ(fresh->callbackGet(fresh), nullptr);
}

// Threads take tables from a full pool, use them, destroy and release them,
// while others get and release the process-wide table: no table is used
// after it is freed (ASan) and each drives the instance it was made for.
TEST(TableHandedOutAgain, CreatesRaceDestroysAndReleasesOnOtherThreads) {
    std::vector<INuvraAPIC*> tables = fill_pool();
    ASSERT_EQ(tables.size(), 500u);
    std::set<void*> pooled;
    for (INuvraAPIC* t : tables) pooled.insert(t->api);
    // Some instances free for reuse, their tables released.
    for (int i = 0; i < 16; ++i) {
        tables[i]->destroy(tables[i]);
        tables[i]->release(tables[i]);
    }
    INuvraAPIC* process_table = getNuvraSDKInstanceC();
    void* process_instance = process_table->api;

#if defined(NUVRA_TEST_ASAN) || defined(NUVRA_TEST_TSAN)
    const int rounds = 100;
#else
    const int rounds = 300;
#endif
    std::atomic<int> foreign{0};
    std::atomic<int> handed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                INuvraAPIC* table = createNuvraSDKInstanceC();
                if (!table) {
                    std::this_thread::yield();
                    continue;
                }
                ++handed;
                if (!pooled.count(table->api)) ++foreign;
                RecordingAppCallBackC app;
                table->callbackSet(table, app.c());
                table->channelJoin(table, "c", 1);
                table->getStatus(table);
                table->destroy(table);
                table->release(table);
            }
        });
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                INuvraAPIC* table = getNuvraSDKInstanceC();
                if (table->api != process_instance) ++foreign;
                table->getSdkVersion(table);
                table->callbackGet(table);
                table->release(table);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(foreign.load(), 0);
    EXPECT_GT(handed.load(), 0);
    process_table->release(process_table);
}

// release and callbackSet of one table while a log line sits 2 s in the
// process-wide table's structure on another thread.
TEST(WaitsOfOneTable, DoNotOutlastALineInAnotherTablesStructure) {
    INuvraAPIC* process_table = getNuvraSDKInstanceC();
    SlowLine slow;
    process_table->callbackSet(process_table, slow.c());
    JoinedThread writer([process_table] { process_table->stop(process_table); });
    ASSERT_TRUE(wait_until([&] { return slow.inside.load(); }));

    INuvraAPIC* pooled = createNuvraSDKInstanceC();
    ASSERT_NE(pooled, nullptr);
    RecordingAppCallBackC first;
    RecordingAppCallBackC second;
    EXPECT_LT(ms_taken([&] { pooled->callbackSet(pooled, first.c()); }), kPromptMs);
    EXPECT_LT(ms_taken([&] { pooled->callbackSet(pooled, second.c()); }), kPromptMs);
    EXPECT_LT(ms_taken([&] { pooled->release(pooled); }), kPromptMs);
    writer.join();
    process_table->callbackSet(process_table, nullptr);
}

// The caller of release holds a lock that another table's running handler
// wants: release must not wait for that handler.
TEST(WaitsOfOneTable, ReleaseEndsWhileAnotherTablesHandlerWaitsForTheCallersLock) {
    struct Locking : RecordingAppCallBackC {
        std::mutex* lock = nullptr;
        std::atomic<bool> waiting{false};
        Locking() {
            // Gives up after a while, so that a release that waits for this
            // handler shows as slow instead of hanging.
            slot.cb.onError = [](ICallBackC* self, const char*, size_t, int, const char*, size_t) {
                Locking& me = owner_of<Locking>(self);
                me.waiting = true;
                const Clock::time_point start = Clock::now();
                while (ms_since(start) < kSlowHandlerMs) {
                    if (me.lock->try_lock()) {
                        me.lock->unlock();
                        return;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            };
        }
    };
    std::mutex app_lock;
    INuvraAPIC* released = createNuvraSDKInstanceC();
    INuvraAPIC* busy = createNuvraSDKInstanceC();
    RecordingAppCallBackC app;
    Locking locking;
    locking.lock = &app_lock;
    released->callbackSet(released, app.c());
    busy->callbackSet(busy, locking.c());

    std::unique_lock<std::mutex> held(app_lock);
    // Refused before any login: its onError runs on the network thread.
    busy->channelJoin(busy, "c", 1);
    ASSERT_TRUE(wait_until([&] { return locking.waiting.load(); }));
    EXPECT_LT(ms_taken([&] { released->release(released); }), kPromptMs);
    held.unlock();
    busy->callbackSet(busy, nullptr);
    busy->release(busy);
}

// A C release inside a C++ binding's handler runs on the network thread: it
// must not wait there for a line of another thread still in the structure.
TEST(FromTheOtherBindingsHandler, ACReleaseNeverBlocksTheNetworkThread) {
    struct Releasing : nuvra_test::RecordingAppCallBack {
        INuvraAPIC* table = nullptr;
        std::atomic<long> took_ms{-1};
        void onError(const char* name, size_t name_size, int ecode, const char* desc, size_t desc_size) override {
            RecordingAppCallBack::onError(name, name_size, ecode, desc, desc_size);
            if (took_ms.load() < 0) took_ms = ms_taken([this] { table->release(table); });
        }
    } releasing;
    nuvra_sdk_cpp::INuvraAPI* wrapper = createNuvraSDKInstanceCPP();
    ASSERT_NE(wrapper, nullptr);
    wrapper->callbackSet(&releasing);

    INuvraAPIC* process_table = getNuvraSDKInstanceC();
    releasing.table = process_table;
    SlowLine slow;
    process_table->callbackSet(process_table, slow.c());
    JoinedThread writer([process_table] { process_table->stop(process_table); });
    ASSERT_TRUE(wait_until([&] { return slow.inside.load(); }));
    wrapper->channelJoin("c", 1);
    ASSERT_TRUE(wait_until([&] { return releasing.took_ms.load() >= 0; }));
    EXPECT_LT(releasing.took_ms.load(), kPromptMs);
    writer.join();
    wrapper->callbackSet(nullptr);
}

// Handlers replace their table's structure from inside events while another
// thread keeps asking which structure is installed.
TEST(CallbackGet, NeverReadsWhatAHandlersCallbackSetFrees) {
    static INuvraAPIC* table;
    static RecordingAppCallBackC* structures[2];
    table = createNuvraSDKInstanceC();
    ASSERT_NE(table, nullptr);
    RecordingAppCallBackC a;
    RecordingAppCallBackC b;
    structures[0] = &a;
    structures[1] = &b;
    for (int i = 0; i < 2; ++i)
        structures[i]->slot.cb.onError = [](ICallBackC* self, const char*, size_t, int, const char*, size_t) {
            table->callbackSet(table, self == structures[0]->c() ? structures[1]->c() : structures[0]->c());
        };
    table->callbackSet(table, a.c());

    std::atomic<bool> stop{false};
    std::atomic<int> unknown{0};
    JoinedThread reader([&] {
        while (!stop.load()) {
            ICallBackC* got = table->callbackGet(table);
            if (got != a.c() && got != b.c()) ++unknown;
        }
    });
    const Clock::time_point start = Clock::now();
    while (ms_since(start) < 1000) {
        table->channelJoin(table, "c", 1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(unknown.load(), 0);
    table->callbackSet(table, nullptr);
    table->release(table);
}

}  // namespace
