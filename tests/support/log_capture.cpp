#include "support/log_capture.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "log.h"

namespace nuvra_test {

namespace {

struct Captured {
    std::mutex mtx;
    std::vector<std::string> lines;
};

Captured& captured() {
    static Captured* c = new Captured();
    return *c;
}

bool capture_sink(const char* text) {
    Captured& c = captured();
    std::lock_guard<std::mutex> lock(c.mtx);
    c.lines.emplace_back(text);
    return true;
}

}  // namespace

LogCapture::LogCapture() {
    clear();
    SetLogSink2(capture_sink);
}

LogCapture::~LogCapture() { SetLogSink2(nullptr); }

std::vector<std::string> LogCapture::lines() const {
    Captured& c = captured();
    std::lock_guard<std::mutex> lock(c.mtx);
    return c.lines;
}

std::vector<std::string> LogCapture::matching(const std::string& text) const {
    std::vector<std::string> out;
    for (const std::string& l : lines())
        if (l.find(text) != std::string::npos) out.push_back(l);
    return out;
}

bool LogCapture::wait_for(const std::string& text, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!contains(text)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void LogCapture::clear() {
    Captured& c = captured();
    std::lock_guard<std::mutex> lock(c.mtx);
    c.lines.clear();
}

}  // namespace nuvra_test
