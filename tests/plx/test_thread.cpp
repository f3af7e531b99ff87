/* Threads and their records: creation, wait-and-cleanup, ids, names, priorities, the
 * per-thread store, ownership of the store key, and no record leaked. */
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "plx/plx_thread_private.h"
#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x90020001u;
constexpr uint32_t kNoMemory = 0x90020002u;
constexpr uint32_t kNoSuchThread = 0x90020003u;
constexpr uint32_t kNotInitialized = 0x90020007u;
constexpr uint32_t kTimedOut = 0x10020084u;

std::atomic<int> g_deleted{0};
void count_delete(void *) { ++g_deleted; }
int g_values[3];

/* Polls `done` with a generous bound, so that a fault fails instead of hanging. */
template <class F>
bool eventually(F done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

/* Runs with the thread module up; stopping it releases the main thread's record. */
class Threads : public vt::ManagerTest {
protected:
    void SetUp() override {
        vt::ManagerTest::SetUp();
        ASSERT_EQ(0u, plx_thread_initialize());
        g_deleted = 0;
    }
    void TearDown() override {
        EXPECT_EQ(0u, plx_thread_shutdown());
        vt::ManagerTest::TearDown();
    }
    static void restart() {
        plx_thread_shutdown();
        plx_thread_initialize();
    }
};

uint32_t wait_for_event(void *ev) {
    return plx_thread_event_wait(static_cast<plx_thread_event_t *>(ev), PLX_THREAD_TIMEOUT_INFINITE);
}

TEST(ThreadModule, ThreadOperationsNeedTheModule) {
    uintptr_t id;
    EXPECT_EQ(kNotInitialized, plx_thread_create(wait_for_event, 0, nullptr, nullptr));
    EXPECT_EQ(kNotInitialized, plx_thread_get_id(nullptr, &id));
    /* Without the key the caller cannot be given a record. */
    EXPECT_EQ(kNotInitialized, plx_thread_store_set(nullptr, 0, &id, nullptr));
}

TEST_F(Threads, DeletesOnlyTheKeyItCreated) {
    EXPECT_NE(0u, g_plx_thread_store_key);
    EXPECT_EQ(0u, plx_thread_shutdown());
    EXPECT_EQ(0u, g_plx_thread_store_key);

    pthread_key_t host_key;
    ASSERT_EQ(0, pthread_key_create(&host_key, nullptr));
    const uintptr_t shared = static_cast<uintptr_t>(host_key) + 1;
    g_plx_thread_store_key = shared;
    ASSERT_EQ(0u, plx_thread_initialize());
    EXPECT_EQ(shared, g_plx_thread_store_key);
    EXPECT_EQ(0u, plx_thread_set_name(nullptr, "main"));
    EXPECT_EQ(0u, plx_thread_shutdown());
    EXPECT_EQ(shared, g_plx_thread_store_key) << "deleted the host's key";
    EXPECT_EQ(nullptr, pthread_getspecific(host_key)) << "record left on the key";
    g_plx_thread_store_key = 0;
    pthread_key_delete(host_key);
    ASSERT_EQ(0u, plx_thread_initialize());
}

TEST_F(Threads, WaitTimesOutAndTheHandleSurvives) {
    EXPECT_EQ(kInvalid, plx_thread_create(nullptr, 0, nullptr, nullptr));
    plx_thread_event_t *go = nullptr;
    ASSERT_EQ(0u, plx_thread_event_create(&go, 0, 1));
    plx_thread_t *h = nullptr;
    ASSERT_EQ(0u, plx_thread_create(wait_for_event, 256 * 1024, go, &h));
    EXPECT_EQ(kTimedOut, plx_thread_wait_and_cleanup(h, 0));
    EXPECT_EQ(kTimedOut, plx_thread_wait_and_cleanup(h, 50));
    EXPECT_EQ(kInvalid, plx_thread_set_priority(h, 6));
    EXPECT_EQ(0u, plx_thread_set_priority(h, 5));
    plx_thread_event_signal(go);
    EXPECT_EQ(0u, plx_thread_wait_and_cleanup(h, PLX_THREAD_TIMEOUT_INFINITE));
    plx_thread_event_delete(go);
    uint32_t fake[32] = {0xDEADBEEFu};
    EXPECT_EQ(0x90020321u, plx_thread_wait_and_cleanup(reinterpret_cast<plx_thread_t *>(fake), 0));
}

TEST(ThreadPriority, StepsAcrossThePolicyRange) {
    EXPECT_EQ(1, plx::thread_priority_in_range(1, 99, -5));
    EXPECT_EQ(99, plx::thread_priority_in_range(1, 99, 5));
    EXPECT_EQ(10, plx::thread_priority_in_range(1, 99, -4)); /* 1 + 9.8, truncated */
}

struct Seen {
    uintptr_t id = 0;
    char name[16] = {};
};

uint32_t report_self(void *arg) {
    auto *seen = static_cast<Seen *>(arg);
    plx_thread_get_id(nullptr, &seen->id);
    return plx_thread_get_name(nullptr, seen->name, sizeof seen->name);
}

TEST_F(Threads, IdsAndNames) {
    Seen seen;
    plx_thread_t *h = nullptr;
    ASSERT_EQ(0u, plx_thread_create(report_self, 0, &seen, &h));
    uintptr_t handle_id = 0;
    EXPECT_EQ(kInvalid, plx_thread_get_id(h, nullptr));
    EXPECT_EQ(0u, plx_thread_get_id(h, &handle_id));
    ASSERT_EQ(0u, plx_thread_wait_and_cleanup(h, PLX_THREAD_TIMEOUT_INFINITE));
    EXPECT_EQ(handle_id, seen.id) << "the handle's id is not the thread's own";
    EXPECT_STREQ("", seen.name);

    char buf[16];
    EXPECT_EQ(kNoSuchThread, plx_thread_get_name(nullptr, buf, sizeof buf));
    ASSERT_EQ(0u, plx_thread_set_name(nullptr, "worker"));
    EXPECT_EQ(0u, plx_thread_get_name(nullptr, buf, 7));
    EXPECT_STREQ("worker", buf);
    EXPECT_EQ(0u, plx_thread_get_name(nullptr, buf, 4));
    EXPECT_STREQ("wor", buf);
}

TEST_F(Threads, StoreRunsEachDeleteCallbackOnce) {
    int32_t a, b;
    ASSERT_EQ(0u, plx_thread_store_get_next_slot(&a));
    ASSERT_EQ(0u, plx_thread_store_get_next_slot(&b));
    void *value = nullptr;
    EXPECT_EQ(kNoSuchThread, plx_thread_store_get(nullptr, a, &value));
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, a, &g_values[0], count_delete));
    EXPECT_EQ(kNoSuchThread, plx_thread_store_get(nullptr, b, &value)) << "never set";
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, a, &g_values[1], count_delete));
    EXPECT_EQ(1, g_deleted.load()) << "the replaced value was not deleted";
    ASSERT_EQ(0u, plx_thread_store_clear(nullptr, a));
    EXPECT_EQ(2, g_deleted.load());
    EXPECT_EQ(kNoSuchThread, plx_thread_store_get(nullptr, a, &value));
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, b, &g_values[2], count_delete));
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, a, nullptr, count_delete));
    restart(); /* releases the main thread's record and its store */
    EXPECT_EQ(3, g_deleted.load());

    plx_thread_local_store_t *store = nullptr;
    ASSERT_EQ(0u, thread_local_store_create(&store));
    ASSERT_EQ(0u, thread_local_store_data_set(store, 20, &g_values[0], count_delete));
    ASSERT_EQ(0u, thread_local_store_data_set(store, 40, &g_values[1], nullptr));
    EXPECT_EQ(kNoSuchThread, thread_local_store_data_get(store, 21, &value)) << "grown, not set";
    EXPECT_EQ(kNoMemory, thread_local_store_data_set(store, INT32_MAX, &value, nullptr));
    EXPECT_EQ(0u, thread_local_store_delete(store));
    EXPECT_EQ(4, g_deleted.load());
}

