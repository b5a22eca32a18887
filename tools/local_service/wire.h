#pragma once

// The service's own wire code: zlib streams, line frames and blank-separated
// fields. It shares nothing with the library, so the two sides check each other.

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

namespace local_service {

constexpr uint8_t kFrameCompressed = 0x01;
constexpr uint8_t kFrameBatch = 0x02;
// Marks a frame written by a line peer; receivers ignore it, so a plain frame
// never carries the flags byte 0, which would mean "the connection's flag".
constexpr uint8_t kFramePeer = 0x80;
constexpr uint32_t kMaxFrameLength = (1u << 24) - 1;
constexpr size_t kMaxInflated = 4u << 20;

// The zlib stream of data; "" when zlib refuses.
std::string deflate_bytes(const std::string& data);
// Inflates one zlib stream of at most max_out bytes; false when it does not.
bool inflate_bytes(const std::string& data, size_t max_out, std::string* out);

// One frame around text: deflated with flags 0x01 when compressed, else plain with 0x80.
std::string encode_frame(const std::string& text, bool compressed);

// Cuts a client's byte stream into texts. Once a frame breaks the rules the
// reader stays failed and takes nothing more.
class FrameReader {
public:
    // Appends bytes; returns the texts of every frame now complete, in order.
    std::vector<std::string> feed(const std::string& bytes);
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }
    // Bit 0 of the last frame's flags: whether the client compresses.
    bool last_compressed() const { return m_last_compressed; }
    size_t buffered() const { return m_buf.size(); }

private:
    void cut(uint8_t flags, std::string body, int depth, std::vector<std::string>* out);

    std::string m_buf;
    std::string m_error;
    bool m_last_compressed = false;
    size_t m_inflate_budget = kMaxInflated;
};

// Splits at single blanks at most maxsplit times; the last field keeps its blanks.
std::vector<std::string> split_fields(const std::string& text, size_t maxsplit);
// Field i of the split, "" when the text does not reach it.
std::string field(const std::vector<std::string>& fields, size_t i);
bool starts_with(const std::string& text, const std::string& prefix);

// Compact JSON without a trailing newline.
std::string to_json(const Json::Value& v);
// Parses text as a JSON object; null unless it is one.
Json::Value parse_object(const std::string& text);
// A member read as text when it is a string, number or boolean; "" otherwise.
std::string text_member(const Json::Value& obj, const char* key);
// A member read as an unsigned 32-bit number; 0 when absent or of another type.
uint32_t uint_member(const Json::Value& obj, const char* key);
// At most n bytes of text, for log lines.
std::string head(const std::string& text, size_t n = 100);

}  // namespace local_service
