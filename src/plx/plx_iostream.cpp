/* Byte streams over memory or callbacks (package 0x22). */
#include "plx/plx_internal.h"

namespace {
uint32_t _iostream_init_func() { return plx_memory_initialize(nullptr); }
uint32_t _iostream_shutdown_func() {
    plx_memory_shutdown();
    return 0;
}
}  // namespace

extern "C" {
PLX_DEFINE_MODULE_LIFECYCLE(iostream)
}
