/* The datatypes module's life cycle: the containers need host memory, threads (for their
 * critical sections), strings and the random generator. */
#include "plx/plx_internal.h"

namespace {

uint32_t _datatypes_init_func() {
    uint32_t code = plx_memory_initialize(nullptr);
    if (code == 0) {
        code = plx_thread_initialize();
        if (code == 0) {
            code = plx_string_initialize();
            if (code == 0) {
                code = plx_random_initialize();
                if (code == 0) return 0;
                plx_string_shutdown();
            }
            plx_thread_shutdown();
        }
        plx_memory_shutdown();
    }
    plx::log_error(code, "plx_datatypes", __LINE__);
    return code;
}

uint32_t _datatypes_shutdown_func() {
    plx_random_shutdown();
    plx_string_shutdown();
    plx_thread_shutdown();
    plx_memory_shutdown();
    return 0;
}

}  // namespace

extern "C" {
PLX_DEFINE_MODULE_LIFECYCLE(datatypes)
}
