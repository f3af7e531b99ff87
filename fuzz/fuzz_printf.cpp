/* The printf engine over formats built from the fuzzer's bytes: literal runs and conversions
 * with any flags, widths, precisions and lengths, each conversion fed an argument of its type
 * from a fixed pool. Every conversion is checked against a model of the engine's own rules and,
 * where the two agree by definition (integer conversions with the flags both know, %s, %c of
 * ASCII, %%), against the C library; the bounded, allocating and accumulator front ends must
 * all give the same text, truncated or not, also when an allocation fails. */
#include <float.h>
#include <limits.h>
#include <math.h>

#include <vector>

#include "fuzz_common.h"

namespace fuzz_printf {

constexpr int32_t kInts[] = {0,   1,       -1,        7,         42,     -42,   255,   8,
                             257, 0x10001, 0x18000,   32767,     -32768, 40000, -129,  127,
                             128, 100000,  INT32_MAX, INT32_MIN, 0x1A2B, -255,  65535, 9};
constexpr int64_t kLongs[] = {
    0, -1, 1, INT64_MAX, INT64_MIN, 1ll << 32, -(1ll << 40), 1234567890123ll};
constexpr double kDoubles[] = {0.0,       -0.0,
                               1.5,       -1.5,
                               0.0001,    1e-5,
                               12345.678, 1e6,
                               1e5,       3.0,
                               INFINITY,  -INFINITY,
                               NAN,       DBL_MAX,
                               DBL_MIN,   5e-324,
                               1e300,     -1e-300,
                               0.5,       9.9999999,
                               1e32,      123456789012345678.0};
const char *const kStrings[] = {nullptr,
                                "",
                                "abc",
                                "hello world",
                                "  hello world",
                                "x",
                                "h\xc3\xa9llo \xe2\x82\xac",
                                "\t\n tab",
                                "abcdefghijklmnopqrstuvwxyz"};
/* Widths and precisions passed through '*'. */
constexpr int32_t kStars[] = {0,   1,   2,   3,   5,   6,   10,  -1,  -3,
                              -10, 165, 200, 310, 311, 340, 341, 1000};
constexpr int32_t kHugeStars[] = {INT32_MAX, INT32_MIN, 100000};

enum class Kind { Int, Pointer, Float, String, Char, Percent, Unknown };

/* One conversion as generated, with what it consumes. */
struct Conversion {
    char letter = 'd';
    Kind kind = Kind::Int;
    bool minus = false, plus = false, space = false, hash = false, bang = false, zero = false;
    int width_mode = 0;     /* 0 none, 1 digits, 2 '*' */
    int64_t width = 0;      /* digits' value or the '*' argument */
    int precision_mode = 0; /* 0 none, 1 '.', 2 '.' digits, 3 '.*' */
    int64_t precision = 0;
    int length = 0;   /* 0 none, 1 l, 2 ll, 3 h, 4 hh */
    std::string text; /* the conversion as it appears in the format */
    int32_t i = 0;    /* argument by kind */
    int64_t ll = 0;
    double d = 0;
    const char *s = nullptr;
    void *p = nullptr;
    int32_t star_w = 0, star_p = 0;
};

Kind kind_of(char c) {
    switch (c) {
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
        case 'b':
            return Kind::Int;
        case 'p':
            return Kind::Pointer;
        case 'f':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            return Kind::Float;
        case 's':
        case 'w':
            return Kind::String;
        case 'c':
            return Kind::Char;
        case '%':
            return Kind::Percent;
        default:
            return Kind::Unknown;
    }
}

Conversion make_conversion(fz::Reader &r) {
    static constexpr char kLetters[] = "diuoxXbpfeEgGswc%yqkzjtLnmaZ";
    Conversion sp;
    sp.letter = kLetters[r.below(sizeof kLetters - 1)];
    sp.kind = kind_of(sp.letter);
    bool bounded = sp.kind == Kind::Int || sp.kind == Kind::Pointer || sp.kind == Kind::Float;
    sp.text = "%";
    uint8_t flags = r.u8();
    static constexpr char kFlags[] = "-+ #!0";
    bool *const kSet[] = {&sp.minus, &sp.plus, &sp.space, &sp.hash, &sp.bang, &sp.zero};
    for (int f = 0; f < 6; ++f) {
        if (!(flags >> f & 1)) continue;
        sp.text += kFlags[f];
        *kSet[f] = true;
    }
    uint8_t modes = r.u8();
    sp.width_mode = modes % 3;
    if (sp.width_mode == 1) {
        /* Widths of text conversions are not capped: keep them to what fits the buffers. */
        sp.width = r.below(modes & 0x80 && bounded ? 100000 : 400);
        sp.text += std::to_string(sp.width);
    } else if (sp.width_mode == 2) {
        sp.star_w =
            modes & 0x80 && bounded ? kHugeStars[r.below(3)] : kStars[r.below(std::size(kStars))];
        sp.width = sp.star_w;
        sp.text += '*';
    }
    sp.precision_mode = modes / 3 % 4;
    if (sp.precision_mode == 1) {
        sp.text += '.';
    } else if (sp.precision_mode == 2) {
        sp.precision = r.below(modes & 0x40 && sp.kind != Kind::Char ? 100000 : 400);
        sp.text += "." + std::to_string(sp.precision);
    } else if (sp.precision_mode == 3) {
        bool huge = modes & 0x40 && sp.kind != Kind::Char && sp.kind != Kind::Percent &&
                    sp.kind != Kind::Unknown;
        sp.star_p = huge ? kHugeStars[r.below(3)] : kStars[r.below(std::size(kStars))];
        sp.precision = sp.star_p;
        sp.text += ".*";
    }
    if (sp.kind == Kind::Int) {
        sp.length = r.below(5);
        static const char *const kLengths[] = {"", "l", "ll", "h", "hh"};
        sp.text += kLengths[sp.length];
    }
    sp.text += sp.letter;
    uint8_t pick = r.u8();
    sp.i = kInts[pick % std::size(kInts)];
    sp.ll = kLongs[pick % std::size(kLongs)];
    sp.d = pick & 0x80 ? kDoubles[pick % std::size(kDoubles)]
                       : static_cast<double>(static_cast<int64_t>(r.u64())) * 1e-3;
    sp.s = kStrings[pick % std::size(kStrings)];
    sp.p = reinterpret_cast<void *>(
        static_cast<uintptr_t>(pick & 1 ? 0x1A2Bu : static_cast<uint32_t>(sp.i)));
    if (sp.kind == Kind::Char && pick & 0x40) sp.i = static_cast<int32_t>(r.u32() >> r.below(32));
    return sp;
}

/* Calls f with the conversion's arguments in order: '*' width, '*' precision, value. */
template <class F>
void with_args(const Conversion &sp, F f) {
    auto tail = [&](auto value) {
        if (sp.width_mode == 2 && sp.precision_mode == 3) {
            f(sp.star_w, sp.star_p, value);
        } else if (sp.width_mode == 2) {
            f(sp.star_w, value);
        } else if (sp.precision_mode == 3) {
            f(sp.star_p, value);
        } else {
            f(value);
        }
    };
    switch (sp.kind) {
        case Kind::Int:
            /* 'l' takes a long, as the C library's: the same width as int on the 32-bit targets. */
            if (sp.length == 2) {
                tail(static_cast<long long>(sp.ll));
            } else if (sp.length == 1) {
                tail(static_cast<long>(sp.i));
            } else {
                tail(sp.i);
            }
            break;
        case Kind::Pointer:
            tail(sp.p);
            break;
        case Kind::Float:
            tail(sp.d);
            break;
        case Kind::String:
            tail(sp.s);
            break;
        default:
            tail(sp.i);
            break; /* %c's code point; %% and unknown letters consume nothing */
    }
}

std::string pad(const std::string &text, uint64_t width, bool left) {
    if (text.size() >= width) return text;
    std::string spaces(width - text.size(), ' ');
    return left ? text + spaces : spaces + text;
}

std::string utf8(uint32_t cp) {
    int len = cp <= 0x7F        ? 1
              : cp < 0x800      ? 2
              : cp < 0x10000    ? 3
              : cp < 0x200000   ? 4
              : cp <= 0x3FFFFFF ? 5
                                : 6;
    static constexpr uint8_t marks[] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    std::string out(len, '\0');
    for (int k = len - 1; k > 0; --k, cp >>= 6) out[k] = static_cast<char>(0x80 | (cp & 0x3F));
    out[0] = static_cast<char>(cp | marks[len]);
    return out;
}

/* The text the engine's rules give for a conversion other than a float one. */
std::string model(const Conversion &sp) {
    bool left = sp.minus;
    uint64_t width = 0;
    if (sp.width_mode) {
        width =
            sp.width < 0 ? 0ull - static_cast<uint64_t>(sp.width) : static_cast<uint64_t>(sp.width);
        left = left || sp.width < 0;
    }
    bool has_precision = sp.precision_mode != 0;
    uint64_t precision = sp.precision < 0 ? 0ull - static_cast<uint64_t>(sp.precision)
                                          : static_cast<uint64_t>(sp.precision);
    bool text_kind = sp.kind == Kind::String;
    if (!text_kind && precision > 310) precision = 310;

    switch (sp.kind) {
        case Kind::Int:
        case Kind::Pointer: {
            if (width > 340) width = 340;
            const uint32_t radix = sp.letter == 'o'           ? 8
                                   : sp.letter == 'b'         ? 2
                                   : strchr("xXp", sp.letter) ? 16
                                                              : 10;
            bool is_signed = sp.letter == 'd' || sp.letter == 'i';
            uint64_t magnitude;
            char sign = 0;
            if (sp.kind == Kind::Pointer) {
                magnitude = reinterpret_cast<uintptr_t>(sp.p);
            } else if (is_signed) {
                int64_t v = sp.length == 2 ? sp.ll : sp.i;
                magnitude = v < 0 ? 0ull - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                sign = v < 0 ? '-' : sp.plus ? '+' : sp.space ? ' ' : 0;
            } else {
                magnitude = sp.length == 2   ? static_cast<uint64_t>(sp.ll)
                            : sp.length == 1 ? static_cast<unsigned long>(static_cast<long>(sp.i))
                                             : static_cast<uint32_t>(sp.i);
            }
            if (sp.length == 3) magnitude &= 0xFFFF;
            if (sp.length == 4) magnitude &= 0xFF;
            bool hash = sp.hash && magnitude != 0;
            if (sp.zero && width > (sign ? 1u : 0u) && precision < width - (sign ? 1 : 0))
                precision = width - (sign ? 1 : 0);
            const char *digits = sp.letter == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
            std::string out;
            do {
                out.insert(out.begin(), digits[magnitude % radix]);
                magnitude /= radix;
            } while (magnitude);
            if (out.size() < precision) out.insert(0, precision - out.size(), '0');
            if (sign) out.insert(out.begin(), sign);
            if (hash) {
                const char *prefix = sp.letter == 'o'                       ? "0"
                                     : sp.letter == 'X'                     ? "0X"
                                     : sp.letter == 'x' || sp.letter == 'p' ? "0x"
                                                                            : "";
                out.insert(0, prefix);
            }
            return pad(out, width, left);
        }
        case Kind::String: {
            std::string s = sp.s ? sp.s : "(null)";
            size_t start = 0, end = s.size();
            if (sp.letter == 'w') {
                while (start < end && static_cast<unsigned char>(s[start]) <= 32) ++start;
                size_t blank = start;
                while (blank<end &&static_cast<unsigned char>(s[blank])> 32) ++blank;
                if (has_precision) {
                    end = std::min<uint64_t>(blank, start + precision);
                } else if (sp.width_mode == 2) {
                    end = std::min<uint64_t>(end, start + width);
                } else {
                    end = blank;
                }
            } else if (has_precision) {
                end = std::min<uint64_t>(end, precision);
            } else if (sp.width_mode == 2) {
                end = std::min<uint64_t>(end, width);
            }
            return pad(s.substr(start, end - start), width, left);
        }
        case Kind::Char: {
            uint32_t cp = static_cast<uint32_t>(sp.i);
            std::string enc = utf8(cp);
            if (has_precision) {
                enc = precision == 0 ? std::string()
                                     : enc.substr(0, 1) +
                                           std::string(precision - 1, static_cast<char>(cp & 0xFF));
            }
            return pad(enc, width, left);
        }
        case Kind::Percent:
            return pad("%", width, left);
        default:
            return pad(std::string("%") + sp.letter, width, left);
    }
}

/* The C library's format for the same conversion, or empty where the two differ by design. */
std::string libc_format(const Conversion &sp) {
    bool star_w_ok = sp.width_mode != 2 || (sp.width >= -340 && sp.width <= 340);
    if (sp.bang || !star_w_ok || (sp.width_mode == 1 && sp.width > 340)) return {};
    if (sp.precision_mode == 3 && sp.precision < 0) return {};
    switch (sp.kind) {
        case Kind::Int: {
            if (sp.letter == 'b' || sp.precision > 310) return {};
            bool decimal = sp.letter == 'd' || sp.letter == 'i' || sp.letter == 'u';
            bool is_signed = sp.letter == 'd' || sp.letter == 'i';
            if (sp.zero && (sp.precision_mode || sp.minus || sp.width_mode == 2)) return {};
            if (sp.hash && (decimal || sp.zero || (sp.letter == 'o' && sp.precision_mode)))
                return {};
            int64_t v = sp.length == 2 ? sp.ll : sp.i;
            int64_t cut = sp.length == 3 ? v & 0xFFFF : sp.length == 4 ? v & 0xFF : v;
            /* The C library prints no digit for a zero with precision 0; the engine prints one. */
            if (sp.precision_mode && sp.precision == 0 && cut == 0) return {};
            if (is_signed && sp.length == 3 && (v < INT16_MIN || v > INT16_MAX)) return {};
            if (is_signed && sp.length == 4 && (v < INT8_MIN || v > INT8_MAX)) return {};
            if (sp.hash && cut == 0) return {};
            break;
        }
        case Kind::String:
            if (sp.letter != 's' || !sp.s || sp.plus || sp.space || sp.hash || sp.zero) return {};
            break;
        case Kind::Char:
            if (sp.i < 1 || sp.i > 127 || sp.precision_mode || sp.plus || sp.space || sp.hash ||
                sp.zero)
                return {};
            break;
        case Kind::Percent:
            if (sp.text != "%%") return {};
            return sp.text;
        default:
            return {};
    }
    std::string c;
    for (size_t k = 0; k < sp.text.size(); ++k) {
        /* A '*' width limits the length of %s in the engine: say so to the C library. */
        if (sp.kind == Kind::String && sp.text[k] == '*' && sp.precision_mode == 0) {
            c += "*.*";
            continue;
        }
        c += sp.text[k];
    }
    return c;
}

char g_big[1 << 17];

/* The engine's text of one format with the conversion's arguments, checked across front ends:
 * the bounded one at its full size and at a small size, and the allocating one. */
std::string engine(const Conversion &sp, const std::string &format, uint32_t small, int oom,
                   plx_string_accum_t *acc) {
    std::string text;
    with_args(sp, [&](auto... args) {
        uint32_t n = plx_string_snprintf(g_big, sizeof g_big, format.c_str(), args...);
        FUZZ_CHECK(n < sizeof g_big, "\"%s\" produced %u bytes", format.c_str(), n);
        text.assign(g_big, n ? n - 1 : 0);
        FUZZ_CHECK(n == 0 || g_big[n - 1] == 0, "\"%s\" not terminated", format.c_str());
        FUZZ_CHECK(n != 1, "\"%s\": an empty text must return 0", format.c_str());

        char *cut = static_cast<char *>(malloc(small ? small : 1));
        cut[0] = 'Z';
        uint32_t m = plx_string_snprintf(cut, small, format.c_str(), args...);
        if (small == 0) {
            FUZZ_CHECK(m == 0 && cut[0] == 'Z');
        } else {
            size_t keep = std::min<size_t>(text.size(), small - 1);
            FUZZ_CHECK(m == n && memcmp(cut, text.data(), keep) == 0 && cut[keep] == 0,
                       "\"%s\" into %u bytes returned %u, full %u", format.c_str(), small, m, n);
        }
        free(cut);

        if (oom >= 0) veltra_manager_memory_fail_after(static_cast<uint32_t>(oom), 0);
        char *dup = plx_string_mprintf(format.c_str(), args...);
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        if (dup || oom < 0) {
            FUZZ_CHECK(dup, "mprintf failed for \"%s\"", format.c_str());
            FUZZ_CHECK(memcmp(dup, text.data(), text.size()) == 0 && dup[text.size()] == 0,
                       "mprintf differs for \"%s\"", format.c_str());
        }
        plx_string_free(dup);
        plx_string_accum_append_format(acc, format.c_str(), args...);
    });
    return text;
}

std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        char hex[8];
        snprintf(hex, sizeof hex, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
        out += hex;
    }
    return out;
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    plx_string_accum_t *acc = nullptr;
    FUZZ_CHECK(plx_string_accum_create(&acc, nullptr, 0) == 0);
    std::string whole;
    for (int pieces = 0; !r.empty() && pieces < 16; ++pieces) {
        uint8_t what = r.u8();
        uint32_t small = r.below(24);
        int oom = what & 0x80 ? r.below(3) : -1;
        if (what & 1) {
            /* A literal run: copied up to its first invalid sequence. */
            std::string lit = r.bytes(16), clean;
            for (char c : lit)
                if (c != '%' && c != 0) clean += c;
            Conversion none;
            none.kind = Kind::Unknown;
            std::string got = engine(none, clean, small, oom, acc);
            bool valid = plx_string_isvalid(clean.c_str());
            FUZZ_CHECK(valid ? got == clean : clean.compare(0, got.size(), got) == 0,
                       "literal \"%s\" gave \"%s\"", printable(clean).c_str(),
                       printable(got).c_str());
            whole += got;
            continue;
        }
        Conversion sp = make_conversion(r);
        std::string got = engine(sp, sp.text, small, oom, acc);
        whole += got;
        /* A repeated %c above 0x7F is left open: the engine repeats the whole character. */
        bool open =
            sp.kind == Kind::Char && sp.precision_mode && static_cast<uint32_t>(sp.i) > 0x7F;
        if (sp.kind != Kind::Float && !open) {
            std::string want = model(sp);
            FUZZ_CHECK(got == want, "\"%s\" gave \"%s\", expected \"%s\"", sp.text.c_str(),
                       printable(got).c_str(), printable(want).c_str());
        }
        std::string cfmt = libc_format(sp);
        if (cfmt.empty()) continue;
        std::string libc;
        with_args(sp, [&](auto... args) {
            if (sp.kind == Kind::String && sp.width_mode == 2 && sp.precision_mode == 0) {
                int w = static_cast<int>(sp.width);
                snprintf(g_big, sizeof g_big, cfmt.c_str(), w, w < 0 ? -w : w, sp.s);
            } else {
                snprintf(g_big, sizeof g_big, cfmt.c_str(), args...);
            }
        });
        libc = g_big;
        FUZZ_CHECK(got == libc, "\"%s\" gave \"%s\", the C library \"%s\" (%s)", sp.text.c_str(),
                   printable(got).c_str(), printable(libc).c_str(), cfmt.c_str());
    }
    /* A '%' that ends the format stands for itself. */
    if (size & 1) {
        Conversion none;
        none.kind = Kind::Unknown;
        std::string got = engine(none, "%", 5, -1, acc);
        FUZZ_CHECK(got == "%");
        whole += got;
    }
    const char *text = nullptr;
    uint32_t bytes = 0;
    FUZZ_CHECK(plx_string_accum_get_string(acc, &text, &bytes) == 0);
    FUZZ_CHECK(bytes == (whole.empty() ? 0 : whole.size() + 1) &&
                   (whole.empty() || memcmp(text, whole.data(), whole.size()) == 0),
               "the accumulator holds other text than the pieces");
    plx_string_accum_delete(acc);
}

} // namespace fuzz_printf

VELTRA_FUZZ_ENTRY(fuzz_printf::run)
