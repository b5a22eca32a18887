#include "log_format.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/types.h>

namespace {

enum Length { LEN_NONE, LEN_HH, LEN_H, LEN_L, LEN_LL, LEN_Z, LEN_J, LEN_T };

// One conversion as the format spells it.
struct Spec {
    bool left = false;
    bool zero = false;
    bool width_arg = false;
    bool precision_arg = false;
    int width = 0;
    int precision = -1;
    Length length = LEN_NONE;
    char conversion = 0;
};

// Widths and precisions beyond this go to the C library, which handles
// whatever a format may hold.
constexpr int kMaxFieldDigits = 6;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads digits into n; false when there are too many to be a sane field.
bool read_number(const char*& p, int& n) {
    n = 0;
    int digits = 0;
    while (is_digit(*p)) {
        if (++digits > kMaxFieldDigits) return false;
        n = n * 10 + (*p++ - '0');
    }
    return true;
}

// Reads the conversion after a '%' (p points past it); false when it is one
// this formatter leaves to the C library.
bool read_spec(const char*& p, Spec& s) {
    for (;; ++p) {
        if (*p == '-') {
            s.left = true;
        } else if (*p == '0') {
            s.zero = true;
        } else {
            break;
        }
    }
    if (*p == '*') {
        s.width_arg = true;
        ++p;
    } else if (!read_number(p, s.width)) {
        return false;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            s.precision_arg = true;
            ++p;
        } else if (!read_number(p, s.precision)) {
            return false;
        }
    }
    switch (*p) {
    case 'h':
        s.length = p[1] == 'h' ? LEN_HH : LEN_H;
        p += s.length == LEN_HH ? 2 : 1;
        break;
    case 'l':
        s.length = p[1] == 'l' ? LEN_LL : LEN_L;
        p += s.length == LEN_LL ? 2 : 1;
        break;
    case 'z': s.length = LEN_Z; ++p; break;
    case 'j': s.length = LEN_J; ++p; break;
    case 't': s.length = LEN_T; ++p; break;
    default: break;
    }
    s.conversion = *p++;
    switch (s.conversion) {
    case 'd': case 'i': case 'u': case 'x': case 'X':
        // Zero-extended digits under a precision are left to the C library.
        return s.precision < 0 && !s.precision_arg;
    case 's': case 'c':
        return s.length == LEN_NONE && !s.zero;
    case '%':
        return s.length == LEN_NONE && !s.left && !s.zero && !s.width_arg && !s.precision_arg && s.width == 0 &&
               s.precision < 0;
    default:
        return false;
    }
}

// The output so far: bytes past the room are counted, not written.
struct Out {
    char* buf;
    size_t room;  // bytes that may be written before the NUL
    size_t total = 0;

    void put(char c) {
        if (total < room) buf[total] = c;
        ++total;
    }
    void put(const char* s, size_t n) {
        if (total < room) memcpy(buf + total, s, n < room - total ? n : room - total);
        total += n;
    }
    void pad(char c, int n) {
        if (n <= 0) return;
        if (total < room) memset(buf + total, c, size_t(n) < room - total ? size_t(n) : room - total);
        total += size_t(n);
    }
};

void put_field(Out& out, const Spec& s, const char* text, size_t n) {
    const int fill = s.width > static_cast<int>(n) ? s.width - static_cast<int>(n) : 0;
    if (!s.left) out.pad(' ', fill);
    out.put(text, n);
    if (s.left) out.pad(' ', fill);
}

