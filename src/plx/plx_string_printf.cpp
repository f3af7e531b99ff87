/* The printf engine of the string module (package 0x05) and its front ends. The engine
 * appends formatted text to an accumulator (plx_string_accum.cpp); its conversion set is our
 * own (see s_fmtinfo) and floats are formatted by our own digit generator, so output is
 * identical on every platform. A formatting append that cannot grow the text logs 0x90050002,
 * returns 0 and leaves the text as it was. The bounded front ends write straight into the
 * caller's buffer and never allocate, except for a float conversion longer than the 350-byte
 * work buffer. */
#include "plx/plx_string_printf.h"

#include <stdarg.h>

namespace {

using Accum = plx_string_accum_s;
using plx::accum_grow;

constexpr const char *kSource = "plx_string_printf";

/* ---- conversion table --------------------------------------------------------------------- */

enum Kind : uint8_t {
    kInteger,  /* d i h u o x X b */
    kPointer,  /* p: an integer of pointer width */
    kString,   /* s */
    kWord,     /* w: the first blank-separated word of a string */
    kChar,     /* c: a code point */
    kFixed,    /* f */
    kExp,      /* e E */
    kGeneral,  /* g G */
    kPercent,  /* %% */
};

/* One conversion letter and how it is formatted. */
struct FmtInfo {
    char letter;
    uint8_t radix;      /* integer kinds: 2, 8, 10 or 16 */
    uint8_t is_signed;  /* 1: a negative argument is possible and '+' and ' ' apply */
    uint8_t kind;       /* Kind */
    uint8_t charset;  /* offset in s_aDigits: the digit set, or the exponent letter of floats */
    uint8_t prefix;   /* offset in s_aPrefix of the '#' prefix, 0 for none */
};

constexpr FmtInfo s_fmtinfo[] = {
    {'d', 10, 1, kInteger, 0, 0}, {'s', 0, 0, kString, 0, 0},   {'w', 0, 0, kWord, 0, 0},
    {'g', 0, 1, kGeneral, 30, 0}, {'c', 0, 0, kChar, 0, 0},     {'o', 8, 0, kInteger, 0, 2},
    {'u', 10, 0, kInteger, 0, 0}, {'x', 16, 0, kInteger, 16, 1}, {'X', 16, 0, kInteger, 0, 4},
    {'h', 10, 1, kInteger, 0, 0}, {'b', 2, 0, kInteger, 0, 0},  {'f', 0, 1, kFixed, 0, 0},
    {'e', 0, 1, kExp, 30, 0},     {'E', 0, 1, kExp, 14, 0},     {'G', 0, 1, kGeneral, 14, 0},
    {'i', 10, 1, kInteger, 0, 0}, {'%', 0, 0, kPercent, 0, 0},  {'p', 16, 0, kPointer, 0, 1},
};
constexpr uint8_t kNoRow = 0xFF;

/* Row of s_fmtinfo for each ASCII letter, so that a conversion costs one load. */
struct LetterIndex {
    uint8_t row[128];
};
constexpr LetterIndex make_letter_index() {
    LetterIndex ix{};
    for (uint8_t &r : ix.row) r = kNoRow;
    for (uint8_t i = 0; i < sizeof(s_fmtinfo) / sizeof(s_fmtinfo[0]); ++i)
        ix.row[static_cast<uint8_t>(s_fmtinfo[i].letter)] = i;
    return ix;
}
constexpr LetterIndex s_letters = make_letter_index();

constexpr char s_aDigits[] = "0123456789ABCDEF0123456789abcdef";
/* Prefixes are laid down in front of the digits one byte at a time, hence stored reversed. */
constexpr char s_aPrefix[] = "-x0\0X0";
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr uint32_t kWorkSize = 350;        /* one conversion's text */
constexpr uint32_t kMaxNumericWidth = 340;
constexpr uint32_t kMaxPrecision = 310;    /* non-string conversions */
constexpr int kMaxFloatPrecision = 165;
constexpr int kFloatDigits = 16;           /* significant digits a double carries */
constexpr int kMaxExponent = 350;
constexpr uint32_t kFrontEndBlock = 300;   /* stack block of the allocating front ends */

/* ---- output ------------------------------------------------------------------------------ */

/* Where the engine's text goes: an accumulator that grows, or (bounded) a caller's buffer of
 * fixed size whose excess is only counted. Lives for one formatting call. */
struct Sink {
    Accum *a;
    bool bounded = false;
    uint32_t overflow = 0;  /* bounded: bytes of text counted but not stored (saturating) */
    uint32_t error = 0;     /* the first growth failure; every later piece is then dropped, so
                               a formatted text is never stored with a piece missing inside */
};

/* Out-of-line half of put(): growth, the bounded cut, and the call's error. */
[[gnu::noinline]] void put_slow(Sink &out, const char *p, uint32_t n, int fill) {
    if (out.error) return;
    Accum *a = out.a;
    if (out.bounded) {
        uint32_t room = a->capacity - 1 - a->length;
        uint32_t stored = n < room ? n : room;
        if (fill < 0) memcpy(a->buffer + a->length, p, stored);
        else memset(a->buffer + a->length, fill, stored);
        a->length += stored;
        uint32_t rest = n - stored;
        out.overflow = rest > 0xFFFFFFFEu - out.overflow ? 0xFFFFFFFEu : out.overflow + rest;
        return;
    }
    if (uint32_t code = accum_grow(a, n)) {
        out.error = code;
        return;
    }
    if (fill < 0) memcpy(a->buffer + a->length, p, n);
    else memset(a->buffer + a->length, fill, n);
    a->length += n;
}

/* Appends n bytes without terminating: the engine terminates once at the end. */
inline void put(Sink &out, const char *p, uint32_t n) {
    Accum *a = out.a;
    if (n < a->capacity - a->length && !out.error) {
        memcpy(a->buffer + a->length, p, n);
        a->length += n;
    } else if (n) {
        put_slow(out, p, n, -1);
    }
}

/* Padding spaces are appended from a fixed run of this many, so a text that has to grow for
 * them grows piece by piece, whole pieces first, as the appends of that run would. */
constexpr uint32_t kSpacePiece = 29;

/* Appends n copies of one byte: spaces in pieces of at most kSpacePiece, any other byte (the
 * repeated character of %c) in one piece. */
inline void put_fill(Sink &out, char byte, uint32_t n) {
    Accum *a = out.a;
    if (n < a->capacity - a->length && !out.error) {
        memset(a->buffer + a->length, byte, n);
        a->length += n;
        return;
    }
    if (byte == ' ')
        for (; n >= kSpacePiece; n -= kSpacePiece) put_slow(out, nullptr, kSpacePiece, ' ');
    if (n) put_slow(out, nullptr, n, static_cast<uint8_t>(byte));
}

/* Text, then spaces up to `width` on the justified side. */
inline void put_padded(Sink &out, const char *text, uint32_t len, uint32_t width, bool left) {
    uint32_t pad = width > len ? width - len : 0;
    if (!left) put_fill(out, ' ', pad);
    put(out, text, len);
    if (left) put_fill(out, ' ', pad);
}

/* ---- one directive ----------------------------------------------------------------------- */

enum Length : uint8_t { kLenInt, kLenLong, kLenLongLong, kLenShort, kLenChar };

/* What one '%' directive asked for. */
struct Directive {
    uint32_t width = 0;        /* minimum bytes; capped for numbers when used */
    int32_t precision = -1;    /* -1: not given */
    bool left = false;         /* '-' */
    bool plus = false;         /* '+' */
    bool space = false;        /* ' ' */
    bool alt = false;          /* '#' */
    bool alt2 = false;         /* '!' */
    bool zero = false;         /* '0' */
    bool width_from_star = false;  /* '*': the width also limits s and w */
    uint8_t length = kLenInt;      /* Length */
};

/* Digits of an unsigned magnitude, laid down backwards ending at `end`; at least one digit. */
char *put_digits(char *end, uint64_t v, const FmtInfo &info) {
    char *p = end;
    switch (info.radix) {
    case 10:
        /* 64-bit division is a library call on 32-bit targets: leave it as soon as possible */
        while (v > 0xFFFFFFFFu) {
            uint64_t q = v / 10;
            *--p = static_cast<char>('0' + (v - q * 10));
            v = q;
        }
        {
            uint32_t w = static_cast<uint32_t>(v);
            while (w >= 100) {
                uint32_t q = w / 100;
                p -= 2;
                memcpy(p, &kPairs[(w - q * 100) * 2], 2);
                w = q;
            }
            if (w >= 10) {
                p -= 2;
                memcpy(p, &kPairs[w * 2], 2);
            } else {
                *--p = static_cast<char>('0' + w);
            }
        }
        break;
    default: {
        const uint32_t shift = info.radix == 16 ? 4 : info.radix == 8 ? 3 : 1;
        const uint32_t mask = info.radix - 1u;
        const char *digits = &s_aDigits[info.charset];
        do {
            *--p = digits[v & mask];
            v >>= shift;
        } while (v);
        break;
    }
    }
    return p;
}

/* Text of an integer conversion, built backwards into work[0..kWorkSize). */
void format_integer(Sink &out, const Directive &d, const FmtInfo &info, uint64_t magnitude,
                    bool negative, char *work) {
    uint32_t width = d.width > kMaxNumericWidth ? kMaxNumericWidth : d.width;
    char sign = 0;
    if (info.is_signed) sign = negative ? '-' : d.plus ? '+' : d.space ? ' ' : 0;
    if (d.length == kLenShort) magnitude &= 0xFFFFu;
    else if (d.length == kLenChar) magnitude &= 0xFFu;
    bool alt = d.alt && magnitude != 0;
    uint32_t precision = d.precision < 0 ? 0 : static_cast<uint32_t>(d.precision);
    if (d.zero) {
        /* zero padding is a precision that fills the width; the '#' prefix is not counted */
        uint32_t fill = width - (sign && width ? 1 : 0);
        if (fill > precision) precision = fill;
    }
    char *end = work + kWorkSize;
    char *p = put_digits(end, magnitude, info);
    char *lowest = end - precision;
    while (p > lowest) *--p = '0';
    if (sign) *--p = sign;
    if (alt && info.prefix)
        for (const char *pre = &s_aPrefix[info.prefix]; *pre; ++pre) *--p = *pre;
    put_padded(out, p, static_cast<uint32_t>(end - p), width, d.left);
}

/* Text of a float conversion (f, e, E, g, G) of `value`. */
[[gnu::noinline]] void format_float(Sink &out, const Directive &d, const FmtInfo &info,
                                    double value, char *work) {
    uint32_t width = d.width > kMaxNumericWidth ? kMaxNumericWidth : d.width;
    int precision = d.precision < 0 ? 6 : d.precision > kMaxFloatPrecision ? kMaxFloatPrecision
                                                                           : d.precision;
    char sign = 0;
    double v = value;
    if (v < 0) {
        v = -v;
        sign = '-';
    } else if (d.plus) {
        sign = '+';
    } else if (d.space) {
        sign = ' ';
    }
    const bool general = info.kind == kGeneral;
    if (general && precision > 0) --precision;
    double rounder = 0.5;
    for (int i = precision; i > 0; --i) rounder *= 0.1;
    if (info.kind == kFixed) v += rounder;
    if (v != v) {
        put_padded(out, "NaN", 3, width, d.left);
        return;
    }
    int exponent = 0;
    if (v > 0.0) {
        /* bring the value into [1, 10); infinity runs the exponent past the limit */
        while (v >= 1e32 && exponent <= kMaxExponent) {
            v *= 1e-32;
            exponent += 32;
        }
        while (v >= 1e8 && exponent <= kMaxExponent) {
            v *= 1e-8;
            exponent += 8;
        }
        while (v >= 10.0 && exponent <= kMaxExponent) {
            v *= 0.1;
            exponent += 1;
        }
        while (v < 1e-8) {
            v *= 1e8;
            exponent -= 8;
        }
        while (v < 1.0) {
            v *= 10.0;
            exponent -= 1;
        }
        if (exponent > kMaxExponent) {
            const char *inf = sign == '-' ? "-Inf" : sign == '+' ? "+Inf" : "Inf";
            put_padded(out, inf, sign == '-' || sign == '+' ? 4 : 3, width, d.left);
            return;
        }
    }
    if (info.kind != kFixed) {
        v += rounder;
        if (v >= 10.0) {
            v *= 0.1;
            exponent += 1;
        }
    }
    bool exp_form = info.kind == kExp;
    bool drop_zeros = false;
    if (general) {
        drop_zeros = !d.alt;
        if (exponent < -4 || exponent > precision) {
            exp_form = true;
        } else {
            precision -= exponent;
        }
    }

    /* Only a fixed form of a large value with a long precision outgrows the work buffer; it is
     * then longer than any width, so it is never padded. */
    uint32_t bound = static_cast<uint32_t>(precision + (exponent > 0 ? exponent : 0) + 12);
    plx::HostPtr<char> heap;
    char *buf = work;
    if (bound > kWorkSize) {
        heap.reset(static_cast<char *>(plx_memory_alloc(bound)));
        if (!heap) {
            if (!out.error) out.error = plx::kStringNoMemory;
            return;
        }
        buf = heap.get();
    }

    int significant = 0;
    auto next_digit = [&]() -> char {
        if (significant >= kFloatDigits) return '0';
        ++significant;
        int digit = static_cast<int>(v);
        v = (v - digit) * 10.0;
        return static_cast<char>('0' + (digit > 9 ? 9 : digit));
    };

    char *p = buf;
    if (sign) *p++ = sign;
    const bool point = precision > 0 || d.alt || d.alt2;
    if (exp_form) {
        *p++ = next_digit();
        if (point) *p++ = '.';
        for (; precision > 0; --precision) *p++ = next_digit();
    } else {
        int e2 = exponent;
        if (e2 < 0) {
            *p++ = '0';
        } else {
            for (; e2 >= 0; --e2) *p++ = next_digit();
        }
        if (point) *p++ = '.';
        /* the places between the point and the first significant digit */
        for (++e2; e2 < 0 && precision > 0; --precision, ++e2) *p++ = '0';
        for (; precision > 0; --precision) *p++ = next_digit();
    }
    if (drop_zeros && point) {
        while (p[-1] == '0') --p;
        if (p[-1] == '.') {
            if (d.alt2) *p++ = '0';
            else --p;
        }
    }
    if (exp_form) {
        int e = exponent;
        *p++ = s_aDigits[info.charset];
        if (e < 0) {
            *p++ = '-';
            e = -e;
        } else {
            *p++ = '+';
        }
        if (e >= 100) {
            *p++ = static_cast<char>('0' + e / 100);
            e %= 100;
        }
        *p++ = static_cast<char>('0' + e / 10);
        *p++ = static_cast<char>('0' + e % 10);
    }
    uint32_t len = static_cast<uint32_t>(p - buf);
    if (d.zero && !d.left && len < width) {
        /* zeros go between the sign and the digits */
        uint32_t pad = width - len;
        uint32_t keep = sign ? 1 : 0;
        memmove(buf + keep + pad, buf + keep, len - keep);
        memset(buf + keep, '0', pad);
        len = width;
    }
    put_padded(out, buf, len, width, d.left);
}

/* s and w: a precision limits the bytes taken; without one, a width given by '*' does. */
[[gnu::noinline]] void format_string(Sink &out, const Directive &d, const FmtInfo &info,
                                     const char *s) {
    if (!s) s = "(null)";
    uint32_t len = 0;
    const uint32_t precision = static_cast<uint32_t>(d.precision);
    if (info.kind == kString) {
        if (d.precision >= 0) len = static_cast<uint32_t>(strnlen(s, precision));
        else if (d.width_from_star) len = static_cast<uint32_t>(strnlen(s, d.width));
        else len = static_cast<uint32_t>(strlen(s));
    } else {
        while (static_cast<uint8_t>(*s - 1) < 32) ++s;  /* skips the bytes 1..32 */
        if (d.precision < 0 && d.width_from_star) {
            len = static_cast<uint32_t>(strnlen(s, d.width));
        } else {
            uint32_t limit = d.precision >= 0 ? precision : 0xFFFFFFFFu;
            while (len < limit && static_cast<uint8_t>(s[len]) > 32) ++len;
        }
    }
    put_padded(out, s, len, d.width, d.left);
}

/* %c: one code point; with a precision, the character repeated that many times. */
[[gnu::noinline]] void format_char(Sink &out, const Directive &d, uint32_t code_point) {
    char enc[8];
    uint32_t n = plx::utf8_encode(code_point, enc);
    uint32_t count = d.precision < 0 ? 1 : static_cast<uint32_t>(d.precision);
    uint32_t len = n * count;
    uint32_t pad = d.width > len ? d.width - len : 0;
    if (!d.left) put_fill(out, ' ', pad);
    if (n == 1) {
        put_fill(out, enc[0], count);
    } else {
        for (uint32_t i = 0; i < count; ++i) put(out, enc, n);
    }
    if (d.left) put_fill(out, ' ', pad);
}

/* Reads a decimal number, saturating rather than wrapping. */
inline uint32_t read_number(const char *&p) {
    uint32_t n = 0;
    while (*p >= '0' && *p <= '9') {
        uint32_t digit = static_cast<uint32_t>(*p++ - '0');
        n = n > (0x7FFFFFFFu - digit) / 10 ? 0x7FFFFFFFu : n * 10 + digit;
    }
    return n;
}

inline uint32_t magnitude_of(int32_t v) {
    return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}

/* The engine proper. `args` is used in place (callers pass their own copy). */
void run_format(Sink &out, const char *format, va_list args) {
    const char *f = format;
    char work[kWorkSize];
    for (;;) {
        /* the literal run up to the next '%', checked for valid UTF-8 as it goes */
        const char *start = f;
        for (;;) {
            uint8_t c = static_cast<uint8_t>(*f);
            if (c == '%' || c == 0) break;
            if (c < 0x80) {
                ++f;
                continue;
            }
            uint32_t n = plx::utf8_sequence_length(reinterpret_cast<const uint8_t *>(f));
            if (n == 0) {
                put(out, start, static_cast<uint32_t>(f - start));
                return;
            }
            f += n;
        }
        put(out, start, static_cast<uint32_t>(f - start));
        if (*f == 0 || out.error) return;
        ++f;  /* the '%' */

        Directive d;
        for (;; ++f) {
            switch (*f) {
            case '-': d.left = true; continue;
            case '+': d.plus = true; continue;
            case ' ': d.space = true; continue;
            case '#': d.alt = true; continue;
            case '!': d.alt2 = true; continue;
            case '0': d.zero = true; continue;
            default: break;
            }
            break;
        }
        if (*f == '*') {
            int32_t w = va_arg(args, int);
            if (w < 0) d.left = true;
            d.width = magnitude_of(w);
            d.width_from_star = true;
            ++f;
        } else {
            d.width = read_number(f);
        }
        if (*f == '.') {
            ++f;
            uint32_t precision;
            if (*f == '*') {
                precision = magnitude_of(va_arg(args, int));
                ++f;
            } else {
                precision = read_number(f);
            }
            d.precision = static_cast<int32_t>(precision > 0x7FFFFFFFu ? 0x7FFFFFFFu : precision);
        }
        if (*f == 'l') {
            ++f;
            if (*f == 'l') {
                d.length = kLenLongLong;
                ++f;
            } else {
                d.length = kLenLong;
            }
        } else if (*f == 'h') {
            ++f;
            if (*f == 'h') {
                d.length = kLenChar;
                ++f;
            } else {
                d.length = kLenShort;
            }
        }

        uint8_t letter = static_cast<uint8_t>(*f);
        if (letter == 0) {  /* the format ended inside a directive */
            put(out, "%", 1);
            return;
        }
        uint8_t row = letter < 0x80 ? s_letters.row[letter] : kNoRow;
        if (row == kNoRow) {
            /* unknown conversion: shown as written, no argument consumed */
            uint32_t n = plx::utf8_sequence_length(reinterpret_cast<const uint8_t *>(f));
            if (n == 0) return;
            work[0] = '%';
            memcpy(work + 1, f, n);
            f += n;
            put_padded(out, work, n + 1, d.width, d.left);
            continue;
        }
        ++f;
        const FmtInfo &info = s_fmtinfo[row];
        if (d.precision > static_cast<int32_t>(kMaxPrecision) && info.kind != kString &&
            info.kind != kWord)
            d.precision = kMaxPrecision;

        switch (info.kind) {
        case kInteger: {
            uint64_t magnitude;
            bool negative = false;
            if (info.is_signed) {
                int64_t v;
                if (d.length == kLenLongLong) v = va_arg(args, long long);
                else if (d.length == kLenLong) v = va_arg(args, long);
                else v = va_arg(args, int);
                negative = v < 0;
                magnitude = negative ? 0u - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            } else if (d.length == kLenLongLong) {
                magnitude = va_arg(args, unsigned long long);
            } else if (d.length == kLenLong) {
                magnitude = va_arg(args, unsigned long);
            } else {
                magnitude = va_arg(args, unsigned int);
            }
            format_integer(out, d, info, magnitude, negative, work);
            break;
        }
        case kPointer:
            format_integer(out, d, info, reinterpret_cast<uintptr_t>(va_arg(args, void *)), false,
                           work);
            break;
        case kFixed:
        case kExp:
        case kGeneral:
            format_float(out, d, info, va_arg(args, double), work);
            break;
        case kString:
        case kWord:
            format_string(out, d, info, va_arg(args, const char *));
            break;
        case kChar:
            format_char(out, d, static_cast<uint32_t>(va_arg(args, int)));
            break;
        default: /* kPercent */
            put_padded(out, "%", 1, d.width, d.left);
            break;
        }
    }
}

/* Runs the engine over a copy of `args` and terminates the text; the sink's error results. A
 * format with any character in it first makes sure the accumulator has a buffer, so that the
 * text is a terminated string even when nothing comes of the format. */
uint32_t format_to(Sink &out, const char *format, va_list args) {
    if (!format) return 0;
    if (*format && !out.bounded) out.error = accum_grow(out.a, 0);
    if (out.error) return out.error;
    va_list copy;
    va_copy(copy, args);
    run_format(out, format, copy);
    va_end(copy);
    plx::accum_terminate(out.a);
    return out.error;
}

/* Formats into a new accumulator over a stack block and hands the text over: the new string,
 * or null on any failure. */
char *format_new_string(const char *format, va_list args) {
    alignas(Accum) char block[kFrontEndBlock];
    Accum *a = plx::accum_place(block, sizeof(block));
    char *text = nullptr;
    if (plx::_plx_string_printf(a, format, args) == 0) plx_string_accum_detach(a, &text, nullptr);
    plx::accum_release(a);
    return text;
}

}  // namespace

