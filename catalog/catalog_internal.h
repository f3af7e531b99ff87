/* Private pieces shared by the catalog's sources: the schema, SQLite helpers and code mapping. */
#ifndef VELTRA_CATALOG_INTERNAL_H
#define VELTRA_CATALOG_INTERNAL_H

#include <sqlite3.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "veltra_catalog.h"

namespace cat {

inline constexpr char kFormat[] = "vibemesh-catalog/1";
inline constexpr char kDatasourceInterface[] = "_veltra_vibemesh_datasource_interface";

/* The list types a condition may name, in the order of the tracks' columns. */
enum ListKind : int { kMoods = 0, kGenres = 1, kOrigins = 2, kEras = 3, kListKinds = 4 };
inline constexpr const char *kListTypeNames[kListKinds] = {
    "veltra_list_type_moods", "veltra_list_type_genres", "veltra_list_type_origins",
    "veltra_list_type_eras"};
/* Returns the kind of a list-type name, or -1. */
int list_kind(const char *name);

/* The schema of a catalog file, applied to a new, empty database. Indexes are created after
 * the bulk insert (kIndexes) because building them once is faster than maintaining them. */
inline constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE moods(id INTEGER PRIMARY KEY, level INTEGER NOT NULL, parent INTEGER);"
    "CREATE TABLE albums(id INTEGER PRIMARY KEY, ident TEXT NOT NULL UNIQUE,"
    "  title TEXT NOT NULL, artist TEXT NOT NULL);"
    "CREATE TABLE tracks(id INTEGER PRIMARY KEY, ident TEXT NOT NULL UNIQUE,"
    "  album_id INTEGER NOT NULL REFERENCES albums(id), title TEXT NOT NULL,"
    "  artist TEXT NOT NULL, mood1 INTEGER NOT NULL, mood2 INTEGER NOT NULL,"
    "  genre INTEGER NOT NULL, origin INTEGER NOT NULL, era INTEGER NOT NULL);";
/* Built after the bulk insert (kIndexes), once, because that is faster than maintaining them.
 * Every query of the mood grid has a mood condition, so two indexes per mood level serve them
 * all. tracks_moodN holds the filter columns, so filtered finds seek on them and filtered
 * counts are evaluated inside the index. tracks_moodN_order holds a mood's tracks in catalog
 * order with the columns a find returns, so an unfiltered find reads one range of it and no
 * table row, and needs no sort. mood_counts holds the tracks of every mood of each level, so
 * an unfiltered estimate reads one row per mood; the artist count is kept in meta because
 * counting distinct artists reads every track. A catalog without these still answers the
 * same, only slower. */
inline constexpr char kIndexes[] =
    "CREATE INDEX tracks_mood1 ON tracks(mood1, genre, origin, era);"
    "CREATE INDEX tracks_mood2 ON tracks(mood2, genre, origin, era);"
    "CREATE INDEX tracks_mood1_order ON tracks(mood1, id, album_id, ident);"
    "CREATE INDEX tracks_mood2_order ON tracks(mood2, id, album_id, ident);"
    "CREATE TABLE mood_counts(level INTEGER NOT NULL, mood INTEGER NOT NULL,"
    "  tracks INTEGER NOT NULL, PRIMARY KEY(level, mood)) WITHOUT ROWID;"
    "INSERT INTO mood_counts SELECT 1, mood1, COUNT(*) FROM tracks GROUP BY mood1;"
    "INSERT INTO mood_counts SELECT 2, mood2, COUNT(*) FROM tracks GROUP BY mood2;"
    "INSERT INTO meta(key, value) SELECT 'artist_count', COUNT(DISTINCT artist) FROM tracks;"
    "ANALYZE;";

/* Maps an SQLite result code to a catalog code. */
uint32_t map_sqlite(int rc);

/* One mood of the built-in mood list: its id, level and level-1 parent. */
struct MoodEntry {
    uint32_t id;
    uint32_t level;
    uint32_t parent;
};
/* The moods and the ids of the genre, origin and era lists, as the manager serves them. */
struct Lists {
    std::vector<MoodEntry> moods;
    std::vector<uint32_t> ids[kListKinds]; /* ids[kMoods] holds the level-2 mood ids */
};
uint32_t load_lists(Lists *out);

/* Writes a new catalog: rows go into a temporary file beside `path` inside one transaction;
 * finish() builds the indexes and renames it into place, so a catalog file is either complete
 * or absent. Dropping an unfinished writer deletes the temporary file. */
class CatalogWriter {
public:
    CatalogWriter() = default;
    ~CatalogWriter();
    CatalogWriter(const CatalogWriter &) = delete;
    CatalogWriter &operator=(const CatalogWriter &) = delete;

    /* VELTRA_CATALOG_ERR_EXISTS when `path` exists. */
    uint32_t begin(const char *path, const Lists &lists);
    /* Album ids count from 1 in the order added. */
    uint32_t add_album(const char *ident, const char *title, const char *artist, uint32_t *p_id);
    uint32_t add_track(const char *ident, uint32_t album_id, const char *title, const char *artist,
                       uint32_t mood2, uint32_t genre, uint32_t origin, uint32_t era);
    uint32_t finish(const char *name, const char *description);

private:
    uint32_t exec(const char *sql);
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *album_ = nullptr;
    sqlite3_stmt *track_ = nullptr;
    std::string path_, temp_;
    std::vector<uint32_t> parent_of_; /* level-2 mood id -> its level-1 parent, by search */
    std::vector<uint32_t> mood_ids_;
    uint32_t albums_ = 0;
};

}  // namespace cat

#endif
