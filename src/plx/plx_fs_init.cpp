/* The fs module's life cycle (host memory, threads, strings, streams, then the file manager)
 * and its one option, the descriptor cap "plx_fs_max_handles". */
#include "plx/plx_fs_private.h"

namespace {

/* Stops the dependencies started before step `started` (they start in this order). */
void stop_dependencies(int started) {
    if (started > 3) plx_iostream_shutdown();
    if (started > 2) plx_string_shutdown();
    if (started > 1) plx_thread_shutdown();
    if (started > 0) plx_memory_shutdown();
}

uint32_t _fs_init_func() {
    uint32_t code = plx_memory_initialize(nullptr);
    if (code != 0) return code;
    uint32_t (*const steps[])() = {plx_thread_initialize, plx_string_initialize,
                                   plx_iostream_initialize, _plx_fs_mgr_init};
    for (int i = 0; i < 4; ++i) {
        code = steps[i]();
        if (code != 0) {
            stop_dependencies(i + 1);
            return code;
        }
    }
    return 0;
}

uint32_t _fs_shutdown_func() {
    _plx_fs_mgr_shutdown();
    stop_dependencies(4);
    return 0;
}

/* The module buffer behind plx_fs_option_get: large enough for any 32-bit decimal. */
char s_fs_option_value[32];

}  // namespace

extern "C" {

PLX_DEFINE_MODULE_LIFECYCLE(fs)

/* The cap as decimal text, in a module buffer that the next call overwrites. */
plx_error_t plx_fs_option_get(const char *key, const char **p_value) {
    if (!key || !p_value || strcmp(key, PLX_FS_OPTION_MAX_HANDLES) != 0)
        return plx::fs::kErrInvalidArg;
    uint32_t value = __atomic_load_n(&g_fs_max_file_handles, __ATOMIC_RELAXED);
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < n; ++i) s_fs_option_value[i] = digits[n - 1 - i];
    s_fs_option_value[n] = '\0';
    *p_value = s_fs_option_value;
    return 0;
}

/* Sets the cap from unsigned decimal text (0 = no cap); it applies from the pool's next
 * decision. Anything but digits, or a number beyond 32 bits, is refused. */
plx_error_t plx_fs_option_set(const char *key, const char *value) {
    if (!key || !value || strcmp(key, PLX_FS_OPTION_MAX_HANDLES) != 0)
        return plx::fs::kErrInvalidArg;
    if (value[0] == '\0') return plx::fs::kErrInvalidArg;
    uint64_t number = 0;
    for (const char *p = value; *p; ++p) {
        if (*p < '0' || *p > '9') return plx::fs::kErrInvalidArg;
        number = number * 10 + static_cast<uint32_t>(*p - '0');
        if (number > 0xFFFFFFFFu) return plx::fs::kErrInvalidArg;
    }
    __atomic_store_n(&g_fs_max_file_handles, static_cast<uint32_t>(number), __ATOMIC_RELAXED);
    return 0;
}

}  // extern "C"
