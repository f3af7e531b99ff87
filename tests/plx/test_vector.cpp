/* plx_vector2: the lowest-index find against a lower bound, buffers that change hands, bad
 * input, out of memory and concurrent adds. Operation sequences run against the fuzz target's
 * model in the corpus replay. */
#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900D0001, kNoMemory = 0x900D0002, kSizeMismatch = 0x900D0209;
constexpr uint32_t kNotVector = 0x900D0320, kWrongMagic = 0x900D0321;
constexpr uint32_t kNotFound = 0x100D0003, kOutOfRange = 0x100D0361;
using Ints = std::vector<int32_t>;

uint32_t g_compares, g_frees;
int32_t numeric(const void *a, const void *b) {
    ++g_compares;
    int32_t x = *static_cast<const int32_t *>(a), y = *static_cast<const int32_t *>(b);
    return x < y ? -1 : x > y;
}
uint32_t count_free(void *) { return ++g_frees; }

class Vector : public vt::DatatypesTest {
protected:
    void TearDown() override {
        plx_vector2_delete(v_);
        vt::DatatypesTest::TearDown();
    }
    void make(uint32_t flags, uint32_t size = 4) {
        plx_vector2_delete(v_);
        v_ = nullptr;
        ASSERT_EQ(0u, plx_vector2_create(&v_, size, flags, numeric, count_free));
        g_compares = g_frees = 0;
    }
    uint32_t add(int32_t x, uint32_t *at = nullptr) { return plx_vector2_add(v_, &x, 4, at); }
    uint32_t find(int32_t x, uint32_t *at) { return plx_vector2_find(v_, &x, at); }
    Ints contents() {
        void *buf = nullptr;
        uint32_t bytes = 0;
        EXPECT_EQ(0u, plx_vector2_get_buffer(v_, &buf, &bytes, nullptr));
        return Ints(static_cast<int32_t *>(buf), static_cast<int32_t *>(buf) + bytes / 4);
    }
    plx_vector2_t *v_ = nullptr;
};

TEST(VectorModule, CreateNeedsDatatypes) {
    plx_vector2_t *v = nullptr;
    EXPECT_EQ(0x900D0007u, plx_vector2_create(&v, 4, 0, nullptr, nullptr));
}

TEST_F(Vector, StepsPastAMillionSlots) {
    make(0, 1);
    ASSERT_EQ(0u, plx_vector2_set_min_size(v_, 0x100000));
    const uint8_t byte = 7;
    for (uint32_t i = 0; i <= 0x100000; ++i) ASSERT_EQ(0u, plx_vector2_add(v_, &byte, 1, nullptr));
    void *buf = nullptr;
    uint32_t capacity = 0;
    ASSERT_EQ(0u, plx_vector2_detach(v_, &buf, &capacity, nullptr));
    EXPECT_EQ(0x200000u, capacity);
    plx_memory_free(buf);
}

/* Sorted finds against std::lower_bound for every length up to 70 (each shape of the halving
 * loop), with runs of equal keys and every absent key before, between and after them. The
 * 12-byte elements keep the stride off a power of two; numeric compares their leading key. */
