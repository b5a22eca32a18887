#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace nuvra_test {

// The resolver of a test binary that links scripted_resolver.cpp (see
// tests/CMakeLists.txt), which replaces the process' getaddrinfo so that no
// lookup leaves the host: "localhost" and address literals go to the system
// resolver, a name scripted by a live ScriptedName gets its script, and every
// other name is unknown (EAI_NONAME).
//
// One scripted name, for as long as the object lives. Answers hold the
// addresses of the family asked for, in the given order (EAI_NONAME when none
// is left); held lookups wait on libuv's worker until release().
class ScriptedName {
public:
    ScriptedName(std::string name, std::vector<std::string> addresses);
    // Answered with an EAI_* error.
    ScriptedName(std::string name, int eai_error);
    // Releases held lookups and waits until they have left.
    ~ScriptedName();
    ScriptedName(const ScriptedName&) = delete;
    ScriptedName& operator=(const ScriptedName&) = delete;

    // Lookups from now on wait until release().
    void hold();
    void release();
    // The answer of the lookups from now on.
    void answer(std::vector<std::string> addresses);
    // Lookups started so far (held ones too).
    int lookups() const;
    // mynet::mono_time_ms() at the start of each lookup.
    std::vector<uint64_t> lookup_times() const;
    // Waits up to timeout_ms until n lookups have started.
    bool wait_lookups(int n, int timeout_ms) const;

    // Used by the replaced getaddrinfo.
    const std::string m_name;
    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    std::vector<std::string> m_addresses;
    int m_error = 0;
    bool m_held = false;
    int m_waiting = 0;
    std::vector<uint64_t> m_lookup_times;
};

}  // namespace nuvra_test
