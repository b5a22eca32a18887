#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

// One remembered id: t is its latest arrival (monotonic ms).
struct MsgBufTime {
    MsgBufTime(std::string msgid, uint64_t t) : t(t), msgid(std::move(msgid)) {}
    uint64_t t;
    std::string msgid;
};

// The message ids seen lately, so that a message that arrives twice (pushed
// and then polled, or sent again after a reconnection) is handled once. One
// entry per id, kept in the order of latest arrival, so expiry walks only the
// expired front. Bounded whatever a server sends: past max_ids ids, or
// max_bytes bytes of ids, the oldest id is forgotten first.
class MsgIDBuf {
public:
    static constexpr size_t kMaxIds = 100000;
    static constexpr size_t kMaxBytes = 4 * 1024 * 1024;

    // True when msgid is already known. Either way the arrival is recorded
    // and the id stays known for the cache time from now. "" is never known
    // and never recorded.
    bool dup_or_add(const std::string& msgid);
    bool dup_or_add(const std::string& msgid, uint64_t now);
    // Forgets every id whose latest arrival is cache_time_ms or more before
    // now; a negative cache time, widened as unsigned, keeps them all.
    void tick(uint64_t now, int cache_time_ms);

    bool known(const std::string& msgid) const { return msg_buf.count(msgid) != 0; }
    size_t size() const { return msg_buf_list.size(); }
    // The bytes of the ids held.
    size_t bytes() const { return bytes_; }

    size_t max_ids = kMaxIds;
    size_t max_bytes = kMaxBytes;

private:
    using List = std::list<MsgBufTime>;

    void drop_oldest();

    List msg_buf_list;  // oldest latest-arrival first
    std::unordered_map<std::string, List::iterator> msg_buf;
    size_t bytes_ = 0;
};
