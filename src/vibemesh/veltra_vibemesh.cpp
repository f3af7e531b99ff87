/* The module's entry and exit: start-up against a manager handle, nested start-up counting,
 * shutdown (by the application or by the manager), version strings, the folding of foreign
 * codes and the API frame shared by every exported call. */
#include "vibemesh/vibemesh_frame.h"

extern "C" {
const veltra_manager_t *g_vibemesh_manager_interface;
void *g_vibemesh_client_ref;
const veltra_errorinfo_interface_t *g_vibemesh_errorinfo_interface;
const veltra_handlemanager_interface_t *g_vibemesh_handlemanager_interface;
const veltra_userinfo_interface_t *g_vibemesh_userinfo_interface;
const veltra_serialization_interface_t *g_vibemesh_serialization_interface;
const veltra_listmanager_interface_t *g_vibemesh_lists_interface;
}

namespace {

constexpr const char kVersion[] = "3.05.4.1615";
constexpr const char kBuildDate[] = "2014-01-16 22:02-0800";
constexpr const char kClientName[] = "VELTRA VibeMesh";
constexpr const char kSourceModule[] = "veltra_vibemesh";
constexpr uint32_t kPkgLifecycleEcho = 49; /* life-cycle lines are echoed under package 49 */

plx_spinlock_t _g_init_lock = PLX_SPINLOCK_INITIALIZER;
using vm::_g_initialized;

enum ShutdownMode : uint32_t { kUndoStartup = 0, kLastShutdown = 1, kClientShutdown = 2 };

/* Sends one life-cycle line under package 168 and again under package 49. */
template <class... Args>
void log_lifecycle(uint32_t level, const char *format, Args... args) {
    if (plx_log_callback_fn cb = plx::log_target(vm::kPkg, level))
        cb(0, nullptr, level, 0x00A80000u, format, args...);
    if (plx_log_callback_fn cb = plx::log_target(kPkgLifecycleEcho, level))
        cb(0, nullptr, level, 0x00310000u, format, args...);
}

void set_count(uint32_t value) { __atomic_store_n(&_g_initialized, value, __ATOMIC_RELEASE); }

template <class Table>
void release_interface(const Table *&table) {
    if (table) table->interface_release(table);
    table = nullptr;
}

uint32_t _vibemesh_shutdown_func(uint32_t mode) {
    const veltra_manager_t *m = g_vibemesh_manager_interface;
    uint32_t r = m ? m->client_release(g_vibemesh_client_ref) : 0;
    if (mode != kClientShutdown && r != 0) {
        log_lifecycle(plx::kLogError, "VibeMesh Shutdown Failed: services still in use");
        return r;
    }
    log_lifecycle(plx::kLogInfo, "VibeMesh Shutdown");
    release_interface(g_vibemesh_handlemanager_interface);
    release_interface(g_vibemesh_userinfo_interface);
    release_interface(g_vibemesh_errorinfo_interface);
    release_interface(g_vibemesh_serialization_interface);
    release_interface(g_vibemesh_lists_interface);
    g_vibemesh_manager_interface = nullptr;
    g_vibemesh_client_ref = nullptr;
    if (mode != kUndoStartup) {
        plx_memory_shutdown();
        plx_thread_shutdown();
        plx_string_shutdown();
        plx_datatypes_shutdown();
    }
    return 0;
}

uint32_t _vibemesh_client_shutdown(void) {
    plx::SpinGuard guard(&_g_init_lock);
    if (_g_initialized == 0) return plx::kNotInitialized;
    uint32_t code = _vibemesh_shutdown_func(kClientShutdown);
    if (code == 0) set_count(0);
    return code;
}

/* Looks up one manager interface into its exported pointer. */
template <class Table>
uint32_t get_interface(const veltra_manager_t *m, const char *name, const Table *&out) {
    const void *table = nullptr;
    uint32_t code = m->interface_get(name, 0, 0, &table);
    if (code == 0) out = static_cast<const Table *>(table);
    return code;
}

/* Pointers that an earlier start-up left behind (its unwinding was refused) are kept: this
 * attempt overwrites each one it looks up again, and its own unwinding releases the rest. */
uint32_t _vibemesh_init_func(const veltra_manager_t *h) {
    g_vibemesh_manager_interface = h;

    /* The support modules, in order; `started` counts how many came up. */
    uint32_t (*const starts[])() = {plx_thread_initialize, plx_string_initialize,
                                    plx_datatypes_initialize};
    uint32_t (*const stops[])() = {plx_thread_shutdown, plx_string_shutdown,
                                   plx_datatypes_shutdown};
    uint32_t code = 0;
    int32_t line = 0; /* where the first failure was seen; logged with it */
    auto ok = [&code, &line](int32_t at) {
        if (code != 0 && line == 0) line = at;
        return code == 0;
    };
    code = plx_memory_initialize(h);
    bool memory_up = ok(__LINE__);
    uint32_t started = 0;
    while (memory_up && started < 3 && (code = starts[started]()) == 0) ++started;
    if (ok(__LINE__))
        code = h->client_register(plx::kPkgVibemesh, kClientName, _vibemesh_client_shutdown,
                                  &g_vibemesh_client_ref);
    if (ok(__LINE__))
        code = get_interface(h, host::kErrorinfoInterface, g_vibemesh_errorinfo_interface);
    if (ok(__LINE__))
        code = get_interface(h, host::kHandlemanagerInterface, g_vibemesh_handlemanager_interface);
    if (ok(__LINE__))
        code = get_interface(h, host::kUserinfoInterface, g_vibemesh_userinfo_interface);
    if (ok(__LINE__))
        code = get_interface(h, host::kSerializationInterface, g_vibemesh_serialization_interface);
    if (ok(__LINE__))
        code = get_interface(h, host::kListmanagerInterface, g_vibemesh_lists_interface);
    if (ok(__LINE__)) {
        log_lifecycle(plx::kLogInfo, "Vibemesh Initialize: Version %s  Built %s", kVersion,
                      kBuildDate);
        return 0;
    }

    _vibemesh_shutdown_func(kUndoStartup);
    if (memory_up) plx_memory_shutdown();
    for (uint32_t i = 0; i < started; ++i) stops[i]();
    /* Logged under the failure's own package, like every error line, also when the manager's
     * code lacks the error bit. */
    if (plx_log_callback_fn cb = plx::log_target(plx::package_of(code), plx::kLogError))
        cb(line, kSourceModule, plx::kLogError, code, nullptr);
    return code;
}

}  // namespace

