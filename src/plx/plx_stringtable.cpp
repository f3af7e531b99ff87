/* The string table of the datatypes module (package 0x0D): interned strings named by small
 * ids (1, 2, 3, ...), all kept in one buffer that is also the table's serialized form:
 *
 *     00 'a' 'b' 'c' 00 'd' 'e' 00 ...    (a 0x00, then every string followed by 0x00)
 *
 * A string's offset is the position of its first byte. Two vectors index the buffer: the
 * offsets by id (0 once removed, so ids are never reused) and the live ids in ascending order
 * for counting and enumeration. Lookup by string goes through an open-addressing table of
 * (hash, id) slots with linear probing, one slot per distinct live string. A buffer attached
 * with equal strings in it keeps the others on a chain behind the one the slot names, in the
 * order a lookup prefers them. Adding and attaching either complete or leave the table as it
 * was. The table has no lock: callers serialize access. */
#include "plx/plx_hashtable_private.h"
#include "plx/plx_string_printf.h"

namespace {

constexpr const char *kSource = "plx_stringtable";
constexpr uint32_t kMagic = 0x2ABCDEF3u;

constexpr uint32_t kInvalidArg = plx::error_code(plx::kPkgDatatypes, plx::kInvalidArg);
constexpr uint32_t kNotInitialized = plx::error_code(plx::kPkgDatatypes, plx::kNotInitialized);
constexpr uint32_t kNoMemory = plx::error_code(plx::kPkgDatatypes, plx::kNoMemory);
constexpr uint32_t kWrongMagic = plx::error_code(plx::kPkgDatatypes, plx::kWrongMagic);
constexpr uint32_t kBadOffset = plx::error_code(plx::kPkgDatatypes, 0x0363);
constexpr uint32_t kNotFound = plx::status_code(plx::kPkgDatatypes, plx::kNotFound);
constexpr uint32_t kOutOfRange = plx::status_code(plx::kPkgDatatypes, 0x0361);

constexpr uint32_t kMinSlots = 16;             /* first slot array; a power of two */
constexpr uint32_t kUnvisited = 0xFFFFFFFFu;   /* chain mark while attach orders duplicates */

/* One lookup slot. */
struct Slot {
    uint32_t hash;  /* djb2 of the string */
    uint32_t id;    /* the string's id; 0 marks an empty slot */
};

/* One element of the sorted hash order that decides which of several equal attached strings
 * a lookup names. */
struct HashEntry {
    uint32_t hash;   /* djb2 of the string */
    uint32_t index;  /* the string's offsets index (id - 1) */
};

}  // namespace

struct plx_stringtable_s {
    uint32_t magic;                  /* kMagic while the table lives */
    uint32_t flags;                  /* as given at create; none has an effect */
    plx_vector2_t *offsets;          /* uint32_t per id - 1: buffer offset, 0 once removed */
    uint32_t *offsets_at;            /* the offsets' buffer, read again after every change to it */
    uint32_t ids;                    /* ids handed out: the offsets' element count */
    plx_string_accum_t *buffer;      /* the serialized strings */
    plx_vector2_t *live_index;       /* uint32_t offsets indexes of live strings, ascending
                                        (a plain vector: new ids only ever append) */
    Slot *slots;                     /* lookup slots; null until the first string */
    uint32_t slot_mask;              /* slot count - 1 (slot count a power of two), 0 if none */
    uint32_t slot_shift;             /* 32 - log2(slot count): takes a hash's top bits */
    uint32_t slot_used;              /* occupied slots */
    uint32_t *dup_next;              /* per attached index: id of the next equal string a lookup
                                        falls back to, 0 at the end; null without duplicates */
    uint32_t dup_count;              /* entries in dup_next */
};

