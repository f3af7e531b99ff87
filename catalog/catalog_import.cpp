/* The CSV importer: a user's own collection into a catalog file. The whole file is checked
 * before anything is written; the first bad field is reported by line and column, the column
 * counted in characters. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog_internal.h"

namespace {

constexpr const char *kHeader[] = {"ident", "album_ident", "album", "title", "artist",
                                   "mood",  "genre",       "origin", "era"};
constexpr size_t kFields = sizeof kHeader / sizeof kHeader[0];

struct Field {
    std::string text;
    uint32_t column; /* 1-based character column where the field starts */
};

struct Record {
    uint32_t line;
    std::vector<Field> fields;
};

uint32_t fail(veltra_catalog_import_error_t *e, uint32_t line, uint32_t column, const char *fmt,
              const char *arg = "") {
    if (e) {
        e->line = line;
        e->column = column;
        snprintf(e->message, sizeof e->message, fmt, arg);
    }
    return VELTRA_CATALOG_ERR_BAD_INPUT;
}

/* 1 for the first byte of a UTF-8 character, 0 for a continuation byte. */
uint32_t lead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

/* Refuses NUL bytes and malformed UTF-8, reporting the line and character column. */
uint32_t check_text(const std::string &text, veltra_catalog_import_error_t *e) {
    size_t bad = 0;
    if (cat::valid_utf8(text.data(), text.size(), &bad)) return 0;
    size_t nl = bad ? text.rfind('\n', bad - 1) : std::string::npos;
    size_t line_start = nl == std::string::npos ? 0 : nl + 1;
    uint32_t line = 1 + static_cast<uint32_t>(std::count(text.begin(), text.begin() + static_cast<long>(line_start), '\n'));
    uint32_t column = 1;
    for (size_t i = line_start; i < bad; ++i) column += lead(text[i]);
    return fail(e, line, column, text[bad] == '\0' ? "NUL byte%s" : "text is not valid UTF-8%s");
}

/* Splits the text into records of fields (quotes may span lines). */
uint32_t parse(const std::string &text, std::vector<Record> *out, veltra_catalog_import_error_t *e) {
    size_t i = 0, n = text.size();
    uint32_t line = 1, col = 1;
    while (i < n) {
        Record r{line, {}};
        for (;;) {
            Field f{std::string(), col};
            if (i < n && text[i] == '"') {
                uint32_t start_line = line, start_col = col;
                ++i, ++col;
                for (;;) {
                    if (i >= n) return fail(e, start_line, start_col, "unterminated quoted field");
                    char c = text[i];
                    if (c == '"') {
                        if (i + 1 < n && text[i + 1] == '"') {
                            f.text += '"';
                            i += 2, col += 2;
                            continue;
                        }
                        ++i, ++col;
                        break;
                    }
                    if (c == '\n') ++line, col = 0;
                    f.text += c;
                    col += lead(c);
                    ++i;
                }
                if (i < n && text[i] != ',' && text[i] != '\n' && text[i] != '\r')
                    return fail(e, line, col, "unexpected text after a closing quote");
            } else {
                while (i < n && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    if (text[i] == '"') return fail(e, line, col, "quote inside an unquoted field");
                    f.text += text[i];
                    col += lead(text[i]);
                    ++i;
                }
            }
            r.fields.push_back(std::move(f));
            if (i < n && text[i] == ',') {
                ++i, ++col;
                continue;
            }
            if (i < n && text[i] == '\r') ++i;
            if (i < n && text[i] == '\n') ++i;
            ++line, col = 1;
            break;
        }
        bool blank = r.fields.size() == 1 && r.fields[0].text.empty();
        if (!blank) out->push_back(std::move(r));
    }
    return 0;
}

bool parse_id(const std::string &s, uint32_t *out) {
    if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *out = static_cast<uint32_t>(strtoul(s.c_str(), nullptr, 10));
    return true;
}

}  // namespace

