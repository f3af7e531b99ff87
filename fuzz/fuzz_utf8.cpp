/* UTF-8 primitives against a reference decoder: lengths, validity, the character walk, bounded
 * copies (never past the destination, always terminated, never half a character), encoding,
 * reversal, UCS-2 round trips, search, comparison, decimal formatting, trimming, case mapping
 * and the first-word copy. Every string lives in a heap block of its exact size, so a read past
 * its terminator is caught by the sanitizer. */
#include <algorithm>
#include <vector>

#include "fuzz_common.h"

namespace fuzz_utf8 {

constexpr uint32_t kInvalidSequence = 0x900503A0u, kTooSmall = 0x90050008u;

/* One decoded character, or ok = false for an invalid sequence. */
struct Char {
    uint32_t cp = 0;
    uint32_t len = 0;
    bool ok = false;
};

Char decode(const unsigned char *p) {
    unsigned b = p[0];
    if (b < 0x80) return {b, 1, true};
    uint32_t n, v;
    if (b >= 0xC0 && b <= 0xDF) {
        n = 2, v = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, v = b & 0x0F;
    } else {
        return {};
    }
    for (uint32_t i = 1; i < n; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) return {};
        v = v << 6 | (p[i] & 0x3F);
    }
    return {v, n, true};
}

/* A string split into characters up to its terminator or its first invalid sequence. */
struct Model {
    std::vector<Char> chars;
    bool valid = true;     /* no invalid sequence before the terminator */
    bool canonical = true; /* valid and no overlong form, so bytes and code points agree */
    explicit Model(const std::string &s) {
        auto p = reinterpret_cast<const unsigned char *>(s.c_str());
        while (*p) {
            Char c = decode(p);
            if (!c.ok) {
                valid = canonical = false;
                return;
            }
            if ((c.len == 2 && c.cp < 0x80) || (c.len == 3 && c.cp < 0x800)) canonical = false;
            chars.push_back(c);
            p += c.len;
        }
    }
    std::vector<uint32_t> codes(size_t limit, bool fold) const {
        std::vector<uint32_t> out;
        for (size_t i = 0; i < chars.size() && i < limit; ++i)
            out.push_back(fold && chars[i].cp >= 'A' && chars[i].cp <= 'Z' ? chars[i].cp + 32
                                                                           : chars[i].cp);
        return out;
    }
};

/* A heap copy of exactly strlen + 1 bytes. */
struct Exact {
    explicit Exact(const std::string &s) : p(static_cast<char *>(malloc(s.size() + 1))) {
        memcpy(p, s.c_str(), s.size() + 1);
    }
    ~Exact() { free(p); }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    char *p;
};

uint32_t encoded_length(uint32_t cp) {
    return cp <= 0x7F        ? 1
           : cp < 0x800      ? 2
           : cp < 0x10000    ? 3
           : cp < 0x200000   ? 4
           : cp <= 0x3FFFFFF ? 5
                             : 6;
}

int sign(long v) { return v < 0 ? -1 : v > 0; }

int compare(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end())   ? -1
           : std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end()) ? 1
                                                                                  : 0;
}

void check_lengths_and_walk(const char *s, const Model &m, uint32_t limit) {
    size_t bytes = strlen(s);
    FUZZ_CHECK(plx_string_bytelen(s) == bytes + 1);
    FUZZ_CHECK(plx_string_bytelen_nonull(s) == bytes);
    FUZZ_CHECK(plx_string_isvalid(s) == (m.valid ? 1 : 0));
    FUZZ_CHECK(plx_string_charlen(s) == m.chars.size() + (m.valid ? 0 : 1));
    unsigned lead = static_cast<unsigned char>(s[0]);
    uint32_t first = lead < 0x80                    ? 1
                     : lead >= 0xC0 && lead <= 0xDF ? 2
                     : lead >= 0xE0 && lead <= 0xEF ? 3
                                                    : 1;
    FUZZ_CHECK(plx_string_nextcharsize(s) == first);
    bool empty = bytes == 0 || m.chars.empty() || m.chars[0].cp == 0;
    FUZZ_CHECK(plx_string_isempty(s) == (empty ? 1 : 0));

    uint32_t clen = 0;
    for (size_t i = 0; i < m.chars.size() && i < limit; ++i) clen += m.chars[i].len;
    FUZZ_CHECK(plx_string_byteclen(s, limit) == (limit == 0 ? 0 : clen));
    if (m.valid) {
        uint32_t count = 0, sum = 0;
        for (const Char &c : m.chars) {
            if (sum + c.len > limit) break;
            sum += c.len, ++count;
        }
        FUZZ_CHECK(plx_string_charnlen(s, limit) == count, "max %u", limit);
    }

    /* The decoder walk agrees with the model and stops without moving at an invalid sequence. */
    const char *pos = s;
    for (const Char &c : m.chars) {
        uint32_t n = 99;
        const char *at = pos;
        FUZZ_CHECK(plx_string_charnext(&pos, &n) == c.cp);
        FUZZ_CHECK(n == c.len && pos == at + c.len);
    }
    uint32_t n = 99;
    const char *at = pos;
    FUZZ_CHECK(plx_string_charnext(&pos, &n) == 0);
    FUZZ_CHECK(pos == (m.valid ? at + 1 : at), "walk moved at %s",
               m.valid ? "the end" : "an invalid sequence");
}

