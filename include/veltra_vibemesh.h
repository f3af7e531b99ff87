/* The mood-grid module: its API, its exported data and the datasource table
 * that providers publish.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise. */
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

veltra_error_t veltra_vibemesh_initialize(const veltra_manager_t *manager_handle);
veltra_error_t veltra_vibemesh_shutdown(void);
uint32_t       veltra_vibemesh_initchecks(void);              /* the use count */
const char    *veltra_vibemesh_get_version(void);
const char    *veltra_vibemesh_get_build_date(void);

veltra_error_t veltra_vibemesh_provider_count(uint32_t *p_count);
veltra_error_t veltra_vibemesh_provider_enum(uint32_t ordinal,
                                             veltra_vibemesh_provider_handle_t *ph_provider);
veltra_error_t veltra_vibemesh_provider_get_data(veltra_vibemesh_provider_handle_t provider,
                                                 const char *key, const char **p_value);
veltra_error_t veltra_vibemesh_provider_release(veltra_vibemesh_provider_handle_t provider);

veltra_error_t veltra_vibemesh_presentation_create(veltra_user_handle_t user,
        uint32_t presentation_type, veltra_vibemesh_callback_fn callback,
        void *callback_data, veltra_vibemesh_presentation_handle_t *ph_presentation);
veltra_error_t veltra_vibemesh_presentation_release(
        veltra_vibemesh_presentation_handle_t presentation);
veltra_error_t veltra_vibemesh_presentation_get_type(
        veltra_vibemesh_presentation_handle_t presentation, uint32_t *p_presentation_type);
veltra_error_t veltra_vibemesh_presentation_type_dimension(uint32_t presentation_type,
        uint32_t *p_x_size, uint32_t *p_y_size);
veltra_error_t veltra_vibemesh_presentation_get_mood_id(
        veltra_vibemesh_presentation_handle_t presentation, uint32_t x, uint32_t y,
        const char **p_mood_id);
veltra_error_t veltra_vibemesh_presentation_get_mood_name(
        veltra_vibemesh_presentation_handle_t presentation, uint32_t x, uint32_t y,
        const char **p_mood_name);

veltra_error_t veltra_vibemesh_presentation_filter_set(
        veltra_vibemesh_presentation_handle_t presentation, const char *ident,
        const char *list_type, const char *item_value_id, const char *condition_type);
veltra_error_t veltra_vibemesh_presentation_filter_remove(
        veltra_vibemesh_presentation_handle_t presentation, const char *ident);
veltra_error_t veltra_vibemesh_presentation_filter_remove_all(
        veltra_vibemesh_presentation_handle_t presentation);

veltra_error_t veltra_vibemesh_presentation_find_recommendations(
        veltra_vibemesh_presentation_handle_t presentation,
        veltra_vibemesh_provider_handle_t provider, uint32_t x, uint32_t y,
        veltra_vibemesh_result_handle_t *ph_result);
veltra_error_t veltra_vibemesh_presentation_find_recommendations_estimate(
        veltra_vibemesh_presentation_handle_t presentation,
        veltra_vibemesh_provider_handle_t provider, uint32_t x, uint32_t y,
        uint32_t *p_estimate);

veltra_error_t veltra_vibemesh_results_count(veltra_vibemesh_result_handle_t results,
                                             uint32_t *p_count);
veltra_error_t veltra_vibemesh_results_enum(veltra_vibemesh_result_handle_t results,
                                            uint32_t index, const char **p_ident,
                                            const char **p_group /* optional */);
veltra_error_t veltra_vibemesh_results_release(veltra_vibemesh_result_handle_t results);

/* exported data */
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
