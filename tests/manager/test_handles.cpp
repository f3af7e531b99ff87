/* Clients, handles and users of the stand-in manager, and what the last stop cleans up. */
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr uint32_t kMagic = 0x54315461u;
constexpr uint32_t kOtherMagic = 0x54315462u;

std::atomic<uint32_t> g_deleted;
std::string g_events; /* order of callbacks in the life-cycle tests (single-threaded) */

uint32_t count_delete(void *) {
    ++g_deleted;
    return 0;
}
uint32_t free_delete(void *p) {
    ++g_deleted;
    free(p);
    return 0;
}

template <class T>
const T *get_interface(const veltra_manager_t *m, const char *name) {
    const void *t = nullptr;
    EXPECT_EQ(0u, m->interface_get(name, 0, 0, &t)) << name;
    return static_cast<const T *>(t);
}

class Handles : public vt::ManagerTest {
protected:
    void SetUp() override {
        vt::ManagerTest::SetUp();
        hm_ = get_interface<veltra_handlemanager_interface_t>(manager_,
                                                              "_veltra_handlemanager_interface");
        ASSERT_EQ(0u, manager_->client_register(200, "test client", nullptr, &client_));
        g_deleted = 0;
    }
    void TearDown() override {
        EXPECT_EQ(0u, manager_->client_release(client_));
        EXPECT_EQ(0u, hm_->interface_release(hm_));
        vt::ManagerTest::TearDown();
    }
    const veltra_handlemanager_interface_t *hm_ = nullptr;
    void *client_ = nullptr;
};

TEST_F(Handles, ValidateAnswersFromTheTableWithoutReadingTheHandle) {
    void *object = malloc(16);
    ASSERT_EQ(0u, hm_->handle_add(client_, object, kMagic, free_delete));
    EXPECT_EQ(0u, hm_->handle_validate(object, kMagic));
    EXPECT_EQ(VELTRA_MANAGER_ERR_WRONG_MAGIC, hm_->handle_validate(object, kOtherMagic));

    ASSERT_EQ(0u, hm_->handle_release(object)); /* frees the object */
    EXPECT_EQ(1u, g_deleted.load());
    /* Freed memory (AddressSanitizer reports any read), an unmapped page and null. */
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->handle_validate(object, kMagic));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE,
              hm_->handle_validate(reinterpret_cast<const void *>(uintptr_t{0x10}), kMagic));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->handle_validate(nullptr, kMagic));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->handle_release(object));
    EXPECT_EQ(1u, g_deleted.load()) << "delete callback must run exactly once";
}

TEST_F(Handles, AddRefusesDuplicatesNullsAndUnknownClients) {
    int object = 0, not_a_client = 0;
    ASSERT_EQ(0u, hm_->handle_add(client_, &object, kMagic, count_delete));
    EXPECT_EQ(VELTRA_MANAGER_ERR_EXISTS, hm_->handle_add(client_, &object, kOtherMagic, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->handle_add(&not_a_client, &not_a_client, kMagic, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, hm_->handle_add(client_, nullptr, kMagic, nullptr));
    EXPECT_EQ(0u, hm_->handle_validate(&object, kMagic)) << "the first registration stands";
    EXPECT_EQ(0u, hm_->handle_release(&object));
    EXPECT_EQ(1u, g_deleted.load());
}

TEST_F(Handles, ClientsAreUniquePerPackageAndHeldByTheirHandles) {
    void *again = nullptr;
    EXPECT_EQ(VELTRA_MANAGER_ERR_EXISTS, manager_->client_register(200, "twin", nullptr, &again));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, manager_->client_register(201, "x", nullptr, nullptr));
    EXPECT_EQ(0u, manager_->client_release(nullptr));

    int object = 0;
    ASSERT_EQ(0u, hm_->handle_add(client_, &object, kMagic, count_delete));
    EXPECT_EQ(VELTRA_MANAGER_ERR_IN_USE, manager_->client_release(client_));
    EXPECT_EQ(0u, hm_->handle_release(&object));
    /* TearDown releases the client, which now succeeds. */
}

/* The delete callback runs after the handle is gone and outside every lock: it may validate
 * its own handle and end another one. */
const veltra_handlemanager_interface_t *g_hm;
void *g_second;
uint32_t g_self_check;
uint32_t chained_delete(void *self) {
    g_self_check = g_hm->handle_validate(self, kMagic);
    ++g_deleted;
    return g_second ? g_hm->handle_release(g_second) : 0;
}

TEST_F(Handles, DeleteCallbackMayReenterTheManager) {
    int first = 0, second = 0;
    g_hm = hm_;
    g_second = &second;
    ASSERT_EQ(0u, hm_->handle_add(client_, &first, kMagic, chained_delete));
    ASSERT_EQ(0u, hm_->handle_add(client_, &second, kMagic, count_delete));
    EXPECT_EQ(0u, hm_->handle_release(&first));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, g_self_check);
    EXPECT_EQ(2u, g_deleted.load());
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->handle_validate(&second, kMagic));
    g_second = nullptr;
}

