#include "msg_wait_clear.h"

#include "log.h"
#include "loop.h"

void MsgWaitClear::add(const std::string& msgid) {
    if (msgid.empty() || contains(msgid)) return;
    // An id larger than the whole bound is still noted, alone.
    while (!order_.empty() && (order_.size() >= max_ids || bytes_ + msgid.size() > max_bytes)) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : msgid clear list full, drop %s", mynet::log_time(),
                 order_.front().c_str());
        forget(by_id_.find(order_.front()));
    }
    order_.push_back(msgid);
    by_id_.emplace(msgid, std::prev(order_.end()));
    bytes_ += msgid.size();
}

void MsgWaitClear::erase(const std::vector<std::string>& msgids) {
    for (const std::string& id : msgids) {
        auto noted = by_id_.find(id);
        if (noted != by_id_.end()) forget(noted);
    }
}

void MsgWaitClear::forget(ById::iterator noted) {
    bytes_ -= noted->first.size();
    order_.erase(noted->second);
    by_id_.erase(noted);
}

std::vector<std::string> MsgWaitClear::ids() const {
    std::vector<std::string> out;
    out.reserve(by_id_.size());
    for (const auto& noted : by_id_) out.push_back(noted.first);
    return out;
}
