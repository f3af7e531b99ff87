/* UTF-8 characters of the string module: the exported lead-byte tables, encoding, the
 * character-walking lengths, validation, and conversion to and from UCS-2. */
#include "plx/plx_string_utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using plx::kStringInvalidArg;
using plx::kUtf8Invalid;

constexpr uint16_t swap_unit(uint16_t unit, uint8_t swap) {
    return swap ? static_cast<uint16_t>(unit << 8 | unit >> 8) : unit;
}

/* Decodes one character of the `avail` bytes at p without reading past them: its length,
 * or 0 for an invalid sequence (including one cut short by the end). */
uint32_t decode_bounded(const uint8_t *p, size_t avail, uint32_t *p_code) {
    uint32_t len = plx::utf8_lead_length(p[0]);
    if (len == 0 || len > avail) return 0;
    if (len == 1) {
        *p_code = p[0];
        return 1;
    }
    uint32_t code = p[0] & (len == 2 ? 0x1Fu : 0x0Fu);
    for (uint32_t i = 1; i < len; ++i) {
        if (!plx::utf8_is_follow(p[i])) return 0;
        code = code << 6 | (p[i] & 0x3Fu);
    }
    *p_code = code;
    return len;
}

constexpr bool is_plain(uint8_t b) { return b != 0 && b < 0x80; }

/* Counts the characters of s up to the terminator or up to the first invalid sequence
 * (*p_bad then set). Short ASCII runs are taken byte by byte; once a run reaches
 * kInlineRun bytes the rest of it is scanned a word at a time. */
inline uint32_t walk_chars_bytewise(const char *s, bool *p_bad) {
    constexpr uint32_t kInlineRun = 8;
    uint32_t count = 0;
    uint32_t run = 0;
    const char *p = s;
    for (;;) {
        uint8_t b = static_cast<uint8_t>(*p);
        if (is_plain(b)) {
            ++p;
            ++count;
            if (++run == kInlineRun) {
                const char *run_end = plx::utf8_ascii_span_end(p);
                count += static_cast<uint32_t>(run_end - p);
                p = run_end;
                run = 0;
            }
            continue;
        }
        if (b == 0) {
            *p_bad = false;
            return count;
        }
        uint32_t code;
        if (_utf8_get_next_char(&p, &code) != 0) {
            *p_bad = true;
            return count;
        }
        ++count;
        run = 0;
    }
}

/* Block-at-a-time validation and counting. A block is an aligned run of bytes whose lanes are
 * classified at once into masks, one flag per lane; the rule then becomes arithmetic on
 * masks: a lane must hold a follow byte exactly when a lead byte one lane back or a three-byte
 * lead two lanes back asks for one (requests across the block edge carry into the next
 * block), and no lane may hold a byte that leads nothing (0xF0 and up). The characters are
 * the lanes that hold no follow byte.
 *
 * Blocks are read whole and aligned, so a read may pass the terminator but never leaves the
 * aligned block holding it (never onto another page); the sanitizer is told so, as for the
 * C library's own string scans. */
template <class Mask>
struct Classes {
    Mask follow, lead, lead3, bad, zero; /* lead: two- or three-byte lead */
};

#if defined(__SSE2__)
/* 16 lanes, the flag of lane i in bit i. As signed bytes: ASCII 0..127, follow -128..-65,
 * two-byte lead -64..-33, three-byte lead -32..-17, no lead -16..-1. */
