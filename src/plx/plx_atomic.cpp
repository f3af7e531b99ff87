/* Atomic counters, pointer cells and spin locks (package 0x1F), and the life-cycle pattern
 * that every support module shares. */
#include "plx/plx_internal.h"

namespace {
constexpr uint32_t kAtomicInvalid = plx::error_code(plx::kPkgAtomic, plx::kInvalidArg);
}

namespace plx {

uint32_t lifecycle_initialize(ModuleLife &life, uint32_t (*start)()) {
    SpinGuard guard(&life.init_lock);
    if (life.initialized == 0 && start() != 0) return kLifecycleStartFailed;
    __atomic_store_n(&life.initialized, life.initialized + 1, __ATOMIC_RELEASE);
    return 0;
}

uint32_t lifecycle_shutdown(ModuleLife &life, uint32_t (*stop)()) {
    SpinGuard guard(&life.init_lock);
    if (life.initialized == 0) return kLifecycleNotStarted;
    if (life.initialized == 1) stop();
    __atomic_store_n(&life.initialized, life.initialized - 1, __ATOMIC_RELEASE);
    return 0;
}

}  // namespace plx

extern "C" {

plx_error_t plx_atomic_initialize(void) { return 0; }
plx_error_t plx_atomic_shutdown(void) { return 0; }

plx_error_t plx_atomic_inc(uint32_t *cell, uint32_t *p_value) {
    if (!cell) return kAtomicInvalid;
    uint32_t v = __atomic_add_fetch(cell, 1u, __ATOMIC_SEQ_CST);
    if (p_value) *p_value = v;
    return 0;
}

plx_error_t plx_atomic_dec(uint32_t *cell, uint32_t *p_value) {
    if (!cell) return kAtomicInvalid;
    uint32_t v = __atomic_sub_fetch(cell, 1u, __ATOMIC_SEQ_CST);
    if (p_value) *p_value = v;
    return 0;
}

plx_error_t plx_atomic_read(uint32_t *cell, uint32_t *p_value) {
    if (!cell) return kAtomicInvalid;
    uint32_t v = __atomic_load_n(cell, __ATOMIC_SEQ_CST);
    if (p_value) *p_value = v;
    return 0;
}

plx_error_t plx_atomic_add(uint32_t *cell, uint32_t amount) {
    if (!cell) return kAtomicInvalid;
    __atomic_fetch_add(cell, amount, __ATOMIC_SEQ_CST);
    return 0;
}

plx_error_t plx_atomic_set(uint32_t *cell, uint32_t bits) {
    if (!cell) return kAtomicInvalid;
    __atomic_fetch_or(cell, bits, __ATOMIC_SEQ_CST);
    return 0;
}

plx_error_t plx_atomicPtr_read(void **cell, void **p_value) {
    if (!cell) return kAtomicInvalid;
    if (p_value) *p_value = __atomic_load_n(cell, __ATOMIC_ACQUIRE);
    return 0;
}

/* A true atomic exchange: stronger than the load-then-store the contract allows. */
plx_error_t plx_atomicPtr_exchange(void **cell, void *new_value, void **p_old_value) {
    if (!cell) return kAtomicInvalid;
    void *old = __atomic_exchange_n(cell, new_value, __ATOMIC_ACQ_REL);
    if (p_old_value) *p_old_value = old;
    return 0;
}

/* Spin locks report no platform result: the contract is 0 whenever the lock is not null. */
plx_error_t plx_spinlock_init(plx_spinlock_t *lock) {
    if (!lock) return kAtomicInvalid;
    pthread_mutex_init(lock, nullptr);
    return 0;
}

plx_error_t plx_spinlock_lock(plx_spinlock_t *lock) {
    if (!lock) return kAtomicInvalid;
    pthread_mutex_lock(lock);
    return 0;
}

plx_error_t plx_spinlock_unlock(plx_spinlock_t *lock) {
    if (!lock) return kAtomicInvalid;
    pthread_mutex_unlock(lock);
    return 0;
}

plx_error_t plx_spinlock_delete(plx_spinlock_t *lock) {
    if (lock) pthread_mutex_destroy(lock);
    return 0;
}

}  // extern "C"