namespace plx {

uint32_t _plx_string_printf(plx_string_accum_t *accum, const char *format, va_list args) {
    Sink out{accum};
    return format_to(out, format, args);
}

}  // namespace plx

extern "C" {

/* ---- formatting appends ------------------------------------------------------------------- */

/* Appends formatted text; a null format appends nothing. The result is always 0: formatting
 * into an accumulator is not a point where callers handle failures. When the text cannot grow,
 * it stays as it was before the call (never a formatted text with a piece missing) and the
 * out-of-memory code is logged. */
plx_error_t plx_string_accum_append_format(plx_string_accum_t *accum, const char *format, ...) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    va_list args;
    va_start(args, format);
    uint32_t code = plx_string_accum_append_vformat(accum, format, args);
    va_end(args);
    return code;
}

plx_error_t plx_string_accum_append_vformat(plx_string_accum_t *accum, const char *format,
                                            va_list args) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    uint32_t before = accum->length;
    if (uint32_t code = plx::_plx_string_printf(accum, format, args)) {
        plx::accum_truncate(accum, before);
        plx::log_error(code, kSource, __LINE__);
    }
    return 0;
}

/* ---- front ends -------------------------------------------------------------------------- */

/* Writes the text straight into the caller's buffer (at most size - 1 bytes, cut at a byte,
 * always terminated). Returns the full length + 1, or 0 for an empty text, a null buffer, a
 * size of 0 or a failure. The buffer must not overlap the arguments. */
uint32_t plx_string_vsnprintf(char *buffer, uint32_t size, const char *format, va_list args) {
    if (!buffer || size == 0) return 0;
    Accum a{};
    a.buffer = buffer;
    a.capacity = size;
    buffer[0] = 0;
    Sink out{&a, true};
    if (format_to(out, format, args)) {
        buffer[0] = 0;
        return 0;
    }
    uint32_t total = a.length + out.overflow;
    if (total == 0) return 0;
    return total >= 0xFFFFFFFEu ? 0xFFFFFFFFu : total + 1;
}

uint32_t plx_string_snprintf(char *buffer, uint32_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    uint32_t n = plx_string_vsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

/* A new string holding the text (release with plx_string_free); null for a null format or
 * when memory runs out. Short texts are built on the stack and copied once. */
char *plx_string_vmprintf(const char *format, va_list args) {
    if (!format) return nullptr;
    return format_new_string(format, args);
}

char *plx_string_mprintf(const char *format, ...) {
    if (!format) return nullptr;
    va_list args;
    va_start(args, format);
    char *text = format_new_string(format, args);
    va_end(args);
    return text;
}

}  // extern "C"
