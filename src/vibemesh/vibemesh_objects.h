/* The records behind the mood grid's handles (presentation, provider, result set), the filter
 * record, the helpers the module's sources share about them, and the pinning that keeps a
 * record alive while a call works on it. */
#ifndef VIBEMESH_OBJECTS_H
#define VIBEMESH_OBJECTS_H

#include "vibemesh/vibemesh_frame.h"

/* A presentation: the caller's grid of moods. Owned by the handle manager from registration
 * until its delete callback runs. */
struct VibeMeshPresentation {
    uint32_t magic;                     /* vm::kPresentationMagic */
    plx_thread_critsec_t *lock;         /* held across every datasource exchange, filter change
                                           and mood-name interning; null only while creating */
    veltra_user_handle_t user;          /* holds one user reference; null until registered */
    veltra_vibemesh_callback_fn callback; /* caller's value handed to query_create, never called */
    void *callback_data;                /* caller's value handed to query_create */
    uint32_t type;                      /* width in bits 8 and up, height in bits 0..7; unchecked */
    plx_stringmap_t *mood_names;        /* interned mood names, key == value (flags 0) */
    plx_hashtable_t *filters;           /* ident -> VibeMeshFilter, insertion-ordered */
    uint32_t calls;                     /* calls in flight on this record (see vm::Pin) */
};

/* One filter of a presentation, owned by the presentation's `filters` table. */
struct VibeMeshFilter {
    uint8_t include;                    /* 1 include, 0 exclude */
    const char *list_type;              /* one of the module's supported list-type constants */
    char *item_value_id;                /* own copy of the caller's id text (plx_string_free) */
};

/* A provider: the module's handle on one published datasource table. */
struct VibeMeshProvider {
    uint32_t magic;                     /* vm::kProviderMagic */
    plx_thread_critsec_t *lock;         /* serialises data_get on this provider only */
    const VibeMeshDatasource *datasource; /* one interface reference; null once dropped */
    uint32_t calls;                     /* calls in flight on this record (see vm::Pin) */
};

/* One result, stored by value in a result set's `entries`. */
struct VibeMeshResultEntry {
    uint32_t group_ref;                 /* `strings` id of the group text */
    uint32_t ident_ref;                 /* `strings` id of the ident text */
};

/* A result set: the answer of one recommendation query, read-only once registered. */
struct VibeMeshResults {
    uint32_t magic;                     /* vm::kResultsMagic */
    plx_thread_critsec_t *lock;         /* serialises count and enumeration */
    plx_stringtable_t *strings;         /* every ident and group text, each stored once */
    plx_vector2_t *entries;             /* VibeMeshResultEntry in datasource order */
    uint32_t calls;                     /* calls in flight on this record (see vm::Pin) */
    /* Direct views for enumeration, valid once sealed (the set never changes afterwards). */
    VibeMeshResultEntry *rows;          /* the entries' elements: filled here while building,
                                           owned by `entries` once sealed */
    uint32_t row_count;                 /* rows filled */
    uint32_t row_capacity;              /* rows allocated; 0 once `entries` owns them */
    const char *text_base;              /* `strings`' serialized buffer once sealed */
    uint32_t *text_offsets;             /* [id - 1]: where the string of `strings` id starts in
                                           text_base; null until sealed or when empty */
};

extern "C" {
/* Filter table helpers (veltra_vibemesh_mapping). */

/* 0 when `list_type` is a supported filter list type (genres, origins, eras), storing the
 * module's own constant for it in *p_name when p_name is not null; else 0x90A80001. */
uint32_t _vibemesh_presentation_filter_validate_list_type(const char *list_type,
                                                          const char **p_name);
/* 0 when a new filter on `list_type` with `include` keeps every list type to one condition
 * type (the filter of that type set last decides); 0x90A80001 when it would mix them; a
 * failing table read returns its own code. The caller holds the presentation's lock. */
uint32_t _vibemesh_presentation_filter_validate_filter(const char *list_type, uint8_t include,
                                                       plx_hashtable_t *filters);
/* Disposes of a filter record (the `filters` table's free callback); null is ignored. */
uint32_t _vibemesh_presentation_filter_hashtable_delete(void *filter, uint32_t size);

/* Result sets (vibemesh_api_results). */

/* A new, empty, unregistered result set in *p_results. 0x90A80002 when the record cannot be
 * allocated; any other failure returns the failing container's code unmapped, leaving
 * nothing behind. */
uint32_t _vibemesh_result_create(VibeMeshResults **p_results);
/* Makes room for `count` more results in an unsealed set, so that appending them allocates no
 * rows (a count beyond what one block should hold reserves less; appends then grow the rows
 * as needed). 0x90A80002 when the rows cannot be allocated. */
uint32_t _vibemesh_result_reserve(VibeMeshResults *results, uint32_t count);
/* Stores one (ident, group) pair at the end of an unsealed set; both texts are copied. An
 * empty or null text fails with the string table's invalid-argument code, a lack of memory
 * with a no-memory code. */
uint32_t _vibemesh_result_append(VibeMeshResults *results, const char *ident,
                                 const char *group);
/* Ends the building of a set: its rows become `entries`' elements and every stored string is
 * indexed by id for enumeration. A failure (no memory) leaves the set to be deleted. */
uint32_t _vibemesh_result_seal(VibeMeshResults *results);
/* Deletes a set that is not registered (or whose handle has ended); null is ignored. */
void _vibemesh_result_delete(VibeMeshResults *results);
/* The handle manager's delete callback for result sets. */
uint32_t _vibemesh_result_handle_delete(void *results);
}

