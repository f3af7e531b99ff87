/* A datasource table for tests: published through the stand-in manager's interface registry,
 * it records every call the module makes with its arguments, answers from a script, and fails
 * on command at any slot. Thread-safe. */
#ifndef VELTRA_SCRIPTED_DATASOURCE_H
#define VELTRA_SCRIPTED_DATASOURCE_H

#include <stdint.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "veltra_vibemesh.h"

namespace vt {

/* The slots the module calls. */
enum class DsSlot : uint32_t {
    Release = 0,
    DataGet = 3,
    QueryCreate = 6,
    AddCondition = 7,
    Execute = 8,
    Estimate = 9,
    ResultCount = 10,
    ResultGet = 11,
    QueryRelease = 12,
};

/* The datasource's own codes (a foreign package, 0x50). */
inline constexpr uint32_t kDsNotFound = 0x90500003u;
inline constexpr uint32_t kDsFailure = 0x90500042u;

/* One recorded call. Fields not used by the slot stay zero or empty. */
struct DsCall {
    DsSlot slot = DsSlot::Release;
    const void *query = nullptr;                    /* query handle (slots 7 to 12) */
    std::string list_type, value, condition_type;   /* slot 7; slot 3 puts the key in `value` */
    veltra_user_handle_t user = nullptr;            /* slot 6 */
    veltra_vibemesh_callback_fn callback = nullptr; /* slot 6 */
    void *callback_data = nullptr;                  /* slot 6 */
};

class ScriptedDatasource {
public:
    ScriptedDatasource();
    ~ScriptedDatasource(); /* withdraws the table if it is still published */
    ScriptedDatasource(const ScriptedDatasource &) = delete;
    ScriptedDatasource &operator=(const ScriptedDatasource &) = delete;

    uint32_t publish(); /* under "_veltra_vibemesh_datasource_interface" */
    uint32_t withdraw();
    const VibeMeshDatasource *table() const { return &table_.ds; }

    /* ---- script (set before the module calls in) ---- */
    std::vector<std::pair<std::string, std::string>> results; /* (ident, group) per result */
    std::map<std::string, std::string> data;                  /* data_get: key -> value */
    uint32_t estimate = 0;                                    /* stored by query_estimate */
    uint32_t release_result = 0;                              /* query_release's answer */
    bool handle_on_failed_create = false; /* a failing query_create still stores a query */
    /* Runs inside every call of the module, after it was recorded, on the calling thread. */
    std::function<void(DsSlot)> hook;

    /* The call of `slot` after `skip` further calls fails with `code`, once. */
    void fail(DsSlot slot, uint32_t code, uint32_t skip = 0);

    /* ---- observations ---- */
    std::vector<DsCall> calls() const;
    std::vector<DsCall> calls(DsSlot slot) const;
    void clear_calls();
    int live_queries() const; /* created and not yet released */

private:
    struct Table {
        VibeMeshDatasource ds; /* first, so the table pointer is the record's */
        ScriptedDatasource *self;
    };
    struct Failure {
        uint32_t skip;
        uint32_t code;
    };
    friend struct DsTrampolines;

    uint32_t record(DsCall call); /* logs the call; returns the scripted failure or 0 */

    Table table_{};
    bool published_ = false;
    mutable std::mutex mutex_;
    std::vector<DsCall> calls_;
    std::map<DsSlot, Failure> failures_;
    int live_queries_ = 0;
};

}  // namespace vt

#endif
