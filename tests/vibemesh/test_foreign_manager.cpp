/* The mood grid against a manager the test builds itself: its own handle manager, user
 * references and error-information interface, with delete callbacks that may come late. */
#include <algorithm>

#include "grid_test.h"

namespace vt {
namespace {

class ForeignManager : public ::testing::Test {
protected:
    void SetUp() override {
        const veltra_manager_t *stand_in = nullptr;
        ASSERT_CODE(0u, veltra_manager_start(&stand_in)); /* memory and the datasource registry */
        fake_.fallback = stand_in;
        ASSERT_CODE(0u, ds_.publish());
        blocks_ = live_blocks();
        ASSERT_CODE(0u, veltra_vibemesh_initialize(&fake_.handle));
        ASSERT_CODE(0u, veltra_vibemesh_provider_enum(0, &provider_));
        ASSERT_CODE(0u, veltra_vibemesh_presentation_create(user_, 0x505, nullptr, nullptr,
                                                            &presentation_));
    }
    void TearDown() override {
        if (presentation_) {
            EXPECT_CODE(0u, veltra_vibemesh_presentation_release(presentation_));
        }
        if (provider_) {
            EXPECT_CODE(0u, veltra_vibemesh_provider_release(provider_));
        }
        fake_.run_deletes();
        EXPECT_TRUE(fake_.live.empty());
        EXPECT_EQ(fake_.addref_calls, fake_.user_release_calls);
        if (veltra_vibemesh_initchecks() != 0) {
            EXPECT_CODE(0u, veltra_vibemesh_shutdown());
        }
        EXPECT_EQ(0, fake_.held_interfaces());
        EXPECT_EQ(0u, veltra_manager_interface_refcount(ds_.table()));
        EXPECT_EQ(blocks_, live_blocks()) << "host blocks leaked";
        ds_.withdraw();
        veltra_manager_stop();
    }

