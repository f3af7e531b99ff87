/* The API frame that every exported veltra_vibemesh_* call runs, the module's error codes and
 * the folding of foreign codes into package 168. */
#ifndef VIBEMESH_FRAME_H
#define VIBEMESH_FRAME_H

#include "host/vibemesh_host.h"
#include "plx/plx_internal.h"

extern "C" {
/* Folds a code of another package into package 168 (0 and package-168 codes pass). */
uint32_t _vibemesh_map_error(uint32_t code);
}

namespace vm {

inline constexpr uint32_t kPkg = plx::kPkgVibemesh;
constexpr uint32_t err(uint32_t low) { return plx::error_code(kPkg, low); }

inline constexpr uint32_t kErrInvalidArg = err(0x0001);
inline constexpr uint32_t kErrNoMemory = err(0x0002);
inline constexpr uint32_t kErrBusy = err(0x0006);
inline constexpr uint32_t kErrNotStarted = err(0x0007);
inline constexpr uint32_t kErrStartupFailed = err(0x000A);
inline constexpr uint32_t kErrFilterExists = err(0x000C);
inline constexpr uint32_t kErrManagerMagic = err(0x0320);
inline constexpr uint32_t kErrManagerVersion = err(0x0321);
inline constexpr uint32_t kErrLocaleSource = err(0x02D3);
inline constexpr uint32_t kStatusNotFound = 0x10A20003u; /* folded support not-found */

/* Record magics of the objects that cross the API. */
inline constexpr uint32_t kPresentationMagic = 0x54315461u;
inline constexpr uint32_t kProviderMagic = 0x54315462u;
inline constexpr uint32_t kResultsMagic = 0x54315463u;

/* Source names passed with logs. */
inline constexpr const char kSourcePresentation[] = "vibemesh_api_presentation";
inline constexpr const char kSourceResults[] = "vibemesh_api_results";
inline constexpr const char kSourceProvider[] = "vibemesh_api_provider";

/* The module's use count (0 = not started); written under the start-up lock only. */
extern uint32_t _g_initialized;

/* One exported call's frame. Construct it first thing (it emits the trace line), then run the
 * checks in order; each returns 0 to go on or the code to return at once. The success path is
 * inline: with tracing off a frame costs one load and one test, a started check another. */
class ApiFrame {
public:
    ApiFrame(const char *function, const char *source) : function_(function), source_(source) {
        if (plx::log_target(kPkg, plx::kLogTrace)) trace();
    }
    ApiFrame(const ApiFrame &) = delete;
    ApiFrame &operator=(const ApiFrame &) = delete;

    /* 0x90A80007 (logged, error information recorded through the manager) when not started. */
    uint32_t check_started() const {
        return __atomic_load_n(&_g_initialized, __ATOMIC_ACQUIRE) != 0 ? 0 : not_started();
    }

    /* Validates `handle` through the handle manager and casts it: null gives 0x90A80001, a
     * refused handle 0x90A80000 | (c & 0x1FFFF). Logs nothing, so that it may run under a lock;
     * handle_failed logs a failure afterwards. The only cast from a handle to its record. */
    template <class Record, class Handle>
    uint32_t check_handle(Handle handle, uint32_t magic, Record **p_record) const {
        uint32_t code = validate(handle, magic);
        if (code == 0) *p_record = reinterpret_cast<Record *>(handle);
        return code;
    }
    /* The handle of a record: the only cast from a record to its handle, the reverse of
     * check_handle. */
    template <class Handle, class Record>
    static Handle wrap(Record *record) {
        return reinterpret_cast<Handle>(record);
    }
    /* Logs a failed handle check at (line, S); no error information. Returns `code`. */
    uint32_t handle_failed(uint32_t code, int32_t line) const;

    /* An argument check failed: records (code, code, F, message), logs at (0, F). */
    uint32_t invalid(const char *message, uint32_t code = kErrInvalidArg) const;

    /* Folds the body's result into package 168 and logs it when it is an error. */
    uint32_t finish(uint32_t body_result) const {
        return body_result == 0 ? 0 : finish_failed(body_result);
    }

    const char *function() const { return function_; }
    const char *source() const { return source_; }

private:
    static uint32_t validate(const void *handle, uint32_t magic) {
        if (!handle) return kErrInvalidArg;
        uint32_t c = host::handles()->handle_validate(handle, magic);
        return c == 0 ? 0 : 0x90A80000u | (c & 0x1FFFFu); /* bit 16 of c passes through */
    }
    void trace() const;
    uint32_t not_started() const;
    uint32_t finish_failed(uint32_t body_result) const;

    const char *function_;
    const char *source_;
};

/* Logs `code` at level error under its own package's mask (no error information). */
void log_failure(uint32_t code, const char *source, int32_t line);

}  // namespace vm

#endif