void put_integer(Out& out, const Spec& s, bool negative, uintmax_t magnitude) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    if (s.conversion == 'x' || s.conversion == 'X') {
        const char* hex = s.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            *--p = hex[magnitude & 0xF];
            magnitude >>= 4;
        } while (magnitude != 0);
    } else {
        // Two digits a step: every line starts with a 13-digit time stamp.
        static const char kPairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        while (magnitude >= 100) {
            const unsigned pair = static_cast<unsigned>(magnitude % 100) * 2;
            magnitude /= 100;
            *--p = kPairs[pair + 1];
            *--p = kPairs[pair];
        }
        if (magnitude >= 10) {
            const unsigned pair = static_cast<unsigned>(magnitude) * 2;
            *--p = kPairs[pair + 1];
            *--p = kPairs[pair];
        } else {
            *--p = static_cast<char>('0' + magnitude);
        }
    }
    const int n = static_cast<int>(end - p) + (negative ? 1 : 0);
    const int fill = s.width > n ? s.width - n : 0;
    if (s.left) {
        if (negative) out.put('-');
        out.put(p, end - p);
        out.pad(' ', fill);
    } else if (s.zero) {
        if (negative) out.put('-');
        out.pad('0', fill);
        out.put(p, end - p);
    } else {
        out.pad(' ', fill);
        if (negative) out.put('-');
        out.put(p, end - p);
    }
}

intmax_t signed_arg(Length length, va_list& args) {
    switch (length) {
    case LEN_HH: return static_cast<signed char>(va_arg(args, int));
    case LEN_H: return static_cast<short>(va_arg(args, int));
    case LEN_L: return va_arg(args, long);
    case LEN_LL: return va_arg(args, long long);
    case LEN_Z: return va_arg(args, ssize_t);
    case LEN_J: return va_arg(args, intmax_t);
    case LEN_T: return va_arg(args, ptrdiff_t);
    default: return va_arg(args, int);
    }
}

uintmax_t unsigned_arg(Length length, va_list& args) {
    switch (length) {
    case LEN_HH: return static_cast<unsigned char>(va_arg(args, unsigned));
    case LEN_H: return static_cast<unsigned short>(va_arg(args, unsigned));
    case LEN_L: return va_arg(args, unsigned long);
    case LEN_LL: return va_arg(args, unsigned long long);
    case LEN_Z: return va_arg(args, size_t);
    case LEN_J: return va_arg(args, uintmax_t);
    case LEN_T: return static_cast<uintmax_t>(va_arg(args, ptrdiff_t));
    default: return va_arg(args, unsigned);
    }
}

void put_conversion(Out& out, Spec& s, va_list& args) {
    if (s.width_arg) {
        s.width = va_arg(args, int);
        if (s.width < 0) {
            s.left = true;
            s.width = s.width == INT_MIN ? 0 : -s.width;
        }
    }
    if (s.precision_arg) s.precision = va_arg(args, int);
    switch (s.conversion) {
    case 'd':
    case 'i': {
        const intmax_t v = signed_arg(s.length, args);
        put_integer(out, s, v < 0, v < 0 ? uintmax_t(0) - static_cast<uintmax_t>(v) : static_cast<uintmax_t>(v));
        break;
    }
    case 'u':
    case 'x':
    case 'X': put_integer(out, s, false, unsigned_arg(s.length, args)); break;
    case 'c': {
        const char c = static_cast<char>(static_cast<unsigned char>(va_arg(args, int)));
        put_field(out, s, &c, 1);
        break;
    }
    case 's': {
        const char* text = va_arg(args, const char*);
        // The C library's words for a null text, cut like any other.
        if (text == nullptr) text = s.precision < 0 || s.precision >= 6 ? "(null)" : "";
        const size_t n = s.precision < 0 ? strlen(text) : strnlen(text, static_cast<size_t>(s.precision));
        put_field(out, s, text, n);
        break;
    }
    default: out.put('%'); break;
    }
}

}  // namespace

int log_format(char* out, size_t size, const char* format, va_list args) {
    Out o{out, size - 1};
    // The arguments are read from a copy, so that a conversion met half-way
    // that is not written here can still hand the untouched ones over.
    va_list ap;
    va_copy(ap, args);
    for (const char* p = format;;) {
        const char* percent = strchr(p, '%');
        const size_t literal = percent ? static_cast<size_t>(percent - p) : strlen(p);
        o.put(p, literal);
        if (!percent) break;
        p = percent + 1;
        Spec s;
        if (!read_spec(p, s)) {
            va_end(ap);
            return vsnprintf(out, size, format, args);
        }
        put_conversion(o, s, ap);
    }
    va_end(ap);
    out[o.total < o.room ? o.total : o.room] = 0;
    return o.total > INT_MAX ? -1 : static_cast<int>(o.total);
}
