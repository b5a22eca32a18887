#pragma once

// The line frame: a 32-bit big-endian header word (flags in bits 31-24, the
// frame length counting the header in bits 23-0) followed by the body.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "byte_buffer.h"

constexpr uint32_t kLineFlagCompressed = 0x01;  // the body is a zlib stream
constexpr uint32_t kLineFlagBatch = 0x02;       // the body is a sequence of frames
constexpr uint32_t kLineFlagOurs = 0x80;        // set on every frame this side writes
constexpr uint32_t kLineFrameHeader = 4;
constexpr uint32_t kLineFrameMaxLength = 0xFFFFFF;
constexpr size_t kLineInflateMax = 1048576;

// The server decides how deep batches nest and how much its bodies inflate
// to, so both are capped: a batch inside this many batches, or a body that
// would inflate past the budget of one cut, is an undecodable frame, and so
// is every compressed body after it in that cut, inside batches too.
constexpr int kLineBatchDepthMax = 8;
constexpr size_t kLineInflateBudget = 8 * kLineInflateMax;

enum LineFrameBuild {
    LINE_FRAME_BUILT = 0,
    LINE_FRAME_COMPRESS_FAILED = -1,
    LINE_FRAME_TOO_LONG = -2,
};

// The frame carrying text as this side sends it under the connection flags
// `flag`: deflated when bit 0 is set, flags byte `flag` without the batch
// bit and with bit 7. On success `frame` is one flipped buffer of exactly
// the frame's size; otherwise it is left as it was. Too long: a body past
// the 24-bit length, or a text to deflate past what the compressor takes.
int line_frame_build(const std::string& text, uint32_t flag, mynet::ByteBuffer& frame);

// Cuts every complete frame from `in` (read mode) and appends its messages to
// `msgs`; an incomplete frame stays in `in` from its first byte. A flags byte
// of 0 stands for `conn_flag`. Returns 0, or -1 after an undecodable frame
// (logged with `tag`), in which case the caller must drop the connection.
int line_frame_cut(mynet::_ByteBuffer& in, uint32_t conn_flag, const std::string& tag, std::list<std::string>& msgs);
