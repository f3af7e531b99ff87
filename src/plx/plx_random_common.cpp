/* The random module: its life cycle and the shared linear congruential generator. */
#include "plx/plx_internal.h"

namespace {

uint32_t s_plx_random_rand_seed = 0x12345678u; /* the state of callers without their own */

/* The random module has nothing of its own to start; it holds the fs module up. */
uint32_t _random_init_func() {
    plx_fs_initialize(); /* result ignored: start-up always succeeds */
    return 0;
}
uint32_t _random_shutdown_func() {
    plx_fs_shutdown();
    return 0;
}

}  // namespace

extern "C" {

PLX_DEFINE_MODULE_LIFECYCLE(random)

/* Lock-free by contract: callers sharing the seed may draw the same value. */
uint32_t plx_random_rand(uint32_t *seed) {
    uint32_t *state = seed ? seed : &s_plx_random_rand_seed;
    uint32_t next = __atomic_load_n(state, __ATOMIC_RELAXED) * 214013u + 2531011u;
    __atomic_store_n(state, next, __ATOMIC_RELAXED);
    return (next >> 16) & 0x7FFFu;
}

}  // extern "C"
