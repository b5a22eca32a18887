#pragma once

#include <string>
#include <vector>

namespace nuvra_test {

// Installs a log sink that records every line (and takes it, so nothing is
// printed) for as long as the object lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // Lines containing text, in order.
    std::vector<std::string> matching(const std::string& text) const;
    bool contains(const std::string& text) const { return !matching(text).empty(); }
    // Waits up to timeout_ms for a line containing text.
    bool wait_for(const std::string& text, int timeout_ms) const;
    void clear();
};

}  // namespace nuvra_test
