/* Hash table: NUL-terminated string keys, each holding an ordered list of values (referenced or
 * copied byte ranges). Items sit in power-of-two hash buckets and in one insertion-order list,
 * so that every value can also be reached by a flat index; a cursor makes ascending
 * enumeration cost amortised constant time. A single-valued key is one item cut from chunks
 * the table owns: adding it costs no host allocation of its own. */
#include "plx/plx_hashtable_private.h"

#if defined(__SANITIZE_ADDRESS__)
#define PLX_HT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLX_HT_ASAN 1
#endif
#endif
#if defined(PLX_HT_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using plx::HashItem;
using plx::HashValue;

constexpr const char kSource[] = "plx_hashtable";

static_assert(sizeof(HashItem) == 4 * sizeof(void *) + 8, "an item is four pointers and two 32-bit words");

#define HT_FAIL(code) plx::log_error((code), kSource, __LINE__)

bool valid_key(const char *key) { return key && key[0]; }

/* data and size must be both absent or both present. */
bool valid_data(const void *data, uint32_t size) { return (data == nullptr) == (size == 0); }

bool is_case_sensitive(const plx_hashtable_t *t) {
    return (t->flags & PLX_HASHTABLE_FLAG_CASE_SENSITIVE) != 0;
}

/* Inlined into every keyed operation: finds are the hot path, and the hash is much of a find. */
[[gnu::always_inline]] inline uint32_t hash_of(const plx_hashtable_t *t, const char *key) {
    return plx::genhash(key, strlen(key), is_case_sensitive(t));
}

[[gnu::noinline, gnu::cold]] uint32_t check_failed(const plx_hashtable_t *t, bool bad_args,
                                                  int line) {
    if (!t || bad_args) return plx::log_error(plx::kHtInvalid, kSource, line);
    return plx::log_error(plx::kHtWrongMagic, kSource, line);
}

/* The check at the head of every operation on an existing table: a null table or `bad_args`
 * gives the invalid-argument code, a record that is no table the wrong-magic code; both are
 * logged under the caller's line. The failures are out of line. */
[[gnu::always_inline]] inline uint32_t check_table(const plx_hashtable_t *t, bool bad_args,
                                                   int line) {
    if (!t || bad_args || t->magic != plx::kHashTableMagic) [[unlikely]]
        return check_failed(t, bad_args, line);
    return 0;
}

/* Runs `body` inside the table's critical section (if it has one). A failure to enter is
 * returned as it is; a failure to leave replaces a successful result. */
template <class F>
uint32_t locked(plx_hashtable_t *t, F body) {
    plx::CritsecGuard guard(t->lock);
    if (uint32_t code = guard.entered()) return HT_FAIL(code);
    uint32_t result = body();
    if (uint32_t left = guard.leave()) HT_FAIL(left);
    return guard.finish(result);
}

/* ---- keys and lookup ------------------------------------------------------------------- */

/* Equality ignoring ASCII case, for keys whose bytes differ; out of line, as lookups settle
 * most keys by a byte compare first (callers mostly repeat a key's spelling). */
[[gnu::noinline]] bool keys_equal_folded(const char *stored, const char *key) {
    return plx::equal_folded(stored, key);
}

/* _plx_hashtable_finditem: the item of `key`, or null. An empty table may have no buckets.
 * Inlined into finds, where every instruction before the bucket read delays the next probe's
 * misses; other operations share one copy through find_item. */
[[gnu::always_inline]] inline HashItem *lookup(const plx_hashtable_t *t, const char *key,
                                               uint32_t hash) {
    if (t->total == 0) return nullptr;
    for (HashItem *it = t->buckets[hash & (t->bucket_count - 1)]; it; it = it->chain_next) {
        if (it->hash != hash) continue;
        const char *stored = plx::item_key(t, it);
        if (strcmp(stored, key) == 0) return it;
        if (!is_case_sensitive(t) && keys_equal_folded(stored, key)) return it;
    }
    return nullptr;
}

HashItem *find_item(const plx_hashtable_t *t, const char *key, uint32_t hash) {
    return lookup(t, key, hash);
}

void reset_cursor(plx_hashtable_t *t) {
    t->cursor = t->first;
    t->cursor_index = 0;
}

/* ---- item memory ----------------------------------------------------------------------- */

/* Under AddressSanitizer, arena bytes that hold no item are poisoned, so that a use of a removed
 * item is caught as it would be in a freed host block. */
#if defined(PLX_HT_ASAN)
void poison(const void *p, size_t n) { __asan_poison_memory_region(p, n); }
void unpoison(const void *p, size_t n) { __asan_unpoison_memory_region(p, n); }
#else
void poison(const void *, size_t) {}
void unpoison(const void *, size_t) {}
#endif

