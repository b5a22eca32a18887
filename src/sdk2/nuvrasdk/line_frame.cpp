#include "line_frame.h"

#include "log.h"
#include "loop.h"
#include "zlib_helpers.h"

int line_frame_build(const std::string& text, uint32_t flag, mynet::ByteBuffer& frame) {
    std::string deflated;
    const bool compressed = (flag & kLineFlagCompressed) != 0;
    if (compressed) {
        // The compressor refuses such a text too, but its refusal would not say why.
        if (text.size() > kZlibCompressMaxInput) return LINE_FRAME_TOO_LONG;
        deflated = zlib_compress(text);
        if (deflated.empty()) return LINE_FRAME_COMPRESS_FAILED;
    }
    const std::string& body = compressed ? deflated : text;
    if (body.size() > kLineFrameMaxLength - kLineFrameHeader) return LINE_FRAME_TOO_LONG;
    const uint32_t length = static_cast<uint32_t>(body.size()) + kLineFrameHeader;
    // Only the flags byte: bits above it would run into the length.
    const uint32_t flags = ((flag & ~kLineFlagBatch) | kLineFlagOurs) & 0xFF;
    auto out = std::make_shared<mynet::_ByteBuffer>(static_cast<int>(length));
    out->putInt(flags << 24 | length);
    out->put(body);
    out->flip();
    frame = std::move(out);
    return LINE_FRAME_BUILT;
}

namespace {

uint32_t read_be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return uint32_t{u[0]} << 24 | uint32_t{u[1]} << 16 | uint32_t{u[2]} << 8 | uint32_t{u[3]};
}

// One cut over a received buffer; batches are cut from their bodies in place,
// so nothing is copied but the messages themselves.
struct FrameCutter {
    uint32_t conn_flag;
    const std::string& tag;
    std::list<std::string>& msgs;
    size_t inflate_left = kLineInflateBudget;
    // Set once a body was refused for the budget; a budget spent exactly
    // still lets bodies that inflate to nothing through.
    bool budget_refused = false;

    // `taken`: the bytes of the buffer (or batch body) cut so far.
    int undecodable(uint32_t length, size_t taken) {
        PlatLog2(kLogError, kLogPlatform, "%llu : %-15s decode packet error size=%d, packet.size()=%d",
                 mynet::log_time(), tag.c_str(), static_cast<int>(length), static_cast<int>(taken));
        return -1;
    }

    // Cuts the complete frames of p[0, n); *used receives the bytes they span.
    int cut(const char* p, size_t n, int depth, size_t* used) {
        size_t pos = 0;
        int result = 0;
        while (n - pos >= kLineFrameHeader) {
            const uint32_t header = read_be32(p + pos);
            uint32_t flags = header >> 24;
            const uint32_t length = header & kLineFrameMaxLength;
            if (n - pos < length) break;
            if (length < kLineFrameHeader) {
                result = undecodable(length, pos);
                break;
            }
            const char* body = p + pos + kLineFrameHeader;
            const size_t body_size = length - kLineFrameHeader;
            pos += length;
            if (flags == 0) flags = conn_flag;
            if ((flags & kLineFlagBatch) && depth >= kLineBatchDepthMax) {
                result = undecodable(length, pos);
                break;
            }
            if (flags & kLineFlagCompressed) {
                // A refused body has cost its inflation too: after it,
                // nothing more of this cut is inflated.
                if (budget_refused) {
                    result = undecodable(length, pos);
                    break;
                }
                std::string inflated = zlib_uncompress(std::string(body, body_size), static_cast<int>(kLineInflateMax));
                if (inflated.size() > inflate_left) {
                    budget_refused = true;
                    result = undecodable(length, pos);
                    break;
                }
                inflate_left -= inflated.size();
                take(flags, inflated.data(), inflated.size(), depth, &inflated);
            } else {
                take(flags, body, body_size, depth, nullptr);
            }
        }
        *used = pos;
        return result;
    }

    // A batch's inner result is not used: a bad inner frame drops only the
    // rest of its batch.
    void take(uint32_t flags, const char* body, size_t size, int depth, std::string* owned) {
        if (flags & kLineFlagBatch) {
            size_t ignored = 0;
            cut(body, size, depth + 1, &ignored);
        } else if (owned) {
            msgs.push_back(std::move(*owned));
        } else {
            msgs.emplace_back(body, size);
        }
    }
};

}  // namespace

int line_frame_cut(mynet::_ByteBuffer& in, uint32_t conn_flag, const std::string& tag, std::list<std::string>& msgs) {
    FrameCutter cutter{conn_flag, tag, msgs};
    size_t used = 0;
    int result = cutter.cut(in.data(), in.remaining(), 0, &used);
    in.m_position += static_cast<uint32_t>(used);
    return result;
}
