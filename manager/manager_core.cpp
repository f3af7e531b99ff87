/* Start and stop of the stand-in manager and the manager handle. (Provisional: clients,
 * handles and the interface registry are being filled in.) */
#include "manager_internal.h"

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_started;

uint32_t client_register(uint32_t, const char *, veltra_client_shutdown_fn, void **out) {
    if (!out) return VELTRA_MANAGER_ERR_INVALID_ARG;
    *out = nullptr;
    return 0;
}
uint32_t client_release(void *) { return 0; }
uint32_t interface_get(const char *, uint32_t, uint32_t, const void **) {
    return VELTRA_MANAGER_ERR_NOT_FOUND;
}

const veltra_manager_t g_handle = {mgr::kManagerMagic, mgr::kManagerVersion, client_register,
                                   client_release, nullptr, nullptr, interface_get};

}  // namespace

extern "C" {

uint32_t veltra_manager_start(const veltra_manager_t **p_manager) {
    if (!p_manager) return VELTRA_MANAGER_ERR_INVALID_ARG;
    mgr::MutexGuard guard(&g_lock);
    ++g_started;
    *p_manager = &g_handle;
    return 0;
}

uint32_t veltra_manager_stop(void) {
    mgr::MutexGuard guard(&g_lock);
    if (g_started == 0) return VELTRA_MANAGER_ERR_NOT_STARTED;
    --g_started;
    return 0;
}

const veltra_manager_t *veltra_manager_handle(void) {
    mgr::MutexGuard guard(&g_lock);
    return g_started ? &g_handle : nullptr;
}

uint32_t veltra_manager_handle_count(void) { return 0; }

}  // extern "C"