/* Bytes of the item's block: the struct and its tail (see HashItem). */
size_t item_bytes(const plx_hashtable_t *t, const HashItem *it) {
    size_t n = sizeof(HashItem) + plx::tail_data_offset(t);
    if (it->meta & plx::kMetaCopied) n += (it->meta & plx::kPackedSizeMax) + 1;
    if (!(t->flags & PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE)) n += strlen(plx::item_key(t, it)) + 1;
    return n;
}

void push_free(plx::ItemArena &a, void *p, size_t n) {
    size_t c = n / plx::kArenaGrain;
    auto *f = static_cast<HashItem *>(p);
    f->chain_next = a.free[c];
    a.free[c] = f;
    a.nonempty |= uint64_t{1} << c;
    poison(reinterpret_cast<char *>(p) + sizeof(HashItem *), n - sizeof(HashItem *));
}

void *pop_free(plx::ItemArena &a, size_t c) {
    HashItem *f = a.free[c];
    a.free[c] = f->chain_next;
    if (!a.free[c]) a.nonempty &= ~(uint64_t{1} << c);
    return f;
}

/* Starts a new chunk with room for at least `n` bytes; the old chunk's rest becomes a free
 * item of its size. */
bool arena_grow(plx::ItemArena &a, size_t n) {
    size_t size = a.next_chunk ? a.next_chunk : plx::kArenaFirstChunk;
    auto *c = static_cast<plx::ArenaChunk *>(plx_memory_alloc(size));
    if (!c) return false;
    if (size_t rest = static_cast<size_t>(a.end - a.top); rest >= sizeof(HashItem *)) {
        unpoison(a.top, rest);
        push_free(a, a.top, rest);
    }
    c->next = a.chunks;
    c->size = size;
    a.chunks = c;
    a.top = reinterpret_cast<char *>(c + 1);
    a.end = reinterpret_cast<char *>(c) + size;
    poison(a.top, static_cast<size_t>(a.end - a.top));
    a.next_chunk = size < plx::kArenaMaxChunk ? size * 2 : size;
    return static_cast<size_t>(a.end - a.top) >= n;
}

/* Memory for an item of `bytes` bytes, or null. */
void *item_alloc(plx_hashtable_t *t, size_t bytes) {
    if (bytes > plx::kArenaMaxItem) return plx_memory_alloc(bytes);
    plx::ItemArena &a = t->arena;
    size_t n = (bytes + plx::kArenaGrain - 1) & ~(plx::kArenaGrain - 1);
    void *p;
    if (uint64_t fit = a.nonempty >> (n / plx::kArenaGrain)) {
        /* A free item of this size, else the smallest larger one, whose rest stays free. */
        size_t have = n + static_cast<size_t>(__builtin_ctzll(fit)) * plx::kArenaGrain;
        p = pop_free(a, have / plx::kArenaGrain);
        unpoison(p, have);
        if (have > n) push_free(a, static_cast<char *>(p) + n, have - n);
    } else {
        if (static_cast<size_t>(a.end - a.top) < n && !arena_grow(a, n)) return nullptr;
        p = a.top;
        a.top += n;
        unpoison(p, n);
    }
    return p;
}

void item_free(plx_hashtable_t *t, HashItem *it) {
    size_t bytes = item_bytes(t, it);
    if (bytes > plx::kArenaMaxItem) {
        plx_memory_free(it);
        return;
    }
    push_free(t->arena, it, (bytes + plx::kArenaGrain - 1) & ~(plx::kArenaGrain - 1));
}

/* Gives every chunk back; the items in them must be gone. */
void arena_drop(plx::ItemArena &a) {
    for (plx::ArenaChunk *c = a.chunks; c;) {
        plx::ArenaChunk *next = c->next;
        unpoison(c, c->size);
        plx_memory_free(c);
        c = next;
    }
    a = plx::ItemArena{};
}

/* A table that lost its last item gives its chunks back, unless a retired value still borrows
 * an item's tail (none does while there are no retired values). */
void drop_if_empty(plx_hashtable_t *t) {
    if (!t->first && t->retired.count == 0) arena_drop(t->arena);
}

/* ---- values ---------------------------------------------------------------------------- */

using plx::ValueBlock;

/* A value as the operations see it, wherever it is kept. */
struct ValueView {
    void *data;
    uint32_t size;
    bool copied;
};

ValueBlock *block_of(HashItem *it) { return static_cast<ValueBlock *>(it->word); }

void set_mode(HashItem *it, plx::ItemMode mode) {
    it->meta = (it->meta & ~plx::kMetaModeMask) | (static_cast<uint32_t>(mode) << plx::kMetaModeShift);
}

