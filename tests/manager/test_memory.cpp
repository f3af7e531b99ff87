/* The host allocator: accounting and fault injection. */
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

veltra_manager_memory_stats_t stats() {
    veltra_manager_memory_stats_t s{};
    veltra_manager_memory_stats(&s);
    return s;
}

class Memory : public vt::ManagerTest {};

TEST_F(Memory, CountdownLetsNSucceedThenFailsOnce) {
    uint64_t failures = stats().failures;
    veltra_manager_memory_fail_after(2, 0);
    void *a = plx_memory_alloc(8);
    void *b = plx_memory_realloc(nullptr, 8);
    EXPECT_EQ(0u, veltra_manager_memory_fault_hit());
    EXPECT_EQ(nullptr, plx_memory_alloc(8));
    EXPECT_EQ(1u, veltra_manager_memory_fault_hit());
    void *c = plx_memory_alloc(8); /* not persistent: disarmed after one failure */
    EXPECT_NE(nullptr, a);
    EXPECT_NE(nullptr, b);
    EXPECT_NE(nullptr, c);
    EXPECT_EQ(failures + 1, stats().failures);
    for (void *p : {a, b, c}) plx_memory_free(p);
}

TEST_F(Memory, PersistentFailureKeepsFailingAndReallocKeepsTheBlock) {
    char *block = static_cast<char *>(plx_memory_alloc(4));
    ASSERT_NE(nullptr, block);
    memcpy(block, "abc", 4);
    veltra_manager_memory_fail_after(0, 1);
    EXPECT_EQ(nullptr, plx_memory_realloc(block, 4096));
    EXPECT_EQ(nullptr, plx_memory_alloc(1));
    EXPECT_STREQ("abc", block);
    veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
    block = static_cast<char *>(plx_memory_realloc(block, 4096));
    ASSERT_NE(nullptr, block);
    EXPECT_STREQ("abc", block);
    EXPECT_EQ(blocks_at_start_ + 1, vt::live_blocks());
    EXPECT_GE(stats().live_bytes, 4096u);
    plx_memory_free(block);
}

TEST_F(Memory, PeakFollowsLiveBytesUntilReset) {
    veltra_manager_memory_reset_peak();
    uint64_t base = stats().live_bytes;
    void *p = plx_memory_alloc(1000);
    plx_memory_free(p);
    EXPECT_EQ(base + 1000, stats().peak_bytes);
    veltra_manager_memory_reset_peak();
    EXPECT_EQ(base, stats().peak_bytes);
}

/* The block and allocation counts are kept per thread group and summed: blocks allocated on
 * some threads and freed or grown on others still add up exactly, and so do bytes and peak. */
TEST_F(Memory, CountsStayExactAcrossThreads) {
    veltra_manager_memory_reset_peak();
    veltra_manager_memory_stats_t start = stats();
    constexpr int kThreads = 4, kBlocks = 200;
    std::vector<void *> blocks[kThreads];
    std::vector<std::thread> threads;
    for (auto &mine : blocks)
        threads.emplace_back([&mine] {
            for (int i = 0; i < kBlocks; ++i) mine.push_back(plx_memory_alloc(10));
        });
    for (std::thread &t : threads) t.join();
    threads.clear();
    EXPECT_EQ(start.live_blocks + kThreads * kBlocks, stats().live_blocks);
    EXPECT_EQ(start.live_bytes + kThreads * kBlocks * 10, stats().peak_bytes);
    for (int t = 0; t < kThreads; ++t) /* each thread grows, then frees another's blocks */
        threads.emplace_back([&other = blocks[(t + 1) % kThreads]] {
            for (void *&b : other) b = plx_memory_realloc(b, 20);
            for (void *b : other) plx_memory_free(b);
        });
    for (std::thread &t : threads) t.join();
    veltra_manager_memory_stats_t end = stats();
    EXPECT_EQ(start.live_blocks, end.live_blocks);
    EXPECT_EQ(start.live_bytes, end.live_bytes);
    EXPECT_EQ(start.allocations + 2 * kThreads * kBlocks, end.allocations);
    EXPECT_LE(start.live_bytes + kThreads * kBlocks * 10, end.peak_bytes);
}

TEST_F(Memory, InitializeFailsOnCommand) {
    uint32_t nesting = veltra_manager_memory_init_count();
    veltra_manager_memory_fail_initialize(1);
    EXPECT_EQ(VELTRA_MANAGER_ERR_NO_MEMORY, plx_memory_initialize(manager_));
    ASSERT_EQ(0u, plx_memory_initialize(manager_));
    EXPECT_EQ(nesting + 1, veltra_manager_memory_init_count());
    EXPECT_EQ(0u, plx_memory_shutdown());
    EXPECT_EQ(nesting, veltra_manager_memory_init_count());
}

/* The manager's own records bypass the countdown: a test that fails every host allocation
 * still gets clients, handles, users, lists and published tables, and they cost no host
 * block. */
TEST_F(Memory, ManagerBookkeepingIgnoresInjectionAndAccounting) {
    veltra_manager_memory_fail_after(0, 1);
    void *client = nullptr;
    ASSERT_EQ(0u, manager_->client_register(250, "bookkeeping", nullptr, &client));
    const void *t = nullptr;
    ASSERT_EQ(0u, manager_->interface_get("_veltra_handlemanager_interface", 0, 0, &t));
    const auto *hm = static_cast<const veltra_handlemanager_interface_t *>(t);
    int objects[64];
    for (int &o : objects) ASSERT_EQ(0u, hm->handle_add(client, &o, 1, nullptr));
    veltra_user_handle_t user = nullptr;
    ASSERT_EQ(0u, veltra_manager_user_create("u", &user));
    EXPECT_EQ(blocks_at_start_, vt::live_blocks());
    EXPECT_EQ(0u, veltra_manager_memory_fault_hit());

    for (int &o : objects) EXPECT_EQ(0u, hm->handle_release(&o));
    EXPECT_EQ(0u, veltra_manager_user_release(user));
    EXPECT_EQ(0u, manager_->client_release(client));
    EXPECT_EQ(0u, hm->interface_release(hm));
}

}  // namespace
