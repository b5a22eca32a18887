#include "zlib_helpers.h"

#include <zlib.h>

#include <cstdint>
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

// Inputs up to this size are deflated with a window that holds them whole
// and a small hash: resetting a stream clears its hash table, which at the
// default sizes costs more than deflating such a text.
constexpr size_t kSmallInputMax = 1024;
constexpr int kSmallWindowBits = 10;
constexpr int kSmallMemLevel = 2;

// One scratch area and the streams per thread, reused between calls:
// setting up a deflate stream costs far more than compressing a frame.
struct Codec {
    z_stream deflater{};
    z_stream small_deflater{};
    z_stream inflater{};
    bool deflater_ok = false;
    bool small_deflater_ok = false;
    bool inflater_ok = false;
    // One byte beyond the limit tells an over-long stream from a full one.
    std::unique_ptr<unsigned char[]> buf{new unsigned char[kMaxOutput + 1]};

    Codec() {
        deflater_ok = deflateInit(&deflater, 6) == Z_OK;
        small_deflater_ok = deflateInit2(&small_deflater, 6, Z_DEFLATED, kSmallWindowBits, kSmallMemLevel,
                                         Z_DEFAULT_STRATEGY) == Z_OK;
        inflater_ok = inflateInit(&inflater) == Z_OK;
    }
    ~Codec() {
        if (deflater_ok) deflateEnd(&deflater);
        if (small_deflater_ok) deflateEnd(&small_deflater);
        if (inflater_ok) inflateEnd(&inflater);
    }
};

Codec& codec() {
    thread_local Codec c;
    return c;
}

// Every deflated block costs a few microseconds of fixed work (its code
// trees are built whatever its size), more than everything else a line frame
// takes, while a text this short saves a few dozen bytes at most: such texts
// go in one stored block, which every inflater reads like any other.
constexpr size_t kStoredMax = 256;

void put_be32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

// A zlib stream of one final stored block: header, block header with the
// length and its complement (little-endian), the bytes, Adler-32.
std::string stored_stream(const std::string& in) {
    const auto len = static_cast<uint16_t>(in.size());
    const auto nlen = static_cast<uint16_t>(~len);
    std::string out;
    out.reserve(in.size() + 11);
    out += '\x78';
    out += '\x01';
    out += '\x01';
    out += static_cast<char>(len & 0xFF);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(nlen & 0xFF);
    out += static_cast<char>(nlen >> 8);
    out += in;
    put_be32(out, static_cast<uint32_t>(
                      adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(in.data()), static_cast<uInt>(in.size()))));
    return out;
}

}  // namespace

std::string zlib_compress(const std::string& in) {
    size_t bound = compress_bound(in.size());
    if (bound > kMaxBound) return "";
    if (in.size() < kStoredMax) return stored_stream(in);
    Codec& c = codec();
    const bool small = in.size() <= kSmallInputMax;
    z_stream& z = small ? c.small_deflater : c.deflater;
    if (!(small ? c.small_deflater_ok : c.deflater_ok) || deflateReset(&z) != Z_OK) return "";
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = c.buf.get();
    z.avail_out = static_cast<uInt>(bound);
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return "";
    return std::string(reinterpret_cast<char*>(c.buf.get()), z.total_out);
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
