#pragma once

#include <cstddef>
#include <string>

// The longest input zlib_compress accepts.
constexpr size_t kZlibCompressMaxInput = 953134;

// zlib-format (RFC 1950) compression: at level 6, or in one stored block
// for texts too short for deflate to shrink. Inputs over
// kZlibCompressMaxInput bytes are refused. "" is the only failure signal.
std::string zlib_compress(const std::string& in);

// Inflates a complete zlib stream of at most 1048576 bytes of content;
// max_size is not used. "" on any failure.
std::string zlib_uncompress(const std::string& in, int max_size);
