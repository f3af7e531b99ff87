/* Result sets: the (ident, group) pairs of one recommendation query, interned in a string
 * table and listed in datasource order; building them, counting, enumerating, releasing. */
#include "vibemesh/vibemesh_objects.h"

namespace {

constexpr const char *kSource = vm::kSourceResults;

constexpr uint32_t kFirstRows = 16;        /* rows of a set built without a reservation */
constexpr uint32_t kMaxReserve = 1u << 16; /* rows reserved at most in one go: a datasource's
                                              count is trusted only that far before rows come */

/* Gives an unsealed set room for `extra` more rows, keeping those filled; 0 or 0x90A80002 (the
 * set unchanged). */
uint32_t resize_rows(VibeMeshResults *results, uint32_t extra) {
    uint32_t capacity = results->row_capacity + extra;
    if (capacity < extra || plx::mul_overflows(capacity, sizeof(VibeMeshResultEntry)))
        return vm::kErrNoMemory;
    void *rows = plx_memory_realloc(results->rows, capacity * sizeof(VibeMeshResultEntry));
    if (!rows) return vm::kErrNoMemory;
    results->rows = static_cast<VibeMeshResultEntry *>(rows);
    results->row_capacity = capacity;
    return 0;
}

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

uint32_t _vibemesh_result_reserve(VibeMeshResults *results, uint32_t count) {
    if (count > kMaxReserve) count = kMaxReserve;
    uint32_t room = results->row_capacity - results->row_count;
    return count > room ? resize_rows(results, count - room) : 0;
}

uint32_t _vibemesh_result_append(VibeMeshResults *results, const char *ident, const char *group) {
    VibeMeshResultEntry entry = {0, 0};
    uint32_t code = plx_stringtable_add_value(results->strings, ident, &entry.ident_ref);
    if (code == 0) code = plx_stringtable_add_value(results->strings, group, &entry.group_ref);
    if (code == 0 && results->row_count == results->row_capacity)
        code = resize_rows(results, results->row_capacity ? results->row_capacity : kFirstRows);
    if (code == 0) results->rows[results->row_count++] = entry;
    return code;
}

uint32_t _vibemesh_result_seal(VibeMeshResults *results) {
    /* The vector adopts the rows as they are: its elements are `rows` from now on. */
    uint32_t code = plx_vector2_attach(results->entries, results->rows,
                                       results->row_count * sizeof(VibeMeshResultEntry),
                                       sizeof(VibeMeshResultEntry), 1);
    if (code != 0) return code;
    results->row_capacity = 0;

    uint32_t count = 0;
    plx_stringtable_count(results->strings, &count);
    if (count == 0) return 0;
    if (plx::mul_overflows(count, sizeof(uint32_t))) return vm::kErrNoMemory;
    uint32_t *offsets = static_cast<uint32_t *>(plx_memory_alloc(count * sizeof(uint32_t)));
    if (!offsets) return vm::kErrNoMemory;
    results->text_offsets = offsets;
    const void *buffer = nullptr;
    code = plx_stringtable_get_buffer(results->strings, &buffer, nullptr, nullptr);
    if (code != 0) return code;
    /* Strings are only ever added here, so ids count 1, 2, 3 along the serialized buffer: a
     * 0x00, then each string in id order followed by its 0x00. */
    const char *text = static_cast<const char *>(buffer);
    results->text_base = text;
    for (uint32_t i = 0, at = 1; i < count; ++i) {
        offsets[i] = at;
        at += static_cast<uint32_t>(strlen(text + at)) + 1;
    }
    return 0;
}

void _vibemesh_result_delete(VibeMeshResults *results) {
    if (!results) return;
    if (results->entries) plx_vector2_delete(results->entries);
    if (results->strings) plx_stringtable_delete(results->strings);
    if (results->lock) plx_thread_critsec_delete(results->lock);
    if (results->row_capacity) plx_memory_free(results->rows); /* not yet handed to `entries` */
    plx_memory_free(results->text_offsets);
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
    vm::Pin pin;
    VibeMeshResults *r = nullptr;
    if (uint32_t code = pin.open(frame, results, vm::kResultsMagic, __LINE__, &r)) return code;
    if (!p_count) return frame.invalid("'p_count' parameter is null");

    uint32_t code;
    {
        plx::CritsecGuard guard(r->lock);
        code = guard.entered() ? guard.entered()
                               : guard.finish(plx_vector2_count(r->entries, p_count));
    }
    return frame.finish(code);
}

/* The ident (and, when p_group is not null, the group) of result `index`, counted from 0. The
 * strings belong to the set. An index at or past the count gives 0x90A80361. */
veltra_error_t veltra_vibemesh_results_enum(veltra_vibemesh_result_handle_t results, uint32_t index,
                                            const char **p_ident, const char **p_group) {
    vm::ApiFrame frame("veltra_vibemesh_results_enum", kSource);
    vm::Pin pin;
    VibeMeshResults *r = nullptr;
    if (uint32_t code = pin.open(frame, results, vm::kResultsMagic, __LINE__, &r)) return code;
    if (!p_ident) return frame.invalid("'p_ident' parameter is null");

    uint32_t code = 0;
    {
        /* Not entered: nothing is read, and *p_ident stays as it was. */
        plx::CritsecGuard guard(r->lock);
        code = guard.entered();
        if (code == 0 && index < r->row_count) {
            const VibeMeshResultEntry &entry = r->rows[index];
            *p_ident = r->text_base + r->text_offsets[entry.ident_ref - 1];
            if (p_group) *p_group = r->text_base + r->text_offsets[entry.group_ref - 1];
        } else if (code == 0) {
            void *element = nullptr;
            code = plx_vector2_getindex(r->entries, index, &element); /* its out-of-range code */
        }
        code = guard.finish(code);
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
