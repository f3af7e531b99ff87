/* The catalog datasource: a music collection kept in an SQLite file, served to the mood grid
 * as a VibeMeshDatasource table.
 *
 * A catalog holds tracks (ident, album, title, artist, a level-2 mood and its level-1 parent,
 * genre, origin, era). Opened against a manager handle, it publishes its datasource table
 * under "_veltra_vibemesh_datasource_interface"; closing withdraws it. The mood grid then
 * queries it: a mood condition matches the tracks of that mood at its level; filters of one
 * list type combine as "any of" (include) and "none of" (exclude); different list types and
 * the mood combine with "and". Results come in catalog order (the order in which tracks were
 * added): ident is the track's ident, group its album's ident.
 *
 * Plain C99. Every function returning uint32_t returns 0 or a VELTRA_CATALOG_ERR_* code. */
#ifndef VELTRA_CATALOG_H
#define VELTRA_CATALOG_H

#include <stddef.h>
#include <stdint.h>

#include "veltra_manager.h"
#include "veltra_vibemesh.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(VELTRA_CATALOG_BUILDING)
#pragma GCC visibility push(default)
#endif

/* Codes (package 0xB0). */
#define VELTRA_CATALOG_ERR_INVALID_ARG   0x90B00001u /* null or malformed argument */
#define VELTRA_CATALOG_ERR_NO_MEMORY     0x90B00002u
#define VELTRA_CATALOG_ERR_NOT_FOUND     0x90B00003u /* missing file, unknown data key */
#define VELTRA_CATALOG_ERR_CORRUPT       0x90B00004u /* not a catalog, or damaged */
#define VELTRA_CATALOG_ERR_IO            0x90B00005u /* the database could not be read or written */
#define VELTRA_CATALOG_ERR_QUERY_STATE   0x90B00006u /* results asked before execution, index past the end */
#define VELTRA_CATALOG_ERR_BAD_CONDITION 0x90B00007u /* unknown list type or condition type, empty value */
#define VELTRA_CATALOG_ERR_IN_USE        0x90B00008u /* close while the module still holds the table */
#define VELTRA_CATALOG_ERR_BAD_INPUT     0x90B00009u /* malformed import data (see the import error) */
#define VELTRA_CATALOG_ERR_EXISTS        0x90B0000Au /* the target file exists already */
#define VELTRA_CATALOG_ERR_PUBLISH       0x90B0000Bu /* the manager refused to publish the table */
#define VELTRA_CATALOG_ERR_BUSY          0x90B0000Cu /* another writer holds the catalog's lock */
#define VELTRA_CATALOG_ERR_VERSION       0x90B0000Du /* a catalog format this version cannot read */

typedef struct veltra_catalog_s veltra_catalog_t;

/* Opens the catalog file at `path` for queries (read-only). With a manager handle the
 * catalog's datasource table is published through the manager's interface registry; with
 * NULL it is not, and the application may publish veltra_catalog_datasource() itself. */
uint32_t veltra_catalog_open(const veltra_manager_t *manager, const char *path,
                             veltra_catalog_t **p_catalog);
/* Withdraws the table and closes the catalog. VELTRA_CATALOG_ERR_IN_USE (nothing closed) while
 * providers of the module still hold the table. NULL is ignored. */
uint32_t veltra_catalog_close(veltra_catalog_t *catalog);
/* The catalog's datasource table; lives until the catalog is closed. */
const VibeMeshDatasource *veltra_catalog_datasource(const veltra_catalog_t *catalog);
/* The ordinal under which the table was published (the ordinals of later tables move down
 * when an earlier one is withdrawn). */
uint32_t veltra_catalog_ordinal(const veltra_catalog_t *catalog, uint32_t *p_ordinal);
/* Facts about an open catalog. */
typedef struct veltra_catalog_info_s {
    uint32_t track_count;
    uint32_t album_count;
    uint32_t artist_count;
    char name[128];
    char description[256];
} veltra_catalog_info_t;
uint32_t veltra_catalog_get_info(const veltra_catalog_t *catalog, veltra_catalog_info_t *p_info);

/* The display facts of one track, by its ident (the ident a result set hands out). */
typedef struct veltra_catalog_track_s {
    char title[256];
    char artist[256];
    char album[256];
    uint32_t mood;     /* level-2 mood id */
    uint32_t genre;    /* ids of the genre, origin and era lists */
    uint32_t origin;
    uint32_t era;
    uint32_t playable; /* 1 when the catalog knows an audio file for the track */
} veltra_catalog_track_t;
/* VELTRA_CATALOG_ERR_NOT_FOUND for an ident the catalog does not hold. Safe from any thread. */
uint32_t veltra_catalog_track_get(const veltra_catalog_t *catalog, const char *ident,
                                  veltra_catalog_track_t *p_track);

