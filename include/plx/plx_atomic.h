/* Atomic counters, spin locks and the pseudo-random generator.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise.
 * Counters wrap modulo 2^32 and every operation on a cell is atomic. A NULL cell or
 * lock is 0x901F0001 (plx_spinlock_delete excepted); nothing else fails. */
#ifndef PLX_ATOMIC_H
#define PLX_ATOMIC_H

#include "plx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- atomic module: no use count; both calls do nothing and return 0 ---- */
plx_error_t plx_atomic_initialize(void);
plx_error_t plx_atomic_shutdown(void);

/* Atomic cell: one 32-bit word. p_value may be NULL (the operation still happens). */
plx_error_t plx_atomic_inc(uint32_t *cell, uint32_t *p_value);     /* p_value <- old + 1 */
plx_error_t plx_atomic_dec(uint32_t *cell, uint32_t *p_value);     /* p_value <- old - 1 */
plx_error_t plx_atomic_read(uint32_t *cell, uint32_t *p_value);
plx_error_t plx_atomic_add(uint32_t *cell, uint32_t amount);
plx_error_t plx_atomic_set(uint32_t *cell, uint32_t bits);         /* ORs bits into the cell */
plx_error_t plx_atomicPtr_read(void **cell, void **p_value);       /* p_value NULL: nothing read */
plx_error_t plx_atomicPtr_exchange(void **cell, void *new_value, void **p_old_value);

/* ---- spin locks: the platform mutex (default attributes, not recursive) ---- */
typedef pthread_mutex_t plx_spinlock_t;
#define PLX_SPINLOCK_INITIALIZER PTHREAD_MUTEX_INITIALIZER

plx_error_t plx_spinlock_init(plx_spinlock_t *lock);
plx_error_t plx_spinlock_lock(plx_spinlock_t *lock);
plx_error_t plx_spinlock_unlock(plx_spinlock_t *lock);
plx_error_t plx_spinlock_delete(plx_spinlock_t *lock);             /* NULL lock: returns 0 */

/* ---- random module ---- */
plx_error_t plx_random_initialize(void);      /* 0, or plain 10 when start-up fails */
plx_error_t plx_random_shutdown(void);        /* 0, or plain 7 when not initialized */
uint32_t    plx_random_initchecks(void);      /* use count; 0 = not initialized */
const char *plx_random_get_version(void);     /* static "3.05.4.1615" */
const char *plx_random_get_build_date(void);  /* static "2014-01-16 22:00-0800" */

uint32_t plx_random_rand(uint32_t *seed);     /* seed NULL: shared state; result 0..32767 */

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_ATOMIC_H */
