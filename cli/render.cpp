#include "render.h"

#include <stdio.h>

#include <algorithm>

namespace cli {

size_t text_width(const std::string &s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string fit(const std::string &s, size_t width) {
    if (text_width(s) <= width) return s;
    std::string out;
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) != 0x80) {
            if (n + 1 == width) break;
            ++n;
        }
        out += s[i];
    }
    return out + "\xE2\x80\xA6";
}

std::string pad(const std::string &s, size_t width, bool right_align) {
    size_t w = text_width(s);
    std::string fill(w < width ? width - w : 0, ' ');
    return right_align ? fill + s : s + fill;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Table::render() const {
    std::vector<size_t> width(header.size(), 0);
    for (size_t c = 0; c < header.size(); ++c) width[c] = text_width(header[c]);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size() && c < width.size(); ++c)
            width[c] = std::max(width[c], text_width(row[c]));
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out;
        for (size_t c = 0; c < width.size(); ++c) {
            bool right = c < right_align.size() && right_align[c];
            std::string cell = c < cells.size() ? cells[c] : "";
            out += (c ? "  " : "") + (c + 1 == width.size() && !right ? cell : pad(cell, width[c], right));
        }
        return out + "\n";
    };
    std::string out = line(header);
    std::string rule;
    for (size_t c = 0; c < width.size(); ++c) rule += (c ? "  " : "") + std::string(width[c], '-');
    out += rule + "\n";
    for (const auto &row : rows) out += line(row);
    return out;
}

}  // namespace cli
