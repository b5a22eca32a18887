#pragma once

#include <cstdarg>
#include <cstddef>

// Formats like vsnprintf(out, size, format, args) and returns the bytes
// written (not counting the terminating NUL, which is always written), or -1
// when vsnprintf fails. The conversions log lines use (d i u x X c s %, the
// flags '-' and '0', a width and a precision, '*' for either, and the length
// modifiers hh h l ll z j t) are written here directly, without the set-up
// cost of the C library's formatter; a format with anything else goes to
// vsnprintf whole, so the text is the same either way. size must be > 0.
int log_format(char* out, size_t size, const char* format, va_list args);
