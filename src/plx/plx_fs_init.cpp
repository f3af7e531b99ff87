/* The fs module's life cycle: host memory, threads, strings, streams, then the file manager. */
#include "plx/plx_internal.h"

namespace {

uint32_t _fs_init_func() {
    uint32_t code = plx_memory_initialize(nullptr);
    if (code != 0) return code;
    plx_thread_initialize();
    plx_string_initialize();
    plx_iostream_initialize();
    return 0;
}

uint32_t _fs_shutdown_func() {
    plx_iostream_shutdown();
    plx_string_shutdown();
    plx_thread_shutdown();
    plx_memory_shutdown();
    return 0;
}

}  // namespace

extern "C" {
PLX_DEFINE_MODULE_LIFECYCLE(fs)
}
