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
} veltra_catalog_track_t;
/* VELTRA_CATALOG_ERR_NOT_FOUND for an ident the catalog does not hold. Safe from any thread. */
uint32_t veltra_catalog_track_get(const veltra_catalog_t *catalog, const char *ident,
                                  veltra_catalog_track_t *p_track);

/* Progress of a long operation: `done` of `total` units. */
typedef void (*veltra_catalog_progress_fn)(void *data, uint64_t done, uint64_t total);

/* Writes a new sample catalog of `track_count` tracks, the same for the same seed.
 * VELTRA_CATALOG_ERR_EXISTS when `path` exists. */
uint32_t veltra_catalog_generate(const char *path, uint32_t track_count, uint32_t seed,
                                 veltra_catalog_progress_fn progress, void *progress_data);

/* Where an import stopped: 1-based line and column of the bad field, and what is wrong. */
typedef struct veltra_catalog_import_error_s {
    uint32_t line;
    uint32_t column;
    char message[200];
} veltra_catalog_import_error_t;

/* Builds a new catalog at `catalog_path` from a CSV file with the header line
 *   ident,album_ident,album,title,artist,mood,genre,origin,era
 * (fields may be quoted with "; "" stands for a quote). mood is a level-2 mood id; genre,
 * origin and era are ids of their lists. On bad input nothing is written and `p_error` (may
 * be NULL) says where. */
uint32_t veltra_catalog_import_csv(const char *csv_path, const char *catalog_path,
                                   const char *name, veltra_catalog_import_error_t *p_error);

#if defined(__GNUC__) && defined(VELTRA_CATALOG_BUILDING)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_CATALOG_H */
