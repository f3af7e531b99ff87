/* The mood-grid module: its API, its exported data and the datasource table
 * that providers publish.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise.
 *
 * Codes every call shares (package 0xA8):
 *   0           success;
 *   0x90A80007  the module is not started (logged, error information recorded);
 *   0x90A80001  a null handle (nothing recorded), or a null or invalid argument (error
 *               information names the call and the argument);
 *   0x90A80000 | (c & 0x1FFFF)  the handle manager refused a handle with code c;
 *   0x90A80002  memory ran out; nothing was created and nothing changed;
 *   0x90A80006  a release refused while another call is using the object;
 *   0x90A8xxxx  any other package's failure xxxx (a datasource's, the list manager's, a failed
 *               lock), folded into this package; the support layer's not-found becomes the
 *               status 0x10A20003.
 * Outs are written only on success unless a call says otherwise. Strings handed out belong to
 * the module: each call says how long they live. Every call may run on any thread. */
#ifndef VELTRA_VIBEMESH_H
#define VELTRA_VIBEMESH_H

#include "veltra_manager.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

typedef struct VibeMeshDatasource VibeMeshDatasource;
typedef void (*veltra_vibemesh_callback_fn)(void *callback_data);  /* opaque to the module */

/* The table a datasource publishes through the manager's registry. The module calls it with
 * the presentation's lock held: no two queries of one presentation overlap. Strings the
 * datasource hands out (data_get's value, result idents and groups) need to live only until
 * its next call on the same query or table; the module copies what it keeps. Every query the
 * module creates is released, also after a failure, and also when query_create failed but
 * left a handle in *p_query. */
struct VibeMeshDatasource {
    uint32_t (*interface_release)(const VibeMeshDatasource *table);      /* 0 */
    void *reserved1;
    void *reserved2;
    uint32_t (*data_get)(const VibeMeshDatasource *table, const char *key,
                         const char **p_value);                          /* 3 */
    void *reserved4;
    void *reserved5;
    uint32_t (*query_create)(const VibeMeshDatasource *table, void **p_query,
                             veltra_user_handle_t user,
                             veltra_vibemesh_callback_fn callback,
                             void *callback_data);                       /* 6 */
    uint32_t (*query_add_condition)(void *query, const char *list_type,
                                    const char *value, const char *condition_type,
                                    uint32_t *p_condition);              /* 7 */
    uint32_t (*query_execute)(void *query);                              /* 8 */
    uint32_t (*query_estimate)(void *query, uint32_t *p_estimate);       /* 9 */
    uint32_t (*query_result_count)(void *query, uint32_t *p_count);      /* 10 */
    uint32_t (*query_result_get)(void *query, uint32_t index,
                                 const char **p_ident, const char **p_group);   /* 11 */
    uint32_t (*query_release)(void *query);                              /* 12 */
};

typedef uint32_t veltra_error_t;
typedef struct veltra_vibemesh_presentation_s *veltra_vibemesh_presentation_handle_t;
typedef struct veltra_vibemesh_provider_s     *veltra_vibemesh_provider_handle_t;
typedef struct veltra_vibemesh_results_s      *veltra_vibemesh_result_handle_t;

#define VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5   0x0505u
#define VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10 0x0A0Au
#define VELTRA_LIST_TYPE_MOODS   "veltra_list_type_moods"
#define VELTRA_LIST_TYPE_GENRES  "veltra_list_type_genres"
#define VELTRA_LIST_TYPE_ORIGINS "veltra_list_type_origins"
#define VELTRA_LIST_TYPE_ERAS    "veltra_list_type_eras"
#define VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE "veltra_vibemesh_filter_condition_include"
#define VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE "veltra_vibemesh_filter_condition_exclude"

/* Starts the module (nested: each start needs its shutdown) against the manager: registers as
 * its client and looks up the manager's interfaces. 0x90A80001 for a null handle, 0x90A80320
 * for a handle that is no manager, 0x90A80321 for another version, 0x90A8000A when a
 * registration or lookup failed (all undone; the manager's code is the recorded source code).
 * A later start with another handle only counts. */
veltra_error_t veltra_vibemesh_initialize(const veltra_manager_t *manager_handle);
/* Undoes one start; the last releases the interfaces and the client. A refused release
 * returns its folded code and leaves the module started. 0x90A80007 when not started. */
veltra_error_t veltra_vibemesh_shutdown(void);
uint32_t       veltra_vibemesh_initchecks(void);              /* the use count */
/* Static strings; need no start. */
const char    *veltra_vibemesh_get_version(void);
const char    *veltra_vibemesh_get_build_date(void);

/* The number of published datasources (*p_count, not null). */
veltra_error_t veltra_vibemesh_provider_count(uint32_t *p_count);
/* Opens datasource `ordinal` as a new provider holding its own table reference; the caller
 * releases it. 0x10A20003 past the last datasource. *ph_provider (not null) is written only
 * on success. */
veltra_error_t veltra_vibemesh_provider_enum(uint32_t ordinal,
                                             veltra_vibemesh_provider_handle_t *ph_provider);
/* The datasource's datum `key` (not empty): *p_value is whatever the datasource stores, as
 * long as the datasource keeps it. */
veltra_error_t veltra_vibemesh_provider_get_data(veltra_vibemesh_provider_handle_t provider,
                                                 const char *key, const char **p_value);
/* Drops the table reference and ends the handle. A null provider is no error; the handle
 * manager's refusal comes back unmapped. */
