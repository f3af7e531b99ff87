/* Fixture for catalog suites that write files: starts the manager and gives each test a fresh
 * folder (dir_) and a catalog path in it (path_), removed with everything in it afterwards. */
#ifndef VELTRA_CATALOG_FILE_TEST_H
#define VELTRA_CATALOG_FILE_TEST_H

#include <stdlib.h>

#include <string>

#include "test_support.h"

class CatalogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0u, veltra_manager_start(&m_));
        char tmpl[] = "/tmp/vibemesh-catalog-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        path_ = dir_ + "/c.vmcat";
    }
    void TearDown() override {
        EXPECT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str()));
        veltra_manager_stop();
    }
    const veltra_manager_t *m_ = nullptr;
    std::string dir_, path_;
};

#endif
