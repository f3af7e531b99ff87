/* Module start-up and shutdown, the version strings, error information and the life-cycle log
 * lines, against the stand-in manager and against a scripted manager handle. */
#include <string.h>

#include "fake_manager.h"
#include "vibemesh/vibemesh_frame.h"
#include "test_support.h"
#include "veltra_vibemesh.h"

namespace {

veltra_manager_errorinfo_t last_error() {
    veltra_manager_errorinfo_t e{};
    veltra_manager_errorinfo_get(&e);
    return e;
}

uint32_t support_counts() {
    return plx_thread_initchecks() + plx_string_initchecks() + plx_datatypes_initchecks() +
           plx_random_initchecks() + plx_fs_initchecks() + plx_iostream_initchecks();
}

/* ---- against the stand-in manager ---- */

class ModuleStart : public vt::ManagerTest {};

TEST_F(ModuleStart, VersionNeedsNoStartUpAndBadManagerHandlesAreRefused) {
    ASSERT_EQ(0u, veltra_vibemesh_initchecks());
    EXPECT_STREQ("3.05.4.1615", veltra_vibemesh_get_version());
    EXPECT_STREQ("2014-01-16 22:02-0800", veltra_vibemesh_get_build_date());

    EXPECT_EQ(0x90A80001u, veltra_vibemesh_initialize(nullptr));
    veltra_manager_errorinfo_t e = last_error();
    EXPECT_EQ(0x90A80001u, e.source_code);
    EXPECT_STREQ("veltra_vibemesh_initialize", e.function_name);
    EXPECT_STREQ("given manager handle was null", e.message);

    veltra_manager_t copy = *manager_;
    copy.magic = 0x1EEEEEE2u;
    EXPECT_EQ(0x90A80320u, veltra_vibemesh_initialize(&copy));
    EXPECT_EQ(0u, last_error().has_message);

    copy = *manager_;
    for (const char *v : {"3.05.5", "3.05.4.1", ""}) {
        copy.version = v;
        EXPECT_EQ(0x90A80321u, veltra_vibemesh_initialize(&copy)) << v;
        EXPECT_STREQ("given manager handle was from a different version SDK", last_error().message);
    }
    EXPECT_EQ(0u, veltra_vibemesh_initchecks());
}

TEST_F(ModuleStart, NestedStartAndShutdown) {
    ASSERT_EQ(0u, veltra_vibemesh_initialize(manager_));
    veltra_manager_errorinfo_t e = last_error();
    EXPECT_EQ(0u, e.error_code); /* success is recorded too */
    EXPECT_STREQ("veltra_vibemesh_initialize", e.function_name);

    ASSERT_EQ(0u, veltra_vibemesh_initialize(manager_));
    EXPECT_EQ(0u, veltra_vibemesh_shutdown());
    EXPECT_EQ(1u, veltra_vibemesh_initchecks());
    EXPECT_EQ(0u, veltra_vibemesh_shutdown());
    EXPECT_EQ(0x90A80007u, veltra_vibemesh_shutdown());
    EXPECT_EQ(nullptr, g_vibemesh_handlemanager_interface);
    EXPECT_EQ(nullptr, g_vibemesh_manager_interface);
    EXPECT_EQ(0u, support_counts());
}

/* ---- against a scripted manager ---- */

class ModuleFake : public ::testing::Test {
protected:
    void SetUp() override {
        const veltra_manager_t *m = nullptr;
        ASSERT_EQ(0u, veltra_manager_start(&m));
    }
    void TearDown() override {
        while (veltra_vibemesh_initchecks() != 0) {
            fake_.release_result = 0;
            veltra_vibemesh_shutdown();
        }
        EXPECT_EQ(0, fake_.held_interfaces());
        EXPECT_EQ(0u, support_counts());
        veltra_manager_stop();
    }
    vt::FakeManager fake_;
};

TEST_F(ModuleFake, RegistersAndLooksUpInOrder) {
    ASSERT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
    EXPECT_EQ(168u, fake_.registered_package);
    EXPECT_EQ("VELTRA VibeMesh", fake_.registered_name);
    std::vector<std::string> want = {"_veltra_errorinfo_interface", "_veltra_handlemanager_interface",
                                     "_veltra_userinfo_interface", "_veltra_serialization_interface",
                                     "_veltra_listmanager_interface"};
    EXPECT_EQ(want, fake_.interfaces_got);
    EXPECT_EQ(0u, veltra_vibemesh_shutdown());
    std::vector<std::string> released = {"_veltra_handlemanager_interface", "_veltra_userinfo_interface",
                                         "_veltra_errorinfo_interface", "_veltra_serialization_interface",
                                         "_veltra_listmanager_interface"};
    EXPECT_EQ(released, fake_.interfaces_released);
}

TEST_F(ModuleFake, ALaterStartUpWithAnotherHandleOnlyCounts) {
    ASSERT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
    uint32_t clients = veltra_manager_client_count();
    ASSERT_EQ(0u, veltra_vibemesh_initialize(veltra_manager_handle()));
    EXPECT_EQ(&fake_.handle, g_vibemesh_manager_interface);
    EXPECT_EQ(clients, veltra_manager_client_count()); /* the second manager saw nothing */
    EXPECT_EQ(1u, fake_.register_calls);
    EXPECT_EQ(0u, veltra_vibemesh_shutdown());
    EXPECT_EQ(0u, veltra_vibemesh_shutdown());
    EXPECT_EQ(1u, fake_.release_calls);
}

TEST_F(ModuleFake, FailedLookupUndoesEverything) {
    fake_.failing_interface = "_veltra_userinfo_interface";
    fake_.interface_result = 0x90310003u;
    EXPECT_EQ(0x90A8000Au, veltra_vibemesh_initialize(&fake_.handle));
    veltra_manager_errorinfo_t e = last_error();
    EXPECT_EQ(0x90A8000Au, e.error_code);
    EXPECT_EQ(0x90310003u, e.source_code);
    EXPECT_EQ(0u, veltra_vibemesh_initchecks());
    EXPECT_EQ(0, fake_.held_interfaces());
    EXPECT_EQ(nullptr, g_vibemesh_errorinfo_interface);
    EXPECT_EQ(0u, support_counts());
    /* The failure is not sticky: the next start-up runs again. */
    fake_.failing_interface.clear();
    EXPECT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
}

/* Regression: a start-up used to forget what an earlier, refused unwinding still held, so the
 * next failing start-up released nothing and those references were lost. */
TEST_F(ModuleFake, StartUpAfterARefusedUnwindReleasesWhatThatUnwindKept) {
    fake_.failing_interface = "_veltra_listmanager_interface";
    fake_.release_result = 0x90310010u;
    EXPECT_EQ(0x90A8000Au, veltra_vibemesh_initialize(&fake_.handle));
    /* The unwinding stops at the refused release: what was found so far is still held. */
    EXPECT_EQ(4, fake_.held_interfaces());
    EXPECT_NE(nullptr, g_vibemesh_userinfo_interface);
    EXPECT_EQ(0u, support_counts());

    fake_.release_result = 0;
    fake_.register_result = 0x90310011u;
    EXPECT_EQ(0x90A8000Au, veltra_vibemesh_initialize(&fake_.handle));
    EXPECT_EQ(0, fake_.held_interfaces());
    EXPECT_EQ(nullptr, g_vibemesh_userinfo_interface);
    EXPECT_EQ(nullptr, g_vibemesh_manager_interface);
}

/* Regression: the start-up failure line was gated by the module's mask instead of the mask of
 * the failure code's own package. */
TEST_F(ModuleFake, StartUpFailureIsLoggedUnderTheFailurePackage) {
    fake_.register_result = 0x90310011u;
    vt::LogCapture log(0);
    veltra_manager_log_set_mask(0x31, 1);
    EXPECT_EQ(0x90A8000Au, veltra_vibemesh_initialize(&fake_.handle));
    EXPECT_EQ(0x90310011u, last_error().source_code); /* the registration's own code */
    std::vector<vt::LogLine> lines = log.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("veltra_vibemesh", lines[0].source);
    EXPECT_EQ(0x90310011u, lines[0].code);
    EXPECT_EQ("(null)", lines[0].text);

    log.clear();
    veltra_manager_log_set_mask(0x31, 0);
    veltra_manager_log_set_mask(168, 1);
    EXPECT_EQ(0x90A8000Au, veltra_vibemesh_initialize(&fake_.handle));
    lines = log.lines();
    ASSERT_EQ(1u, lines.size()); /* only the call's own failure */
    EXPECT_EQ("veltra_vibemesh_initialize", lines[0].source);
    EXPECT_EQ(0x90A8000Au, lines[0].code);
}

TEST_F(ModuleFake, RefusedShutdownKeepsTheModuleUpAndFoldsTheCode) {
    ASSERT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
    struct Case {
        uint32_t manager_code, expected;
    } cases[] = {
        {0x90310010u, 0x90A80010u}, /* foreign code: low 16 bits behind 0x90A8 */
        {0x900D0002u, 0x90A80002u}, /* any out-of-memory folds to the module's */
        {0x100D0003u, 0x10A20003u}, /* support not-found becomes the not-found status */
        {0x90A80006u, 0x90A80006u}, /* the module's own codes pass */
    };
    for (const Case &c : cases) {
        fake_.release_result = c.manager_code;
        EXPECT_EQ(c.expected, veltra_vibemesh_shutdown()) << std::hex << c.manager_code;
        EXPECT_EQ(1u, veltra_vibemesh_initchecks());
        EXPECT_EQ(5, fake_.held_interfaces());
    }
}

TEST(ModuleCodes, OwnCodesAndSuccessPassUnfolded) {
    for (uint32_t code : {0u, 0x90A80003u, 0x90A80002u, 0x90A80361u})
        EXPECT_EQ(code, _vibemesh_map_error(code)) << std::hex << code;
}

TEST_F(ModuleFake, ClientShutdownCallbackStopsFromAnyCount) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
    ASSERT_NE(nullptr, fake_.shutdown_callback);
    veltra_client_shutdown_fn cb = fake_.shutdown_callback;
    fake_.release_result = 0x90310010u; /* ignored when the manager shuts the client down */
    EXPECT_EQ(0u, cb());
    EXPECT_EQ(0u, veltra_vibemesh_initchecks());
    EXPECT_EQ(0, fake_.held_interfaces());
    EXPECT_EQ(7u, cb()); /* unmapped when already down */
}

