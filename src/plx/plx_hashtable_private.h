/* Private to the hash table and the string map built on it: the records behind the opaque
 * handle, the key hash, and the flat-index cursor walk. The hash and the walk are inline so that
 * white-box tests can run the very same code with a step counter. */
#ifndef PLX_HASHTABLE_PRIVATE_H
#define PLX_HASHTABLE_PRIVATE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

/* Item memory: items up to kArenaMaxItem bytes are cut from chunks the table owns, so that a
 * key costs no host allocation of its own; a removed item goes on the free list of its size
 * (linked through chain_next) for the next item of that size or smaller, and the chunks go back
 * to the host with the table's clear or delete or when its last item goes. Larger items are
 * host blocks of their own. */
inline constexpr size_t kArenaGrain = 8;
inline constexpr size_t kArenaMaxItem = 256;
inline constexpr size_t kArenaClasses = kArenaMaxItem / kArenaGrain + 1;
inline constexpr size_t kArenaFirstChunk = 512;
inline constexpr size_t kArenaMaxChunk = 256 * 1024;

struct ArenaChunk {
    ArenaChunk *next;  /* the chunk taken before this one */
    size_t size;       /* bytes of the chunk, this header included */
};
static_assert(sizeof(ArenaChunk) % kArenaGrain == 0, "items behind the header stay aligned");

struct ItemArena {
    ArenaChunk *chunks;  /* newest first */
    char *top;           /* unused rest of the newest chunk */
    char *end;
    size_t next_chunk;   /* bytes of the next chunk; 0 means kArenaFirstChunk */
    HashItem *free[kArenaClasses];  /* removed items by size / kArenaGrain */
    uint64_t nonempty;              /* bit c set: free[c] holds an item */
};
static_assert(kArenaClasses <= 64, "one bit per free list");

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
    plx::ItemArena arena;
};

namespace plx {

inline ItemMode item_mode(const HashItem *it) {
    return static_cast<ItemMode>((it->meta & kMetaModeMask) >> kMetaModeShift);
}

/* Values the item holds. */
inline uint32_t item_count(const HashItem *it) {
    static_assert(kModeBlock == 2 && kModeSingle == 1, "the high mode bit marks a value block");
    constexpr uint32_t kBlockBit = uint32_t{kModeBlock} << kMetaModeShift;
    return (it->meta & kBlockBit) ? static_cast<const ValueBlock *>(it->word)->count : 1;
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

/* Eight key bytes with lower-case ASCII letters made upper case; bytes with the high bit set
 * are left alone. */
inline uint64_t fold_upper8(uint64_t w) {
    uint64_t low7 = w & 0x7F7F7F7F7F7F7F7Full;
    uint64_t at_least_a = low7 + 0x1F1F1F1F1F1F1F1Full;  /* bit 7 set from 'a' (0x61) on */
    uint64_t above_z = low7 + 0x0505050505050505ull;     /* bit 7 set from '{' (0x7B) on */
    uint64_t lower = at_least_a & ~above_z & ~w & 0x8080808080808080ull;
    return w - (lower >> 2);                              /* 0x20 off each letter */
}

/* kPow33.at[k] = 33^k modulo 2^32, for k = 0..16. */
struct Pow33 {
    uint32_t at[17];
};
constexpr Pow33 make_pow33() {
    Pow33 p{};
    p.at[0] = 1u;
    for (int k = 1; k < 17; ++k) p.at[k] = p.at[k - 1] * 33u;
    return p;
}
inline constexpr Pow33 kPow33 = make_pow33();

/* Eight key bytes as a word whose lowest byte is the first key byte, on any byte order. */
inline uint64_t load_key8(const char *p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

/* c0 * 33^7 + c1 * 33^6 + ... + c7 over the bytes of w (lowest byte c0), modulo 2^32: what
 * eight djb2 steps add to the state times 33^8. Pairs c0 * 33 + c1, ... are built in 16-bit
 * lanes (below 2^14), then spread over 32-bit lanes, evens and odds apart. A 64-bit product
 * (p_lo + p_hi * 2^32) * (k_lo + k_hi * 2^32) holds p_lo * k_hi + p_hi * k_lo modulo 2^32 in its
 * upper half, and p_lo * k_lo stays below 2^32, so nothing carries into it: two multiplies and
 * a shift weigh all four pairs. Zero bytes add nothing, so a word whose first bytes are zero
 * gives the sum over its last bytes alone. */
inline uint32_t lanes_sum8(uint64_t w, bool case_sensitive) {
    constexpr uint64_t kLanes8 = 0x00FF00FF00FF00FFull;
    constexpr uint64_t kLanes16 = 0x0000FFFF0000FFFFull;
    if (!case_sensitive) w = fold_upper8(w);
    uint64_t pairs = (w & kLanes8) * 33u + ((w >> 8) & kLanes8);  /* lane k: c(2k) * 33 + c(2k+1) */
    uint64_t even = pairs & kLanes16;                              /* pairs 0 and 2 */
    uint64_t odd = (pairs >> 16) & kLanes16;                       /* pairs 1 and 3 */
    uint64_t sum = even * (uint64_t{kPow33.at[2]} | uint64_t{kPow33.at[6]} << 32) +
                   odd * (1u | uint64_t{kPow33.at[4]} << 32);
    return static_cast<uint32_t>(sum >> 32);
}

/* djb2 of a key of at least eight bytes, eight per round: whole words from the start, then
 * the last 1..7 bytes as the key's final word with the bytes already hashed zeroed. */
inline uint32_t genhash_words(const char *key, size_t len, bool case_sensitive) {
    uint32_t h = kHashSeed;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) h = h * kPow33.at[8] + lanes_sum8(load_key8(key + i), case_sensitive);
    if (size_t rest = len - i) {
        uint64_t w = load_key8(key + len - 8) & (~0ull << (8 * (8 - rest)));
        h = h * kPow33.at[rest] + lanes_sum8(w, case_sensitive);
    }
    return h;
}

#if defined(__SSE2__)
/* The same weighing over sixteen bytes, c0 * 33^15 + ... + c15, in SSE2 registers: bytes
 * widened to 16-bit lanes, pairs c0 * 33 + c1 (below 2^14) and then quads p0 * 33^2 + p1 (below
 * 2^25) by multiply-add, the four quads weighed by 32 x 32-bit products whose low halves are
 * summed. Lower-case letters are folded first unless case_sensitive: 'a'..'z' are the only
 * bytes that adding 0x1F moves to -128..-103 as signed bytes. */
inline uint32_t lanes_sum16(__m128i v, bool case_sensitive) {
    if (!case_sensitive) {
        __m128i lower = _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(-102));
        v = _mm_sub_epi8(v, _mm_and_si128(lower, _mm_set1_epi8(0x20)));
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i by_33_1 = _mm_set1_epi32(0x00010021);  /* 33 for the first of a pair, 1 */
    __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(v, zero), by_33_1),
                                    _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), by_33_1));
    __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010441));  /* 33^2, 1 */
    __m128i even = _mm_mul_epu32(quads, _mm_set_epi32(0, static_cast<int>(kPow33.at[4]), 0,
                                                      static_cast<int>(kPow33.at[12])));
    __m128i odd = _mm_mul_epu32(_mm_srli_epi64(quads, 32),
                                _mm_set_epi32(0, 1, 0, static_cast<int>(kPow33.at[8])));
    __m128i sum = _mm_add_epi64(even, odd);
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
}

