/* Private to the hash table and the string map built on it: the records behind the opaque
 * handle, the key hash, and the flat-index cursor walk. The hash and the walk are inline so that
 * white-box tests can run the very same code with a step counter. */
#ifndef PLX_HASHTABLE_PRIVATE_H
#define PLX_HASHTABLE_PRIVATE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "plx/plx_internal.h"

namespace plx {

/* Codes of the datatypes package that the hash table and the string map answer with. */
inline constexpr uint32_t kHtInvalid = error_code(kPkgDatatypes, kInvalidArg);
inline constexpr uint32_t kHtNoMemory = error_code(kPkgDatatypes, kNoMemory);
inline constexpr uint32_t kHtNotInitialized = error_code(kPkgDatatypes, kNotInitialized);
inline constexpr uint32_t kHtWrongMagic = error_code(kPkgDatatypes, kWrongMagic);
inline constexpr uint32_t kHtNotString = error_code(kPkgDatatypes, 0x0360);
inline constexpr uint32_t kHtKeyExists = error_code(kPkgDatatypes, 0x0368);
inline constexpr uint32_t kHtNotFound = status_code(kPkgDatatypes, kNotFound);
inline constexpr uint32_t kHtPastEnd = status_code(kPkgDatatypes, 0x0361);

inline constexpr uint32_t kHashTableMagic = 0x12ABCDEFu;
inline constexpr uint32_t kHashSeed = 5381u;
inline constexpr uint32_t kMinBuckets = 16u;

/* A value record of its own: one block holding the record and, when copied, the data (no
 * terminator added). A value block also embeds one record (see ValueBlock). */
struct HashValue {
    void *data;          /* caller's data, the table's copy, or null (then size is 0) */
    uint32_t size;       /* bytes at data; 0 exactly when data is null */
    uint8_t copied;      /* data is the table's own copy */
    uint8_t separate;    /* record is a block of its own, freed with the value */
    uint8_t handed_out;  /* a lookup gave data to a caller; never cleared */
    uint8_t borrowed;    /* retired record whose data is the first value's copy inside its
                            item: that item's block is kept until the record goes */
};

/* The values of a key that has held more than one value at a time: one block with the
 * record array behind it. */
struct ValueBlock {
    uint32_t count;     /* records in use */
    uint32_t capacity;  /* room for records, a power of two >= 2 */
    HashValue first;    /* the item's packed first value, moved here when the key grew while
                           it was still held; records[] may point at it */
    /* HashValue *records[capacity] follows */
};

inline HashValue **block_records(ValueBlock *b) { return reinterpret_cast<HashValue **>(b + 1); }

/* HashItem::meta: the first value's size in the low bits, state bits above it. */
inline constexpr uint32_t kPackedSizeMax = 0x03FFFFFFu;  /* larger first values get a record */
inline constexpr uint32_t kMetaOrphan = 1u << 26;        /* left the table; a retired record
                                                            still borrows the block */
inline constexpr uint32_t kMetaModeShift = 27;           /* 2 bits: ItemMode */
inline constexpr uint32_t kMetaModeMask = 3u << kMetaModeShift;
inline constexpr uint32_t kMetaCopied = 1u << 29;        /* first value was copied into the tail */
inline constexpr uint32_t kMetaHandedOut = 1u << 30;     /* packed value given to a caller */
inline constexpr uint32_t kMetaPinned = 1u << 31;        /* a retired record borrows the tail */

/* How an item holds its values, which decides the meaning of HashItem::word. */
enum ItemMode : uint32_t {
    kModePacked = 0,  /* one value, the first, packed in the item: word = its data */
    kModeSingle = 1,  /* one value in a record of its own: word = HashValue * */
    kModeBlock = 2,   /* any number of records: word = ValueBlock * */
};

/* One key: a single block holding the links and the first value, and behind the struct
 * (40 bytes on 64-bit targets, 24 on 32-bit: a single-valued key costs little more than its key)
 *   [the caller's key pointer, under key-by-reference]
 *   [the first value's copy and a zero byte, when it was copied]
 *   [the key's copy with its terminator, unless key-by-reference]. */
struct HashItem {
    HashItem *chain_next;  /* next item in the same bucket */
    HashItem *list_next;   /* insertion order */
    HashItem *list_prev;
    uint32_t hash;         /* key hash, kept so that a resize never rehashes */
    uint32_t meta;         /* first value's size (never changes: the key is found behind the
                              copy through it) and the kMeta* bits */
    void *word;            /* per ItemMode */
};

/* A growable array of value records: the table's retired values. */
struct RetiredList {
    HashValue **records;
    uint32_t count;
    uint32_t capacity;  /* 0 while no array exists */
};

}  // namespace plx

