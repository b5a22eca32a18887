#include <algorithm>
#include <memory>

#include "if_linkd.h"
#include "json_text.h"
#include "log.h"
#include "poll_wire.h"

namespace {

constexpr uint64_t kPollAckDelayMs = 500;
constexpr uint64_t kPollPeriodOnlineMs = 900000;
constexpr uint64_t kPollPeriodOfflineMs = 3000;

}  // namespace

void InterfaceLinkD::schedule_poll() {
    if (!m_is_polling) do_poll();
    else m_poll_again = true;
}

void InterfaceLinkD::schedule_poll_tail() {
    if (m_time_poll_ack == 0) m_time_poll_ack = mynet::mono_time_ms() + kPollAckDelayMs;
}

void InterfaceLinkD::do_poll() {
    m_is_polling = true;
    m_poll_again = false;
    m_time_poll_ack = 0;
    const uint64_t seq = ++m_poll_seq;
    if (m_config_msg_set == 0) {
        const Json::Value req = getmsg_request(m_line, m_ver_clear);
        call_api(0, "user_getmsg", req,
                 [this, seq, req](int result, const std::string&, const Json::Value& answer) {
                     on_getmsg_answer(seq, req, result, answer);
                 },
                 false);
        return;
    }
    // Only the ids this request carries are cleared by its answer; ids noted
    // meanwhile, and those it had no room for, wait for the next poll.
    // The handler keeps the request without its ids, which `carried` holds:
    // a second copy of tens of thousands of ids would cost more than
    // writing them.
    std::vector<std::string> carried = clear_msgs_for_poll();
    Json::Value req = getmsg2_request(m_line, carried);
    call_api(0, "user_getmsg2", std::move(req),
             [this, seq, kept = getmsg2_request(m_line, {}), carried = std::move(carried)](
                 int result, const std::string&, const Json::Value& answer) {
                 on_getmsg2_answer(seq, kept, carried, result, answer);
             },
             false);
}

// As many waiting ids as fit one frame with the rest of the request, in
// their order. An id too long to go even alone would never be acknowledged
// and would keep the ids after it waiting: it is dropped.
std::vector<std::string> InterfaceLinkD::clear_msgs_for_poll() {
    Json::Value bare = getmsg2_request(m_line, {});
    bare["clear_msgs"] = Json::Value(Json::arrayValue);
    const size_t room = call_room("user_getmsg2", bare);
    size_t left = room;
    std::vector<std::string> carried;
    std::vector<std::string> too_long;
    std::string quoted;
    m_msgs_wait_clear.walk([&](const std::string& id) {
        quoted.clear();
        json_append_string(quoted, id);
        if (quoted.size() > room) {
            too_long.push_back(id);
            return true;
        }
        const size_t cost = quoted.size() + (carried.empty() ? 0 : 1);  // the comma before it
        if (cost > left) return false;
        carried.push_back(id);
        left -= cost;
        return true;
    });
    for (const std::string& id : too_long)
        PlatLog2(kLogInfo, kLogPlatform, "%llu : msgid too long to clear (%u bytes), drop %.100s", mynet::log_time(),
                 static_cast<unsigned>(id.size()), id.c_str());
    m_msgs_wait_clear.erase(too_long);
    return carried;
}

// A new login ends the poll in flight by clearing m_is_polling.
bool InterfaceLinkD::poll_is_current(uint64_t poll_seq) const {
    if (m_is_polling && poll_seq == m_poll_seq) return true;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : ignore poll result %llu", mynet::log_time(),
             static_cast<unsigned long long>(poll_seq));
    return false;
}

void InterfaceLinkD::on_getmsg_answer(uint64_t poll_seq, const Json::Value& req, int result,
                                      const Json::Value& answer) {
    if (!poll_is_current(poll_seq)) return;
    bool more = false;
    bool took = false;
    if (result == 0) {
        const GetmsgAnswer a = read_getmsg_answer(answer);
        m_ver_acked = a.ver_clear;
        m_ver_clear = std::max(m_ver_acked, m_ver_clear);
        for (const VersionedText& m : a.msgs) {
            if (static_cast<uint32_t>(m_ver_clear + 1) > m.ver) continue;
            decode_msg(m.text, true);
            m_ver_clear = m.ver;
            took = true;
        }
        more = a.msgs.size() == json_uint(req, "max");
        m_last_active_time = mynet::mono_time_ms();
    }
    end_poll(more, took);
}

void InterfaceLinkD::on_getmsg2_answer(uint64_t poll_seq, const Json::Value& req,
                                       const std::vector<std::string>& carried, int result,
                                       const Json::Value& answer) {
    if (!poll_is_current(poll_seq)) return;
    bool more = false;
    bool took = false;
    if (result == 0) {
        m_msgs_wait_clear.erase(carried);
        const std::vector<std::string> texts = read_getmsg2_answer(answer);
        for (const std::string& text : texts) {
            std::unique_ptr<Msg> msg(decode_msg(text, false));
            note_msg_wait_clear(msg->msgid);
            if (!msgIDBuf.dup_or_add(msg->msgid)) process_msg(msg.get());
        }
        // Ids noted while this poll was in flight, or left out for want of
        // room, are owed an acknowledgement too.
        took = !texts.empty() || !m_msgs_wait_clear.empty();
        more = texts.size() >= json_uint(req, "max");
        m_last_active_time = mynet::mono_time_ms();
    }
    end_poll(more, took);
}

void InterfaceLinkD::end_poll(bool more, bool took) {
    m_is_polling = false;
    m_time_poll_last = mynet::mono_time_ms();
    if (more) schedule_poll();
    else if (took) schedule_poll_tail();
}

// A session is known by its line id: 0 is a uid like any other.
void InterfaceLinkD::poll_triggers(uint64_t now) {
    const bool has_session = !m_line.empty();
    if (has_session && m_tcp_connected && ack_poll_due(now)) schedule_poll();
    if (m_poll_again) schedule_poll();
    if (has_session && periodic_poll_due(now)) schedule_poll();
}

bool InterfaceLinkD::ack_poll_due(uint64_t now) const {
    if (m_time_poll_ack == 0 || m_time_poll_ack > now) return false;
    if (m_config_msg_set == 1) return !m_msgs_wait_clear.empty();
    return m_ver_acked < m_ver_clear;
}

// A login answer zeroes m_time_poll_last, which asks for a poll at once
// however short the monotonic clock's count is.
bool InterfaceLinkD::periodic_poll_due(uint64_t now) const {
    if (m_time_poll_last == 0) return true;
    const uint64_t period = m_tcp_connected || m_push_enable ? kPollPeriodOnlineMs : kPollPeriodOfflineMs;
    return mynet::elapsed_ms(m_time_poll_last, now) >= period;
}