/* Bounded copy into a heap block of exactly `size` bytes: terminated, a byte prefix of the
 * source, and for a valid source the longest run of whole characters that fits. */
void check_copy(const char *s, const Model &m, uint32_t size, uint32_t limit, bool limited) {
    char *dest = static_cast<char *>(malloc(size ? size : 1));
    dest[0] = 'Z';
    char *r = limited ? plx_string_strncpy(dest, size, s, limit) : plx_string_strcpy(dest, size, s);
    FUZZ_CHECK(r == dest);
    if (size == 0) {
        FUZZ_CHECK(dest[0] == 'Z', "a zero-size copy wrote");
    } else {
        size_t out = strnlen(dest, size);
        FUZZ_CHECK(out < size, "copy not terminated within %u bytes", size);
        FUZZ_CHECK(memcmp(dest, s, out) == 0, "copy is not a prefix of the source");
        if (m.valid) {
            size_t want = 0, count = 0;
            for (const Char &c : m.chars) {
                if ((limited && count == limit) || want + c.len > size - 1) break;
                want += c.len, ++count;
            }
            FUZZ_CHECK(out == want, "copied %zu bytes, expected %zu (size %u)", out, want, size);
        }
    }
    free(dest);
}

void check_setchar(uint32_t cp, uint32_t size) {
    unsigned char buf[16];
    memset(buf, 0xAA, sizeof buf);
    uint32_t written = 99;
    uint32_t len = encoded_length(cp);
    FUZZ_CHECK(plx_string_setchar(reinterpret_cast<char *>(buf), size, cp, &written) ==
               reinterpret_cast<char *>(buf));
    if (len >= size) {
        FUZZ_CHECK(written == 0 && buf[0] == 0xAA, "encoded %u bytes into %u", len, size);
        return;
    }
    FUZZ_CHECK(written == len && buf[len] == 0xAA, "cp %x: %u bytes written", cp, written);
    if (len <= 3) {
        buf[len] = 0;
        Char c = decode(buf);
        FUZZ_CHECK(c.ok && c.cp == cp && c.len == len, "cp %x does not decode back", cp);
    } else {
        static constexpr uint8_t marks[] = {0, 0, 0, 0, 0xF0, 0xF8, 0xFC};
        FUZZ_CHECK((buf[0] & marks[len]) == marks[len]);
    }
}

void check_reverse(const std::string &src, const Model &m) {
    Exact s(src);
    FUZZ_CHECK(plx_string_reverse(s.p) == s.p);
    FUZZ_CHECK(strlen(s.p) == src.size());
    if (!m.valid) return;
    std::string want;
    for (size_t i = m.chars.size(), off = src.size(); i-- > 0;) {
        off -= m.chars[i].len;
        want += src.substr(off, m.chars[i].len);
    }
    FUZZ_CHECK(want == s.p, "reversed characters differ");
}