/* The record of value `i`, or null for the value packed in the item. */
HashValue *record_at(HashItem *it, uint32_t i) {
    switch (plx::item_mode(it)) {
    case plx::kModePacked: return nullptr;
    case plx::kModeSingle: return static_cast<HashValue *>(it->word);
    default: return plx::block_records(block_of(it))[i];
    }
}

ValueView view_at(HashItem *it, uint32_t i) {
    uint32_t meta = it->meta;
    if (!(meta & plx::kMetaModeMask))
        return {it->word, meta & plx::kPackedSizeMax, (meta & plx::kMetaCopied) != 0};
    HashValue *v = record_at(it, i);
    return {v->data, v->size, v->copied != 0};
}

/* A shared table keeps a replaced value that was handed out alive until the next clear. */
bool retires(const plx_hashtable_t *t) {
    return (t->flags & (PLX_HASHTABLE_FLAG_THREADSAFE | PLX_HASHTABLE_FLAG_NO_RETIRE)) ==
           PLX_HASHTABLE_FLAG_THREADSAFE;
}

/* Value `i` for a caller, who may keep the pointer: marks it handed out. Only retirement reads
 * the mark, so a table that never retires skips it, and the mark is written only when missing:
 * lookups then leave the item's cache lines clean. */
ValueView hand_out(const plx_hashtable_t *t, HashItem *it, uint32_t i) {
    if (!retires(t)) return view_at(it, i);
    if (HashValue *v = record_at(it, i)) {
        if (!v->handed_out) v->handed_out = 1;
    } else if (!(it->meta & plx::kMetaHandedOut)) {
        it->meta |= plx::kMetaHandedOut;
    }
    return view_at(it, i);
}

/* _plx_hashtable_createvalue: a separate record for (data, size), followed by the copy. */
HashValue *make_value(const void *data, uint32_t size, bool copy) {
    copy = copy && data;
    if (copy && size > SIZE_MAX - sizeof(HashValue)) return nullptr;
    auto *v = static_cast<HashValue *>(plx_memory_alloc(sizeof(HashValue) + (copy ? size : 0)));
    if (!v) return nullptr;
    *v = HashValue{};
    v->separate = 1;
    v->size = size;
    if (copy) {
        v->data = v + 1;
        memcpy(v->data, data, size);
        v->copied = 1;
    } else {
        v->data = const_cast<void *>(data);
    }
    return v;
}

void free_data(const plx_hashtable_t *t, void *data, uint32_t size) {
    if (data && t->free_fn) t->free_fn(data, size);
}

/* _plx_hashtable_freevalue for a record: callback on its data, then the record's block. */
void dispose_record(const plx_hashtable_t *t, HashValue *v) {
    free_data(t, v->data, v->size);
    if (v->separate) plx_memory_free(v);
}

/* The item whose tail holds `data`, the copy of its first value. */
HashItem *owner_of(const plx_hashtable_t *t, void *data) {
    return reinterpret_cast<HashItem *>(static_cast<char *>(data) - plx::tail_data_offset(t) -
                                        sizeof(HashItem));
}

/* Disposes of a retired record; one that borrowed an item's tail lets go of the item. */
void dispose_retired(plx_hashtable_t *t, HashValue *v) {
    HashItem *owner = v->borrowed ? owner_of(t, v->data) : nullptr;
    dispose_record(t, v);
    if (!owner) return;
    if (owner->meta & plx::kMetaOrphan)
        item_free(t, owner);
    else
        owner->meta &= ~plx::kMetaPinned;
}

/* Appends to the table's retired list (capacity 0, 1, 2, 4, ...). */
bool push_retired(plx_hashtable_t *t, HashValue *v) {
    plx::RetiredList &r = t->retired;
    if (r.count == r.capacity) {
        uint32_t cap = r.capacity ? r.capacity * 2 : 1;
        if (cap < r.capacity || plx::mul_overflows(cap, sizeof(HashValue *))) return false;
        auto **arr = static_cast<HashValue **>(
            plx_memory_realloc(r.records, static_cast<size_t>(cap) * sizeof(HashValue *)));
        if (!arr) return false;
        r.records = arr;
        r.capacity = cap;
    }
    r.records[r.count++] = v;
    return true;
}

/* Lets go of a value just taken out of `it` by a replacement: a shared table that retires keeps
 * a handed-out value on the retired list (the first value through a record of its own that
 * borrows the item's tail), everything else is disposed of at once. */
