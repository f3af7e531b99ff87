/* catalog generate, import and info. */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "commands.h"
#include "render.h"
#include "scan.h"

namespace cli {

namespace {

void progress(void *, uint64_t done, uint64_t total) {
    fprintf(stderr, "\rgenerating: %3u%% (%llu of %llu tracks)", static_cast<unsigned>(done * 100 / total),
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    if (done == total) fputc('\n', stderr);
}

/* A CSV the importer cannot open gets its own words before the library's code. */
bool csv_readable(const std::string &csv) {
    struct stat st;
    const char *why = nullptr;
    if (stat(csv.c_str(), &st) != 0)
        why = errno == ENOENT ? "no such file" : strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "a folder, not a CSV file";
    else if (access(csv.c_str(), R_OK) != 0)
        why = strerror(errno);
    if (why) fprintf(stderr, "vibemesh: importing %s: %s\n", csv.c_str(), why);
    return !why;
}

bool is_features_csv(const std::string &csv) {
    FILE *f = fopen(csv.c_str(), "rb");
    if (!f) return false;
    char line[512];
    const bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!got) return false;
    for (char *c = line; *c; ++c) *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    return strstr(line, "valence") && strstr(line, "energy");
}

}  // namespace

int run_generate(const Options &o, uint32_t tracks, uint32_t seed, bool force) {
    std::string path;
    if (!resolve_catalog(o, &path)) return 1;
    ManagerScope manager;
    remove_catalog_temps_on_signals();
    const uint32_t flags = VELTRA_CATALOG_WRITE_WAIT | (force ? VELTRA_CATALOG_WRITE_REPLACE : 0);
    uint32_t code =
        veltra_catalog_generate(path.c_str(), tracks, seed, flags, isatty(2) ? progress : nullptr, nullptr);
    if (code) return catalog_failure("generating the catalog", path, code, true);
    printf("wrote %s: %s (seed %u)\n", path.c_str(), count_text(tracks, "track", "tracks").c_str(), seed);
    return 0;
}

int run_import(const Options &o, const std::string &csv, const std::string &name, bool force) {
    std::string path;
    if (!resolve_catalog(o, &path)) return 1;
    if (!csv_readable(csv)) return 1;
    /* A header naming valence and energy marks a features CSV: its tracks are placed through
     * the same model mapping a scan uses. */
    if (is_features_csv(csv)) return run_features_import(csv, path, name, force);
    ManagerScope manager;
    remove_catalog_temps_on_signals();
    const uint32_t flags = VELTRA_CATALOG_WRITE_WAIT | (force ? VELTRA_CATALOG_WRITE_REPLACE : 0);
    veltra_catalog_import_error_t err{};
    uint32_t count = 0;
    uint32_t code = veltra_catalog_import_csv(csv.c_str(), path.c_str(), name.c_str(), flags, &count, &err);
    if (code == VELTRA_CATALOG_ERR_BAD_INPUT) {
        fprintf(stderr, "vibemesh: %s:%u:%u: %s\n", csv.c_str(), err.line, err.column,
                printable(err.message).c_str());
        return 1;
    }
    if (code) return catalog_failure("importing into the catalog", path, code, true);
    printf("wrote %s: %s\n", path.c_str(), count_text(count, "track", "tracks").c_str());
    return 0;
}

int run_info(const Options &o) {
    std::string path;
    if (!resolve_catalog(o, &path)) return 1;
    if (o.catalog.empty())
        if (int rc = ensure_sample_catalog(path)) return rc;
    veltra_catalog_t *c = nullptr;
    uint32_t code = veltra_catalog_open(nullptr, path.c_str(), &c);
    if (code) return catalog_failure("opening the catalog", path, code);
    veltra_catalog_info_t info{};
    uint32_t placed[VELTRA_CATALOG_PLACED_COUNT] = {};
    code = veltra_catalog_get_info(c, &info);
    if (!code) code = veltra_catalog_placement_counts(c, placed);
    veltra_catalog_close(c);
    if (code) return catalog_failure("reading the catalog", path, code);
    printf(
        "file:        %s\nname:        %s\ndescription: %s\ntracks:      %u\nalbums:      %u\n"
        "artists:     %u\nplaced by:   import %u, mood tag %u, value tags %u, analysis %u\n",
        printable(path).c_str(), printable(info.name).c_str(), printable(info.description).c_str(),
        info.track_count, info.album_count, info.artist_count, placed[VELTRA_CATALOG_PLACED_IMPORT],
        placed[VELTRA_CATALOG_PLACED_MOOD_TAG], placed[VELTRA_CATALOG_PLACED_VALUE_TAGS],
        placed[VELTRA_CATALOG_PLACED_ANALYSIS]);
    return 0;
}

}  // namespace cli
