/* grid, recommend, html, moods and lists: the commands that read the mood grid. */
#include "commands.h"

#include <stdio.h>
#include <string.h>

#include <stdlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "html.h"
#include "render.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

/* "genres" for VELTRA_LIST_TYPE_GENRES. */
std::string list_word(const std::string &list_type) {
    return list_type.substr(strlen("veltra_list_type_"));
}

/* Filter values are ids the parser checked against the lists. */
uint32_t filter_id(const Filter &f) {
    return static_cast<uint32_t>(strtoul(f.value.c_str(), nullptr, 10));
}

std::string filters_caption(const Options &o) {
    if (o.filters.empty()) return "no filters";
    std::string s;
    for (const Filter &f : o.filters) {
        std::string kind = list_word(f.list_type);
        kind.pop_back(); /* genres -> genre */
        const char *name = list_name(f.list_type.c_str(), filter_id(f), o.locale);
        s += (s.empty() ? "" : ", ") + std::string(f.include ? "" : "not ") + kind + " " +
             (name ? name : f.value);
    }
    return s;
}

Json filters_json(const Options &o) {
    Json list = Json::array();
    for (const Filter &f : o.filters) {
        uint32_t id = filter_id(f);
        const char *name = list_name(f.list_type.c_str(), id, o.locale);
        list.push_back({{"list_type", list_word(f.list_type)},
                        {"id", id},
                        {"name", name ? Json(name) : Json(nullptr)},
                        {"include", f.include}});
    }
    return list;
}

/* {"id": 5, "name": "Rock"}; null for 0 (none); a null name for an id the list lacks. */
Json item_json(const char *list_type, uint32_t id, const std::string &locale) {
    if (id == 0) return nullptr;
    const char *name = list_name(list_type, id, locale);
    return {{"id", id}, {"name", name ? Json(name) : Json(nullptr)}};
}

std::string catalog_caption(const Session &s, const Options &o) {
    veltra_catalog_info_t info{};
    veltra_catalog_get_info(s.catalog(), &info);
    return printable(info.name) + ": " + count_text(info.track_count, "track", "tracks") + "; " +
           std::to_string(o.size) + "x" + std::to_string(o.size) + " grid, locale " + o.locale + ", " +
           printable(filters_caption(o));
}

}  // namespace

const veltra_manager_list_entry_t *list_entries(const char *list_type, uint32_t *p_count) {
    const veltra_manager_list_entry_t *e = nullptr;
    *p_count = 0;
    if (veltra_manager_list_entries(list_type, &e, p_count) != 0) return nullptr;
    return e;
}

const char *list_name(const char *list_type, uint32_t id, const std::string &locale) {
    uint32_t n = 0;
    const veltra_manager_list_entry_t *e = list_entries(list_type, &n);
    for (uint32_t i = 0; i < n; ++i)
        if (e[i].id == id) return locale == "de" ? e[i].name_de : e[i].name_en;
    return nullptr;
}

std::string list_ids(const char *list_type) {
    uint32_t n = 0;
    const veltra_manager_list_entry_t *e = list_entries(list_type, &n);
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < n; ++i)
        ids.push_back(e[i].id);
    std::sort(ids.begin(), ids.end());
    std::string out;
    for (size_t i = 0; i < ids.size();) {
        size_t j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1)
            ++j;
        out += (out.empty() ? "" : ", ") + std::to_string(ids[i]) +
               (j > i ? (j == i + 1 ? ", " : "-") + std::to_string(ids[j]) : "");
        i = j + 1;
    }
    return out;
}

int run_grid(const Options &o) {
    Session s;
    if (int rc = s.open(o)) return rc;
    const uint32_t n = o.size;
    const size_t width = n == 10 ? 14 : 22;
    std::vector<std::string> names(n * n), counts(n * n);
    for (uint32_t y = 1; y <= n; ++y) {
        for (uint32_t x = 1; x <= n; ++x) {
            const char *name = nullptr;
            uint32_t code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &name);
            if (code) return report("reading a mood name", code);
            uint32_t estimate = 0;
            code = veltra_vibemesh_presentation_find_recommendations_estimate(s.presentation(), s.provider(),
                                                                              x, y, &estimate);
            if (code) return report("estimating a cell", code);
            names[(y - 1) * n + x - 1] = fit(printable(name), width);
            counts[(y - 1) * n + x - 1] = std::to_string(estimate);
        }
    }
    printf("%s\n\n", catalog_caption(s, o).c_str());
    std::string rule = "    +";
    for (uint32_t x = 0; x < n; ++x)
        rule += std::string(width + 2, '-') + "+";
    std::string head = "     ";
    for (uint32_t x = 1; x <= n; ++x)
        head += pad(" x=" + std::to_string(x), width + 3);
    printf("%s\n%s\n", head.c_str(), rule.c_str());
    for (uint32_t y = 1; y <= n; ++y) {
        std::string top = pad("y=" + std::to_string(y), 4) + "|";
        std::string bottom = "    |";
        for (uint32_t x = 1; x <= n; ++x) {
            top += " " + pad(names[(y - 1) * n + x - 1], width) + " |";
            bottom += " " + pad(counts[(y - 1) * n + x - 1], width, true) + " |";
        }
        printf("%s\n%s\n%s\n", top.c_str(), bottom.c_str(), rule.c_str());
    }
    return 0;
}