namespace {

using Table = plx_stringtable_s;

inline uint32_t fail(uint32_t code, int32_t line) { return plx::log_error(code, kSource, line); }

int32_t _stringtable_vector_lookup_hash_compare(const void *a, const void *b) {
    uint32_t x = static_cast<const HashEntry *>(a)->hash;
    uint32_t y = static_cast<const HashEntry *>(b)->hash;
    return x < y ? -1 : x > y ? 1 : 0;
}

int32_t _stringtable_vector_index_lookup_compare(const void *a, const void *b) {
    uint32_t x = *static_cast<const uint32_t *>(a);
    uint32_t y = *static_cast<const uint32_t *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

/* djb2 over the unsigned bytes (h = h * 33 + c from 5381), eight bytes per round; also yields
 * the byte length. The value decides which of equal attached strings a lookup names, so it
 * must stay djb2. */
inline uint32_t hash_string(const char *s, uint32_t *p_length) {
    size_t length = strlen(s);
    *p_length = static_cast<uint32_t>(length);
    return plx::genhash(s, length, true);
}

uint32_t validate(const Table *t) {
    if (!t) return kInvalidArg;
    if (t->magic != kMagic) return kWrongMagic;
    return 0;
}

/* The vector's elements as a typed array (valid until the vector changes). */
template <class T>
T *elements(plx_vector2_t *v, uint32_t *p_count) {
    void *buffer = nullptr;
    uint32_t bytes = 0;
    plx_vector2_get_buffer(v, &buffer, &bytes, nullptr);
    *p_count = bytes / sizeof(T);
    return static_cast<T *>(buffer);
}

/* Where offsets index `index` sits among the live ones (it must be live). */
uint32_t live_position(Table *t, uint32_t index) {
    uint32_t count;
    const uint32_t *live = elements<uint32_t>(t->live_index, &count);
    uint32_t lo = 0;
    while (count > 0) {
        uint32_t half = count / 2;
        if (live[lo + half] < index) {
            lo += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return lo;
}

/* The string starting at `offset`, which must follow a 0x00 inside the buffer. */
uint32_t _stringtable_string_at_offset(Table *t, uint32_t offset, const char **p_string) {
    const char *text = t->buffer->buffer;
    uint32_t size = t->buffer->length ? t->buffer->length + 1 : 0;
    if (offset == 0 || offset >= size || text[offset - 1] != 0) return kBadOffset;
    *p_string = text + offset;
    return 0;
}

/* The live offset of an id: 0x100D0361 beyond the ids handed out, 0x100D0003 once removed. */
uint32_t offset_of(Table *t, uint32_t id, uint32_t *p_offset) {
    uint32_t count;
    uint32_t *offsets = elements<uint32_t>(t->offsets, &count);
    if (id - 1 >= count) return kOutOfRange;
    if (offsets[id - 1] == 0) return kNotFound;
    *p_offset = offsets[id - 1];
    return 0;
}

/* ---- lookup slots ------------------------------------------------------------------------ */

/* Where a hash starts probing: the top bits of a multiplicative mix, since djb2's low bits
 * follow the last byte too closely. */
inline uint32_t home_slot(uint32_t hash, uint32_t shift) { return (hash * 0x9E3779B1u) >> shift; }

/* The slot array's view of a table or of contents under construction. */
struct Slots {
    Slot *slots = nullptr;
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint32_t used = 0;

    /* Probes for `s` (hash h) among strings stored in `text` at `offsets`: true and its slot
     * when present, else false and the empty slot where it would go. Needs a slot array. */
    bool probe(const char *s, uint32_t h, const char *text, const uint32_t *offsets,
               uint32_t *p_slot) const {
        uint32_t i = home_slot(h, shift);
        for (; slots[i].id; i = (i + 1) & mask) {
            if (slots[i].hash == h && strcmp(text + offsets[slots[i].id - 1], s) == 0) {
                *p_slot = i;
                return true;
            }
        }
        *p_slot = i;
        return false;
    }

    /* The slot naming `id` (hash h), or mask + 1 when none does. */
    uint32_t slot_of_id(uint32_t h, uint32_t id) const {
        if (!slots) return mask + 1;
        for (uint32_t i = home_slot(h, shift); slots[i].id; i = (i + 1) & mask)
            if (slots[i].id == id) return i;
        return mask + 1;
    }

    /* Empties slot i, moving later members of its probe run back so that no lookup stops
     * early at the hole. */
    void erase(uint32_t i) {
        for (uint32_t j = i;;) {
            j = (j + 1) & mask;
            if (!slots[j].id) break;
            uint32_t k = home_slot(slots[j].hash, shift);
            /* the entry at j may fill the hole when the hole lies between its home and j */
            if (((j - k) & mask) >= ((j - i) & mask)) {
                slots[i] = slots[j];
                i = j;
            }
        }
        slots[i] = Slot{};
        --used;
    }

    /* True when one more string would overfill the array (more than 3/4 used). */
    bool full_for_one_more() const { return !slots || (used + 1) * 4 > (mask + 1) * 3; }

    /* Replaces the array by an empty one with room for `count` strings under 3/4 load
     * (keeping the old one on failure); 0 or 0x900D0002. */
    uint32_t reset_for(uint32_t count) {
        uint32_t n = kMinSlots;
        while (n < 0x40000000u && n / 4 * 3 < count) n *= 2;
        if (n / 4 * 3 < count || plx::mul_overflows(n, sizeof(Slot))) return kNoMemory;
        auto *fresh = static_cast<Slot *>(plx::alloc_zeroed(static_cast<size_t>(n) * sizeof(Slot)));
        if (!fresh) return kNoMemory;
        plx_memory_free(slots);
        slots = fresh;
        mask = n - 1;
        shift = 32 - static_cast<uint32_t>(__builtin_ctz(n));
        used = 0;
        return 0;
    }

    /* The empty slot where an absent entry of hash h goes. */
    uint32_t free_slot(uint32_t h) const {
        uint32_t i = home_slot(h, shift);
        while (slots[i].id) i = (i + 1) & mask;
        return i;
    }

    /* Stores an entry known to be absent. */
    void place(uint32_t h, uint32_t id) {
        slots[free_slot(h)] = Slot{h, id};
        ++used;
    }

    /* Doubles the array, keeping every entry; 0 or 0x900D0002 (entries untouched). */
    uint32_t grow() {
        Slots bigger;
        if (uint32_t code = bigger.reset_for((mask + 1) / 4 * 3 + 1)) return code;
        for (uint32_t i = 0; slots && i <= mask; ++i)
            if (slots[i].id) bigger.place(slots[i].hash, slots[i].id);
        plx_memory_free(slots);
        *this = bigger;
        return 0;
    }

    void take_from(const Table *t) {
        slots = t->slots;
        mask = t->slot_mask;
        shift = t->slot_shift;
        used = t->slot_used;
    }
    void give_to(Table *t) const {
        t->slots = slots;
        t->slot_mask = mask;
        t->slot_shift = shift;
        t->slot_used = used;
    }
};

/* Looks up a stored string equal to `s` (hash h): 0 and its offsets index, else 0x100D0003. */
uint32_t find_string(Table *t, const char *s, uint32_t h, uint32_t *p_index) {
    if (!t->slots) return kNotFound;
    Slots view;
    view.take_from(t);
    uint32_t slot;
    if (!view.probe(s, h, t->buffer->buffer, t->offsets_at, &slot)) return kNotFound;
    *p_index = t->slots[slot].id - 1;
    return 0;
}

/* Appends 0x00 and the `length` bytes of `string` to the buffer, or nothing: 0 or the
 * accumulator's out-of-memory code. With room to spare the record is written in place;
 * otherwise the accumulator grows it (and copes with a string inside its own buffer). */
inline uint32_t append_record(plx_string_accum_t *buffer, const char *string, uint32_t length) {
    const uint32_t old_length = buffer->length;
    /* the accumulator caps its text below 2 GiB; at or near that it decides */
    const uint64_t end = static_cast<uint64_t>(old_length) + length + 1;
    if (end >= buffer->capacity || end > 0x7FFFFFFEu) {
        return plx::accum_append_record(buffer, string, length);
    }
    /* a string inside the buffer ends before the 0x00 that starts the record, so the copy
     * cannot overlap */
    char *text = buffer->buffer;
    text[old_length] = 0;
    memcpy(text + old_length + 1, string, length);
    text[end] = 0;
    buffer->length = static_cast<uint32_t>(end);
    return 0;
}

/* The table's containers, created together and released together. */
struct Parts {
    plx_vector2_t *offsets = nullptr;
    uint32_t *offsets_at = nullptr;
    uint32_t ids = 0;
    plx_string_accum_t *buffer = nullptr;
    plx_vector2_t *live_index = nullptr;
    Slots lookup;
    uint32_t *dup_next = nullptr;
    uint32_t dup_count = 0;

    uint32_t create(uint32_t buffer_size) {
        uint32_t code = plx_vector2_create(&offsets, sizeof(uint32_t), 0, nullptr, nullptr);
        if (code == 0)
            code = plx_vector2_create(&live_index, sizeof(uint32_t), 0,
                                      _stringtable_vector_index_lookup_compare, nullptr);
        if (code == 0) code = plx_string_accum_create(&buffer, nullptr, buffer_size);
        return code;
    }
    void release() {
        plx_memory_free(dup_next);
        plx_memory_free(lookup.slots);
        plx_vector2_delete(live_index);
        plx_string_accum_delete(buffer);
        plx_vector2_delete(offsets);
        *this = Parts{};
    }
    void take_from(Table *t) {
        offsets = t->offsets;
        offsets_at = t->offsets_at;
        ids = t->ids;
        buffer = t->buffer;
        live_index = t->live_index;
        lookup.take_from(t);
        dup_next = t->dup_next;
        dup_count = t->dup_count;
    }
    void give_to(Table *t) const {
        t->offsets = offsets;
        t->offsets_at = offsets_at;
        t->ids = ids;
        t->buffer = buffer;
        t->live_index = live_index;
        lookup.give_to(t);
        t->dup_next = dup_next;
        t->dup_count = dup_count;
    }
};

/* Checks a serialized buffer; gives L, the length up to its last non-zero byte, and the
 * number of strings. */
bool valid_serialized(const uint8_t *b, uint32_t size, uint32_t *p_length, uint32_t *p_count) {
    if (size < 3 || b[0] != 0 || b[size - 1] != 0) return false;
    uint32_t length = size;
    while (length > 0 && b[length - 1] == 0) --length;
    if (length <= 1 || b[1] == 0) return false;
    uint32_t count = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (b[i] != 0) continue;
        if (b[i + 1] == 0) return false;  /* an empty string; b[length] is the first trailing 0 */
        ++count;
    }
    *p_length = length;
    *p_count = count;
    return true;
}

/* Orders the equal strings of freshly attached contents. A lookup names the first of them in
 * the order that storing the buffer's strings one by one into a vector sorted by hash alone
 * gives (each lands before an equal element the binary search meets), so that order is
 * rebuilt here; it costs quadratic time, which only buffers holding equal strings pay. The
 * slot of each repeated string ends up naming the preferred one and dup_next chains the
 * rest. */
uint32_t order_duplicates(Parts &p, uint32_t count) {
    const char *text = p.buffer->buffer;
    uint32_t offsets_count;
    const uint32_t *offsets = elements<uint32_t>(p.offsets, &offsets_count);
    plx_vector2_t *order = nullptr;
    uint32_t code = plx_vector2_create(&order, sizeof(HashEntry), PLX_VECTOR2_FLAG_SORTED,
                                       _stringtable_vector_lookup_hash_compare, nullptr);
    plx::ScopeExit drop([&] { plx_vector2_delete(order); });
    if (code == 0) code = plx_vector2_set_min_size(order, count);
    for (uint32_t index = 0; code == 0 && index < count; ++index) {
        uint32_t n;
        HashEntry entry{hash_string(text + offsets[index], &n), index};
        code = plx_vector2_add(order, &entry, sizeof entry, nullptr);
    }
    if (code == 0 && plx::mul_overflows(count, sizeof(uint32_t))) code = kNoMemory;
    if (code == 0) {
        p.dup_next = static_cast<uint32_t *>(plx_memory_alloc(count * sizeof(uint32_t)));
        if (!p.dup_next) code = kNoMemory;
    }
    if (code) return code;
    p.dup_count = count;
    for (uint32_t i = 0; i < count; ++i) p.dup_next[i] = kUnvisited;
    /* Backwards through the order, each string takes over its slot and chains the one that
     * held it, if visited already (a slot still naming an unvisited index holds its build-time
     * entry, which is no successor). */
    uint32_t entries_count;
    const HashEntry *entries = elements<HashEntry>(order, &entries_count);
    for (uint32_t k = entries_count; k-- > 0;) {
        uint32_t index = entries[k].index, slot;
        p.lookup.probe(text + offsets[index], entries[k].hash, text, offsets, &slot);
        uint32_t holder = p.lookup.slots[slot].id;
        p.dup_next[index] = p.dup_next[holder - 1] != kUnvisited ? holder : 0;
        p.lookup.slots[slot].id = index + 1;
    }
    return 0;
}

}  // namespace

extern "C" {

/* A new, empty table. 0x900D0007 before the datatypes module is started; 0x900D0002 or a
 * container's code when memory runs out (nothing is left allocated). */
plx_error_t plx_stringtable_create(plx_stringtable_t **p_table, uint32_t flags) {
    if (plx_datatypes_initchecks() == 0) return kNotInitialized;
    if (!p_table) return fail(kInvalidArg, __LINE__);
    plx::HostPtr<Table> t(plx::alloc_record<Table>());
    if (!t) return fail(kNoMemory, __LINE__);
    Parts parts;
    if (uint32_t code = parts.create(0)) {
        parts.release();
        return fail(code, __LINE__);
    }
    parts.give_to(t.get());
    t->magic = kMagic;
    t->flags = flags;
    *p_table = t.release();
    return 0;
}

/* Frees the table and everything in it; null is ignored. */
plx_error_t plx_stringtable_delete(plx_stringtable_t *table) {
    if (!table) return 0;
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    Parts parts;
    parts.take_from(table);
    parts.release();
    table->magic = 0;
    plx_memory_free(table);
    return 0;
}

/* Forgets every string; the next one added gets id 1. */
plx_error_t plx_stringtable_clear(plx_stringtable_t *table) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    plx_vector2_clear(table->live_index);
    plx_vector2_clear(table->offsets);
    table->offsets_at = elements<uint32_t>(table->offsets, &table->ids);
    plx_string_accum_clear(table->buffer);
    if (table->slots)
        memset(table->slots, 0, (static_cast<size_t>(table->slot_mask) + 1) * sizeof(Slot));
    table->slot_used = 0;
    plx_memory_free(table->dup_next);
    table->dup_next = nullptr;
    table->dup_count = 0;
    return 0;
}

/* Stores a string unless an equal one (byte for byte) is stored; p_id (may be null) receives
 * the id either way. A null or empty string is an invalid argument. On failure the table is
 * left as it was. */
plx_error_t plx_stringtable_add_value(plx_stringtable_t *table, const char *string,
                                      uint32_t *p_id) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    /* a first byte of plain ASCII other than 0x00 settles that the string is not empty */
    if (!string || static_cast<uint8_t>(string[0] - 1) >= 0x7F) {
        if (plx_string_isempty(string)) return fail(kInvalidArg, __LINE__);
    }
    uint32_t length;
    uint32_t h = hash_string(string, &length);
    Slots lookup;
    lookup.take_from(table);
    uint32_t slot = 0;
    if (lookup.slots) {
        if (lookup.probe(string, h, table->buffer->buffer, table->offsets_at, &slot)) {
            if (p_id) *p_id = lookup.slots[slot].id;
            return 0;
        }
    }
    /* growing first leaves nothing to undo: a larger slot array changes no answer */
    if (lookup.full_for_one_more()) {
        if (uint32_t code = lookup.grow()) return fail(code, __LINE__);
        lookup.give_to(table);
        slot = lookup.free_slot(h);
    }

    plx_string_accum_t *buffer = table->buffer;
    uint32_t old_length = buffer->length;
    /* the new string follows the 0x00 that the record starts with (on an empty buffer too) */
    uint32_t offset = old_length + 1;
    const uint32_t index = table->ids;
    uint32_t code = append_record(buffer, string, length);
    if (code) return fail(code, __LINE__);
    /* each step that fails undoes the ones before it; the undo steps never allocate */
    code = plx_vector2_add(table->offsets, &offset, sizeof offset, nullptr);
    if (code == 0) {
        uint32_t ids;
        table->offsets_at = elements<uint32_t>(table->offsets, &ids);  /* the add may move it */
        code = plx_vector2_add(table->live_index, &index, sizeof index, nullptr);
        if (code == 0) {
            table->ids = ids;
            table->slots[slot] = Slot{h, index + 1};
            ++table->slot_used;
            if (p_id) *p_id = index + 1;
            return 0;
        }
        plx_vector2_deleteindex(table->offsets, index);
        table->offsets_at = elements<uint32_t>(table->offsets, &ids);
    }
    plx::accum_truncate(buffer, old_length);
    return fail(code, __LINE__);
}

/* The string of an id, pointing into the table's buffer (valid until the next add, remove,
 * clear or attach). 0x100D0361 for an id never handed out, 0x100D0003 for a removed one. */
plx_error_t plx_stringtable_get_value(plx_stringtable_t *table, uint32_t id,
                                      const char **p_string) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (id == 0 || !p_string) return fail(kInvalidArg, __LINE__);
    uint32_t offset;
    if (uint32_t code = offset_of(table, id, &offset)) return code;
    return fail(_stringtable_string_at_offset(table, offset, p_string), __LINE__);
}

