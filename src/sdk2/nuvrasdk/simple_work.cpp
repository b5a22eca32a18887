#include "simple_work.h"

#include <utility>

SimpleWork::SimpleWork(int done_n, int work_timeout, WorkFunction workFunction, EndFunction endFunction)
    : m_workFunction(std::move(workFunction)),
      m_endFunction(std::move(endFunction)),
      m_work_timeout(work_timeout),
      m_done_n(done_n) {}

void SimpleWork::start() {
    SPSimpleWork self = weak_from_this().lock();
    // A job runs once, and only while something owns it.
    if (!self || isdone || m_timer) return;
    m_timer = std::make_shared<mynet::Timer>();
    m_timer->start(m_work_timeout, 1, [self](mynet::Timer*) { self->end("time out", true); });
    // A copy: a branch may end the job, which releases the member, before
    // the work function has returned.
    WorkFunction start_branches = m_workFunction;
    if (start_branches) start_branches(self);
}

void SimpleWork::end(const std::string& err, bool force) {
    if (isdone) return;
    m_done_count += 1;
    if (err.empty()) m_done_ok_count += 1;
    if (m_done_count < m_done_n && !err.empty() && !force) return;

    isdone = true;
    std::string result = m_done_ok_count > 0 ? std::string() : err;
    // Closing the time-out drops its hold on the job; the job then lives as
    // long as its owners.
    if (m_timer) {
        m_timer->close();
        m_timer.reset();
    }
    WorkFunction work_function;
    EndFunction end_function;
    work_function.swap(m_workFunction);
    end_function.swap(m_endFunction);
    if (end_function) end_function(weak_from_this().lock(), result);
}
