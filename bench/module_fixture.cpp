/* Set-up and tear-down of the module for the benchmarks. */
#include "module_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include "bench_common.h"

namespace vb {

namespace {

ModuleFixture *g_fixture;

void check(uint32_t rc, const char *what) {
    if (rc == 0) return;
    fprintf(stderr, "module set-up: %s failed: 0x%08X\n", what, static_cast<unsigned>(rc));
    exit(2);
}

void tear_down() {
    ModuleFixture *m = g_fixture;
    g_fixture = nullptr;
    for (auto *p : m->presentations) veltra_vibemesh_presentation_release(p);
    veltra_vibemesh_provider_release(m->provider);
    veltra_manager_user_release(m->user);
    veltra_vibemesh_shutdown();
    delete m->datasource;
    delete m;
}

}  // namespace

ModuleFixture &ModuleFixture::get() {
    if (g_fixture) return *g_fixture;
    auto *m = new ModuleFixture;
    m->datasource = new MemDatasource(10000);
    check(m->datasource->publish(), "publish");
    check(veltra_vibemesh_initialize(veltra_manager_handle()), "initialize");
    check(veltra_vibemesh_provider_enum(0, &m->provider), "provider_enum");
    check(veltra_manager_user_create("bench", &m->user), "user_create");
    for (auto &p : m->presentations)
        check(veltra_vibemesh_presentation_create(m->user, VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5, nullptr,
                                                  nullptr, &p),
              "presentation_create");
    for (uint32_t y = 1; y <= 5; ++y)
        for (uint32_t x = 1; x <= 5; ++x)
            check(veltra_vibemesh_presentation_get_mood_id(m->presentations[0], x, y, &m->mood_ids[y - 1][x - 1]),
                  "get_mood_id");
    g_fixture = m;
    at_stop(tear_down);
    return *m;
}

}  // namespace vb
