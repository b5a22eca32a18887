#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "loop.h"
#include "shared_tick.h"

// A named, long-lived periodic job. A run starts when it is due, has a time
// limit, and after a failure the next run waits a retry delay that doubles
// from a minimum to a maximum. update() asks for a fresh run; a run that ends
// while a newer one was asked for is followed by another at the next tick.
// Network thread only.
class WorkManager {
public:
    enum WORK_STATUS {
        WORK_STATUS_IDLE = 0,
        WORK_STATUS_DOING = 1,
        WORK_STATUS_WAIT_TRY = 3,
    };

    // One run; shared so that the work function can keep it and report later.
    struct Work {
        uint64_t t = 0;
        uint32_t version = 0;
        bool isdone = false;
        int m_done_count = 0;
        int m_done_ok_count = 0;
    };
    using SPWork = std::shared_ptr<Work>;
    using WorkFunction = std::function<void(SPWork work, WorkManager* manager)>;
    using TimeoutFunction = std::function<void(SPWork work, WorkManager* manager)>;

    static constexpr uint64_t kNotScheduled = std::numeric_limits<uint64_t>::max();

    WorkManager(std::string name, int first_time, int expired_time, int retry_time_min, int retry_time_max,
                int work_timeout, int done_n, WorkFunction workFunction, TimeoutFunction timeoutFunction = {});
    // Closes the tick, which would otherwise call into a freed job.
    ~WorkManager();
    WorkManager(const WorkManager&) = delete;
    WorkManager& operator=(const WorkManager&) = delete;

    void update();
    // One report on a run; reports on a finished run are refused.
    void done(SPWork work, bool isok, bool retry);
    void _do_work();

    bool m_nolog = false;
    std::string m_name;
    // Counters that wrap: compare them only through is_outdated.
    uint32_t m_version_target = 0;
    uint32_t m_version_done = 0;
    WorkFunction m_workFunction;
    TimeoutFunction m_timeoutFunction;
    int m_expired_time;
    int m_work_timeout;
    int m_retry_time;
    int m_retry_time_min;
    int m_retry_time_max;
    int m_done_n;
    WORK_STATUS m_status = WORK_STATUS_IDLE;
    // On the process' shared 100 ms tick.
    mynet::SharedTick m_timer;
    // 0: at the next tick; kNotScheduled: not until update().
    uint64_t m_t_do;
    SPWork last_work;

    // True when `version` was asked for before m_version_target, also across
    // the wrap of the counters.
    bool is_outdated(uint32_t version) const;

private:
    void on_tick();
};