void let_go(plx_hashtable_t *t, HashItem *it, HashValue *rec, ValueView old, bool handed_out) {
    bool keep = handed_out && retires(t);
    if (rec && rec->separate) {
        if (!keep || !push_retired(t, rec)) dispose_record(t, rec);
        return;
    }
    if (keep) {
        HashValue *r = make_value(old.data, old.size, false);
        if (r) {
            r->copied = old.copied;
            r->borrowed = old.copied;
            r->handed_out = 1;
            if (push_retired(t, r)) {
                if (old.copied) it->meta |= plx::kMetaPinned;
                return;
            }
            plx_memory_free(r);
        }
    }
    free_data(t, old.data, old.size);
}

/* _plx_hashtable_addvalue: appends `v` to the item's values; the first further value moves
 * them into a value block, which then doubles when full. False (nothing changed) when the
 * block cannot be made or grown. */
bool append_value(HashItem *it, HashValue *v) {
    plx::ItemMode mode = plx::item_mode(it);
    if (mode != plx::kModeBlock) {
        auto *b = static_cast<ValueBlock *>(
            plx_memory_alloc(sizeof(ValueBlock) + 2 * sizeof(HashValue *)));
        if (!b) return false;
        *b = ValueBlock{};
        b->capacity = 2;
        HashValue **records = plx::block_records(b);
        if (mode == plx::kModePacked) {
            b->first.data = it->word;
            b->first.size = it->meta & plx::kPackedSizeMax;
            b->first.copied = (it->meta & plx::kMetaCopied) != 0;
            b->first.handed_out = (it->meta & plx::kMetaHandedOut) != 0;
            records[0] = &b->first;
        } else {
            records[0] = static_cast<HashValue *>(it->word);
        }
        records[1] = v;
        b->count = 2;
        it->word = b;
        set_mode(it, plx::kModeBlock);
        return true;
    }
    ValueBlock *b = block_of(it);
    if (b->count == b->capacity) {
        uint32_t cap = b->capacity * 2;
        if (cap < b->capacity || cap > (SIZE_MAX - sizeof(ValueBlock)) / sizeof(HashValue *))
            return false;
        /* A record may point at the block's own first value: find it to re-point it. */
        HashValue **records = plx::block_records(b);
        uint32_t first_at = b->count;
        for (uint32_t i = 0; i < b->count; ++i)
            if (records[i] == &b->first) first_at = i;
        b = static_cast<ValueBlock *>(
            plx_memory_realloc(b, sizeof(ValueBlock) + static_cast<size_t>(cap) * sizeof(HashValue *)));
        if (!b) return false;
        b->capacity = cap;
        if (first_at < b->count) plx::block_records(b)[first_at] = &b->first;
        it->word = b;
    }
    plx::block_records(b)[b->count++] = v;
    return true;
}

/* _plx_hashtable_updatevalue: replaces value `index` of the item with a new record; count and
 * enumeration position stay. */
uint32_t replace_value(plx_hashtable_t *t, HashItem *it, uint32_t index, const void *data,
                       uint32_t size, bool copy) {
    if (index >= plx::item_count(it)) return plx::kHtNotFound;
    HashValue *v = make_value(data, size, copy);
    if (!v) return HT_FAIL(plx::kHtNoMemory);
    HashValue *old_rec = record_at(it, index);
    ValueView old = view_at(it, index);
    bool handed_out = old_rec ? old_rec->handed_out != 0 : (it->meta & plx::kMetaHandedOut) != 0;
    if (plx::item_mode(it) == plx::kModeBlock) {
        plx::block_records(block_of(it))[index] = v;
    } else {
        it->word = v;
        set_mode(it, plx::kModeSingle);
    }
    let_go(t, it, old_rec, old, handed_out);
    return 0;
}

/* ---- items ----------------------------------------------------------------------------- */

/* _plx_hashtable_createitem: one block holding the item, its first value and the key. `klen`
 * is the key's length without terminator (unused under key-by-reference). A first value too
 * large to pack gets a record of its own. */
HashItem *make_item(plx_hashtable_t *t, const char *key, size_t klen, uint32_t hash,
                    const void *data, uint32_t size, bool copy) {
    bool by_ref = (t->flags & PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE) != 0;
    copy = copy && data;
    HashValue *rec = nullptr;
    if (size > plx::kPackedSizeMax) {
        rec = make_value(data, size, copy);
        if (!rec) return nullptr;
        copy = false;
    }
    size_t extra = by_ref ? sizeof(const char *) : klen + 1;
    if (extra > SIZE_MAX - sizeof(HashItem) - 1 ||
        (copy && size > SIZE_MAX - sizeof(HashItem) - 1 - extra)) {
        plx_memory_free(rec);
        return nullptr;
    }
    if (copy) extra += static_cast<size_t>(size) + 1;
    auto *it = static_cast<HashItem *>(item_alloc(t, sizeof(HashItem) + extra));
    if (!it) {
        plx_memory_free(rec);
        return nullptr;
    }
    *it = HashItem{};
    it->hash = hash;
    char *tail = reinterpret_cast<char *>(it + 1);
    if (by_ref) {
        memcpy(tail, &key, sizeof key);
        tail += sizeof key;
    }
    if (rec) {
        it->word = rec;
        set_mode(it, plx::kModeSingle);
    } else if (copy) {
        memcpy(tail, data, size);
        tail[size] = 0;
        it->word = tail;
        it->meta = size | plx::kMetaCopied;
        tail += static_cast<size_t>(size) + 1;
    } else {
        it->word = const_cast<void *>(data);
        it->meta = size;
    }
    if (!by_ref) memcpy(tail, key, klen + 1);
    return it;
}

