#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Compact JSON text of v: no whitespace, no trailing newline, object members
// in ascending byte order of their keys. Strings escape '"', '\\', \b, \f,
// \n, \r and \t with a backslash and every other byte below 0x20 (NUL too)
// as \u00XX with upper-case hex; '/', 0x7F and bytes 0x80-0xFF go out
// unchanged, with no UTF-8 checking. Numbers, null and booleans are written
// exactly as Json::FastWriter writes them (NaN as null, infinities as
// 1e+9999 and -1e+9999).
std::string JSON2STRING(const Json::Value& v);
// The same text appended to out, for messages that carry it after a head.
void JSON2STRING_append(std::string& out, const Json::Value& v);
// The JSON string of s, escaped as JSON2STRING escapes it, appended to out.
void json_append_string(std::string& out, const std::string& s);
// The first max bytes of JSON2STRING(v), without writing the rest: for log
// lines that show only the start of a large value.
std::string JSON2STRING_head(const Json::Value& v, size_t max);

// Reads the first JSON value of text the way Json::Reader::parse does:
// comments allowed, any top-level value, whatever follows the first value
// ignored. Containers nested 1000 deep are refused instead of letting the
// reader throw. On failure out is null.
bool parse_json(const std::string& text, Json::Value& out);

// Readers that never throw, whatever the value holds. A member of anything
// but an object, an element of anything but an array, or a missing one, is
// the null value. A number counts only when it is integral and fits the
// target type (5.0 does, 5.5, true and "5" do not); everything else gives
// the default, 0 or "". Strings keep embedded NUL bytes.
const Json::Value& json_member(const Json::Value& v, const char* key);
const Json::Value& json_index(const Json::Value& arr, unsigned i);

std::string json_as_string(const Json::Value& v);
uint32_t json_as_uint(const Json::Value& v);
int json_as_int(const Json::Value& v);
uint64_t json_as_uint64(const Json::Value& v);

std::string json_string(const Json::Value& v, const char* key);
uint32_t json_uint(const Json::Value& v, const char* key);
int json_int(const Json::Value& v, const char* key);
uint64_t json_uint64(const Json::Value& v, const char* key);

// Whether a is the number n, whichever of int, unsigned or integral real the
// parser chose for it (Json::Value's == also compares the storage type).
bool json_number_equals(const Json::Value& a, uint64_t n);
