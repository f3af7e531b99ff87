/* plx_utils_qsort: exact agreement with a plain byte-by-byte rendering of the algorithm (which
 * fixes the order of equal elements), sortedness and permutation against std::sort, argument
 * handling and robustness. */
#include <algorithm>
#include <random>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

/* Orders by the first byte only, so larger elements carry a payload that exposes where equal
 * keys end up. */
int32_t by_first_byte(const void *a, const void *b, void *calls) {
    ++*static_cast<uint32_t *>(calls);
    return int32_t(*static_cast<const uint8_t *>(a)) - *static_cast<const uint8_t *>(b);
}

/* The algorithm as plainly as it can be written: byte swaps, byte rotation, no bounds tests. */
void reference_sort(uint8_t *base, uint32_t n, uint32_t size, plx_utils_qsort_compare_fn cmp, void *arg) {
    Bytes pivot(size);
    auto swap = [&](uint8_t *a, uint8_t *b) { std::swap_ranges(a, a + size, b); };
    const ptrdiff_t t = 4 * size;
    struct { uint8_t *lo, *hi; } stack[32] = {};
    int top = n > 4;  // stack[0] is the end marker
    uint8_t *lo = base, *hi = base + (n - 1) * size;
    while (top > 0) {
        uint8_t *mid = lo + size * ((hi - lo) / size / 2), *left = lo + size, *right = hi - size;
        if (cmp(mid, lo, arg) < 0) swap(mid, lo);
        if (cmp(hi, mid, arg) < 0 && (swap(mid, hi), cmp(mid, lo, arg) < 0)) swap(mid, lo);
        std::copy(mid, mid + size, pivot.begin());
        do {
            while (cmp(left, pivot.data(), arg) < 0) left += size;
            while (cmp(pivot.data(), right, arg) < 0) right -= size;
            if (left <= right) {
                bool same = left == right;
                swap(left, right), left += size, right -= size;
                if (same) break;
            }
        } while (left <= right);
        if (right - lo <= t && hi - left <= t) lo = stack[--top].lo, hi = stack[top].hi;
        else if (right - lo <= t) lo = left;
        else if (hi - left <= t) hi = right;
        else if (right - lo > hi - left) stack[top++] = {lo, right}, lo = left;
        else stack[top++] = {left, hi}, hi = right;
    }
    uint8_t *end = base + (n - 1) * size, *small = base;
    for (uint8_t *r = base + size; r <= std::min(end, base + t); r += size)
        if (cmp(r, small, arg) < 0) small = r;
    swap(small, base);
    for (uint8_t *run = base + 2 * size; run <= end; run += size) {
        uint8_t *at = run - size;
        while (cmp(run, at, arg) < 0) at -= size;
        for (int k = int(size) - 1; k >= 0 && at + size != run; --k) {
            uint8_t saved = run[k];
            for (uint8_t *p = run; p > at + size; p -= size) p[k] = p[k - int(size)];
            at[size + k] = saved;
        }
    }
}

class Sort : public vt::ManagerTest {};

TEST_F(Sort, MatchesReferenceAndStdSortForSizes1To16) {
    std::mt19937 rng(4242);
    for (uint32_t size = 1; size <= 16; ++size) {
        for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 11u, 17u, 64u, 257u, 1000u}) {
            for (int pattern = 0; pattern < 4; ++pattern) {
                Bytes data(n * size);
                for (auto &b : data) b = uint8_t(rng());
                for (uint32_t i = 0; i < n; ++i)  // keys: few distinct, ascending, descending, pipe
                    data[i * size] = pattern == 0 ? data[i * size] % 7
                                   : pattern == 1 ? uint8_t(i / 3)
                                   : pattern == 2 ? uint8_t(255 - i / 5) : uint8_t(std::min(i, n - i) % 50);
                Bytes mine = data, ref = data;
                uint32_t calls = 0;
                ASSERT_EQ(0u, plx_utils_qsort(mine.data(), n, size, by_first_byte, &calls));
                reference_sort(ref.data(), n, size, by_first_byte, &calls);
                ASSERT_EQ(ref, mine) << "size " << size << " count " << n << " pattern " << pattern;

                std::vector<Bytes> want, got;
                for (uint32_t i = 0; i < n; ++i) {
                    want.emplace_back(data.begin() + i * size, data.begin() + (i + 1) * size);
                    got.emplace_back(mine.begin() + i * size, mine.begin() + (i + 1) * size);
                }
                ASSERT_TRUE(std::is_sorted(got.begin(), got.end(), [](auto &a, auto &b) { return a[0] < b[0]; }));
                std::sort(want.begin(), want.end());
                std::sort(got.begin(), got.end());
                ASSERT_EQ(want, got) << "not a permutation";
            }
        }
    }
}

TEST_F(Sort, ArgumentsAndMissingPivotMemory) {
    auto numeric = [](const void *a, const void *b, void *arg) -> int32_t {
        EXPECT_EQ(reinterpret_cast<void *>(0x1234), arg) << "the argument reaches every call";
        return *static_cast<const int32_t *>(a) - *static_cast<const int32_t *>(b);
    };
    void *arg = reinterpret_cast<void *>(0x1234);
    int32_t six[] = {2, 1, 5, 3, 4, 1};
    EXPECT_EQ(0u, plx_utils_qsort(six, 6, 4, numeric, arg));
    EXPECT_EQ((std::vector<int32_t>{1, 1, 2, 3, 4, 5}), std::vector<int32_t>(six, six + 6));
    EXPECT_EQ(0u, plx_utils_qsort(six, 0, 0, numeric, arg));
    EXPECT_EQ(0x900F0001u, plx_utils_qsort(nullptr, 0, 4, numeric, arg));
    EXPECT_EQ(0x900F0001u, plx_utils_qsort(six, 6, 4, nullptr, arg));

    int32_t back[] = {3, 2, 1};
    veltra_manager_memory_fail_after(0, 0);
    EXPECT_EQ(0u, plx_utils_qsort(back, 3, 4, numeric, arg));
    EXPECT_EQ(3, back[0]) << "without a pivot block nothing moves";
}

TEST_F(Sort, InconsistentCompareStaysInsideTheArray) {
    /* Random answers must not drive a scan off either end (the sanitizer build watches). */
    std::mt19937 rng(7);
    auto coin = [](const void *, const void *, void *r) -> int32_t {
        return int32_t((*static_cast<std::mt19937 *>(r))() % 3) - 1;
    };
    for (uint32_t n : {6u, 50u, 3000u}) {
        std::vector<uint32_t> v(n), sorted(n);
        for (uint32_t i = 0; i < n; ++i) v[i] = sorted[i] = i;
        ASSERT_EQ(0u, plx_utils_qsort(v.data(), n, 4, coin, &rng));
        std::sort(v.begin(), v.end());
        ASSERT_EQ(sorted, v);
    }
}

}  // namespace
