/* Walks the whole mood-grid flow against the stand-in manager: publishes a small in-memory
 * datasource, starts the module, opens the datasource as a provider, prints a 5 x 5 grid of
 * mood names, narrows one cell by a genre filter and lists its recommendations. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

/* ---- a tiny datasource ---------------------------------------------------------------- */

typedef struct {
    const char *ident;  /* track */
    const char *group;  /* album */
    const char *mood;   /* mood id of the coarse grid */
    const char *genre;  /* genre id */
} Track;

static const Track kCatalog[] = {
    {"Morning Light", "Quiet Hours", "65322", "11"},
    {"Slow River", "Quiet Hours", "65322", "12"},
    {"Paper Boats", "Small Things", "65322", "11"},
    {"Night Drive", "Highway", "42960", "12"},
    {"Engine Song", "Highway", "42960", "12"},
};
#define CATALOG_SIZE (sizeof kCatalog / sizeof kCatalog[0])
#define MAX_CONDITIONS 8

typedef struct {
    char list_type[40];
    char value[16];
    int include;
} Condition;

typedef struct {
    Condition conditions[MAX_CONDITIONS];
    unsigned condition_count;
    const Track *matches[CATALOG_SIZE];
    unsigned match_count;
} Query;

static uint32_t ds_release(const VibeMeshDatasource *table) {
    return veltra_manager_interface_unref(table);
}

static uint32_t ds_data_get(const VibeMeshDatasource *table, const char *key,
                            const char **p_value) {
    (void)table;
    if (strcmp(key, "name") != 0) return 0x90500003u;
    *p_value = "Demo catalog";
    return 0;
}

static uint32_t ds_query_create(const VibeMeshDatasource *table, void **p_query,
                                veltra_user_handle_t user, veltra_vibemesh_callback_fn callback,
                                void *callback_data) {
    (void)table, (void)user, (void)callback, (void)callback_data;
    *p_query = calloc(1, sizeof(Query));
    return *p_query ? 0 : 0x90500002u;
}

static uint32_t ds_add_condition(void *query, const char *list_type, const char *value,
                                 const char *condition_type, uint32_t *p_condition) {
    Query *q = query;
    Condition *c;
    (void)p_condition;
    if (q->condition_count == MAX_CONDITIONS) return 0x90500001u;
    c = &q->conditions[q->condition_count++];
    snprintf(c->list_type, sizeof c->list_type, "%s", list_type);
    snprintf(c->value, sizeof c->value, "%s", value);
    c->include = strcmp(condition_type, VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE) == 0;
    return 0;
}

/* A track matches when every condition holds; conditions on one list type are alternatives. */
static int track_matches(const Query *q, const Track *t) {
    static const char *const kLists[] = {VELTRA_LIST_TYPE_MOODS, VELTRA_LIST_TYPE_GENRES};
    unsigned l, i;
    for (l = 0; l < 2; ++l) {
        const char *field = l == 0 ? t->mood : t->genre;
        int any_include = 0, included = 0;
        for (i = 0; i < q->condition_count; ++i) {
            const Condition *c = &q->conditions[i];
            int equal = strcmp(c->value, field) == 0;
            if (strcmp(c->list_type, kLists[l]) != 0) continue;
            if (!c->include && equal) return 0;
            if (c->include) {
                any_include = 1;
                included |= equal;
            }
        }
        if (any_include && !included) return 0;
    }
    return 1;
}

static uint32_t ds_execute(void *query) {
    Query *q = query;
    unsigned i;
    q->match_count = 0;
    for (i = 0; i < CATALOG_SIZE; ++i)
        if (track_matches(q, &kCatalog[i])) q->matches[q->match_count++] = &kCatalog[i];
    return 0;
}

static uint32_t ds_estimate(void *query, uint32_t *p_estimate) {
    ds_execute(query);
    *p_estimate = ((Query *)query)->match_count;
    return 0;
}

static uint32_t ds_result_count(void *query, uint32_t *p_count) {
    *p_count = ((Query *)query)->match_count;
    return 0;
}

static uint32_t ds_result_get(void *query, uint32_t index, const char **p_ident,
                              const char **p_group) {
    Query *q = query;
    if (index >= q->match_count) return 0x90500361u;
    *p_ident = q->matches[index]->ident;
    *p_group = q->matches[index]->group;
    return 0;
}

static uint32_t ds_query_release(void *query) {
    free(query);
    return 0;
}

