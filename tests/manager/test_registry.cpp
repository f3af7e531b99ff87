/* The interface registry: the manager's own tables, published tables, ordinals and counted
 * references. */
#include "test_support.h"
#include "veltra_vibemesh.h"

namespace {

constexpr const char kDatasource[] = "_veltra_vibemesh_datasource_interface";

constexpr const char *kManagerNames[] = {
    "_veltra_errorinfo_interface", "_veltra_handlemanager_interface",
    "_veltra_userinfo_interface", "_veltra_serialization_interface",
    "_veltra_listmanager_interface"};

/* A publisher's release drops the reference through the manager, as a datasource does. */
uint32_t unref_release(const VibeMeshDatasource *table) {
    return veltra_manager_interface_unref(table);
}

class Registry : public vt::ManagerTest {
protected:
    const void *get(const char *name, uint32_t ordinal, uint32_t expect = 0) {
        const void *t = nullptr;
        EXPECT_EQ(expect, manager_->interface_get(name, 0, ordinal, &t)) << name << " " << ordinal;
        return t;
    }
    static uint32_t release(const void *table) {
        return (*static_cast<veltra_interface_release_fn const *>(table))(table);
    }
    VibeMeshDatasource a_{unref_release, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    VibeMeshDatasource b_ = a_, c_ = a_;
};

TEST_F(Registry, ManagerInterfacesHaveOneOrdinalAndCountReferences) {
    for (const char *name : kManagerNames) {
        const void *t = get(name, 0);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(t, get(name, 0));
        EXPECT_EQ(2u, veltra_manager_interface_refcount(t)) << name;
        get(name, 1, VELTRA_MANAGER_ERR_NOT_FOUND);
        EXPECT_EQ(0u, release(t));
        EXPECT_EQ(0u, release(t));
        EXPECT_NE(0u, release(t)) << "no reference left to drop";
    }
}

TEST_F(Registry, LookupArgumentErrors) {
    const void *t = nullptr;
    get("_veltra_no_such_interface", 0, VELTRA_MANAGER_ERR_NOT_FOUND);
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, manager_->interface_get(nullptr, 0, 0, &t));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG,
              manager_->interface_get(kManagerNames[0], 0, 0, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, manager_->interface_get(kManagerNames[0], 1, 0, &t));
}

TEST_F(Registry, PublishedOrdinalsAreDenseInPublicationOrder) {
    uint32_t ordinal = 99;
    ASSERT_EQ(0u, veltra_manager_interface_publish(kDatasource, &a_, &ordinal));
    EXPECT_EQ(0u, ordinal);
    ASSERT_EQ(0u, veltra_manager_interface_publish(kDatasource, &b_, &ordinal));
    EXPECT_EQ(1u, ordinal);
    ASSERT_EQ(0u, veltra_manager_interface_publish(kDatasource, &c_, nullptr));
    EXPECT_EQ(3u, veltra_manager_interface_count(kDatasource));

    EXPECT_EQ(&a_, get(kDatasource, 0));
    EXPECT_EQ(&b_, get(kDatasource, 1));
    EXPECT_EQ(&c_, get(kDatasource, 2));
    get(kDatasource, 3, VELTRA_MANAGER_ERR_NOT_FOUND);
    for (const VibeMeshDatasource *t : {&a_, &b_, &c_}) EXPECT_EQ(0u, t->interface_release(t));

    /* Withdrawing the middle one moves the last down. */
    EXPECT_EQ(0u, veltra_manager_interface_withdraw(kDatasource, &b_, 0));
    EXPECT_EQ(2u, veltra_manager_interface_count(kDatasource));
    EXPECT_EQ(&c_, get(kDatasource, 1));
    EXPECT_EQ(0u, c_.interface_release(&c_));
    EXPECT_EQ(0u, veltra_manager_interface_withdraw(kDatasource, &a_, 0));
    EXPECT_EQ(0u, veltra_manager_interface_withdraw(kDatasource, &c_, 0));
    EXPECT_EQ(0u, veltra_manager_interface_count(kDatasource));
}

TEST_F(Registry, WithdrawWaitsForReferencesUnlessForced) {
    ASSERT_EQ(0u, veltra_manager_interface_publish(kDatasource, &a_, nullptr));
    ASSERT_EQ(&a_, get(kDatasource, 0));
    EXPECT_EQ(VELTRA_MANAGER_ERR_IN_USE, veltra_manager_interface_withdraw(kDatasource, &a_, 0));
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_FOUND, veltra_manager_interface_withdraw("other", &a_, 0));
    EXPECT_EQ(0u, veltra_manager_interface_withdraw(kDatasource, &a_, 1));
    /* A late release of a withdrawn table is answered, not fatal. */
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_FOUND, a_.interface_release(&a_));
}

TEST_F(Registry, PublishRefusesBadTables) {
    VibeMeshDatasource no_release{};
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, veltra_manager_interface_publish(nullptr, &a_, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, veltra_manager_interface_publish(kDatasource, nullptr, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG,
              veltra_manager_interface_publish(kDatasource, &no_release, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_EXISTS,
              veltra_manager_interface_publish(kManagerNames[1], &a_, nullptr));
    ASSERT_EQ(0u, veltra_manager_interface_publish(kDatasource, &a_, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_EXISTS, veltra_manager_interface_publish(kDatasource, &a_, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_EXISTS, veltra_manager_interface_publish("another", &a_, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG, veltra_manager_interface_unref(&a_)) << "no reference";
    EXPECT_EQ(0u, veltra_manager_interface_withdraw(kDatasource, &a_, 0));
}

TEST(RegistryLifecycle, LastStopForgetsPublishedTables) {
    static VibeMeshDatasource table{unref_release, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    const veltra_manager_t *m = nullptr;
    ASSERT_EQ(0u, veltra_manager_start(&m));
    ASSERT_EQ(0u, veltra_manager_interface_publish(kDatasource, &table, nullptr));
    const void *t = nullptr;
    ASSERT_EQ(0u, m->interface_get(kDatasource, 0, 0, &t));
    ASSERT_EQ(0u, veltra_manager_stop());

    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_STARTED, m->interface_get(kDatasource, 0, 0, &t));
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_STARTED, veltra_manager_interface_publish(kDatasource, &table, nullptr));
    ASSERT_EQ(0u, veltra_manager_start(&m));
    EXPECT_EQ(0u, veltra_manager_interface_count(kDatasource));
    EXPECT_EQ(0u, veltra_manager_stop());
}

}  // namespace
