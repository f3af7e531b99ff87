/* Private to the thread module: its records, its platform-error table and the pure arithmetic
 * of deadlines and priorities (kept here, inline, so that tests can pin it without a clock). */
#ifndef PLX_THREAD_PRIVATE_H
#define PLX_THREAD_PRIVATE_H

#include <errno.h>
#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include "plx/plx_internal.h"

/* ---- records behind the opaque handles --------------------------------------------------- */

/* A critical section is the recursive platform mutex itself. */
struct plx_thread_critsec_s {
    pthread_mutex_t mutex;
};

/* A read/write lock is the platform lock itself. */
struct plx_thread_rwlock_s {
    pthread_rwlock_t lock;
};

struct plx_thread_event_s {
    uint8_t signaled;      /* non-zero while set; read and written only under `mutex` */
    uint8_t manual_reset;  /* fixed at creation: stays set until reset, a signal wakes all */
    pthread_mutex_t mutex; /* guards the two flags */
    pthread_cond_t cond;   /* waited on with `mutex` held */
};

/* One entry of a local store; an unused entry is all zero. */
struct PlxStoreEntry {
    uint8_t used;                         /* set once a value was stored, cleared by clear */
    void *value;                          /* the caller's value */
    plx_thread_store_delete_fn delete_fn; /* runs on a non-null value when it goes; or null */
};

struct plx_thread_local_store_s {
    PlxStoreEntry *entries; /* `count` zero-filled entries, or null while empty */
    int32_t count;          /* entries allocated, always a multiple of 16 */
};

/* The thread record. Its references: one for the registration under the store key (dropped
 * by the key's destructor or by the module's stop for the calling thread), one while the
 * thread procedure runs, one for a handle given to a creator. The last one frees it. */
struct plx_thread_s {
    uint32_t magic;                  /* kThreadMagic; anything else is a foreign pointer */
    uint32_t refcount;               /* changed only through plx_atomic_inc / plx_atomic_dec */
    pthread_mutex_t lock;            /* guards name, finished and the start handshake */
    pthread_t thread_id;             /* platform id; zero for threads we did not create */
    char *name;                      /* own copy, or null while unnamed */
    uint8_t finished;                /* set under `lock` once the function returned */
    uint8_t join_ready;              /* done_lock and done_cond exist (created threads) */
    plx_thread_function_fn function; /* what a created thread runs */
    void *argument;                  /* its argument */
    plx_thread_local_store_t *store; /* per-thread slots; null until the first set */
    pthread_mutex_t done_lock;       /* guards `done` */
    uint8_t done;                    /* set under done_lock once the function returned */
    pthread_cond_t done_cond;        /* signalled together with `done` */
};

namespace plx {

inline constexpr uint32_t kThreadMagic = 0x33442255u;
inline constexpr int32_t kStoreGrowth = 16; /* store entries are added this many at a time */

inline constexpr uint32_t kThreadInvalid = error_code(kPkgThread, kInvalidArg);
inline constexpr uint32_t kThreadNoMemory = error_code(kPkgThread, kNoMemory);
inline constexpr uint32_t kThreadNoSuchThread = error_code(kPkgThread, kNotFound);
inline constexpr uint32_t kThreadNotInitialized = error_code(kPkgThread, kNotInitialized);
inline constexpr uint32_t kThreadWrongMagic = error_code(kPkgThread, kWrongMagic);
inline constexpr uint32_t kThreadGeneral = error_code(kPkgThread, 0x003E);
inline constexpr uint32_t kThreadTimedOut = status_code(kPkgThread, 0x0084);

/* Platform error numbers by name; the same names give the same codes on every system. */
inline constexpr ErrnoMapping kThreadErrnoTable[] = {
    {EPERM, error_code(kPkgThread, 0x0284)},   {ESRCH, kThreadNoSuchThread},
    {EINTR, error_code(kPkgThread, 0x0283)},   {EAGAIN, error_code(kPkgThread, 0x0282)},
    {ENOMEM, kThreadNoMemory},                 {EFAULT, kThreadInvalid},
    {EBUSY, error_code(kPkgThread, 0x0006)},   {EINVAL, kThreadInvalid},
    {EDEADLK, error_code(kPkgThread, 0x0281)}, {ENOTSUP, kThreadInvalid},
    {ETIMEDOUT, kThreadTimedOut},
};

/* The thread module's code for a platform error number (0 stays 0). */
constexpr uint32_t _thread_map_error(int err) {
    return map_errno(kThreadErrnoTable, err, kThreadGeneral);
}

/* Absolute wall-clock deadline `timeout_ms` after `now`, for a timed condition wait. The
 * sum stays below 2^31 ns before the carry, so it fits a 32-bit tv_nsec. */
constexpr timespec thread_deadline(const timeval &now, uint32_t timeout_ms) {
    timespec d{};
    d.tv_sec = static_cast<time_t>(now.tv_sec + timeout_ms / 1000u);
    int64_t ns = (static_cast<int64_t>(now.tv_usec) + (timeout_ms % 1000u) * 1000) * 1000;
    if (ns > 999999999) {
        d.tv_sec += 1;
        ns -= 1000000000;
    }
    d.tv_nsec = static_cast<long>(ns);
    return d;
}

/* True while `now` lies before `deadline`: a timeout reported earlier is waited again. */
constexpr bool thread_deadline_pending(const timespec &deadline, const timeval &now) {
    if (now.tv_sec != deadline.tv_sec) return now.tv_sec < deadline.tv_sec;
    return static_cast<int64_t>(now.tv_usec) * 1000 < deadline.tv_nsec;
}

/* Maps a priority of -5..5 onto a policy's range [lo, hi], truncating toward zero. */
constexpr int thread_priority_in_range(int lo, int hi, int32_t priority) {
    return lo + ((priority + 5) * (hi - lo)) / 10;
}

/* ---- shared between the thread sources ------------------------------------------------- */

/* The record behind a handle; `*code` gets 0x90020001 for null, 0x90020321 for a bad magic. */
plx_thread_t *thread_checked(plx_thread_t *thread, uint32_t *code);

/* The calling thread's record, or null (with `*code` 0) when it has none. With `create` a
 * record is made and registered when missing; its failure is left in `*code`. */
plx_thread_t *thread_current(bool create, uint32_t *code);

}  // namespace plx

#endif /* PLX_THREAD_PRIVATE_H */
