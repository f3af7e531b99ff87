/* Test helpers shared by every suite: a fixture that starts the stand-in manager and checks
 * that a test leaves no block and no handle behind, and the out-of-memory sweep. */
#ifndef VELTRA_TEST_SUPPORT_H
#define VELTRA_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>

#include "plx/plx.h"
#include "veltra_manager.h"
#include "veltra_manager_app.h"

namespace vt {

/* Live blocks of the host allocator right now. */
uint64_t live_blocks();

/* Starts the manager for the test; at the end checks that the host allocator's live-block count
 * and the manager's handle count are back where they started. */
class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const veltra_manager_t *manager_ = nullptr;
    uint64_t blocks_at_start_ = 0;
    uint32_t handles_at_start_ = 0;
};

/* A ManagerTest that also starts one support module before the test and stops it after. */
template <plx_error_t (*Initialize)(), plx_error_t (*Shutdown)()>
class ModuleTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        ASSERT_EQ(0u, Initialize());
    }
    void TearDown() override {
        Shutdown();
        ManagerTest::TearDown();
    }
};
using DatatypesTest = ModuleTest<plx_datatypes_initialize, plx_datatypes_shutdown>;
using StringTest = ModuleTest<plx_string_initialize, plx_string_shutdown>;

/* Out-of-memory sweep: runs `scenario` with allocation 0, 1, 2, ... failing until a run passes
 * without an injected failure. Each run returns its result code; a run that met an injected
 * failure must return 0 or one of `oom_codes`, and must leave the live-block count where it
 * found it once `cleanup` has run. Returns the number of runs. */
struct OomCase {
    std::function<uint32_t()> scenario;
    std::function<void()> cleanup = [] {};
    std::vector<uint32_t> oom_codes;
};
uint32_t oom_sweep(const OomCase &c);

/* Runs `run` on every file of the fuzz corpus folder fuzz/corpus/<target>, in name order; fails
 * when the folder is missing or empty. */
void replay_corpus(const char *target, void (*run)(const uint8_t *, size_t));

}  // namespace vt

#endif
