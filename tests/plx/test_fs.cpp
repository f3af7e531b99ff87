/* Files, paths and directories: read/write/seek/line semantics, path and directory edge cases,
 * bad input, injected platform failures and out of memory. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "fs_test_hooks.h"

namespace {

using plx::fs::FsSyscalls;

class Fs : public vt::FsTest {
protected:
    plx_fs_file_t *open(const std::string &name, uint32_t flags) {
        plx_fs_file_t *f = nullptr;
        EXPECT_EQ(0u, plx_fs_file_open(path(name).c_str(), flags, 3, &f));
        return f;
    }
    void put(const std::string &name, const std::string &data) {
        ASSERT_EQ(0u, plx_fs_file_write_to_file(path(name).c_str(), data.data(), data.size(), 0));
    }
    std::string get(const std::string &name) {
        void *buf = nullptr;
        uint32_t n = 0;
        EXPECT_EQ(0u, plx_fs_file_read_to_buffer(path(name).c_str(), &buf, &n, 0));
        std::string s(static_cast<char *>(buf), n);
        plx_memory_free(buf);
        return s;
    }
};

uint32_t fs_printf(plx_fs_file_t *f, uint32_t *count, const char *format, ...) {
    va_list args;
    va_start(args, format);
    uint32_t code = plx_fs_file_vwrite(f, format, args, count);
    va_end(args);
    return code;
}

constexpr uint32_t kRW = PLX_FS_OPEN_READ | PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE;

TEST_F(Fs, ReadWritePositionSeekAndEof) {
    plx_fs_file_t *f = open("a", kRW | PLX_FS_OPEN_TRUNCATE);
    uint32_t n = 0;
    ASSERT_EQ(0u, plx_fs_file_write(f, "0123456789", 10, &n));
    ASSERT_EQ(0u, fs_printf(f, &n, "<%d:%s>", 42, "x"));
    EXPECT_EQ(6u, n);
    std::string big(3000, 'b'); /* longer than the formatting buffer */
    ASSERT_EQ(0u, fs_printf(f, &n, "%s!", big.c_str()));
    EXPECT_EQ(3001u, n);
    char tail[4] = {};
    ASSERT_EQ(0u, plx_fs_file_read_at(f, 3014, tail, 3, &n));
    EXPECT_STREQ("bb!", tail); /* the long text itself, not the cut formatting buffer */
    uint64_t pos = 0, size = 0;
    EXPECT_EQ(0u, plx_fs_file_get_position(f, &pos));
    EXPECT_EQ(3017u, pos);

    EXPECT_EQ(0u, plx_fs_file_seek(f, 3017, PLX_FS_SEEK_SET)); /* exactly the size */
    EXPECT_EQ(0x90030051u, plx_fs_file_seek(f, 3018, PLX_FS_SEEK_SET));
    EXPECT_EQ(0x90030001u, plx_fs_file_seek(f, 0, 4));
    uint8_t eof = 0;
    EXPECT_EQ(0u, plx_fs_file_get_eof(f, &eof));
    EXPECT_EQ(1u, eof);
    ASSERT_EQ(0u, plx_fs_file_seek(f, 3017 - 4, PLX_FS_SEEK_END));
    char buf[16] = {};
    ASSERT_EQ(0u, plx_fs_file_read(f, buf, 6, &n));
    EXPECT_EQ("45", std::string(buf, 2)); /* reads at the position, not a stale offset */
    ASSERT_EQ(0u, plx_fs_file_read_at(f, 10, buf, 6, &n));
    EXPECT_EQ("<42:x>", std::string(buf, n));
    ASSERT_EQ(0u, plx_fs_file_write_at(f, 0, "AB", 2, &n));
    EXPECT_EQ(0u, plx_fs_file_get_position(f, &pos));
    EXPECT_EQ(10u, pos); /* positioned calls leave it alone */

    ASSERT_EQ(0u, plx_fs_file_truncate(f, 5));
    EXPECT_EQ(0u, plx_fs_file_size(f, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(0u, plx_fs_file_get_position(f, &pos));
    EXPECT_EQ(5u, pos);
    EXPECT_EQ(0u, plx_fs_file_read(f, buf, 4, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0u, plx_fs_file_close(f));
    EXPECT_EQ("AB234", get("a"));
}

TEST_F(Fs, ReadLineSplitsOnEveryLineEnd) {
    put("l", std::string("ab\r\ncd\ref\n\nlong-line-here", 25));
    plx_fs_file_t *f = open("l", PLX_FS_OPEN_READ);
    char line[8];
    std::vector<std::string> lines;
    uint32_t code;
    while ((code = plx_fs_file_read_line(f, line, sizeof line)) == 0) lines.push_back(line);
    EXPECT_EQ(0x90030049u, code);
    EXPECT_EQ((std::vector<std::string>{"ab", "cd", "ef", "", "long-li", "ne-here"}), lines);

    /* A CR that ends the bytes read still takes its LF along. */
    put("crlf", "abc\r\nz");
    plx_fs_file_t *g = open("crlf", PLX_FS_OPEN_READ);
    char small[4];
    ASSERT_EQ(0u, plx_fs_file_read_line(g, small, sizeof small));
    EXPECT_STREQ("abc", small);
    ASSERT_EQ(0u, plx_fs_file_read_line(g, small, sizeof small));
    EXPECT_STREQ("z", small);
    EXPECT_EQ(0x90030001u, plx_fs_file_read_line(g, small, 0));
    plx_fs_file_close(f);
    plx_fs_file_close(g);
}

TEST_F(Fs, WholeFilesCopyAndAttributes) {
    put("three", "xyz");
    void *buf = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(0u, plx_fs_file_read_to_buffer(path("three").c_str(), &buf, &n, 1));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(0, memcmp(buf, "xyz", 4));
    plx_memory_free(buf);
    put("empty", "");
    ASSERT_EQ(0u, plx_fs_file_read_to_buffer(path("empty").c_str(), &buf, &n, 1));
    EXPECT_EQ(0u, n);
    plx_memory_free(buf);
    ASSERT_EQ(0u, plx_fs_file_write_to_file(path("three").c_str(), "!", 1, 1));
    EXPECT_EQ("xyz!", get("three"));

    std::string big(10000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31);
    put("src", big);
    ASSERT_EQ(0u, plx_fs_file_set_attributes(path("src").c_str(), PLX_FS_ATTR_READABLE));
    EXPECT_EQ(0x90030042u, plx_fs_file_copy(path("src").c_str(), path("three").c_str(), 1));
    ASSERT_EQ(0u, plx_fs_file_copy(path("src").c_str(), path("three").c_str(), 0));
    EXPECT_EQ(big, get("three"));
    uint32_t attrs = 0;
    EXPECT_EQ(0u, plx_fs_file_get_attributes(path("three").c_str(), &attrs));
    EXPECT_EQ(PLX_FS_ATTR_READABLE, attrs);
    EXPECT_EQ(0x90030041u, plx_fs_file_copy(path("none").c_str(), path("x").c_str(), 0));
    /* Copying a file onto itself must not delete it. */
    EXPECT_NE(0u, plx_fs_file_copy(path("src").c_str(), path("src").c_str(), 0));
    EXPECT_EQ(big, get("src"));

    ASSERT_EQ(0u, plx_fs_file_rename(path("three").c_str(), path("four").c_str()));
    EXPECT_EQ(big, get("four"));
    EXPECT_EQ(0x90030041u, plx_fs_file_rename(path("three").c_str(), path("five").c_str()));

    /* a file created with read permission only is not writable */
    plx_fs_file_t *ro = nullptr;
    ASSERT_EQ(0u, plx_fs_file_open(path("ro").c_str(), PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE,
                                   PLX_FS_PERM_READ, &ro));
    plx_fs_file_close(ro);
    EXPECT_EQ(0u, plx_fs_file_get_attributes(path("ro").c_str(), &attrs));
    EXPECT_EQ(PLX_FS_ATTR_READABLE, attrs);

    EXPECT_EQ(0x90030046u, plx_fs_file_delete(PLX_FS_NAME_STDOUT)); /* no file name */
}

TEST_F(Fs, DirectoriesListCreateAndDeleteWithParents) {
    std::string a = path("a"), b = a + "/b", c = b + "/c";
    plx_fs_dir_t *d = nullptr;
    ASSERT_EQ(0u, plx_fs_dir_create(a.c_str(), nullptr));
    ASSERT_EQ(0u, plx_fs_dir_create(a.c_str(), nullptr)); /* exists: fine */
    ASSERT_EQ(0u, plx_fs_dir_create(b.c_str(), nullptr));
    ASSERT_EQ(0u, plx_fs_dir_create(c.c_str(), &d));
    const char *name = nullptr;
    uint32_t type = 99;
    std::map<std::string, uint32_t> seen;
    while (plx_fs_dir_next_entry(d, &name, &type) == 0) seen[name] = type;
    EXPECT_EQ(0x90030049u, plx_fs_dir_next_entry(d, &name, &type));
    EXPECT_EQ(0u, plx_fs_dir_close(d));
    EXPECT_EQ((std::map<std::string, uint32_t>{{".", 4}, {"..", 4}}), seen);

    put("a/b/file", "x");
    ASSERT_EQ(0, symlink("file", (b + "/link").c_str()));
    ASSERT_EQ(0u, plx_fs_dir_open(b.c_str(), &d));
    seen.clear();
    while (plx_fs_dir_next_entry(d, &name, &type) == 0) seen[name] = type;
    plx_fs_dir_close(d);
    EXPECT_EQ((std::map<std::string, uint32_t>{
                  {".", 4}, {"..", 4}, {"c", 4}, {"file", 8}, {"link", 16}}),
              seen);

    /* b still holds entries: c goes, b stays, and the status says why. */
    uint8_t exists = 0;
    EXPECT_EQ(0x10030050u, plx_fs_dir_delete((c + "/").c_str(), 1));
    EXPECT_EQ(0u, plx_fs_dir_exists(c.c_str(), &exists));
    EXPECT_EQ(0u, exists);
    EXPECT_EQ(0u, plx_fs_dir_exists(b.c_str(), &exists));
    EXPECT_EQ(1u, exists);
}

TEST_F(Fs, BadInputIsRefused) {
    uint32_t n;
    char buf[4];
    plx_fs_file_t *f = nullptr;
    EXPECT_EQ(0x90030001u, plx_fs_file_read(nullptr, buf, 4, &n));
    uint64_t fake[16] = {0x1234}; /* not a file record */
    EXPECT_EQ(0x90030001u, plx_fs_file_read(reinterpret_cast<plx_fs_file_t *>(fake), buf, 4, &n));
    EXPECT_EQ(0x90030001u, plx_fs_file_open(path("a").c_str(), PLX_FS_OPEN_CREATE, 3, &f));
    EXPECT_EQ(0x90030041u, plx_fs_file_open(path("missing").c_str(), PLX_FS_OPEN_READ, 3, &f));
    EXPECT_EQ(0x90030046u, plx_fs_file_open(dir_.c_str(), PLX_FS_OPEN_WRITE, 3, &f));
    EXPECT_EQ(0x90030001u, plx_fs_dir_create(nullptr, nullptr));
    EXPECT_EQ(0u, g_fs_num_file_handles);

    const char *value = nullptr;
    EXPECT_EQ(0x90030001u, plx_fs_option_get("plx_fs_MAX_handles", &value));
    EXPECT_EQ(0x90030001u, plx_fs_option_set(PLX_FS_OPTION_MAX_HANDLES, "4294967296"));
    EXPECT_EQ(0x90030001u, plx_fs_option_set(PLX_FS_OPTION_MAX_HANDLES, ""));
    ASSERT_EQ(0u, plx_fs_option_set(PLX_FS_OPTION_MAX_HANDLES, "4294967295"));
    ASSERT_EQ(0u, plx_fs_option_get(PLX_FS_OPTION_MAX_HANDLES, &value));
    EXPECT_STREQ("4294967295", value);

    plx_fs_shutdown();
    EXPECT_EQ(0x90030007u, plx_fs_file_open(path("a").c_str(), kRW, 3, &f));
    ASSERT_EQ(0u, plx_fs_initialize());
}

/* ---- regressions: exact result codes ---- */

TEST_F(Fs, DirectoryOpensForReadingAndFailsOnRead) {
    plx_fs_file_t *f = nullptr;
    ASSERT_EQ(0u, plx_fs_file_open(dir_.c_str(), PLX_FS_OPEN_READ, 1, &f));
    char buf[8];
    uint32_t n = 0;
    EXPECT_EQ(0x90030046u, plx_fs_file_read(f, buf, sizeof buf, &n));
    EXPECT_EQ(0u, plx_fs_file_close(f));
    EXPECT_EQ(0u, g_fs_num_file_handles);
}

TEST_F(Fs, DirCreateOverAnyExistingPathSucceeds) {
    put("file", "x");
    EXPECT_EQ(0u, plx_fs_dir_create(path("file").c_str(), nullptr));
    plx_fs_dir_t *d = nullptr;
    EXPECT_EQ(0x9003003Eu, plx_fs_dir_create(path("file").c_str(), &d)); /* not a directory */
    EXPECT_EQ(nullptr, d);
    EXPECT_EQ("x", get("file"));
}

TEST_F(Fs, EmptyDirectoryPathGivesThePlatformError) {
    EXPECT_EQ(0x90030041u, plx_fs_dir_create("", nullptr));
    EXPECT_EQ(0x90030041u, plx_fs_dir_delete("", 1));
    uint8_t exists = 9;
    EXPECT_EQ(0x90030001u, plx_fs_dir_exists("", &exists));
}

TEST_F(Fs, ReadLineWithRoomForTheTerminatorOnly) {
    put("l", "\nab");
    plx_fs_file_t *f = open("l", PLX_FS_OPEN_READ);
    char c = 'x';
    ASSERT_EQ(0u, plx_fs_file_read_line(f, &c, 1)); /* the line end fits: an empty line */
    EXPECT_EQ('\0', c);
    c = 'x';
    ASSERT_EQ(0u, plx_fs_file_read_line(f, &c, 1)); /* text does not: nothing consumed */
    EXPECT_EQ('\0', c);
    uint64_t pos = 0;
    EXPECT_EQ(0u, plx_fs_file_get_position(f, &pos));
    EXPECT_EQ(1u, pos);
    plx_fs_file_close(f);
}

/* ---- injected platform failures ---- */

FsSyscalls g_faulty;
int g_fail_errno; /* errno of the next failing call */
int g_fail_calls; /* how many calls of the chosen kind fail */

/* A replacement for `real` that fails the next g_fail_calls calls with g_fail_errno. */
template <class R, class... A>
auto fail_then(R (*real)(A...)) -> R (*)(A...) {
    static R (*s_real)(A...) = real;
    return [](A... args) -> R {
        if (g_fail_calls > 0) {
            --g_fail_calls;
            errno = g_fail_errno;
            return R(-1);
        }
        return s_real(args...);
    };
}

TEST_F(Fs, PlatformFailuresMapAndLeaveNothingBehind) {
    const FsSyscalls &real = *_plx_fs_syscalls_default();
    put("f", "data");
    plx_fs_file_t *f = open("f", kRW);
    uint32_t n = 0;
    char buf[8];

    g_faulty = real;
    g_faulty.pread = fail_then(real.pread);
    _plx_fs_syscalls_set(&g_faulty);
    g_fail_errno = EINTR, g_fail_calls = 3; /* interrupted calls are restarted */
    ASSERT_EQ(0u, plx_fs_file_read(f, buf, 8, &n));
    EXPECT_EQ(4u, n);
    g_fail_errno = EIO, g_fail_calls = 1;
    EXPECT_EQ(0x9003003Eu, plx_fs_file_read_at(f, 0, buf, 8, &n));

    g_faulty.pwrite = fail_then(real.pwrite);
    g_fail_errno = ENOSPC, g_fail_calls = 1;
    EXPECT_EQ(0x90030043u, plx_fs_file_write(f, "x", 1, &n));
    plx_fs_file_close(f);
    g_fail_calls = 0;

    /* A copy that runs out of space removes its partial destination. */
    put("big", std::string(20000, 'q'));
    g_fail_calls = 0;
    g_faulty.write = fail_then(real.write);
    g_fail_errno = ENOSPC, g_fail_calls = 1;
    EXPECT_EQ(0x90030043u, plx_fs_file_copy(path("big").c_str(), path("copy").c_str(), 0));
    EXPECT_FALSE(std::filesystem::exists(path("copy")));

    g_faulty.open = fail_then(real.open);
    g_fail_errno = EMFILE, g_fail_calls = 1;
    int fds = vt::open_descriptors();
    EXPECT_EQ(0x90030044u, plx_fs_file_open(path("f").c_str(), PLX_FS_OPEN_READ, 1, &f));
    EXPECT_EQ(0u, g_fs_num_file_handles);
    EXPECT_EQ(fds, vt::open_descriptors());
    g_fail_calls = 0;
}

/* A device that takes only half of each positioned write. */
ssize_t (*g_real_pwrite)(int, const void *, size_t, uint64_t);
ssize_t half_pwrite(int fd, const void *data, size_t size, uint64_t offset) {
    return g_real_pwrite(fd, data, size > 1 ? size / 2 : size, offset);
}

/* Regressions: a short write went unnoticed by the whole-file writes, and a failed write
 * forgot that a read had found the end. */
TEST_F(Fs, ShortAndFailedWritesAreNoticed) {
    const FsSyscalls &real = *_plx_fs_syscalls_default();
    put("src", "0123456789");
    put("e", "abc");
    g_faulty = real;
    g_real_pwrite = real.pwrite;
    g_faulty.pwrite = half_pwrite;
    _plx_fs_syscalls_set(&g_faulty);
    EXPECT_EQ(0x90030043u, plx_fs_file_write_to_file(path("w").c_str(), "abcd", 4, 0));
    EXPECT_EQ(0x90030043u, plx_fs_file_copy(path("src").c_str(), path("dst").c_str(), 0));
    EXPECT_FALSE(std::filesystem::exists(path("dst")));

    plx_fs_file_t *f = open("e", kRW);
    char buf[8];
    uint32_t n = 0;
    ASSERT_EQ(0u, plx_fs_file_read(f, buf, sizeof buf, &n));
    ASSERT_EQ(0u, plx_fs_file_read(f, buf, sizeof buf, &n)); /* finds the end */
    g_faulty.pwrite = real.pwrite;
    ASSERT_EQ(0u, plx_fs_file_write_at(f, 3, "more", 4, &n)); /* the file grows behind it */
    g_faulty.pwrite = fail_then(real.pwrite);
    g_fail_errno = ENOSPC, g_fail_calls = 1;
    EXPECT_EQ(0x90030043u, plx_fs_file_write(f, "x", 1, &n));
    uint8_t eof = 0;
    EXPECT_EQ(0u, plx_fs_file_get_eof(f, &eof));
    EXPECT_EQ(1u, eof);
    plx_fs_file_close(f);
}

/* A file that refuses offsets for writing is written as a stream from then on, as reads are;
 * formatted writes do not fall back. */
TEST_F(Fs, WriteFallsBackToStreamingWhenOffsetsAreRefused) {
    const FsSyscalls &real = *_plx_fs_syscalls_default();
    plx_fs_file_t *f = open("w", kRW | PLX_FS_OPEN_TRUNCATE);
    g_faulty = real;
    g_faulty.pwrite = fail_then(real.pwrite);
    _plx_fs_syscalls_set(&g_faulty);
    uint32_t n = 0;
    g_fail_errno = EINVAL, g_fail_calls = 1;
    EXPECT_EQ(0x90030001u, fs_printf(f, &n, "%s", "no"));
    g_fail_errno = EINVAL, g_fail_calls = 1;
    ASSERT_EQ(0u, plx_fs_file_write(f, "abc", 3, &n));
    EXPECT_EQ(3u, n);
    g_fail_calls = 1000; /* positioned writes would fail from here on */
    ASSERT_EQ(0u, plx_fs_file_write(f, "de", 2, &n));
    g_fail_calls = 0;
    uint64_t pos = 0;
    EXPECT_EQ(0u, plx_fs_file_get_position(f, &pos));
    EXPECT_EQ(5u, pos);
    plx_fs_file_close(f);
    EXPECT_EQ("abcde", get("w"));
}

TEST_F(Fs, OutOfMemoryInEveryAllocatingOperation) {
    put("src", std::string(5000, 'm'));
    std::string long_text(2000, 'L');
    auto sweep = [](std::function<uint32_t()> scenario, std::function<void()> cleanup) {
        vt::oom_sweep({std::move(scenario), std::move(cleanup), {0x90030002u, 0x90220002u}});
    };
    sweep(
        [&] {
            plx_fs_file_t *f = nullptr;
            uint32_t code = plx_fs_file_open(path("o").c_str(), kRW, 3, &f), n;
            if (code == 0) code = fs_printf(f, &n, "%s", long_text.c_str());
            if (f) plx_fs_file_close(f);
            return code;
        },
        [] {});
    sweep(
        [&] {
            void *buf = nullptr;
            uint32_t n = 0;
            uint32_t code = plx_fs_file_read_to_buffer(path("src").c_str(), &buf, &n, 1);
            plx_memory_free(buf);
            return code;
        },
        [] {});
    sweep([&] { return plx_fs_file_copy(path("src").c_str(), path("dst").c_str(), 0); }, [] {});
    sweep([&] { return plx_fs_file_write_to_file(path("w").c_str(), "abc", 3, 1); }, [] {});
    sweep(
        [&] {
            plx_fs_dir_t *d = nullptr;
            uint32_t code = plx_fs_dir_create(path("d").c_str(), &d);
            if (d) plx_fs_dir_close(d);
            if (code == 0) code = plx_fs_dir_delete(path("d").c_str(), 0);
            return code;
        },
        [&] { rmdir(path("d").c_str()); });
    EXPECT_EQ(0u, g_fs_num_file_handles);
}

}  // namespace
