/* The thread module (package 0x02): critical sections, read/write locks, events, threads with
 * reference-counted records, and the module's life cycle around the shared store key. */
#include "plx/plx_thread_private.h"

#include <sched.h>
#include <unistd.h>
#if PLX_CRITSEC_FUTEX || PLX_EVENT_FUTEX
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include <type_traits>

using plx::_thread_map_error;
using plx::kThreadGeneral;
using plx::kThreadInvalid;
using plx::kThreadMagic;
using plx::kThreadNoMemory;
using plx::kThreadNoSuchThread;
using plx::kThreadNotInitialized;
using plx::thread_result;

namespace {

/* ---- helpers -------------------------------------------------------------------------- */

/* Holds a platform mutex for its scope when the lock succeeded; `result()` is the lock's own
 * platform result, which callers report. */
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t *m) : m_(m), rc_(pthread_mutex_lock(m)) {}
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;
    ~MutexLock() {
        if (rc_ == 0) pthread_mutex_unlock(m_);
    }
    int result() const { return rc_; }

private:
    pthread_mutex_t *m_;
    int rc_;
};

/* Allocates a zeroed object, runs `init` on it (a platform result; it undoes its own partial
 * work) and hands it out, or frees it and reports why. */
template <class T, class Init>
uint32_t create_object(T **p_out, Init init) {
    if (!p_out) return kThreadInvalid;
    plx::HostPtr<T> obj(plx::alloc_record<T>());
    if (!obj) return kThreadNoMemory;
    if (int rc = init(obj.get())) return thread_result(rc);
    *p_out = obj.release();
    return 0;
}

timespec deadline_from_now(uint32_t timeout_ms) {
    timeval now;
    gettimeofday(&now, nullptr);
    return plx::thread_deadline(now, timeout_ms);
}

/* Waits on `cond` (with `mutex` held) until `*flag` is set, the deadline (null: none) has
 * passed or a wait fails; returns the last wait's platform result. A wake-up that leaves the
 * flag clear waits again unless `stop_on_wakeup`. The deadline is wall-clock time, which may
 * be stepped: a timeout reported before the clock reaches it is not believed. */
int wait_for_flag(pthread_cond_t *cond, pthread_mutex_t *mutex, const uint8_t *flag,
                  const timespec *deadline, bool stop_on_wakeup) {
    int rc = 0;
    while (!*flag) {
        if (!deadline) {
            rc = pthread_cond_wait(cond, mutex);
        } else {
            rc = pthread_cond_timedwait(cond, mutex, deadline);
            if (rc == ETIMEDOUT && !*flag) {
                timeval now;
                gettimeofday(&now, nullptr);
                if (plx::thread_deadline_pending(*deadline, now)) continue;
                break;
            }
        }
        if (rc != 0 || stop_on_wakeup) break;
    }
    return rc;
}

/* A platform thread id as the interface carries it, whether pthread_t is a number or a
 * pointer on this system. */
template <class T>  /* a template, so that only the branch that fits T is compiled */
uintptr_t id_of(T t) {
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<uintptr_t>(t);
    else
        return static_cast<uintptr_t>(t);
}

/* ---- the shared store key ------------------------------------------------------------- */

/* Set while the key in g_plx_thread_store_key is ours to delete; changed only under the
 * module's init lock. */
uint8_t sb_my_thread_store_key;

/* The process-wide key, false while none exists (the shared variable holds key + 1). */
bool store_key(pthread_key_t *key) {
    uintptr_t v = __atomic_load_n(&g_plx_thread_store_key, __ATOMIC_ACQUIRE);
    if (v == 0) return false;
    *key = static_cast<pthread_key_t>(v - 1);
    return true;
}

/* ---- thread records ------------------------------------------------------------------- */

/* Drops one reference; the last one deletes the store (running its callbacks) and frees
 * everything the record owns. */
