#include "msg_wire.h"

#include <pystring/pystring.h>

#include <vector>

namespace {

// The parts of text cut at most `cuts` times, when there are exactly
// cuts + 1 of them.
bool cut_exactly(const std::string& text, int cuts, std::vector<std::string>& parts) {
    pystring::split(text, parts, " ", cuts);
    return parts.size() == static_cast<size_t>(cuts) + 1;
}

}  // namespace

IncomingMsg decode_msg_text(const std::string& text) {
    IncomingMsg msg;
    std::vector<std::string> p;
    if (pystring::startswith(text, "msg ")) {
        if (!cut_exactly(text, 5, p)) return msg;
        msg.src.swap(p[1]);
        msg.t.swap(p[4]);
        msg.content.swap(p[5]);
    } else if (pystring::startswith(text, "msg-v2 ")) {
        if (!cut_exactly(text, 6, p)) return msg;
        msg.src.swap(p[1]);
        msg.t.swap(p[4]);
        msg.content.swap(p[6]);
    } else if (pystring::startswith(text, "msg-v3 ")) {
        if (!cut_exactly(text, 7, p)) return msg;
        msg.msgid.swap(p[1]);
        msg.src.swap(p[2]);
        msg.t.swap(p[5]);
        msg.content.swap(p[7]);
    }
    return msg;
}