TEST_F(Handles, ConcurrentAddValidateRelease) {
    constexpr int kThreads = 4, kRounds = 40, kBatch = 64;
    /* One handle stays registered while the others make every shard grow and shrink. */
    int anchor = 0;
    ASSERT_EQ(0u, hm_->handle_add(client_, &anchor, kMagic, count_delete));
    /* A shared user's count goes up and down concurrently and never reaches 0 early. */
    const auto *ui = get_interface<veltra_userinfo_interface_t>(manager_, "_veltra_userinfo_interface");
    veltra_user_handle_t user = nullptr;
    ASSERT_EQ(0u, veltra_manager_user_create("shared", &user));
    std::atomic<bool> done{false};
    std::atomic<uint32_t> failures{0};
    std::thread watcher([&] {
        while (!done) failures += hm_->handle_validate(&anchor, kMagic) != 0;
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&] {
            std::vector<int> objects(kBatch);
            for (int r = 0; r < kRounds; ++r) {
                for (int &o : objects) failures += hm_->handle_add(client_, &o, kMagic, count_delete) != 0;
                for (int &o : objects) {
                    failures += hm_->handle_validate(&o, kMagic) != 0;
                    failures += hm_->handle_validate(&o, kOtherMagic) != VELTRA_MANAGER_ERR_WRONG_MAGIC;
                }
                for (int &o : objects) failures += hm_->handle_release(&o) != 0;
                failures += ui->user_addref(user) != 0;
                failures += hm_->user_handle_validate(user) != 0;
                failures += ui->user_release(user) != 0;
            }
        });
    }
    for (std::thread &w : workers) w.join();
    done = true;
    watcher.join();
    EXPECT_EQ(0u, failures.load());
    EXPECT_EQ(uint32_t{kThreads * kRounds * kBatch}, g_deleted.load());
    EXPECT_EQ(0u, hm_->handle_release(&anchor));
    EXPECT_EQ(1u, veltra_manager_user_refcount(user));
    EXPECT_EQ(0u, veltra_manager_user_release(user));
    EXPECT_EQ(0u, ui->interface_release(ui));
}

TEST_F(Handles, UsersAreCountedAndFreedAtZero) {
    const auto *ui = get_interface<veltra_userinfo_interface_t>(manager_, "_veltra_userinfo_interface");
    veltra_user_handle_t user = nullptr;
    ASSERT_EQ(0u, veltra_manager_user_create("driver", &user));
    EXPECT_EQ(1u, veltra_manager_user_refcount(user));
    EXPECT_EQ(0u, ui->user_addref(user));
    EXPECT_EQ(2u, veltra_manager_user_refcount(user));
    EXPECT_EQ(0u, hm_->user_handle_validate(user));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->handle_validate(user, kMagic))
        << "a user is no module handle";
    EXPECT_EQ(0u, ui->user_release(user));
    EXPECT_EQ(0u, veltra_manager_user_release(user)); /* reaches 0: freed */
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, hm_->user_handle_validate(user));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, ui->user_addref(user));
    EXPECT_EQ(0u, ui->interface_release(ui));
}

