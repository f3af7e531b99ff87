/* `vibemesh catalog scan`: builds or updates a catalog from the audio files under folders. */
#ifndef VIBEMESH_CLI_SCAN_H
#define VIBEMESH_CLI_SCAN_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

namespace cli {

struct ScanOptions {
    std::string catalog;           /* target catalog file (resolved by the caller) */
    std::vector<std::string> dirs; /* folders to scan */
    uint32_t jobs = 0;             /* worker threads; 0: the number of cores */
    bool force = false;            /* rebuild from scratch instead of updating */
    std::string name;              /* catalog name; empty: keep the old one or derive one */
    bool quiet = false;            /* no progress display */
    /* Raised to stop the scan as Ctrl-C does (tests, embedding applications); may be null.
     * run_scan installs SIGINT/SIGTERM handlers of its own for its duration either way. */
    std::atomic<bool> *stop = nullptr;
};

/* Runs the scan; returns the exit status (0; 1 for runtime errors; 130 when interrupted, the
 * previous catalog left as it was) after reporting on stderr. The summary goes to stdout. */
int run_scan(const ScanOptions &options);

/* `vibemesh catalog import --features CSV`: builds a catalog from a features CSV with the
 * header line
 *   title,artist,album,genre,year,valence,energy[,tempo][,loudness]
 * (fields quoted with " as in any CSV). valence and energy are 0..1 and place each track
 * through the same model mapping a scan uses; genre is text matched like a genre tag, year
 * gives the era; tempo (BPM, 0..400) and loudness (LUFS, -70..0) are stored as features.
 * Errors name their 1-based line and column; on any error nothing is written.
 * Returns the exit status (0, 1). */
int run_features_import(const std::string &csv_path, const std::string &catalog_path,
                        const std::string &name, bool replace);

}  // namespace cli

#endif
