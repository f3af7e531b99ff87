/* Catalog files as untrusted input: the input is the catalog file itself (the seeds are small
 * catalogs the generator wrote). Whatever it holds, opening it gives a catalog or an error code,
 * and over an opened one the module's grid counts and finds, the track facts, the row walk,
 * the media and placement reads give answers or error codes: no crash, no out-of-bounds access,
 * no text that is not UTF-8, nothing left allocated or published. */
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "fuzz_common.h"
#include "veltra_catalog.h"
#include "veltra_vibemesh.h"

namespace fuzz_catalog {

/* A scratch file per process, rewritten for every input. */
const std::string &scratch_path() {
    static const std::string path = [] {
        const char *tmp = getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_catalog." + std::to_string(getpid()) + ".vmcat";
    }();
    return path;
}

bool is_catalog_code(uint32_t code) { return code >= VELTRA_CATALOG_ERR_INVALID_ARG && code <= VELTRA_CATALOG_ERR_VERSION; }

bool utf8(const char *s) { return s && plx_string_isvalid(s); }

/* Every cell of a grid: the estimate, then the find and its rows. */
void walk_grid(veltra_user_handle_t user, veltra_vibemesh_provider_handle_t provider,
               const veltra_catalog_t *catalog, uint32_t type, const char *genre) {
    veltra_vibemesh_presentation_handle_t p = nullptr;
    FUZZ_CHECK(veltra_vibemesh_presentation_create(user, type, nullptr, nullptr, &p) == 0);
    if (genre)
        FUZZ_CHECK(veltra_vibemesh_presentation_filter_set(p, "g", VELTRA_LIST_TYPE_GENRES, genre,
                                                           VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE) == 0);
    uint32_t side = type == VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5 ? 5 : 10;
    for (uint32_t y = 1; y <= side; ++y)
        for (uint32_t x = 1; x <= side; ++x) {
            uint32_t estimate = 0;
            if (veltra_vibemesh_presentation_find_recommendations_estimate(p, provider, x, y, &estimate) != 0)
                continue;
            veltra_vibemesh_result_handle_t r = nullptr;
            if (veltra_vibemesh_presentation_find_recommendations(p, provider, x, y, &r) != 0) continue;
            uint32_t n = 0;
            FUZZ_CHECK(veltra_vibemesh_results_count(r, &n) == 0);
            for (uint32_t i = 0; i < n; ++i) {
                const char *ident = nullptr, *group = nullptr;
                FUZZ_CHECK(veltra_vibemesh_results_enum(r, i, &ident, &group) == 0);
                FUZZ_CHECK(utf8(ident) && *ident && utf8(group), "row %u of cell %u,%u", i, x, y);
                if (i < 3) {
                    veltra_catalog_track_t t{};
                    uint32_t code = veltra_catalog_track_get(catalog, ident, &t);
                    FUZZ_CHECK(code == 0 || is_catalog_code(code), "track_get 0x%08X", code);
                    if (code == 0) FUZZ_CHECK(utf8(t.title) && utf8(t.artist) && utf8(t.album));
                    char path[256];
                    code = veltra_catalog_media_get(catalog, ident, path, sizeof path, nullptr);
                    FUZZ_CHECK(code == 0 || is_catalog_code(code), "media_get 0x%08X", code);
                }
            }
            FUZZ_CHECK(veltra_vibemesh_results_release(r) == 0);
        }
    FUZZ_CHECK(veltra_vibemesh_presentation_release(p) == 0);
}

uint32_t count_row(void *data, const veltra_catalog_row_t *row) {
    FUZZ_CHECK(utf8(row->ident) && *row->ident && utf8(row->album_ident) && utf8(row->album) &&
               utf8(row->album_artist) && utf8(row->title) && utf8(row->artist));
    FUZZ_CHECK(row->media.placed_by < VELTRA_CATALOG_PLACED_COUNT);
    ++*static_cast<uint32_t *>(data);
    return 0;
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    const std::string &path = scratch_path();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);

    const veltra_manager_t *manager = veltra_manager_handle();
    FUZZ_CHECK(veltra_vibemesh_initialize(manager) == 0);
    veltra_catalog_t *catalog = nullptr;
    uint32_t code = veltra_catalog_open(manager, path.c_str(), &catalog);
    FUZZ_CHECK(code == 0 || is_catalog_code(code), "open 0x%08X", code);
    if (code == 0) {
        veltra_catalog_info_t info{};
        FUZZ_CHECK(veltra_catalog_get_info(catalog, &info) == 0);
        FUZZ_CHECK(utf8(info.name) && utf8(info.description));
        uint32_t ordinal = 0;
        veltra_vibemesh_provider_handle_t provider = nullptr;
        veltra_user_handle_t user = nullptr;
        FUZZ_CHECK(veltra_catalog_ordinal(catalog, &ordinal) == 0);
        FUZZ_CHECK(veltra_vibemesh_provider_enum(ordinal, &provider) == 0);
        FUZZ_CHECK(veltra_manager_user_create("fuzz", &user) == 0);
        walk_grid(user, provider, catalog, VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5, nullptr);
        walk_grid(user, provider, catalog, VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10, "1");
        uint32_t rows = 0;
        code = veltra_catalog_enum_rows(catalog, count_row, &rows);
        FUZZ_CHECK(code == 0 || is_catalog_code(code), "enum_rows 0x%08X", code);
        if (code == 0) FUZZ_CHECK(rows == info.track_count, "%u rows, %u tracks", rows, info.track_count);
        uint32_t counts[VELTRA_CATALOG_PLACED_COUNT];
        code = veltra_catalog_placement_counts(catalog, counts);
        if (code == 0)
            FUZZ_CHECK(counts[0] + counts[1] + counts[2] + counts[3] == info.track_count);
        else
            FUZZ_CHECK(is_catalog_code(code), "placement_counts 0x%08X", code);
        veltra_manager_user_release(user);
        FUZZ_CHECK(veltra_vibemesh_provider_release(provider) == 0);
        FUZZ_CHECK(veltra_catalog_close(catalog) == 0);
    }
    FUZZ_CHECK(veltra_manager_interface_count("_veltra_vibemesh_datasource_interface") == 0);
    FUZZ_CHECK(veltra_vibemesh_shutdown() == 0);
    unlink(path.c_str());
}

}  // namespace fuzz_catalog

VELTRA_FUZZ_ENTRY(fuzz_catalog::run)
