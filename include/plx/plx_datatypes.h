/* Containers: sorting, vector, hash table, string map, string table.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise.
 *
 * Codes of the containers (package 0x0D):
 *   0x900D0001  a null container or a null or invalid argument (where a call says no
 *               otherwise); nothing changed;
 *   0x900D0002  memory ran out; the container is as it was before the call;
 *   0x900D0007  create without plx_datatypes_initialize;
 *   0x900D0321  a record that is not a container of the kind called (vector: 0x900D0320 for
 *               the calls that store or hand out storage);
 *   0x100D0003  (a status) no such key, value, id or element;
 *   0x100D0361  (a status) an index or position at or past the end.
 * A failure leaves the out-parameters as they were. delete of NULL is no error. A container
 * created with its THREADSAFE flag holds a critical section over every call (a failed enter
 * is returned as the thread package's code); the string table has no lock and callers
 * serialize its use. */
#ifndef PLX_DATATYPES_H
#define PLX_DATATYPES_H

#include "plx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- datatypes module ---- */
plx_error_t plx_datatypes_initialize(void);
plx_error_t plx_datatypes_shutdown(void);
uint32_t    plx_datatypes_initchecks(void);
const char *plx_datatypes_get_version(void);
const char *plx_datatypes_get_build_date(void);

/* ---- sorting (package 0x0F) ---- */
typedef int32_t (*plx_utils_qsort_compare_fn)(const void *a, const void *b, void *argument);

/* In place and not stable; `argument` is passed unchanged to every compare call. 0x900F0001
 * for a null base or a null compare. The pivot is a one-element block from the host
 * allocator: without one nothing moves and the result is still 0. */
plx_error_t plx_utils_qsort(void *base, uint32_t count, uint32_t element_size,
                            plx_utils_qsort_compare_fn compare, void *argument);

/* ---- vector ----
 * Elements of a fixed size copied in and out by value. SORTED keeps them ordered by the compare
 * function (adds go where a binary search puts them), UNIQUE refuses a second equal element
 * (add then answers 0 with the index of the one there). 0x900D0209 when a size does not match
 * the element size. Pointers into the buffer are valid until the next change. */
typedef struct plx_vector2_s plx_vector2_t;

#define PLX_VECTOR2_FLAG_THREADSAFE 0x01u
#define PLX_VECTOR2_FLAG_SORTED     0x10u
#define PLX_VECTOR2_FLAG_UNIQUE     0x20u

/* <0: a before b; 0: equal; >0: after. Searches call it as (stored element, caller's value). */
typedef int32_t  (*plx_vector2_compare_fn)(const void *a, const void *b);
/* called on an element inside the buffer that the vector disposes of; result ignored */
typedef uint32_t (*plx_vector2_free_fn)(void *element);
/* returning 0 stops the walk; foreach then answers 0x900D01A0 */
typedef uint32_t (*plx_vector2_foreach_fn)(void *data, const void *element);

plx_error_t plx_vector2_create(plx_vector2_t **p_vector, uint32_t element_size, uint32_t flags,
                               plx_vector2_compare_fn compare, plx_vector2_free_fn free_fn);
plx_error_t plx_vector2_delete(plx_vector2_t *vector);
plx_error_t plx_vector2_clear(plx_vector2_t *vector);
/* a NULL vector counts 0 and succeeds */
plx_error_t plx_vector2_count(plx_vector2_t *vector, uint32_t *p_count);
/* copies element_size bytes from value; p_index (may be NULL) <- where it is or already was */
plx_error_t plx_vector2_add(plx_vector2_t *vector, const void *value, uint32_t element_size,
                            uint32_t *p_index);
plx_error_t plx_vector2_insert(plx_vector2_t *vector, uint32_t index, const void *value,
                               uint32_t element_size);
/* p_element <- pointer into the buffer, valid until the next change */
plx_error_t plx_vector2_getindex(plx_vector2_t *vector, uint32_t index, void **p_element);
/* lowest index of an equal element; p_index may be NULL */
plx_error_t plx_vector2_find(plx_vector2_t *vector, const void *value, uint32_t *p_index);
plx_error_t plx_vector2_deleteindex(plx_vector2_t *vector, uint32_t index);
/* removes first..last inclusive; last is clamped to count - 1 */
plx_error_t plx_vector2_deleterange(plx_vector2_t *vector, uint32_t first, uint32_t last);
plx_error_t plx_vector2_foreach(plx_vector2_t *vector, plx_vector2_foreach_fn callback, void *data);
/* installs compare; sorts when force != 0 or the vector is not marked sorted */
plx_error_t plx_vector2_sort(plx_vector2_t *vector, plx_vector2_compare_fn compare, uint32_t force);
plx_error_t plx_vector2_trim(plx_vector2_t *vector);
plx_error_t plx_vector2_set_min_size(plx_vector2_t *vector, uint32_t capacity);
/* each out may be NULL; p_byte_size <- count * element size; buffer stays the vector's */
plx_error_t plx_vector2_get_buffer(plx_vector2_t *vector, void **p_buffer,
                                   uint32_t *p_byte_size, uint32_t *p_element_size);
