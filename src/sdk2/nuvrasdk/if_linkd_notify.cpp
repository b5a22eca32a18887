// Notifications that carry messages or announce them: handed to message
// decoding, de-duplication and polling.
#include <memory>

#include "if_linkd.h"
#include "log.h"

void InterfaceLinkD::on_notify_msg(const LineText& t) {
    m_ver_notify = t.msg.ver;
    schedule_poll();
}

// The next version in order is taken at once; a gap is filled by a poll.
void InterfaceLinkD::on_notify_recvmsg(const LineText& t) {
    if (t.msg.ver == m_ver_clear + 1) {
        decode_msg(t.msg.text, true);
        m_ver_clear = t.msg.ver;
        schedule_poll_tail();
        return;
    }
    m_ver_notify = t.msg.ver;
    schedule_poll();
}

void InterfaceLinkD::on_notify_recvmsg_by_msgid(const LineText& t) {
    std::unique_ptr<Msg> msg(decode_msg(t.msg.text, false));
    note_msg_wait_clear(msg->msgid);
    schedule_poll_tail();
    if (!msgIDBuf.dup_or_add(msg->msgid)) process_msg(msg.get());
}

void InterfaceLinkD::on_notify_channel(const LineText& t) { decode_msg(t.msg.text, true); }

// Without message ids from the server, channel messages older than the last
// one are dropped; with them, repeats are.
void InterfaceLinkD::on_notify_channel2(const LineText& t) {
    const uint64_t id = t.msg.channel_msgid;
    if (m_config_channel_msgid == 0) {
        if (m_channel_msgid != 0 && m_channel_msgid > id) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s ignore channel msg %llu:%llu", mynet::log_time(),
                     t.info->tag().c_str(), static_cast<unsigned long long>(id),
                     static_cast<unsigned long long>(m_channel_msgid));
            return;
        }
        m_channel_msgid = id;
        decode_msg(t.msg.text, true);
        return;
    }
    m_channel_msgid = id;
    std::unique_ptr<Msg> msg(decode_msg(t.msg.text, false));
    if (!msgIDBuf.dup_or_add(msg->msgid)) process_msg(msg.get());
}