/* The id of a stored string equal to `string`; 0x100D0003 when there is none. */
plx_error_t plx_stringtable_get_value_ref(plx_stringtable_t *table, const char *string,
                                          uint32_t *p_id) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (plx_string_isempty(string) || !p_id) return fail(kInvalidArg, __LINE__);
    uint32_t length, index;
    uint32_t h = hash_string(string, &length);
    if (uint32_t code = find_string(table, string, h, &index)) return code;
    *p_id = index + 1;
    return 0;
}

/* Removes a string and closes its gap in the buffer; later strings keep their ids, and the
 * removed id is never handed out again (until clear or attach). */
plx_error_t plx_stringtable_remove_value(plx_stringtable_t *table, uint32_t id) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (id == 0) return fail(kInvalidArg, __LINE__);
    uint32_t offset;
    const char *string;
    if (uint32_t code = offset_of(table, id, &offset)) return code;
    if (uint32_t code = _stringtable_string_at_offset(table, offset, &string))
        return fail(code, __LINE__);
    uint32_t length;
    uint32_t h = hash_string(string, &length);
    uint32_t n = length + 1;
    /* the 0x00 before the string goes with it, so the layout holds */
    if (uint32_t code = plx_string_accum_remove_range(table->buffer, offset - 1, n, nullptr))
        return fail(code, __LINE__);

    uint32_t count;
    uint32_t *offsets = elements<uint32_t>(table->offsets, &count);
    offsets[id - 1] = 0;
    for (uint32_t i = id; i < count; ++i)
        if (offsets[i] != 0) offsets[i] -= n;

    const uint32_t index = id - 1;
    Slots lookup;
    lookup.take_from(table);
    uint32_t slot = lookup.slot_of_id(h, id);
    if (slot <= lookup.mask) {
        /* an equal attached string, if one is still live, takes over the slot */
        uint32_t next = index < table->dup_count ? table->dup_next[index] : 0;
        while (next && offsets[next - 1] == 0) next = table->dup_next[next - 1];
        if (next) {
            table->slots[slot].id = next;
        } else {
            lookup.erase(slot);
            lookup.give_to(table);
        }
    }
    return fail(plx_vector2_deleteindex(table->live_index, live_position(table, index)),
                __LINE__);
}

