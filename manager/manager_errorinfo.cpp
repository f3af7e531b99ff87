/* Error information (kept per thread), the log variables and the shared per-thread store key. */
#include <string.h>

#include "manager_internal.h"

extern "C" {
plx_log_callback_fn g_plx_log_callback;
uint32_t g_plx_log_enabled_pkgs[256];
uintptr_t g_plx_thread_store_key;
}

namespace {

thread_local veltra_manager_errorinfo_t t_errorinfo;

void copy_text(char *dest, size_t size, const char *src) {
    if (!src) {
        dest[0] = '\0';
        return;
    }
    size_t n = strlen(src);
    if (n >= size) n = size - 1;
    memcpy(dest, src, n);
    dest[n] = '\0';
}

}  // namespace

extern "C" {

uint32_t manager_errorinfo_set(uint32_t error_code, uint32_t source_code, const char *function_name,
                               const char *message) {
    veltra_manager_errorinfo_t &e = t_errorinfo;
    e.error_code = error_code;
    e.source_code = source_code;
    copy_text(e.function_name, sizeof e.function_name, function_name);
    copy_text(e.message, sizeof e.message, message);
    e.has_message = message ? 1 : 0;
    e.sequence++;
    return 0;
}

void veltra_manager_errorinfo_get(veltra_manager_errorinfo_t *p_info) {
    if (p_info) *p_info = t_errorinfo;
}

void veltra_manager_errorinfo_clear(void) { memset(&t_errorinfo, 0, sizeof t_errorinfo); }

void veltra_manager_log_install(plx_log_callback_fn callback, uint32_t mask) {
    for (uint32_t &m : g_plx_log_enabled_pkgs) __atomic_store_n(&m, mask, __ATOMIC_RELAXED);
    __atomic_store_n(&g_plx_log_callback, callback, __ATOMIC_RELEASE);
}

void veltra_manager_log_set_mask(uint32_t package, uint32_t mask) {
    __atomic_store_n(&g_plx_log_enabled_pkgs[package & 0xFFu], mask, __ATOMIC_RELAXED);
}

}  // extern "C"
