#pragma once

#include <cstddef>
#include <string>

enum LogLevel {
    kLogTrace = 0,
    kLogDebug = 1,
    kLogInfo = 2,
    kLogWarning = 3,
    kLogError = 4,
    kLogAssert = 5,
};

enum LogModule {
    kLogUnknown = 0,
    kLogPlatform = 100,
    kLogCodec = 101,
    kLogAudio = 102,
    kLogVideo = 103,
    kLogSocket = 104,
    kLogTaskQueue = 105,
    kLogBuffer = 106,
    KLogP2p = 107,
    kLogBiz = 1000,
    kLogCache = 1001,
    kLogLink = 1002,
    kLogProtocol = 1003,
    kLogSession = 1004,
    kLogJob = 1005,
    kLogCall = 1006,
    kLogRecorder = 1007,
    kLogPlayer = 1008,
    kLogParser = 1009,
    kLogWrapper = 2000,
};

// Formats at most 510 characters and hands the line to LogText2; kLogTrace
// lines are dropped before formatting.
void PlatLog2(LogLevel level, LogModule module, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Offers the finished line to the sink, prints it when the sink declines,
// and keeps lines of kLogInfo and above in the ring of the last 1000.
void LogText2(LogLevel level, LogModule module, const char* text);

// Every kept line as "<id> <text>\n"; count receives the last id (unchanged
// when the ring is empty).
std::string LogGetAll(int& count);

// The oldest kept lines as LogGetAll writes them, as many whole lines as fit
// in max_bytes; count receives the last id taken (unchanged when none fits).
std::string LogGetHead(size_t max_bytes, int& count);

// Drops kept lines from the front while their id is below count.
void LogClear(int count);

void SetLogLevel2(int nLevel);

void PlatAssertHelper2(bool condition, const char* file, const char* func, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The application-facing sink: returns true when it took the line. Called on
// the logging thread, never under the ring's lock, so a sink may log again.
// Null (the start value) declines every line.
using LogSink = bool (*)(const char* text);
void SetLogSink2(LogSink sink);

// Whether a line that is not kept (below kLogInfo) would be seen by anyone;
// when it says no, PlatLog2 does not even format such lines. Null (the
// start value) means always. Returns the one it replaces.
using LogSeen = bool (*)();
LogSeen SetLogDebugSeen2(LogSeen seen);