/* Frees the item's own memory, unless a retired record still borrows its tail. */
void release_item(plx_hashtable_t *t, HashItem *it) {
    if (plx::item_mode(it) == plx::kModeBlock) plx_memory_free(it->word);
    if (it->meta & plx::kMetaPinned)
        it->meta |= plx::kMetaOrphan;
    else
        item_free(t, it);
}

/* _plx_hashtable_freeitem: disposes of the item's values in order, then frees it. */
void dispose_item(plx_hashtable_t *t, HashItem *it) {
    switch (plx::item_mode(it)) {
    case plx::kModePacked: free_data(t, it->word, it->meta & plx::kPackedSizeMax); break;
    case plx::kModeSingle: dispose_record(t, static_cast<HashValue *>(it->word)); break;
    default: {
        ValueBlock *b = block_of(it);
        for (uint32_t i = 0; i < b->count; ++i) dispose_record(t, plx::block_records(b)[i]);
    }
    }
    release_item(t, it);
}

void push_chain(plx_hashtable_t *t, HashItem *it) {
    HashItem **head = &t->buckets[it->hash & (t->bucket_count - 1)];
    if (!*head) ++t->used_buckets;
    it->chain_next = *head;
    *head = it;
}

/* _plx_hashtable_additem: bucket chain head, list tail, total. */
void link_item(plx_hashtable_t *t, HashItem *it) {
    push_chain(t, it);
    it->list_prev = t->last;
    it->list_next = nullptr;
    if (t->last)
        t->last->list_next = it;
    else
        t->first = it;
    t->last = it;
    t->total += plx::item_count(it);
}

/* _plx_hashtable_removeitem. The collision counter is never decreased. */
void unlink_item(plx_hashtable_t *t, HashItem *it) {
    HashItem **head = &t->buckets[it->hash & (t->bucket_count - 1)];
    HashItem **pp = head;
    while (*pp != it) pp = &(*pp)->chain_next;
    *pp = it->chain_next;
    if (!*head) --t->used_buckets;
    (it->list_prev ? it->list_prev->list_next : t->first) = it->list_next;
    (it->list_next ? it->list_next->list_prev : t->last) = it->list_prev;
    t->total -= plx::item_count(it);
    it->chain_next = it->list_next = it->list_prev = nullptr;
}

/* _plx_hashtable_setsize: a new zeroed bucket array, every item relinked in list order by its
 * stored hash. On failure the old array and all links stay. */
bool set_size(plx_hashtable_t *t, uint32_t count) {
    if (plx::mul_overflows(count, sizeof(HashItem *))) return false;
    auto **buckets =
        static_cast<HashItem **>(plx::alloc_zeroed(static_cast<size_t>(count) * sizeof(HashItem *)));
    if (!buckets) return false;
    plx_memory_free(t->buckets);
    t->buckets = buckets;
    t->bucket_count = count;
    t->used_buckets = 0;
    t->collisions = 0;
    for (HashItem *it = t->first; it; it = it->list_next) push_chain(t, it);
    t->cursor = nullptr;
    t->cursor_index = 0;
    return true;
}

/* Links a new item, first growing the buckets when (used + collisions) * 4 / 3 reaches their
 * count. On failure nothing has changed and the item is still the caller's. */
uint32_t insert_item(plx_hashtable_t *t, HashItem *it) {
    uint32_t collisions = t->collisions;
    if (t->buckets && t->buckets[it->hash & (t->bucket_count - 1)]) ++collisions;
    uint64_t measure = (static_cast<uint64_t>(t->used_buckets) + collisions) * 4 / 3;
    if (!t->buckets || t->bucket_count <= measure) {
        /* The smallest power of two above the measure is always above the current count. */
        uint64_t size = plx::kMinBuckets;
        while (size <= measure) size <<= 1;
        if (size > 0x80000000u || !set_size(t, static_cast<uint32_t>(size)))
            return HT_FAIL(plx::kHtNoMemory);
        collisions = 0;
    }
    t->collisions = collisions;
    link_item(t, it);
    reset_cursor(t);
    return 0;
}

