/* Every public header compiles as strict C99 and every declared function links. */
#include "plx/plx.h"
#include "veltra_manager.h"
#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

#include <stdio.h>

int main(void) {
    /* Taking addresses forces the linker to resolve a sample of each area. */
    typedef void (*any_fn)(void);
    any_fn entries[] = {
        (any_fn)&veltra_vibemesh_initialize, (any_fn)&veltra_vibemesh_get_version,
        (any_fn)&plx_atomic_inc,             (any_fn)&plx_spinlock_lock,
        (any_fn)&plx_random_rand,            (any_fn)&plx_datatypes_initialize,
        (any_fn)&plx_string_initialize,      (any_fn)&plx_thread_initialize,
        (any_fn)&plx_fs_initialize,          (any_fn)&plx_iostream_initialize,
        (any_fn)&plx_memory_alloc,           (any_fn)&manager_errorinfo_set,
        (any_fn)&veltra_manager_start,
    };
    unsigned n = 0;
    for (unsigned i = 0; i < sizeof entries / sizeof entries[0]; ++i) n += entries[i] != NULL;
    printf("%s %u\n", veltra_vibemesh_get_version(), n);
    return n == sizeof entries / sizeof entries[0] ? 0 : 1;
}
