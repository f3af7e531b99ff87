#include "test_support.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace vt {

uint64_t live_blocks() {
    veltra_manager_memory_stats_t s{};
    veltra_manager_memory_stats(&s);
    return s.live_blocks;
}

void ManagerTest::SetUp() {
    ASSERT_EQ(0u, veltra_manager_start(&manager_));
    blocks_at_start_ = live_blocks();
    handles_at_start_ = veltra_manager_handle_count();
}

void ManagerTest::TearDown() {
    veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
    EXPECT_EQ(blocks_at_start_, live_blocks()) << "host blocks leaked";
    EXPECT_EQ(handles_at_start_, veltra_manager_handle_count()) << "handles leaked";
    veltra_manager_stop();
}

uint32_t oom_sweep(const OomCase &c) {
    for (uint32_t n = 0;; ++n) {
        uint64_t before = live_blocks();
        veltra_manager_memory_fail_after(n, 0);
        uint32_t code = c.scenario();
        bool hit = veltra_manager_memory_fault_hit() != 0;
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        c.cleanup();
        EXPECT_EQ(before, live_blocks()) << "leak when allocation " << n << " failed";
        if (!hit) {
            EXPECT_EQ(0u, code) << "scenario fails without injected failure";
            return n + 1;
        }
        bool ok = code == 0 ||
                  std::find(c.oom_codes.begin(), c.oom_codes.end(), code) != c.oom_codes.end();
        EXPECT_TRUE(ok) << "allocation " << n << " failed: unexpected code 0x" << std::hex << code;
        if (!ok || n > 100000) return n + 1;
    }
}

void replay_corpus(const char *target, void (*run)(const uint8_t *, size_t)) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / target;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    std::vector<fs::path> inputs;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << "no seed in " << dir;
    for (const fs::path &input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        SCOPED_TRACE(input.filename().string());
        fprintf(stderr, "replaying %s/%s\n", target, input.filename().c_str());
        run(bytes.data(), bytes.size());
    }
}

}  // namespace vt
