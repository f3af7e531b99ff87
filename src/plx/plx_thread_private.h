/* Private to the thread module: its records, its platform-error table, the pure arithmetic of
 * deadlines and priorities (kept here, inline, so that tests can pin it without a clock), and
 * the critical section's enter and leave, inline for the file pool's hot path. */
#ifndef PLX_THREAD_PRIVATE_H
#define PLX_THREAD_PRIVATE_H

#include <errno.h>
#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include "plx/plx_internal.h"

/* ---- records behind the opaque handles --------------------------------------------------- */

/* Linux gets its own recursive lock: a futex word, the holder's thread pointer and an entry
 * count that only the holder touches. Entering uncontended is one compare-and-swap, leaving
 * one exchange (neither while the process has a single thread), and the kernel is called only
 * when a thread has to sleep. Every other system uses the platform's recursive mutex (a build
 * may ask for it with -DPLX_CRITSEC_FUTEX=0). */
#ifndef PLX_CRITSEC_FUTEX
#if defined(__linux__) && defined(__has_builtin)
#if __has_builtin(__builtin_thread_pointer)
#define PLX_CRITSEC_FUTEX 1
#endif
#endif
#endif
#ifndef PLX_CRITSEC_FUTEX
#define PLX_CRITSEC_FUTEX 0
#endif

/* The C library's "one thread only" flag (glibc 2.32 and later). */
#if PLX_CRITSEC_FUTEX && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
#include <sys/single_threaded.h>
#define PLX_CRITSEC_SINGLE_THREADED_FLAG 1
#else
#define PLX_CRITSEC_SINGLE_THREADED_FLAG 0
#endif

#if PLX_CRITSEC_FUTEX
struct PlxCritsecLock {
    uint32_t state;  /* futex word: 0 free, 1 held, 2 held and a thread may sleep on it */
    uint32_t depth;  /* entries not yet left; read and written by the holder only */
    uintptr_t owner; /* the holder's thread pointer, 0 while free; accessed atomically */
};

struct plx_thread_critsec_s {
    PlxCritsecLock lock;
    /* The record keeps a platform mutex's size, so its host block is the same on every build. */
    uint8_t reserved[sizeof(pthread_mutex_t) - sizeof(PlxCritsecLock)];
};
#else
/* A critical section is the recursive platform mutex itself. */
struct plx_thread_critsec_s {
    pthread_mutex_t mutex;
};
#endif

/* A read/write lock is the platform lock itself. */
struct plx_thread_rwlock_s {
    pthread_rwlock_t lock;
};

/* Events follow the critical section: a futex word where the section is one, the platform's
 * mutex and condition variable elsewhere (-DPLX_EVENT_FUTEX=0 asks for those). */
#ifndef PLX_EVENT_FUTEX
#define PLX_EVENT_FUTEX PLX_CRITSEC_FUTEX
#endif

#if PLX_EVENT_FUTEX
/* Signalling and waiting touch one 64-bit word; the kernel is called only to sleep, and to wake
 * a thread that sleeps (or is about to). The low half is the futex word: bit 0 set while
 * signalled, bits 1-31 count signals. The high half counts the threads between announcing a
 * futex wait and its end, so that a signal learns from its own exchange whether to wake
 * anyone and never reads the event after setting it (a woken waiter may delete it at once). */
struct plx_thread_event_s {
    alignas(8) uint64_t word;
    uint8_t manual_reset; /* fixed at creation: stays set until reset, a signal wakes all */
};
#else
struct plx_thread_event_s {
    uint8_t signaled;      /* non-zero while set; read and written only under `mutex` */
    uint8_t manual_reset;  /* fixed at creation: stays set until reset, a signal wakes all */
    pthread_mutex_t mutex; /* guards the two flags */
    pthread_cond_t cond;   /* waited on with `mutex` held */
};
#endif

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
inline constexpr uint32_t kThreadBusy = error_code(kPkgThread, 0x0006);
inline constexpr uint32_t kThreadAgain = error_code(kPkgThread, 0x0282);
inline constexpr uint32_t kThreadNotOwner = error_code(kPkgThread, 0x0284);

