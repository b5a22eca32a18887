#include "support/scripted_resolver.h"

#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "loop.h"

namespace nuvra_test {

namespace {

using GetAddrInfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

GetAddrInfoFn real_getaddrinfo() {
    static GetAddrInfoFn real = reinterpret_cast<GetAddrInfoFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real;
}

// Live scripts by name; a lookup takes the script under this lock.
std::mutex& registry_mtx() {
    static std::mutex* m = new std::mutex();
    return *m;
}

std::map<std::string, ScriptedName*>& registry() {
    static auto* r = new std::map<std::string, ScriptedName*>();
    return *r;
}

bool is_literal(const char* node) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (real_getaddrinfo()(node, nullptr, &hints, &res) != 0) return false;
    freeaddrinfo(res);
    return true;
}

// One entry per address, each allocated by the system resolver, so that the
// caller's freeaddrinfo releases the chain.
int answer_with(const std::vector<std::string>& addresses, const addrinfo* hints, addrinfo** res) {
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (const std::string& ip : addresses) {
        addrinfo h{};
        h.ai_flags = AI_NUMERICHOST;
        h.ai_family = hints ? hints->ai_family : AF_UNSPEC;
        h.ai_socktype = hints && hints->ai_socktype ? hints->ai_socktype : SOCK_STREAM;
        h.ai_protocol = hints ? hints->ai_protocol : 0;
        addrinfo* one = nullptr;
        if (real_getaddrinfo()(ip.c_str(), nullptr, &h, &one) != 0) continue;
        *tail = one;
        while (*tail) tail = &(*tail)->ai_next;
    }
    if (!head) return EAI_NONAME;
    *res = head;
    return 0;
}

}  // namespace

ScriptedName::ScriptedName(std::string name, std::vector<std::string> addresses)
    : m_name(std::move(name)), m_addresses(std::move(addresses)) {
    std::lock_guard<std::mutex> lock(registry_mtx());
    registry()[m_name] = this;
}

ScriptedName::ScriptedName(std::string name, int eai_error) : m_name(std::move(name)), m_error(eai_error) {
    std::lock_guard<std::mutex> lock(registry_mtx());
    registry()[m_name] = this;
}

ScriptedName::~ScriptedName() {
    {
        std::lock_guard<std::mutex> lock(registry_mtx());
        registry().erase(m_name);
    }
    // libuv joins its workers at exit: a held lookup must not outlive its script.
    std::unique_lock<std::mutex> lock(m_mtx);
    m_held = false;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_waiting == 0; });
}

void ScriptedName::hold() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_held = true;
}

void ScriptedName::release() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_held = false;
    m_cv.notify_all();
}

void ScriptedName::answer(std::vector<std::string> addresses) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_addresses = std::move(addresses);
    m_error = 0;
}

int ScriptedName::lookups() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return static_cast<int>(m_lookup_times.size());
}

std::vector<uint64_t> ScriptedName::lookup_times() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_lookup_times;
}

bool ScriptedName::wait_lookups(int n, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return static_cast<int>(m_lookup_times.size()) >= n; });
}

}  // namespace nuvra_test

using nuvra_test::ScriptedName;

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    const std::string name = node ? node : "";
    if (name == "localhost" || (node && nuvra_test::is_literal(node))) return nuvra_test::real_getaddrinfo()(node, service, hints, res);
    // The registry lock is held while the script is read, so the script
    // cannot be destroyed under the lookup before it counts as waiting.
    std::unique_lock<std::mutex> reg(nuvra_test::registry_mtx());
    auto it = nuvra_test::registry().find(name);
    if (it == nuvra_test::registry().end()) return EAI_NONAME;
    ScriptedName* script = it->second;
    std::unique_lock<std::mutex> lock(script->m_mtx);
    reg.unlock();
    script->m_lookup_times.push_back(mynet::mono_time_ms());
    script->m_cv.notify_all();
    ++script->m_waiting;
    script->m_cv.wait(lock, [script] { return !script->m_held; });
    --script->m_waiting;
    const int error = script->m_error;
    const std::vector<std::string> addresses = script->m_addresses;
    script->m_cv.notify_all();
    lock.unlock();
    return error ? error : nuvra_test::answer_with(addresses, hints, res);
}
