#include "json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cstring>

namespace {

// Everything writes into one Text, which stops taking more once it holds
// `limit` bytes: what it then holds is the head of the whole text.
struct Text {
    std::string& out;
    size_t limit;

    bool full() const { return out.size() >= limit; }
};

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void write_string(Text& text, const char* begin, const char* end) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string& out = text.out;
    out += '"';
    const char* p = begin;
    while (p != end && !text.full()) {
        // A run that needs no escaping goes in at once, cut at the limit.
        const char* run = p;
        while (p != end && !needs_escape(static_cast<unsigned char>(*p))) ++p;
        if (p != run) {
            const size_t room = text.limit - out.size();
            const size_t n = static_cast<size_t>(p - run);
            out.append(run, n < room ? n : room);
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(*p++);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
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

// The common answer, one flat object of texts without escapes, integers,
// booleans and nulls, read without the general reader's set-up. Whatever
// else the text holds (escapes, fractions, containers, comments, anything
// after the object) makes it give up, false, and the general reader decide;
// what it does read comes out exactly as that reader would make it.
class FlatObject {
public:
    FlatObject(const char* begin, const char* end) : p_(begin), end_(end) {}

    bool read(Json::Value& out) {
        Json::Value object(Json::objectValue);
        skip_spaces();
        if (!take('{')) return false;
        skip_spaces();
        if (take('}')) return rest_is_space(object, out);
        for (;;) {
            const char* key = nullptr;
            size_t key_size = 0;
            if (!take('"') || !read_text(key, key_size)) return false;
            skip_spaces();
            if (!take(':')) return false;
            skip_spaces();
            if (!read_value(object[std::string(key, key_size)])) return false;
            skip_spaces();
            if (take('}')) return rest_is_space(object, out);
            if (!take(',')) return false;
            skip_spaces();
        }
    }

private:
    bool take(char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    void skip_spaces() {
        while (p_ != end_ && is_reader_space(*p_)) ++p_;
    }
    bool rest_is_space(Json::Value& object, Json::Value& out) {
        skip_spaces();
        if (p_ != end_) return false;
        out.swap(object);
        return true;
    }
    // After the opening quote: the bytes up to the closing one.
    bool read_text(const char*& text, size_t& size) {
        text = p_;
        while (p_ != end_ && *p_ != '"') {
            if (*p_ == '\\') return false;
            ++p_;
        }
        if (p_ == end_) return false;
        size = static_cast<size_t>(p_ - text);
        ++p_;
        return true;
    }
    bool word(const char* w, size_t n) {
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
        p_ += n;
        return true;
    }
    bool read_value(Json::Value& v) {
        if (p_ == end_) return false;
        switch (*p_) {
        case '"': {
            ++p_;
            const char* text = nullptr;
            size_t size = 0;
            if (!read_text(text, size)) return false;
            v = Json::Value(text, text + size);
            return true;
        }
        case 't': v = true; return word("true", 4);
        case 'f': v = false; return word("false", 5);
        case 'n': v = Json::Value(); return word("null", 4);
        default: return read_integer(v);
        }
    }
    // Digits only; the overflow rule is the general reader's, and a number
    // it would read as a real is left to it.
    bool read_integer(Json::Value& v) {
        const bool negative = p_ != end_ && *p_ == '-';
        if (negative) ++p_;
        const char* digits = p_;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        if (p_ == digits || (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E'))) return false;
        const Json::LargestUInt max = negative ? Json::LargestUInt(Json::Value::maxLargestInt) + 1
                                               : Json::Value::maxLargestUInt;
        const Json::LargestUInt threshold = max / 10;
        Json::LargestUInt value = 0;
        for (const char* d = digits; d != p_; ++d) {
            const auto digit = static_cast<Json::LargestUInt>(*d - '0');
            if (value >= threshold && (value > threshold || d + 1 != p_ || digit > max % 10)) return false;
            value = value * 10 + digit;
        }
        if (negative && value == max) {
            v = Json::Value::minLargestInt;
        } else if (negative) {
            v = -Json::LargestInt(value);
        } else if (value <= Json::LargestUInt(Json::Value::maxInt)) {
            v = Json::LargestInt(value);
        } else {
            v = value;
        }
        return true;
    }

    const char* p_;
    const char* end_;
};

}  // namespace

std::string JSON2STRING(const Json::Value& v) {
    std::string out;
    JSON2STRING_append(out, v);
    return out;
}

void JSON2STRING_append(std::string& out, const Json::Value& v) {
    Text text{out, std::string::npos};
    write_value(text, v);
}

void json_append_string(std::string& out, const std::string& s) {
    Text text{out, std::string::npos};
    write_string(text, s.data(), s.data() + s.size());
}

std::string JSON2STRING_head(const Json::Value& v, size_t max) {
    std::string out;
    Text text{out, max};
    write_value(text, v);
    if (out.size() > max) out.resize(max);
    return out;
}

bool parse_json(const std::string& text, Json::Value& out) {
    out = Json::Value();
    if (FlatObject(text.data(), text.data() + text.size()).read(out)) return true;
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