extern "C" {

uint32_t _vibemesh_map_error(uint32_t c) {
    if (c == 0 || plx::package_of(c) == vm::kPkg) return c;
    if (plx::low16(c) == plx::kNoMemory) return vm::kErrNoMemory;
    if (plx::low16(c) == plx::kNotFound) return vm::kStatusNotFound;
    return vm::err(plx::low16(c));
}

veltra_error_t veltra_vibemesh_initialize(const veltra_manager_t *h) {
    static constexpr char kFn[] = "veltra_vibemesh_initialize";
    vm::ApiFrame frame(kFn, kSourceModule);
    uint32_t result = 0;
    uint32_t source = 0;
    const char *message = nullptr;
    if (!h) {
        result = vm::kErrInvalidArg;
        message = "given manager handle was null";
    } else if (h->magic != host::kManagerMagic) {
        result = vm::kErrManagerMagic;
    } else if (!h->version || !plx::equal_folded(h->version, host::kManagerVersion)) {
        result = vm::kErrManagerVersion;
        message = "given manager handle was from a different version SDK";
    } else {
        plx::SpinGuard guard(&_g_init_lock);
        if (_g_initialized != 0) {
            set_count(_g_initialized + 1);
        } else {
            uint32_t code = _vibemesh_init_func(h);
            if (code == 0) {
                set_count(1);
            } else {
                result = vm::kErrStartupFailed;
                source = code;
            }
        }
    }
    if (source == 0) source = result;
    manager_errorinfo_set(result, source, kFn, message);
    vm::log_failure(result, kFn, 0);
    return result;
}

veltra_error_t veltra_vibemesh_shutdown(void) {
    static constexpr char kFn[] = "veltra_vibemesh_shutdown";
    vm::ApiFrame frame(kFn, kSourceModule);
    uint32_t code;
    {
        plx::SpinGuard guard(&_g_init_lock);
        if (_g_initialized == 0) {
            code = plx::kNotInitialized;
        } else if (_g_initialized > 1) {
            set_count(_g_initialized - 1);
            code = 0;
        } else {
            code = _vibemesh_shutdown_func(kLastShutdown);
            if (code == 0) set_count(0);
        }
    }
    return frame.finish(code);
}

uint32_t veltra_vibemesh_initchecks(void) {
    return __atomic_load_n(&_g_initialized, __ATOMIC_ACQUIRE);
}

const char *veltra_vibemesh_get_version(void) {
    vm::ApiFrame frame("veltra_vibemesh_get_version", kSourceModule);
    return kVersion;
}

const char *veltra_vibemesh_get_build_date(void) {
    vm::ApiFrame frame("veltra_vibemesh_get_build_date", kSourceModule);
    return kBuildDate;
}

}  // extern "C"

/* ---- the API frame ---------------------------------------------------------------------- */

namespace vm {

void log_failure(uint32_t code, const char *source, int32_t line) {
    if (!plx::is_error(code)) return;
    if (plx_log_callback_fn cb = plx::log_target(plx::package_of(code), plx::kLogError))
        cb(line, source, plx::kLogError, code, nullptr);
}

uint32_t _g_initialized;

void ApiFrame::trace() const {
    if (plx_log_callback_fn cb = plx::log_target(kPkg, plx::kLogTrace))
        cb(0, "[api_trace]", plx::kLogTrace, 0x00A80000u, function_);
}

uint32_t ApiFrame::not_started() const {
    log_failure(kErrNotStarted, function_, 0);
    manager_errorinfo_set(kErrNotStarted, kErrNotStarted, function_, nullptr);
    return kErrNotStarted;
}

uint32_t ApiFrame::handle_failed(uint32_t code, int32_t line) const {
    log_failure(code, source_, line);
    return code;
}

uint32_t ApiFrame::invalid(const char *message, uint32_t code) const {
    host::errorinfo()->errorinfo_set(code, code, function_, message);
    log_failure(code, function_, 0);
    return code;
}

uint32_t ApiFrame::finish_failed(uint32_t body_result) const {
    uint32_t r = _vibemesh_map_error(body_result);
    log_failure(r, function_, 0);
    return r;
}

}  // namespace vm