void check_ucs2(const char *s, const Model &m, uint32_t count, uint32_t capacity, bool swap) {
    auto unit = [&](uint32_t cp) {
        uint16_t u = static_cast<uint16_t>(cp);
        return swap ? static_cast<uint16_t>(u << 8 | u >> 8) : u;
    };
    /* Into a caller's buffer over the first `count` bytes: a character that crosses the count
     * is invalid. */
    size_t bytes = strlen(s);
    if (count > bytes) count = static_cast<uint32_t>(bytes);
    std::vector<uint16_t> units(2 * count + 1);
    uint32_t written = 99;
    uint32_t rc = plx_string_utf8_to_ucs2_buf(s, count, units.data(), &written, swap);
    uint32_t at = 0, n = 0;
    bool bad = false;
    for (const Char &c : m.chars) {
        if (at == count) break;
        if (at + c.len > count) {
            bad = true;
            break;
        }
        FUZZ_CHECK(units[n] == unit(c.cp));
        at += c.len, ++n;
    }
    if (at < count && !bad) bad = true; /* the model met an invalid sequence first */
    FUZZ_CHECK(rc == (bad ? kInvalidSequence : 0u), "rc %x over %u bytes", rc, count);
    FUZZ_CHECK(written == 2 * n, "%u bytes written, %u units expected", written, n);

    if (!m.valid) return;
    /* Allocating conversions round-trip a canonical string. */
    uint16_t *u = nullptr;
    FUZZ_CHECK(plx_string_utf8_to_ucs2(s, &u, swap) == 0 && u);
    for (size_t i = 0; i < m.chars.size(); ++i) FUZZ_CHECK(u[i] == unit(m.chars[i].cp));
    FUZZ_CHECK(u[m.chars.size()] == 0);
    char *back = nullptr;
    FUZZ_CHECK(plx_string_ucs2_to_utf8(u, &back, swap) == 0 && back);
    if (m.canonical) FUZZ_CHECK(strcmp(back, s) == 0, "UCS-2 round trip changed the string");

    /* Back into a bounded buffer: unit by unit until one does not fit with a byte to spare. */
    uint32_t src_bytes = static_cast<uint32_t>(2 * (m.chars.size() + 1));
    std::vector<char> out(capacity + 1, 'Z');
    uint32_t size = capacity;
    rc = plx_string_ucs2_to_utf8_buf(u, src_bytes, out.data(), &size, swap);
    uint32_t want = 0;
    uint32_t want_rc = 0;
    for (size_t i = 0; i <= m.chars.size(); ++i) {
        uint32_t len = i < m.chars.size() ? encoded_length(m.chars[i].cp) : 1;
        if (len >= capacity - want) {
            want_rc = kTooSmall;
            break;
        }
        want += len;
    }
    FUZZ_CHECK(rc == want_rc && size == want, "rc %x size %u, expected %x %u", rc, size, want_rc,
               want);
    FUZZ_CHECK(out[capacity] == 'Z', "wrote past the capacity");
    plx_string_free(back);
    plx_string_free(u);
}

void check_search_and_compare(const char *a, const Model &ma, const char *b, const Model &mb,
                              uint32_t limit, uint32_t cp) {
    FUZZ_CHECK(plx_string_strcmp(a, b) == sign(strcmp(a, b)));
    if (!ma.canonical || !mb.canonical) {
        /* Only that nothing breaks. */
        plx_string_strstr(a, b);
        plx_string_stricmp(a, b);
        plx_string_strnicmp(a, b, limit);
        plx_string_strcmp_len(a, b, nullptr, nullptr);
        plx_string_strchr(a, cp);
        plx_string_strrchr(a, cp);
        return;
    }
    const size_t all = SIZE_MAX;
    FUZZ_CHECK(plx_string_stricmp(a, b) == compare(ma.codes(all, true), mb.codes(all, true)));
    FUZZ_CHECK(
        plx_string_strncmp(a, b, limit) == compare(ma.codes(limit, false), mb.codes(limit, false)),
        "limit %u", limit);
    FUZZ_CHECK(plx_string_strnicmp(a, b, limit) ==
               compare(ma.codes(limit, true), mb.codes(limit, true)));
    for (bool fold : {true, false}) {
        auto ca = ma.codes(all, fold), cb = mb.codes(all, fold);
        uint32_t common = static_cast<uint32_t>(
            std::mismatch(ca.begin(), ca.end(), cb.begin(), cb.end()).first - ca.begin());
        uint32_t got = fold ? plx_string_strcmp_len(a, b, nullptr, nullptr)
                            : plx_string_stricmp_len(a, b, nullptr, nullptr);
        FUZZ_CHECK(got == common, "common prefix %u, got %u (fold %d)", common, got, fold);
    }

    /* Byte search finds the same place as character search in canonical text. */
    std::string hay(a), needle(b);
    size_t at = hay.find(needle);
    const char *end = nullptr;
    uint32_t count = 99;
    const char *found = plx_string_substring(a, b, &end, &count);
    if (needle.empty()) {
        FUZZ_CHECK(found == a);
    } else if (at == std::string::npos) {
        FUZZ_CHECK(found == nullptr && end == nullptr && count == 0);
        FUZZ_CHECK(plx_string_strrstr(a, b) == nullptr);
    } else {
        FUZZ_CHECK(found == a + at && end == a + at + needle.size() && count == mb.chars.size());
        FUZZ_CHECK(plx_string_strrstr(a, b) == end);
    }

    const char *first = nullptr, *last = nullptr;
    size_t off = 0;
    for (const Char &c : ma.chars) {
        if (c.cp == cp) {
            if (!first) first = a + off;
            last = a + off;
        }
        off += c.len;
    }
    FUZZ_CHECK(plx_string_strchr(a, cp) == first, "strchr %x", cp);
    FUZZ_CHECK(plx_string_strrchr(a, cp) == last, "strrchr %x", cp);
}

