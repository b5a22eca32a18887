#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace perf {

// A line server on loopback that costs as little as it can, so that what is
// measured is the client: one blocking thread per connection, one write per
// read, nothing recorded. It answers "login " (a fresh line id), re-logins,
// pings and every "call <method> <id> 0 <json>" with "ok". Answers mirror the
// request's compression bit; a compressed answer is a zlib stream of one
// stored block, which a server may send and which costs it nearly nothing.
// The first call frame of each method and kind is kept byte for byte, so that a bare
// client can send the very bytes the library sent.
class LeanLinePeer {
public:
    LeanLinePeer();
    // Stops accepting and resets every open connection; the threads end on
    // their own and let go of what they share last.
    ~LeanLinePeer();
    LeanLinePeer(const LeanLinePeer&) = delete;
    LeanLinePeer& operator=(const LeanLinePeer&) = delete;

    bool ok() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    // The first frame of a call of this method, compressed or plain, header
    // included; "" if none came.
    std::string captured_frame(const std::string& method, bool compressed) const;
    // Resets every open connection, as a server whose line drops.
    void drop_all();

private:
    // What the peer's threads share with it; it outlives the peer while any
    // of them runs.
    struct Shared {
        std::mutex mtx;
        std::map<std::string, std::string> captured;
        std::vector<int> open_fds;

        void capture(const std::string& key, const std::string& frame);
        void forget(int fd);
        void reset_all();
    };

    static void serve(const std::shared_ptr<Shared>& shared, int fd);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// The zlib stream of text in one stored block (text up to 65535 bytes).
std::string stored_zlib(const std::string& text);
// One line frame: flags, then the length (header included) in 24 bits, then the body.
std::string line_frame(uint8_t flags, const std::string& body);

}  // namespace perf