/* Platform error numbers by name; the same names give the same codes on every system. */
inline constexpr ErrnoMapping kThreadErrnoTable[] = {
    {EPERM, kThreadNotOwner},                  {ESRCH, kThreadNoSuchThread},
    {EINTR, error_code(kPkgThread, 0x0283)},   {EAGAIN, kThreadAgain},
    {ENOMEM, kThreadNoMemory},                 {EFAULT, kThreadInvalid},
    {EBUSY, kThreadBusy},                      {EINVAL, kThreadInvalid},
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

/* ---- critical sections, inline for the support layer's hot paths ----------------------- */

/* The module's code for a failed platform call; out of line, so that the inline callers
 * cost one test on success. */
[[gnu::cold]] uint32_t thread_failure(int rc);

/* The module's code for a platform result. */
inline uint32_t thread_result(int rc) {
    return __builtin_expect(rc == 0, 1) ? 0 : thread_failure(rc);
}

#if PLX_CRITSEC_FUTEX
/* Sleeps until the section can be taken, then takes it for `self`; 0. Out of line and
 * reached by a tail call, so the fast paths need no stack frame. */
[[gnu::cold]] uint32_t critsec_enter_contended(PlxCritsecLock *l, uintptr_t self);
/* Wakes one thread sleeping on the lock word; 0. */
[[gnu::cold]] uint32_t critsec_wake(uint32_t *state);

/* The calling thread's thread pointer: unique among live threads and read without a call. */
inline uintptr_t critsec_self() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }

/* True while the process has one thread. The C library clears the flag before it starts a
 * second thread, and the new thread starts after that store, so no thread can see it set while
 * another one runs; the C library's own mutexes skip their atomic operations on the same
 * test. */
inline bool critsec_alone() {
#if PLX_CRITSEC_SINGLE_THREADED_FLAG
    return __atomic_load_n(&__libc_single_threaded, __ATOMIC_RELAXED) != 0;
#else
    return false;
#endif
}

/* What plx_thread_critsec_enter does for a non-null section. */
inline uint32_t critsec_enter(plx_thread_critsec_t *cs) {
    PlxCritsecLock &l = cs->lock;
    const uintptr_t self = critsec_self();
    /* Only this thread ever stores its own pointer here, so seeing it means holding it. */
    if (__atomic_load_n(&l.owner, __ATOMIC_RELAXED) == self) {
        if (__builtin_expect(l.depth == UINT32_MAX, 0)) return kThreadAgain;
        ++l.depth;
        return 0;
    }
    bool taken;
    if (critsec_alone()) {
        taken = __atomic_load_n(&l.state, __ATOMIC_RELAXED) == 0;
        if (taken) __atomic_store_n(&l.state, 1u, __ATOMIC_RELAXED);
    } else {
        uint32_t expected = 0;
        taken = __atomic_compare_exchange_n(&l.state, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED);
    }
    if (!taken) return critsec_enter_contended(&l, self);
    __atomic_store_n(&l.owner, self, __ATOMIC_RELAXED);
    l.depth = 1;
    return 0;
}

/* What plx_thread_critsec_leave does for a non-null section. */
inline uint32_t critsec_leave(plx_thread_critsec_t *cs) {
    PlxCritsecLock &l = cs->lock;
    if (__atomic_load_n(&l.owner, __ATOMIC_RELAXED) != critsec_self()) return kThreadNotOwner;
    if (--l.depth != 0) return 0;
    __atomic_store_n(&l.owner, uintptr_t{0}, __ATOMIC_RELAXED);
    uint32_t was;
    if (critsec_alone()) {
        was = __atomic_load_n(&l.state, __ATOMIC_RELAXED);
        __atomic_store_n(&l.state, 0u, __ATOMIC_RELAXED);
    } else {
        was = __atomic_exchange_n(&l.state, 0u, __ATOMIC_RELEASE);
    }
    if (was == 2) return critsec_wake(&l.state);
    return 0;
}
#else
inline uint32_t critsec_enter(plx_thread_critsec_t *cs) {
    return thread_result(pthread_mutex_lock(&cs->mutex));
}
inline uint32_t critsec_leave(plx_thread_critsec_t *cs) {
    return thread_result(pthread_mutex_unlock(&cs->mutex));
}
#endif

/* Holds a critical section for its scope, as plx::CritsecGuard does, without the exported
 * entry points in between; a null section makes it a no-op. */
using CritsecHold = ScopedCritsec<critsec_enter, critsec_leave>;

/* ---- shared between the thread sources ------------------------------------------------- */

/* The record behind a handle; `*code` gets 0x90020001 for null, 0x90020321 for a bad magic. */
plx_thread_t *thread_checked(plx_thread_t *thread, uint32_t *code);

/* The calling thread's record, or null (with `*code` 0) when it has none. With `create` a
 * record is made and registered when missing; its failure is left in `*code`. */
plx_thread_t *thread_current(bool create, uint32_t *code);

}  // namespace plx

#endif /* PLX_THREAD_PRIVATE_H */
