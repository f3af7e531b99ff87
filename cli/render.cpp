#include "render.h"

#include <locale.h>
#include <stdio.h>
#include <wchar.h>

#include <algorithm>

namespace cli {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

/* Decodes one UTF-8 sequence at s[i]; advances i. Malformed, overlong or surrogate sequences
 * give U+FFFD and consume one byte. */
uint32_t decode(const std::string &s, size_t *i) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data()) + *i;
    const size_t left = s.size() - *i;
    const unsigned c = p[0];
    size_t n = 0;
    uint32_t cp = 0, min = 0;
    if (c < 0x80) { *i += 1; return c; }
    if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; min = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; min = 0x10000; }
    if (n == 0 || left < n) { *i += 1; return kReplacement; }
    for (size_t k = 1; k < n; ++k) {
        if ((p[k] & 0xC0) != 0x80) { *i += 1; return kReplacement; }
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { *i += 1; return kReplacement; }
    *i += n;
    return cp;
}

void encode(uint32_t cp, std::string *out) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

/* The C library's width table for Unicode, when a UTF-8 character type can be loaded. */
bool load_width_table() {
    static const bool loaded = setlocale(LC_CTYPE, "C.UTF-8") || setlocale(LC_CTYPE, "C.utf8") ||
                               setlocale(LC_CTYPE, "en_US.UTF-8");
    return loaded;
}

/* Columns of one printable code point. Without the C library's table: the common combining
 * and zero-width ranges, and the East Asian wide and emoji blocks. */
int width_of(uint32_t cp) {
    if (cp < 0x7F) return 1;
    if (load_width_table()) {
        int w = wcwidth(static_cast<wchar_t>(cp));
        return w < 0 ? 1 : w;
    }
    struct Range { uint32_t lo, hi; };
    static const Range kZero[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                  {0x064B, 0x065F}, {0x200B, 0x200F}, {0x202A, 0x202E}, {0x20D0, 0x20FF},
                                  {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF}};
    static const Range kWide[] = {{0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF},
                                  {0x4E00, 0x9FFF}, {0xA000, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},
                                  {0xFE30, 0xFE4F}, {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F},
                                  {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};
    for (const Range &r : kZero)
        if (cp >= r.lo && cp <= r.hi) return 0;
    for (const Range &r : kWide)
        if (cp >= r.lo && cp <= r.hi) return 2;
    return 1;
}

}  // namespace

std::string printable(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = decode(s, &i);
        if (cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0)) {
            encode(cp, &out);
            continue;
        }
        char buf[8];
        switch (cp) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            snprintf(buf, sizeof buf, cp < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    return out;
}

size_t text_width(const std::string &s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size();) n += static_cast<size_t>(width_of(decode(s, &i)));
    return n;
}

std::string fit(const std::string &s, size_t width) {
    if (text_width(s) <= width) return s;
    if (width == 0) return "";
    std::string out;
    size_t used = 0;
    for (size_t i = 0; i < s.size();) {
        size_t start = i;
        size_t w = static_cast<size_t>(width_of(decode(s, &i)));
        if (used + w > width - 1) break; /* one column for the ellipsis */
        used += w;
        out.append(s, start, i - start);
    }
    return out + "\xE2\x80\xA6";
}

std::string pad(const std::string &s, size_t width, bool right_align) {
    size_t w = text_width(s);
    std::string fill(w < width ? width - w : 0, ' ');
    return right_align ? fill + s : s + fill;
}

std::string count_text(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Table::render() const {
    std::vector<std::vector<std::string>> text;
    text.reserve(rows.size() + 1);
    text.push_back(header);
    for (const auto &row : rows) {
        text.emplace_back();
        for (const std::string &cell : row) text.back().push_back(printable(cell));
    }
    std::vector<size_t> width(header.size(), 0);
    for (const auto &row : text)
        for (size_t c = 0; c < row.size() && c < width.size(); ++c)
            width[c] = std::max(width[c], text_width(row[c]));
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out;
        for (size_t c = 0; c < width.size(); ++c) {
            bool right = c < right_align.size() && right_align[c];
            const std::string cell = c < cells.size() ? cells[c] : "";
            out += (c ? "  " : "") + (c + 1 == width.size() && !right ? cell : pad(cell, width[c], right));
        }
        return out + "\n";
    };
    std::string out = line(text[0]);
    for (size_t c = 0; c < width.size(); ++c) out += (c ? "  " : "") + std::string(width[c], '-');
    out += "\n";
    for (size_t r = 1; r < text.size(); ++r) out += line(text[r]);
    return out;
}

}  // namespace cli
