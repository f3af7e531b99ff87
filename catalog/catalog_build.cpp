/* Writing catalogs: the deterministic sample generator and the CSV importer, both over one
 * writer that fills a temporary file and renames it into place when complete. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog_internal.h"
#include "veltra_manager_app.h"

namespace cat {

uint32_t load_lists(Lists *out) {
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    if (veltra_manager_list_entries(kListTypeNames[kMoods], &e, &n) != 0 || n == 0)
        return VELTRA_CATALOG_ERR_NOT_FOUND;
    for (uint32_t i = 0; i < n; ++i) {
        out->moods.push_back({e[i].id, e[i].level, e[i].parent_id});
        if (e[i].level == 2) out->ids[kMoods].push_back(e[i].id);
    }
    for (int k = kGenres; k < kListKinds; ++k) {
        if (veltra_manager_list_entries(kListTypeNames[k], &e, &n) != 0 || n == 0)
            return VELTRA_CATALOG_ERR_NOT_FOUND;
        for (uint32_t i = 0; i < n; ++i) out->ids[k].push_back(e[i].id);
    }
    return 0;
}

CatalogWriter::~CatalogWriter() {
    sqlite3_finalize(album_);
    sqlite3_finalize(track_);
    if (db_) {
        sqlite3_close(db_);
        unlink(temp_.c_str());
    }
}

uint32_t CatalogWriter::exec(const char *sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? 0 : map_sqlite(rc);
}

uint32_t CatalogWriter::begin(const char *path, const Lists &lists) {
    if (!path || !*path) return VELTRA_CATALOG_ERR_INVALID_ARG;
    struct stat st;
    if (stat(path, &st) == 0) return VELTRA_CATALOG_ERR_EXISTS;
    path_ = path;
    temp_ = path_ + ".partial";
    unlink(temp_.c_str());
    int rc = sqlite3_open_v2(temp_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) return VELTRA_CATALOG_ERR_IO;
    uint32_t code = exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;");
    if (!code) code = exec(kSchema);
    if (code) return code;
    sqlite3_stmt *mood = nullptr;
    rc = sqlite3_prepare_v2(db_, "INSERT INTO moods(id, level, parent) VALUES(?,?,?)", -1, &mood,
                            nullptr);
    for (const MoodEntry &m : lists.moods) {
        if (rc != SQLITE_OK) break;
        sqlite3_bind_int64(mood, 1, m.id);
        sqlite3_bind_int(mood, 2, static_cast<int>(m.level));
        if (m.parent) sqlite3_bind_int64(mood, 3, m.parent);
        else sqlite3_bind_null(mood, 3);
        rc = sqlite3_step(mood);
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
        sqlite3_reset(mood);
        if (m.level == 2) {
            mood_ids_.push_back(m.id);
            parent_of_.push_back(m.parent);
        }
    }
    sqlite3_finalize(mood);
    if (rc != SQLITE_OK) return map_sqlite(rc);
    rc = sqlite3_prepare_v2(db_, "INSERT INTO albums(id, ident, title, artist) VALUES(?,?,?,?)",
                            -1, &album_, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(db_,
                                "INSERT INTO tracks(ident, album_id, title, artist, mood1, mood2,"
                                " genre, origin, era) VALUES(?,?,?,?,?,?,?,?,?)",
                                -1, &track_, nullptr);
    return rc == SQLITE_OK ? 0 : map_sqlite(rc);
}

uint32_t CatalogWriter::add_album(const char *ident, const char *title, const char *artist,
                                  uint32_t *p_id) {
    uint32_t id = albums_ + 1;
    sqlite3_bind_int64(album_, 1, id);
    sqlite3_bind_text(album_, 2, ident, -1, SQLITE_STATIC);
    sqlite3_bind_text(album_, 3, title, -1, SQLITE_STATIC);
    sqlite3_bind_text(album_, 4, artist, -1, SQLITE_STATIC);
    int rc = sqlite3_step(album_);
    sqlite3_reset(album_);
    if (rc != SQLITE_DONE) return map_sqlite(rc);
    albums_ = id;
    *p_id = id;
    return 0;
}

uint32_t CatalogWriter::add_track(const char *ident, uint32_t album_id, const char *title,
                                  const char *artist, uint32_t mood2, uint32_t genre,
                                  uint32_t origin, uint32_t era) {
    auto it = std::find(mood_ids_.begin(), mood_ids_.end(), mood2);
    if (it == mood_ids_.end()) return VELTRA_CATALOG_ERR_INVALID_ARG;
    uint32_t mood1 = parent_of_[static_cast<size_t>(it - mood_ids_.begin())];
    sqlite3_bind_text(track_, 1, ident, -1, SQLITE_STATIC);
    sqlite3_bind_int64(track_, 2, album_id);
    sqlite3_bind_text(track_, 3, title, -1, SQLITE_STATIC);
    sqlite3_bind_text(track_, 4, artist, -1, SQLITE_STATIC);
    sqlite3_bind_int64(track_, 5, mood1);
    sqlite3_bind_int64(track_, 6, mood2);
    sqlite3_bind_int64(track_, 7, genre);
    sqlite3_bind_int64(track_, 8, origin);
    sqlite3_bind_int64(track_, 9, era);
    int rc = sqlite3_step(track_);
    sqlite3_reset(track_);
    return rc == SQLITE_DONE ? 0 : map_sqlite(rc);
}

uint32_t CatalogWriter::finish(const char *name, const char *description) {
    sqlite3_stmt *meta = nullptr;
    int rc = sqlite3_prepare_v2(db_, "INSERT INTO meta(key, value) VALUES(?,?)", -1, &meta, nullptr);
    const char *rows[][2] = {{"format", kFormat}, {"name", name}, {"description", description}};
    for (auto &row : rows) {
        if (rc != SQLITE_OK) break;
        sqlite3_bind_text(meta, 1, row[0], -1, SQLITE_STATIC);
        sqlite3_bind_text(meta, 2, row[1], -1, SQLITE_STATIC);
        rc = sqlite3_step(meta);
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
        sqlite3_reset(meta);
    }
    sqlite3_finalize(meta);
    if (rc != SQLITE_OK) return map_sqlite(rc);
    if (uint32_t code = exec(kIndexes)) return code;
    if (uint32_t code = exec("COMMIT;")) return code;
    sqlite3_finalize(album_);
    sqlite3_finalize(track_);
    album_ = track_ = nullptr;
    rc = sqlite3_close(db_);
    db_ = nullptr;
    if (rc != SQLITE_OK || rename(temp_.c_str(), path_.c_str()) != 0) {
        unlink(temp_.c_str());
        return VELTRA_CATALOG_ERR_IO;
    }
    return 0;
}

}  // namespace cat

namespace {

/* splitmix64: small, fast and the same everywhere, so a seed always gives the same catalog. */
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

