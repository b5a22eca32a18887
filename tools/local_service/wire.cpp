#include "wire.h"

#include <zlib.h>

#include <memory>

namespace local_service {

namespace {
constexpr int kMaxBatchDepth = 4;
}

std::string deflate_bytes(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()),
                  data.size(), Z_DEFAULT_COMPRESSION) != Z_OK) {
        return "";
    }
    out.resize(size);
    return out;
}

bool inflate_bytes(const std::string& data, size_t max_out, std::string* out) {
    out->clear();
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    char chunk[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out->append(chunk, sizeof chunk - zs.avail_out);
        if (out->size() > max_out) rc = Z_MEM_ERROR;
        else if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) rc = Z_DATA_ERROR;  // truncated stream
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) out->clear();
    return rc == Z_STREAM_END;
}

std::string encode_frame(const std::string& text, bool compressed) {
    std::string body = compressed ? deflate_bytes(text) : text;
    uint32_t length = static_cast<uint32_t>(body.size() + 4);
    uint8_t flags = compressed ? kFrameCompressed : kFramePeer;
    std::string frame;
    frame.reserve(length);
    frame.push_back(static_cast<char>(flags));
    frame.push_back(static_cast<char>(length >> 16));
    frame.push_back(static_cast<char>(length >> 8));
    frame.push_back(static_cast<char>(length));
    frame += body;
    return frame;
}

std::vector<std::string> FrameReader::feed(const std::string& bytes) {
    std::vector<std::string> texts;
    if (failed()) return texts;
    m_buf += bytes;
    size_t pos = 0;
    while (m_buf.size() - pos >= 4) {
        const auto* p = reinterpret_cast<const unsigned char*>(m_buf.data() + pos);
        uint8_t flags = p[0];
        uint32_t length = (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        if (length < 4) {
            m_error = "frame length " + std::to_string(length);
            m_buf.clear();
            return texts;
        }
        if (m_buf.size() - pos < length) break;
        std::string body = m_buf.substr(pos + 4, length - 4);
        pos += length;
        m_last_compressed = flags & kFrameCompressed;
        m_inflate_budget = kMaxInflated;
        cut(flags, body, 0, &texts);
    }
    m_buf.erase(0, pos);
    return texts;
}

void FrameReader::cut(uint8_t flags, std::string body, int depth, std::vector<std::string>* out) {
    if (flags & kFrameCompressed) {
        std::string inflated;
        // One frame inflates to at most kMaxInflated bytes in all, batches included.
        if (!inflate_bytes(body, m_inflate_budget, &inflated)) {
            // An undecodable body is a text nobody understands, not a broken stream.
            out->push_back("");
            return;
        }
        m_inflate_budget -= inflated.size();
        body.swap(inflated);
    }
    if (!(flags & kFrameBatch)) {
        out->push_back(body);
        return;
    }
    // Batches nest only as deep as a client could mean them; deeper ones are dropped.
    if (depth >= kMaxBatchDepth) return;
    size_t pos = 0;
    while (body.size() - pos >= 4) {
        const auto* p = reinterpret_cast<const unsigned char*>(body.data() + pos);
        uint32_t length = (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        if (length < 4 || body.size() - pos < length) return;  // drops the rest of this batch only
        cut(p[0], body.substr(pos + 4, length - 4), depth + 1, out);
        pos += length;
    }
}

std::vector<std::string> split_fields(const std::string& text, size_t maxsplit) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() < maxsplit) {
        size_t blank = text.find(' ', start);
        if (blank == std::string::npos) break;
        fields.push_back(text.substr(start, blank - start));
        start = blank + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::string field(const std::vector<std::string>& fields, size_t i) { return i < fields.size() ? fields[i] : ""; }

bool starts_with(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

std::string to_json(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, v);
}

Json::Value parse_object(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors) || !v.isObject()) return Json::Value();
    return v;
}

std::string text_member(const Json::Value& obj, const char* key) {
    if (!obj.isObject()) return "";
    const Json::Value& v = obj[key];
    if (v.isString()) return v.asString();
    if (v.isBool() || v.isNumeric()) return to_json(v);
    return "";
}

uint32_t uint_member(const Json::Value& obj, const char* key) {
    if (!obj.isObject()) return 0;
    const Json::Value& v = obj[key];
    return v.isUInt() ? v.asUInt() : 0;
}

std::string head(const std::string& text, size_t n) { return text.size() <= n ? text : text.substr(0, n) + "..."; }

}  // namespace local_service
