/* A program built against the installed VibeMesh package, the way an integrator builds one.
 *
 *   consumer CATALOG_FILE
 *
 * Generates a sample catalog at CATALOG_FILE when the file does not exist, then walks the
 * whole flow: start the manager and the module, open the catalog as a datasource and a
 * provider on it, create a user and a 5 x 5 presentation, read every cell's mood name, find
 * and estimate every cell with and without a genre filter, and release everything. It checks
 * that the numbers agree with each other and exits 0 only when they all do:
 *   - every cell's estimate equals its result count;
 *   - the cells of the unfiltered grid together hold every track of the catalog once;
 *   - for each cell, the tracks with the genre plus the tracks without it make up the cell;
 *   - every result names a track of the catalog;
 *   - after the walk the host allocator holds no block and the manager no object of ours. */
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "veltra_catalog.h"
#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

#define SAMPLE_TRACKS 2000u
#define SAMPLE_SEED 11u
#define GRID 5u
#define FILTER_GENRE "2"

static int g_failures;

#define CHECK(call)                                                                        \
    do {                                                                                   \
        uint32_t code_ = (call);                                                           \
        if (code_ != 0) {                                                                  \
            fprintf(stderr, "consumer: %s failed: 0x%08X\n", #call, (unsigned)code_);      \
            return 1;                                                                      \
        }                                                                                  \
    } while (0)

static void expect(int ok, const char *what, unsigned a, unsigned b) {
    if (!ok) {
        fprintf(stderr, "consumer: %s (%u vs %u)\n", what, a, b);
        ++g_failures;
    }
}

/* Counts a cell through both calls and checks the results name real tracks. */
static int count_cell(veltra_vibemesh_presentation_handle_t grid,
                      veltra_vibemesh_provider_handle_t provider, const veltra_catalog_t *catalog,
                      uint32_t x, uint32_t y, uint32_t *p_count) {
    veltra_vibemesh_result_handle_t results = NULL;
    uint32_t estimate = 0, count = 0, i;
    CHECK(veltra_vibemesh_presentation_find_recommendations_estimate(grid, provider, x, y,
                                                                     &estimate));
    CHECK(veltra_vibemesh_presentation_find_recommendations(grid, provider, x, y, &results));
    CHECK(veltra_vibemesh_results_count(results, &count));
    expect(estimate == count, "a cell's estimate differs from its result count", estimate, count);
    for (i = 0; i < count; ++i) {
        const char *ident = NULL, *group = NULL;
        veltra_catalog_track_t track;
        uint32_t code = veltra_vibemesh_results_enum(results, i, &ident, &group);
        if (code == 0) code = veltra_catalog_track_get(catalog, ident, &track);
        expect(code == 0 && group && group[0], "a result names no track of the catalog", i, code);
        if (code) break;
    }
    CHECK(veltra_vibemesh_results_release(results));
    *p_count = count;
    return 0;
}

static int walk(const char *path) {
    const veltra_manager_t *manager = NULL;
    veltra_manager_memory_stats_t before, after;
    veltra_manager_object_counts_t objects;
    veltra_catalog_t *catalog = NULL;
    veltra_catalog_info_t info;
    veltra_vibemesh_provider_handle_t provider = NULL;
    veltra_vibemesh_presentation_handle_t grid = NULL;
    veltra_user_handle_t user = NULL;
    uint32_t providers = 0, ordinal = 0, width = 0, height = 0, x, y;
    uint32_t all[GRID * GRID], with_genre[GRID * GRID], without_genre[GRID * GRID];
    unsigned long total = 0, filtered = 0;
    const char *provider_name = NULL;
    struct stat st;

    CHECK(veltra_manager_start(&manager));
    veltra_manager_memory_stats(&before);
    if (stat(path, &st) != 0) {
        CHECK(veltra_catalog_generate(path, SAMPLE_TRACKS, SAMPLE_SEED, 0, NULL, NULL));
        printf("generated %s: %u tracks\n", path, SAMPLE_TRACKS);
    }
    CHECK(veltra_manager_locale_set_default("veltra_locale_music", "en", "US", "default"));
    CHECK(veltra_vibemesh_initialize(manager));
    printf("VibeMesh %s\n", veltra_vibemesh_get_version());

    CHECK(veltra_catalog_open(manager, path, &catalog));
    CHECK(veltra_catalog_get_info(catalog, &info));
    CHECK(veltra_vibemesh_provider_count(&providers));
    CHECK(veltra_catalog_ordinal(catalog, &ordinal));
    expect(ordinal < providers, "the catalog is not among the providers", ordinal, providers);
    CHECK(veltra_vibemesh_provider_enum(ordinal, &provider));
    CHECK(veltra_vibemesh_provider_get_data(provider, "name", &provider_name));
    expect(strcmp(provider_name, info.name) == 0, "the provider's name is not the catalog's", 0, 0);
    printf("catalog \"%s\": %u tracks, provider %u of %u\n", info.name, info.track_count,
           ordinal + 1, providers);

    CHECK(veltra_manager_user_create("consumer", &user));
    CHECK(veltra_vibemesh_presentation_create(user, VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5, NULL,
                                              NULL, &grid));
    CHECK(veltra_vibemesh_presentation_type_dimension(VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5,
                                                      &width, &height));
    expect(width == GRID && height == GRID, "the 5x5 type has other dimensions", width, height);

    for (y = 1; y <= GRID; ++y) {
        for (x = 1; x <= GRID; ++x) {
            const char *id = NULL, *name = NULL;
            CHECK(veltra_vibemesh_presentation_get_mood_id(grid, x, y, &id));
            CHECK(veltra_vibemesh_presentation_get_mood_name(grid, x, y, &name));
            expect(id[0] != '\0' && name[0] != '\0', "a cell without a mood", x, y);
            if (count_cell(grid, provider, catalog, x, y, &all[(y - 1) * GRID + x - 1])) return 1;
            printf("%s%-20.20s %5u", x == 1 ? "" : "  ", name, all[(y - 1) * GRID + x - 1]);
            total += all[(y - 1) * GRID + x - 1];
        }
        printf("\n");
    }
    expect(total == info.track_count, "the cells do not hold every track once",
           (unsigned)total, info.track_count);

    CHECK(veltra_vibemesh_presentation_filter_set(grid, "genre", VELTRA_LIST_TYPE_GENRES,
                                                  FILTER_GENRE,
                                                  VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE));
    for (y = 1; y <= GRID; ++y)
        for (x = 1; x <= GRID; ++x)
            if (count_cell(grid, provider, catalog, x, y, &with_genre[(y - 1) * GRID + x - 1]))
                return 1;
    CHECK(veltra_vibemesh_presentation_filter_remove(grid, "genre"));
    CHECK(veltra_vibemesh_presentation_filter_set(grid, "not-genre", VELTRA_LIST_TYPE_GENRES,
                                                  FILTER_GENRE,
                                                  VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE));
    for (y = 1; y <= GRID; ++y)
        for (x = 1; x <= GRID; ++x)
            if (count_cell(grid, provider, catalog, x, y, &without_genre[(y - 1) * GRID + x - 1]))
                return 1;
    for (x = 0; x < GRID * GRID; ++x) {
        expect(with_genre[x] + without_genre[x] == all[x],
               "a cell's tracks with and without the genre do not make up the cell",
               with_genre[x] + without_genre[x], all[x]);
        filtered += with_genre[x];
    }
    expect(filtered > 0 && filtered < total, "the genre filter selects none or all tracks",
           (unsigned)filtered, (unsigned)total);
    printf("genre %s: %lu of %lu tracks\n", FILTER_GENRE, filtered, total);
    CHECK(veltra_vibemesh_presentation_filter_remove_all(grid));

    CHECK(veltra_vibemesh_presentation_release(grid));
    CHECK(veltra_manager_user_release(user));
    CHECK(veltra_vibemesh_provider_release(provider));
    CHECK(veltra_catalog_close(catalog));
    CHECK(veltra_vibemesh_shutdown());

    veltra_manager_memory_stats(&after);
    veltra_manager_object_counts(&objects);
    expect(after.live_blocks == before.live_blocks, "host blocks left after the walk",
           (unsigned)after.live_blocks, (unsigned)before.live_blocks);
    expect(objects.users == 0 && objects.lists == 0 && objects.elements == 0,
           "manager objects left after the walk", objects.users, objects.lists);
    CHECK(veltra_manager_stop());
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer CATALOG_FILE\n");
        return 2;
    }
    if (walk(argv[1]) != 0 || g_failures) {
        fprintf(stderr, "consumer: FAILED (%d inconsistencies)\n", g_failures);
        return 1;
    }
    printf("consumer: all counts consistent\n");
    return 0;
}
