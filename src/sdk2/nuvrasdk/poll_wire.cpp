#include "poll_wire.h"

#include "json_text.h"

Json::Value getmsg_request(const std::string& line, uint32_t ver_clear) {
    Json::Value req(Json::objectValue);
    req["line"] = line;
    req["ver_clear"] = ver_clear;
    req["max"] = kPollMax;
    return req;
}

Json::Value getmsg2_request(const std::string& line, const std::vector<std::string>& clear_msgs) {
    Json::Value req(Json::objectValue);
    req["line"] = line;
    Json::Value& ids = req["clear_msgs"];
    for (const std::string& id : clear_msgs) ids.append(id);
    req["max"] = kPollMax;
    return req;
}

GetmsgAnswer read_getmsg_answer(const Json::Value& answer) {
    GetmsgAnswer out;
    out.ver_clear = json_uint(answer, "ver_clear");
    const Json::Value& msgs = json_member(answer, "msgs");
    if (!msgs.isArray()) return out;
    out.msgs.reserve(msgs.size());
    for (const Json::Value& m : msgs) out.msgs.push_back({json_as_uint(json_index(m, 0)), json_as_string(json_index(m, 1))});
    return out;
}

std::vector<std::string> read_getmsg2_answer(const Json::Value& answer) {
    std::vector<std::string> out;
    const Json::Value& msgs = json_member(answer, "msgs");
    if (!msgs.isArray()) return out;
    out.reserve(msgs.size());
    for (const Json::Value& m : msgs) out.push_back(json_as_string(m));
    return out;
}