static const VibeMeshDatasource kDatasource = {
    ds_release,     NULL, NULL, ds_data_get, NULL, NULL, ds_query_create, ds_add_condition,
    ds_execute,     ds_estimate, ds_result_count, ds_result_get, ds_query_release,
};

/* ---- the walk ------------------------------------------------------------------------- */

#define CHECK(call)                                                                   \
    do {                                                                              \
        uint32_t code_ = (call);                                                      \
        if (code_ != 0) {                                                             \
            fprintf(stderr, "%s failed: 0x%08X\n", #call, (unsigned)code_);           \
            return 1;                                                                 \
        }                                                                             \
    } while (0)

static int print_grid(veltra_vibemesh_presentation_handle_t grid) {
    uint32_t width = 0, height = 0, type = 0, x, y;
    CHECK(veltra_vibemesh_presentation_get_type(grid, &type));
    CHECK(veltra_vibemesh_presentation_type_dimension(type, &width, &height));
    for (y = 1; y <= height; ++y) {
        for (x = 1; x <= width; ++x) {
            const char *id = NULL, *name = NULL;
            CHECK(veltra_vibemesh_presentation_get_mood_id(grid, x, y, &id));
            CHECK(veltra_vibemesh_presentation_get_mood_name(grid, x, y, &name));
            printf(" %-5s %-18.18s", id, name);
        }
        printf("\n");
    }
    return 0;
}

static int list_recommendations(veltra_vibemesh_presentation_handle_t grid,
                                veltra_vibemesh_provider_handle_t provider, uint32_t x,
                                uint32_t y) {
    veltra_vibemesh_result_handle_t results = NULL;
    uint32_t estimate = 0, count = 0, i;
    CHECK(veltra_vibemesh_presentation_find_recommendations_estimate(grid, provider, x, y,
                                                                     &estimate));
    CHECK(veltra_vibemesh_presentation_find_recommendations(grid, provider, x, y, &results));
    CHECK(veltra_vibemesh_results_count(results, &count));
    printf("cell (%u, %u): estimate %u, %u result(s)\n", (unsigned)x, (unsigned)y,
           (unsigned)estimate, (unsigned)count);
    for (i = 0; i < count; ++i) {
        const char *ident = NULL, *group = NULL;
        CHECK(veltra_vibemesh_results_enum(results, i, &ident, &group));
        printf("  %-16s %s\n", ident, group);
    }
    CHECK(veltra_vibemesh_results_release(results));
    return 0;
}

int main(void) {
    const veltra_manager_t *manager = NULL;
    veltra_user_handle_t user = NULL;
    veltra_vibemesh_provider_handle_t provider = NULL;
    veltra_vibemesh_presentation_handle_t grid = NULL;
    uint32_t providers = 0;
    const char *name = NULL;

    CHECK(veltra_manager_start(&manager));
    CHECK(veltra_manager_interface_publish("_veltra_vibemesh_datasource_interface", &kDatasource,
                                           NULL));
    CHECK(veltra_manager_user_create("demo", &user));
    CHECK(veltra_manager_locale_set_default("veltra_locale_music", "en", "us", "default"));
    CHECK(veltra_vibemesh_initialize(manager));

    CHECK(veltra_vibemesh_provider_count(&providers));
    CHECK(veltra_vibemesh_provider_enum(0, &provider));
    CHECK(veltra_vibemesh_provider_get_data(provider, "name", &name));
    printf("%u provider(s); provider 0 is \"%s\"\n\n", (unsigned)providers, name);

    CHECK(veltra_vibemesh_presentation_create(user, VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5, NULL,
                                              NULL, &grid));
    if (print_grid(grid) != 0) return 1;
    printf("\n");

    if (list_recommendations(grid, provider, 1, 1) != 0) return 1;
    CHECK(veltra_vibemesh_presentation_filter_set(grid, "calm-genre", VELTRA_LIST_TYPE_GENRES, "11",
                                                  VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE));
    printf("with genre 11 only:\n");
    if (list_recommendations(grid, provider, 1, 1) != 0) return 1;

    CHECK(veltra_vibemesh_presentation_release(grid));
    CHECK(veltra_vibemesh_provider_release(provider));
    CHECK(veltra_vibemesh_shutdown());
    CHECK(veltra_manager_user_release(user));
    CHECK(veltra_manager_interface_withdraw("_veltra_vibemesh_datasource_interface", &kDatasource,
                                            0));
    CHECK(veltra_manager_stop());
    return 0;
}
