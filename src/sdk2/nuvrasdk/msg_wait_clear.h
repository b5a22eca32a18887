#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <vector>

// The ids of messages taken in and not yet acknowledged to the server; the
// next message-id poll carries them. Bounded whatever a server sends: past
// max_ids the id noted first is dropped (its message may then come again,
// and the id cache still holds it back for its cache time).
class MsgWaitClear {
public:
    static constexpr size_t kMaxIds = 100000;

    // Notes msgid; "" is never noted, an id already noted keeps its place.
    void add(const std::string& msgid);
    // Forgets these ids, as far as they are noted.
    void erase(const std::vector<std::string>& msgids);
    // The noted ids in ascending byte order.
    std::vector<std::string> ids() const;

    bool contains(const std::string& msgid) const { return by_id_.count(msgid) != 0; }
    bool empty() const { return by_id_.empty(); }
    size_t size() const { return by_id_.size(); }

    size_t max_ids = kMaxIds;

private:
    std::list<std::string> order_;  // oldest first
    std::map<std::string, std::list<std::string>::iterator> by_id_;
};
