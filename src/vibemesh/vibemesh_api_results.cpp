/* Result sets: the (ident, group) pairs of one recommendation query, interned in a string
 * table and listed in datasource order; building them, counting, enumerating, releasing. */
#include "vibemesh/vibemesh_objects.h"

namespace {

constexpr const char *kSource = vm::kSourceResults;

}  // namespace

extern "C" {

uint32_t _vibemesh_result_create(VibeMeshResults **p_results) {
    VibeMeshResults *results = plx::alloc_record<VibeMeshResults>();
    if (!results) return vm::kErrNoMemory;
    results->magic = vm::kResultsMagic;
    uint32_t code =
        plx_vector2_create(&results->entries, sizeof(VibeMeshResultEntry), 0, nullptr, nullptr);
    if (code == 0) code = plx_stringtable_create(&results->strings, 0);
    if (code == 0) code = plx_thread_critsec_create(&results->lock);
    if (code != 0) {
        _vibemesh_result_delete(results);
        return code;
    }
    *p_results = results;
    return 0;
}

uint32_t _vibemesh_result_append(VibeMeshResults *results, const char *ident, const char *group) {
    VibeMeshResultEntry entry = {0, 0};
    uint32_t code = plx_stringtable_add_value(results->strings, ident, &entry.ident_ref);
    if (code == 0) code = plx_stringtable_add_value(results->strings, group, &entry.group_ref);
    if (code == 0) code = plx_vector2_add(results->entries, &entry, sizeof entry, nullptr);
    return code;
}

void _vibemesh_result_delete(VibeMeshResults *results) {
    if (!results) return;
    if (results->entries) plx_vector2_delete(results->entries);
    if (results->strings) plx_stringtable_delete(results->strings);
    if (results->lock) plx_thread_critsec_delete(results->lock);
    plx_memory_free(results);
}

uint32_t _vibemesh_result_handle_delete(void *results) {
    _vibemesh_result_delete(static_cast<VibeMeshResults *>(results));
    return 0;
}

/* The number of results in the set. */
veltra_error_t veltra_vibemesh_results_count(veltra_vibemesh_result_handle_t results,
                                             uint32_t *p_count) {
    vm::ApiFrame frame("veltra_vibemesh_results_count", kSource);
    if (uint32_t code = frame.check_started()) return code;
    vm::Pin pin;
    VibeMeshResults *r = nullptr;
    if (uint32_t code = pin.acquire(frame, results, vm::kResultsMagic, __LINE__, &r)) return code;
    if (!p_count) return frame.invalid("'p_count' parameter is null");

    uint32_t code;
    {
        plx::CritsecGuard guard(r->lock);
        code = plx_vector2_count(r->entries, p_count);
    }
    return frame.finish(code);
}

/* The ident (and, when p_group is not null, the group) of result `index`, counted from 0. The
 * strings belong to the set. An index at or past the count gives 0x90A80361. */
veltra_error_t veltra_vibemesh_results_enum(veltra_vibemesh_result_handle_t results, uint32_t index,
                                            const char **p_ident, const char **p_group) {
    vm::ApiFrame frame("veltra_vibemesh_results_enum", kSource);
    if (uint32_t code = frame.check_started()) return code;
    vm::Pin pin;
    VibeMeshResults *r = nullptr;
    if (uint32_t code = pin.acquire(frame, results, vm::kResultsMagic, __LINE__, &r)) return code;
    if (!p_ident) return frame.invalid("'p_ident' parameter is null");

    uint32_t code;
    {
        plx::CritsecGuard guard(r->lock);
        void *element = nullptr;
        code = plx_vector2_getindex(r->entries, index, &element);
        /* Copied out at once: the pointer into the vector is not kept past the lock. */
        VibeMeshResultEntry entry = {0, 0};
        if (code == 0) {
            memcpy(&entry, element, sizeof entry);
            const char *ident = nullptr;
            code = plx_stringtable_get_value(r->strings, entry.ident_ref, &ident);
            if (code == 0) *p_ident = ident;
        }
        if (code == 0 && p_group) {
            const char *group = nullptr;
            code = plx_stringtable_get_value(r->strings, entry.group_ref, &group);
            if (code == 0) *p_group = group;
        }
    }
    return frame.finish(code);
}

/* Ends the set's handle; the handle manager deletes the set and every string it handed out.
 * A null handle is no error. Refused with 0x90A80006 while another call is using the set. */
veltra_error_t veltra_vibemesh_results_release(veltra_vibemesh_result_handle_t results) {
    vm::ApiFrame frame("veltra_vibemesh_results_release", kSource);
    if (uint32_t code = frame.check_started()) return code;
    if (!results) return 0;

    vm::Ending ending = vm::end_unpinned<VibeMeshResults>(
        frame, results, vm::kResultsMagic, [](const VibeMeshResults *) { return false; },
        [](VibeMeshResults *r) { return host::handles()->handle_release(r); });
    if (ending.stage == vm::Ending::kHandleFailed) return frame.handle_failed(ending.code, __LINE__);
    if (ending.stage == vm::Ending::kInUse)
        return frame.invalid("VibeMesh Results are in use", vm::kErrBusy);
    return frame.finish(ending.code);
}

}  // extern "C"