/* Progress of a long operation: `done` of `total` units. */
typedef void (*veltra_catalog_progress_fn)(void *data, uint64_t done, uint64_t total);

/* Writes a sample catalog of `track_count` tracks, the same for the same seed, through the
 * catalog writer (flags: VELTRA_CATALOG_WRITE_*). VELTRA_CATALOG_ERR_EXISTS when `path` exists
 * and VELTRA_CATALOG_WRITE_REPLACE is not given; with VELTRA_CATALOG_WRITE_WAIT, concurrent
 * first uses that treat EXISTS as success all end with the one sample. */
uint32_t veltra_catalog_generate(const char *path, uint32_t track_count, uint32_t seed,
                                 uint32_t flags, veltra_catalog_progress_fn progress,
                                 void *progress_data);

/* Where an import stopped: 1-based line and column (in characters) of the bad field, and what
 * is wrong. */
typedef struct veltra_catalog_import_error_s {
    uint32_t line;
    uint32_t column;
    char message[200];
} veltra_catalog_import_error_t;

/* Builds a catalog at `catalog_path` from a CSV file with the header line
 *   ident,album_ident,album,title,artist,mood,genre,origin,era
 * (fields may be quoted with "; "" stands for a quote). mood is a level-2 mood id; genre,
 * origin and era are ids of their lists. The file must be UTF-8 without NUL bytes, and one
 * album ident has one album title. The whole file is checked first: on bad input
 * (VELTRA_CATALOG_ERR_BAD_INPUT) nothing is written and `p_error` (may be NULL) says where.
 * Written through the catalog writer (flags: VELTRA_CATALOG_WRITE_*); the number of tracks
 * written goes to `p_track_count` (may be NULL). */
uint32_t veltra_catalog_import_csv(const char *csv_path, const char *catalog_path,
                                   const char *name, uint32_t flags, uint32_t *p_track_count,
                                   veltra_catalog_import_error_t *p_error);

/* ---- where a track's mood came from, and its audio file -------------------------------- */

/* How a track was placed on the grid. */
#define VELTRA_CATALOG_PLACED_IMPORT     0u /* a mood id given by an import or the generator */
#define VELTRA_CATALOG_PLACED_MOOD_TAG   1u /* a mood tag naming a mood of the list */
#define VELTRA_CATALOG_PLACED_VALUE_TAGS 2u /* valence/energy tags through the model's mapping */
#define VELTRA_CATALOG_PLACED_ANALYSIS   3u /* features of the decoded audio through the model */
#define VELTRA_CATALOG_PLACED_COUNT      4u

/* Features of a track's audio; NaN where unknown. */
typedef struct veltra_catalog_features_s {
    double duration_s;
    double loudness_lufs;     /* integrated loudness, EBU R128 */
    double loudness_range_lu; /* EBU R128 loudness range */
    double tempo_bpm;
    double onset_rate;        /* onsets per second */
    double centroid_hz;       /* mean spectral centroid */
    double flux;              /* mean spectral flux */
    double rolloff_hz;        /* mean 85% spectral rolloff */
    double mode;              /* +1 major, -1 minor, 0 undecided */
    double mode_strength;     /* [0, 1] */
} veltra_catalog_features_t;

/* A track's audio file and how it was placed. `path` holds the file name's bytes as the file
 * system gave them (not necessarily UTF-8). */
typedef struct veltra_catalog_media_s {
    const char *path;         /* NULL: no audio file (imported or generated tracks) */
    uint64_t size;            /* bytes, as seen when the file was read */
    int64_t mtime_ns;         /* modification time, ns since the epoch */
    uint32_t placed_by;       /* VELTRA_CATALOG_PLACED_* */
    uint32_t model_version;   /* version of the model that placed it; 0 when none did */
    double arousal;           /* [0, 1], NaN when unknown */
    double valence;           /* [0, 1], NaN when unknown */
    veltra_catalog_features_t features;
} veltra_catalog_media_t;

/* One track as a writer takes it and an enumeration hands it out. Strings are UTF-8 (the
 * writer refuses others with VELTRA_CATALOG_ERR_BAD_INPUT), except media.path. */
typedef struct veltra_catalog_row_s {
    const char *ident;        /* unique in the catalog */
    const char *album_ident;  /* a result's group */
    const char *album;        /* album title; one title per album ident */
    const char *album_artist;
    const char *title;
    const char *artist;
    uint32_t mood;            /* level-2 mood id */
    uint32_t genre, origin, era; /* ids of their lists; 0: unknown (no include filter matches) */
    veltra_catalog_media_t media;
} veltra_catalog_row_t;

