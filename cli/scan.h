/* `vibemesh catalog scan`: builds or updates a catalog from the audio files under folders. */
#ifndef VIBEMESH_CLI_SCAN_H
#define VIBEMESH_CLI_SCAN_H

#include <stdint.h>

#include <string>
#include <vector>

namespace cli {

struct ScanOptions {
    std::string catalog;           /* target catalog file (resolved by the caller) */
    std::vector<std::string> dirs; /* folders to scan */
    uint32_t jobs = 0;             /* worker threads; 0: the number of cores */
    bool force = false;            /* rebuild from scratch instead of updating */
    std::string name;              /* catalog name; empty: keep the old one or derive one */
};

/* Runs the scan; returns the exit status (0, 1 for runtime errors) after reporting on stderr. */
int run_scan(const ScanOptions &options);

}  // namespace cli

#endif
