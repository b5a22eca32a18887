#pragma once

#include <functional>
#include <memory>
#include <string>

#include "loop.h"

class SimpleWork;
using SPSimpleWork = std::shared_ptr<SimpleWork>;

// A one-shot job over a fixed number of parallel branches with one overall
// time-out. It ends at the first branch that succeeds, at the last branch's
// report or at the time-out, and hands one result to the end function: ""
// for success, else the text of the last report ("time out" for the
// time-out). Always held by SPSimpleWork; network thread only.
class SimpleWork : public std::enable_shared_from_this<SimpleWork> {
public:
    using WorkFunction = std::function<void(SPSimpleWork job)>;
    using EndFunction = std::function<void(SPSimpleWork job, std::string result)>;

    SimpleWork(int done_n, int work_timeout, WorkFunction workFunction, EndFunction endFunction);
    SimpleWork(const SimpleWork&) = delete;
    SimpleWork& operator=(const SimpleWork&) = delete;

    // Arms the time-out, then calls the work function. The armed time-out
    // keeps the job alive, so an unfinished job always gets its result.
    void start();
    // One branch's report, err "" for success; reports after the end are
    // ignored.
    void end(const std::string& err, bool force);
    bool isEnd() const { return isdone; }

    WorkFunction m_workFunction;
    EndFunction m_endFunction;
    int m_work_timeout;
    int m_done_n;
    int m_done_count = 0;
    int m_done_ok_count = 0;
    bool isdone = false;
    std::shared_ptr<mynet::Timer> m_timer;
};