/* Writing a catalog. A writer holds the path's writer lock from begin to commit or abort and
 * writes into a temporary file in the same folder; commit makes the file durable (fsync of the
 * file and the folder) and renames it over `path` in one step, so readers see the old catalog
 * or the new one, never a mix, and a failed or interrupted writer leaves the old file as it was.
 * Readers take no lock: a catalog open while a writer commits keeps reading the old file.
 *
 * Beside a catalog NAME the writer keeps ".NAME.lock" (an advisory flock, removed on release;
 * an empty one stays behind a writer that was killed) and ".NAME.PID.RANDOM.tmp" (its
 * temporary file). Temporary files left by a writer that died (crash, SIGKILL) are removed by
 * the next writer of that path. A writer is used by one thread at a time; different writers
 * may run in different threads.
 *
 * A second writer of one path fails at once with VELTRA_CATALOG_ERR_BUSY, or with
 * VELTRA_CATALOG_WRITE_WAIT waits until the first one has finished; existence is checked after
 * the lock is taken, so of several writers without VELTRA_CATALOG_WRITE_REPLACE exactly one
 * creates the file and the others get VELTRA_CATALOG_ERR_EXISTS. Writers in one process
 * exclude each other the same way. */
typedef struct veltra_catalog_writer_s veltra_catalog_writer_t;
#define VELTRA_CATALOG_WRITE_REPLACE 0x1u /* an existing catalog at path may be replaced */
#define VELTRA_CATALOG_WRITE_WAIT    0x2u /* wait for another writer instead of failing */
/* VELTRA_CATALOG_ERR_EXISTS when path exists and REPLACE is not given; VELTRA_CATALOG_ERR_BUSY
 * when another writer holds the lock and WAIT is not given; VELTRA_CATALOG_ERR_NOT_FOUND when
 * the folder does not exist; VELTRA_CATALOG_ERR_INVALID_ARG when path names a folder. */
uint32_t veltra_catalog_writer_begin(const char *path, uint32_t flags,
                                     veltra_catalog_writer_t **p_writer);
/* Adds a track; rows come out of the catalog in the order they were added.
 * VELTRA_CATALOG_ERR_BAD_INPUT (nothing added, the writer stays usable) for an empty or
 * repeated ident, an empty album ident, text that is not UTF-8, a mood that is not a level-2
 * mood, genre/origin/era ids their lists do not hold, a second title for one album ident, an
 * empty media path, placed_by out of range, or arousal/valence outside [0, 1]. The album artist
 * of an album is the first row's (album_artist, or artist when that is NULL or empty). */
uint32_t veltra_catalog_writer_add(veltra_catalog_writer_t *writer, const veltra_catalog_row_t *row);
/* Builds the indexes, replaces the catalog at path and frees the writer (also on failure).
 * name and description: UTF-8 texts. */
uint32_t veltra_catalog_writer_commit(veltra_catalog_writer_t *writer, const char *name,
                                      const char *description);
/* Drops the temporary file and the lock and frees the writer. NULL is ignored. */
void veltra_catalog_writer_abort(veltra_catalog_writer_t *writer);
/* Removes the temporary files of this process's unfinished writers (at most 8 at a time are
 * tracked; others are left to the next writer). Async-signal-safe: meant for the application's
 * own SIGINT/SIGTERM handler right before the process ends (the library installs no signal
 * handlers). The writers themselves are left as they are. */
void veltra_catalog_writer_remove_temps(void);

/* Calls `fn` for every track of an open catalog in catalog order; the row's pointers live
 * until `fn` returns. A non-zero return from `fn` stops the walk and is returned. */
typedef uint32_t (*veltra_catalog_row_fn)(void *data, const veltra_catalog_row_t *row);
uint32_t veltra_catalog_enum_rows(const veltra_catalog_t *catalog, veltra_catalog_row_fn fn,
                                  void *data);
/* The audio file of one track, by ident: its path into `path_buf` (NUL-terminated,
 * VELTRA_CATALOG_ERR_INVALID_ARG when it does not fit) and its media facts into `p_media`
 * (may be NULL; its path member points into path_buf). VELTRA_CATALOG_ERR_NOT_FOUND for an
 * unknown ident or a track without an audio file. Safe from any thread. */
uint32_t veltra_catalog_media_get(const veltra_catalog_t *catalog, const char *ident,
                                  char *path_buf, size_t path_buf_size,
                                  veltra_catalog_media_t *p_media);
/* Tracks by placement source (index: VELTRA_CATALOG_PLACED_*). */
uint32_t veltra_catalog_placement_counts(const veltra_catalog_t *catalog,
                                         uint32_t counts[VELTRA_CATALOG_PLACED_COUNT]);

#if defined(__GNUC__) && defined(VELTRA_CATALOG_BUILDING)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_CATALOG_H */