struct Block {
    using Mask = uint32_t;
    static constexpr uintptr_t kBytes = 16;
    static constexpr Mask kAll = 0xFFFF;
    __attribute__((no_sanitize_address)) static Classes<Mask> classify(const char *p, uintptr_t) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p));
        auto mask = [](__m128i m) { return static_cast<Mask>(_mm_movemask_epi8(m)); };
        Mask high = mask(v);
        Mask follow = mask(_mm_cmplt_epi8(v, _mm_set1_epi8(-64)));
        Mask from_e0 = high & mask(_mm_cmpgt_epi8(v, _mm_set1_epi8(-33)));
        Mask bad = high & mask(_mm_cmpgt_epi8(v, _mm_set1_epi8(-17)));
        Mask zero = mask(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
        return {follow, high & ~follow & ~bad, from_e0 & ~bad, bad, zero};
    }
    /* True when every byte of the block is plain ASCII (no terminator). */
    __attribute__((no_sanitize_address)) static bool plain(const char *p) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p));
        return _mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, _mm_setzero_si128()))) == 0;
    }
    static Mask lanes_from(uintptr_t first) { return kAll << first & kAll; }
    /* Lanes that must hold follow bytes, with those carried in; *carry receives the lanes of
     * the next block. */
    static Mask expected(Mask lead, Mask lead3, Mask *carry) {
        Mask all = lead << 1 | lead3 << 2 | *carry;
        *carry = all >> 16;
        return all & kAll;
    }
    static bool last_lane(Mask m) { return m >> 15 & 1; }
    static bool second_last_lane(Mask m) { return m >> 14 & 1; }
    static Mask lowest(Mask m) { return m & (0u - m); }
    static Mask below(Mask flag) { return flag - 1; }
    static uint32_t count(Mask m) {
        m = m - (m >> 1 & 0x5555);
        m = (m & 0x3333) + (m >> 2 & 0x3333);
        m = (m + (m >> 4)) & 0x0F0F;
        return (m + (m >> 8)) & 0x1F;
    }
};
#define PLX_UTF8_BLOCKS 1
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
/* One machine word, the flag of lane i in the top bit of byte i (bytes in address order). */
struct Block {
    using Mask = uintptr_t;
    typedef Mask __attribute__((__may_alias__)) AliasWord;
    static constexpr uintptr_t kBytes = sizeof(Mask);
    static constexpr unsigned kBits = 8 * sizeof(Mask);
    static constexpr Mask kOnes = ~Mask(0) / 0xFF;
    static constexpr Mask kAll = kOnes * 0x80;
    /* Lanes before `first` are not part of the string; they are read as 0xFF. */
    __attribute__((no_sanitize_address)) static Classes<Mask> classify(const char *p,
                                                                       uintptr_t first) {
        Mask w = *reinterpret_cast<const AliasWord *>(p) | ((Mask(1) << 8 * first) - 1);
        Mask high = w & kAll, b6 = w << 1 & kAll, b5 = w << 2 & kAll, b4 = w << 3 & kAll;
        /* A byte's top bit in ((w & 0x7F..) + 0x7F..) | w is set unless the byte is zero; the
         * sum never carries into the next byte. */
        Mask zero = ~(((w & ~kAll) + ~kAll) | w) & kAll;
        return {high & ~b6, high & b6 & ~(b5 & b4), high & b6 & b5 & ~b4, high & b6 & b5 & b4,
                zero};
    }
    /* A zero byte is the only one that borrows into its top bit in w - kOnes. */
    __attribute__((no_sanitize_address)) static bool plain(const char *p) {
        Mask w = *reinterpret_cast<const AliasWord *>(p);
        return (((w - kOnes) | w) & kAll) == 0;
    }
    static Mask lanes_from(uintptr_t first) { return kAll << 8 * first; }
    static Mask expected(Mask lead, Mask lead3, Mask *carry) {
        Mask in = *carry;
        *carry = lead >> (kBits - 8) | lead3 >> (kBits - 16);
        return lead << 8 | lead3 << 16 | in;
    }
    static bool last_lane(Mask m) { return m >> (kBits - 1); }
    static bool second_last_lane(Mask m) { return m >> (kBits - 9) & 1; }
    static Mask lowest(Mask m) { return m & (Mask(0) - m); }
    static Mask below(Mask flag) { return (flag >> 7) - 1; }
    static uint32_t count(Mask m) {
        return static_cast<uint32_t>(((m >> 7) * kOnes) >> (kBits - 8));
    }
};
#define PLX_UTF8_BLOCKS 1
#endif

#ifdef PLX_UTF8_BLOCKS
/* Walks s a block at a time. True when s is valid, with its characters in *p_count. False at
 * an invalid sequence: *p_resume is then the start of a character at or before it, and
 * *p_count the characters before *p_resume, for the byte-wise walk to finish. */
__attribute__((no_sanitize_address)) bool walk_blocks(const char *s, uint32_t *p_count,
                                                      const char **p_resume) {
    using Mask = Block::Mask;
    uintptr_t first = reinterpret_cast<uintptr_t>(s) % Block::kBytes;
    const char *block = s - first, *start = s;
    Mask live = Block::lanes_from(first);
    Mask carry = 0;    /* lanes of this block asked for by the last character before it */
    uint32_t back = 0; /* bytes of that character before this block */
    uint32_t count = 0;
    for (;;) {
        Classes<Mask> c = Block::classify(block, first);
        Mask lead = c.lead & live, lead3 = c.lead3 & live, follow = c.follow & live;
        Mask wrong = ((Block::expected(lead, lead3, &carry) ^ follow) | c.bad) & live;
        Mask zero = c.zero & live;
        if ((wrong | zero) == 0) {
            count += Block::count(~follow & live);
            back = Block::last_lane(lead) ? 1 : Block::second_last_lane(lead3) ? 2 : 0;
            block += Block::kBytes;
            start = block;
            first = 0;
            live = Block::kAll;
            if ((follow | lead | c.bad) == 0) /* plain ASCII: run on through more of it */
                while (Block::plain(block)) {
                    count += Block::kBytes;
                    start = block += Block::kBytes;
                }
            continue;
        }
        Mask end = Block::lowest(zero);
        if (end && (wrong & (Block::below(end) | end)) == 0) {
            *p_count = count + Block::count(~follow & live & Block::below(end));
            return true;
        }
        *p_resume = start - back;
        *p_count = count - (back ? 1 : 0);
        return false;
    }
}
#endif

