/* The string module's life cycle: its only dependency is host memory. */
#include "plx/plx_internal.h"

namespace {
uint32_t _string_init_func() { return plx_memory_initialize(nullptr); }
uint32_t _string_shutdown_func() {
    plx_memory_shutdown();
    return 0;
}
}  // namespace

extern "C" {
PLX_DEFINE_MODULE_LIFECYCLE(string)
}