    FakeManager fake_;
    ScriptedDatasource ds_;
    uint64_t blocks_ = 0;
    int user_object_ = 0; /* the fake accepts any user */
    veltra_user_handle_t user_ = reinterpret_cast<veltra_user_handle_t>(&user_object_);
    veltra_vibemesh_provider_handle_t provider_ = nullptr;
    veltra_vibemesh_presentation_handle_t presentation_ = nullptr;
};

/* Regression: create used to end the new handle and fail when the user manager refused the
 * reference; a registered presentation is the caller's whatever user_addref answers. */
TEST_F(ForeignManager, CreateSucceedsWhenTheUserReferenceIsRefused) {
    fake_.addref_result = 0x90310007u;
    veltra_vibemesh_presentation_handle_t p = nullptr;
    ASSERT_CODE(0u, veltra_vibemesh_presentation_create(user_, 0xA0A, nullptr, nullptr, &p));
    uint32_t type = 0;
    EXPECT_CODE(0u, veltra_vibemesh_presentation_get_type(p, &type));
    EXPECT_EQ(0xA0Au, type);
    uint32_t releases = fake_.user_release_calls;
    EXPECT_CODE(0u, veltra_vibemesh_presentation_release(p));
    EXPECT_EQ(releases + 1, fake_.user_release_calls);
}

TEST_F(ForeignManager, ErrorInformationAndHandleFailuresTakeTheDocumentedRoutes) {
    uint32_t seq = last_error().sequence;
    EXPECT_CODE(0x90A80001u, veltra_vibemesh_presentation_get_type(presentation_, nullptr));
    ASSERT_EQ(1u, fake_.errors.size()); /* through the interface, not the manager's import */
    EXPECT_CODE(0x90A80001u, fake_.errors[0].source);
    EXPECT_EQ("veltra_vibemesh_presentation_get_type", fake_.errors[0].function);
    EXPECT_EQ("'p_presentation_type' parameter cannot be null", fake_.errors[0].message);
    EXPECT_EQ(seq, last_error().sequence);

    /* Bit 16 of the manager's code moves the folded code, and its log line, to package 0xA9. */
    LogCapture log(0);
    veltra_manager_log_set_mask(0xA9, 1);
    fake_.validate_result = 0x90310005u;
    uint32_t type = 0;
    EXPECT_CODE(0x90A90005u, veltra_vibemesh_presentation_get_type(presentation_, &type));
    fake_.validate_result = 0;
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("vibemesh_api_presentation", lines[0].source);
    EXPECT_CODE(0x90A90005u, lines[0].code);
    EXPECT_EQ(1u, fake_.errors.size()); /* a handle failure records nothing */
}

TEST_F(ForeignManager, AFailedHandleReleaseReachesTheCaller) {
    veltra_vibemesh_result_handle_t r = nullptr;
    ASSERT_CODE(0u,
                veltra_vibemesh_presentation_find_recommendations(presentation_, provider_, 1, 1, &r));
    fake_.handle_release_result = 0x90310010u;
    EXPECT_CODE(0x90A80010u, veltra_vibemesh_results_release(r));     /* folded */
    EXPECT_CODE(0x90310010u, veltra_vibemesh_provider_release(provider_)); /* as it came */
    fake_.handle_release_result = 0;
    EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
    EXPECT_CODE(0u, veltra_vibemesh_provider_release(provider_));
    provider_ = nullptr;
    EXPECT_EQ(1u, ds_.calls(DsSlot::Release).size()); /* the table went back once */
}

TEST_F(ForeignManager, DeleteCallbacksMayComeLateAndInAnyOrder) {
    ds_.results = {{"a", "g"}};
    ASSERT_CODE(0u, veltra_vibemesh_presentation_filter_set(presentation_, "f", kGenres, "7",
                                                            kInclude));
    veltra_vibemesh_result_handle_t r = nullptr;
    ASSERT_CODE(0u,
                veltra_vibemesh_presentation_find_recommendations(presentation_, provider_, 1, 1, &r));
    fake_.defer_deletes = true;
    EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
    EXPECT_CODE(0u, veltra_vibemesh_presentation_release(presentation_));
    EXPECT_CODE(0u, veltra_vibemesh_provider_release(provider_));
    /* The provider gave its table back at release, not at deletion. */
    EXPECT_EQ(0u, veltra_manager_interface_refcount(ds_.table()));
    EXPECT_EQ(0u, fake_.user_release_calls);
    uint32_t count = 0;
    EXPECT_CODE(0x90A80005u, veltra_vibemesh_results_count(r, &count)); /* ended at release */

    std::reverse(fake_.pending.begin(), fake_.pending.end());
    fake_.run_deletes();
    EXPECT_EQ(1u, fake_.user_release_calls);
    EXPECT_EQ(1u, ds_.calls(DsSlot::Release).size()); /* dropped exactly once */
    presentation_ = nullptr;
    provider_ = nullptr;
}

/* A manager may shut the client down first and end its leftover handles afterwards, when the
 * module has let go of its interfaces: the records still go without a fault or a leak (only
 * the user reference can no longer be given back). */
TEST_F(ForeignManager, LeftoverHandlesMayEndAfterTheClientShutDown) {
    ds_.results = {{"a", "g"}};
    ASSERT_CODE(0u, veltra_vibemesh_presentation_filter_set(presentation_, "f", kEras, "3",
                                                            kExclude));
    veltra_vibemesh_result_handle_t r = nullptr;
    ASSERT_CODE(0u,
                veltra_vibemesh_presentation_find_recommendations(presentation_, provider_, 1, 1, &r));
    ASSERT_CODE(0u, fake_.shutdown_callback());
    EXPECT_EQ(0u, veltra_vibemesh_initchecks());
    fake_.pending.swap(fake_.live);
    fake_.run_deletes();
    EXPECT_EQ(0u, fake_.user_release_calls);
    EXPECT_EQ(0u, veltra_manager_interface_refcount(ds_.table()));
    fake_.user_release_calls = fake_.addref_calls; /* settled for the teardown check */
    presentation_ = nullptr;
    provider_ = nullptr;
}

}  // namespace
}  // namespace vt
