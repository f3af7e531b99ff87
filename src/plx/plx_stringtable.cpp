/* The string table of the datatypes module (package 0x0D): interned strings named by small
 * ids (1, 2, 3, ...), all kept in one buffer that is also the table's serialized form:
 *
 *     00 'a' 'b' 'c' 00 'd' 'e' 00 ...    (a 0x00, then every string followed by 0x00)
 *
 * A string's offset is the position of its first byte. Three vectors index the buffer: the
 * offsets by id (0 once removed, so ids are never reused), a hash index sorted by hash for
 * lookup by string, and the live ids in ascending order for counting and enumeration. Adding
 * and attaching either complete or leave the table as it was. The table has no lock: callers
 * serialize access. */
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

/* One element of the hash index. */
struct HashEntry {
    uint32_t hash;   /* djb2 of the string */
    uint32_t index;  /* the string's offsets index (id - 1) */
};

}  // namespace

struct plx_stringtable_s {
    uint32_t magic;                  /* kMagic while the table lives */
    uint32_t flags;                  /* as given at create; none has an effect */
    plx_vector2_t *offsets;          /* uint32_t per id - 1: buffer offset, 0 once removed */
    plx_string_accum_t *buffer;      /* the serialized strings */
    plx_vector2_t *hash_index;       /* HashEntry, sorted by hash alone */
    plx_vector2_t *live_index;       /* uint32_t offsets indexes of live strings, ascending */
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

/* djb2 over the unsigned bytes; also yields the byte length. */
uint32_t hash_string(const char *s, uint32_t *p_length) {
    uint32_t h = 5381;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(s);
    for (; *p; ++p) h = h * 33 + *p;
    *p_length = static_cast<uint32_t>(p - reinterpret_cast<const uint8_t *>(s));
    return h;
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

/* Looks up a stored string equal to `s` (hash h): 0 and its offsets index, else 0x100D0003. */
uint32_t find_string(Table *t, const char *s, uint32_t h, uint32_t *p_index) {
    HashEntry key{h, 0};
    uint32_t pos;
    if (plx_vector2_find(t->hash_index, &key, &pos) != 0) return kNotFound;
    uint32_t count, offsets_count;
    HashEntry *entries = elements<HashEntry>(t->hash_index, &count);
    uint32_t *offsets = elements<uint32_t>(t->offsets, &offsets_count);
    for (; pos < count && entries[pos].hash == h; ++pos) {
        uint32_t index = entries[pos].index;
        const char *stored;
        if (index >= offsets_count ||
            _stringtable_string_at_offset(t, offsets[index], &stored) != 0)
            return kNotFound;
        if (strcmp(stored, s) == 0) {
            *p_index = index;
            return 0;
        }
    }
    return kNotFound;
}

/* The table's containers, created together and released together. */
struct Parts {
    plx_vector2_t *offsets = nullptr;
    plx_string_accum_t *buffer = nullptr;
    plx_vector2_t *hash_index = nullptr;
    plx_vector2_t *live_index = nullptr;

    uint32_t create(uint32_t buffer_size) {
        uint32_t code = plx_vector2_create(&offsets, sizeof(uint32_t), 0, nullptr, nullptr);
        if (code == 0)
            code = plx_vector2_create(&hash_index, sizeof(HashEntry), PLX_VECTOR2_FLAG_SORTED,
                                      _stringtable_vector_lookup_hash_compare, nullptr);
        if (code == 0)
            code = plx_vector2_create(&live_index, sizeof(uint32_t), PLX_VECTOR2_FLAG_SORTED,
                                      _stringtable_vector_index_lookup_compare, nullptr);
        if (code == 0) code = plx_string_accum_create(&buffer, nullptr, buffer_size);
        return code;
    }
    void release() {
        plx_vector2_delete(live_index);
        plx_vector2_delete(hash_index);
        plx_string_accum_delete(buffer);
        plx_vector2_delete(offsets);
        *this = Parts{};
    }
    void take_from(Table *t) {
        offsets = t->offsets;
        buffer = t->buffer;
        hash_index = t->hash_index;
        live_index = t->live_index;
    }
    void give_to(Table *t) const {
        t->offsets = offsets;
        t->buffer = buffer;
        t->hash_index = hash_index;
        t->live_index = live_index;
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

/* True when two entries of the sorted hash index share a hash. */
bool has_equal_hashes(plx_vector2_t *hash_index) {
    uint32_t count;
    const HashEntry *entries = elements<HashEntry>(hash_index, &count);
    for (uint32_t i = 1; i < count; ++i)
        if (entries[i].hash == entries[i - 1].hash) return true;
    return false;
}

/* Builds the hash index of the first `length` bytes of a serialized buffer by storing the
 * strings one by one, as adds do. Within a run of equal hashes the order then follows the
 * sorted store (each lands before an equal element the search meets), which decides which of
 * several equal strings a lookup by string names; a plain sort would order such runs
 * differently. */
uint32_t rebuild_hash_index(plx_vector2_t *hash_index, const char *text, uint32_t length) {
    if (uint32_t code = plx_vector2_clear(hash_index)) return code;
    uint32_t index = 0;
    for (uint32_t offset = 1; offset < length; ++index) {
        uint32_t n;
        HashEntry entry{hash_string(text + offset, &n), index};
        if (uint32_t code = plx_vector2_add(hash_index, &entry, sizeof entry, nullptr)) return code;
        offset += n + 1;
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
    plx_vector2_clear(table->hash_index);
    plx_vector2_clear(table->offsets);
    plx_string_accum_clear(table->buffer);
    return 0;
}

/* Stores a string unless an equal one (byte for byte) is stored; p_id (may be null) receives
 * the id either way. A null or empty string is an invalid argument. On failure the table is
 * left as it was. */
plx_error_t plx_stringtable_add_value(plx_stringtable_t *table, const char *string,
                                      uint32_t *p_id) {
    if (uint32_t code = validate(table)) return fail(code, __LINE__);
    if (plx_string_isempty(string)) return fail(kInvalidArg, __LINE__);
    uint32_t length;
    uint32_t h = hash_string(string, &length);
    uint32_t index;
    if (find_string(table, string, h, &index) == 0) {
        if (p_id) *p_id = index + 1;
        return 0;
    }

    plx_string_accum_t *buffer = table->buffer;
    uint32_t old_length = buffer->length;
    /* the new string follows the 0x00 that the record starts with (on an empty buffer too) */
    uint32_t offset = old_length + 1;
    plx_vector2_count(table->offsets, &index);
    uint32_t code = plx::accum_append_record(buffer, string, length);
    if (code) return fail(code, __LINE__);
    /* each step that fails undoes the ones before it; the undo steps never allocate */
    code = plx_vector2_add(table->offsets, &offset, sizeof offset, nullptr);
    if (code == 0) {
        HashEntry entry{h, index};
        uint32_t position;
        code = plx_vector2_add(table->hash_index, &entry, sizeof entry, &position);
        if (code == 0) {
            code = plx_vector2_add(table->live_index, &index, sizeof index, nullptr);
            if (code == 0) {
                if (p_id) *p_id = index + 1;
                return 0;
            }
            plx_vector2_deleteindex(table->hash_index, position);
        }
        plx_vector2_deleteindex(table->offsets, index);
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
    HashEntry key{h, index};
    uint32_t pos;
    if (uint32_t code = plx_vector2_find(table->hash_index, &key, &pos))
        return fail(code, __LINE__);
    HashEntry *entries = elements<HashEntry>(table->hash_index, &count);
    while (pos < count && entries[pos].hash == h && entries[pos].index != index) ++pos;
    if (pos < count && entries[pos].index == index) {
        if (uint32_t code = plx_vector2_deleteindex(table->hash_index, pos))
            return fail(code, __LINE__);
    }
    if (uint32_t code = plx_vector2_find(table->live_index, &index, &pos))
        return fail(code, __LINE__);
    return fail(plx_vector2_deleteindex(table->live_index, pos), __LINE__);
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
    uint32_t *live = elements<uint32_t>(table->live_index, &count);
    if (position >= count) return kOutOfRange;
    uint32_t index = live[position];
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
        uint32_t ids, live;
        plx_vector2_count(table->offsets, &ids);
        plx_vector2_count(table->hash_index, &live);
        *p_ids_changed = ids > live ? 1 : 0;
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
    const uint32_t index = id - 1;
    uint32_t pos;
    if (uint32_t code = plx_vector2_find(table->live_index, &index, &pos))
        return fail(code, __LINE__);
    *p_buffer_id = pos + 1;
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
    if (code == 0) code = plx_vector2_set_min_size(fresh.hash_index, count);
    if (code == 0) code = plx_vector2_set_min_size(fresh.live_index, count);
    const char *text = fresh.buffer ? fresh.buffer->buffer : nullptr;
    uint32_t index = 0;
    for (uint32_t offset = 1; code == 0 && offset < length; ++index) {
        uint32_t n;
        HashEntry entry{hash_string(text + offset, &n), index};
        code = plx_vector2_add(fresh.offsets, &offset, sizeof offset, nullptr);
        /* appended unordered and sorted once below: n inserts into a sorted vector would
         * move O(n^2) bytes */
        if (code == 0) code = plx_vector2_insert(fresh.hash_index, index, &entry, sizeof entry);
        if (code == 0) code = plx_vector2_add(fresh.live_index, &index, sizeof index, nullptr);
        offset += n + 1;
    }
    if (code == 0)
        code = plx_vector2_sort(fresh.hash_index, _stringtable_vector_lookup_hash_compare, 1);
    if (code == 0 && has_equal_hashes(fresh.hash_index))
        code = rebuild_hash_index(fresh.hash_index, text, length);
    if (code) return fail(code, __LINE__);

    Parts old;
    old.take_from(table);
    fresh.give_to(table);
    fresh = old;  /* the scope guard now releases the old contents */
    return 0;
}

}  // extern "C"
