/* Filter validation: the list types a presentation filter may name, the rule that keeps one
 * condition type per list type, and the disposal of filter records. */
#include "vibemesh/vibemesh_objects.h"

namespace {

/* The filter list types, in the order they are tried. The mood list is not among them: the
 * module adds the mood condition itself. */
constexpr const char *const kFilterListTypes[] = {VELTRA_LIST_TYPE_GENRES, VELTRA_LIST_TYPE_ORIGINS,
                                                  VELTRA_LIST_TYPE_ERAS};

}  // namespace

extern "C" {

uint32_t _vibemesh_presentation_filter_validate_list_type(const char *list_type,
                                                          const char **p_name) {
    for (const char *name : kFilterListTypes) {
        if (plx_string_strcmp(list_type, name) == 0) {
            if (p_name) *p_name = name;
            return 0;
        }
    }
    return vm::kErrInvalidArg;
}

uint32_t _vibemesh_presentation_filter_validate_filter(const char *list_type, uint8_t include,
                                                       plx_hashtable_t *filters) {
    uint32_t count = 0;
    uint32_t code = plx_hashtable_count(filters, &count);
    if (code != 0) return code;
    bool matched = false;
    uint8_t last_include = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const void *data = nullptr;
        code = plx_hashtable_index_get(filters, i, nullptr, &data, nullptr);
        if (code != 0) return code;
        const VibeMeshFilter *filter = static_cast<const VibeMeshFilter *>(data);
        if (plx_string_strcmp(filter->list_type, list_type) == 0) {
            matched = true;
            last_include = filter->include;
        }
    }
    /* All filters of one list type share a condition type, so the last match stands for all. */
    if (matched && last_include != include) return vm::kErrInvalidArg;
    return 0;
}

uint32_t _vibemesh_presentation_filter_hashtable_delete(void *filter, uint32_t /*size*/) {
    VibeMeshFilter *f = static_cast<VibeMeshFilter *>(filter);
    if (!f) return 0;
    plx_string_free(f->item_value_id);
    plx_memory_free(f);
    return 0;
}

}  // extern "C"