/* Number of live strings. */
plx_error_t plx_stringtable_count(plx_stringtable_t *table, uint32_t *p_count) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (!p_count) return fail(kInvalidArg, __LINE__);
    return fail(plx_vector2_count(table->live_index, p_count), __LINE__);
}

/* The live string at a 0-based position in ascending id order; 0x100D0361 past the end.
 * Both outs may be null. */
plx_error_t plx_stringtable_enum(plx_stringtable_t *table, uint32_t position, uint32_t *p_id,
                                 const char **p_string) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    uint32_t count;
    const uint32_t *live = elements<uint32_t>(table->live_index, &count);
    if (position >= count) return kOutOfRange;
    const uint32_t index = live[position];
    uint32_t offset;
    if (uint32_t code = offset_of(table, index + 1, &offset)) return fail(code, __LINE__);
    const char *string;
    if (uint32_t code = _stringtable_string_at_offset(table, offset, &string))
        return fail(code, __LINE__);
    if (p_id) *p_id = index + 1;
    if (p_string) *p_string = string;
    return 0;
}

/* The serialized buffer (the table's own; null if nothing was ever stored), its byte size
 * (0 when empty) and whether removals have left ids that no longer count 1, 2, 3 along the
 * buffer. Each out may be null. */
plx_error_t plx_stringtable_get_buffer(plx_stringtable_t *table, const void **p_buffer,
                                       uint32_t *p_byte_size, uint8_t *p_ids_changed) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    const char *text;
    uint32_t size;
    plx_string_accum_get_string(table->buffer, &text, &size);
    if (p_buffer) *p_buffer = text;
    if (p_byte_size) *p_byte_size = size;
    if (p_ids_changed) {
        uint32_t live;
        plx_vector2_count(table->live_index, &live);
        *p_ids_changed = table->ids > live ? 1 : 0;
    }
    return 0;
}

