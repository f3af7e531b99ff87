/* The thread module (package 0x02): critical sections, read/write locks, events and threads. */
#include "plx/plx_internal.h"

namespace {
uint32_t _thread_init_func() { return plx_memory_initialize(nullptr); }
uint32_t _thread_shutdown_func() {
    plx_memory_shutdown();
    return 0;
}
}  // namespace

extern "C" {
PLX_DEFINE_MODULE_LIFECYCLE(thread)
}
