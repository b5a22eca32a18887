#include "msg_id_buf.h"

#include "log.h"
#include "loop.h"

bool MsgIDBuf::dup_or_add(const std::string& msgid) { return dup_or_add(msgid, mynet::mono_time_ms()); }

bool MsgIDBuf::dup_or_add(const std::string& msgid, uint64_t now) {
    if (msgid.empty()) return false;
    auto known = msg_buf.find(msgid);
    if (known != msg_buf.end()) {
        // The latest arrival counts, so the entry moves to the young end.
        msg_buf_list.splice(msg_buf_list.end(), msg_buf_list, known->second);
        known->second->t = now;
        return true;
    }
    // An id larger than the whole bound is still held, alone.
    while (!msg_buf_list.empty() && (msg_buf_list.size() >= max_ids || bytes_ + msgid.size() > max_bytes)) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : msgid cache full, drop %s", mynet::log_time(),
                 msg_buf_list.front().msgid.c_str());
        drop_oldest();
    }
    msg_buf_list.emplace_back(msgid, now);
    msg_buf.emplace(msgid, std::prev(msg_buf_list.end()));
    bytes_ += msgid.size();
    return false;
}

void MsgIDBuf::tick(uint64_t now, int cache_time_ms) {
    const uint64_t life = static_cast<uint64_t>(static_cast<int64_t>(cache_time_ms));
    while (!msg_buf_list.empty() && mynet::elapsed_ms(msg_buf_list.front().t, now) >= life) {
        const MsgBufTime& oldest = msg_buf_list.front();
        PlatLog2(kLogInfo, kLogPlatform, "%llu : del msgid %s", mynet::log_time(), oldest.msgid.c_str());
        drop_oldest();
    }
}

void MsgIDBuf::drop_oldest() {
    bytes_ -= msg_buf_list.front().msgid.size();
    msg_buf.erase(msg_buf_list.front().msgid);
    msg_buf_list.pop_front();
}