/* ---- life cycle ---- */

void *g_client_ref;
uint32_t record_shutdown() {
    g_events += "shutdown;";
    return veltra_manager_handle()->client_release(g_client_ref);
}
uint32_t record_delete(void *) {
    g_events += "delete;";
    return 0;
}
uint32_t stay_registered() {
    g_events += "stubborn;";
    return 0;
}

TEST(ManagerLifecycle, StartsNestAndOnlyTheLastStopTearsDown) {
    const veltra_manager_t *m = nullptr, *again = nullptr;
    ASSERT_EQ(0u, veltra_manager_start(&m));
    ASSERT_EQ(0u, veltra_manager_start(&again));
    EXPECT_EQ(m, again);
    EXPECT_EQ(0u, veltra_manager_stop());
    EXPECT_EQ(m, veltra_manager_handle());
    EXPECT_EQ(0u, veltra_manager_stop());
    EXPECT_EQ(nullptr, veltra_manager_handle());
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_STARTED, veltra_manager_stop());
    void *ref = nullptr;
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_STARTED, m->client_register(1, "late", nullptr, &ref));
}

TEST(ManagerLifecycle, LastStopEndsHandlesThenShutsClientsDown) {
    const veltra_manager_t *m = nullptr;
    ASSERT_EQ(0u, veltra_manager_start(&m));
    uint64_t blocks = vt::live_blocks();
    g_events.clear();
    ASSERT_EQ(0u, m->client_register(168, "module", record_shutdown, &g_client_ref));
    void *stubborn = nullptr;
    ASSERT_EQ(0u, m->client_register(169, "stubborn", stay_registered, &stubborn));
    const auto *hm = get_interface<veltra_handlemanager_interface_t>(m, "_veltra_handlemanager_interface");
    int object = 0;
    ASSERT_EQ(0u, hm->handle_add(g_client_ref, &object, kMagic, record_delete));
    veltra_user_handle_t user = nullptr;
    ASSERT_EQ(0u, veltra_manager_user_create("left over", &user));

    EXPECT_EQ(0u, veltra_manager_stop());
    /* Newest client first; a client's handles end before its callback. */
    EXPECT_EQ("stubborn;delete;shutdown;", g_events);
    EXPECT_EQ(0u, veltra_manager_handle_count());
    EXPECT_EQ(blocks, vt::live_blocks());

    ASSERT_EQ(0u, veltra_manager_start(&m));
    EXPECT_EQ(0u, veltra_manager_client_count()) << "stubborn client dropped by the stop";
    EXPECT_EQ(0u, veltra_manager_interface_refcount(hm)) << "references forgotten";
    veltra_manager_object_counts_t c{};
    veltra_manager_object_counts(&c);
    EXPECT_EQ(0u, c.users);
    EXPECT_EQ(0u, veltra_manager_stop());
}

TEST(ManagerLifecycle, ClientShutdownEndsHandlesThenRunsTheCallbackWithoutLocks) {
    const veltra_manager_t *m = nullptr;
    ASSERT_EQ(0u, veltra_manager_start(&m));
    g_events.clear();
    ASSERT_EQ(0u, m->client_register(168, "module", record_shutdown, &g_client_ref));
    const auto *hm = get_interface<veltra_handlemanager_interface_t>(m, "_veltra_handlemanager_interface");
    int object = 0;
    ASSERT_EQ(0u, hm->handle_add(g_client_ref, &object, kMagic, record_delete));
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_FOUND, veltra_manager_client_shutdown(170));
    EXPECT_EQ(0u, veltra_manager_client_shutdown(168)); /* the callback releases the client */
    EXPECT_EQ("delete;shutdown;", g_events);
    EXPECT_EQ(0u, hm->interface_release(hm));
    EXPECT_EQ(0u, veltra_manager_stop());
}

}  // namespace
