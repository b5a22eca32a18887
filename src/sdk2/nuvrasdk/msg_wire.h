#pragma once

// Incoming message texts. Three encodings, told apart by their first word and
// cut at single blanks from the left, so that the payload keeps its blanks:
//   "msg <src> _ _ <t> <content>"
//   "msg-v2 <src> _ _ <t> _ <content>"
//   "msg-v3 <msgid> <src> _ _ <t> _ <content>"
// A text of another shape decodes to a message whose fields are all empty.

#include <string>

// One incoming message.
struct IncomingMsg {
    std::string msgid;    // only "msg-v3 " texts carry one
    std::string src;      // the sender's account
    std::string t;        // the type, which decides how it is dispatched
    std::string content;  // plain text or JSON text, by type
};

IncomingMsg decode_msg_text(const std::string& text);