/* Sixteen 0x00 then sixteen 0xFF bytes: 16 bytes from offset r keep the last r of a block. */
inline constexpr unsigned char kKeepLast[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

/* djb2 of a key of at least sixteen bytes, sixteen per round, the last 1..15 bytes as the
 * key's final block with the bytes already hashed zeroed. */
inline uint32_t genhash_blocks(const char *key, size_t len, bool case_sensitive) {
    uint32_t h = kHashSeed;
    size_t i = 0;
    for (; i + 16 <= len; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(key + i));
        h = h * kPow33.at[16] + lanes_sum16(v, case_sensitive);
    }
    if (size_t rest = len - i) {
        __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(key + len - 16)),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i *>(kKeepLast + rest)));
        h = h * kPow33.at[rest] + lanes_sum16(v, case_sensitive);
    }
    return h;
}
#endif

/* djb2 over the `len` bytes of key: h = h * 33 + c from 5381, modulo 2^32, with lower-case
 * ASCII letters folded unless case_sensitive. Longer keys go many bytes per round: n bytes
 * add their weighed sum to the state times 33^n. No byte outside the key is read. */
inline uint32_t genhash(const char *key, size_t len, bool case_sensitive) {
#if defined(__SSE2__)
    if (len >= 16) return genhash_blocks(key, len, case_sensitive);
#endif
    if (len >= 8) return genhash_words(key, len, case_sensitive);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(key);
    uint32_t h = kHashSeed;
    for (size_t i = 0; i < len; ++i) h = h * 33u + (case_sensitive ? p[i] : ascii_upper(p[i]));
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
    if (!it || base > index) [[unlikely]] {
        it = t->first;
        base = 0;
        if (!it) {
            t->cursor = nullptr;
            t->cursor_index = 0;
            return kHtPastEnd;
        }
    }
    uint32_t r = index - base;
    for (uint32_t n; (n = item_count(it)) <= r;) {
        r -= n;
        base += n;
        it = it->list_next;
        step();
        if (!it) [[unlikely]] {
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