/* Takes value `pos` out of the item (later values move down) and either hands it back (a
 * referenced value, through the outs and without a callback) or disposes of it. An item left
 * without values leaves the table. */
void remove_value(plx_hashtable_t *t, HashItem *it, uint32_t pos, bool hand_back, void **p_data,
                  uint32_t *p_size) {
    uint32_t n = plx::item_count(it);
    HashValue *rec = record_at(it, pos);
    ValueView v = view_at(it, pos);
    if (n == 1) {
        unlink_item(t, it);
    } else {
        ValueBlock *b = block_of(it);
        HashValue **records = plx::block_records(b);
        memmove(&records[pos], &records[pos + 1], (n - pos - 1) * sizeof(HashValue *));
        --b->count;
        --t->total;
    }
    reset_cursor(t);
    bool give = hand_back && !v.copied;
    if (!give) free_data(t, v.data, v.size);
    if (rec && rec->separate) plx_memory_free(rec);
    if (hand_back) {
        if (p_data) *p_data = give ? v.data : nullptr;
        if (p_size) *p_size = give ? v.size : 0;
    }
    if (n == 1) {
        release_item(t, it);
        drop_if_empty(t);
    }
}

/* Empties the table: retired values, then every item and the chunks that held them; buckets
 * and collisions stay. */
void clear_table(plx_hashtable_t *t) {
    plx::RetiredList &r = t->retired;
    for (uint32_t i = 0; i < r.count; ++i) dispose_retired(t, r.records[i]);
    plx_memory_free(r.records);
    r = plx::RetiredList{};
    for (HashItem *it = t->first; it;) {
        HashItem *next = it->list_next;
        dispose_item(t, it);
        it = next;
    }
    arena_drop(t->arena);
    if (t->buckets) memset(t->buckets, 0, static_cast<size_t>(t->bucket_count) * sizeof(HashItem *));
    t->used_buckets = 0;
    t->first = t->last = nullptr;
    t->total = 0;
    t->cursor = nullptr;
    t->cursor_index = 0;
}

/* Frees the table's own memory: lock, buckets, record. */
void free_table(plx_hashtable_t *t) {
    plx_thread_critsec_delete(t->lock);
    plx_memory_free(t->buckets);
    t->magic = 0;
    plx_memory_free(t);
}

uint32_t new_table(uint32_t flags, plx_hashtable_free_fn free_fn, plx_hashtable_t **p_table) {
    plx_hashtable_t *t = plx::alloc_record<plx_hashtable_t>();
    if (!t) return HT_FAIL(plx::kHtNoMemory);
    if (flags & PLX_HASHTABLE_FLAG_THREADSAFE) {
        uint32_t code = plx_thread_critsec_create(&t->lock);
        if (code) {
            plx_memory_free(t);
            return HT_FAIL(code);
        }
    }
    t->magic = plx::kHashTableMagic;
    t->flags = flags;
    t->free_fn = free_fn;
    *p_table = t;
    return 0;
}

/* Builds the copy's item for a source item: same hash, key and values, in order. */
HashItem *copy_item(const plx_hashtable_t *src, plx_hashtable_t *dst, HashItem *s) {
    const char *key = plx::item_key(src, s);
    bool by_ref = (src->flags & PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE) != 0;
    ValueView first = view_at(s, 0);
    HashItem *it = make_item(dst, key, by_ref ? 0 : strlen(key), s->hash, first.data, first.size,
                             first.copied);
    if (!it) return nullptr;
    for (uint32_t i = 1, n = plx::item_count(s); i < n; ++i) {
        ValueView v0 = view_at(s, i);
        HashValue *v = make_value(v0.data, v0.size, v0.copied);
        if (!v || !append_value(it, v)) {
            plx_memory_free(v);
            dispose_item(dst, it); /* dst has no callback yet: frees without calling it */
            return nullptr;
        }
    }
    return it;
}

/* Value `index` of the flat order for plx_hashtable_index_get; `shared`: the caller holds the
 * lock of a table that may retire the value. */
[[gnu::always_inline]] inline uint32_t get_at(plx_hashtable_t *t, uint32_t index, bool shared,
                                              const char **p_key, const void **p_data,
                                              uint32_t *p_size) {
    HashItem *it;
    uint32_t pos;
    uint32_t code = plx::cursor_seek(t, index, &it, &pos, [] {});
    if (code) return code;
    ValueView v = shared ? hand_out(t, it, pos) : view_at(it, pos);
    if (p_key) *p_key = plx::item_key(t, it);
    if (p_data) *p_data = v.data;
    if (p_size) *p_size = v.size;
    return 0;
}