constexpr const char *kAdjectives[] = {
    "Silver", "Velvet", "Midnight", "Golden", "Quiet", "Electric", "Hollow", "Crimson", "Paper",
    "Northern", "Broken", "Gentle", "Restless", "Amber", "Distant", "Wild", "Frozen", "Burning",
    "Secret", "Endless", "Lonely", "Bright", "Faded", "Neon", "Silent", "Rolling", "Summer",
    "Winter", "Shallow", "Open"};
constexpr const char *kNouns[] = {
    "Harbour", "Lanterns", "Highway", "Rivers", "Echoes", "Gardens", "Skyline", "Tides",
    "Letters", "Mirrors", "Horizon", "Embers", "Shadows", "Meadow", "Satellites", "Avenue",
    "Orchard", "Signals", "Valley", "Windows", "Storms", "Islands", "Circles", "Wires", "Dunes",
    "Bells", "Currents", "Towers", "Fields", "Sparks"};
constexpr const char *kFirst[] = {"Ada", "Milo", "Lena", "Theo", "Nora", "Jonas", "Iris", "Felix",
                                  "Mara", "Oskar", "Ines", "Ravi", "Yuki", "Lucia", "Emil",
                                  "Sofia", "Tariq", "Hanna", "Leon", "Zoe"};
