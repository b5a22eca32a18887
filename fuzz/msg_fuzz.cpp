#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "if_linkd.h"
#include "log.h"
#include "loop.h"
#include "poll_wire.h"

namespace {

bool take_line(const char*) { return true; }

// One engine for the whole run; its loop never runs, so its calls stay
// queued until each input drops them.
InterfaceLinkD& engine() {
    static nuvra_sdk::ICallBack callback;
    static InterfaceLinkD* e = [] {
        SetLogSink2(take_line);
        mynet::init();
        auto* made = new InterfaceLinkD(&callback, nullptr);
        made->rp.m_enable = false;
        made->m_account = "me";
        return made;
    }();
    return *e;
}

bool part_of(const std::string& field, const std::string& text) {
    return field.empty() || text.find(field) != std::string::npos;
}

void take(InterfaceLinkD& e, const std::string& text) {
    InterfaceLinkD::Msg* msg = e.decode_msg(text, false);
    if (!msg) __builtin_trap();
    if (!part_of(msg->msgid, text) || !part_of(msg->src, text) || !part_of(msg->t, text) ||
        !part_of(msg->content, text))
        __builtin_trap();
    e.note_msg_wait_clear(msg->msgid);
    if (!e.msgIDBuf.dup_or_add(msg->msgid)) e.process_msg(msg);
    delete msg;
    if (e.decode_msg(text, true) != nullptr) __builtin_trap();
}

}  // namespace

// The first byte picks the mode; the rest is a message text, and when it is
// JSON also a poll answer whose texts are taken in turn.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    InterfaceLinkD& e = engine();
    e.m_sdkserver_mode = (data[0] & 1) != 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    take(e, text);
    Json::Value answer;
    if (parse_json(text, answer)) {
        for (const VersionedText& m : read_getmsg_answer(answer).msgs) take(e, m.text);
        for (const std::string& t : read_getmsg2_answer(answer)) take(e, t);
    }
    e.m_main_slot.clear();
    e.msgIDBuf.tick(mynet::mono_time_ms(), (data[0] & 2) ? 0 : 120000);
    if (e.msgIDBuf.size() > MsgIDBuf::kMaxIds || e.m_msgs_wait_clear.size() > MsgWaitClear::kMaxIds) __builtin_trap();
    // The next input's log uploads carry its own lines only.
    LogClear(INT_MAX);
    return 0;
}