inline uint32_t walk_chars(const char *s, bool *p_bad) {
#ifdef PLX_UTF8_BLOCKS
    uint32_t count;
    const char *resume;
    if (walk_blocks(s, &count, &resume)) {
        *p_bad = false;
        return count;
    }
    return count + walk_chars_bytewise(resume, p_bad);
#else
    return walk_chars_bytewise(s, p_bad);
#endif
}

}  // namespace

namespace plx {

/* Word-at-a-time scan. It reads whole aligned words, which may extend past the terminator
 * but never past the aligned word holding it (so never onto another page); the sanitizer is
 * told so, as it is for the C library's own string scans. */
__attribute__((no_sanitize_address)) const char *utf8_ascii_span_end(const char *p, size_t max) {
    using Word = uintptr_t;
    typedef Word __attribute__((__may_alias__)) AliasWord;
    constexpr Word kOnes = ~Word(0) / 0xFF;
    constexpr Word kHigh = kOnes * 0x80;
    size_t left = max;
    while (left > 0 && reinterpret_cast<uintptr_t>(p) % sizeof(Word) != 0) {
        if (!is_plain(static_cast<uint8_t>(*p))) return p;
        ++p;
        --left;
    }
    /* A byte at 0x80 or above sets its high bit in w; with none of those, a zero byte is the
     * only one that borrows into its high bit in w - kOnes. */
    while (left >= sizeof(Word)) {
        Word w = *reinterpret_cast<const AliasWord *>(p);
        if (((w - kOnes) | w) & kHigh) break;
        p += sizeof(Word);
        left -= sizeof(Word);
    }
    while (left > 0 && is_plain(static_cast<uint8_t>(*p))) {
        ++p;
        --left;
    }
    return p;
}

}  // namespace plx

uint32_t _utf8_set_next_char(char *dest, uint32_t size, uint32_t code, uint32_t *p_length) {
    if (plx::utf8_encoded_length(code) >= size) {
        if (p_length) *p_length = 0;
        return plx::kStringTooSmall;
    }
    uint32_t len = plx::utf8_encode(code, dest);
    if (p_length) *p_length = len;
    return 0;
}