void _free_thread_t(plx_thread_t *t) {
    uint32_t left = 1;
    plx_atomic_dec(&t->refcount, &left);
    if (left != 0) return;
    plx_thread_local_store_t *store = t->store;
    t->store = nullptr;
    thread_local_store_delete(store);
    plx_memory_free(t->name);
    pthread_mutex_destroy(&t->lock);
    if (t->join_ready) {
        pthread_cond_destroy(&t->done_cond);
        pthread_mutex_destroy(&t->done_lock);
    }
    t->magic = 0;
    plx_memory_free(t);
}

/* The key's destructor: an exiting thread gives up its registration. The key is shared with
 * the host, so anything that is not one of our records is left alone. */
void _free_thread_specific(void *value) {
    auto *t = static_cast<plx_thread_t *>(value);
    if (t && t->magic == kThreadMagic) _free_thread_t(t);
}

/* Makes a record for the calling thread, which the module did not create, and registers it
 * under the key; the registration holds its one reference. */
plx_thread_t *_thread_add_specific(pthread_key_t key, uint32_t *code) {
    plx::HostPtr<plx_thread_t> t(plx::alloc_record<plx_thread_t>());
    if (!t) {
        *code = kThreadNoMemory;
        return nullptr;
    }
    t->magic = kThreadMagic;
    t->refcount = 1;
    int rc = pthread_mutex_init(&t->lock, nullptr);
    if (rc == 0) {
        rc = pthread_setspecific(key, t.get());
        if (rc == 0) return t.release();
        pthread_mutex_destroy(&t->lock);
    }
    *code = thread_result(rc);
    return nullptr;
}

/* What every created thread runs. */
void *_plx_thread_proc(void *arg) {
    auto *t = static_cast<plx_thread_t *>(arg);
    /* The creator holds `lock` until it has stored the handle or detached us. */
    pthread_mutex_lock(&t->lock);
    pthread_mutex_unlock(&t->lock);

    /* The record's first reference belongs to the registration. Should registering fail, the
     * key's destructor never runs, and the reference dropped below is that one instead. */
    pthread_key_t key;
    if (store_key(&key) && pthread_setspecific(key, t) == 0) plx_atomic_inc(&t->refcount, nullptr);

    t->function(t->argument);

    pthread_mutex_lock(&t->lock);
    t->finished = 1;
    pthread_mutex_unlock(&t->lock);
    pthread_mutex_lock(&t->done_lock);
    t->done = 1;
    pthread_cond_broadcast(&t->done_cond);
    pthread_mutex_unlock(&t->done_lock);

    _free_thread_t(t);
    return nullptr;
}

/* ---- life cycle ----------------------------------------------------------------------- */

uint32_t _thread_init_func() {
    uint32_t code = plx_memory_initialize(nullptr);
    if (code != 0) return code;
    if (__atomic_load_n(&g_plx_thread_store_key, __ATOMIC_ACQUIRE) == 0) {
        pthread_key_t key;
        int rc = pthread_key_create(&key, _free_thread_specific);
        if (rc != 0) {
            plx_memory_shutdown();
            return thread_result(rc);
        }
        __atomic_store_n(&g_plx_thread_store_key, static_cast<uintptr_t>(key) + 1, __ATOMIC_RELEASE);
        sb_my_thread_store_key = 1;
    }
    return 0;
}

uint32_t _thread_shutdown_func() {
    pthread_key_t key;
    if (store_key(&key)) {
        void *mine = pthread_getspecific(key);
        if (mine) {
            pthread_setspecific(key, nullptr);
            _free_thread_specific(mine);
        }
        /* Threads still running keep records that their destructor can no longer reach: the
         * module must outlive the threads that use it. */
        if (sb_my_thread_store_key) {
            pthread_key_delete(key);
            __atomic_store_n(&g_plx_thread_store_key, uintptr_t{0}, __ATOMIC_RELEASE);
            sb_my_thread_store_key = 0;
        }
    }
    plx_memory_shutdown();
    return 0;
}

}  // namespace

