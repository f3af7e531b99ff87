/* Internal foundation of the support layer: error codes, logging, host memory, lock guards and
 * the module life cycle. Every source of the library includes this header; nothing here is
 * exported. */
#ifndef PLX_INTERNAL_H
#define PLX_INTERNAL_H

#include <stdint.h>
#include <string.h>

#include "plx/plx.h"
#include "veltra_manager.h"

namespace plx {

/* ---- error codes ------------------------------------------------------------------------ */

/* Package numbers (bits 16..23 of a code). */
inline constexpr uint32_t kPkgThread = 0x02;
inline constexpr uint32_t kPkgFs = 0x03;
inline constexpr uint32_t kPkgString = 0x05;
inline constexpr uint32_t kPkgDatatypes = 0x0D;
inline constexpr uint32_t kPkgSort = 0x0F;
inline constexpr uint32_t kPkgAtomic = 0x1F;
inline constexpr uint32_t kPkgIostream = 0x22;
inline constexpr uint32_t kPkgVibemesh = 0xA8;

/* Codes every package shares (low 16 bits). */
inline constexpr uint32_t kInvalidArg = 0x0001;
inline constexpr uint32_t kNoMemory = 0x0002;
inline constexpr uint32_t kNotFound = 0x0003;
inline constexpr uint32_t kNotInitialized = 0x0007;
inline constexpr uint32_t kWrongMagic = 0x0321;

/* The one way to compose a code: an error (bit 31 set, top nibble 0x9) or a status that is no
 * failure (top nibble 0x1). */
constexpr uint32_t error_code(uint32_t package, uint32_t code) {
    return 0x90000000u | ((package & 0xFFu) << 16) | (code & 0xFFFFu);
}
constexpr uint32_t status_code(uint32_t package, uint32_t code) {
    return 0x10000000u | ((package & 0xFFu) << 16) | (code & 0xFFFFu);
}
constexpr uint32_t package_of(uint32_t code) { return (code >> 16) & 0xFFu; }
constexpr uint32_t low16(uint32_t code) { return code & 0xFFFFu; }
constexpr bool is_error(uint32_t code) { return (code & 0x80000000u) != 0; }

/* Plain life-cycle results of the support modules (no package, no error bit). */
inline constexpr uint32_t kLifecycleStartFailed = 10;
inline constexpr uint32_t kLifecycleNotStarted = 7;

/* ---- ASCII case --------------------------------------------------------------------------- */

/* The library's one case fold: ASCII letters only, every other value unchanged. Branch-free,
 * as the hash table folds every key byte it hashes. */
constexpr uint32_t ascii_upper(uint32_t c) { return c - ((c - 'a' < 26u) << 5); }
constexpr uint32_t ascii_lower(uint32_t c) { return c + ((c - 'A' < 26u) << 5); }

/* Equality of two terminated strings (not null) with ASCII case folded. */
inline bool equal_folded(const char *a, const char *b) {
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (;; ++x, ++y) {
        if (*x != *y && ascii_upper(*x) != ascii_upper(*y)) return false;
        if (*x == 0) return true;
    }
}

/* ---- logging ---------------------------------------------------------------------------- */

/* Level bits of g_plx_log_enabled_pkgs. */
inline constexpr uint32_t kLogError = 1;
inline constexpr uint32_t kLogInfo = 4;
inline constexpr uint32_t kLogTrace = 8;

/* The host's callback when the package's mask has the level bit, else null. The mask is read
 * first: with logging off a call costs one load and one test. The variables belong to the
 * host and may be changed by it at any time, hence the relaxed atomic loads. */
inline plx_log_callback_fn log_target(uint32_t package, uint32_t level) {
    if ((__atomic_load_n(&g_plx_log_enabled_pkgs[package & 0xFFu], __ATOMIC_RELAXED) & level) == 0)
        return nullptr;
    return __atomic_load_n(&g_plx_log_callback, __ATOMIC_RELAXED);
}

/* Logs an error code (no message) under the code's own package when that package's error bit
 * is set; returns the code so that `return log_error(...)` reads naturally. Success and
 * statuses are passed through silently. */
inline uint32_t log_error(uint32_t code, const char *source, int32_t line) {
    if (is_error(code)) {
        if (plx_log_callback_fn cb = log_target(package_of(code), kLogError))
            cb(line, source, kLogError, code, nullptr);
    }
    return code;
}

/* ---- platform errors -------------------------------------------------------------------- */

/* One row of a module's platform-error table: a POSIX errno value (by name, never by number)
 * and the code it becomes. */
struct ErrnoMapping {
    int platform_error;
    uint32_t code;
};

/* Looks up `err` in a module's table; `fallback` for numbers the table does not name. */
template <size_t N>
constexpr uint32_t map_errno(const ErrnoMapping (&table)[N], int err, uint32_t fallback) {
    if (err == 0) return 0;
    for (const ErrnoMapping &row : table)
        if (row.platform_error == err) return row.code;
    return fallback;
}

/* ---- host memory ------------------------------------------------------------------------ */

/* A zero-filled block of `size` bytes from the host allocator, or null. */
inline void *alloc_zeroed(size_t size) {
    void *p = plx_memory_alloc(size);
    if (p) memset(p, 0, size);
    return p;
}

/* A zero-filled record of type T (plain data only), with `extra` bytes behind it. */
template <class T>
T *alloc_record(size_t extra = 0) {
    return static_cast<T *>(alloc_zeroed(sizeof(T) + extra));
}

/* True when a * b overflows a 32-bit size. */
constexpr bool mul_overflows(uint32_t a, uint32_t b) {
    return b != 0 && a > 0xFFFFFFFFu / b;
}

/* Owns one host block until released; frees it on every other path. */
template <class T>
class HostPtr {
public:
    HostPtr() = default;
    explicit HostPtr(T *p) : p_(p) {}
    HostPtr(const HostPtr &) = delete;
    HostPtr &operator=(const HostPtr &) = delete;
    ~HostPtr() { plx_memory_free(p_); }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T *release() {
        T *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T *p = nullptr) {
        plx_memory_free(p_);
        p_ = p;
    }

private:
    T *p_ = nullptr;
};

/* Runs a callable when the scope ends unless dismissed: clean-up on every early return. */
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(f) {}
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;
    ~ScopeExit() {
        if (armed_) f_();
    }
    void dismiss() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

/* ---- lock guards ------------------------------------------------------------------------ */

/* Holds a spin lock (the platform mutex) for its scope. */
class SpinGuard {
public:
    explicit SpinGuard(plx_spinlock_t *lock) : lock_(lock) { plx_spinlock_lock(lock_); }
    SpinGuard(const SpinGuard &) = delete;
    SpinGuard &operator=(const SpinGuard &) = delete;
    ~SpinGuard() { plx_spinlock_unlock(lock_); }

private:
    plx_spinlock_t *lock_;
};

/* Holds a critical section for its scope through the given enter and leave; a null section
 * (a container created without the thread-safe flag) makes it a no-op. It keeps both results:
 * entered() is 0 or the failure of the enter, after which the section is not held and the
 * caller must not go on under it; leave() leaves at once (the destructor leaves otherwise) and
 * gives 0 or the failure of the leave. */
template <uint32_t (*Enter)(plx_thread_critsec_t *), uint32_t (*Leave)(plx_thread_critsec_t *)>
class ScopedCritsec {
public:
    explicit ScopedCritsec(plx_thread_critsec_t *cs) : cs_(cs), entered_(cs ? Enter(cs) : 0) {}
    ScopedCritsec(const ScopedCritsec &) = delete;
    ScopedCritsec &operator=(const ScopedCritsec &) = delete;
    ~ScopedCritsec() { leave(); }