TEST_F(ModuleFake, LifeCycleLogLines) {
    vt::LogCapture log;
    EXPECT_EQ(0x90A80007u, veltra_vibemesh_shutdown()); /* not started: logged, not recorded */
    ASSERT_EQ(1u, log.at_level(1).size());
    log.clear();
    ASSERT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
    std::vector<vt::LogLine> lines = log.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("[api_trace]", lines[0].source);
    EXPECT_EQ(0x00A80000u, lines[0].code);
    EXPECT_EQ("veltra_vibemesh_initialize", lines[0].text);
    std::vector<vt::LogLine> info = log.at_level(4);
    ASSERT_EQ(2u, info.size());
    EXPECT_EQ("Vibemesh Initialize: Version 3.05.4.1615  Built 2014-01-16 22:02-0800", info[0].text);
    EXPECT_EQ(0x00310000u, info[1].code);

    log.clear();
    fake_.release_result = 0x90310010u;
    EXPECT_EQ(0x90A80010u, veltra_vibemesh_shutdown());
    std::vector<vt::LogLine> errors = log.at_level(1);
    ASSERT_EQ(3u, errors.size());
    EXPECT_EQ("VibeMesh Shutdown Failed: services still in use", errors[0].text);
    EXPECT_EQ("veltra_vibemesh_shutdown", errors[2].source);

    log.clear();
    fake_.release_result = 0;
    EXPECT_EQ(0u, veltra_vibemesh_shutdown());
    info = log.at_level(4);
    ASSERT_EQ(2u, info.size());
    EXPECT_EQ("VibeMesh Shutdown", info[1].text);
}

TEST_F(ModuleFake, LoggingIsGatedPerPackage) {
    vt::LogCapture log(0);
    veltra_manager_log_set_mask(49, 4);
    ASSERT_EQ(0u, veltra_vibemesh_initialize(&fake_.handle));
    std::vector<vt::LogLine> lines = log.lines();
    ASSERT_EQ(1u, lines.size()); /* only the echo under package 49 */
    EXPECT_EQ(0x00310000u, lines[0].code);
}

}  // namespace
