/* Private to the string module and its users inside the library: the module's codes and the
 * one UTF-8 character rule (one- to three-byte sequences, overlong forms and surrogates
 * accepted, nothing above U+FFFF) as inline decoders for the hot loops. */
#ifndef PLX_STRING_UTF8_H
#define PLX_STRING_UTF8_H

#include "plx/plx_internal.h"

namespace plx {

inline constexpr uint32_t kStringInvalidArg = error_code(kPkgString, kInvalidArg);
inline constexpr uint32_t kStringTooSmall = error_code(kPkgString, 0x0008);
inline constexpr uint32_t kUtf8Invalid = error_code(kPkgString, 0x03A0);
inline constexpr uint32_t kUcs2OddCount = error_code(kPkgString, 0x03A1);
/* The allocating UCS-2 conversions report memory failures under the file-system package. */
inline constexpr uint32_t kUcs2NoMemory = error_code(kPkgFs, kNoMemory);

/* Character limit meaning "no limit" for the compare and copy cores. */
inline constexpr uint32_t kNoCharLimit = 0xFFFFFFFFu;

/* First byte at or after `p` that is either the terminator or 0x80 and above, looking at no
 * more than `max` bytes (p + max when all of them are plain ASCII). Scans a word at a time;
 * p must point into a NUL-terminated string. */
const char *utf8_ascii_span_end(const char *p, size_t max = SIZE_MAX);

/* Byte length of the sequence led by `lead` (1 below 0x80), or 0 for a byte that cannot lead. */
constexpr uint32_t utf8_lead_length(uint8_t lead) {
    return lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 0;
}

constexpr bool utf8_is_follow(uint8_t b) { return (b & 0xC0) == 0x80; }

/* Byte length of the valid sequence at `p` (1 to 3), 0 when it is invalid. Stops at the first
 * byte that does not follow, so it never reads past a terminator. */
inline uint32_t utf8_sequence_length(const uint8_t *p) {
    uint32_t n = utf8_lead_length(p[0]);
    for (uint32_t i = 1; i < n; ++i)
        if (!utf8_is_follow(p[i])) return 0;
    return n;
}

/* Bytes the encoder writes for `code`: 1 to 6 (the library encodes up to 31 bits). */
constexpr uint32_t utf8_encoded_length(uint32_t code) {
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : code < 0x200000 ? 4
         : code <= 0x3FFFFFF ? 5 : 6;
}

/* Writes the utf8_encoded_length(code) bytes of `code` at out (no terminator); returns that
 * count. */
inline uint32_t utf8_encode(uint32_t code, char *out) {
    constexpr uint8_t kMarks[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    uint32_t n = utf8_encoded_length(code);
    for (uint32_t i = n - 1; i > 0; --i) {
        out[i] = static_cast<char>(0x80 | (code & 0x3F));
        code >>= 6;
    }
    out[0] = static_cast<char>(kMarks[n] | code);
    return n;
}

}  // namespace plx

/* Length of the multi-byte sequence whose lead byte `lead` points at: 2 or 3 into *p_length and
 * 0, or the invalid-sequence code for a byte that cannot lead one. Following bytes are not
 * looked at. */
inline uint32_t _utf8_get_next_char_size(const char *lead, uint32_t *p_length) {
    uint32_t n = plx::utf8_lead_length(static_cast<uint8_t>(*lead));
    if (n < 2) return plx::kUtf8Invalid;
    *p_length = n;
    return 0;
}

/* Decodes the character at *p_pos into *p_code and moves *p_pos past it. On an invalid
 * sequence returns the invalid-sequence code and moves nothing. The terminator decodes to 0
 * like any other byte, and the decoder never reads past it. */
inline uint32_t _utf8_get_next_char(const char **p_pos, uint32_t *p_code) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(*p_pos);
    uint32_t b0 = p[0];
    if (b0 < 0x80) {
        *p_code = b0;
        *p_pos += 1;
        return 0;
    }
    uint32_t n = plx::utf8_sequence_length(p);
    if (n == 0) return plx::kUtf8Invalid;
    *p_code = n == 2 ? (b0 & 0x1Fu) << 6 | (p[1] & 0x3Fu)
                     : (b0 & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    *p_pos += n;
    return 0;
}

/* Encodes `code` (lengths 1 to 6) at dest. When the encoding needs `size` bytes or more,
 * writes nothing and returns the too-small code, so one byte always stays free for a
 * terminator. Writes no terminator. *p_length (may be null) receives the bytes written, 0 on
 * failure. */
uint32_t _utf8_set_next_char(char *dest, uint32_t size, uint32_t code, uint32_t *p_length);

/* Compares a and b (not null) character by character over at most `limit` characters
 * (kNoCharLimit: none), folding ASCII case unless `case_sensitive`. Outs, each may be null: the
 * difference (sign gives the order), the count of characters that matched, and the positions
 * after the last characters decoded. Returns the last decoding error, 0 if none. */
uint32_t _plx_string_utf8_compare(const char *a, const char *b, uint32_t limit,
                                  uint8_t case_sensitive, int32_t *p_diff, uint32_t *p_matched,
                                  const char **p_pos_a, const char **p_pos_b);

/* Copies whole characters of src (not null) into dest (not null) of `size` bytes, at most
 * `limit` characters; never splits a character and always terminates dest (a size of 0
 * leaves it untouched). Returns 0, or the invalid-sequence code for a byte that cannot lead
 * (dest then ends before it). */
uint32_t _plx_string_utf8_copy(char *dest, uint32_t size, const char *src, uint32_t limit);

#endif /* PLX_STRING_UTF8_H */