namespace plx {

uint32_t thread_failure(int rc) { return _thread_map_error(rc); }

#if PLX_CRITSEC_FUTEX
/* The classic three-state futex lock: a waiter marks the word contended (2) before it sleeps,
 * so that the holder's leave knows to wake someone. Whoever takes the word by the exchange
 * keeps the mark, which costs at most one needless wake. A section still held by a thread that
 * has gone away blocks for good, as a platform mutex would. errno is kept: callers may carry
 * a platform error of their own across a section. */
uint32_t critsec_enter_contended(PlxCritsecLock *l, uintptr_t self) {
    const int saved = errno;
    while (__atomic_exchange_n(&l->state, 2u, __ATOMIC_ACQUIRE) != 0)
        syscall(SYS_futex, &l->state, FUTEX_WAIT_PRIVATE, 2u, nullptr, nullptr, 0);
    errno = saved;
    __atomic_store_n(&l->owner, self, __ATOMIC_RELAXED);
    l->depth = 1;
    return 0;
}

uint32_t critsec_wake(uint32_t *state) {
    const int saved = errno;
    syscall(SYS_futex, state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    errno = saved;
    return 0;
}
#endif

plx_thread_t *thread_checked(plx_thread_t *thread, uint32_t *code) {
    if (!thread) {
        *code = kThreadInvalid;
        return nullptr;
    }
    if (thread->magic != kThreadMagic) {
        *code = kThreadWrongMagic;
        return nullptr;
    }
    *code = 0;
    return thread;
}

plx_thread_t *thread_current(bool create, uint32_t *code) {
    *code = 0;
    pthread_key_t key;
    if (!store_key(&key)) {
        if (create) *code = kThreadNotInitialized;
        return nullptr;
    }
    auto *t = static_cast<plx_thread_t *>(pthread_getspecific(key));
    if (t) return thread_checked(t, code);
    return create ? _thread_add_specific(key, code) : nullptr;
}

}  // namespace plx

extern "C" {

PLX_DEFINE_MODULE_LIFECYCLE(thread)

/* ---- critical sections ------------------------------------------------------------------ */

/* Creates a recursive critical section. 0x90020001 null out, 0x90020002 no memory, or the
 * platform's mapped failure (nothing is left allocated then). */
plx_error_t plx_thread_critsec_create(plx_thread_critsec_t **p_critsec) {
    return create_object(p_critsec, [](plx_thread_critsec_t *cs) {
#if PLX_CRITSEC_FUTEX
        (void)cs; /* the zero-filled record is a free section */
        return 0;
#else
        pthread_mutexattr_t attr;
        int rc = pthread_mutexattr_init(&attr);
        if (rc != 0) return rc;
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0) rc = pthread_mutex_init(&cs->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        return rc;
#endif
    });
}

/* Enters (blocking); the holder may enter again (0x90020282 once the count would overflow). */
plx_error_t plx_thread_critsec_enter(plx_thread_critsec_t *critsec) {
    if (!critsec) return kThreadInvalid;
    return plx::critsec_enter(critsec);
}

/* Leaves once; leaving a section the caller does not hold gives 0x90020284. */
plx_error_t plx_thread_critsec_leave(plx_thread_critsec_t *critsec) {
    if (!critsec) return kThreadInvalid;
    return plx::critsec_leave(critsec);
}

/* Destroys and frees the section (always); 0x90020006 tells that it was still held. */
plx_error_t plx_thread_critsec_delete(plx_thread_critsec_t *critsec) {
    if (!critsec) return 0;
#if PLX_CRITSEC_FUTEX
    const bool held = __atomic_load_n(&critsec->lock.state, __ATOMIC_RELAXED) != 0;
    plx_memory_free(critsec);
    return held ? plx::kThreadBusy : 0;
#else
    int rc = pthread_mutex_destroy(&critsec->mutex);
    plx_memory_free(critsec);
    return thread_result(rc);
#endif
}

/* ---- read/write locks ------------------------------------------------------------------- */

plx_error_t plx_thread_rwlock_create(plx_thread_rwlock_t **p_rwlock) {
    return create_object(p_rwlock,
                         [](plx_thread_rwlock_t *rw) { return pthread_rwlock_init(&rw->lock, nullptr); });
}

plx_error_t plx_thread_rwlock_readlock(plx_thread_rwlock_t *rwlock) {
    if (!rwlock) return kThreadInvalid;
    return thread_result(pthread_rwlock_rdlock(&rwlock->lock));
}

plx_error_t plx_thread_rwlock_writelock(plx_thread_rwlock_t *rwlock) {
    if (!rwlock) return kThreadInvalid;
    return thread_result(pthread_rwlock_wrlock(&rwlock->lock));
}

plx_error_t plx_thread_rwlock_unlock(plx_thread_rwlock_t *rwlock) {
    if (!rwlock) return kThreadInvalid;
    return thread_result(pthread_rwlock_unlock(&rwlock->lock));
}

/* Destroys and frees; always 0. */
plx_error_t plx_thread_rwlock_delete(plx_thread_rwlock_t *rwlock) {
    if (rwlock) {
        pthread_rwlock_destroy(&rwlock->lock);
        plx_memory_free(rwlock);
    }
    return 0;
}

/* ---- events ----------------------------------------------------------------------------- */

#if PLX_EVENT_FUTEX
namespace {

constexpr uint32_t kEventSet = 1u;               /* bit 0 of the low half */
constexpr uint32_t kEventTick = 2u;              /* what each signal adds to the count above it */
constexpr uint64_t kEventSleeper = 1ull << 32;   /* one sleeper in the high half */

inline uint32_t event_low(uint64_t word) { return static_cast<uint32_t>(word); }

/* The low half of the word, which the kernel compares and sleeps on. */
inline uint32_t *event_futex(plx_thread_event_t *ev) {
    auto *halves = reinterpret_cast<uint32_t *>(&ev->word);
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? halves : halves + 1;
}

/* Sleeps while the low half still holds `seen`, until woken or the wall-clock `deadline`
 * (null: none) passes; 0 or the platform error. errno is kept. */
int event_sleep(plx_thread_event_t *ev, uint32_t seen, const timespec *deadline) {
    const int saved = errno;
    long rc = deadline ? syscall(SYS_futex, event_futex(ev),
                                 FUTEX_WAIT_BITSET_PRIVATE | FUTEX_CLOCK_REALTIME, seen, deadline,
                                 nullptr, FUTEX_BITSET_MATCH_ANY)
                       : syscall(SYS_futex, event_futex(ev), FUTEX_WAIT_PRIVATE, seen, nullptr,
                                 nullptr, 0);
    const int err = rc == 0 ? 0 : errno;
    errno = saved;
    return err;
}

}  // namespace
#endif

/* Creates an event, set when `initial_state` is non-zero; `manual_reset` non-zero keeps it set
 * until reset, zero lets each successful wait consume it. */
plx_error_t plx_thread_event_create(plx_thread_event_t **p_event, uint8_t initial_state,
                                    uint8_t manual_reset) {
    return create_object(p_event, [=](plx_thread_event_t *ev) {
#if PLX_EVENT_FUTEX
        ev->word = initial_state ? kEventSet : 0u;
#else
        int rc = pthread_mutex_init(&ev->mutex, nullptr);
        if (rc != 0) return rc;
        rc = pthread_cond_init(&ev->cond, nullptr);
        if (rc != 0) {
            pthread_mutex_destroy(&ev->mutex);
            return rc;
        }
        ev->signaled = initial_state ? 1 : 0;
#endif
        ev->manual_reset = manual_reset ? 1 : 0;
        return 0;
    });
}

#if PLX_EVENT_FUTEX
/* Sets the event and wakes one sleeper (auto-reset) or all (manual-reset). Every signal moves
 * the count, so a waiter about to sleep on the old low half returns at once instead. The
 * exchange is the signal's last access to the event: a waiter counts itself in the same word,
 * so either the exchange sees it or it sees the event set. The wake call may then reach a
 * word already freed, which the kernel tolerates. */
plx_error_t plx_thread_event_signal(plx_thread_event_t *event) {
    if (!event) return kThreadInvalid;
    const int wake = event->manual_reset ? INT_MAX : 1;
    uint32_t *futex = event_futex(event);
    uint64_t w = __atomic_load_n(&event->word, __ATOMIC_RELAXED);
    uint64_t next;
    do {
        const uint32_t low = (event_low(w) | kEventSet) + kEventTick; /* the count wraps */
        next = (w & ~uint64_t{0xFFFFFFFFu}) | low;
    } while (!__atomic_compare_exchange_n(&event->word, &w, next, true, __ATOMIC_ACQ_REL,
                                          __ATOMIC_RELAXED));
    if (w >= kEventSleeper) {
        const int saved = errno;
        syscall(SYS_futex, futex, FUTEX_WAKE_PRIVATE, wake, nullptr, nullptr, 0);
        errno = saved;
    }
    return 0;
}

/* Clears the event; 0. */
plx_error_t plx_thread_event_reset(plx_thread_event_t *event) {
    if (!event) return kThreadInvalid;
    __atomic_fetch_and(&event->word, ~uint64_t{kEventSet}, __ATOMIC_RELEASE);
    return 0;
}

/* Waits until the event is set or `timeout_ms` has passed (0x10020084). An auto-reset event
 * is cleared by the waiter that sees it set. A manual-reset event that was signalled and reset
 * again before this waiter ran gives 0 although it is clear: the signal count moved. A wake-up
 * that finds an auto-reset event taken by another waiter sleeps again. The deadline is
 * wall-clock time, which may be stepped: a timeout reported before the clock reaches it is
 * not believed. */
plx_error_t plx_thread_event_wait(plx_thread_event_t *event, uint32_t timeout_ms) {
    if (!event) return kThreadInvalid;
    const bool manual = event->manual_reset != 0;
    uint64_t w = __atomic_load_n(&event->word, __ATOMIC_ACQUIRE);
    const uint32_t start = event_low(w);
    timespec deadline{};
    const bool limited = timeout_ms != PLX_THREAD_TIMEOUT_INFINITE;
    bool expired = timeout_ms == 0;
    if (limited && !expired) deadline = deadline_from_now(timeout_ms);
    for (;;) {
        const uint32_t v = event_low(w);
        if (v & kEventSet) {
            if (manual) return 0;
            if (__atomic_compare_exchange_n(&event->word, &w, w & ~uint64_t{kEventSet}, true,
                                            __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE))
                return 0;
            continue;
        }
        if (manual && v != start) return 0;
        if (expired) return plx::kThreadTimedOut;
        w = __atomic_add_fetch(&event->word, kEventSleeper, __ATOMIC_ACQ_REL);
        int err = 0;
        if (event_low(w) == v) err = event_sleep(event, v, limited ? &deadline : nullptr);
        w = __atomic_sub_fetch(&event->word, kEventSleeper, __ATOMIC_ACQUIRE);
        if (err == ETIMEDOUT) {
            timeval now;
            gettimeofday(&now, nullptr);
            expired = !plx::thread_deadline_pending(deadline, now);
        } else if (err != 0 && err != EAGAIN && err != EINTR) {
            return thread_result(err);
        }
    }
}

/* Frees; always 0. No thread may still wait on it. */
plx_error_t plx_thread_event_delete(plx_thread_event_t *event) {
    plx_memory_free(event);
    return 0;
}
#else
/* Sets the event and wakes one waiter (auto-reset) or all (manual-reset). */
plx_error_t plx_thread_event_signal(plx_thread_event_t *event) {
    if (!event) return kThreadInvalid;
    MutexLock held(&event->mutex);
    if (held.result() != 0) return thread_result(held.result());
    event->signaled = 1;
    int rc = event->manual_reset ? pthread_cond_broadcast(&event->cond)
                                 : pthread_cond_signal(&event->cond);
    return thread_result(rc);
}

/* Clears the event; 0 even when its lock could not be taken (the event is then unchanged). */
plx_error_t plx_thread_event_reset(plx_thread_event_t *event) {
    if (!event) return kThreadInvalid;
    MutexLock held(&event->mutex);
    if (held.result() == 0) event->signaled = 0;
    return 0;
}

/* Waits until the event is set or `timeout_ms` has passed (0x10020084). An auto-reset event
 * is cleared by the waiter that sees it set. A manual-reset event that was signalled and reset
 * again before this waiter ran gives 0 although it is clear. */
plx_error_t plx_thread_event_wait(plx_thread_event_t *event, uint32_t timeout_ms) {
    if (!event) return kThreadInvalid;
    MutexLock held(&event->mutex);
    if (held.result() != 0) return thread_result(held.result());
    timespec deadline;
    const bool limited = timeout_ms != PLX_THREAD_TIMEOUT_INFINITE;
    if (limited) deadline = deadline_from_now(timeout_ms);
    int rc = wait_for_flag(&event->cond, &event->mutex, &event->signaled,
                           limited ? &deadline : nullptr, event->manual_reset != 0);
    if (event->signaled) rc = 0;
    if (!event->manual_reset) event->signaled = 0;
    return thread_result(rc);
}

/* Destroys and frees; always 0. No thread may still wait on it. */
plx_error_t plx_thread_event_delete(plx_thread_event_t *event) {
    if (event) {
        pthread_cond_destroy(&event->cond);
        pthread_mutex_destroy(&event->mutex);
        plx_memory_free(event);
    }
    return 0;
}
#endif

/* ---- threads ---------------------------------------------------------------------------- */

/* Starts `function(argument)` on a new thread with `stack_size` bytes of stack (0: the
 * platform's default). With `p_handle` the caller gets a handle that it must give back
 * through plx_thread_wait_and_cleanup; without one the thread is detached. */
plx_error_t plx_thread_create(plx_thread_function_fn function, uint32_t stack_size, void *argument,
                              plx_thread_t **p_handle) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    if (!function) return kThreadInvalid;
    plx_thread_t *t = plx::alloc_record<plx_thread_t>();
    if (!t) return kThreadNoMemory;
    t->magic = kThreadMagic;
    t->refcount = 1;
    t->function = function;
    t->argument = argument;
    int rc = pthread_mutex_init(&t->lock, nullptr);
    if (rc != 0) {
        plx_memory_free(t);
        return thread_result(rc);
    }
    /* From here on, dropping the one reference undoes whatever exists. */
    rc = pthread_mutex_init(&t->done_lock, nullptr);
    if (rc == 0) {
        rc = pthread_cond_init(&t->done_cond, nullptr);
        if (rc == 0)
            t->join_ready = 1;
        else
            pthread_mutex_destroy(&t->done_lock);
    }
    pthread_attr_t attr;
    if (rc == 0) rc = pthread_attr_init(&attr);
    if (rc != 0) {
        _free_thread_t(t);
        return thread_result(rc);
    }
    if (stack_size != 0) rc = pthread_attr_setstacksize(&attr, stack_size);
    if (rc == 0) {
        pthread_mutex_lock(&t->lock);
        rc = pthread_create(&t->thread_id, &attr, _plx_thread_proc, t);
        if (rc == 0) {
            if (p_handle) {
                plx_atomic_inc(&t->refcount, nullptr);
                *p_handle = t;
            } else {
                pthread_detach(t->thread_id);
            }
        }
        /* Without a handle the record may be gone as soon as this returns. */
        pthread_mutex_unlock(&t->lock);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        _free_thread_t(t);
        return thread_result(rc);
    }
    return 0;
}

/* Waits up to `timeout_ms` for the thread's function to return, joins the thread and drops
 * the handle (0). A timeout (0x10020084) or another failure leaves the handle valid. */
plx_error_t plx_thread_wait_and_cleanup(plx_thread_t *handle, uint32_t timeout_ms) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    uint32_t result;
    plx_thread_t *t = plx::thread_checked(handle, &result);
    if (!t) return result;
    if (!t->join_ready) return kThreadInvalid;
    {
        MutexLock held(&t->done_lock);
        if (held.result() != 0) return thread_result(held.result());
        timespec deadline;
        const bool limited = timeout_ms != PLX_THREAD_TIMEOUT_INFINITE;
        if (limited) deadline = deadline_from_now(timeout_ms);
        int rc = wait_for_flag(&t->done_cond, &t->done_lock, &t->done,
                               limited ? &deadline : nullptr, false);
        /* The thread never takes done_lock again once `done` is set: joining under it is
         * safe. */
        result = thread_result(t->done ? pthread_join(t->thread_id, nullptr) : rc);
    }
    if (result == 0) _free_thread_t(t);
    return result;
}

