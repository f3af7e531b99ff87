/* plx_vector2: a growable array of fixed-size elements copied in and out by value (package
 * 0x0D). A vector can keep itself ordered by a compare function and then searches and inserts
 * by binary search, can refuse duplicates, can dispose of elements through a free function,
 * can adopt or hand back a raw buffer and can guard itself with its own critical section. */
#include "plx/plx_internal.h"
#include "plx/plx_sort_core.h"

namespace {

constexpr uint32_t kVectorMagic = 0xABCDEF13u;
constexpr const char kSource[] = "plx_vector2";

constexpr uint32_t kInvalidArg = plx::error_code(plx::kPkgDatatypes, plx::kInvalidArg);
constexpr uint32_t kNoMemory = plx::error_code(plx::kPkgDatatypes, plx::kNoMemory);
constexpr uint32_t kNotInitialized = plx::error_code(plx::kPkgDatatypes, plx::kNotInitialized);
constexpr uint32_t kSizeMismatch = plx::error_code(plx::kPkgDatatypes, 0x0209);
constexpr uint32_t kStopped = plx::error_code(plx::kPkgDatatypes, 0x01A0);
/* Two codes for a foreign object: the operations that store or hand out storage answer 0x320,
 * the others the shared wrong-magic code. */
constexpr uint32_t kNotAVector = plx::error_code(plx::kPkgDatatypes, 0x0320);
constexpr uint32_t kWrongMagic = plx::error_code(plx::kPkgDatatypes, plx::kWrongMagic);
constexpr uint32_t kNotFound = plx::status_code(plx::kPkgDatatypes, plx::kNotFound);
constexpr uint32_t kOutOfRange = plx::status_code(plx::kPkgDatatypes, 0x0361);

constexpr uint32_t kSorted = PLX_VECTOR2_FLAG_SORTED;
constexpr uint32_t kUnique = PLX_VECTOR2_FLAG_UNIQUE;

/* Capacity doubles up to this many slots and then grows by this many at a time. */
constexpr uint32_t kGrowthStep = 0x100000;
constexpr uint32_t kFirstCapacity = 8;

/* Elements up to this size are sorted with a pivot on the stack instead of a heap block. */
constexpr uint32_t kStackPivotBytes = 64;

}  // namespace

struct plx_vector2_s {
    uint32_t magic;                  // kVectorMagic while live, 0 once deleted
    plx_thread_critsec_t *lock;      // own critical section under the thread-safe flag, else null
    uint8_t *buffer;                 // capacity * element_size bytes, or null
    uint32_t capacity;               // slots in buffer
    uint32_t element_size;           // bytes per element, never 0
    uint32_t count;                  // slots in use: always the first `count` ones
    uint8_t owns_buffer;             // 1: ours to realloc and free; 0: a caller's, adopted by attach
    uint32_t flags;                  // creation flags; the sorted bit also tracks the current order
    plx_vector2_compare_fn compare;  // order and equality; null compares element addresses
    plx_vector2_free_fn free_fn;     // run on each element the vector disposes of, or null
    uint32_t append_size;            // element_size while a plain append may skip the frame
                                     // (no lock, neither sorted nor unique, 4, 8 or 16 bytes),
                                     // else 0; see refresh_append_size
};