    uint32_t entered() const { return entered_; }
    uint32_t leave() {
        if (cs_ && entered_ == 0) left_ = Leave(cs_);
        cs_ = nullptr;
        return left_;
    }
    /* The result of work done under the section: `result`, or the failure to leave when the
     * work itself succeeded. Leaves. */
    uint32_t finish(uint32_t result) {
        uint32_t left = leave();
        return result ? result : left;
    }

private:
    plx_thread_critsec_t *cs_;
    uint32_t entered_;
    uint32_t left_ = 0;
};

/* The guard over the exported entry points. */
using CritsecGuard = ScopedCritsec<plx_thread_critsec_enter, plx_thread_critsec_leave>;

/* ---- module life cycle ------------------------------------------------------------------ */

inline constexpr const char kSupportVersion[] = "3.05.4.1615";
inline constexpr const char kSupportBuildDate[] = "2014-01-16 22:00-0800";

/* The state every support module keeps: its init lock and its use count. */
struct ModuleLife {
    plx_spinlock_t init_lock;  /* _g_init_lock: guards the count and the start and stop steps */
    uint32_t initialized;      /* _g_initialized: the use count; 0 = down */
};

#define PLX_MODULE_LIFE_INIT {PTHREAD_MUTEX_INITIALIZER, 0}

/* First call runs `start`; a failing start leaves the count at 0 and returns 10. */
uint32_t lifecycle_initialize(ModuleLife &life, uint32_t (*start)());
/* Last call runs `stop`; a module that is down answers 7. */
uint32_t lifecycle_shutdown(ModuleLife &life, uint32_t (*stop)());
/* The use count, read without the lock (a single aligned load). */
inline uint32_t lifecycle_count(const ModuleLife &life) {
    return __atomic_load_n(&life.initialized, __ATOMIC_ACQUIRE);
}

}  // namespace plx

/* Defines the five public life-cycle functions of support module `mod`, over the module's
 * start and stop steps `_mod_init_func` and `_mod_shutdown_func` (declared before use). */
#define PLX_DEFINE_MODULE_LIFECYCLE(mod)                                                      \
    static plx::ModuleLife _g_life_##mod = PLX_MODULE_LIFE_INIT;                              \
    plx_error_t plx_##mod##_initialize(void) {                                                \
        return plx::lifecycle_initialize(_g_life_##mod, _##mod##_init_func);                  \
    }                                                                                         \
    plx_error_t plx_##mod##_shutdown(void) {                                                  \
        return plx::lifecycle_shutdown(_g_life_##mod, _##mod##_shutdown_func);                \
    }                                                                                         \
    uint32_t plx_##mod##_initchecks(void) { return plx::lifecycle_count(_g_life_##mod); }     \
    const char *plx_##mod##_get_version(void) { return plx::kSupportVersion; }                \
    const char *plx_##mod##_get_build_date(void) { return plx::kSupportBuildDate; }

#endif /* PLX_INTERNAL_H */
