/* General operations on NUL-terminated UTF-8 strings: lengths, comparison, search, bounded
 * copies, duplication, editing in place, character classes and numbers. Nothing here checks
 * the module's use count or takes a lock. */
#include <errno.h>
#include <stdlib.h>

#include "plx/plx_string_utf8.h"

namespace {

using plx::kNoCharLimit;

constexpr bool is_upper(uint32_t c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(uint32_t c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }
/* Bytes 1..32: what trim and worddup treat as blank. */
constexpr bool is_blank(uint32_t c) { return c >= 1 && c <= 32; }
using plx::ascii_lower;

inline uint8_t byte_at(const char *p) { return static_cast<uint8_t>(*p); }

constexpr int16_t sign_of(int32_t d) { return d < 0 ? -1 : d > 0 ? 1 : 0; }

/* Order of null arguments shared by the comparisons: true when it decides the result. */
bool order_nulls(const char *a, const char *b, int16_t *result) {
    if (a == b) {
        *result = 0;
        return true;
    }
    if (!a || !b) {
        *result = a ? 1 : -1;
        return true;
    }
    return false;
}

int16_t compare_chars(const char *a, const char *b, uint32_t limit, uint8_t case_sensitive) {
    int16_t result;
    if (order_nulls(a, b, &result)) return result;
    int32_t diff;
    _plx_string_utf8_compare(a, b, limit, case_sensitive, &diff, nullptr, nullptr, nullptr);
    return sign_of(diff);
}

uint32_t matching_prefix(const char *a, const char *b, uint8_t case_sensitive,
                         const char **p_pos_a, const char **p_pos_b) {
    if (!a || !b) return 0;
    if (a == b) {
        const char *end = a + strlen(a);
        if (p_pos_a) *p_pos_a = end;
        if (p_pos_b) *p_pos_b = end;
        return plx_string_charlen(a);
    }
    uint32_t matched;
    _plx_string_utf8_compare(a, b, kNoCharLimit, case_sensitive, nullptr, &matched, p_pos_a,
                             p_pos_b);
    return matched;
}

char *bounded_append(char *dest, uint32_t size, const char *src, uint32_t limit) {
    if (!dest || !src) return dest;
    size_t used = strnlen(dest, size);
    if (used < size)
        _plx_string_utf8_copy(dest + used, size - static_cast<uint32_t>(used), src, limit);
    return dest;
}

/* Writes the decimal digits of `magnitude` (and a '-' when `negative` and it fits) into
 * buffer. Digits are produced from the lowest while a byte stays free for the terminator, so
 * a short buffer keeps the lowest-order digits and no sign. */
char *format_decimal(uint32_t magnitude, bool negative, char *buffer, uint32_t size) {
    if (!buffer || size == 0) return buffer;
    uint32_t n = 0;
    while (n + 1 < size) {
        buffer[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        if (magnitude == 0) break;
    }
    if (negative && magnitude == 0 && n + 1 < size) buffer[n++] = '-';
    for (uint32_t i = 0, j = n; i + 1 < j; ++i, --j) {
        char t = buffer[i];
        buffer[i] = buffer[j - 1];
        buffer[j - 1] = t;
    }
    buffer[n] = 0;
    return buffer;
}

/* What the number parsers give for a null string: 0, with no end position. */
inline int null_number(char **p_end) {
    if (p_end) *p_end = nullptr;
    return 0;
}

/* Exponents beyond this saturate: the scaling loop has long reached 0 or infinity by then. */
constexpr int64_t kExponentCap = 1000000;

}  // namespace

/* ---- the compare and copy cores ----------------------------------------------------------- */

uint32_t _plx_string_utf8_compare(const char *a, const char *b, uint32_t limit,
                                  uint8_t case_sensitive, int32_t *p_diff, uint32_t *p_matched,
                                  const char **p_pos_a, const char **p_pos_b) {
    int32_t diff = 0;
    uint32_t matched = 0;
    uint32_t error = 0;
    const char *pa = a;
    const char *pb = b;
    if (*a == 0 || *b == 0) {
        if (limit != 0 && *a != *b) diff = *a == 0 ? -1 : 1;
    } else if (limit != 0) {
        for (;;) {
            uint32_t ca = 0;
            uint32_t cb = 0;
            uint32_t code = _utf8_get_next_char(&pa, &ca);
            if (code == 0) code = _utf8_get_next_char(&pb, &cb);
            bool same;
            if (code != 0) {
                /* An undecodable step counts as a match that adds nothing and ends the walk. */
                error = code;
                same = true;
                diff = 0;
            } else {
                if (!case_sensitive) {
                    ca = ascii_lower(ca);
                    cb = ascii_lower(cb);
                }
                diff = static_cast<int32_t>(ca) - static_cast<int32_t>(cb);
                same = diff == 0;
                if (same) ++matched;
            }
            if (limit != kNoCharLimit) --limit;
            bool room = limit != 0;
            if (*pa == 0) {
                if (same && room) diff = *pb == 0 ? 0 : -1;
                break;
            }
            if (*pb == 0 || !same) {
                if (same && room) diff = 1;
                break;
            }
            if (error != 0 || !room) {
                diff = room ? 1 : 0;
                break;
            }
        }
    }
    if (p_diff) *p_diff = diff;
    if (p_matched) *p_matched = matched;
    if (p_pos_a) *p_pos_a = pa;
    if (p_pos_b) *p_pos_b = pb;
    return error;
}

uint32_t _plx_string_utf8_copy(char *dest, uint32_t size, const char *src, uint32_t limit) {
    if (size == 0) return 0;
    if (*src == 0 || size == 1 || limit == 0) {
        dest[0] = 0;
        return 0;
    }
    /* Loop invariant: *src is not the terminator, at least 2 bytes of room, limit > 0. */
    uint32_t used = 0;
    for (;;) {
        uint32_t room = size - used;
        if (byte_at(src) < 0x80) {
            size_t most = room - 1 < limit ? room - 1 : limit;
            size_t run = static_cast<size_t>(plx::utf8_ascii_span_end(src, most) - src);
            memcpy(dest + used, src, run);
            used += static_cast<uint32_t>(run);
            src += run;
            if (limit != kNoCharLimit) limit -= static_cast<uint32_t>(run);
        } else {
            uint32_t len;
            /* Following bytes are copied unchecked, but never a terminator: a sequence cut
             * short by the end of the string is as invalid as a bad lead byte. */
            if (_utf8_get_next_char_size(src, &len) != 0 || src[1] == 0 ||
                (len == 3 && src[2] == 0)) {
                dest[used] = 0;
                return plx::kUtf8Invalid;
            }
            if (room < len + 1) break;
            memcpy(dest + used, src, len);
            used += len;
            src += len;
            if (limit != kNoCharLimit) --limit;
        }
        if (*src == 0 || size - used == 1 || limit == 0) break;
    }
    dest[used] = 0;
    return 0;
}

extern "C" {

/* ---- byte lengths ------------------------------------------------------------------------- */

uint32_t plx_string_bytelen(const char *s) {
    return s ? static_cast<uint32_t>(strlen(s)) + 1 : 0;
}

uint32_t plx_string_bytenlen(const char *s, uint32_t max) {
    if (!s || max == 0) return 0;
    size_t len = strnlen(s, max);
    return len < max ? static_cast<uint32_t>(len) + 1 : max;
}

uint32_t plx_string_bytelen_nonull(const char *s) {
    return s ? static_cast<uint32_t>(strlen(s)) : 0;
}

uint32_t plx_string_bytenlen_nonull(const char *s, uint32_t max) {
    return s ? static_cast<uint32_t>(strnlen(s, max)) : 0;
}

/* ---- comparison --------------------------------------------------------------------------- */

uint8_t plx_string_equal(const char *a, const char *b, uint8_t ignore_case) {
    if (a == b) return 1;
    if (!a || !b) return 0;
    return ignore_case ? plx::equal_folded(a, b) : strcmp(a, b) == 0;
}

int16_t plx_string_strcmp(const char *a, const char *b) {
    int16_t result;
    if (order_nulls(a, b, &result)) return result;
    return sign_of(strcmp(a, b)); /* the C library compares as unsigned bytes */
}

int16_t plx_string_stricmp(const char *a, const char *b) {
    return compare_chars(a, b, kNoCharLimit, 0);
}

int16_t plx_string_strncmp(const char *a, const char *b, uint32_t n) {
    return compare_chars(a, b, n, 1);
}

int16_t plx_string_strnicmp(const char *a, const char *b, uint32_t n) {
    return compare_chars(a, b, n, 0);
}

/* Note the names: this one ignores case, stricmp_len respects it. */
uint32_t plx_string_strcmp_len(const char *a, const char *b, const char **p_pos_a,
                               const char **p_pos_b) {
    return matching_prefix(a, b, 0, p_pos_a, p_pos_b);
}

uint32_t plx_string_stricmp_len(const char *a, const char *b, const char **p_pos_a,
                                const char **p_pos_b) {
    return matching_prefix(a, b, 1, p_pos_a, p_pos_b);
}

/* ---- search ------------------------------------------------------------------------------- */

const char *plx_string_strchr(const char *s, uint32_t code_point) {
    if (!s) return nullptr;
    const char *p = s;
    while (*p != 0) {
        const char *at = p;
        uint32_t code;
        if (_utf8_get_next_char(&p, &code) != 0) return nullptr;
        if (code == code_point) return at;
    }
    return nullptr;
}

const char *plx_string_strrchr(const char *s, uint32_t code_point) {
    if (!s) return nullptr;
    const char *last = nullptr;
    const char *p = s;
    while (*p != 0) {
        const char *at = p;
        uint32_t code;
        if (_utf8_get_next_char(&p, &code) != 0) break;
        if (code == code_point) last = at;
    }
    return last;
}

const char *plx_string_substring(const char *haystack, const char *needle, const char **p_end,
                                 uint32_t *p_count) {
    if (p_end) *p_end = nullptr;
    if (p_count) *p_count = 0;
    if (!haystack || !needle) return nullptr;
    if (plx_string_isempty(needle)) {
        /* An empty needle matches at the start and ends there. */
        if (p_end) *p_end = haystack;
        return haystack;
    }
    for (const char *start = haystack; *start != 0;) {
        const char *h = start;
        const char *n = needle;
        uint32_t count = 0;
        for (;;) {
            if (*n == 0) {
                if (p_end) *p_end = h;
                if (p_count) *p_count = count;
                return start;
            }
            /* Once the haystack runs out no later start can hold the needle either. */
            if (*h == 0) return nullptr;
            uint32_t cn;
            uint32_t ch;
            if (_utf8_get_next_char(&n, &cn) != 0 || _utf8_get_next_char(&h, &ch) != 0)
                return nullptr;
            if (ch != cn) break;
            ++count;
        }
        uint32_t code;
        if (_utf8_get_next_char(&start, &code) != 0) return nullptr;
    }
    return nullptr;
}

const char *plx_string_strstr(const char *haystack, const char *needle) {
    return plx_string_substring(haystack, needle, nullptr, nullptr);
}

const char *plx_string_strrstr(const char *haystack, const char *needle) {
    const char *end;
    return plx_string_substring(haystack, needle, &end, nullptr) ? end : nullptr;
}

char *plx_string_strtok(char *s, const char *delimiters, char **p_save, char *p_delimiter) {
    if (!s) {
        if (!p_save || !*p_save) return nullptr;
        s = *p_save;
    }
    /* Each byte is looked up as a code point; the terminator never is a delimiter. */
    auto is_delimiter = [delimiters](char c) {
        return plx_string_strchr(delimiters, static_cast<uint8_t>(c)) != nullptr;
    };
    while (*s != 0 && is_delimiter(*s)) ++s;
    if (*s == 0) {
        if (p_delimiter) *p_delimiter = 0;
        if (p_save) *p_save = nullptr;
        return nullptr;
    }
    char *token = s;
    while (*s != 0 && !is_delimiter(*s)) ++s;
    if (p_delimiter) *p_delimiter = *s;
    if (*s != 0) {
        *s = 0;
        if (p_save) *p_save = s + 1;
    } else if (p_save) {
        *p_save = s; /* at the terminator: the next call ends the walk */
    }
    return token;
}

/* ---- bounded copies ----------------------------------------------------------------------- */

char *plx_string_strcpy(char *dest, uint32_t size, const char *src) {
    if (dest && src) _plx_string_utf8_copy(dest, size, src, kNoCharLimit);
    return dest;
}

char *plx_string_strncpy(char *dest, uint32_t size, const char *src, uint32_t n) {
    if (dest && src) _plx_string_utf8_copy(dest, size, src, n);
    return dest;
}

char *plx_string_strcat(char *dest, uint32_t size, const char *src) {
    return bounded_append(dest, size, src, kNoCharLimit);
}

char *plx_string_strncat(char *dest, uint32_t size, const char *src, uint32_t n) {
    return bounded_append(dest, size, src, n);
}

/* ---- duplication -------------------------------------------------------------------------- */

char *plx_string_strdup(const char *s) {
    if (!s) return nullptr;
    size_t size = strlen(s) + 1;
    char *copy = static_cast<char *>(plx_memory_alloc(size));
    if (copy) memcpy(copy, s, size);
    return copy;
}

char *plx_string_strndup(const char *s, uint32_t n) {
    if (!s) return nullptr;
    uint64_t size = plx_string_bytelen(s);
    if (size > uint64_t{n} * 4) size = uint64_t{n} * 4;
    ++size;
    char *copy = static_cast<char *>(plx_memory_alloc(size));
    if (copy) _plx_string_utf8_copy(copy, static_cast<uint32_t>(size), s, n);
    return copy;
}

char *plx_string_strdupn(const char *s, uint32_t size, char fill) {
    if (!s || size == 0) return nullptr;
    char *copy = static_cast<char *>(plx_memory_alloc(size));
    if (!copy) return nullptr;
    memset(copy, fill, size);
    memcpy(copy, s, strnlen(s, size - 1));
    copy[size - 1] = 0;
    return copy;
}

char *plx_string_worddup(const char *s) {
    if (!s) return nullptr;
    const char *p = s;
    uint32_t code = 0;
    for (;;) {
        const char *next = p;
        if (_utf8_get_next_char(&next, &code) != 0 || !is_blank(code)) break;
        p = next;
    }
    const char *start = p;
    for (;;) {
        const char *next = p;
        if (_utf8_get_next_char(&next, &code) != 0 || code <= 32) break;
        p = next;
    }
    size_t len = static_cast<size_t>(p - start);
    if (len == 0) return nullptr;
    char *word = static_cast<char *>(plx_memory_alloc(len + 1));
    if (!word) return nullptr;
    memcpy(word, start, len);
    word[len] = 0;
    return word;
}

void plx_string_free(void *s) { plx_memory_free(s); }

/* ---- editing in place --------------------------------------------------------------------- */

void plx_string_tolower(char *s) {
    if (!s) return;
    for (; *s != 0; ++s)
        *s = static_cast<char>(ascii_lower(byte_at(s)));
}

void plx_string_toupper(char *s) {
    if (!s) return;
    for (; *s != 0; ++s)
        *s = static_cast<char>(plx::ascii_upper(byte_at(s)));
}

void plx_string_trim(char *s) {
    if (!s) return;
    size_t end = strlen(s);
    size_t begin = 0;
    while (begin < end && is_blank(byte_at(s + begin))) ++begin;
    while (end > begin && is_blank(byte_at(s + end - 1))) --end;
    if (begin > 0) memmove(s, s + begin, end - begin);
    s[end - begin] = 0;
}

/* Reverses in place, without any buffer: first the bytes of every multi-byte character, then
 * the whole string, which puts each character's bytes back in order. Only lead bytes are
 * checked, all of them before anything moves. */
char *plx_string_reverse(char *s) {
    if (!s) return s;
    size_t len = 0;
    while (s[len] != 0) {
        uint32_t n = plx::utf8_lead_length(byte_at(s + len));
        if (n == 0) return s;
        /* A sequence cut short by the terminator would drag it into the middle. */
        for (uint32_t k = 1; k < n; ++k)
            if (s[len + k] == 0) return s;
        len += n;
    }
    auto reverse_bytes = [](char *first, char *last) {
        for (; first < last; ++first, --last) {
            char t = *first;
            *first = *last;
            *last = t;
        }
    };
    for (size_t i = 0; i < len;) {
        uint32_t n = plx::utf8_lead_length(byte_at(s + i));
        if (n > 1) reverse_bytes(s + i, s + i + n - 1);
        i += n;
    }
    if (len > 1) reverse_bytes(s, s + len - 1);
    return s;
}

/* ---- character classes -------------------------------------------------------------------- */

uint8_t plx_string_isalpha(uint32_t code) { return is_upper(code) || is_lower(code); }
uint8_t plx_string_isdigit(uint32_t code) { return is_digit(code); }
uint8_t plx_string_isalnum(uint32_t code) {
    return is_upper(code) || is_lower(code) || is_digit(code);
}
uint8_t plx_string_isspace(uint32_t code) { return code == 0x20 || (code >= 0x09 && code <= 0x0D); }
uint8_t plx_string_isxdigit(uint32_t code) {
    return is_digit(code) || (code >= 'a' && code <= 'f') || (code >= 'A' && code <= 'F');
}
uint8_t plx_string_isprint(uint32_t code) { return code >= 0x20 && code <= 0x7E; }
uint8_t plx_string_islower(uint32_t code) { return is_lower(code); }
uint8_t plx_string_isupper(uint32_t code) { return is_upper(code); }

/* The C locale's single-byte mapping, independent of whatever locale the host has set. */
int32_t plx_string_char_tolower(uint32_t code) { return static_cast<int32_t>(ascii_lower(code)); }
int32_t plx_string_char_toupper(uint32_t code) {
    return static_cast<int32_t>(plx::ascii_upper(code));
}

/* ---- numbers ------------------------------------------------------------------------------ */

char *plx_string_i32toa(int32_t value, char *buffer, uint32_t size) {
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    return format_decimal(magnitude, value < 0, buffer, size);
}

char *plx_string_u32toa(uint32_t value, char *buffer, uint32_t size) {
    return format_decimal(value, false, buffer, size);
}

double plx_string_atof64(const char *s) {
    if (!s) return 0.0;
    double value = 0.0;
    int64_t exponent = 0;
    for (; is_digit(byte_at(s)); ++s) value = value * 10.0 + (*s - '0');
    if (*s == '.') {
        for (++s; is_digit(byte_at(s)); ++s) {
            value = value * 10.0 + (*s - '0');
            if (exponent > -kExponentCap) --exponent;
        }
    }
    if (*s == 'e' || *s == 'E') {
        ++s;
        bool negative = *s == '-';
        if (*s == '+' || *s == '-') ++s;
        int64_t e = 0;
        for (; is_digit(byte_at(s)); ++s)
            if (e < kExponentCap) e = e * 10 + (*s - '0');
        exponent += negative ? -e : e;
    }
    /* Repeated steps rather than one power: the results are those of this exact sequence. */
    for (; exponent > 0 && value != 0.0 && value <= __DBL_MAX__; --exponent) value *= 10.0;
    for (; exponent < 0 && value != 0.0; ++exponent) value *= 0.1;
    return value;
}

uint8_t plx_string_atobool(const char *s) {
    if (!s) return 0;
    switch (*s) {
        case 'Y':
        case 'y':
            return plx_string_equal(s, "y", 1) || plx_string_equal(s, "yes", 1);
        case 'T':
        case 't':
            return plx_string_equal(s, "true", 1);
        case 'O':
        case 'o':
            return plx_string_equal(s, "on", 1);
        case '0':
            return plx_string_atou32(s) != 0;
        default:
            return is_digit(byte_at(s));
    }
}

/* The 32-bit conversions give the results of a 32-bit C library also where `long` is wider:
 * out-of-range values saturate and set ERANGE, a negated magnitude wraps modulo 2^32. */
uint32_t plx_string_atou32(const char *s) {
    if (!s) return 0;
    if constexpr (sizeof(unsigned long) == sizeof(uint32_t)) {
        return static_cast<uint32_t>(strtoul(s, nullptr, 10));
    } else {
        const char *p = s;
        while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
        bool negative = *p == '-';
        int saved_errno = errno;
        errno = 0;
        unsigned long long v = strtoull(s, nullptr, 10);
        if (errno == ERANGE) return 0xFFFFFFFFu;
        errno = saved_errno;
        unsigned long long magnitude = negative ? 0ull - v : v;
        if (magnitude > 0xFFFFFFFFull) {
            errno = ERANGE;
            return 0xFFFFFFFFu;
        }
        uint32_t m = static_cast<uint32_t>(magnitude);
        return negative ? 0u - m : m;
    }
}

uint64_t plx_string_atou64(const char *s) { return s ? strtoull(s, nullptr, 10) : 0; }

int32_t plx_string_atoi32(const char *s) {
    if (!s) return 0;
    long v = strtol(s, nullptr, 10);
    if (v > INT32_MAX) {
        errno = ERANGE;
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        errno = ERANGE;
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

/* The pass-throughs add only a guard against a null string. */
unsigned long plx_string_strtoul(const char *s, char **p_end, int base) {
    if (!s) return null_number(p_end);
    return strtoul(s, p_end, base);
}

unsigned long long plx_string_strtoull(const char *s, char **p_end, int base) {
    if (!s) return null_number(p_end);
    return strtoull(s, p_end, base);
}

long plx_string_strtol(const char *s, char **p_end, int base) {
    if (!s) return null_number(p_end);
    return strtol(s, p_end, base);
}

}  // extern "C"