/* adopts buffer holding byte_size / element_size elements; owns != 0 lets the vector realloc/free it */
plx_error_t plx_vector2_attach(plx_vector2_t *vector, void *buffer, uint32_t byte_size,
                               uint32_t element_size, uint8_t owns);
/* hands the buffer (host allocator) and its elements to the caller; each out may be NULL */
plx_error_t plx_vector2_detach(plx_vector2_t *vector, void **p_buffer, uint32_t *p_capacity,
                               uint32_t *p_element_size);

/* ---- hash table ----
 * NUL-terminated, non-empty keys (ASCII case folded unless CASE_SENSITIVE), each with an
 * ordered list of values: byte ranges copied or referenced (data and size both absent or both
 * present). A key without MULTI_VALUE holds one value that an add replaces; with UNIQUE_KEYS a
 * second add of a key is 0x900D0368. Keys are kept in insertion order for the flat index, and
 * the first spelling of a key stays. KEY_BY_REFERENCE keeps the caller's key pointer, which
 * must outlive the entry. A handed-out value stays valid until it is removed, replaced or
 * cleared; in a THREADSAFE table without NO_RETIRE a replaced or removed value that was handed
 * out lives on until the next clear or delete. A NULL table is "not found" for finds. */
typedef struct plx_hashtable_s plx_hashtable_t;

#define PLX_HASHTABLE_FLAG_THREADSAFE       0x01u
#define PLX_HASHTABLE_FLAG_CASE_SENSITIVE   0x10u
#define PLX_HASHTABLE_FLAG_UNIQUE_KEYS      0x20u
#define PLX_HASHTABLE_FLAG_MULTI_VALUE      0x40u
#define PLX_HASHTABLE_FLAG_NO_RETIRE        0x80u
#define PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE 0x100u

/* called with (data, size) of a disposed value whose data is not NULL; result ignored */
typedef uint32_t (*plx_hashtable_free_fn)(void *data, uint32_t size);

plx_error_t plx_hashtable_create(plx_hashtable_t **p_table, uint32_t flags,
                                 plx_hashtable_free_fn free_fn);
plx_error_t plx_hashtable_delete(plx_hashtable_t *table);
plx_error_t plx_hashtable_clear(plx_hashtable_t *table);
/* Same flags, keys and values in the same order, no free callback; copied data is copied
 * again, referenced data is referenced by both. A failed copy leaves nothing behind. */
plx_error_t plx_hashtable_copy(plx_hashtable_t *table, plx_hashtable_t **p_copy);
plx_error_t plx_hashtable_count(plx_hashtable_t *table, uint32_t *p_count);   /* total values */
/* copy != 0: the table keeps its own copy of size bytes; else it references data */
plx_error_t plx_hashtable_value_add(plx_hashtable_t *table, const char *key, const void *data,
                                    uint32_t size, uint8_t copy);
/* absent key: returns 0 and leaves *p_count untouched */
plx_error_t plx_hashtable_value_count(plx_hashtable_t *table, const char *key, uint32_t *p_count);
/* index = position within the key's values; p_data and p_size may be NULL */
plx_error_t plx_hashtable_value_find_ex(plx_hashtable_t *table, const char *key, uint32_t index,
                                        const void **p_data, uint32_t *p_size);
plx_error_t plx_hashtable_value_update_ex(plx_hashtable_t *table, const char *key, uint32_t index,
                                          const void *data, uint32_t size, uint8_t copy);
/* referenced value: p_data/p_size <- caller's pointer (ownership back); copied value: NULL/0 */
plx_error_t plx_hashtable_value_remove_ex(plx_hashtable_t *table, const char *key, uint32_t index,
                                          void **p_data, uint32_t *p_size);
plx_error_t plx_hashtable_value_delete(plx_hashtable_t *table, const char *key);
/* index = flat index over all values in key insertion order; outs may be NULL */
plx_error_t plx_hashtable_index_get(plx_hashtable_t *table, uint32_t index, const char **p_key,
                                    const void **p_data, uint32_t *p_size);