int run_recommend(const Options &o, uint32_t x, uint32_t y, uint32_t limit, bool json) {
    Session s;
    if (int rc = s.open(o)) return rc;
    const char *mood_id = nullptr, *mood_name = nullptr;
    uint32_t code = veltra_vibemesh_presentation_get_mood_id(s.presentation(), x, y, &mood_id);
    if (code) return report("reading the cell's mood", code);
    code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &mood_name);
    if (code) return report("reading the cell's mood name", code);
    veltra_vibemesh_result_handle_t results = nullptr;
    code = veltra_vibemesh_presentation_find_recommendations(s.presentation(), s.provider(), x, y, &results);
    if (code) return report("finding recommendations", code);
    uint32_t count = 0;
    code = veltra_vibemesh_results_count(results, &count);
    const uint32_t shown = (limit == 0 || limit > count) ? count : limit;
    Table table{{"#", "title", "artist", "album"}, {}, {true}};
    Json tracks = Json::array();
    for (uint32_t i = 0; code == 0 && i < shown; ++i) {
        const char *ident = nullptr, *group = nullptr;
        code = veltra_vibemesh_results_enum(results, i, &ident, &group);
        if (code) break;
        veltra_catalog_track_t t{};
        code = veltra_catalog_track_get(s.catalog(), ident, &t);
        if (code) break;
        if (!json) {
            table.rows.push_back({std::to_string(i + 1), t.title, t.artist, t.album});
            continue;
        }
        tracks.push_back({{"ident", ident},
                          {"album_ident", group},
                          {"title", t.title},
                          {"artist", t.artist},
                          {"album", t.album},
                          {"mood", item_json(VELTRA_LIST_TYPE_MOODS, t.mood, o.locale)},
                          {"genre", item_json(VELTRA_LIST_TYPE_GENRES, t.genre, o.locale)},
                          {"origin", item_json(VELTRA_LIST_TYPE_ORIGINS, t.origin, o.locale)},
                          {"era", item_json(VELTRA_LIST_TYPE_ERAS, t.era, o.locale)},
                          {"playable", t.playable != 0}});
    }
    veltra_vibemesh_results_release(results);
    if (code) return report("reading the results", code);
    if (json) {
        veltra_catalog_info_t info{};
        veltra_catalog_get_info(s.catalog(), &info);
        Json doc = {
            {"catalog", {{"file", s.catalog_path()}, {"name", info.name}}},
            {"cell", {{"x", x}, {"y", y}, {"size", o.size}, {"mood_id", mood_id}, {"mood", mood_name}}},
            {"locale", o.locale},
            {"filters", filters_json(o)},
            {"count", count},
            {"tracks", std::move(tracks)}};
        /* Catalog text is not guaranteed to be UTF-8: invalid bytes become U+FFFD. */
        printf("%s\n", doc.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
        return 0;
    }
    printf("%s\n",
           printable("Cell (" + std::to_string(x) + ", " + std::to_string(y) + ") of the " +
                     std::to_string(o.size) + "x" + std::to_string(o.size) + " grid: " + mood_name + " (" +
                     mood_id + "), " + count_text(count, "track", "tracks") + ", " + filters_caption(o))
               .c_str());
    if (shown) printf("\n%s", table.render().c_str());
    if (shown < count) printf("... and %u more (--limit 0 shows all)\n", count - shown);
    return 0;
}

int run_html(const Options &o, const std::string &out) {
    Session s;
    if (int rc = s.open(o)) return rc;
    return write_html_page(s, o, out);
}

int run_moods(const Options &o) {
    Session s;
    if (int rc = s.open(o)) return rc;
    Table table{{"x", "y", "mood id", "mood"}, {}, {true, true}};
    for (uint32_t y = 1; y <= o.size; ++y) {
        for (uint32_t x = 1; x <= o.size; ++x) {
            const char *id = nullptr, *name = nullptr;
            uint32_t code = veltra_vibemesh_presentation_get_mood_id(s.presentation(), x, y, &id);
            if (!code) code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &name);
            if (code) return report("reading a mood", code);
            table.rows.push_back({std::to_string(x), std::to_string(y), id, name});
        }
    }
    printf("%s", table.render().c_str());
    return 0;
}

int run_lists(const Options &o, const std::string &list) {
    ManagerScope manager;
    const std::string type = "veltra_list_type_" + list;
    uint32_t n = 0;
    const veltra_manager_list_entry_t *e = list_entries(type.c_str(), &n);
    if (!e) {
        fprintf(stderr, "vibemesh: the manager has no list %s\n", list.c_str());
        return 1;
    }
    Table table{{"id", "name"}, {}, {true}};
    for (uint32_t i = 0; i < n; ++i)
        table.rows.push_back({std::to_string(e[i].id), o.locale == "de" ? e[i].name_de : e[i].name_en});
    printf("%s", table.render().c_str());
    return 0;
}

}  // namespace cli
