/* The deterministic sample generator, written through the catalog writer, and the lists it
 * and the writer draw ids from. */
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog_internal.h"
#include "veltra_manager_app.h"

namespace cat {

uint32_t load_lists(Lists *out) {
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    if (veltra_manager_list_entries(kListTypeNames[kMoods], &e, &n) != 0 || n == 0)
        return VELTRA_CATALOG_ERR_NOT_FOUND;
    for (uint32_t i = 0; i < n; ++i) {
        out->moods.push_back({e[i].id, e[i].level, e[i].parent_id});
        if (e[i].level == 2) out->ids[kMoods].push_back(e[i].id);
    }
    for (int k = kGenres; k < kListKinds; ++k) {
        if (veltra_manager_list_entries(kListTypeNames[k], &e, &n) != 0 || n == 0)
            return VELTRA_CATALOG_ERR_NOT_FOUND;
        for (uint32_t i = 0; i < n; ++i) out->ids[k].push_back(e[i].id);
    }
    return 0;
}

}  // namespace cat

namespace {

/* splitmix64: small, fast and the same everywhere, so a seed always gives the same catalog. */
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

constexpr const char *kAdjectives[] = {
    "Silver", "Velvet", "Midnight", "Golden", "Quiet", "Electric", "Hollow", "Crimson", "Paper",
    "Northern", "Broken", "Gentle", "Restless", "Amber", "Distant", "Wild", "Frozen", "Burning",
    "Secret", "Endless", "Lonely", "Bright", "Faded", "Neon", "Silent", "Rolling", "Summer",
    "Winter", "Shallow", "Open"};
constexpr const char *kNouns[] = {
    "Harbour", "Lanterns", "Highway", "Rivers", "Echoes", "Gardens", "Skyline", "Tides",
    "Letters", "Mirrors", "Horizon", "Embers", "Shadows", "Meadow", "Satellites", "Avenue",
    "Orchard", "Signals", "Valley", "Windows", "Storms", "Islands", "Circles", "Wires", "Dunes",
    "Bells", "Currents", "Towers", "Fields", "Sparks"};
constexpr const char *kFirst[] = {"Ada", "Milo", "Lena", "Theo", "Nora", "Jonas", "Iris", "Felix",
                                  "Mara", "Oskar", "Ines", "Ravi", "Yuki", "Lucia", "Emil",
                                  "Sofia", "Tariq", "Hanna", "Leon", "Zoe"};
constexpr const char *kLast[] = {"Marlow", "Vance", "Okafor", "Lindqvist", "Moreau", "Kessler",
                                 "Sato", "Alvarez", "Brandt", "Novak", "Haddad", "Quinn",
                                 "Berger", "Ferreira", "Ivanova", "Castell", "Whitlock",
                                 "Nakamura", "Dahl", "Rossi"};

template <size_t N>
const char *pick(Rng &r, const char *const (&words)[N]) {
    return words[r.below(N)];
}

uint32_t generate_rows(veltra_catalog_writer_t *w, const cat::Lists &lists, uint32_t track_count,
                       uint32_t seed, veltra_catalog_progress_fn progress, void *progress_data) {
    veltra_catalog_media_t no_media{};
    no_media.arousal = no_media.valence = NAN;
    no_media.features = {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};

    Rng rng{seed * 0x2545F4914F6CDD1Dull + 1};
    const std::vector<uint32_t> &moods = lists.ids[cat::kMoods];
    /* Moods differ in popularity, so the grid's counts vary from cell to cell. */
    std::vector<uint32_t> weight(moods.size());
    uint32_t total_weight = 0;
    for (uint32_t &wgt : weight) total_weight += (wgt = 1 + rng.below(12));
    auto weighted_mood = [&]() {
        uint32_t x = rng.below(total_weight);
        for (size_t i = 0; i < weight.size(); ++i) {
            if (x < weight[i]) return moods[i];
            x -= weight[i];
        }
        return moods.back();
    };

    std::string artist, album_title, title;
    char ident[32];
    std::string album_ident;
    uint32_t left_in_album = 0, album_no = 0;
    uint32_t album_mood = 0, album_genre = 0, album_origin = 0, album_era = 0;
    const uint32_t step = track_count / 100 ? track_count / 100 : 1;
    for (uint32_t i = 0; i < track_count; ++i) {
        if (left_in_album == 0) {
            /* A new album: one artist, mostly one genre, origin, era and mood. */
            left_in_album = 6 + rng.below(9);
            artist = rng.below(4) == 0 ? std::string("The ") + pick(rng, kAdjectives) + " " +
                                             pick(rng, kNouns)
                                       : std::string(pick(rng, kFirst)) + " " + pick(rng, kLast);
            album_title = std::string(pick(rng, kAdjectives)) + " " + pick(rng, kNouns);
            snprintf(ident, sizeof ident, "alb-%06u", ++album_no);
            album_ident = ident;
            album_mood = weighted_mood();
            album_genre = lists.ids[cat::kGenres][rng.below(static_cast<uint32_t>(lists.ids[cat::kGenres].size()))];
            album_origin = lists.ids[cat::kOrigins][rng.below(static_cast<uint32_t>(lists.ids[cat::kOrigins].size()))];
            album_era = lists.ids[cat::kEras][rng.below(static_cast<uint32_t>(lists.ids[cat::kEras].size()))];
        }
        --left_in_album;
        uint32_t mood = rng.below(2) ? album_mood : weighted_mood();
        uint32_t genre = rng.below(5) ? album_genre
                                      : lists.ids[cat::kGenres][rng.below(static_cast<uint32_t>(lists.ids[cat::kGenres].size()))];
        title = std::string(pick(rng, kAdjectives)) + " " + pick(rng, kNouns);
        snprintf(ident, sizeof ident, "trk-%07u", i + 1);
        veltra_catalog_row_t row{};
        row.ident = ident;
        row.album_ident = album_ident.c_str();
        row.album = album_title.c_str();
        row.title = title.c_str();
        row.artist = artist.c_str();
        row.mood = mood;
        row.genre = genre;
        row.origin = album_origin;
        row.era = album_era;
        row.media = no_media;
        if (uint32_t code = veltra_catalog_writer_add(w, &row)) return code;
        if (progress && (i + 1) % step == 0) progress(progress_data, i + 1, track_count);
    }
    return 0;
}

}  // namespace

extern "C" {

uint32_t veltra_catalog_generate(const char *path, uint32_t track_count, uint32_t seed,
                                 uint32_t flags, veltra_catalog_progress_fn progress,
                                 void *progress_data) {
    if (!path || !*path || track_count == 0) return VELTRA_CATALOG_ERR_INVALID_ARG;
    cat::Lists lists;
    if (uint32_t code = cat::load_lists(&lists)) return code;
    veltra_catalog_writer_t *w = nullptr;
    if (uint32_t code = veltra_catalog_writer_begin(path, flags, &w)) return code;
    uint32_t code = generate_rows(w, lists, track_count, seed, progress, progress_data);
    if (code) {
        veltra_catalog_writer_abort(w);
        return code;
    }
    char description[128];
    snprintf(description, sizeof description, "Generated sample catalog: %u tracks, seed %u",
             track_count, seed);
    code = veltra_catalog_writer_commit(w, "Sample catalog", description);
    if (code == 0 && progress) progress(progress_data, track_count, track_count);
    return code;
}

}  // extern "C"
