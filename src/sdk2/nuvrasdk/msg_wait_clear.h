#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <vector>

// The ids of messages taken in and not yet acknowledged to the server; the
// next message-id poll carries them. Bounded whatever a server sends: past
// max_ids ids, or max_bytes bytes of ids, the id noted first is dropped (its
// message may then come again, and the id cache still holds it back for its
// cache time).
class MsgWaitClear {
public:
    static constexpr size_t kMaxIds = 100000;
    static constexpr size_t kMaxBytes = 4 * 1024 * 1024;

    // Notes msgid; "" is never noted, an id already noted keeps its place.
    void add(const std::string& msgid);
    // Forgets these ids, as far as they are noted.
    void erase(const std::vector<std::string>& msgids);
    // The noted ids in ascending byte order.
    std::vector<std::string> ids() const;
    // Calls visit with the noted ids in ascending byte order until it
    // returns false.
    template <typename Visit> void walk(Visit visit) const {
        for (const auto& noted : by_id_)
            if (!visit(noted.first)) return;
    }

    bool contains(const std::string& msgid) const { return by_id_.count(msgid) != 0; }
    bool empty() const { return by_id_.empty(); }
    size_t size() const { return by_id_.size(); }
    // The bytes of the ids noted.
    size_t bytes() const { return bytes_; }

    size_t max_ids = kMaxIds;
    size_t max_bytes = kMaxBytes;

private:
    using Order = std::list<std::string>;
    using ById = std::map<std::string, Order::iterator>;

    void forget(ById::iterator noted);

    Order order_;  // oldest first
    ById by_id_;
    size_t bytes_ = 0;
};