/* What a delete callback saw: the value it got and what the slot held at that moment. */
struct DeleteSeen {
    int32_t slot = -1;
    std::vector<std::pair<void *, void *>> calls;
};
DeleteSeen g_delete_seen;
void record_delete(void *value) {
    void *held = nullptr;
    plx_thread_store_get(nullptr, g_delete_seen.slot, &held);
    g_delete_seen.calls.emplace_back(value, held);
}

TEST_F(Threads, StoreSetDeletesTheReplacedValueFirstEvenWhenStoredAgain) {
    ASSERT_EQ(0u, plx_thread_store_get_next_slot(&g_delete_seen.slot));
    g_delete_seen.calls.clear();
    const int32_t slot = g_delete_seen.slot;
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, slot, &g_values[0], record_delete));
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, slot, &g_values[0], record_delete));
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, slot, &g_values[1], nullptr));
    using Call = std::pair<void *, void *>;
    /* Each set handed over one value: the second set disposes of the first, before storing. */
    EXPECT_EQ((std::vector<Call>{{&g_values[0], &g_values[0]}, {&g_values[0], &g_values[0]}}),
              g_delete_seen.calls);
    restart();
}

TEST_F(Threads, StoreChecksTheThreadBeforeTheSlot) {
    uint32_t fake[32] = {0xDEADBEEFu};
    auto *bogus = reinterpret_cast<plx_thread_t *>(fake);
    void *value = nullptr;
    EXPECT_EQ(0x90020321u, plx_thread_store_set(bogus, -1, nullptr, nullptr));
    EXPECT_EQ(0x90020321u, plx_thread_store_get(bogus, -1, &value));
    EXPECT_EQ(0x90020321u, plx_thread_store_clear(bogus, -1));
    /* A caller without a record or store has nothing in any slot. */
    EXPECT_EQ(kNoSuchThread, plx_thread_store_get(nullptr, -1, &value));
    EXPECT_EQ(0u, plx_thread_store_clear(nullptr, -1));
    EXPECT_EQ(kInvalid, plx_thread_store_get(nullptr, 0, nullptr));
    /* Once a store exists, the store itself refuses a negative slot. */
    ASSERT_EQ(0u, plx_thread_store_set(nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(kInvalid, plx_thread_store_set(nullptr, -1, nullptr, nullptr));
    restart();
}

/* Names itself and sets three slots, replacing the values of two of them. */
uint32_t stress_body(void *arg) {
    auto *slots = static_cast<int32_t *>(arg);
    plx_thread_set_name(nullptr, "stress");
    for (int i = 0; i < 3; ++i) plx_thread_store_set(nullptr, slots[i], &g_values[i], count_delete);
    plx_thread_store_set(nullptr, slots[0], &g_values[1], count_delete);
    plx_thread_store_set(nullptr, slots[2], nullptr, count_delete);
    return 0;
}

TEST_F(Threads, StressCreateNameWaitAndDetach) {
    int32_t slots[3];
    for (int32_t &s : slots) ASSERT_EQ(0u, plx_thread_store_get_next_slot(&s));
    constexpr int kRounds = 8, kPerRound = 16;
    for (int round = 0; round < kRounds; ++round) {
        plx_thread_t *handles[kPerRound] = {};
        for (int i = 0; i < kPerRound; ++i) {
            ASSERT_EQ(0u, plx_thread_create(stress_body, 0, slots, i % 2 ? &handles[i] : nullptr));
            if (handles[i]) plx_thread_set_name(handles[i], "joined");
        }
        for (plx_thread_t *h : handles) {
            if (!h) continue; /* detached: cleans up by itself */
            ASSERT_EQ(0u, plx_thread_wait_and_cleanup(h, PLX_THREAD_TIMEOUT_INFINITE));
        }
    }
    /* Per thread: the two replaced values, then slots 0 and 1 at its end (slot 2 is null). */
    const int expected = kRounds * kPerRound * 4;
    EXPECT_TRUE(eventually([&] { return vt::live_blocks() == blocks_at_start_; })) << "records leaked";
    EXPECT_EQ(expected, g_deleted.load());

    /* A thread the module did not create gets a record that goes with it. */
    std::thread([&] { stress_body(slots); }).join();
    EXPECT_EQ(expected + 4, g_deleted.load());
    EXPECT_EQ(blocks_at_start_, vt::live_blocks());
}

uint32_t noop(void *) { return 0; }

TEST_F(Threads, AllocatingOperationsFailCleanly) {
    vt::OomCase create{[] {
                           plx_thread_t *h = nullptr;
                           uint32_t code = plx_thread_create(noop, 0, nullptr, &h);
                           return code ? code : plx_thread_wait_and_cleanup(h, PLX_THREAD_TIMEOUT_INFINITE);
                       },
                       [] {}, {kNoMemory}};
    EXPECT_EQ(2u, vt::oom_sweep(create));
    vt::OomCase name{[] { return plx_thread_set_name(nullptr, "main"); }, restart, {kNoMemory}};
    EXPECT_EQ(3u, vt::oom_sweep(name));
    vt::OomCase store{[] { return plx_thread_store_set(nullptr, 20, &g_values[0], nullptr); }, restart,
                      {kNoMemory}};
    EXPECT_EQ(4u, vt::oom_sweep(store));
}

/* A thread whose function has returned is left alone: setting its priority answers 0. */
TEST_F(Threads, PriorityOfAFinishedThreadIsNoError) {
    plx_thread_t *h = nullptr;
    ASSERT_EQ(0u, plx_thread_create(noop, 0, nullptr, &h));
    ASSERT_TRUE(eventually([h] {
        pthread_mutex_lock(&h->lock);
        bool finished = h->finished;
        pthread_mutex_unlock(&h->lock);
        return finished;
    }));
    EXPECT_EQ(0u, plx_thread_set_priority(h, 5));
    EXPECT_EQ(0u, plx_thread_wait_and_cleanup(h, PLX_THREAD_TIMEOUT_INFINITE));
}

}  // namespace