/* get_at under the lock, out of line so that the unlocked path stays a leaf. */
[[gnu::noinline]] uint32_t get_at_locked(plx_hashtable_t *t, uint32_t index, const char **p_key,
                                         const void **p_data, uint32_t *p_size) {
    return locked(t, [&] { return get_at(t, index, true, p_key, p_data, p_size); });
}

}  // namespace

extern "C" {

/* Creates an empty table; its bucket array comes with the first add. Fails with 0x900D0007
 * while the datatypes module is down. */
plx_error_t plx_hashtable_create(plx_hashtable_t **p_table, uint32_t flags,
                                 plx_hashtable_free_fn free_fn) {
    if (plx_datatypes_initchecks() == 0) return plx::kHtNotInitialized;
    if (!p_table) return HT_FAIL(plx::kHtInvalid);
    return new_table(flags, free_fn, p_table);
}

/* Disposes of everything the table holds and frees it; a null table is fine. */
plx_error_t plx_hashtable_delete(plx_hashtable_t *table) {
    if (!table) return 0;
    if (uint32_t code = check_table(table, false, __LINE__)) return code;
    uint32_t code = locked(table, [&] {
        clear_table(table);
        return 0u;
    });
    if (code) return code;
    free_table(table);
    return 0;
}

/* Disposes of all values, items and retired values; the bucket array stays. */
plx_error_t plx_hashtable_clear(plx_hashtable_t *table) {
    if (uint32_t code = check_table(table, false, __LINE__)) return code;
    return locked(table, [&] {
        clear_table(table);
        return 0u;
    });
}

/* A new table with the same flags, callback, keys and values in the same order. Copied data is
 * copied again; referenced data is then referenced by both tables. A failed copy leaves
 * nothing behind and calls no callback. */
plx_error_t plx_hashtable_copy(plx_hashtable_t *table, plx_hashtable_t **p_copy) {
    if (uint32_t code = check_table(table, !p_copy, __LINE__)) return code;
    return locked(table, [&]() -> uint32_t {
        plx_hashtable_t *copy = nullptr;
        uint32_t code = new_table(table->flags, nullptr, &copy);
        if (code) return code;
        auto discard = plx::ScopeExit([&] {
            clear_table(copy);
            free_table(copy);
        });
        if (table->total != 0) {
            if (!set_size(copy, table->bucket_count)) return HT_FAIL(plx::kHtNoMemory);
            for (HashItem *s = table->first; s; s = s->list_next) {
                HashItem *it = copy_item(table, copy, s);
                if (!it) return HT_FAIL(plx::kHtNoMemory);
                link_item(copy, it);
            }
            copy->collisions = 0;
            reset_cursor(copy);
        }
        discard.dismiss();
        copy->free_fn = table->free_fn;
        *p_copy = copy;
        return 0;
    });
}

/* Total number of values over all keys. */
plx_error_t plx_hashtable_count(plx_hashtable_t *table, uint32_t *p_count) {
    if (uint32_t code = check_table(table, !p_count, __LINE__)) return code;
    return locked(table, [&] {
        *p_count = table->total;
        return 0u;
    });
}

/* Adds (data, size) under key: a new key goes to the end of the enumeration order; an existing
 * key fails (unique keys), gains a further value (multi-value) or has its value replaced. A
 * failed add changes nothing and leaves the data with the caller. */
plx_error_t plx_hashtable_value_add(plx_hashtable_t *table, const char *key, const void *data,
                                    uint32_t size, uint8_t copy) {
    if (uint32_t code = check_table(table, !valid_key(key) || !valid_data(data, size), __LINE__))
        return code;
    size_t klen = strlen(key);
    uint32_t hash = plx::genhash(key, klen, is_case_sensitive(table));
    return locked(table, [&]() -> uint32_t {
        if (HashItem *it = find_item(table, key, hash)) {
            if (table->flags & PLX_HASHTABLE_FLAG_UNIQUE_KEYS) return HT_FAIL(plx::kHtKeyExists);
            if (!(table->flags & PLX_HASHTABLE_FLAG_MULTI_VALUE))
                return replace_value(table, it, 0, data, size, copy != 0);
            HashValue *v = make_value(data, size, copy != 0);
            if (!v) return HT_FAIL(plx::kHtNoMemory);
            if (!append_value(it, v)) {
                plx_memory_free(v);
                return HT_FAIL(plx::kHtNoMemory);
            }
            ++table->total;
            reset_cursor(table);
            return 0;
        }
        HashItem *it = make_item(table, key, klen, hash, data, size, copy != 0);
        if (!it) return HT_FAIL(plx::kHtNoMemory);
        uint32_t code = insert_item(table, it);
        if (code) item_free(table, it);
        return code;
    });
}

/* The number of values of key; an absent key returns 0 and leaves *p_count as it was. */
plx_error_t plx_hashtable_value_count(plx_hashtable_t *table, const char *key, uint32_t *p_count) {
    if (uint32_t code = check_table(table, !valid_key(key) || !p_count, __LINE__)) return code;
    uint32_t hash = hash_of(table, key);
    return locked(table, [&] {
        if (HashItem *it = find_item(table, key, hash)) *p_count = plx::item_count(it);
        return 0u;
    });
}

/* Value `index` of key. The data pointer stays valid until the value is removed, or, in a
 * shared table that retires values, until the next clear. */
plx_error_t plx_hashtable_value_find_ex(plx_hashtable_t *table, const char *key, uint32_t index,
                                        const void **p_data, uint32_t *p_size) {
    if (!table) return plx::kHtNotFound;
    if (uint32_t code = check_table(table, !valid_key(key), __LINE__)) return code;
    uint32_t hash = hash_of(table, key);
    return locked(table, [&]() -> uint32_t {
        HashItem *it = lookup(table, key, hash);
        if (!it || index >= plx::item_count(it)) return plx::kHtNotFound;
        ValueView v = hand_out(table, it, index);
        if (p_data) *p_data = v.data;
        if (p_size) *p_size = v.size;
        return 0;
    });
}

/* Replaces value `index` of an existing key; count and enumeration position stay. */
plx_error_t plx_hashtable_value_update_ex(plx_hashtable_t *table, const char *key, uint32_t index,
                                          const void *data, uint32_t size, uint8_t copy) {
    if (uint32_t code = check_table(table, !valid_key(key) || !valid_data(data, size), __LINE__))
        return code;
    uint32_t hash = hash_of(table, key);
    return locked(table, [&]() -> uint32_t {
        HashItem *it = find_item(table, key, hash);
        if (!it) return plx::kHtNotFound;
        return replace_value(table, it, index, data, size, copy != 0);
    });
}

/* Removes value `index` of key (later values move down one place). A referenced value goes
 * back to the caller through the outs without a callback; a copied one is disposed of and the
 * outs receive null and 0. A key left without values is removed. */
plx_error_t plx_hashtable_value_remove_ex(plx_hashtable_t *table, const char *key, uint32_t index,
                                          void **p_data, uint32_t *p_size) {
    if (uint32_t code = check_table(table, !valid_key(key), __LINE__)) return code;
    uint32_t hash = hash_of(table, key);
    return locked(table, [&]() -> uint32_t {
        HashItem *it = find_item(table, key, hash);
        if (!it || index >= plx::item_count(it)) return plx::kHtNotFound;
        remove_value(table, it, index, true, p_data, p_size);
        return 0;
    });
}

/* Removes key with all its values. */
plx_error_t plx_hashtable_value_delete(plx_hashtable_t *table, const char *key) {
    if (uint32_t code = check_table(table, !valid_key(key), __LINE__)) return code;
    uint32_t hash = hash_of(table, key);
    return locked(table, [&]() -> uint32_t {
        HashItem *it = find_item(table, key, hash);
        if (!it) return plx::kHtNotFound;
        unlink_item(table, it);
        dispose_item(table, it);
        drop_if_empty(table);
        reset_cursor(table);
        return 0;
    });
}

/* The value at flat index `index` (keys in insertion order, each key's values in order), with
 * its key. Ascending calls cost amortised constant time. A table without a lock (which then
 * never retires values, so nothing is marked) is read without the guard, by a leaf function. */
plx_error_t plx_hashtable_index_get(plx_hashtable_t *table, uint32_t index, const char **p_key,
                                    const void **p_data, uint32_t *p_size) {
    if (!table || table->magic != plx::kHashTableMagic) [[unlikely]]
        return check_table(table, false, __LINE__);
    if (table->lock) [[unlikely]]
        return get_at_locked(table, index, p_key, p_data, p_size);
    return get_at(table, index, false, p_key, p_data, p_size);
}

/* Removes and disposes of the value at flat index `index`. */
plx_error_t plx_hashtable_index_remove(plx_hashtable_t *table, uint32_t index) {
    if (uint32_t code = check_table(table, false, __LINE__)) return code;
    return locked(table, [&]() -> uint32_t {
        HashItem *it;
        uint32_t pos;
        uint32_t code = plx::cursor_seek(table, index, &it, &pos, [] {});
        if (code) return code;
        remove_value(table, it, pos, false, nullptr, nullptr);
        return 0;
    });
}

}  // extern "C"