/* The table behind plx_hashtable_t. */
struct plx_hashtable_s {
    uint32_t magic;               /* kHashTableMagic while live */
    uint32_t flags;               /* creation flags, fixed */
    plx_thread_critsec_t *lock;   /* own section under the thread-safe flag, else null */
    plx_hashtable_free_fn free_fn;
    plx::HashItem *first;         /* insertion-order list */
    plx::HashItem *last;
    uint32_t total;               /* values over all items */
    uint32_t cursor_index;        /* flat index of the cursor item's first value */
    plx::HashItem *cursor;        /* enumeration cursor; null: start from the first item */
    plx::RetiredList retired;     /* replaced values that were handed out */
    uint32_t bucket_count;        /* 0 before the first add, then a power of two >= 16 */
    uint32_t used_buckets;        /* buckets with a non-empty chain */
    uint32_t collisions;          /* new keys landing in an occupied bucket since the last resize */
    plx::HashItem **buckets;
};

namespace plx {

inline ItemMode item_mode(const HashItem *it) {
    return static_cast<ItemMode>((it->meta & kMetaModeMask) >> kMetaModeShift);
}

/* Values the item holds. */
inline uint32_t item_count(const HashItem *it) {
    return item_mode(it) == kModeBlock ? static_cast<const ValueBlock *>(it->word)->count : 1;
}

/* Bytes in front of the first value's copy in the item's tail. */
inline size_t tail_data_offset(const plx_hashtable_t *t) {
    return (t->flags & PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE) ? sizeof(const char *) : 0;
}

/* The item's key: its copy, or the caller's string under key-by-reference. */
inline const char *item_key(const plx_hashtable_t *t, const HashItem *it) {
    const char *tail = reinterpret_cast<const char *>(it + 1);
    if (t->flags & PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE) {
        const char *key;
        memcpy(&key, tail, sizeof key);
        return key;
    }
    return (it->meta & kMetaCopied) ? tail + (it->meta & kPackedSizeMax) + 1 : tail;
}

/* ASCII 'a'..'z' to upper case, branch-free; every other byte unchanged. */
inline uint32_t fold_upper(uint32_t c) { return c - ((c - 'a' < 26u) << 5); }

/* Eight key bytes with lower-case ASCII letters made upper case; bytes with the high bit set
 * are left alone. */
inline uint64_t fold_upper8(uint64_t w) {
    uint64_t low7 = w & 0x7F7F7F7F7F7F7F7Full;
    uint64_t at_least_a = low7 + 0x1F1F1F1F1F1F1F1Full;  /* bit 7 set from 'a' (0x61) on */
    uint64_t above_z = low7 + 0x0505050505050505ull;     /* bit 7 set from '{' (0x7B) on */
    uint64_t lower = at_least_a & ~above_z & ~w & 0x8080808080808080ull;
    return w - (lower >> 2);                              /* 0x20 off each letter */
}

/* djb2 over the `len` bytes of key: h = h * 33 + c from 5381, modulo 2^32, with lower-case
 * ASCII letters folded unless case_sensitive. Eight bytes go in one round as
 * h * 33^8 + c0 * 33^7 + ... + c7, whose inner sum is built in parallel lanes (pairs in 16-bit
 * lanes, quads in 32-bit lanes: no lane can overflow), giving the same value in far fewer
 * steps. */
inline uint32_t genhash(const char *key, size_t len, bool case_sensitive) {
    uint32_t h = kHashSeed;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, key + i, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        w = __builtin_bswap64(w);
#endif
        if (!case_sensitive) w = fold_upper8(w);
        uint64_t pairs = (w & 0x00FF00FF00FF00FFull) * 33u + ((w >> 8) & 0x00FF00FF00FF00FFull);
        uint64_t quads = (pairs & 0x0000FFFF0000FFFFull) * 1089u +
                         ((pairs >> 16) & 0x0000FFFF0000FFFFull);
        h = h * 1954312449u + static_cast<uint32_t>(quads) * 1185921u +
            static_cast<uint32_t>(quads >> 32);
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(key);
    for (; i < len; ++i) h = h * 33u + (case_sensitive ? p[i] : fold_upper(p[i]));
    return h;
}

/* Positions the table's cursor for flat index `index`: on success *p_item and *p_pos name the
 * item and the value within it. Starts from the cursor when it lies at or before the index,
 * else from the first item, so ascending enumeration costs amortised constant steps; `step`
 * is called once per item passed. Past the end the cursor is emptied and kHtPastEnd returned. */
template <class Step>
inline uint32_t cursor_seek(plx_hashtable_t *t, uint32_t index, HashItem **p_item,
                            uint32_t *p_pos, Step step) {
    HashItem *it = t->cursor;
    uint32_t base = t->cursor_index;
    if (!it || base > index) {
        it = t->first;
        base = 0;
    }
    if (!it) {
        t->cursor = nullptr;
        t->cursor_index = 0;
        return kHtPastEnd;
    }
    uint32_t r = index - base;
    for (uint32_t n; (n = item_count(it)) <= r;) {
        r -= n;
        base += n;
        it = it->list_next;
        step();
        if (!it) {
            t->cursor = nullptr;
            t->cursor_index = 0;
            return kHtPastEnd;
        }
    }
    t->cursor = it;
    t->cursor_index = base;
    *p_item = it;
    *p_pos = r;
    return 0;
}

}  // namespace plx

#endif /* PLX_HASHTABLE_PRIVATE_H */