/* The platform id of `thread`, or of the calling thread when it is null. */
plx_error_t plx_thread_get_id(plx_thread_t *thread, uintptr_t *p_id) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    if (!p_id) return kThreadInvalid;
    if (!thread) {
        *p_id = id_of(pthread_self());
        return 0;
    }
    uint32_t code;
    plx_thread_t *t = plx::thread_checked(thread, &code);
    if (!t) return code;
    *p_id = id_of(t->thread_id);
    return 0;
}

/* Copies the name of `thread` (null: the caller) with its terminator into `buffer`; an
 * unnamed thread gives "". A name longer than size - 1 bytes is cut and still terminated.
 * 0x90020003 when the calling thread has no record. */
plx_error_t plx_thread_get_name(plx_thread_t *thread, char *buffer, uint32_t size) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    if (!buffer || size == 0) return kThreadInvalid;
    uint32_t code;
    plx_thread_t *t = thread ? plx::thread_checked(thread, &code) : plx::thread_current(false, &code);
    if (!t) return code ? code : kThreadNoSuchThread;
    MutexLock held(&t->lock);
    if (held.result() != 0) return thread_result(held.result());
    const char *name = t->name ? t->name : "";
    size_t n = strlen(name);
    if (n >= size) n = size - 1;
    memcpy(buffer, name, n);
    buffer[n] = '\0';
    return 0;
}