TEST_F(Vector, SortedFindIsTheLowerBoundForEveryLength) {
    struct Wide {
        int32_t key;
        uint32_t pad[2];
    };
    std::mt19937 rng(99);
    for (uint32_t n = 0; n <= 70; ++n) {
        make(PLX_VECTOR2_FLAG_SORTED, sizeof(Wide));
        Ints keys;
        for (int32_t key = 0; keys.size() < n; key += 2 * int32_t(rng() % 2))  // steps of 0 repeat
            keys.push_back(key);
        for (int32_t key : keys) {
            Wide w{key, {}};
            ASSERT_EQ(0u, plx_vector2_add(v_, &w, sizeof w, nullptr));
        }
        for (int32_t key = -1; key <= (n ? keys.back() + 1 : 0); ++key) {
            const uint32_t low = uint32_t(std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
            const bool present = low < n && keys[low] == key;
            uint32_t at = 777;
            Wide w{key, {}};
            ASSERT_EQ(present ? 0u : kNotFound, plx_vector2_find(v_, &w, &at)) << n << " " << key;
            ASSERT_EQ(present ? low : 777u, at) << n << " " << key;
        }
    }
    /* without a compare function the order is the elements' addresses */
    plx_vector2_t *by_address = nullptr;
    ASSERT_EQ(0u, plx_vector2_create(&by_address, 8, PLX_VECTOR2_FLAG_SORTED, nullptr, nullptr));
    for (uint64_t i = 0; i < 9; ++i) ASSERT_EQ(0u, plx_vector2_add(by_address, &i, 8, nullptr));
    uint64_t outside = 0;
    uint32_t at = 777;
    EXPECT_EQ(kNotFound, plx_vector2_find(by_address, &outside, &at));
    for (uint32_t i = 0; i < 9; ++i) {
        void *e = nullptr;
        ASSERT_EQ(0u, plx_vector2_getindex(by_address, i, &e));
        EXPECT_EQ(0u, plx_vector2_find(by_address, e, &at));
        EXPECT_EQ(i, at);
    }
    plx_vector2_delete(by_address);
}

TEST_F(Vector, FreeFunctionRunsOnDisposalButNotOnDetach) {
    make(0, 8);
    uint64_t caller[5] = {1, 2, 3, 4, 5}, six = 6;
    ASSERT_EQ(0u, plx_vector2_attach(v_, caller, 40, 8, 0));
    ASSERT_EQ(0u, plx_vector2_add(v_, &six, 8, nullptr));  // moves to a buffer of its own
    caller[0] = 100;
    void *e = nullptr;
    ASSERT_EQ(0u, plx_vector2_getindex(v_, 0, &e));
    EXPECT_EQ(1u, *static_cast<uint64_t *>(e));
    EXPECT_EQ(kInvalid, plx_vector2_attach(v_, e, 8, 8, 1)) << "adopting its own buffer";
    EXPECT_EQ(kSizeMismatch, plx_vector2_attach(v_, caller, 12, 8, 0));
    EXPECT_EQ(kInvalid, plx_vector2_attach(v_, nullptr, 8, 8, 0));
    ASSERT_EQ(0u, plx_vector2_deleteindex(v_, 5));
    ASSERT_EQ(0u, plx_vector2_deleterange(v_, 1, 2));
    ASSERT_EQ(0u, plx_vector2_attach(v_, nullptr, 0, 8, 1));
    EXPECT_EQ(6u, g_frees);

    ASSERT_EQ(0u, plx_vector2_add(v_, &six, 8, nullptr));
    ASSERT_EQ(0u, plx_vector2_trim(v_));
    uint32_t capacity = 0, size = 0;
    ASSERT_EQ(0u, plx_vector2_detach(v_, &e, &capacity, &size));
    EXPECT_EQ(1u, capacity);
    EXPECT_EQ(8u, size);
    plx_memory_free(e);
    ASSERT_EQ(0u, plx_vector2_add(v_, &six, 8, nullptr));
    EXPECT_EQ(0u, plx_vector2_detach(v_, nullptr, nullptr, nullptr)) << "an unwanted buffer is freed";
    EXPECT_EQ(6u, g_frees);

    auto stop_at_2 = [](void *seen, const void *el) -> uint32_t {
        static_cast<Ints *>(seen)->push_back(*static_cast<const int32_t *>(el));
        return *static_cast<const int32_t *>(el) != 2;
    };
    make(0);
    Ints seen;
    for (int i = 1; i <= 3; ++i) ASSERT_EQ(0u, add(i));
    EXPECT_EQ(0x900D01A0u, plx_vector2_foreach(v_, stop_at_2, &seen));
    EXPECT_EQ((Ints{1, 2}), seen);
}

TEST_F(Vector, ValueTakenFromTheVectorSurvivesItsOwnStore) {
    make(0);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(0u, add(i * 10));
    void *e = nullptr;
    ASSERT_EQ(0u, plx_vector2_getindex(v_, 3, &e));
    ASSERT_EQ(0u, plx_vector2_insert(v_, 1, e, 4));  // the buffer moves while growing
    ASSERT_EQ(0u, plx_vector2_getindex(v_, 5, &e));
    ASSERT_EQ(0u, plx_vector2_insert(v_, 2, e, 4));  // the value moves up to make room
    EXPECT_EQ((Ints{0, 30, 40, 10, 20, 30, 40, 50, 60, 70}), contents());
}

TEST_F(Vector, BadInputGivesItsCodeAndChangesNothing) {
    make(PLX_VECTOR2_FLAG_SORTED);
    ASSERT_EQ(0u, add(1));
    uint32_t foreign[16] = {0x12ABCDEF}, n = 7;
    auto *f = reinterpret_cast<plx_vector2_t *>(foreign);
    int32_t x = 1;
    void *p = nullptr;
    for (uint32_t code : {plx_vector2_delete(f), plx_vector2_add(f, &x, 4, nullptr), plx_vector2_insert(f, 0, &x, 4),
                          plx_vector2_get_buffer(f, &p, nullptr, nullptr), plx_vector2_set_min_size(f, 4),
                          plx_vector2_attach(f, nullptr, 0, 4, 1), plx_vector2_detach(f, &p, nullptr, nullptr)})
        EXPECT_EQ(kNotVector, code);
    for (uint32_t code : {plx_vector2_clear(f), plx_vector2_count(f, &n), plx_vector2_getindex(f, 0, &p),
                          plx_vector2_find(f, &x, &n), plx_vector2_deleteindex(f, 0), plx_vector2_deleterange(f, 0, 1),
                          plx_vector2_foreach(f, [](void *, const void *) { return 1u; }, nullptr),
                          plx_vector2_sort(f, numeric, 1), plx_vector2_trim(f)})
        EXPECT_EQ(kWrongMagic, code);
    EXPECT_EQ(0x12ABCDEFu, foreign[0]);
    for (uint32_t code : {plx_vector2_create(nullptr, 4, 0, nullptr, nullptr), plx_vector2_create(&f, 0, 0, nullptr, nullptr),
                          plx_vector2_add(nullptr, &x, 4, nullptr), plx_vector2_add(v_, nullptr, 4, nullptr),
                          plx_vector2_count(v_, nullptr), plx_vector2_foreach(v_, nullptr, nullptr),
                          plx_vector2_getindex(v_, 0, nullptr), plx_vector2_find(v_, nullptr, nullptr)})
        EXPECT_EQ(kInvalid, code);
    EXPECT_EQ(kSizeMismatch, plx_vector2_add(v_, &x, 8, nullptr));
    EXPECT_EQ(kSizeMismatch, plx_vector2_insert(v_, 0, &x, 2));
    EXPECT_EQ(kOutOfRange, plx_vector2_insert(v_, 2, &x, 4));
    EXPECT_EQ((Ints{1}), contents());
    EXPECT_EQ(0u, plx_vector2_count(nullptr, &n));
    EXPECT_EQ(0u, n);
}

TEST_F(Vector, OutOfMemoryLeavesNothingBehind) {
    struct Big {
        int32_t key;
        uint8_t pad[96];  // too large for a pivot on the stack: sorting allocates
    };
    plx_vector2_t *v = nullptr;
    vt::OomCase c;
    c.oom_codes = {kNoMemory, 0x90020002u};  // the second from the critical section
    c.cleanup = [&] { plx_vector2_delete(v), v = nullptr; };
    c.scenario = [&]() -> uint32_t {
        uint32_t code = plx_vector2_create(&v, sizeof(Big), PLX_VECTOR2_FLAG_THREADSAFE, nullptr, nullptr);
        for (int32_t i = 0; code == 0 && i < 20; ++i) {
            Big b{20 - i, {}};
            uint32_t before = 0, after = 0;
            plx_vector2_count(v, &before);
            code = i % 2 ? plx_vector2_add(v, &b, sizeof b, nullptr) : plx_vector2_insert(v, 0, &b, sizeof b);
            plx_vector2_count(v, &after);
            EXPECT_EQ(code ? before : before + 1, after) << "a failed store changes nothing";
        }
        if (code == 0) code = plx_vector2_sort(v, numeric, 1);  // compares the leading key
        if (code == 0) code = plx_vector2_trim(v);
        return code ? code : plx_vector2_set_min_size(v, 64);
    };
    EXPECT_GT(vt::oom_sweep(c), 5u);
}

TEST_F(Vector, ThreadSafeAddsFromSeveralThreads) {
    make(PLX_VECTOR2_FLAG_THREADSAFE | PLX_VECTOR2_FLAG_SORTED);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 500; ++i) EXPECT_EQ(0u, add(i * 4 + t));
        });
    for (auto &t : threads) t.join();
    Ints want(2000);
    for (int i = 0; i < 2000; ++i) want[i] = i;
    EXPECT_EQ(want, contents());
}

}  // namespace
