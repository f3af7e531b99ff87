/* String map: string keys to string values, a typed layer over the hash table. A value is
 * stored as its bytes with the terminator (copied unless the map references values), a null
 * value as no data; every read checks that what comes back is still a terminated string. */
#include "plx/plx_hashtable_private.h"

namespace {

constexpr const char kSource[] = "plx_stringmap";
constexpr uint32_t kStringMapMagic = 0x1ABCDEF2u;

#define SM_FAIL(code) plx::log_error((code), kSource, __LINE__)

}  // namespace

/* The record behind plx_stringmap_t; never changed after creation. */
struct plx_stringmap_s {
    uint32_t magic;           /* kStringMapMagic while live */
    uint32_t flags;           /* creation flags, also given to the table */
    plx_hashtable_t *table;   /* the entries; no free callback */
};

namespace {

/* Null → invalid argument, foreign record → wrong magic, else 0. */
uint32_t check_map(const plx_stringmap_t *map) {
    if (!map) return SM_FAIL(plx::kHtInvalid);
    if (map->magic != kStringMapMagic) return SM_FAIL(plx::kHtWrongMagic);
    return 0;
}

/* Accepts (data, size) read from the table only as a terminated string (or a null value). */
uint32_t as_string(const void *data, uint32_t size, const char **p_value) {
    if (data ? size == 0 || static_cast<const char *>(data)[size - 1] != 0 : size != 0)
        return SM_FAIL(plx::kHtNotString);
    if (p_value) *p_value = static_cast<const char *>(data);
    return 0;
}

uint32_t new_map(uint32_t flags, plx_stringmap_t **p_map,
                 uint32_t (*make_table)(plx_hashtable_t **, void *), void *arg) {
    plx_stringmap_t *map = plx::alloc_record<plx_stringmap_t>();
    if (!map) return SM_FAIL(plx::kHtNoMemory);
    uint32_t code = make_table(&map->table, arg);
    if (code) {
        plx_memory_free(map);
        return code;
    }
    map->magic = kStringMapMagic;
    map->flags = flags;
    *p_map = map;
    return 0;
}

}  // namespace

extern "C" {

/* Creates an empty map; the hash-table flags apply to its table, plus value-by-reference. */
plx_error_t plx_stringmap_create(plx_stringmap_t **p_map, uint32_t flags) {
    if (plx_datatypes_initchecks() == 0) return plx::kHtNotInitialized;
    if (!p_map) return SM_FAIL(plx::kHtInvalid);
    return new_map(flags, p_map, [](plx_hashtable_t **p_table, void *arg) -> uint32_t {
        return plx_hashtable_create(p_table, *static_cast<uint32_t *>(arg), nullptr);
    }, &flags);
}

/* Deletes the table, then the record; when the table cannot be deleted the map stays. */
plx_error_t plx_stringmap_delete(plx_stringmap_t *map) {
    if (!map) return 0;
    if (map->magic != kStringMapMagic) return SM_FAIL(plx::kHtWrongMagic);
    uint32_t code = plx_hashtable_delete(map->table);
    if (code) return code;
    map->magic = 0;
    plx_memory_free(map);
    return 0;
}

plx_error_t plx_stringmap_clear(plx_stringmap_t *map) {
    if (uint32_t code = check_map(map)) return code;
    return plx_hashtable_clear(map->table);
}

/* A new map with the same flags over a copy of the table (referenced values stay shared). */
plx_error_t plx_stringmap_copy(plx_stringmap_t *map, plx_stringmap_t **p_copy) {
    if (!p_copy) return SM_FAIL(plx::kHtInvalid);
    if (uint32_t code = check_map(map)) return code;
    return new_map(map->flags, p_copy, [](plx_hashtable_t **p_table, void *arg) -> uint32_t {
        return plx_hashtable_copy(static_cast<plx_stringmap_t *>(arg)->table, p_table);
    }, map);
}

/* Number of values over all keys. */
plx_error_t plx_stringmap_count(plx_stringmap_t *map, uint32_t *p_count) {
    if (!p_count) return SM_FAIL(plx::kHtInvalid);
    if (uint32_t code = check_map(map)) return code;
    return plx_hashtable_count(map->table, p_count);
}

/* Adds value (a string or null) under key, as the table's flags say: by default a new key is
 * added and an existing key's value replaced. */
plx_error_t plx_stringmap_value_add(plx_stringmap_t *map, const char *key, const char *value) {
    if (uint32_t code = check_map(map)) return code;
    uint32_t size = value ? static_cast<uint32_t>(strlen(value)) + 1 : 0;
    uint8_t copy = (map->flags & PLX_STRINGMAP_FLAG_VALUE_BY_REFERENCE) ? 0 : 1;
    return plx_hashtable_value_add(map->table, key, value, size, copy);
}

/* Value `index` of key: the map's copy, or the caller's string under value-by-reference. */
plx_error_t plx_stringmap_value_find_ex(plx_stringmap_t *map, const char *key, uint32_t index,
                                        const char **p_value) {
    if (uint32_t code = check_map(map)) return code;
    const void *data = nullptr;
    uint32_t size = 0;
    uint32_t code = plx_hashtable_value_find_ex(map->table, key, index, &data, &size);
    if (code) return code;
    return as_string(data, size, p_value);
}

/* The entry at flat index `index` in insertion order of the keys. */
plx_error_t plx_stringmap_value_get(plx_stringmap_t *map, uint32_t index, const char **p_key,
                                    const char **p_value) {
    if (uint32_t code = check_map(map)) return code;
    const char *key = nullptr;
    const void *data = nullptr;
    uint32_t size = 0;
    uint32_t code = plx_hashtable_index_get(map->table, index, &key, &data, &size);
    if (code) return code;
    code = as_string(data, size, p_value);
    if (code == 0 && p_key) *p_key = key;
    return code;
}

/* The number of values of key; 0 with success for an absent key. */
plx_error_t plx_stringmap_value_count(plx_stringmap_t *map, const char *key, uint32_t *p_count) {
    if (!p_count) return SM_FAIL(plx::kHtInvalid);
    if (uint32_t code = check_map(map)) return code;
    *p_count = 0;
    return plx_hashtable_value_count(map->table, key, p_count);
}

/* Removes key with all its values. */
plx_error_t plx_stringmap_value_delete(plx_stringmap_t *map, const char *key) {
    if (uint32_t code = check_map(map)) return code;
    return plx_hashtable_value_delete(map->table, key);
}

}  // extern "C"
