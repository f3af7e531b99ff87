#include "scan.h"

#include <stdio.h>

namespace cli {

int run_scan(const ScanOptions &) {
    fprintf(stderr, "vibemesh: catalog scan: not available in this build\n");
    return 1;
}

}  // namespace cli