namespace {

using Vector = plx_vector2_s;

/* The order of a vector without compare function: the two addresses as unsigned numbers. */
int32_t compare_addresses(const void *a, const void *b) {
    auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

/* The vector's comparison, resolved once per operation rather than once per call. */
inline plx_vector2_compare_fn _plx_vector2_comparevalues(const Vector &v) {
    return v.compare ? v.compare : compare_addresses;
}

inline uint8_t *slot(const Vector &v, uint32_t index) {
    return v.buffer + static_cast<size_t>(index) * v.element_size;
}

/* Copies one element; the common sizes become a single load and store. */
inline void copy_element(uint8_t *dst, const void *src, uint32_t size) {
    switch (size) {
        case 4: memcpy(dst, src, 4); break;
        case 8: memcpy(dst, src, 8); break;
        default: memcpy(dst, src, size); break;
    }
}

/* Recomputes append_size after a change of lock, flags or element size. */
inline void refresh_append_size(Vector &v) {
    const uint32_t size = v.element_size;
    const bool plain = !v.lock && !(v.flags & (kSorted | kUnique));
    v.append_size = plain && (size == 4 || size == 8 || size == 16) ? size : 0;
}

inline void _plx_vector2_freevalue(const Vector &v, uint32_t index) {
    if (v.free_fn) v.free_fn(slot(v, index));
}

/* Lets the sort call the vector's compare function, which takes no extra argument. */
int32_t _plx_vector2_qsort_compare(const void *a, const void *b, void *vector) {
    return static_cast<const Vector *>(vector)->compare(a, b);
}

/* The frame of every operation on an existing vector: a null vector is an invalid argument, a
 * foreign object gives `foreign` (0x320 or 0x321 by operation), then the operation's own
 * argument test, then `body` runs with the vector's lock held. Errors are logged under the
 * operation's source line. */
template <class Body>
uint32_t with_vector(plx_vector2_t *vector, uint32_t foreign, int32_t line, bool args_ok,
                     Body body) {
    uint32_t code;
    if (!vector || !args_ok) {
        code = kInvalidArg;
    } else if (vector->magic != kVectorMagic) {
        code = foreign;
    } else {
        plx::CritsecGuard hold(vector->lock);
        code = hold.entered() ? hold.entered() : hold.finish(body(*vector));
    }
    return plx::log_error(code, kSource, line);
}

/* Disposes of every element and of the buffer; the flags stay as they are. */
void clear_contents(Vector &v) {
    if (v.free_fn)
        for (uint32_t i = 0; i < v.count; ++i) _plx_vector2_freevalue(v, i);
    if (v.owns_buffer) plx_memory_free(v.buffer);
    v.buffer = nullptr;
    v.capacity = 0;
    v.count = 0;
    v.owns_buffer = 1;
}

/* Sets the capacity to `capacity` slots unless that is below the count or already the
 * capacity. A caller's buffer is never resized or freed: the elements move to a new buffer
 * that the vector owns. On failure the vector is unchanged. */
uint32_t _plx_vector2_growarray(Vector &v, uint32_t capacity) {
    if (capacity < v.count || capacity == v.capacity) return 0;
    if (capacity == 0) {
        if (v.owns_buffer) plx_memory_free(v.buffer);
        v.buffer = nullptr;
        v.capacity = 0;
        v.owns_buffer = 1;
        return 0;
    }
    if (plx::mul_overflows(capacity, v.element_size)) return kNoMemory;
    const size_t bytes = static_cast<size_t>(capacity) * v.element_size;
    uint8_t *fresh;
    if (v.owns_buffer) {
        fresh = static_cast<uint8_t *>(plx_memory_realloc(v.buffer, bytes));
        if (!fresh) return kNoMemory;
    } else {
        fresh = static_cast<uint8_t *>(plx_memory_alloc(bytes));
        if (!fresh) return kNoMemory;
        if (v.count) memcpy(fresh, v.buffer, static_cast<size_t>(v.count) * v.element_size);
        v.owns_buffer = 1;
    }
    v.buffer = fresh;
    v.capacity = capacity;
    return 0;
}

/* Makes room for one more element: 8 slots first, then doubling, then steps of 0x100000. */
uint32_t grow_for_one(Vector &v) {
    if (v.capacity > v.count) return 0;
    if (v.count == UINT32_MAX) return kNoMemory;
    uint32_t capacity;
    if (v.capacity == 0)
        capacity = kFirstCapacity;
    else if (v.capacity < kGrowthStep)
        capacity = v.capacity * 2;
    else
        capacity = v.capacity > UINT32_MAX - kGrowthStep ? UINT32_MAX : v.capacity + kGrowthStep;
    return _plx_vector2_growarray(v, capacity);
}

/* Stores a copy of *value at `index` (0..count), moving the later elements up. `value` may
 * point into the vector's own buffer; on return it points at a copy of the value that is
 * still valid. */
inline uint32_t _plx_vector2_insert(Vector &v, uint32_t index, const void *&value) {
    const size_t size = v.element_size;
    const uint8_t *src = static_cast<const uint8_t *>(value);
    const uintptr_t first = reinterpret_cast<uintptr_t>(v.buffer);
    const uintptr_t where = reinterpret_cast<uintptr_t>(src);
    const bool aliased = v.buffer && where >= first && where - first < v.capacity * size;
    const size_t offset = aliased ? where - first : 0;
    const size_t moved_from = index * size, moved_to = v.count * size;
    if (uint32_t code = grow_for_one(v)) return code;
    uint8_t *at = slot(v, index);
    if (index < v.count) memmove(at + size, at, (v.count - index) * size);
    if (aliased) {
        /* The value moved with the buffer, and up by one element if it was one of those
         * that made room. */
        src = v.buffer + offset + (offset >= moved_from && offset < moved_to ? size : 0);
        memmove(at, src, size);
        value = at;
    } else {
        copy_element(at, src, v.element_size);
    }
    ++v.count;
    return 0;
}

/* Looks for an element equal to *value. A match gives 0 and its index (in a sorted vector any
 * one of several equal elements); otherwise the not-found status and the insertion point
 * that keeps the order. Searches call compare(stored element, value). `end_first` (for
 * stores) first compares the last element of a sorted vector, which settles values that
 * arrive in ascending order with one compare; the outcome is the same either way. */
uint32_t _plx_vector2_findvalue(const Vector &v, const void *value, uint32_t *p_index,
                                bool end_first = false) {
    const plx_vector2_compare_fn cmp = _plx_vector2_comparevalues(v);
    if (!(v.flags & kSorted)) {
        for (uint32_t i = 0; i < v.count; ++i) {
            if (cmp(slot(v, i), value) == 0) {
                *p_index = i;
                return 0;
            }
        }
        *p_index = v.count;
        return kNotFound;
    }
    if (v.count == 0) {
        *p_index = 0;
        return kNotFound;
    }
    /* lo starts at -1: unsigned wrap-around keeps hi - lo and lo + (hi - lo) / 2 exact for
     * every 32-bit count. */
    uint32_t lo = UINT32_MAX, hi = v.count - 1;
    int32_t at_hi = 0;  // compare(element hi, value) once hi has been probed, else 0
    if (end_first) {
        /* Above the last element the search below ends at count too. An equal last element
         * is not taken: with duplicates the search may settle on another of them. */
        const int32_t c = cmp(slot(v, hi), value);
        if (c < 0) {
            *p_index = v.count;
            return kNotFound;
        }
        if (c > 0) at_hi = c;
    }
    while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const int32_t c = cmp(slot(v, mid), value);
        if (c == 0) {
            *p_index = mid;
            return 0;
        }
        if (c > 0) {
            hi = mid;
            at_hi = c;
        } else {
            lo = mid;
        }
    }
    const int32_t c = at_hi ? at_hi : cmp(slot(v, hi), value);
    if (c == 0) {
        *p_index = hi;
        return 0;
    }
    *p_index = c > 0 ? hi : hi + 1;
    return kNotFound;
}

/* Starts loading the two elements, `far` and `near + far` bytes past `from`, where a search
 * step after next can probe. */
inline void prefetch_probes(const uint8_t *from, size_t near, size_t far) {
    __builtin_prefetch(from + far);
    __builtin_prefetch(from + near + far);
}

/* The lowest index of an element equal to *value in a sorted, non-empty vector, or the
 * not-found status. A branch-free lower bound: the probed span halves by the same amount
 * whatever the outcome, so each step is one compare and two masked adds with nothing to
 * mispredict, and the places the probe two steps on can fall are fetched while this compare
 * runs (one step ahead leaves most of the memory latency exposed, three waste bandwidth).
 * One more compare at the end tests the bound for equality (the first element, when no probe
 * was below the value, settles it alone). Out of line, so that the loop's values keep the
 * registers a call preserves instead of going through the stack. */
[[gnu::noinline]] uint32_t lower_bound_find(const Vector &v, const void *value, uint32_t *p_index) {
    const plx_vector2_compare_fn cmp = _plx_vector2_comparevalues(v);
    const size_t size = v.element_size;
    const uint8_t *base = v.buffer;  // the bound is base or one of the n elements after it
    uint32_t index = 0;              // base's index
    uint32_t n = v.count;
    while (n > 1) {
        const uint32_t half = n / 2, rest = n - half;
        const uint8_t *probe = base + static_cast<size_t>(half) * size;
        /* The next probe is `near` past base or past this probe, the one after it `far` past
         * that or `near + far`. The step before fetched the next probe's two places; this one
         * fetches the four of the probe after it. */
        const size_t near = static_cast<size_t>(rest / 2) * size;
        const size_t far = static_cast<size_t>((rest - rest / 2) / 2) * size;
        prefetch_probes(base, near, far);
        prefetch_probes(probe, near, far);
        /* all ones when the probe is below the value: base moves up to it */
        const size_t below = static_cast<size_t>(0) - (cmp(probe, value) < 0);
        base += (static_cast<size_t>(half) * size) & below;
        index += half & static_cast<uint32_t>(below);
        n -= half;
    }
    /* A base that moved is known to be below the value; the first element may not be. */
    if (index == 0) {
        const int32_t c = cmp(base, value);
        if (c > 0) return kNotFound;
        if (c == 0) {
            *p_index = 0;
            return 0;
        }
    }
    if (++index == v.count || cmp(base + size, value) != 0) return kNotFound;
    *p_index = index;
    return 0;
}

/* Sorts the elements in place with the vector's compare function. */
uint32_t sort_contents(Vector &v) {
    if (v.count < 2) return 0;
    alignas(8) uint8_t local[kStackPivotBytes];
    plx::HostPtr<uint8_t> heap;
    uint8_t *pivot = local;
    if (v.element_size > kStackPivotBytes) {
        heap.reset(static_cast<uint8_t *>(plx_memory_alloc(v.element_size)));
        if (!heap) return kNoMemory;
        pivot = heap.get();
    }
    plx::sort_elements(v.buffer, v.count, v.element_size, _plx_vector2_qsort_compare, &v, pivot);
    return 0;
}

/* plx_vector2_add beyond the common append: the full frame, sorted and unique stores,
 * growth. Kept out of line so that the common append needs no stack frame. */
__attribute__((noinline)) uint32_t add_general(plx_vector2_t *vector, const void *value,
                                               uint32_t element_size, uint32_t *p_index) {
    return with_vector(vector, kNotAVector, __LINE__, value != nullptr, [&](Vector &v) {
        if (element_size != v.element_size) return kSizeMismatch;
        uint32_t index = v.count;
        if (v.flags & (kSorted | kUnique)) {
            const uint32_t found = _plx_vector2_findvalue(v, value, &index, true);
            if (found == 0 && (v.flags & kUnique)) {
                if (p_index) *p_index = index;
                return 0u;
            }
            if (found != 0 && found != kNotFound) return found;
        }
        const void *stored = value;
        const uint32_t code = _plx_vector2_insert(v, index, stored);
        if (code == 0 && p_index) *p_index = index;
        return code;
    });
}

/* plx_vector2_add's frameless append of a Size-byte element, when the vector allows it (see
 * append_size: no lock, neither sorted nor unique) and has room; false leaves everything to
 * the general path. */
template <uint32_t Size>
inline bool append_short(plx_vector2_t *vector, const void *value, uint32_t *p_index) {
    if (!vector || !value || vector->magic != kVectorMagic || vector->append_size != Size ||
        vector->count >= vector->capacity)
        return false;
    const uint32_t index = vector->count;
    /* memmove: the value may lie in the buffer. */
    memmove(vector->buffer + static_cast<size_t>(index) * Size, value, Size);
    vector->count = index + 1;
    if (p_index) *p_index = index;
    return true;
}

}  // namespace

