/* plx_vector2_add's short path for plain appends against the general path for every element
 * size, with values taken from the vector's own buffer; refused adds; the short path after
 * attach and sort. Where sorted stores land is pinned by the fuzz target's model. */
#include <random>
#include <vector>

#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900D0001, kSizeMismatch = 0x900D0209, kNotVector = 0x900D0320;

class VectorAppend : public vt::DatatypesTest {
protected:
    static std::vector<uint8_t> bytes(plx_vector2_t *v) {
        void *buf = nullptr;
        uint32_t n = 0;
        EXPECT_EQ(0u, plx_vector2_get_buffer(v, &buf, &n, nullptr));
        auto *p = static_cast<uint8_t *>(buf);
        return std::vector<uint8_t>(p, p + n);
    }
};

/* Appends the same values, a third of them read from the vector itself, to a plain vector
 * (short path while there is room) and to a thread-safe one (always the general path). */
TEST_F(VectorAppend, ShortPathMatchesGeneralPathForEverySize) {
    std::mt19937 rng(7);
    for (uint32_t size : {1u, 3u, 4u, 8u, 12u, 16u, 24u}) {
        plx_vector2_t *plain = nullptr, *locked = nullptr;
        ASSERT_EQ(0u, plx_vector2_create(&plain, size, 0, nullptr, nullptr));
        ASSERT_EQ(0u, plx_vector2_create(&locked, size, PLX_VECTOR2_FLAG_THREADSAFE, nullptr, nullptr));
        for (uint32_t i = 0; i < 300; ++i) {
            std::vector<uint8_t> fresh(size);
            for (auto &b : fresh) b = static_cast<uint8_t>(rng());
            uint32_t at_plain = 999, at_locked = 999;
            void *src_plain = fresh.data(), *src_locked = fresh.data();
            if (i > 0 && i % 3 == 0) {  /* the element to copy lives in each vector's own buffer */
                uint32_t from = static_cast<uint32_t>(rng() % i);
                ASSERT_EQ(0u, plx_vector2_getindex(plain, from, &src_plain));
                ASSERT_EQ(0u, plx_vector2_getindex(locked, from, &src_locked));
            }
            ASSERT_EQ(0u, plx_vector2_add(plain, src_plain, size, &at_plain));
            ASSERT_EQ(0u, plx_vector2_add(locked, src_locked, size, &at_locked));
            ASSERT_EQ(i, at_plain) << "size " << size;
            ASSERT_EQ(at_locked, at_plain);
        }
        EXPECT_EQ(bytes(locked), bytes(plain)) << "size " << size;
        plx_vector2_delete(plain);
        plx_vector2_delete(locked);
    }
}

/* A refused add leaves the caller's index untouched, on a plain vector with room to spare. */
TEST_F(VectorAppend, RefusedAddsLeaveTheIndexAlone) {
    plx_vector2_t *v = nullptr;
    ASSERT_EQ(0u, plx_vector2_create(&v, 4, 0, nullptr, nullptr));
    ASSERT_EQ(0u, plx_vector2_set_min_size(v, 16));
    int32_t x = 9;
    uint32_t at = 77;
    EXPECT_EQ(kSizeMismatch, plx_vector2_add(v, &x, 8, &at));
    EXPECT_EQ(kInvalid, plx_vector2_add(v, nullptr, 4, &at));
    uint32_t foreign[16] = {0x12345678};
    EXPECT_EQ(kNotVector, plx_vector2_add(reinterpret_cast<plx_vector2_t *>(foreign), &x, 4, &at));
    EXPECT_EQ(77u, at);
    EXPECT_EQ(std::vector<uint8_t>{}, bytes(v));
    plx_vector2_delete(v);
}

/* The short path follows the element size and order of the moment: an adopted buffer of
 * another element size, then a sort that makes later adds keep the order. */
TEST_F(VectorAppend, ShortPathFollowsAttachAndSort) {
    plx_vector2_t *v = nullptr;
    ASSERT_EQ(0u, plx_vector2_create(&v, 4, 0, nullptr, nullptr));
    ASSERT_EQ(0u, plx_vector2_set_min_size(v, 8));
    auto *adopted = static_cast<uint64_t *>(plx_memory_alloc(4 * sizeof(uint64_t)));
    for (uint64_t i = 0; i < 4; ++i) adopted[i] = 40 - i * 10;
    ASSERT_EQ(0u, plx_vector2_attach(v, adopted, 32, 8, 1));
    ASSERT_EQ(0u, plx_vector2_set_min_size(v, 8));  // room again
    int32_t four = 4;
    uint64_t eight = 25;
    uint32_t at = 99;
    EXPECT_EQ(kSizeMismatch, plx_vector2_add(v, &four, 4, &at));
    ASSERT_EQ(0u, plx_vector2_add(v, &eight, 8, &at));
    EXPECT_EQ(4u, at);
    ASSERT_EQ(0u, plx_vector2_sort(v, [](const void *a, const void *b) -> int32_t {
        uint64_t x = *static_cast<const uint64_t *>(a), y = *static_cast<const uint64_t *>(b);
        return x < y ? -1 : x > y;
    }, 0));
    eight = 15;
    ASSERT_EQ(0u, plx_vector2_add(v, &eight, 8, &at));
    EXPECT_EQ(1u, at);
    const uint64_t want[] = {10, 15, 20, 25, 30, 40};
    auto *w = reinterpret_cast<const uint8_t *>(want);
    EXPECT_EQ(std::vector<uint8_t>(w, w + sizeof want), bytes(v));
    plx_vector2_delete(v);
}

}  // namespace
