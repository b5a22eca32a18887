#include "work_manager.h"

#include <algorithm>
#include <utility>

#include "log.h"

namespace {

constexpr int kTickMs = 100;

uint64_t later_by(uint64_t now, int delay_ms) { return now + static_cast<uint64_t>(std::max(delay_ms, 0)); }

}  // namespace

WorkManager::WorkManager(std::string name, int first_time, int expired_time, int retry_time_min,
                         int retry_time_max, int work_timeout, int done_n, WorkFunction workFunction,
                         TimeoutFunction timeoutFunction)
    : m_name(std::move(name)),
      m_workFunction(std::move(workFunction)),
      m_timeoutFunction(std::move(timeoutFunction)),
      m_expired_time(expired_time),
      m_work_timeout(work_timeout),
      m_retry_time(retry_time_min),
      m_retry_time_min(retry_time_min),
      m_retry_time_max(retry_time_max),
      m_done_n(done_n),
      m_t_do(later_by(mynet::mono_time_ms(), first_time)) {
    m_timer.start(kTickMs, [this] { on_tick(); });
}

WorkManager::~WorkManager() { m_timer.close(); }

void WorkManager::update() {
    m_version_target += 1;
    m_t_do = 0;
    if (!m_nolog)
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s update %u ", mynet::log_time(), m_name.c_str(),
                 static_cast<unsigned>(m_version_target));
}

bool WorkManager::is_outdated(uint32_t version) const {
    return static_cast<int32_t>(version - m_version_target) < 0;
}

// Every callback comes last: the owner may free this job inside it.
void WorkManager::on_tick() {
    uint64_t now = mynet::mono_time_ms();
    if (m_status == WORK_STATUS_IDLE || m_status == WORK_STATUS_WAIT_TRY) {
        if (m_t_do > now) return;
        if (!m_nolog)
            PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s start work : %lld %lld ", mynet::log_time(), m_name.c_str(),
                     static_cast<long long>(now), static_cast<long long>(m_t_do));
        _do_work();
        return;
    }
    if (!last_work || last_work->isdone) return;
    if (mynet::elapsed_ms(last_work->t, now) < static_cast<uint64_t>(std::max(m_work_timeout, 0))) return;
    if (!m_nolog) PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s timeout ", mynet::log_time(), m_name.c_str());
    SPWork work = last_work;
    done(work, false, true);
    TimeoutFunction on_timeout = m_timeoutFunction;
    if (on_timeout) on_timeout(work, this);
}

void WorkManager::_do_work() {
    if (last_work && !last_work->isdone) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s new work when working  ", mynet::log_time(),
                 m_name.c_str());
        done(last_work, false, false);
        // With several reports per run the failure above may not finish it; a
        // superseded run must not steer the new one with its late reports.
        last_work->isdone = true;
    }
    last_work = std::make_shared<Work>();
    last_work->t = mynet::mono_time_ms();
    last_work->version = m_version_target;
    m_t_do = kNotScheduled;
    m_status = WORK_STATUS_DOING;
    SPWork work = last_work;
    WorkFunction start_run = m_workFunction;
    if (start_run) start_run(work, this);
}

void WorkManager::done(SPWork work, bool isok, bool retry) {
    if (!work) return;
    if (!m_nolog)
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s done %u %u", mynet::log_time(), m_name.c_str(),
                 static_cast<unsigned>(work->version), static_cast<unsigned>(m_version_target));
    if (work->isdone) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s already done", mynet::log_time(), m_name.c_str());
        return;
    }
    work->m_done_count += 1;
    if (isok) work->m_done_ok_count += 1;
    if (work->m_done_count < m_done_n && !isok) return;

    work->isdone = true;
    bool succeeded = work->m_done_ok_count > 0;
    if (is_outdated(work->version)) {
        m_status = WORK_STATUS_IDLE;
        m_t_do = 0;
    } else if (succeeded) {
        m_status = WORK_STATUS_IDLE;
        m_retry_time = m_retry_time_min;
        m_version_done = work->version;
        m_t_do = kNotScheduled;
    } else if (retry) {
        m_status = WORK_STATUS_WAIT_TRY;
        m_t_do = later_by(mynet::mono_time_ms(), m_retry_time);
        m_retry_time = m_retry_time > m_retry_time_max / 2 ? m_retry_time_max : m_retry_time * 2;
    } else {
        m_status = WORK_STATUS_IDLE;
        m_t_do = kNotScheduled;
    }
}
