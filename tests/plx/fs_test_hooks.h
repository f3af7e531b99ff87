/* Reaches the file layer's internal test seams: the library exports only its public interface,
 * so a seam is looked up by name in the symbol table of the library file on disk and relocated
 * by the library's load address. Also a per-test temporary directory and a descriptor count. */
#ifndef VELTRA_TESTS_FS_TEST_HOOKS_H
#define VELTRA_TESTS_FS_TEST_HOOKS_H

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plx/plx_fs_private.h"
#include "test_support.h"

namespace vt {

/* Address of the internal symbol `name` of the library that exports plx_fs_initialize. */
inline void *fs_seam(const char *name) {
    Dl_info info;
    link_map *map = nullptr;
    const void *anchor = reinterpret_cast<const void *>(&plx_fs_initialize);
    if (!dladdr1(anchor, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP)) return nullptr;
    std::ifstream in(info.dli_fname, std::ios::binary);
    std::vector<char> elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto *eh = reinterpret_cast<const ElfW(Ehdr) *>(elf.data());
    auto *sh = reinterpret_cast<const ElfW(Shdr) *>(elf.data() + eh->e_shoff);
    for (unsigned i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_SYMTAB) continue;
        auto *sym = reinterpret_cast<const ElfW(Sym) *>(elf.data() + sh[i].sh_offset);
        const char *names = elf.data() + sh[sh[i].sh_link].sh_offset;
        for (size_t k = 0; k < sh[i].sh_size / sizeof(ElfW(Sym)); ++k)
            if (sym[k].st_value && strcmp(names + sym[k].st_name, name) == 0)
                return reinterpret_cast<void *>(map->l_addr + sym[k].st_value);
    }
    return nullptr;
}

struct FsSeams {
    void (*set_syscalls)(const plx::fs::FsSyscalls *);  /* null restores the real calls */
    const plx::fs::FsSyscalls *(*real_syscalls)();
    void (*pool_lists)(uint32_t *p_idle, uint32_t *p_parked);
};

inline const FsSeams &fs_seams() {
    static const FsSeams seams{
        reinterpret_cast<decltype(FsSeams::set_syscalls)>(fs_seam("_plx_fs_syscalls_set")),
        reinterpret_cast<decltype(FsSeams::real_syscalls)>(fs_seam("_plx_fs_syscalls_default")),
        reinterpret_cast<decltype(FsSeams::pool_lists)>(fs_seam("_plx_fs_mgr_stats"))};
    return seams;
}

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
        const FsSeams &s = fs_seams();
        ASSERT_TRUE(s.set_syscalls && s.real_syscalls && s.pool_lists) << "seams not found";
    }
    void TearDown() override {
        fs_seams().set_syscalls(nullptr);
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
