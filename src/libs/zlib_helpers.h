#pragma once

#include <string>

// zlib-format (RFC 1950) compression at level 6. Inputs over 953134 bytes
// are refused. "" is the only failure signal.
std::string zlib_compress(const std::string& in);

// Inflates a complete zlib stream of at most 1048576 bytes of content;
// max_size is not used. "" on any failure.
std::string zlib_uncompress(const std::string& in, int max_size);