/* The id that the string of `id` gets in a table attached from the current buffer. */
plx_error_t plx_stringtable_get_buffer_sync_ref(plx_stringtable_t *table, uint32_t id,
                                                uint32_t *p_buffer_id) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (id == 0 || !p_buffer_id) return fail(kInvalidArg, __LINE__);
    uint32_t offset;
    if (uint32_t code = offset_of(table, id, &offset)) return code;
    *p_buffer_id = live_position(table, id - 1) + 1;
    return 0;
}

/* Replaces the contents with the strings of a serialized buffer (copied), which get ids 1, 2,
 * 3, ... in buffer order; equal strings are not merged. A buffer that is not a valid
 * serialization (shorter than 3 bytes, not starting and ending with 0x00, or holding an empty
 * string) is an invalid argument. On any failure the table keeps its old contents. */
plx_error_t plx_stringtable_attach_buffer(plx_stringtable_t *table, const void *buffer,
                                          uint32_t byte_size) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (!buffer) return fail(kInvalidArg, __LINE__);
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    uint32_t length, count;
    if (byte_size == 0xFFFFFFFFu || !valid_serialized(bytes, byte_size, &length, &count))
        return fail(kInvalidArg, __LINE__);

    /* build the new contents beside the old ones, then swap */
    Parts fresh;
    plx::ScopeExit drop([&] { fresh.release(); });
    uint32_t code = fresh.create(byte_size);
    if (code == 0) code = plx_string_accum_append_bytes(fresh.buffer, bytes, length, nullptr);
    if (code == 0) code = plx_vector2_set_min_size(fresh.offsets, count);
    /* with room for every offset, the adds below never move the buffer behind offsets_at */
    if (code == 0) {
        uint32_t none;
        fresh.offsets_at = elements<uint32_t>(fresh.offsets, &none);
    }
    if (code == 0) code = plx_vector2_set_min_size(fresh.live_index, count);
    if (code == 0) code = fresh.lookup.reset_for(count);
    if (code) return fail(code, __LINE__);
    const char *text = fresh.buffer->buffer;
    bool duplicates = false;
    uint32_t index = 0;
    for (uint32_t offset = 1; code == 0 && offset < length; ++index) {
        uint32_t n;
        uint32_t h = hash_string(text + offset, &n);
        code = plx_vector2_add(fresh.offsets, &offset, sizeof offset, nullptr);
        if (code == 0) code = plx_vector2_add(fresh.live_index, &index, sizeof index, nullptr);
        if (code == 0) {
            uint32_t slot;
            if (fresh.lookup.probe(text + offset, h, text, fresh.offsets_at, &slot)) {
                duplicates = true;
            } else {
                fresh.lookup.slots[slot] = Slot{h, index + 1};
                ++fresh.lookup.used;
            }
        }
        offset += n + 1;
    }
    fresh.ids = index;
    if (code == 0 && duplicates) code = order_duplicates(fresh, count);
    if (code) return fail(code, __LINE__);

    Parts old;
    old.take_from(table);
    fresh.give_to(table);
    fresh = old;  /* the scope guard now releases the old contents */
    return 0;
}

}  // extern "C"
