/* In-place sorting of fixed-size elements (package 0x0F): an iterative quicksort with a
 * median-of-three pivot and a fixed stack of pending ranges, finished by one insertion pass.
 *
 * The order the sort leaves equal elements in is part of its contract, so every step below
 * makes exactly the moves of that algorithm. Only how the bytes travel is tuned: 4- and 8-byte
 * elements get their own instantiation with word-sized moves, other sizes move in 8-, 4- and
 * 1-byte chunks. */
#include "plx/plx_internal.h"
#include "plx/plx_sort_core.h"

namespace {

constexpr uint32_t kSortInvalidArg = plx::error_code(plx::kPkgSort, plx::kInvalidArg);

/* Pending ranges: enough for any 32-bit count, since the larger part is always the one pushed
 * and the part worked on next is at most half of its range. */
constexpr uint32_t kStackDepth = 32;

/* Parts of up to this many elements are left to the insertion pass. */
constexpr uint32_t kSmallPart = 4;

template <class W>
inline void swap_word(uint8_t *a, uint8_t *b) {
    W x, y;
    memcpy(&x, a, sizeof(W));
    memcpy(&y, b, sizeof(W));
    memcpy(a, &y, sizeof(W));
    memcpy(b, &x, sizeof(W));
}

/* Element moves for a size fixed at compile time (N > 0) or known only at run time (N == 0). */
template <uint32_t N>
struct Elements {
    size_t run_size;  // the element size when N == 0

    size_t size() const { return N ? N : run_size; }

    void swap(uint8_t *a, uint8_t *b) const {
        if constexpr (N == 4) {
            swap_word<uint32_t>(a, b);
        } else if constexpr (N == 8) {
            swap_word<uint64_t>(a, b);
        } else {
            size_t n = run_size;
            for (; n >= 8; n -= 8, a += 8, b += 8) swap_word<uint64_t>(a, b);
            if (n >= 4) {
                swap_word<uint32_t>(a, b);
                n -= 4, a += 4, b += 4;
            }
            for (; n > 0; --n, ++a, ++b) swap_word<uint8_t>(a, b);
        }
    }

    void copy(uint8_t *dst, const uint8_t *src) const { memcpy(dst, src, size()); }

    /* Moves the elements [from, to) up by one place; `to` is overwritten. */
    void shift_up(uint8_t *from, uint8_t *to) const {
        if constexpr (N != 0) {
            for (uint8_t *p = to; p != from; p -= N) memcpy(p, p - N, N);
        } else {
            memmove(from + run_size, from, static_cast<size_t>(to - from));
        }
    }
};

struct Range {
    uint8_t *lo;
    uint8_t *hi;
};

template <uint32_t N>
void sort_with(uint8_t *base, uint32_t count, Elements<N> el, plx_utils_qsort_compare_fn cmp,
               void *arg, uint8_t *pivot) {
    const size_t size = el.size();
    const size_t small = kSmallPart * size;  // byte distance below which a part is left alone
    uint8_t *const end = base + static_cast<size_t>(count - 1) * size;

    if (count > kSmallPart) {
        Range stack[kStackDepth];
        uint32_t top = 0;  // 0: only the end marker is left
        uint8_t *lo = base;
        uint8_t *hi = end;
        for (;;) {
            uint8_t *mid = lo + size * ((static_cast<size_t>(hi - lo) / size) >> 1);
            if (cmp(mid, lo, arg) < 0) el.swap(mid, lo);
            if (cmp(hi, mid, arg) < 0) {
                el.swap(mid, hi);
                if (cmp(mid, lo, arg) < 0) el.swap(mid, lo);
            }
            /* Comparing against a copy lets the partition move the pivot's own slot. */
            el.copy(pivot, mid);

            uint8_t *left = lo + size;
            uint8_t *right = hi - size;
            do {
                /* The median of three bounds both scans for any consistent compare function;
                 * the explicit bounds only keep an inconsistent one inside the array. */
                while (left < hi && cmp(left, pivot, arg) < 0) left += size;
                while (right > lo && cmp(pivot, right, arg) < 0) right -= size;
                if (left < right) {
                    el.swap(left, right);
                    left += size;
                    right -= size;
                } else if (left == right) {
                    left += size;
                    right -= size;
                    break;
                }
            } while (left <= right);

            const size_t low_part = static_cast<size_t>(right - lo);
            const size_t high_part = static_cast<size_t>(hi - left);
            if (low_part <= small) {
                if (high_part <= small) {
                    if (top == 0) break;
                    --top;
                    lo = stack[top].lo;
                    hi = stack[top].hi;
                } else {
                    lo = left;
                }
            } else if (high_part <= small) {
                hi = right;
            } else if (low_part > high_part) {
                stack[top++] = Range{lo, right};
                lo = left;
            } else {
                stack[top++] = Range{left, hi};
                hi = right;
            }
        }
    }

    /* The smallest of the first five elements is the smallest of all (the partitions put
     * every smaller element before it), so it stops every backward scan below. */
    uint8_t *limit = base + (count - 1 < kSmallPart ? count - 1 : kSmallPart) * size;
    uint8_t *smallest = base;
    for (uint8_t *run = base + size; run <= limit; run += size)
        if (cmp(run, smallest, arg) < 0) smallest = run;
    if (smallest != base) el.swap(smallest, base);

    for (uint32_t i = 2; i < count; ++i) {
        uint8_t *run = base + static_cast<size_t>(i) * size;
        uint8_t *at = run;
        /* The sentinel ends every consistent scan; `at > base` only holds an inconsistent
         * compare function inside the array. */
        while (at > base && cmp(run, at - size, arg) < 0) at -= size;
        if (at != run) {
            el.copy(pivot, run);
            el.shift_up(at, run);
            el.copy(at, pivot);
        }
    }
}

}  // namespace

namespace plx {

void sort_elements(void *base, uint32_t count, uint32_t size, plx_utils_qsort_compare_fn compare,
                   void *argument, void *scratch) {
    if (count < 2 || size == 0) return;  // zero-size elements are always in order
    auto *b = static_cast<uint8_t *>(base);
    auto *p = static_cast<uint8_t *>(scratch);
    switch (size) {
        case 4: sort_with<4>(b, count, Elements<4>{4}, compare, argument, p); break;
        case 8: sort_with<8>(b, count, Elements<8>{8}, compare, argument, p); break;
        default: sort_with<0>(b, count, Elements<0>{size}, compare, argument, p); break;
    }
}

}  // namespace plx

extern "C" {

/* Sorts `count` elements of `element_size` bytes at `base` with `compare`, which receives
 * `argument` unchanged. 0x900F0001 for a null base or compare function (even with count 0);
 * otherwise 0, also when the one-element pivot block cannot be allocated, in which case the
 * array is left as it was. Not stable. */
plx_error_t plx_utils_qsort(void *base, uint32_t count, uint32_t element_size,
                            plx_utils_qsort_compare_fn compare, void *argument) {
    if (!base || !compare) return kSortInvalidArg;
    if (count == 0) return 0;
    plx::HostPtr<void> pivot(plx_memory_alloc(element_size));
    if (!pivot) return 0;
    plx::sort_elements(base, count, element_size, compare, argument, pivot.get());
    return 0;
}

}  // extern "C"