namespace vm {

/* Pinning. A release ends a handle and the handle manager deletes the record at once, so a
 * call still working on the record would touch freed memory. Every call therefore validates
 * its handle and counts itself into the record's `calls` under the pin lock of the handle's
 * address, and every release validates, tests `calls` and ends the handle under that same
 * lock: a release that finds a call in flight refuses with 0x90A80006 instead of pulling the
 * record away, and a call can never validate a handle that is being released. Only the
 * manager's validation and release (with the delete callback it runs) happen under the lock:
 * logging and error information come after it is left, so a log callback or an
 * error-information interface may call back into the module. A pin lock is never held
 * together with another pin lock or an object's own lock.
 *
 * The locks are split by address so that calls on different records (two threads each
 * walking its own result set) do not queue on one lock and one cache line; two records that
 * share a lock only share its waiting. */
class PinLocks {
public:
    constexpr PinLocks() {
        for (Slot &s : slots_) s.lock = kUnlocked;
    }
    plx_spinlock_t *of(const void *handle) {
        /* Records lie at least 16 bytes apart: the bits above those pick the lock through a
         * multiplicative mix, so that neighbouring records get different locks. */
        uint32_t key = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) >> 4);
        return &slots_[(key * 0x9E3779B1u) >> (32 - kBits)].lock;
    }

private:
    static constexpr uint32_t kBits = 5;
    static constexpr plx_spinlock_t kUnlocked = PLX_SPINLOCK_INITIALIZER;
    struct alignas(64) Slot {
        plx_spinlock_t lock;
    };
    Slot slots_[1u << kBits];
};
inline constinit PinLocks g_pin_locks;

/* Pins one record for the scope of a call. */
class Pin {
public:
    Pin() = default;
    Pin(const Pin &) = delete;
    Pin &operator=(const Pin &) = delete;
    ~Pin() {
        if (calls_) __atomic_sub_fetch(calls_, 1, __ATOMIC_RELEASE); /* last touch of the record */
    }

    /* The opening of every call on one record: the start-up check, then acquire. 0, or the
     * code to return at once. */
    template <class Record, class Handle>
    uint32_t open(const ApiFrame &frame, Handle handle, uint32_t magic, int32_t line,
                  Record **p_record) {
        if (uint32_t code = frame.check_started()) return code;
        return acquire(frame, handle, magic, line, p_record);
    }

    /* The frame's handle check; on success the record is pinned until this Pin ends. */
    template <class Record, class Handle>
    uint32_t acquire(const ApiFrame &frame, Handle handle, uint32_t magic, int32_t line,
                     Record **p_record) {
        uint32_t code;
        {
            plx::SpinGuard guard(g_pin_locks.of(handle));
            code = frame.check_handle(handle, magic, p_record);
            if (code == 0) {
                calls_ = &(*p_record)->calls;
                __atomic_add_fetch(calls_, 1, __ATOMIC_ACQUIRE);
            }
        }
        return code == 0 ? 0 : frame.handle_failed(code, line);
    }

private:
    uint32_t *calls_ = nullptr;
};

/* True while some call has `record` pinned. Read under the record's pin lock. */
template <class Record>
bool in_use(const Record *record) {
    return __atomic_load_n(&record->calls, __ATOMIC_ACQUIRE) != 0;
}

/* What became of a release: its handle failed the check (`code` is the folded check code), the
 * record was in use (nothing done), or `end` ran and `code` is what it returned. */
struct Ending {
    enum Stage { kHandleFailed, kInUse, kEnded } stage;
    uint32_t code;
};

/* The locked part of every release: the handle check, the refusal of a record that a call
 * has pinned or that `refused` holds back, and `end` (which ends the handle), all under
 * the handle's pin lock. The caller logs and records the outcome after the lock is left. */
template <class Record, class Handle, class Refused, class End>
Ending end_unpinned(const ApiFrame &frame, Handle handle, uint32_t magic, Refused refused,
                    End end) {
    plx::SpinGuard guard(g_pin_locks.of(handle));
    Record *record = nullptr;
    if (uint32_t code = frame.check_handle(handle, magic, &record))
        return {Ending::kHandleFailed, code};
    if (in_use(record) || refused(record)) return {Ending::kInUse, 0};
    return {Ending::kEnded, end(record)};
}

/* Records error information for a failure found inside a call's body; the frame's finish()
 * logs it, so nothing is logged here. */
inline void record_error(const ApiFrame &frame, uint32_t code, const char *message) {
    host::errorinfo()->errorinfo_set(code, code, frame.function(), message);
}

/* Names the module hands to datasources: the public header's. */
inline constexpr const char kConditionInclude[] = VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE;
inline constexpr const char kConditionExclude[] = VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE;
inline constexpr const char kListTypeMoods[] = VELTRA_LIST_TYPE_MOODS;

}  // namespace vm

#endif
