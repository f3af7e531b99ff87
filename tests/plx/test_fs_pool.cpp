/* The descriptor pool: parking under a cap, transparent reopening at the stored position,
 * standard streams, failed reopens, and many threads sharing a small pool. */
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "fs_test_hooks.h"

namespace {

class Pool : public vt::FsTest {
protected:
    plx_fs_file_t *open(const std::string &name, uint32_t flags = kCreate) {
        plx_fs_file_t *f = nullptr;
        EXPECT_EQ(0u, plx_fs_file_open(path(name).c_str(), flags, 3, &f));
        return f;
    }
    std::pair<uint32_t, uint32_t> lists() {
        uint32_t idle = 0, parked = 0;
        _plx_fs_mgr_stats(&idle, &parked);
        return {idle, parked};
    }
    static constexpr uint32_t kCreate =
        PLX_FS_OPEN_READ | PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE | PLX_FS_OPEN_TRUNCATE;
};

using Lists = std::pair<uint32_t, uint32_t>;

TEST_F(Pool, CapOneParksTheOldestAndReopensWithoutTruncating) {
    g_fs_max_file_handles = 1;
    uint32_t n = 0;
    plx_fs_file_t *a = open("a");
    ASSERT_EQ(0u, plx_fs_file_write(a, "hello world", 11, &n));
    ASSERT_EQ(0u, plx_fs_file_seek(a, 6, PLX_FS_SEEK_SET));
    plx_fs_file_t *missing = nullptr;
    EXPECT_EQ(0x90030041u, plx_fs_file_open(path("none").c_str(), PLX_FS_OPEN_READ, 1, &missing));
    EXPECT_EQ(Lists(1, 0), lists());  /* a failed open parks nothing */
    plx_fs_file_t *b = open("b");
    EXPECT_EQ(Lists(1, 1), lists());  /* a parked, b idle */
    char buf[16] = {};
    ASSERT_EQ(0u, plx_fs_file_read(a, buf, sizeof buf, &n));
    EXPECT_EQ("world", std::string(buf, n));  /* same position, contents kept */
    EXPECT_EQ(Lists(1, 1), lists());          /* now b is parked */
    ASSERT_EQ(0u, plx_fs_file_write(b, "B", 1, &n));

    /* Lowering the cap parks nothing at once; the next request parks one idle file. */
    g_fs_max_file_handles = 0;
    plx_fs_file_t *c = open("c");
    plx_fs_file_t *d = open("d");
    EXPECT_EQ(3u, g_fs_num_file_handles);
    g_fs_max_file_handles = 2;
    EXPECT_EQ(Lists(3, 1), lists());
    ASSERT_EQ(0u, plx_fs_file_read(a, buf, 1, &n));
    EXPECT_EQ(Lists(3, 1), lists());
    for (plx_fs_file_t *f : {a, b, c, d}) EXPECT_EQ(0u, plx_fs_file_close(f));
    EXPECT_EQ(Lists(0, 0), lists());
}

TEST_F(Pool, NoCapNeverParksAndStandardStreamsAreNeverParked) {
    std::vector<plx_fs_file_t *> files;
    for (int i = 0; i < 20; ++i) files.push_back(open("f" + std::to_string(i)));
    EXPECT_EQ(20u, g_fs_num_file_handles);
    EXPECT_EQ(Lists(20, 0), lists());
    for (plx_fs_file_t *f : files) plx_fs_file_close(f);

    g_fs_max_file_handles = 2;
    plx_fs_file_t *out = nullptr;
    ASSERT_EQ(0u, plx_fs_file_open(PLX_FS_NAME_STDERR, PLX_FS_OPEN_WRITE, 0, &out));
    plx_fs_file_t *a = open("a");
    plx_fs_file_t *b = open("b");
    EXPECT_EQ(Lists(2, 1), lists());
    uint32_t n = 0;
    EXPECT_EQ(0u, plx_fs_file_write(a, "x", 1, &n));  /* parks b, not the stream */
    EXPECT_EQ(0u, plx_fs_file_write(out, "", 0, &n));
    EXPECT_EQ(Lists(2, 1), lists());
    EXPECT_EQ(0u, plx_fs_file_close(out));
    EXPECT_NE(-1, fcntl(2, F_GETFD));
    plx_fs_file_close(a);
    plx_fs_file_close(b);
}

TEST_F(Pool, FailedReopenLeavesTheFileParkedAndTakesNoSlot) {
    g_fs_max_file_handles = 1;
    plx_fs_file_t *a = open("a");
    plx_fs_file_t *b = open("b");
    ASSERT_EQ(0, unlink(path("a").c_str()));
    char buf[4];
    uint32_t n = 0;
    EXPECT_EQ(0x90030041u, plx_fs_file_read(a, buf, 4, &n));  /* gone: reopen fails */
    EXPECT_EQ(0u, g_fs_num_file_handles);  /* b was parked for it; the slot is given back */
    EXPECT_EQ(Lists(0, 2), lists());
    EXPECT_EQ(0u, plx_fs_file_read(b, buf, 4, &n));  /* b reopens into the freed slot */
    EXPECT_EQ(Lists(1, 1), lists());
    std::FILE *again = std::fopen(path("a").c_str(), "w");
    std::fputs("back", again);
    std::fclose(again);
    ASSERT_EQ(0u, plx_fs_file_read(a, buf, 4, &n));  /* the next operation tries again */
    EXPECT_EQ("back", std::string(buf, n));
    plx_fs_file_close(a);
    plx_fs_file_close(b);
}

/* Threads each own a set of files (positions are per file, not per thread) and also share one
 * file through positioned calls at disjoint offsets; every byte is checked. */
void stress(const std::string &dir, uint32_t cap) {
    constexpr int kThreads = 4, kFilesEach = 6, kRounds = 60, kChunk = 97;
    g_fs_max_file_handles = cap;
    plx_fs_file_t *shared = nullptr;
    ASSERT_EQ(0u, plx_fs_file_open((dir + "/shared").c_str(),
                                   PLX_FS_OPEN_READ | PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE, 3,
                                   &shared));
    std::atomic<int> failures{0};
    auto worker = [&](int t) {
        std::mt19937 rng(t);
        plx_fs_file_t *files[kFilesEach];
        std::string expect[kFilesEach];
        for (int i = 0; i < kFilesEach; ++i) {
            std::string name = dir + "/t" + std::to_string(t) + "_" + std::to_string(i);
            uint32_t flags = PLX_FS_OPEN_READ | PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE;
            if (plx_fs_file_open(name.c_str(), flags, 3, &files[i]) != 0) return (void)++failures;
        }
        for (int r = 0; r < kRounds; ++r) {
            int i = rng() % kFilesEach;
            std::string chunk(kChunk, char('a' + (t * 7 + r) % 26));
            uint32_t n = 0;
            if (plx_fs_file_write(files[i], chunk.data(), kChunk, &n) != 0 || n != kChunk)
                ++failures;
            expect[i] += chunk;
            uint64_t offset = (uint64_t(r) * kThreads + t) * kChunk;
            if (plx_fs_file_write_at(shared, offset, chunk.data(), kChunk, &n) != 0) ++failures;
            std::string back(kChunk, '\0');
            if (plx_fs_file_read_at(shared, offset, back.data(), kChunk, &n) != 0 || back != chunk)
                ++failures;
        }
        for (int i = 0; i < kFilesEach; ++i) {
            std::string got(expect[i].size(), '\0');
            uint32_t n = 0;
            if (plx_fs_file_seek(files[i], 0, PLX_FS_SEEK_SET) != 0 ||
                plx_fs_file_read(files[i], got.data(), got.size(), &n) != 0 || got != expect[i])
                ++failures;
            if (plx_fs_file_close(files[i]) != 0) ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto &th : threads) th.join();
    EXPECT_EQ(0, failures.load()) << "cap " << cap;
    EXPECT_EQ(0u, plx_fs_file_close(shared));
    EXPECT_EQ(0u, g_fs_num_file_handles);
}

TEST_F(Pool, ManyThreadsShareSmallPoolsWithoutLosingBytesOrDescriptors) {
    int fds = vt::open_descriptors();
    for (uint32_t cap : {1u, 2u, 4u}) {
        std::string sub = path("cap" + std::to_string(cap));
        ASSERT_EQ(0u, plx_fs_dir_create(sub.c_str(), nullptr));
        stress(sub, cap);
    }
    EXPECT_EQ(fds, vt::open_descriptors());
    EXPECT_EQ(Lists(0, 0), lists());
}

}  // namespace
