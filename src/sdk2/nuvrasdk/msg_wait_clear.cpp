#include "msg_wait_clear.h"

#include "log.h"
#include "loop.h"

void MsgWaitClear::add(const std::string& msgid) {
    if (msgid.empty() || contains(msgid)) return;
    while (!order_.empty() && order_.size() >= max_ids) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : msgid clear list full, drop %s", mynet::log_time(),
                 order_.front().c_str());
        by_id_.erase(order_.front());
        order_.pop_front();
    }
    order_.push_back(msgid);
    by_id_.emplace(msgid, std::prev(order_.end()));
}

void MsgWaitClear::erase(const std::vector<std::string>& msgids) {
    for (const std::string& id : msgids) {
        auto noted = by_id_.find(id);
        if (noted == by_id_.end()) continue;
        order_.erase(noted->second);
        by_id_.erase(noted);
    }
}

std::vector<std::string> MsgWaitClear::ids() const {
    std::vector<std::string> out;
    out.reserve(by_id_.size());
    for (const auto& noted : by_id_) out.push_back(noted.first);
    return out;
}
