/* The JSON API over the module and the catalog datasource. */
#include "api.h"

#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "page.h"
#include "veltra_manager_app.h"

namespace server {

using nlohmann::json;

namespace {

constexpr uint32_t kDefaultLimit = 50;
constexpr uint32_t kMaxLimit = 500;
constexpr size_t kCachedResults = 32;       /* result sets kept at most */
constexpr uint64_t kCachedRows = 256 * 1024; /* and their rows together, beyond the newest */
constexpr size_t kMaxTrackIdent = 1024;

struct ListKind {
    const char *key;       /* query parameter and JSON name */
    const char *list_type; /* the module's list type */
    const char *plural;
};
constexpr ListKind kLists[] = {{"genre", VELTRA_LIST_TYPE_GENRES, "genres"},
                               {"origin", VELTRA_LIST_TYPE_ORIGINS, "origins"},
                               {"era", VELTRA_LIST_TYPE_ERAS, "eras"}};

std::string dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string hex_code(uint32_t code) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

/* A decimal number of at most nine digits, no sign. */
bool parse_uint(const std::string &s, uint32_t *out) {
    if (s.empty() || s.size() > 9) return false;
    uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    *out = v;
    return true;
}

const veltra_manager_list_entry_t *list_item(const char *list_type, uint32_t id) {
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    if (veltra_manager_list_entries(list_type, &e, &n) != 0) return nullptr;
    for (uint32_t i = 0; i < n; ++i)
        if (e[i].id == id) return &e[i];
    return nullptr;
}

std::string item_name(const char *list_type, uint32_t id, bool german) {
    const veltra_manager_list_entry_t *e = list_item(list_type, id);
    return e ? (german ? e->name_de : e->name_en) : "";
}

uint32_t set_locale(const char *language) {
    const char *region = strcmp(language, "de") == 0 ? "DE" : "US";
    uint32_t code = veltra_manager_locale_set_default("veltra_locale_music", language, region, "default");
    if (!code)
        code = veltra_manager_locale_set_default("veltra_locale_playlist", language, region, "default");
    return code;
}

}  // namespace

/* ---- answers ---- */

/* The module's, the manager's or the catalog's text for a failed call on this thread. */
std::string error_text(uint32_t code) {
    veltra_manager_errorinfo_t info{};
    veltra_manager_errorinfo_get(&info);
    if (info.error_code == code && info.message[0]) return info.message;
    switch (code) {
    case VELTRA_CATALOG_ERR_NOT_FOUND: return "no such catalog item";
    case VELTRA_CATALOG_ERR_CORRUPT: return "the catalog is damaged";
    case VELTRA_CATALOG_ERR_IO: return "the catalog could not be read";
    case VELTRA_CATALOG_ERR_NO_MEMORY: return "out of memory";
    case VELTRA_CATALOG_ERR_BAD_CONDITION: return "unsupported condition";
    default: break;
    }
    if ((code & 0xFFFFu) == 2) return "out of memory";
    if ((code & 0xFFFFu) == 1) return "invalid argument";
    return "failed";
}


Answer bad_parameter(int status, const std::string &parameter, const std::string &rule) {
    json e = {{"status", status}, {"parameter", parameter}, {"rule", rule},
              {"message", parameter + ": " + rule}};
    return {status, "application/json", dump(json{{"error", e}})};
}

Answer failed_call(int status, const char *what, uint32_t code) {
    json e = {{"status", status}, {"code", hex_code(code)},
              {"message", std::string(what) + ": " + error_text(code)}};
    return {status, "application/json", dump(json{{"error", e}})};
}

Answer error_answer(int status, const std::string &message) {
    json e = {{"status", status}, {"message", message}};
    return {status, "application/json", dump(json{{"error", e}})};
}

std::string valid_utf8(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
        if (ok && len > 1) {
            uint32_t cp = c & (0x7F >> len);
            for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
            static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= kMin[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

/* ---- the view a request asks for ---- */

struct Library::View {
    uint32_t size = 5;
    bool german = false;
    struct Filter {
        const ListKind *kind;
        uint32_t id;
        bool include;
    };
    std::vector<Filter> filters;
    uint32_t x = 0, y = 0, offset = 0, limit = kDefaultLimit;
    bool has_cell = false;

    /* The key of the result sets this view selects (cell excluded). */
    std::string key() const {
        std::string k = std::to_string(size);
        for (const Filter &f : filters) k += std::string("|") + f.kind->key + (f.include ? "+" : "-") + std::to_string(f.id);
        return k;
    }
    const char *lang() const { return german ? "de" : "en"; }
};

struct Library::Results {
    veltra_vibemesh_result_handle_t handle = nullptr;
    uint32_t count = 0;
    ~Results() {
        if (handle) veltra_vibemesh_results_release(handle);
    }
};

struct Library::Grid {
    std::vector<uint32_t> counts; /* row order */
};

/* Checks the parameters: size, lang, filters, and the names in `extra` (x, y, offset, limit,
 * cell); anything else is refused. */
bool Library::parse_view(const Params &p, const std::vector<std::string> &extra, View *v,
                         Answer *a) const {
    auto allowed = [&](const std::string &name) {
        for (const std::string &e : extra)
            if (e == name) return true;
        return false;
    };
    auto once = [&](const std::string &name) { return p.count(name) <= 1; };
    for (auto it = p.begin(); it != p.end(); ++it) {
        const std::string &name = it->first, &value = it->second;
        const ListKind *kind = nullptr;
        for (const ListKind &k : kLists)
            if (name == k.key) kind = &k;
        if (kind) {
            bool include = value.empty() || value[0] != '-';
            uint32_t id = 0;
            if (!parse_uint(include ? value : value.substr(1), &id))
                return *a = bad_parameter(400, name, "a list item id, with a leading '-' to exclude it"), false;
            if (!list_item(kind->list_type, id))
                return *a = bad_parameter(404, name, "no " + std::string(kind->key) + " with id " + std::to_string(id)), false;
            for (const View::Filter &f : v->filters)
                if (f.kind == kind && f.id == id)
                    return *a = bad_parameter(400, name, "each item at most once"), false;
            v->filters.push_back({kind, id, include});
            continue;
        }
        if (!once(name)) return *a = bad_parameter(400, name, "given at most once"), false;
        uint32_t n = 0;
        if (name == "size") {
            if (value != "5" && value != "10") return *a = bad_parameter(400, name, "5 or 10"), false;
            v->size = value == "5" ? 5 : 10;
        } else if (name == "lang") {
            if (value != "en" && value != "de") return *a = bad_parameter(400, name, "en or de"), false;
            v->german = value == "de";
        } else if (!allowed(name)) {
            return *a = bad_parameter(400, name, "not a parameter of this request"), false;
        } else if (name == "cell") {
            size_t comma = value.find(',');
            if (comma == std::string::npos || !parse_uint(value.substr(0, comma), &v->x) ||
                !parse_uint(value.substr(comma + 1), &v->y))
                return *a = bad_parameter(400, name, "x,y"), false;
            v->has_cell = true;
        } else if (name == "x" || name == "y") {
            if (!parse_uint(value, &n)) return *a = bad_parameter(400, name, "a whole number from 1 to the grid size"), false;
            (name == "x" ? v->x : v->y) = n;
            v->has_cell = true;
        } else if (name == "offset") {
            if (!parse_uint(value, &v->offset)) return *a = bad_parameter(400, name, "a whole number from 0"), false;
        } else if (name == "limit") {
            if (!parse_uint(value, &n) || n < 1 || n > kMaxLimit)
                return *a = bad_parameter(400, name, "a whole number from 1 to " + std::to_string(kMaxLimit)), false;
            v->limit = n;
        }
    }
    for (const char *xy : {"x", "y"}) {
        if (!allowed(xy)) continue;
        if (!p.count(xy)) return *a = bad_parameter(400, xy, "required"), false;
    }
    if (v->has_cell) {
        const char *which = v->x < 1 || v->x > v->size ? (allowed("x") ? "x" : "cell")
                            : v->y < 1 || v->y > v->size ? (allowed("y") ? "y" : "cell")
                                                         : nullptr;
        if (which) return *a = bad_parameter(400, which, "from 1 to the grid size " + std::to_string(v->size)), false;
    }
    return true;
}

/* ---- the module ---- */

uint32_t Library::open(const std::string &path, std::string *what) {
    uint32_t code = veltra_manager_start(&manager_);
    if (code) return *what = "starting the manager", manager_ = nullptr, code;
    if ((code = veltra_vibemesh_initialize(manager_))) return *what = "starting the module", code;
    module_started_ = true;
    if ((code = veltra_catalog_open(manager_, path.c_str(), &catalog_)))
        return *what = "opening the catalog " + path, code;
    if ((code = veltra_catalog_get_info(catalog_, &info_))) return *what = "reading the catalog", code;
    uint32_t placed[VELTRA_CATALOG_PLACED_COUNT] = {};
    if ((code = veltra_catalog_placement_counts(catalog_, placed))) return *what = "reading the catalog", code;
    has_audio_ = placed[VELTRA_CATALOG_PLACED_IMPORT] < info_.track_count;
    uint32_t ordinal = 0;
    if ((code = veltra_catalog_ordinal(catalog_, &ordinal))) return *what = "finding the catalog", code;
    if ((code = veltra_vibemesh_provider_enum(ordinal, &provider_))) return *what = "opening the provider", code;
    if ((code = veltra_manager_user_create("vibemesh-serve", &user_))) return *what = "creating a user", code;
    /* Mood names depend on the manager's default locale, which is process-wide: read both
     * locales now so that requests never change it. */
    for (int lang = 0; lang < 2; ++lang) {
        if ((code = set_locale(lang ? "de" : "en"))) return *what = "setting the locale", code;
        for (int g = 0; g < 2; ++g) {
            const uint32_t n = g ? 10 : 5;
            veltra_vibemesh_presentation_handle_t pres = nullptr;
            code = veltra_vibemesh_presentation_create(
                user_, g ? VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10 : VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5,
                nullptr, nullptr, &pres);
            if (code) return *what = "creating a presentation", code;
            mood_ids_[g].resize(n * n);
            mood_names_[g][lang].resize(n * n);
            for (uint32_t y = 1; y <= n && !code; ++y) {
                for (uint32_t x = 1; x <= n && !code; ++x) {
                    const char *id = nullptr, *name = nullptr;
                    code = veltra_vibemesh_presentation_get_mood_id(pres, x, y, &id);
                    if (!code) code = veltra_vibemesh_presentation_get_mood_name(pres, x, y, &name);
                    if (!code) {
                        mood_ids_[g][(y - 1) * n + x - 1] = id;
                        mood_names_[g][lang][(y - 1) * n + x - 1] = name;
                    }
                }
            }
            veltra_vibemesh_presentation_release(pres);
            if (code) return *what = "reading the moods", code;
        }
    }
    return 0;
}

void Library::close() {
    {
        std::lock_guard<std::mutex> g(cache_mutex_);
        cache_.clear();
    }
    if (user_) veltra_manager_user_release(user_);
    if (provider_) veltra_vibemesh_provider_release(provider_);
    if (catalog_) veltra_catalog_close(catalog_);
    if (module_started_) veltra_vibemesh_shutdown();
    if (manager_) veltra_manager_stop();
    user_ = nullptr;
    provider_ = nullptr;
    catalog_ = nullptr;
    module_started_ = false;
    manager_ = nullptr;
}

Library::~Library() { close(); }

uint32_t Library::new_presentation(const View &v, veltra_vibemesh_presentation_handle_t *out,
                                   const char **what) {
    *what = "creating a presentation";
    uint32_t code = veltra_vibemesh_presentation_create(
        user_, v.size == 10 ? VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10 : VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5,
        nullptr, nullptr, out);
    if (code) return code;
    *what = "setting a filter";
    int n = 0;
    for (const View::Filter &f : v.filters) {
        std::string ident = "f" + std::to_string(++n), value = std::to_string(f.id);
        code = veltra_vibemesh_presentation_filter_set(
            *out, ident.c_str(), f.kind->list_type, value.c_str(),
            f.include ? VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE : VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE);
        if (code) {
            veltra_vibemesh_presentation_release(*out);
            *out = nullptr;
            return code;
        }
    }
    return 0;
}

/* Releases a presentation on every path out of a request. */
struct PresentationGuard {
    veltra_vibemesh_presentation_handle_t handle = nullptr;
    ~PresentationGuard() {
        if (handle) veltra_vibemesh_presentation_release(handle);
    }
};

uint32_t Library::read_grid(const View &v, Grid *g, const char **what) {
    PresentationGuard pres;
    uint32_t code = new_presentation(v, &pres.handle, what);
    if (code) return code;
    *what = "estimating a cell";
    g->counts.assign(v.size * v.size, 0);
    for (uint32_t y = 1; y <= v.size; ++y) {
        for (uint32_t x = 1; x <= v.size; ++x) {
            code = veltra_vibemesh_presentation_find_recommendations_estimate(
                pres.handle, provider_, x, y, &g->counts[(y - 1) * v.size + x - 1]);
            if (code) return code;
        }
    }
    return 0;
}

uint32_t Library::results_for(const View &v, uint32_t x, uint32_t y, std::shared_ptr<Results> *out,
                              const char **what) {
    const std::string key = v.key() + "@" + std::to_string(x) + "," + std::to_string(y);
    {
        std::lock_guard<std::mutex> g(cache_mutex_);
        for (auto it = cache_.begin(); it != cache_.end(); ++it) {
            if (it->first != key) continue;
            *out = it->second;
            cache_.splice(cache_.begin(), cache_, it);
            return 0;
        }
    }
    PresentationGuard pres;
    uint32_t code = new_presentation(v, &pres.handle, what);
    if (code) return code;
    auto r = std::make_shared<Results>();
    *what = "finding recommendations";
    code = veltra_vibemesh_presentation_find_recommendations(pres.handle, provider_, x, y, &r->handle);
    if (!code) code = veltra_vibemesh_results_count(r->handle, &r->count);
    if (code) return code;
    *out = r;
    std::lock_guard<std::mutex> g(cache_mutex_);
    cache_.emplace_front(key, r);
    uint64_t rows = 0;
    for (const auto &entry : cache_) rows += entry.second->count;
    while (cache_.size() > 1 && (cache_.size() > kCachedResults || rows > kCachedRows)) {
        rows -= cache_.back().second->count;
        cache_.pop_back();
    }
    return 0;
}

/* ---- endpoints ---- */

Answer Library::grid(const Params &p) {
    View v;
    Answer a;
    if (!parse_view(p, {}, &v, &a)) return a;
    Grid g;
    const char *what = "";
    if (uint32_t code = read_grid(v, &g, &what)) return failed_call(500, what, code);
    const int gi = v.size == 10, li = v.german;
    uint32_t max = 0;
    uint64_t matching = 0;
    for (uint32_t c : g.counts) {
        max = c > max ? c : max;
        matching += c;
    }
    json cells = json::array();
    json fullest = nullptr;
    bool empty = false;
    uint32_t best = 0;
    for (uint32_t i = 0; i < g.counts.size(); ++i) {
        const uint32_t c = g.counts[i];
        page::Colours k = page::cell_colours(c, max);
        cells.push_back({{"x", i % v.size + 1}, {"y", i / v.size + 1}, {"mood", mood_ids_[gi][i]},
                         {"name", mood_names_[gi][li][i]}, {"count", c}, {"bg", k.bg}, {"fg", k.fg}});
        empty |= c == 0;
        if (c > best) {
            best = c;
            fullest = {{"name", mood_names_[gi][li][i]}, {"count", c}};
        }
    }
    json ticks = json::array();
    for (const page::Tick &t : page::legend_ticks(max)) ticks.push_back({{"value", t.value}, {"pos", t.pos}});
    json filters = json::array();
    for (const View::Filter &f : v.filters)
        filters.push_back({{"list", f.kind->key}, {"id", f.id}, {"include", f.include},
                           {"name", item_name(f.kind->list_type, f.id, v.german)}});
    json j = {{"size", v.size},     {"lang", v.lang()}, {"filters", filters},
              {"matching", matching}, {"max", max},     {"cells", cells},
              {"legend", {{"ticks", ticks}, {"fullest", fullest}, {"empty", empty}}}};
    return {200, "application/json", dump(j)};
}

Answer Library::cell(const Params &p) {
    View v;
    Answer a;
    if (!parse_view(p, {"x", "y", "offset", "limit"}, &v, &a)) return a;
    std::shared_ptr<Results> r;
    const char *what = "";
    if (uint32_t code = results_for(v, v.x, v.y, &r, &what)) return failed_call(500, what, code);
    const uint32_t i0 = (v.y - 1) * v.size + v.x - 1;
    json tracks = json::array();
    for (uint32_t i = v.offset; i < r->count && i - v.offset < v.limit; ++i) {
        const char *ident = nullptr, *group = nullptr;
        if (uint32_t code = veltra_vibemesh_results_enum(r->handle, i, &ident, &group))
            return failed_call(500, "reading the results", code);
        veltra_catalog_track_t t{};
        if (uint32_t code = veltra_catalog_track_get(catalog_, ident, &t))
            return failed_call(500, "reading a track", code);
        tracks.push_back({{"id", ident},
                          {"title", t.title},
                          {"artist", t.artist},
                          {"album", t.album},
                          {"genre", item_name(VELTRA_LIST_TYPE_GENRES, t.genre, v.german)},
                          {"origin", item_name(VELTRA_LIST_TYPE_ORIGINS, t.origin, v.german)},
                          {"era", item_name(VELTRA_LIST_TYPE_ERAS, t.era, v.german)},
                          {"playable", t.playable != 0}});
    }
    json j = {{"x", v.x},
              {"y", v.y},
              {"mood", mood_ids_[v.size == 10][i0]},
              {"name", mood_names_[v.size == 10][v.german][i0]},
              {"total", r->count},
              {"offset", v.offset},
              {"limit", v.limit},
              {"tracks", tracks}};
    return {200, "application/json", dump(j)};
}

Answer Library::lists(const Params &p) {
    View v;
    Answer a;
    if (!parse_view(p, {}, &v, &a)) return a;
    json j = {{"lang", v.lang()}};
    for (const ListKind &k : kLists) {
        const veltra_manager_list_entry_t *e = nullptr;
        uint32_t n = 0;
        if (uint32_t code = veltra_manager_list_entries(k.list_type, &e, &n))
            return failed_call(500, "reading a list", code);
        json items = json::array();
        for (uint32_t i = 0; i < n; ++i) items.push_back({{"id", e[i].id}, {"name", v.german ? e[i].name_de : e[i].name_en}});
        j[k.plural] = items;
    }
    return {200, "application/json", dump(j)};
}

Answer Library::page(const Params &p, const std::string &nonce) {
    View v;
    Answer a;
    if (!parse_view(p, {"cell", "offset"}, &v, &a)) {
        a.type = "text/plain; charset=utf-8";
        a.body = json::parse(a.body)["error"]["message"].get<std::string>() + "\n";
        return a;
    }
    Grid g;
    const char *what = "";
    if (uint32_t code = read_grid(v, &g, &what)) return failed_call(500, what, code);
    const int gi = v.size == 10, li = v.german;
    std::vector<page::Cell> cells(g.counts.size());
    for (uint32_t i = 0; i < cells.size(); ++i) {
        cells[i].x = i % v.size + 1;
        cells[i].y = i / v.size + 1;
        cells[i].mood_id = mood_ids_[gi][i];
        cells[i].name = mood_names_[gi][li][i];
        cells[i].count = g.counts[i];
    }
    page::View pv;
    pv.size = v.size;
    pv.locale = v.lang();
    pv.catalog_name = info_.name;
    pv.track_count = info_.track_count;
    json filters = json::array(), names = json::object();
    for (const View::Filter &f : v.filters) {
        pv.filters.push_back({f.kind->list_type, std::to_string(f.id), f.include});
        filters.push_back({{"list", f.kind->key}, {"id", std::to_string(f.id)}, {"include", f.include}});
    }
    for (const ListKind &k : kLists) {
        const veltra_manager_list_entry_t *e = nullptr;
        uint32_t n = 0;
        json m = json::object();
        if (veltra_manager_list_entries(k.list_type, &e, &n) == 0)
            for (uint32_t i = 0; i < n; ++i) m[std::to_string(e[i].id)] = v.german ? e[i].name_de : e[i].name_en;
        names[k.key] = m;
    }
    json cfg = {{"size", v.size},     {"lang", v.lang()},       {"filters", filters},
                {"names", names},     {"audio", has_audio_},     {"tracks", info_.track_count},
                {"words", json::parse(page::words_json(v.lang()))},
                {"cell", v.has_cell ? json{{"x", v.x}, {"y", v.y}} : json(nullptr)},
                {"offset", v.offset}};
    /* Inside a script element nothing may read as a closing tag or comment. */
    std::string config = dump(cfg), safe;
    for (char c : config) {
        if (c == '<') safe += "\\u003c";
        else if (c == '>') safe += "\\u003e";
        else safe += c;
    }
    return {200, "text/html; charset=utf-8", valid_utf8(page::render_live(cells, pv, nonce, safe, has_audio_))};
}

bool Library::media(const Params &p, Media *m, Answer *a) {
    auto it = p.find("track");
    for (const auto &[name, value] : p)
        if (name != "track") return *a = bad_parameter(400, name, "not a parameter of this request"), false;
    if (it == p.end()) return *a = bad_parameter(400, "track", "required"), false;
    if (p.count("track") > 1) return *a = bad_parameter(400, "track", "given at most once"), false;
    const std::string &ident = it->second;
    if (ident.empty() || ident.size() > kMaxTrackIdent || ident.find('\0') != std::string::npos)
        return *a = bad_parameter(400, "track", "a track id of 1 to 1024 bytes"), false;
    char path[4096];
    veltra_catalog_media_t media{};
    uint32_t code = veltra_catalog_media_get(catalog_, ident.c_str(), path, sizeof path, &media);
    if (code == VELTRA_CATALOG_ERR_NOT_FOUND) {
        veltra_catalog_track_t t{};
        return *a = veltra_catalog_track_get(catalog_, ident.c_str(), &t) == 0
                        ? error_answer(404, "track: the track has no audio file")
                        : error_answer(404, "track: no such track"),
               false;
    }
    if (code) return *a = failed_call(500, "finding the audio file", code), false;
    m->path = path;
    m->size = media.size;
    return true;
}

}  // namespace server
