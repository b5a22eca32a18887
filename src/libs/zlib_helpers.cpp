#include "zlib_helpers.h"

#include <zlib.h>

#include <memory>

namespace {

constexpr size_t kMaxOutput = 1048576;
constexpr size_t kMaxBound = 0xFFFFF;

// The historical bound of the library these helpers replace; larger than
// zlib's own, so the accepted input sizes stay as they were.
constexpr size_t compress_bound(size_t n) {
    size_t a = 128 + n * 110 / 100;
    size_t b = 128 + n + 5 * (n / 31744 + 1);
    return a > b ? a : b;
}
static_assert(compress_bound(kZlibCompressMaxInput) <= kMaxBound && compress_bound(kZlibCompressMaxInput + 1) > kMaxBound,
              "kZlibCompressMaxInput is the largest input within the bound");

// One scratch area and one pair of streams per thread, reused between calls:
// setting up a deflate stream costs far more than compressing a frame.
struct Codec {
    z_stream deflater{};
    z_stream inflater{};
    bool deflater_ok = false;
    bool inflater_ok = false;
    // One byte beyond the limit tells an over-long stream from a full one.
    std::unique_ptr<unsigned char[]> buf{new unsigned char[kMaxOutput + 1]};

    Codec() {
        deflater_ok = deflateInit(&deflater, 6) == Z_OK;
        inflater_ok = inflateInit(&inflater) == Z_OK;
    }
    ~Codec() {
        if (deflater_ok) deflateEnd(&deflater);
        if (inflater_ok) inflateEnd(&inflater);
    }
};

Codec& codec() {
    thread_local Codec c;
    return c;
}

}  // namespace

std::string zlib_compress(const std::string& in) {
    size_t bound = compress_bound(in.size());
    if (bound > kMaxBound) return "";
    Codec& c = codec();
    if (!c.deflater_ok || deflateReset(&c.deflater) != Z_OK) return "";
    c.deflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    c.deflater.avail_in = static_cast<uInt>(in.size());
    c.deflater.next_out = c.buf.get();
    c.deflater.avail_out = static_cast<uInt>(bound);
    if (deflate(&c.deflater, Z_FINISH) != Z_STREAM_END) return "";
    return std::string(reinterpret_cast<char*>(c.buf.get()), c.deflater.total_out);
}

std::string zlib_uncompress(const std::string& in, int max_size) {
    (void)max_size;
    Codec& c = codec();
    if (!c.inflater_ok || inflateReset(&c.inflater) != Z_OK) return "";
    c.inflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    c.inflater.avail_in = static_cast<uInt>(in.size());
    c.inflater.next_out = c.buf.get();
    c.inflater.avail_out = static_cast<uInt>(kMaxOutput + 1);
    if (inflate(&c.inflater, Z_FINISH) != Z_STREAM_END) return "";
    if (c.inflater.total_out > kMaxOutput) return "";
    return std::string(reinterpret_cast<char*>(c.buf.get()), c.inflater.total_out);
}
