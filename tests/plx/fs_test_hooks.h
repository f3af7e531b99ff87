/* The file layer's test fixture: a per-test temporary directory, the system-call seam restored
 * after each test, and a descriptor count. The tests link the module's objects, so the seams
 * (plx_fs_private.h) are called directly. */
#ifndef VELTRA_TESTS_FS_TEST_HOOKS_H
#define VELTRA_TESTS_FS_TEST_HOOKS_H

#include <dirent.h>

#include <filesystem>
#include <string>

#include "plx/plx_fs_private.h"
#include "test_support.h"

namespace vt {

/* Entries of /proc/self/fd: the descriptors this process holds. */
inline int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

/* Starts the fs module in a fresh temporary directory; TearDown removes it and checks that the
 * pool counts no descriptor any more. */
class FsTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        ASSERT_EQ(0u, plx_fs_initialize());
        char tmpl[] = "/tmp/vt_fs_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override {
        _plx_fs_syscalls_set(nullptr);
        g_fs_max_file_handles = 0;
        std::filesystem::remove_all(dir_);
        EXPECT_EQ(0u, g_fs_num_file_handles) << "descriptors still counted by the pool";
        plx_fs_shutdown();
        ManagerTest::TearDown();
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace vt

#endif
