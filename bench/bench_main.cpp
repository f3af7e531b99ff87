/* Entry point of the timing benchmarks: the host is started once around the whole run.
 *
 * The C library's allocator serves both sides (the host allocator sits on it). By default it
 * hands blocks of a few MiB back to the system when they are freed, so whether a benchmark
 * pays page faults for its big buffers would depend on what ran before it. Keeping freed
 * memory in the process makes every repetition start from the same state. */
#include <malloc.h>

#include "bench_common.h"

int main(int argc, char **argv) {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    vb::start_host();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vb::stop_host();
    return 0;
}