plx_error_t plx_hashtable_index_remove(plx_hashtable_t *table, uint32_t index);

/* ---- string map (flags: the hash table flags plus the one below) ----
 * A hash table of strings: values copied with their terminator unless VALUE_BY_REFERENCE (the
 * caller's string, which must outlive the entry). A referenced value that no longer ends in
 * its terminator where it did is refused on read with 0x900D0360. */
typedef struct plx_stringmap_s plx_stringmap_t;

#define PLX_STRINGMAP_FLAG_VALUE_BY_REFERENCE 0x1000u

plx_error_t plx_stringmap_create(plx_stringmap_t **p_map, uint32_t flags);
plx_error_t plx_stringmap_delete(plx_stringmap_t *map);
plx_error_t plx_stringmap_clear(plx_stringmap_t *map);
plx_error_t plx_stringmap_copy(plx_stringmap_t *map, plx_stringmap_t **p_copy);
plx_error_t plx_stringmap_count(plx_stringmap_t *map, uint32_t *p_count);
plx_error_t plx_stringmap_value_add(plx_stringmap_t *map, const char *key, const char *value);
/* p_value may be NULL; a stored NULL value comes back as NULL */
plx_error_t plx_stringmap_value_find_ex(plx_stringmap_t *map, const char *key, uint32_t index,
                                        const char **p_value);
/* index = flat index; p_key and p_value may be NULL */
plx_error_t plx_stringmap_value_get(plx_stringmap_t *map, uint32_t index, const char **p_key,
                                    const char **p_value);
plx_error_t plx_stringmap_value_count(plx_stringmap_t *map, const char *key, uint32_t *p_count);
plx_error_t plx_stringmap_value_delete(plx_stringmap_t *map, const char *key);

/* ---- string table (ids start at 1; 0 is never an id) ----
 * Interned strings named by ids in the order added; an equal live string gives its id again.
 * Ids are never reused after a removal. The empty string (also once decoded, such as C0 80)
 * is an invalid argument. Adding and attaching complete or leave the table as it was. No lock:
 * callers serialize access. */
typedef struct plx_stringtable_s plx_stringtable_t;

plx_error_t plx_stringtable_create(plx_stringtable_t **p_table, uint32_t flags);
plx_error_t plx_stringtable_delete(plx_stringtable_t *table);
plx_error_t plx_stringtable_clear(plx_stringtable_t *table);
plx_error_t plx_stringtable_add_value(plx_stringtable_t *table, const char *string,
                                      uint32_t *p_id);                    /* p_id may be NULL */
/* p_string points into the table's buffer until the next add/remove/clear/attach */
plx_error_t plx_stringtable_get_value(plx_stringtable_t *table, uint32_t id, const char **p_string);
plx_error_t plx_stringtable_get_value_ref(plx_stringtable_t *table, const char *string,
                                          uint32_t *p_id);
plx_error_t plx_stringtable_remove_value(plx_stringtable_t *table, uint32_t id);
plx_error_t plx_stringtable_count(plx_stringtable_t *table, uint32_t *p_count);
/* position = 0-based rank in ascending id order of live strings; outs may be NULL */
plx_error_t plx_stringtable_enum(plx_stringtable_t *table, uint32_t position, uint32_t *p_id,
                                 const char **p_string);
/* serialized buffer (0x00, then each string and its 0x00); outs may be NULL;
   p_ids_changed <- 1 when a removal left ids that no longer number the buffer 1, 2, 3, ... */
plx_error_t plx_stringtable_get_buffer(plx_stringtable_t *table, const void **p_buffer,
                                       uint32_t *p_byte_size, uint8_t *p_ids_changed);
/* p_buffer_id <- the id the string gets once the current buffer is attached to a table */
plx_error_t plx_stringtable_get_buffer_sync_ref(plx_stringtable_t *table, uint32_t id,
                                                uint32_t *p_buffer_id);
/* replaces the contents with the strings of a serialized buffer (copied, not kept): 0x00,
   then strings of at least one byte each ended by 0x00, trailing 0x00 allowed; anything else
   is 0x900D0001 and changes nothing. Equal strings keep their own ids; a lookup names the one
   a sorted store order puts first */
plx_error_t plx_stringtable_attach_buffer(plx_stringtable_t *table, const void *buffer,
                                          uint32_t byte_size);

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_DATATYPES_H */
