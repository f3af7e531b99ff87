/* Critical sections, read/write locks, events, threads and per-thread storage.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise. */
#ifndef PLX_THREAD_H
#define PLX_THREAD_H

#include "plx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- thread module ---- */
plx_error_t plx_thread_initialize(void);
plx_error_t plx_thread_shutdown(void);
uint32_t    plx_thread_initchecks(void);
const char *plx_thread_get_version(void);
const char *plx_thread_get_build_date(void);

#define PLX_THREAD_TIMEOUT_INFINITE 0xFFFFFFFFu      /* wait without limit */

/* ---- critical sections (recursive), read/write locks, events ---- */
typedef struct plx_thread_critsec_s plx_thread_critsec_t;
typedef struct plx_thread_rwlock_s  plx_thread_rwlock_t;
typedef struct plx_thread_event_s   plx_thread_event_t;

plx_error_t plx_thread_critsec_create(plx_thread_critsec_t **p_critsec);
plx_error_t plx_thread_critsec_enter(plx_thread_critsec_t *critsec);
plx_error_t plx_thread_critsec_leave(plx_thread_critsec_t *critsec);
plx_error_t plx_thread_critsec_delete(plx_thread_critsec_t *critsec);

plx_error_t plx_thread_rwlock_create(plx_thread_rwlock_t **p_rwlock);
plx_error_t plx_thread_rwlock_readlock(plx_thread_rwlock_t *rwlock);
plx_error_t plx_thread_rwlock_writelock(plx_thread_rwlock_t *rwlock);
plx_error_t plx_thread_rwlock_unlock(plx_thread_rwlock_t *rwlock);
plx_error_t plx_thread_rwlock_delete(plx_thread_rwlock_t *rwlock);

/* manual_reset != 0: stays set until reset, signal wakes all; else a wait consumes it */
plx_error_t plx_thread_event_create(plx_thread_event_t **p_event, uint8_t initial_state,
                                    uint8_t manual_reset);
plx_error_t plx_thread_event_signal(plx_thread_event_t *event);
plx_error_t plx_thread_event_reset(plx_thread_event_t *event);
/* timeout_ms: milliseconds or PLX_THREAD_TIMEOUT_INFINITE; 0x10020084 on timeout */
plx_error_t plx_thread_event_wait(plx_thread_event_t *event, uint32_t timeout_ms);
plx_error_t plx_thread_event_delete(plx_thread_event_t *event);

/* ---- threads ---- */
typedef struct plx_thread_s plx_thread_t;      /* thread record handle; NULL = calling thread where allowed */

typedef uint32_t (*plx_thread_function_fn)(void *argument);   /* result ignored */
typedef void     (*plx_thread_store_delete_fn)(void *value);

/* stack_size 0: platform default; p_handle may be NULL (thread is then detached) */
plx_error_t plx_thread_create(plx_thread_function_fn function, uint32_t stack_size, void *argument,
                              plx_thread_t **p_handle);
/* joins and drops the handle on success (0); on timeout the handle stays valid */
plx_error_t plx_thread_wait_and_cleanup(plx_thread_t *handle, uint32_t timeout_ms);
plx_error_t plx_thread_get_id(plx_thread_t *thread, uintptr_t *p_id);
/* copies the name and its terminator, at most size bytes */
plx_error_t plx_thread_get_name(plx_thread_t *thread, char *buffer, uint32_t size);
plx_error_t plx_thread_set_name(plx_thread_t *thread, const char *name);
/* priority -5 (policy minimum) .. 5 (policy maximum) */
plx_error_t plx_thread_set_priority(plx_thread_t *handle, int32_t priority);
plx_error_t plx_thread_sleep(uint32_t milliseconds);

/* ---- per-thread store (slots are process-wide, 0, 1, 2, ..., never reused) ---- */
plx_error_t plx_thread_store_get_next_slot(int32_t *p_slot);
/* runs the old value's delete_fn first; delete_fn may be NULL */
plx_error_t plx_thread_store_set(plx_thread_t *thread, int32_t slot, void *value,
                                 plx_thread_store_delete_fn delete_fn);
plx_error_t plx_thread_store_get(plx_thread_t *thread, int32_t slot, void **p_value);
plx_error_t plx_thread_store_clear(plx_thread_t *thread, int32_t slot);

/* ---- local store object behind the per-thread store ---- */
typedef struct plx_thread_local_store_s plx_thread_local_store_t;

plx_error_t thread_local_store_create(plx_thread_local_store_t **p_store);
plx_error_t thread_local_store_delete(plx_thread_local_store_t *store);  /* runs delete callbacks */
plx_error_t thread_local_store_data_get(plx_thread_local_store_t *store, int32_t slot,
                                        void **p_value);
plx_error_t thread_local_store_data_set(plx_thread_local_store_t *store, int32_t slot, void *value,
                                        plx_thread_store_delete_fn delete_fn);
plx_error_t thread_local_store_data_clear(plx_thread_local_store_t *store, int32_t slot);
plx_error_t thread_local_store_data_get_next_slot(int32_t *p_slot);

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_THREAD_H */