extern "C" {

/* Creates an empty vector of `element_size`-byte elements (no buffer yet). Flags: thread-safe
 * (own critical section), sorted (kept in compare order), unique (no two equal elements).
 * 0x900D0007 while the datatypes module is down; 0x900D0001 for a null out or element size 0;
 * 0x900D0002 when memory runs out; a critical-section error unchanged. */
plx_error_t plx_vector2_create(plx_vector2_t **p_vector, uint32_t element_size, uint32_t flags,
                               plx_vector2_compare_fn compare, plx_vector2_free_fn free_fn) {
    if (plx_datatypes_initchecks() == 0) return kNotInitialized;
    if (!p_vector || element_size == 0) return plx::log_error(kInvalidArg, kSource, __LINE__);
    plx::HostPtr<Vector> v(plx::alloc_record<Vector>());
    if (!v) return plx::log_error(kNoMemory, kSource, __LINE__);
    v->magic = kVectorMagic;
    v->element_size = element_size;
    v->owns_buffer = 1;
    v->flags = flags;
    v->compare = compare;
    v->free_fn = free_fn;
    if (flags & PLX_VECTOR2_FLAG_THREADSAFE) {
        if (uint32_t code = plx_thread_critsec_create(&v->lock))
            return plx::log_error(code, kSource, __LINE__);
    }
    refresh_append_size(*v.get());
    *p_vector = v.release();
    return 0;
}

/* Clears the vector (running the free function), deletes its lock and frees it. A null
 * vector returns 0; nothing is freed when the clear fails. */
plx_error_t plx_vector2_delete(plx_vector2_t *vector) {
    if (!vector) return 0;
    if (vector->magic != kVectorMagic) return plx::log_error(kNotAVector, kSource, __LINE__);
    if (uint32_t code = plx_vector2_clear(vector)) return code;
    plx_thread_critsec_delete(vector->lock);
    vector->magic = 0;
    plx_memory_free(vector);
    return 0;
}

/* Disposes of every element (free function, in order) and of the buffer. */
plx_error_t plx_vector2_clear(plx_vector2_t *vector) {
    return with_vector(vector, kWrongMagic, __LINE__, true, [](Vector &v) -> uint32_t {
        clear_contents(v);
        return 0;
    });
}

/* *p_count <- number of elements; a null vector counts 0 and succeeds. */
plx_error_t plx_vector2_count(plx_vector2_t *vector, uint32_t *p_count) {
    if (!vector) {
        if (p_count) *p_count = 0;
        return 0;
    }
    return with_vector(vector, kWrongMagic, __LINE__, p_count != nullptr, [&](Vector &v) {
        *p_count = v.count;
        return 0u;
    });
}

/* Stores a copy of *value: appended, or under the sorted flag at its place in the order (before
 * the equal elements found); under the unique flag an equal element already stored is kept and
 * nothing is added. *p_index (may be null) <- where the value is, written only on success.
 * 0x900D0209 when element_size is not the vector's. */
plx_error_t plx_vector2_add(plx_vector2_t *vector, const void *value, uint32_t element_size,
                            uint32_t *p_index) {
    /* The common append: a plain vector without lock that has room, of an element size that
     * copies in one load and store. It does what the general path does for it (no search, no
     * growth, and a value inside the buffer cannot have moved), minus the frame. Each size
     * gets its own copy of the path, so that the slot address is a shift. */
    switch (element_size) {
        case 4: if (append_short<4>(vector, value, p_index)) return 0; break;
        case 8: if (append_short<8>(vector, value, p_index)) return 0; break;
        case 16: if (append_short<16>(vector, value, p_index)) return 0; break;
        default: break;
    }
    return add_general(vector, value, element_size, p_index);
}

/* Stores a copy of *value at `index` (0..count; beyond: 0x100D0361). A sorted vector whose
 * order the value breaks is no longer marked sorted. */
plx_error_t plx_vector2_insert(plx_vector2_t *vector, uint32_t index, const void *value,
                               uint32_t element_size) {
    return with_vector(vector, kNotAVector, __LINE__, value != nullptr, [&](Vector &v) {
        if (element_size != v.element_size) return kSizeMismatch;
        if (index > v.count) return kOutOfRange;
        const void *stored = value;
        if (uint32_t code = _plx_vector2_insert(v, index, stored)) return code;
        if (v.flags & kSorted) {
            const plx_vector2_compare_fn cmp = _plx_vector2_comparevalues(v);
            if ((index > 0 && cmp(stored, slot(v, index - 1)) < 0) ||
                (index + 1 < v.count && cmp(slot(v, index + 1), stored) < 0)) {
                v.flags &= ~kSorted;
                refresh_append_size(v);
            }
        }
        return 0u;
    });
}

/* *p_element <- the element at `index` inside the buffer, valid until the next change;
 * 0x100D0361 when index >= count. */
plx_error_t plx_vector2_getindex(plx_vector2_t *vector, uint32_t index, void **p_element) {
    return with_vector(vector, kWrongMagic, __LINE__, p_element != nullptr, [&](Vector &v) {
        if (index >= v.count) return kOutOfRange;
        *p_element = slot(v, index);
        return 0u;
    });
}

/* *p_index (may be null) <- the lowest index of an element equal to *value: a linear scan, or
 * in a sorted vector a lower-bound search. 0x100D0003 when there is none; *p_index is then
 * left alone. */
plx_error_t plx_vector2_find(plx_vector2_t *vector, const void *value, uint32_t *p_index) {
    return with_vector(vector, kWrongMagic, __LINE__, value != nullptr, [&](Vector &v) {
        uint32_t index;
        const uint32_t code = !(v.flags & kSorted) ? _plx_vector2_findvalue(v, value, &index)
                              : v.count             ? lower_bound_find(v, value, &index)
                                                    : kNotFound;
        if (code == 0 && p_index) *p_index = index;
        return code;
    });
}

/* Removes the element at `index` after running the free function on it; 0x100D0361 when
 * index >= count. */
plx_error_t plx_vector2_deleteindex(plx_vector2_t *vector, uint32_t index) {
    return with_vector(vector, kWrongMagic, __LINE__, true, [&](Vector &v) {
        if (index >= v.count) return kOutOfRange;
        _plx_vector2_freevalue(v, index);
        uint8_t *at = slot(v, index);
        memmove(at, at + v.element_size, static_cast<size_t>(v.count - index - 1) * v.element_size);
        --v.count;
        return 0u;
    });
}

/* Removes the elements first..last inclusive (last clamped to count - 1), running the free
 * function on each in order. first >= count gives 0x100D0361; first > last removes nothing. */
plx_error_t plx_vector2_deleterange(plx_vector2_t *vector, uint32_t first, uint32_t last) {
    return with_vector(vector, kWrongMagic, __LINE__, true, [&](Vector &v) {
        if (first >= v.count) return kOutOfRange;
        if (first > last) return 0u;
        if (last >= v.count) last = v.count - 1;
        for (uint32_t i = first; i <= last; ++i) _plx_vector2_freevalue(v, i);
        memmove(slot(v, first), slot(v, last + 1),
                static_cast<size_t>(v.count - last - 1) * v.element_size);
        v.count -= last - first + 1;
        return 0u;
    });
}

/* Calls callback(data, element) for each element in order; a zero return stops the walk with
 * 0x900D01A0. The callback may change the vector: the walk re-reads count and buffer. */
plx_error_t plx_vector2_foreach(plx_vector2_t *vector, plx_vector2_foreach_fn callback, void *data) {
    return with_vector(vector, kWrongMagic, __LINE__, callback != nullptr, [&](Vector &v) {
        for (uint32_t i = 0; i < v.count; ++i)
            if (callback(data, slot(v, i)) == 0) return kStopped;
        return 0u;
    });
}

/* Installs `compare` (a different one drops the sorted mark) and, when it is not null, sorts
 * unless the vector is already marked sorted and `force` is 0; the vector is then marked
 * sorted. 0x900D0002 (order and mark unchanged) when an element too large for the stack pivot
 * finds no memory for it. */
plx_error_t plx_vector2_sort(plx_vector2_t *vector, plx_vector2_compare_fn compare, uint32_t force) {
    return with_vector(vector, kWrongMagic, __LINE__, true, [&](Vector &v) {
        if (compare != v.compare) {
            v.compare = compare;
            v.flags &= ~kSorted;
        }
        uint32_t code = 0;
        if (compare && (force || !(v.flags & kSorted))) {
            code = sort_contents(v);
            if (code == 0) v.flags |= kSorted;
        }
        refresh_append_size(v);
        return code;
    });
}

/* Shrinks the capacity to the count. */
plx_error_t plx_vector2_trim(plx_vector2_t *vector) {
    return with_vector(vector, kWrongMagic, __LINE__, true,
                       [](Vector &v) { return _plx_vector2_growarray(v, v.count); });
}

/* Sets the capacity to `capacity` slots when that is at least the count (it may shrink); a
 * null vector returns 0. */
plx_error_t plx_vector2_set_min_size(plx_vector2_t *vector, uint32_t capacity) {
    if (!vector) return 0;
    return with_vector(vector, kNotAVector, __LINE__, true,
                       [&](Vector &v) { return _plx_vector2_growarray(v, capacity); });
}

/* Each out may be null: the buffer (still the vector's), count * element size, element size. */
plx_error_t plx_vector2_get_buffer(plx_vector2_t *vector, void **p_buffer, uint32_t *p_byte_size,
                                   uint32_t *p_element_size) {
    return with_vector(vector, kNotAVector, __LINE__, true, [&](Vector &v) {
        if (p_buffer) *p_buffer = v.buffer;
        if (p_byte_size) *p_byte_size = v.count * v.element_size;
        if (p_element_size) *p_element_size = v.element_size;
        return 0u;
    });
}

/* Disposes of the present contents and adopts `buffer` as byte_size / element_size elements
 * of element_size bytes, no longer marked sorted. owns != 0 lets the vector reallocate and
 * free it; otherwise it is copied out on the first growth and never freed. 0x900D0001 for
 * element size 0, a null buffer with a byte size, or the vector's own buffer; 0x900D0209 when
 * byte_size is not a multiple of element_size. */
plx_error_t plx_vector2_attach(plx_vector2_t *vector, void *buffer, uint32_t byte_size,
                               uint32_t element_size, uint8_t owns) {
    const bool args_ok = element_size != 0 && (buffer || byte_size == 0);
    return with_vector(vector, kNotAVector, __LINE__, args_ok, [&](Vector &v) {
        if (byte_size % element_size) return kSizeMismatch;
        auto *adopted = static_cast<uint8_t *>(buffer);
        /* The clear below would free the block being adopted. */
        if (adopted && v.owns_buffer && v.buffer && adopted >= v.buffer &&
            adopted < v.buffer + static_cast<size_t>(v.capacity) * v.element_size)
            return kInvalidArg;
        clear_contents(v);
        v.buffer = adopted;
        v.element_size = element_size;
        v.owns_buffer = (owns || !adopted) ? 1 : 0;
        v.count = v.capacity = byte_size / element_size;
        v.flags &= ~kSorted;
        refresh_append_size(v);
        return 0u;
    });
}

/* Hands the buffer (host allocator; the caller frees it with plx_memory_free), its capacity
 * and the element size to the outs that are not null, without running the free function, and
 * leaves the vector empty. With a null p_buffer nobody could free the buffer, so an owned one
 * is freed here. */
plx_error_t plx_vector2_detach(plx_vector2_t *vector, void **p_buffer, uint32_t *p_capacity,
                               uint32_t *p_element_size) {
    return with_vector(vector, kNotAVector, __LINE__, true, [&](Vector &v) {
        if (p_buffer)
            *p_buffer = v.buffer;
        else if (v.owns_buffer)
            plx_memory_free(v.buffer);
        if (p_capacity) *p_capacity = v.capacity;
        if (p_element_size) *p_element_size = v.element_size;
        v.buffer = nullptr;
        v.capacity = 0;
        v.count = 0;
        v.owns_buffer = 1;
        return 0u;
    });
}

}  // extern "C"