/* Gives `thread` (null: the caller, which gets a record if it has none) a copy of `name`.
 * When the copy cannot be made the old name is gone all the same and 0x90020002 results. */
plx_error_t plx_thread_set_name(plx_thread_t *thread, const char *name) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    if (!name) return kThreadInvalid;
    uint32_t code;
    plx_thread_t *t = thread ? plx::thread_checked(thread, &code) : plx::thread_current(true, &code);
    if (!t) return code;
    size_t size = strlen(name) + 1;
    char *copy = static_cast<char *>(plx_memory_alloc(size));
    if (copy) memcpy(copy, name, size);
    char *old;
    {
        MutexLock held(&t->lock);
        if (held.result() != 0) {
            plx_memory_free(copy);
            return thread_result(held.result());
        }
        old = t->name;
        t->name = copy;
    }
    plx_memory_free(old);
    return copy ? 0 : kThreadNoMemory;
}

/* Sets the thread's priority within its scheduling policy: -5 is the policy's minimum, 5 its
 * maximum, steps between truncate. A thread whose function has returned is left alone (0). */
plx_error_t plx_thread_set_priority(plx_thread_t *handle, int32_t priority) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    if (priority < -5 || priority > 5) return kThreadInvalid;
    uint32_t code;
    plx_thread_t *t = plx::thread_checked(handle, &code);
    if (!t) return code;
    if (!t->join_ready) return kThreadInvalid; /* no platform thread of ours behind it */
    MutexLock held(&t->lock);
    if (held.result() != 0) return thread_result(held.result());
    if (t->finished) return 0;
    int policy;
    sched_param param;
    int rc = pthread_getschedparam(t->thread_id, &policy, &param);
    if (rc != 0) return thread_result(rc);
    int lo = sched_get_priority_min(policy);
    int hi = sched_get_priority_max(policy);
    if (lo == -1 || hi == -1) return kThreadGeneral;
    param.sched_priority = plx::thread_priority_in_range(lo, hi, priority);
    return thread_result(pthread_setschedparam(t->thread_id, policy, &param));
}

/* Sleeps `milliseconds` (times 1000 in 32 bits, as microseconds). */
plx_error_t plx_thread_sleep(uint32_t milliseconds) {
    if (plx_thread_initchecks() == 0) return kThreadNotInitialized;
    return usleep(static_cast<useconds_t>(milliseconds * 1000u)) == 0 ? 0 : kThreadGeneral;
}

}  // extern "C"
