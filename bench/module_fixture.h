/* The module set up once for the benchmarks that need it: the in-memory datasource published
 * and opened as a provider, a user, two 5 x 5 presentations and the layout's mood ids. */
#ifndef VELTRA_BENCH_MODULE_FIXTURE_H
#define VELTRA_BENCH_MODULE_FIXTURE_H

#include "mem_datasource.h"
#include "veltra_vibemesh.h"

namespace vb {

struct ModuleFixture {
    MemDatasource *datasource = nullptr;  // catalog of 10k items
    veltra_vibemesh_provider_handle_t provider = nullptr;
    veltra_user_handle_t user = nullptr;
    veltra_vibemesh_presentation_handle_t presentations[2] = {};
    const char *mood_ids[5][5] = {};  // [y - 1][x - 1], as the module hands them out

    /* Sets everything up on first use (exits on failure) and tears it down at stop_host. */
    static ModuleFixture &get();
};

}  // namespace vb

#endif /* VELTRA_BENCH_MODULE_FIXTURE_H */
