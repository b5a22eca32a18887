#include "json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cstring>

namespace {

// Everything writes into one Text, which stops taking more once it holds
// `limit` bytes: what it then holds is the head of the whole text.
struct Text {
    std::string out;
    size_t limit;

    bool full() const { return out.size() >= limit; }
};

void write_string(Text& text, const char* begin, const char* end) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string& out = text.out;
    out += '"';
    for (const char* p = begin; p != end && !text.full(); ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

// Numbers go through the same jsoncpp formatting FastWriter uses, so only
// the string escaping and the layout are ours.
void write_value(Text& text, const Json::Value& v) {
    if (text.full()) return;
    std::string& out = text.out;
    switch (v.type()) {
    case Json::nullValue: out += "null"; break;
    case Json::intValue: out += Json::valueToString(v.asLargestInt()); break;
    case Json::uintValue: out += Json::valueToString(v.asLargestUInt()); break;
    case Json::realValue: out += Json::valueToString(v.asDouble()); break;
    case Json::booleanValue: out += v.asBool() ? "true" : "false"; break;
    case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (v.getString(&begin, &end)) {
            write_string(text, begin, end);
        } else {
            out += "\"\"";
        }
        break;
    }
    case Json::arrayValue: {
        out += '[';
        for (Json::ArrayIndex i = 0; i < v.size() && !text.full(); ++i) {
            if (i > 0) out += ',';
            write_value(text, v[i]);
        }
        out += ']';
        break;
    }
    case Json::objectValue: {
        // The object map orders its keys by unsigned bytes, shorter first
        // on a common prefix: exactly the order the text needs.
        out += '{';
        for (auto it = v.begin(); it != v.end() && !text.full(); ++it) {
            if (it != v.begin()) out += ',';
            const char* key_end = nullptr;
            const char* key = it.memberName(&key_end);
            write_string(text, key, key_end);
            out += ':';
            write_value(text, *it);
        }
        out += '}';
        break;
    }
    }
}

constexpr int kReaderDepthLimit = 1000;

bool is_reader_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Json::Reader throws once containers nest 1000 deep. It reads only the
// first value, so only that value's containers count; strings and comments
// are skipped the way the reader cuts them into tokens.
bool nests_too_deep(const std::string& text) {
    const size_t n = text.size();
    int depth = 0;
    size_t i = 0;
    while (i < n) {
        const char c = text[i++];
        if (c == '/' && i < n && text[i] == '*') {
            const size_t close = text.find("*/", i + 1);
            i = close == std::string::npos ? n : close + 2;
        } else if (c == '/' && i < n && text[i] == '/') {
            i = text.find_first_of("\r\n", i + 1);
            if (i == std::string::npos) i = n;
        } else if (c == '[' || c == '{') {
            if (++depth >= kReaderDepthLimit) return true;
        } else if (depth == 0) {
            if (!is_reader_space(c)) return false;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return false;
        } else if (c == '"') {
            while (i < n) {
                const char s = text[i++];
                if (s == '\\') {
                    ++i;
                } else if (s == '"') {
                    break;
                }
            }
        }
    }
    return false;
}

}  // namespace

std::string JSON2STRING(const Json::Value& v) {
    Text text{std::string(), std::string::npos};
    write_value(text, v);
    return std::move(text.out);
}

std::string JSON2STRING_head(const Json::Value& v, size_t max) {
    Text text{std::string(), max};
    write_value(text, v);
    if (text.out.size() > max) text.out.resize(max);
    return std::move(text.out);
}

bool parse_json(const std::string& text, Json::Value& out) {
    out = Json::Value();
    if (nests_too_deep(text)) return false;
    // A reader sets up its stacks on construction; parse starts it afresh,
    // so one per thread serves every parse on it.
    thread_local Json::Reader reader;
    Json::Value parsed;
    // The range form: the string form copies the whole text first.
    if (!reader.parse(text.data(), text.data() + text.size(), parsed, false)) return false;
    out.swap(parsed);
    return true;
}

const Json::Value& json_member(const Json::Value& v, const char* key) {
    if (!v.isObject() || key == nullptr) return Json::Value::nullSingleton();
    const Json::Value* member = v.find(key, key + std::strlen(key));
    return member ? *member : Json::Value::nullSingleton();
}

const Json::Value& json_index(const Json::Value& arr, unsigned i) {
    if (!arr.isArray() || i >= arr.size()) return Json::Value::nullSingleton();
    return arr[i];
}

std::string json_as_string(const Json::Value& v) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!v.isString() || !v.getString(&begin, &end)) return "";
    return std::string(begin, end);
}

uint32_t json_as_uint(const Json::Value& v) {
    return v.isUInt() ? v.asUInt() : 0;
}

int json_as_int(const Json::Value& v) {
    return v.isInt() ? v.asInt() : 0;
}

uint64_t json_as_uint64(const Json::Value& v) {
    return v.isUInt64() ? v.asUInt64() : 0;
}

std::string json_string(const Json::Value& v, const char* key) {
    return json_as_string(json_member(v, key));
}

uint32_t json_uint(const Json::Value& v, const char* key) {
    return json_as_uint(json_member(v, key));
}

int json_int(const Json::Value& v, const char* key) {
    return json_as_int(json_member(v, key));
}

uint64_t json_uint64(const Json::Value& v, const char* key) {
    return json_as_uint64(json_member(v, key));
}

bool json_number_equals(const Json::Value& a, uint64_t n) {
    return a.isUInt64() && a.asUInt64() == n;
}
