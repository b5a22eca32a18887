#include "log.h"
#include "log_format.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

struct LogLine {
    uint32_t id;
    std::string line;
};

constexpr size_t kMaxKeptLines = 1000;
constexpr size_t kSlotRoom = 255;

// The kept lines, oldest first, in slots that are reused: a full ring
// overwrites its oldest line in place. Every slot is made at once with room
// for a common line, so that keeping a line allocates nothing and the ring
// is one fixed block from the start rather than pieces strewn among what the
// instances allocate while it fills. The ring outlives static
// destruction: the network thread never ends and may still log while the
// process exits.
struct LogRing {
    std::mutex mtx;
    std::vector<LogLine> slots = std::vector<LogLine>(kMaxKeptLines);
    size_t first = 0;
    size_t size = 0;
    uint32_t log_count = 1;

    const LogLine& at(size_t i) const { return slots[(first + i) % kMaxKeptLines]; }
    void push(const char* text) {
        if (size == kMaxKeptLines) pop_front();
        LogLine& l = slots[(first + size) % kMaxKeptLines];
        l.id = log_count++;
        l.line.assign(text);
        ++size;
    }
    void pop_front() {
        first = (first + 1) % kMaxKeptLines;
        --size;
    }
};

LogRing& ring() {
    static LogRing* r = [] {
        auto* ring = new LogRing();
        for (LogLine& l : ring->slots) l.line.reserve(kSlotRoom);
        return ring;
    }();
    return *r;
}

// Threads printing at once would mix the text of one line with another's.
// Never destroyed, like the ring.
std::mutex& print_mutex() {
    static std::mutex* m = new std::mutex();
    return *m;
}

void print_line(const char* text) {
    std::lock_guard<std::mutex> lock(print_mutex());
    std::cout << text << std::endl;
}

std::atomic<int> g_nLogLevel{kLogDebug};
std::atomic<LogSink> g_sink{nullptr};
std::atomic<LogSeen> g_debug_seen{nullptr};

}  // namespace

void SetLogSink2(LogSink sink) { g_sink.store(sink); }

LogSeen SetLogDebugSeen2(LogSeen seen) { return g_debug_seen.exchange(seen); }

void SetLogLevel2(int nLevel) { g_nLogLevel.store(nLevel); }

void PlatLog2(LogLevel level, LogModule module, const char* format, ...) {
    if (level < g_nLogLevel.load(std::memory_order_relaxed)) return;
    if (level <= kLogDebug) {
        LogSeen seen = g_debug_seen.load(std::memory_order_relaxed);
        if (seen && !seen()) return;
    }
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = log_format(buffer, 511, format, args);
    va_end(args);
    if (n < 0) buffer[0] = 0;
    buffer[511] = 0;
    LogText2(level, module, buffer);
}

void LogText2(LogLevel level, LogModule module, const char* text) {
    (void)module;
    LogSink sink = g_sink.load();
    if (!sink || !sink(text)) print_line(text);
    if (level <= kLogDebug) return;
    LogRing& r = ring();
    std::lock_guard<std::mutex> lock(r.mtx);
    r.push(text);
}

std::string LogGetAll(int& count) {
    std::ostringstream out;
    LogRing& r = ring();
    std::lock_guard<std::mutex> lock(r.mtx);
    for (size_t i = 0; i < r.size; ++i) {
        const LogLine& l = r.at(i);
        out << l.id << " " << l.line << std::endl;
        count = static_cast<int>(l.id);
    }
    return out.str();
}

std::string LogGetHead(size_t max_bytes, int& count) {
    std::string out;
    LogRing& r = ring();
    std::lock_guard<std::mutex> lock(r.mtx);
    for (size_t i = 0; i < r.size; ++i) {
        const LogLine& l = r.at(i);
        const std::string id = std::to_string(l.id);
        const size_t size = id.size() + 1 + l.line.size() + 1;
        if (size > max_bytes - out.size()) break;
        out.append(id).append(" ").append(l.line).append("\n");
        count = static_cast<int>(l.id);
    }
    return out;
}

void LogClear(int count) {
    LogRing& r = ring();
    std::lock_guard<std::mutex> lock(r.mtx);
    while (r.size > 0 && r.at(0).id < static_cast<uint32_t>(count)) r.pop_front();
}

void PlatAssertHelper2(bool condition, const char* file, const char* func, const char* format, ...) {
    if (condition) return;
    char buffer[1024] = {0};
    snprintf(buffer, 1023, "LibAssert : [%s] [%s], info: ", file, func);
    LogText2(kLogAssert, kLogUnknown, buffer);
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, 1023, format, args);
    va_end(args);
    buffer[1023] = 0;
    LogText2(kLogAssert, kLogUnknown, buffer);
}