extern "C" {

uint32_t veltra_catalog_import_csv(const char *csv_path, const char *catalog_path, const char *name,
                                   uint32_t flags, uint32_t *p_track_count,
                                   veltra_catalog_import_error_t *p_error) {
    if (p_error) memset(p_error, 0, sizeof *p_error);
    if (p_track_count) *p_track_count = 0;
    if (!csv_path || !catalog_path || !*catalog_path) return VELTRA_CATALOG_ERR_INVALID_ARG;
    if (name && !cat::valid_utf8(name, strlen(name))) return VELTRA_CATALOG_ERR_INVALID_ARG;
    FILE *f = fopen(csv_path, "rb");
    if (!f) return VELTRA_CATALOG_ERR_NOT_FOUND;
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
    bool read_error = ferror(f) != 0;
    fclose(f);
    if (read_error) return VELTRA_CATALOG_ERR_IO;
    if (text.size() >= 3 && !memcmp(text.data(), "\xEF\xBB\xBF", 3)) text.erase(0, 3);
    if (uint32_t code = check_text(text, p_error)) return code;

    std::vector<Record> records;
    if (uint32_t code = parse(text, &records, p_error)) return code;
    if (records.empty()) return fail(p_error, 1, 1, "missing header line");
    const Record &head = records[0];
    for (size_t k = 0; k < kFields; ++k) {
        if (k >= head.fields.size() || head.fields[k].text != kHeader[k])
            return fail(p_error, head.line, k < head.fields.size() ? head.fields[k].column : 1,
                        "header must be ident,album_ident,album,title,artist,mood,genre,origin,era%s");
    }
    if (head.fields.size() != kFields)
        return fail(p_error, head.line, head.fields[kFields].column, "header has extra fields%s");

    cat::Lists lists;
    if (uint32_t code = cat::load_lists(&lists)) return code;
    std::unordered_set<uint32_t> known[cat::kListKinds];
    for (int k = 0; k < cat::kListKinds; ++k) known[k].insert(lists.ids[k].begin(), lists.ids[k].end());
    const int kind_of_field[kFields] = {-1, -1, -1, -1, -1, cat::kMoods, cat::kGenres,
                                        cat::kOrigins, cat::kEras};

    std::unordered_set<std::string> idents;
    std::unordered_map<std::string, const Record *> album_first; /* album ident -> first row */
    for (size_t r = 1; r < records.size(); ++r) {
        const Record &rec = records[r];
        if (rec.fields.size() != kFields) {
            uint32_t col = rec.fields.size() > kFields ? rec.fields[kFields].column
                                                       : rec.fields.back().column;
            char msg[64];
            snprintf(msg, sizeof msg, "%zu", rec.fields.size());
            return fail(p_error, rec.line, col, "expected 9 fields, found %s", msg);
        }
        for (size_t k = 0; k < kFields; ++k) {
            const Field &fld = rec.fields[k];
            if (fld.text.empty()) return fail(p_error, rec.line, fld.column, "empty %s", kHeader[k]);
            if (kind_of_field[k] >= 0) {
                uint32_t id = 0;
                if (!parse_id(fld.text, &id) || !known[kind_of_field[k]].count(id))
                    return fail(p_error, rec.line, fld.column,
                                k == 5 ? "unknown level-2 mood id '%s'" : "unknown id '%s'",
                                fld.text.c_str());
            }
        }
        if (!idents.insert(rec.fields[0].text).second)
            return fail(p_error, rec.line, rec.fields[0].column, "duplicate ident '%s'",
                        rec.fields[0].text.c_str());
        auto first = album_first.emplace(rec.fields[1].text, &rec).first->second;
        if (first->fields[2].text != rec.fields[2].text) {
            char msg[150];
            snprintf(msg, sizeof msg, "'%.60s' (line %u has '%.60s')", rec.fields[2].text.c_str(),
                     first->line, first->fields[2].text.c_str());
            return fail(p_error, rec.line, rec.fields[2].column,
                        "a second album title for one album ident: %s", msg);
        }
    }

    veltra_catalog_writer_t *w = nullptr;
    if (uint32_t code = veltra_catalog_writer_begin(catalog_path, flags, &w)) return code;
    veltra_catalog_media_t no_media{};
    no_media.arousal = no_media.valence = NAN;
    no_media.features = {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};
    for (size_t r = 1; r < records.size(); ++r) {
        const std::vector<Field> &fl = records[r].fields;
        veltra_catalog_row_t row{};
        row.ident = fl[0].text.c_str();
        row.album_ident = fl[1].text.c_str();
        row.album = fl[2].text.c_str();
        row.title = fl[3].text.c_str();
        row.artist = fl[4].text.c_str();
        parse_id(fl[5].text, &row.mood);
        parse_id(fl[6].text, &row.genre);
        parse_id(fl[7].text, &row.origin);
        parse_id(fl[8].text, &row.era);
        row.media = no_media;
        if (uint32_t code = veltra_catalog_writer_add(w, &row)) {
            veltra_catalog_writer_abort(w);
            /* The checks above should have caught it; still say where. */
            fail(p_error, records[r].line, 1, "the catalog refused this row%s");
            return code;
        }
    }
    char description[160];
    snprintf(description, sizeof description, "Imported from %s: %zu tracks", csv_path,
             records.size() - 1);
    if (!cat::valid_utf8(description, strlen(description)))
        snprintf(description, sizeof description, "Imported: %zu tracks", records.size() - 1);
    uint32_t code = veltra_catalog_writer_commit(w, name && *name ? name : "Imported catalog",
                                                 description);
    if (code == 0 && p_track_count) *p_track_count = static_cast<uint32_t>(records.size() - 1);
    return code;
}

}  // extern "C"