void check_decimal(uint32_t bits, uint32_t size) {
    for (bool is_signed : {true, false}) {
        int32_t v = static_cast<int32_t>(bits);
        bool negative = is_signed && v < 0;
        uint64_t magnitude = negative ? 0ull - static_cast<int64_t>(v) : (is_signed ? v : bits);
        std::string digits = std::to_string(magnitude), want;
        uint32_t room = size ? size - 1 : 0;
        if (digits.size() <= room) {
            want = negative && digits.size() + 1 <= room ? "-" + digits : digits;
        } else {
            want = digits.substr(digits.size() - room);
        }
        char *buf = static_cast<char *>(malloc(size ? size : 1));
        buf[0] = 'Z';
        if (is_signed) {
            plx_string_i32toa(v, buf, size);
        } else {
            plx_string_u32toa(bits, buf, size);
        }
        if (size == 0) {
            FUZZ_CHECK(buf[0] == 'Z');
        } else {
            FUZZ_CHECK(want == std::string(buf, strnlen(buf, size)), "%s into %u bytes",
                       digits.c_str(), size);
        }
        free(buf);
    }
}

/* Byte-wise edits in place and the first-word copy. */
void check_edits(const std::string &src, const Model &m) {
    Exact s(src);
    plx_string_trim(s.p);
    size_t first = 0, last = src.size();
    while (first < last && static_cast<unsigned char>(src[first]) - 1u < 32u) ++first;
    while (last > first && static_cast<unsigned char>(src[last - 1]) - 1u < 32u) --last;
    FUZZ_CHECK(src.substr(first, last - first) == s.p, "trim");

    std::string lower = src, upper = src;
    for (char &c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    for (char &c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    Exact l(src), u(src);
    plx_string_tolower(l.p);
    plx_string_toupper(u.p);
    FUZZ_CHECK(lower == l.p && upper == u.p, "case mapping");

    Exact w(src);
    char *word = plx_string_worddup(w.p);
    if (m.valid) {
        size_t k = 0, at = 0;
        while (k < m.chars.size() && m.chars[k].cp >= 1 && m.chars[k].cp <= 32)
            at += m.chars[k++].len;
        size_t start = at;
        while (k < m.chars.size() && m.chars[k].cp > 32) at += m.chars[k++].len;
        if (at == start) {
            FUZZ_CHECK(word == nullptr, "a word where there is none");
        } else {
            FUZZ_CHECK(word && src.substr(start, at - start) == word, "first word");
        }
    }
    plx_string_free(word);
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    uint32_t dest_size = r.below(40), limit = r.below(24), capacity = r.below(40);
    uint32_t cp = r.u32() >> r.below(32);
    uint8_t flags = r.u8();
    std::string text = r.rest();
    size_t cut = std::min<size_t>(text.size(), flags % 64u);
    /* The part after the cut is a second string (needle, comparand); the haystack ends there. */
    std::string b_text = text.substr(cut);
    text.resize(strnlen(text.c_str(), cut));
    b_text.resize(strlen(b_text.c_str()));

    Exact a(text), b(b_text);
    Model ma(text), mb(b_text);
    check_lengths_and_walk(a.p, ma, limit);
    check_copy(a.p, ma, dest_size, limit, flags & 0x40);
    check_setchar(cp, dest_size % 10);
    check_reverse(text, ma);
    check_edits(text, ma);
    check_ucs2(a.p, ma, limit, capacity, flags & 0x80);
    if (!ma.chars.empty() && (flags & 1)) cp = ma.chars[cp % ma.chars.size()].cp;
    check_search_and_compare(a.p, ma, b.p, mb, limit, cp);
    check_decimal(cp ^ (flags << 24), dest_size % 13);

    char *dup = plx_string_strdup(a.p);
    FUZZ_CHECK(dup && strcmp(dup, a.p) == 0);
    plx_string_free(dup);
}

} // namespace fuzz_utf8

VELTRA_FUZZ_ENTRY(fuzz_utf8::run)
