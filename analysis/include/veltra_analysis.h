/* Audio analysis for catalog scans: probing and decoding audio files, measuring features,
 * reading tags, and placing a track on the 10 x 10 mood grid.
 *
 * C++20, standard containers, no exceptions across the interface. Every function is safe to
 * call from several threads at once on different files. */
#ifndef VELTRA_ANALYSIS_H
#define VELTRA_ANALYSIS_H

#include <stdint.h>

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "veltra_catalog.h"

namespace analysis {

/* Version of the feature -> (arousal, valence) model below. A catalog stores it per track so
 * that a later model can re-place tracks from their stored features without decoding. */
constexpr uint32_t MODEL_VERSION = 1;
/* Everything is analysed as mono float at this rate. */
constexpr int kSampleRate = 22050;

/* Features of a track's audio; NaN where unknown; the flux is per frame of the magnitude
 * spectrum. The catalog stores them as they are. */
using Features = veltra_catalog_features_t;
Features no_features();

/* Why a file was not analysed. */
enum class Fault {
    none,
    unreadable,   /* the file could not be opened */
    empty,        /* zero bytes */
    too_large,    /* larger than Limits::max_bytes */
    not_audio,    /* the content is no known audio format, or has no audio stream */
    no_decoder,   /* an audio stream FFmpeg cannot decode */
    corrupt,      /* decoding failed before any audio came out */
    too_short,    /* shorter than Limits::min_seconds */
    silent,       /* no measurable loudness */
    interrupted,  /* the caller's stop flag was raised */
};
const char *fault_text(Fault fault);

struct Limits {
    uint64_t max_bytes = 2ull << 30;    /* larger files are refused */
    double min_seconds = 3.0;           /* shorter tracks are refused */
    double max_seconds = 20.0 * 60.0;   /* only the first 20 minutes are analysed */
};

/* Opens `path` and checks by its content that it holds an audio stream; sets *duration_s
 * (NaN when the container does not say). */
Fault probe(const char *path, const Limits &limits, double *duration_s, std::string *detail);

/* Decodes `path` and measures its features. `stop` (may be null) is polled while decoding. */
Fault analyse_file(const char *path, const Limits &limits, const std::atomic<bool> *stop,
                   Features *out, std::string *detail);
/* The same for samples already in memory (mono float at kSampleRate). */
Fault analyse_samples(const float *samples, size_t count, const Limits &limits, Features *out);

/* ---- the model ------------------------------------------------------------------------- */
struct Placement {
    double arousal; /* [0, 1] */
    double valence; /* [0, 1] */
};
/* Model version 1: see analysis.cpp for the weights and their reasons. */
Placement model_v1(const Features &f);

/* The one place that puts a point on the 10 x 10 grid: columns x = 1..10 grow with arousal
 * (calm at the left, energetic at the right), rows y = 1..10 fall with valence (happy at the
 * top, dark at the bottom), as the layout's mood names run. Values outside [0, 1] are
 * clamped; NaN counts as 0.5. */
void grid_cell(const Placement &p, uint32_t *x, uint32_t *y);

/* ---- tags ------------------------------------------------------------------------------ */
struct Tags {
    std::string title, artist, album, album_artist, genre, date, country, mood;
    uint32_t track = 0;
    double bpm = 0;          /* 0: none */
    double valence = -1;     /* tag values normalised to [0, 1]; -1: none */
    double arousal = -1;     /* from ENERGY or AROUSAL */
};
/* Reads the tags through TagLib (falling back to the container's own metadata through
 * FFmpeg when TagLib does not know the file). Returns false when neither could read it. */
bool read_tags(const char *path, Tags *out);
/* Parses a valence/energy/arousal tag value: "0.73", "73" or "73%" (0..100), "7.3/10".
 * Returns -1 for anything else. */
double parse_unit_value(const std::string &text);

/* ---- lists ----------------------------------------------------------------------------- */
struct ListEntry {
    uint32_t id, level, parent;
    std::string key, name_en, name_de;
};

/* Matches tag texts to the ids of the mood, genre, origin and era lists. */
class Vocabulary {
public:
    /* `grid` holds the level-2 mood id of each 10 x 10 cell, index (y - 1) * 10 + (x - 1). */
    Vocabulary(std::vector<ListEntry> moods, std::vector<ListEntry> genres,
               std::vector<ListEntry> origins, std::vector<ListEntry> eras,
               const std::array<uint32_t, 100> &grid);

    /* 0 when nothing matches. */
    uint32_t mood(const std::string &text) const;       /* a level-2 mood (id or name) */
    uint32_t genre(const std::string &text) const;      /* first genre of a list that maps */
    uint32_t origin(const std::string &country) const;  /* country name or ISO code */
    uint32_t era(const std::string &date) const;        /* from the year of a date */
    uint32_t parent(uint32_t mood2) const;              /* level-1 parent of a level-2 mood */
    uint32_t cell_mood(uint32_t x, uint32_t y) const { return grid_[(y - 1) * 10 + (x - 1)]; }
    uint32_t place(const Placement &p) const;

private:
    std::vector<ListEntry> moods_, genres_, origins_, eras_;
    std::array<uint32_t, 100> grid_;
};

/* Text helpers. */
std::string fold(const std::string &text);  /* lowercase ASCII, '&'/'-'/'_'/'/' -> ' ', spaces squeezed */
bool is_utf8(const std::string &text);
std::string to_utf8(const std::string &bytes);  /* invalid bytes as U+FFFD */
std::string escape_name(const std::string &bytes); /* invalid bytes as \xNN */

}  // namespace analysis

#endif
