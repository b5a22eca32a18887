#pragma once

#include <json/value.h>

#include <string>

// What the server's answer to a call says.
struct CallAnswer {
    int result = -2;
    std::string reason;
    // The answer as parsed; null when it is not JSON.
    Json::Value resp;
};

// Reads the JSON text of a "call_ret " answer:
//   not JSON, not an object, no "result"          -2 "wrong response json : 1"
//   "result" "ok"                                   0 ""
//   "result" other than "ok"/"failed"/"unknown"    -2 "wrong response json : 2"
//   "failed" with "reason"                         -1 the reason
//   "unknown" with "reason"                        -2 the reason
//   "failed"/"unknown" without "reason"            -2 "wrong response json : 3"
// "result" and "reason" are read as text: a string as it is, a number or a
// boolean in its JSON text form, null as "". A "result" that is an array or
// an object matches none of the three words; such a "reason" counts as
// missing.
CallAnswer parse_call_answer(const std::string& text);

// The text of one member of an answer object by the same rule; false when
// the answer is no object, lacks the member, or the member is a container.
bool answer_member_text(const Json::Value& answer, const char* key, std::string& out);

// A member of an answer as the application is given it: a string as it is,
// a number or a boolean in its JSON text form, an array or an object as
// compact JSON, null or a missing member (or no object at all) as "".
std::string answer_text(const Json::Value& answer, const char* key);
// The same rule for a value itself.
std::string value_text(const Json::Value& value);
