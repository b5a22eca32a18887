#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <list>
#include <mutex>
#include <sstream>

namespace {

struct LogLine {
    uint32_t id;
    std::string line;
};

// The ring outlives static destruction: the network thread never ends and may
// still log while the process exits.
struct LogRing {
    std::mutex mtx;
    std::list<LogLine> log_queue;
    uint32_t log_count = 1;
};

LogRing& ring() {
    static LogRing* r = new LogRing();
    return *r;
}

constexpr size_t kMaxKeptLines = 1000;

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

}  // namespace

void SetLogSink2(LogSink sink) { g_sink.store(sink); }

void SetLogLevel2(int nLevel) { g_nLogLevel.store(nLevel); }

void PlatLog2(LogLevel level, LogModule module, const char* format, ...) {
    if (level < g_nLogLevel.load(std::memory_order_relaxed)) return;
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, 511, format, args);
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
    if (r.log_queue.size() >= kMaxKeptLines) r.log_queue.pop_front();
    r.log_queue.push_back(LogLine{r.log_count, text});
    ++r.log_count;
}

std::string LogGetAll(int& count) {
    std::ostringstream out;
    LogRing& r = ring();
    std::lock_guard<std::mutex> lock(r.mtx);
    for (const LogLine& l : r.log_queue) {
        out << l.id << " " << l.line << std::endl;
        count = static_cast<int>(l.id);
    }
    return out.str();
}

std::string LogGetHead(size_t max_bytes, int& count) {
    std::string out;
    LogRing& r = ring();
    std::lock_guard<std::mutex> lock(r.mtx);
    for (const LogLine& l : r.log_queue) {
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
    while (!r.log_queue.empty() && r.log_queue.front().id < static_cast<uint32_t>(count)) r.log_queue.pop_front();
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