veltra_error_t veltra_vibemesh_provider_release(veltra_vibemesh_provider_handle_t provider);

/* A presentation of `presentation_type` (columns in bits 8 and up, rows in bits 0..7; the two
 * VELTRA_VIBEMESH_PRESENTATION_TYPE_* are laid out, any other reads the 10 x 10 layout within
 * its size) for `user`, who is held until the presentation is deleted. `callback` and
 * `callback_data` are only handed to the datasource with each find. The caller releases the
 * new handle in *ph_presentation (not null). */
veltra_error_t veltra_vibemesh_presentation_create(veltra_user_handle_t user,
        uint32_t presentation_type, veltra_vibemesh_callback_fn callback,
        void *callback_data, veltra_vibemesh_presentation_handle_t *ph_presentation);
/* Ends the handle; the presentation goes with its filters and interned mood names (every
 * name it handed out). */
veltra_error_t veltra_vibemesh_presentation_release(
        veltra_vibemesh_presentation_handle_t presentation);
/* The type given at create. */
veltra_error_t veltra_vibemesh_presentation_get_type(
        veltra_vibemesh_presentation_handle_t presentation, uint32_t *p_presentation_type);
/* Columns and rows of any type code; both outs must be given. Needs the module started. */
veltra_error_t veltra_vibemesh_presentation_type_dimension(uint32_t presentation_type,
        uint32_t *p_x_size, uint32_t *p_y_size);
/* The mood identifier of cell (x, y), counted from 1: a static string. A cell outside the
 * layout is an invalid argument (checked before the out pointer). */
veltra_error_t veltra_vibemesh_presentation_get_mood_id(
        veltra_vibemesh_presentation_handle_t presentation, uint32_t x, uint32_t y,
        const char **p_mood_id);
/* The mood's localized name, from the list manager in the default locale of the playlist
 * group, else of the music group (neither set: 0x90A80001 with source code 0x90A802D3). The
 * name is interned in the presentation: equal names give one pointer, valid until the
 * presentation is deleted. */
veltra_error_t veltra_vibemesh_presentation_get_mood_name(
        veltra_vibemesh_presentation_handle_t presentation, uint32_t x, uint32_t y,
        const char **p_mood_name);

/* Adds the filter `ident` (valid UTF-8, ASCII case ignored): results must (include) or must
 * not (exclude) carry item `item_value_id` (a decimal id above 0) of list `list_type` (genres,
 * origins or eras; moods are the cell's own). All filters on one list type share one
 * condition type: another is 0x90A80001 without error information. An existing `ident` gives
 * 0x90A8000C. The strings are copied. */
veltra_error_t veltra_vibemesh_presentation_filter_set(
        veltra_vibemesh_presentation_handle_t presentation, const char *ident,
        const char *list_type, const char *item_value_id, const char *condition_type);
/* Removes the filter `ident`; an unknown one is an invalid argument. */
veltra_error_t veltra_vibemesh_presentation_filter_remove(
        veltra_vibemesh_presentation_handle_t presentation, const char *ident);
/* Removes every filter. */
veltra_error_t veltra_vibemesh_presentation_filter_remove_all(
        veltra_vibemesh_presentation_handle_t presentation);

/* One query to the provider's datasource: the mood of cell (x, y) included, narrowed by the
 * filters, executed, its results copied into a new set in *ph_result (not null) that the
 * caller releases. *ph_result is written on success, and when only the query's release
 * failed (its folded code is then returned with the set). */
veltra_error_t veltra_vibemesh_presentation_find_recommendations(
        veltra_vibemesh_presentation_handle_t presentation,
        veltra_vibemesh_provider_handle_t provider, uint32_t x, uint32_t y,
        veltra_vibemesh_result_handle_t *ph_result);
/* The same query estimated: the datasource writes *p_estimate (not null); no set, and no
 * callback handed over. */
veltra_error_t veltra_vibemesh_presentation_find_recommendations_estimate(
        veltra_vibemesh_presentation_handle_t presentation,
        veltra_vibemesh_provider_handle_t provider, uint32_t x, uint32_t y,
        uint32_t *p_estimate);

/* The number of results (*p_count, not null). */
veltra_error_t veltra_vibemesh_results_count(veltra_vibemesh_result_handle_t results,
                                             uint32_t *p_count);
/* Result `index` (from 0): its ident (p_ident not null) and group. The strings belong to the
 * set and live until it is released; equal strings share one copy. 0x90A80361 at or past the
 * count, the outs untouched. */
veltra_error_t veltra_vibemesh_results_enum(veltra_vibemesh_result_handle_t results,
                                            uint32_t index, const char **p_ident,
                                            const char **p_group /* optional */);
/* Ends the handle; the set and every string it handed out go with it. A null handle is no
 * error. */
veltra_error_t veltra_vibemesh_results_release(veltra_vibemesh_result_handle_t results);

/* Exported data: what the module holds while started (null otherwise); read only. */
extern const veltra_manager_t                 *g_vibemesh_manager_interface;
extern void                                   *g_vibemesh_client_ref;
extern const veltra_errorinfo_interface_t     *g_vibemesh_errorinfo_interface;
extern const veltra_handlemanager_interface_t *g_vibemesh_handlemanager_interface;
extern const veltra_userinfo_interface_t      *g_vibemesh_userinfo_interface;
extern const veltra_serialization_interface_t *g_vibemesh_serialization_interface;
extern const veltra_listmanager_interface_t   *g_vibemesh_lists_interface;

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_VIBEMESH_H */
