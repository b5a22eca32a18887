#include "call_answer.h"

#include <cstring>

#include "json_text.h"

namespace {

// Only for objects: jsoncpp refuses to look up members of anything else.
const Json::Value* find_member(const Json::Value& object, const char* key) {
    return object.find(key, key + std::strlen(key));
}

}  // namespace

CallAnswer parse_call_answer(const std::string& text) {
    Json::Value resp;
    if (!parse_json(text, resp) || !resp.isObject() || find_member(resp, "result") == nullptr)
        return CallAnswer{-2, "wrong response json : 1", std::move(resp)};

    std::string result;
    const bool result_is_text = answer_member_text(resp, "result", result);
    if (result_is_text && result == "ok") return CallAnswer{0, "", std::move(resp)};
    if (!result_is_text || (result != "failed" && result != "unknown"))
        return CallAnswer{-2, "wrong response json : 2", std::move(resp)};

    std::string reason;
    if (!answer_member_text(resp, "reason", reason)) return CallAnswer{-2, "wrong response json : 3", std::move(resp)};
    return CallAnswer{result == "failed" ? -1 : -2, std::move(reason), std::move(resp)};
}

bool answer_member_text(const Json::Value& answer, const char* key, std::string& out) {
    if (!answer.isObject()) return false;
    const Json::Value* member = find_member(answer, key);
    if (member == nullptr || member->isArray() || member->isObject()) return false;
    if (member->isString()) {
        out = json_as_string(*member);
    } else if (member->isNull()) {
        out.clear();
    } else {
        out = JSON2STRING(*member);
    }
    return true;
}

std::string answer_text(const Json::Value& answer, const char* key) { return value_text(json_member(answer, key)); }

std::string value_text(const Json::Value& value) {
    if (value.isNull()) return "";
    if (value.isString()) return json_as_string(value);
    return JSON2STRING(value);
}
