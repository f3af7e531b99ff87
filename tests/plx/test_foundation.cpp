/* Life cycle of the support modules, the random generator, atomics and spin locks. */
#include "test_support.h"

namespace {

struct Counts {
    uint32_t datatypes, random, fs, iostream, thread, string;
};

Counts counts() {
    return {plx_datatypes_initchecks(), plx_random_initchecks(), plx_fs_initchecks(),
            plx_iostream_initchecks(),  plx_thread_initchecks(), plx_string_initchecks()};
}

class Lifecycle : public vt::ManagerTest {};

TEST_F(Lifecycle, StartsNestAndAnUnstartedShutdownAnswers7) {
    EXPECT_EQ(7u, plx_string_shutdown());
    EXPECT_EQ(7u, plx_datatypes_shutdown());
    ASSERT_EQ(0u, plx_string_initialize());
    ASSERT_EQ(0u, plx_string_initialize());
    EXPECT_EQ(0u, plx_string_shutdown());
    EXPECT_EQ(1u, plx_string_initchecks());
    EXPECT_EQ(0u, plx_string_shutdown());
    EXPECT_EQ(0u, plx_string_initchecks());
}

TEST_F(Lifecycle, DatatypesStartsItsDependencies) {
    uint32_t memory = veltra_manager_memory_init_count();
    ASSERT_EQ(0u, plx_datatypes_initialize());
    Counts c = counts();
    EXPECT_EQ(1u, c.datatypes);
    EXPECT_EQ(1u, c.random);
    EXPECT_EQ(1u, c.fs);
    EXPECT_EQ(1u, c.iostream);
    EXPECT_EQ(2u, c.thread);
    EXPECT_EQ(2u, c.string);
    EXPECT_EQ(0u, plx_datatypes_shutdown());
    c = counts();
    EXPECT_EQ(0u, c.datatypes + c.random + c.fs + c.iostream + c.thread + c.string);
    EXPECT_EQ(memory, veltra_manager_memory_init_count());
}

TEST_F(Lifecycle, DatatypesStartFailureLeavesOthersUntouched) {
    veltra_manager_memory_fail_initialize(1);
    EXPECT_EQ(10u, plx_datatypes_initialize());
    Counts c = counts();
    EXPECT_EQ(0u, c.datatypes + c.random + c.thread + c.string);
    /* A later start-up runs the start step again. */
    ASSERT_EQ(0u, plx_datatypes_initialize());
    EXPECT_EQ(0u, plx_datatypes_shutdown());
}

TEST_F(Lifecycle, VersionStrings) {
    EXPECT_STREQ("3.05.4.1615", plx_thread_get_version());
    EXPECT_STREQ("2014-01-16 22:00-0800", plx_fs_get_build_date());
}

TEST(Random, SharedSeedSequenceAndCallerSeed) {
    /* The shared seed is process state: this is the first test to draw from it. */
    EXPECT_EQ(13289u, plx_random_rand(nullptr));
    EXPECT_EQ(23359u, plx_random_rand(nullptr));
    EXPECT_EQ(19469u, plx_random_rand(nullptr));
    uint32_t seed = 0;
    EXPECT_EQ(38u, plx_random_rand(&seed));
    EXPECT_EQ(0x269EC3u, seed);
}

TEST(Atomic, CountersWrapAndOr) {
    uint32_t cell = 1, out = 99;
    EXPECT_EQ(0u, plx_atomic_dec(&cell, &out));
    EXPECT_EQ(0u, out);
    cell = 0xFFFFFFFFu;
    EXPECT_EQ(0u, plx_atomic_inc(&cell, &out));
    EXPECT_EQ(0u, out);
    cell = 5;
    EXPECT_EQ(0u, plx_atomic_set(&cell, 2));
    EXPECT_EQ(7u, cell);
    EXPECT_EQ(0u, plx_atomic_add(&cell, 3));
    EXPECT_EQ(0u, plx_atomic_read(&cell, nullptr));
    EXPECT_EQ(0u, plx_atomic_read(&cell, &out));
    EXPECT_EQ(10u, out);
    EXPECT_EQ(0u, plx_atomic_inc(&cell, nullptr));
    EXPECT_EQ(11u, cell);
}

TEST(Atomic, PointerCells) {
    int a = 0, b = 0;
    void *cell = &a, *out = nullptr;
    EXPECT_EQ(0u, plx_atomicPtr_read(&cell, &out));
    EXPECT_EQ(&a, out);
    EXPECT_EQ(0u, plx_atomicPtr_exchange(&cell, &b, &out));
    EXPECT_EQ(&a, out);
    EXPECT_EQ(&b, cell);
}

TEST(Atomic, NullCellsAndLocksAreRefused) {
    uint32_t codes[] = {plx_atomic_inc(nullptr, nullptr),     plx_atomic_dec(nullptr, nullptr),
                        plx_atomic_read(nullptr, nullptr),    plx_atomic_add(nullptr, 1),
                        plx_atomic_set(nullptr, 1),           plx_atomicPtr_read(nullptr, nullptr),
                        plx_atomicPtr_exchange(nullptr, nullptr, nullptr),
                        plx_spinlock_init(nullptr),           plx_spinlock_lock(nullptr),
                        plx_spinlock_unlock(nullptr)};
    for (uint32_t code : codes) EXPECT_EQ(0x901F0001u, code);
    EXPECT_EQ(0u, plx_spinlock_delete(nullptr));
    plx_spinlock_t lock;
    EXPECT_EQ(0u, plx_spinlock_init(&lock));
    EXPECT_EQ(0u, plx_spinlock_lock(&lock));
    EXPECT_EQ(0u, plx_spinlock_unlock(&lock));
    EXPECT_EQ(0u, plx_spinlock_delete(&lock));
}

}  // namespace