constexpr const char *kLast[] = {"Marlow", "Vance", "Okafor", "Lindqvist", "Moreau", "Kessler",
                                 "Sato", "Alvarez", "Brandt", "Novak", "Haddad", "Quinn",
                                 "Berger", "Ferreira", "Ivanova", "Castell", "Whitlock",
                                 "Nakamura", "Dahl", "Rossi"};

template <size_t N>
const char *pick(Rng &r, const char *const (&words)[N]) {
    return words[r.below(N)];
}

}  // namespace

extern "C" {

uint32_t veltra_catalog_generate(const char *path, uint32_t track_count, uint32_t seed,
                                 veltra_catalog_progress_fn progress, void *progress_data) {
    if (!path || !*path || track_count == 0) return VELTRA_CATALOG_ERR_INVALID_ARG;
    cat::Lists lists;
    if (uint32_t code = cat::load_lists(&lists)) return code;
    cat::CatalogWriter w;
    if (uint32_t code = w.begin(path, lists)) return code;

    Rng rng{seed * 0x2545F4914F6CDD1Dull + 1};
    const std::vector<uint32_t> &moods = lists.ids[cat::kMoods];
    /* Moods differ in popularity, so the grid's counts vary from cell to cell. */
    std::vector<uint32_t> weight(moods.size());
    uint32_t total_weight = 0;
    for (uint32_t &wgt : weight) total_weight += (wgt = 1 + rng.below(12));
    auto weighted_mood = [&]() {
        uint32_t x = rng.below(total_weight);
        for (size_t i = 0; i < weight.size(); ++i) {
            if (x < weight[i]) return moods[i];
            x -= weight[i];
        }
        return moods.back();
    };

    std::string artist, album_title, title;
    char ident[32];
    uint32_t album_id = 0, left_in_album = 0, album_no = 0;
    uint32_t album_mood = 0, album_genre = 0, album_origin = 0, album_era = 0;
    const uint32_t step = track_count / 100 ? track_count / 100 : 1;
    for (uint32_t i = 0; i < track_count; ++i) {
        if (left_in_album == 0) {
            /* A new album: one artist, mostly one genre, origin, era and mood. */
            left_in_album = 6 + rng.below(9);
            artist = rng.below(4) == 0 ? std::string("The ") + pick(rng, kAdjectives) + " " +
                                             pick(rng, kNouns)
                                       : std::string(pick(rng, kFirst)) + " " + pick(rng, kLast);
            album_title = std::string(pick(rng, kAdjectives)) + " " + pick(rng, kNouns);
            snprintf(ident, sizeof ident, "alb-%06u", ++album_no);
            if (uint32_t code = w.add_album(ident, album_title.c_str(), artist.c_str(), &album_id))
                return code;
            album_mood = weighted_mood();
            album_genre = lists.ids[cat::kGenres][rng.below(static_cast<uint32_t>(lists.ids[cat::kGenres].size()))];
            album_origin = lists.ids[cat::kOrigins][rng.below(static_cast<uint32_t>(lists.ids[cat::kOrigins].size()))];
            album_era = lists.ids[cat::kEras][rng.below(static_cast<uint32_t>(lists.ids[cat::kEras].size()))];
        }
        --left_in_album;
        uint32_t mood = rng.below(2) ? album_mood : weighted_mood();
        uint32_t genre = rng.below(5) ? album_genre
                                      : lists.ids[cat::kGenres][rng.below(static_cast<uint32_t>(lists.ids[cat::kGenres].size()))];
        title = std::string(pick(rng, kAdjectives)) + " " + pick(rng, kNouns);
        snprintf(ident, sizeof ident, "trk-%07u", i + 1);
        if (uint32_t code = w.add_track(ident, album_id, title.c_str(), artist.c_str(), mood, genre,
                                        album_origin, album_era))
            return code;
        if (progress && (i + 1) % step == 0) progress(progress_data, i + 1, track_count);
    }
    char description[128];
    snprintf(description, sizeof description, "Generated sample catalog: %u tracks, seed %u",
             track_count, seed);
    uint32_t code = w.finish("Sample catalog", description);
    if (code == 0 && progress) progress(progress_data, track_count, track_count);
    return code;
}

}  // extern "C"
