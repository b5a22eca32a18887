#pragma once

// The two polling calls: "user_getmsg" acknowledges by message version,
// "user_getmsg2" by message id. Answers are read through the type-checked
// readers: a member or element of another type counts as absent.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

// How many messages one poll asks for; an answer this full means more wait.
constexpr uint32_t kPollMax = 30;

// {"line", "max", "ver_clear"}
Json::Value getmsg_request(const std::string& line, uint32_t ver_clear);
// {"clear_msgs": the ids, null when none, "line", "max"}
Json::Value getmsg2_request(const std::string& line, const std::vector<std::string>& clear_msgs);

struct VersionedText {
    uint32_t ver = 0;
    std::string text;
};

struct GetmsgAnswer {
    uint32_t ver_clear = 0;
    // One per element of "msgs", malformed ones too (as version 0 and "").
    std::vector<VersionedText> msgs;
};

GetmsgAnswer read_getmsg_answer(const Json::Value& answer);
// One text per element of "msgs"; an element that is no string gives "".
std::vector<std::string> read_getmsg2_answer(const Json::Value& answer);
