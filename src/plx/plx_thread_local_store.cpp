/* Per-thread storage: slot numbers handed out process-wide, the local store that holds one
 * thread's slot values with their delete callbacks, and the store operations on thread
 * records. A thread's store is meant to be used by that thread; nothing here locks. */
#include "plx/plx_thread_private.h"

using plx::kThreadInvalid;
using plx::kThreadNoMemory;
using plx::kThreadNoSuchThread;

namespace {

/* The last slot handed out; slots are never reused. */
int32_t g_plx_thread_tls_next_slot = -1;

/* Grows `store` by whole steps of 16 zeroed entries until `slot` lies inside it, in one
 * allocation. The array is left as it was when that fails. */
uint32_t store_grow(plx_thread_local_store_t *store, int32_t slot) {
    const int64_t want = (static_cast<int64_t>(slot) / plx::kStoreGrowth + 1) * plx::kStoreGrowth;
    if (want > INT32_MAX ||
        plx::mul_overflows(static_cast<uint32_t>(want), static_cast<uint32_t>(sizeof(PlxStoreEntry))))
        return kThreadNoMemory;
    const size_t bytes = static_cast<size_t>(want) * sizeof(PlxStoreEntry);
    void *grown = store->entries ? plx_memory_realloc(store->entries, bytes) : plx_memory_alloc(bytes);
    if (!grown) return kThreadNoMemory;
    auto *entries = static_cast<PlxStoreEntry *>(grown);
    memset(entries + store->count, 0,
           static_cast<size_t>(want - store->count) * sizeof(PlxStoreEntry));
    store->entries = entries;
    store->count = static_cast<int32_t>(want);
    return 0;
}

}  // namespace

extern "C" {

/* ---- the local store object ------------------------------------------------------------- */

/* Creates an empty store (no entries until a slot is set). */
plx_error_t thread_local_store_create(plx_thread_local_store_t **p_store) {
    if (!p_store) return kThreadInvalid;
    plx_thread_local_store_t *store = plx::alloc_record<plx_thread_local_store_t>();
    if (!store) return kThreadNoMemory;
    *p_store = store;
    return 0;
}

/* Runs the delete callback of every set slot holding a non-null value, then frees the store.
 * Null is ignored; always 0. */
plx_error_t thread_local_store_delete(plx_thread_local_store_t *store) {
    if (!store) return 0;
    for (int32_t i = 0; i < store->count; ++i) {
        const PlxStoreEntry &e = store->entries[i];
        if (e.used && e.value && e.delete_fn) e.delete_fn(e.value);
    }
    plx_memory_free(store->entries);
    plx_memory_free(store);
    return 0;
}

/* The value of `slot`; 0x90020003 when it was never set (or has been cleared). */
plx_error_t thread_local_store_data_get(plx_thread_local_store_t *store, int32_t slot,
                                        void **p_value) {
    if (!store || slot < 0 || !p_value) return kThreadInvalid;
    if (slot >= store->count || !store->entries[slot].used) return kThreadNoSuchThread;
    *p_value = store->entries[slot].value;
    return 0;
}

/* Stores `value` in `slot`, growing the store as needed (0x90020002 when it cannot). The value
 * it replaces first goes to its own delete callback, even when it is the value being stored
 * again: the caller handed over one value per set. */
plx_error_t thread_local_store_data_set(plx_thread_local_store_t *store, int32_t slot, void *value,
                                        plx_thread_store_delete_fn delete_fn) {
    if (!store || slot < 0) return kThreadInvalid;
    if (slot >= store->count) {
        if (uint32_t code = store_grow(store, slot)) return code;
    } else {
        const PlxStoreEntry &old = store->entries[slot];
        if (old.delete_fn && old.value) old.delete_fn(old.value);
    }
    /* Indexed afresh: the callback may have grown (moved) the array. */
    store->entries[slot] = PlxStoreEntry{1, value, delete_fn};
    return 0;
}

/* Empties `slot`, handing a non-null value to its delete callback; a slot beyond the store is
 * already empty. */
plx_error_t thread_local_store_data_clear(plx_thread_local_store_t *store, int32_t slot) {
    if (!store || slot < 0) return kThreadInvalid;
    if (slot >= store->count) return 0;
    PlxStoreEntry e = store->entries[slot];
    store->entries[slot] = PlxStoreEntry{};
    if (e.delete_fn && e.value) e.delete_fn(e.value);
    return 0;
}

/* The next process-wide slot number: 0, 1, 2, ... from any thread. */
plx_error_t thread_local_store_data_get_next_slot(int32_t *p_slot) {
    if (!p_slot) return kThreadInvalid;
    *p_slot = __atomic_add_fetch(&g_plx_thread_tls_next_slot, 1, __ATOMIC_RELAXED);
    return 0;
}

/* ---- the store of a thread -------------------------------------------------------------- */

plx_error_t plx_thread_store_get_next_slot(int32_t *p_slot) {
    return thread_local_store_data_get_next_slot(p_slot);
}

/* Sets `slot` of `thread` (null: the caller, which gets a record if it has none). The thread
 * is resolved before the slot is judged, so a foreign handle reports 0x90020321 first. */
plx_error_t plx_thread_store_set(plx_thread_t *thread, int32_t slot, void *value,
                                 plx_thread_store_delete_fn delete_fn) {
    uint32_t code;
    plx_thread_t *t = thread ? plx::thread_checked(thread, &code) : plx::thread_current(true, &code);
    if (!t) return code;
    if (slot < 0) return kThreadInvalid;
    if (!t->store) {
        if ((code = thread_local_store_create(&t->store)) != 0) return code;
    }
    return thread_local_store_data_set(t->store, slot, value, delete_fn);
}

/* The value of `slot` of `thread` (null: the caller); 0x90020003 when the caller has no
 * record, the thread no store or the slot holds nothing. The slot number is judged by the
 * store itself, after those. */
plx_error_t plx_thread_store_get(plx_thread_t *thread, int32_t slot, void **p_value) {
    if (!p_value) return kThreadInvalid;
    uint32_t code;
    plx_thread_t *t = thread ? plx::thread_checked(thread, &code) : plx::thread_current(false, &code);
    if (!t) return code ? code : kThreadNoSuchThread;
    if (!t->store) return kThreadNoSuchThread;
    return thread_local_store_data_get(t->store, slot, p_value);
}

/* Empties `slot` of `thread` (null: the caller), running its delete callback; nothing to do
 * (0) when the thread has no record or no store, whatever the slot. */
plx_error_t plx_thread_store_clear(plx_thread_t *thread, int32_t slot) {
    uint32_t code;
    plx_thread_t *t = thread ? plx::thread_checked(thread, &code) : plx::thread_current(false, &code);
    if (!t) return code;
    if (!t->store) return 0;
    return thread_local_store_data_clear(t->store, slot);
}

}  // extern "C"
