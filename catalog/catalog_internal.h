/* Private pieces shared by the catalog's sources: the schema, SQLite helpers and code mapping. */
#ifndef VELTRA_CATALOG_INTERNAL_H
#define VELTRA_CATALOG_INTERNAL_H

#include <sqlite3.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "veltra_catalog.h"

namespace cat {

/* Format names: version 2 added the media table; version-1 files are still read (every track
 * placed by import, none playable). */
inline constexpr char kFormatPrefix[] = "vibemesh-catalog/";
inline constexpr char kFormat[] = "vibemesh-catalog/2";
inline constexpr int kFormatVersion = 2;
inline constexpr char kDatasourceInterface[] = "_veltra_vibemesh_datasource_interface";

/* The list types a condition may name, in the order of the tracks' columns. */
enum ListKind : int { kMoods = 0, kGenres = 1, kOrigins = 2, kEras = 3, kListKinds = 4 };
inline constexpr const char *kListTypeNames[kListKinds] = {
    VELTRA_LIST_TYPE_MOODS, VELTRA_LIST_TYPE_GENRES, VELTRA_LIST_TYPE_ORIGINS, VELTRA_LIST_TYPE_ERAS};
/* Returns the kind of a list-type name, or -1. */
int list_kind(const char *name);

/* The schema of a catalog file, applied to a new, empty database. Indexes are created after
 * the bulk insert (kIndexes) because building them once is faster than maintaining them. The
 * media table holds a row only for tracks with an audio file or a placement other than import. */
inline constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE moods(id INTEGER PRIMARY KEY, level INTEGER NOT NULL, parent INTEGER);"
    "CREATE TABLE albums(id INTEGER PRIMARY KEY, ident TEXT NOT NULL UNIQUE,"
    "  title TEXT NOT NULL, artist TEXT NOT NULL);"
    "CREATE TABLE tracks(id INTEGER PRIMARY KEY, ident TEXT NOT NULL UNIQUE,"
    "  album_id INTEGER NOT NULL REFERENCES albums(id), title TEXT NOT NULL,"
    "  artist TEXT NOT NULL, mood1 INTEGER NOT NULL, mood2 INTEGER NOT NULL,"
    "  genre INTEGER NOT NULL, origin INTEGER NOT NULL, era INTEGER NOT NULL);"
    "CREATE TABLE media(track_id INTEGER PRIMARY KEY REFERENCES tracks(id), path BLOB,"
    "  size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, placed_by INTEGER NOT NULL,"
    "  model_version INTEGER NOT NULL, arousal REAL, valence REAL, duration_s REAL,"
    "  loudness_lufs REAL, loudness_range_lu REAL, tempo_bpm REAL, onset_rate REAL,"
    "  centroid_hz REAL, flux REAL, rolloff_hz REAL, mode REAL, mode_strength REAL);";
/* The media columns after track_id, in the order of veltra_catalog_media_t. */
inline constexpr char kMediaColumns[] =
    "path, size, mtime_ns, placed_by, model_version, arousal, valence, duration_s,"
    " loudness_lufs, loudness_range_lu, tempo_bpm, onset_rate, centroid_hz, flux, rolloff_hz,"
    " mode, mode_strength";
inline constexpr int kMediaColumnCount = 17;
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
/* True when the n bytes at s are well-formed UTF-8 without NUL (no overlong forms, surrogates
 * or code points past U+10FFFF). On failure *p_bad (may be NULL) is the offset of the first
 * byte of the bad sequence. */
bool valid_utf8(const char *s, size_t n, size_t *p_bad = nullptr);

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

/* What the full check of a catalog found, kept in the user's verified-catalog record. */
struct VerifiedFacts {
    uint32_t tracks, albums, artists;
};
/* True when the record says that the file at `path`, whose status is `st`, passed the full
 * check and has not been written since; *facts is then what that check found. */
bool verified_lookup(const char *path, const struct stat &st, VerifiedFacts *facts);
/* Records that the file passed the full check, begun at `check_started_ns` (now_ns()) while
 * its status was `st`. Files that changed too shortly before, or that live where change
 * times cannot be trusted, are not recorded. */
void verified_store(const char *path, const struct stat &st, int64_t check_started_ns,
                    const VerifiedFacts &facts);
int64_t now_ns();

}  // namespace cat

#endif