extern "C" {

const uint8_t utfmarktab[3] = {0x00, 0xC0, 0xE0};
const uint8_t utflmasktab[3] = {0x7F, 0x1F, 0x0F};

/* ---- character-walking lengths ------------------------------------------------------------ */

uint32_t plx_string_charlen(const char *s) {
    if (!s) return 0;
    bool bad;
    uint32_t count = walk_chars(s, &bad);
    return bad ? count + 1 : count;
}

uint32_t plx_string_charnlen(const char *s, uint32_t max_bytes) {
    if (!s) return 0;
    uint32_t count = 0;
    const char *p = s;
    uint32_t left = max_bytes;
    while (left > 0 && *p != 0) {
        if (static_cast<uint8_t>(*p) < 0x80) {
            ++count;
            ++p;
            --left;
            continue;
        }
        const char *next = p;
        uint32_t code;
        if (_utf8_get_next_char(&next, &code) != 0) return count + 1;
        uint32_t len = static_cast<uint32_t>(next - p);
        if (len > left) break;
        left -= len;
        p = next;
        ++count;
    }
    return count;
}

uint32_t plx_string_byteclen(const char *s, uint32_t char_count) {
    if (!s) return 0;
    const char *p = s;
    for (uint32_t n = 0; n < char_count && *p != 0; ++n) {
        uint32_t code;
        if (_utf8_get_next_char(&p, &code) != 0) break;
    }
    return static_cast<uint32_t>(p - s);
}

uint32_t plx_string_nextcharsize(const char *s) {
    if (!s) return 0;
    uint32_t len = plx::utf8_lead_length(static_cast<uint8_t>(*s));
    return len ? len : 1;
}

/* ---- single characters -------------------------------------------------------------------- */

char *plx_string_setchar(char *dest, uint32_t size, uint32_t code_point, uint32_t *p_length) {
    if (!dest) {
        if (p_length) *p_length = 0;
        return nullptr;
    }
    _utf8_set_next_char(dest, size, code_point, p_length);
    return dest;
}

uint32_t plx_string_charnext(const char **p_pos, uint32_t *p_bytes) {
    if (p_bytes) *p_bytes = 0;
    if (!p_pos || !*p_pos) return 0;
    const char *start = *p_pos;
    uint32_t code;
    if (_utf8_get_next_char(p_pos, &code) != 0) return 0;
    if (p_bytes) *p_bytes = static_cast<uint32_t>(*p_pos - start);
    return code;
}

/* ---- validity ----------------------------------------------------------------------------- */

uint8_t plx_string_isvalid(const char *s) {
    if (!s) return 1;
    bool bad;
    walk_chars(s, &bad);
    return !bad;
}

uint8_t plx_string_isempty(const char *s) {
    if (!s) return 1;
    uint32_t code;
    return _utf8_get_next_char(&s, &code) != 0 || code == 0;
}

/* ---- UCS-2 -------------------------------------------------------------------------------- */

uint32_t plx_string_bytelen_uni(const uint16_t *s) {
    if (!s) return 0;
    return 2 * (plx_string_charlen_uni(s) + 1);
}

uint32_t plx_string_charlen_uni(const uint16_t *s) {
    if (!s) return 0;
    uint32_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

plx_error_t plx_string_ucs2_to_utf8_buf(const uint16_t *src, uint32_t src_bytes, char *dest,
                                        uint32_t *p_size, uint8_t swap) {
    if (!p_size) return kStringInvalidArg;
    uint32_t capacity = *p_size;
    *p_size = 0;
    if (src_bytes & 1) return plx::kUcs2OddCount;
    if (src_bytes == 0) return 0;
    if (!src || !dest) return kStringInvalidArg;
    uint32_t written = 0;
    for (uint32_t i = 0; i < src_bytes / 2; ++i) {
        uint32_t len;
        /* Each unit stands alone: surrogate halves are encoded as they come. */
        uint32_t code = _utf8_set_next_char(dest + written, capacity - written,
                                            swap_unit(src[i], swap), &len);
        if (code != 0) {
            *p_size = written;
            return code;
        }
        written += len;
    }
    *p_size = written;
    return 0;
}

plx_error_t plx_string_utf8_to_ucs2_buf(const char *src, uint32_t src_bytes, uint16_t *dest,
                                        uint32_t *p_written, uint8_t swap) {
    if (!p_written) return kStringInvalidArg;
    *p_written = 0;
    if (src_bytes == 0) return 0;
    if (!src || !dest) return kStringInvalidArg;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(src);
    uint32_t left = src_bytes;
    uint32_t units = 0;
    while (left > 0) {
        uint32_t code;
        uint32_t len = decode_bounded(p, left, &code);
        if (len == 0) return kUtf8Invalid;
        dest[units++] = swap_unit(static_cast<uint16_t>(code), swap);
        *p_written += 2;
        p += len;
        left -= len;
    }
    return 0;
}

plx_error_t plx_string_ucs2_to_utf8(const uint16_t *src, char **p_out, uint8_t swap) {
    if (!p_out) return kStringInvalidArg;
    *p_out = nullptr;
    uint32_t src_bytes = plx_string_bytelen_uni(src);
    /* Every unit takes at most 3 bytes: this is ample room, terminator included. */
    uint64_t size = (uint64_t{src_bytes} + 2) * 4;
    if (size > 0xFFFFFFFFu) return plx::kUcs2NoMemory;
    plx::HostPtr<char> buffer(static_cast<char *>(plx_memory_alloc(size)));
    if (!buffer) return plx::kUcs2NoMemory;
    buffer.get()[0] = 0; /* a null source hands back the empty string */
    uint32_t capacity = static_cast<uint32_t>(size);
    uint32_t code = plx_string_ucs2_to_utf8_buf(src, src_bytes, buffer.get(), &capacity, swap);
    if (code != 0) return code;
    *p_out = buffer.release();
    return 0;
}

plx_error_t plx_string_utf8_to_ucs2(const char *src, uint16_t **p_out, uint8_t swap) {
    if (!p_out) return kStringInvalidArg;
    *p_out = nullptr;
    uint32_t src_bytes = plx_string_bytelen(src);
    uint64_t size = (uint64_t{src_bytes} + 2) * 4;
    if (size > 0xFFFFFFFFu) return plx::kUcs2NoMemory;
    plx::HostPtr<uint16_t> buffer(static_cast<uint16_t *>(plx_memory_alloc(size)));
    if (!buffer) return plx::kUcs2NoMemory;
    buffer.get()[0] = 0; /* a null source hands back the empty string */
    uint32_t written;
    uint32_t code = plx_string_utf8_to_ucs2_buf(src, src_bytes, buffer.get(), &written, swap);
    if (code != 0) return code;
    *p_out = buffer.release();
    return 0;
}

}  // extern "C"
