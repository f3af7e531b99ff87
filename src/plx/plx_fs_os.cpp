/* Open files over POSIX, and the table of system calls the whole file layer goes through
 * (paths and directories are in plx_fs_paths.cpp). Every platform error leaves through
 * _fs_map_error. File operations bracket their work between acquiring and releasing the file's
 * descriptor from the pool, so a parked file is reopened transparently. */
#define _FILE_OFFSET_BITS 64 /* 64-bit offsets on 32-bit targets; must precede every include */

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plx/plx_fs_private.h"

namespace plx::fs {
namespace {

/* ---- the real system calls ------------------------------------------------------------- */

void fill_status(const struct stat &st, FsStatus *out) {
    out->size = static_cast<uint64_t>(st.st_size);
    out->mode = st.st_mode;
    out->device = st.st_dev;
    out->inode = st.st_ino;
}

int sys_open(const char *path, int flags, uint32_t mode) {
    return ::open(path, flags, static_cast<mode_t>(mode));
}
int sys_close(int fd) { return ::close(fd); }
ssize_t sys_read(int fd, void *buffer, size_t size) { return ::read(fd, buffer, size); }
ssize_t sys_write(int fd, const void *data, size_t size) { return ::write(fd, data, size); }
ssize_t sys_pread(int fd, void *buffer, size_t size, uint64_t offset) {
    return ::pread(fd, buffer, size, static_cast<off_t>(offset));
}
ssize_t sys_pwrite(int fd, const void *data, size_t size, uint64_t offset) {
    return ::pwrite(fd, data, size, static_cast<off_t>(offset));
}
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_ftruncate(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)); }
int sys_fstat(int fd, FsStatus *status) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    fill_status(st, status);
    return 0;
}
int sys_stat(const char *path, FsStatus *status) {
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    fill_status(st, status);
    return 0;
}
int sys_lstat_at(DIR *dir, const char *name, FsStatus *status) {
    struct stat st;
    if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    fill_status(st, status);
    return 0;
}
int sys_chmod(const char *path, uint32_t mode) { return ::chmod(path, static_cast<mode_t>(mode)); }
int sys_rename(const char *from, const char *to) { return ::rename(from, to); }
int sys_unlink(const char *path) { return ::unlink(path); }
int sys_mkdir(const char *path, uint32_t mode) { return ::mkdir(path, static_cast<mode_t>(mode)); }
int sys_rmdir(const char *path) { return ::rmdir(path); }
DIR *sys_opendir(const char *path) { return ::opendir(path); }
/* readdir on one stream is safe while the caller serialises calls on that stream, which the
 * directory API demands anyway; its errno tells the end from a failure. */
struct dirent *sys_readdir(DIR *dir) {
    errno = 0;
    return ::readdir(dir);
}
int sys_closedir(DIR *dir) { return ::closedir(dir); }

constexpr FsSyscalls kRealSyscalls = {
    sys_open,      sys_close, sys_read,    sys_write,    sys_pread,    sys_pwrite, sys_fsync,
    sys_ftruncate, sys_fstat, sys_stat,    sys_lstat_at, sys_chmod,    sys_rename, sys_unlink,
    sys_mkdir,     sys_rmdir, sys_opendir, sys_readdir,  sys_closedir,
};

const FsSyscalls *g_fs_syscalls = &kRealSyscalls;

/* ---- platform errors ------------------------------------------------------------------- */

constexpr ErrnoMapping kFsErrors[] = {
    {EPERM, err(0x40)},
    {EACCES, err(0x40)},
    {ENOENT, err(0x41)},
    {EEXIST, err(0x42)},
    {ENOSPC, err(0x43)},
    {EMFILE, err(0x44)},
    {EBADF, err(0x45)},
    {EISDIR, err(0x46)},
    {ENXIO, err(0x0B)},
    {EINVAL, err(kInvalidArg)},
    {EOVERFLOW, err(kInvalidArg)}, /* an offset or size the platform cannot represent */
    {ENOTEMPTY, status_code(kPkgFs, 0x50)},
};
constexpr uint32_t kOtherPlatformError = err(0x3E);

}  // namespace

const FsSyscalls &sys() { return *__atomic_load_n(&g_fs_syscalls, __ATOMIC_ACQUIRE); }

}  // namespace plx::fs

uint32_t _fs_map_error(int platform_error) {
    return plx::map_errno(plx::fs::kFsErrors, platform_error, plx::fs::kOtherPlatformError);
}

using namespace plx::fs;

namespace {

/* Largest count handed to one read or write: fits ssize_t on every target. */
constexpr uint32_t kMaxTransfer = 0x7FFFF000u;

uint32_t clamp_transfer(uint32_t size) { return size > kMaxTransfer ? kMaxTransfer : size; }

/* Runs a system call until no signal interrupts it: a signal arriving is never an error of the
 * file layer. Not used for close, whose descriptor may already be gone when it says EINTR. */
template <class F>
auto restart(F call) {
    for (;;) {
        auto r = call();
        if (r >= 0 || errno != EINTR) return r;
    }
}

/* The one check between a file handle and its record. */
uint32_t check_file(const plx_fs_file_t *file) {
    if (!file || file->file != file) return kErrInvalidArg;
    return 0;
}

/* Holds the file's descriptor from the pool for one operation. */
class DescriptorHold {
public:
    explicit DescriptorHold(plx_fs_file_t *file)
        : file_(file), code_(_plx_fs_mgr_acquire_fd(file)) {}
    DescriptorHold(const DescriptorHold &) = delete;
    DescriptorHold &operator=(const DescriptorHold &) = delete;
    ~DescriptorHold() {
        if (code_ == 0) _plx_fs_mgr_release_fd(file_);
    }
    uint32_t code() const { return code_; }

private:
    plx_fs_file_t *file_;
    uint32_t code_;
};

int platform_flags(uint32_t open_flags) {
    bool reads = (open_flags & PLX_FS_OPEN_READ) != 0;
    bool writes = (open_flags & (PLX_FS_OPEN_WRITE | PLX_FS_OPEN_APPEND)) != 0;
    int flags = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    if (open_flags & PLX_FS_OPEN_APPEND) flags |= O_APPEND;
    if (open_flags & PLX_FS_OPEN_CREATE) flags |= O_CREAT;
    if (open_flags & PLX_FS_OPEN_TRUNCATE) flags |= O_TRUNC;
    if (open_flags & PLX_FS_OPEN_EXCLUSIVE) flags |= O_EXCL;
    return flags | O_CLOEXEC; /* descriptors of the pool never leak into child processes */
}

uint32_t platform_mode(uint32_t permissions) {
    uint32_t mode = 0;
    if (permissions & PLX_FS_PERM_READ) mode |= 0444;
    if (permissions & PLX_FS_PERM_WRITE) mode |= 0222;
    return mode;
}

/* Status of a held descriptor. */
uint32_t held_status(plx_fs_file_t *file, FsStatus *st) {
    return sys().fstat(file->fd, st) == 0 ? 0 : last_error();
}

/* One read at the file position (positioned for regular files); advances it. */
uint32_t read_at_position(plx_fs_file_t *file, void *buffer, uint32_t size, uint32_t *p_count) {
    ssize_t n;
    if (file->positional) {
        n = restart(
            [&] { return sys().pread(file->fd, buffer, clamp_transfer(size), file->position); });
        /* Some special files look regular but refuse offsets: read them as streams from now on. */
        if (n < 0 && errno == EINVAL) {
            file->positional = 0;
            n = restart([&] { return sys().read(file->fd, buffer, clamp_transfer(size)); });
        }
    } else {
        n = restart([&] { return sys().read(file->fd, buffer, clamp_transfer(size)); });
    }
    if (n < 0) return last_error();
    file->position += static_cast<uint64_t>(n);
    if (n == 0) file->at_eof = 1;
    *p_count = static_cast<uint32_t>(n);
    return 0;
}

/* One write at the file position; advances it. With `fall_back`, a file that refuses offsets
 * is written as a stream from then on, as reads do. */
uint32_t write_at_position(plx_fs_file_t *file, const void *data, uint32_t size,
                           uint32_t *p_count, bool fall_back) {
    ssize_t n;
    if (file->positional) {
        n = restart(
            [&] { return sys().pwrite(file->fd, data, clamp_transfer(size), file->position); });
        if (n < 0 && errno == EINVAL && fall_back) {
            file->positional = 0;
            n = restart([&] { return sys().write(file->fd, data, clamp_transfer(size)); });
        }
    } else {
        n = restart([&] { return sys().write(file->fd, data, clamp_transfer(size)); });
    }
    if (n < 0) return last_error();
    file->position += static_cast<uint64_t>(n);
    *p_count = static_cast<uint32_t>(n);
    return 0;
}

}  // namespace

uint32_t _fs_file_get_handle(plx_fs_file_t *file, uint32_t open_flags, uint32_t permissions) {
    int std_fd = _plx_fs_std_descriptor(file->name());
    int fd;
    if (std_fd >= 0) {
        fd = std_fd;
        file->is_std_stream = 1;
    } else {
        fd = restart([&] {
            return sys().open(file->name(), platform_flags(open_flags), platform_mode(permissions));
        });
        if (fd < 0) return last_error();
    }
    /* Whatever the platform lets open stays open (a directory opened for reading included);
     * reading it is what fails, with the platform's own error. */
    FsStatus st;
    uint32_t code = sys().fstat(fd, &st) == 0 ? 0 : last_error();
    if (code != 0) {
        if (std_fd < 0) sys().close(fd);
        return code;
    }
    file->fd = fd;
    /* Standard streams are shared with the rest of the process: positioned writes would
     * ignore (and clobber) where others are writing, so they are always streamed. */
    file->positional = S_ISREG(st.mode) && std_fd < 0;
    return 0;
}

extern "C" {

/* Opens `name` (a path or a standard-stream name) with PLX_FS_OPEN_* flags; files it creates
 * get PLX_FS_PERM_* permissions. The file starts at position 0 and idle in the pool. */
plx_error_t plx_fs_file_open(const char *name, uint32_t open_flags, uint32_t permissions,
                             plx_fs_file_t **p_file) {
    if (plx_fs_initchecks() == 0) return kErrNotStarted;
    if (!name || !p_file) return kErrInvalidArg;
    if ((open_flags & (PLX_FS_OPEN_READ | PLX_FS_OPEN_WRITE | PLX_FS_OPEN_APPEND)) == 0)
        return kErrInvalidArg;

    /* Under a cap, taking a slot may park another file: a file that is not there and will not
     * be created is refused first, so that such a failure leaves the pool as it was. */
    FsStatus st;
    if (__atomic_load_n(&g_fs_max_file_handles, __ATOMIC_RELAXED) != 0 &&
        !(open_flags & PLX_FS_OPEN_CREATE) && _plx_fs_std_descriptor(name) < 0 &&
        sys().stat(name, &st) != 0)
        return last_error();

    size_t name_size = strlen(name) + 1;
    plx_fs_file_t *file = plx::alloc_record<plx_fs_file_t>(name_size);
    if (!file) return kErrNoMemory;
    file->file = file;
    file->fd = -1;
    memcpy(file->name(), name, name_size);

    uint32_t code = _plx_fs_mgr_new_fd(file);
    if (code != 0) {
        plx_memory_free(file);
        return code;
    }
    code = _fs_file_get_handle(file, open_flags, permissions);
    if (code != 0) {
        _plx_fs_mgr_close_fd(file);
        file->has_descriptor = 0; /* nothing is open: deleting must not close anything */
        _plx_fs_close_internal(file);
        return code;
    }
    file->open_flags = open_flags;
    file->permissions = permissions;
    *p_file = file;
    _plx_fs_mgr_release_fd(file);
    return 0;
}

/* Closes the file and frees its record; the platform close's error is returned. */
plx_error_t plx_fs_file_close(plx_fs_file_t *file) {
    if (uint32_t code = check_file(file)) return code;
    _plx_fs_mgr_close_fd(file);
    return _plx_fs_close_internal(file);
}

/* Reads up to `size` bytes at the position; a count of 0 marks the end of the file. */
plx_error_t plx_fs_file_read(plx_fs_file_t *file, void *buffer, uint32_t size, uint32_t *p_count) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_count || (!buffer && size != 0)) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    return read_at_position(file, buffer, size, p_count);
}

/* Writes once at the position; the count may be short. */
plx_error_t plx_fs_file_write(plx_fs_file_t *file, const void *data, uint32_t size,
                              uint32_t *p_count) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_count || (!data && size != 0)) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    uint32_t code = write_at_position(file, data, size, p_count, true);
    if (code == 0) file->at_eof = 0;
    return code;
}

/* Formats the text and writes it without its terminator. Short texts are formatted on the
 * stack; longer ones in one allocated string. */
plx_error_t plx_fs_file_vwrite(plx_fs_file_t *file, const char *format, va_list args,
                               uint32_t *p_count) {
    if (uint32_t code = check_file(file)) return code;
    if (!format || !p_count) return kErrInvalidArg;

    char stack_text[1024];
    va_list again;
    va_copy(again, args);
    uint32_t full = plx_string_vsnprintf(stack_text, sizeof stack_text, format, args);
    const char *text = stack_text;
    char *heap_text = nullptr;
    if (full > sizeof stack_text) {
        heap_text = plx_string_vmprintf(format, again);
        text = heap_text;
    }
    va_end(again);
    if (full > sizeof stack_text && !heap_text) return kErrNoMemory;
    plx::ScopeExit free_text([&] { plx_string_free(heap_text); });

    uint32_t length = full == 0 ? 0 : full - 1; /* the count includes the terminator */
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    return write_at_position(file, text, length, p_count, false);
}

/* Reads at `offset`; the file position is unchanged. */
plx_error_t plx_fs_file_read_at(plx_fs_file_t *file, uint64_t offset, void *buffer, uint32_t size,
                                uint32_t *p_count) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_count || (!buffer && size != 0)) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    ssize_t n =
        restart([&] { return sys().pread(file->fd, buffer, clamp_transfer(size), offset); });
    if (n < 0) return last_error();
    if (n == 0) file->at_eof = 1;
    *p_count = static_cast<uint32_t>(n);
    return 0;
}

/* Writes at `offset`; the file position is unchanged. */
plx_error_t plx_fs_file_write_at(plx_fs_file_t *file, uint64_t offset, const void *data,
                                 uint32_t size, uint32_t *p_count) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_count || (!data && size != 0)) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    ssize_t n = restart([&] { return sys().pwrite(file->fd, data, clamp_transfer(size), offset); });
    if (n < 0) return last_error();
    *p_count = static_cast<uint32_t>(n);
    return 0;
}

/* Reads one line ended by CR, LF or CR LF into `buffer` (NUL in place of the terminator) and
 * moves the position past it. A line longer than size - 1 bytes comes back in pieces; with a
 * size of 1 only a line end makes progress (an empty line), other text gives "" in place. */
plx_error_t plx_fs_file_read_line(plx_fs_file_t *file, char *buffer, uint32_t size) {
    if (uint32_t code = check_file(file)) return code;
    /* A buffer without room for the NUL cannot hold any line. */
    if (!buffer || size == 0) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();

    ssize_t got = restart(
        [&] { return sys().pread(file->fd, buffer, clamp_transfer(size), file->position); });
    if (got < 0) return last_error();
    if (got == 0) {
        file->at_eof = 1;
        return kErrEnd;
    }
    uint32_t n = static_cast<uint32_t>(got);
    for (uint32_t i = 0; i < n; ++i) {
        if (buffer[i] != '\r' && buffer[i] != '\n') continue;
        uint32_t consumed = i + 1;
        if (buffer[i] == '\r') {
            if (i + 1 < n) {
                if (buffer[i + 1] == '\n') ++consumed;
            } else {
                /* The CR ended the bytes read: look one byte further for its LF. */
                char next;
                ssize_t more =
                    restart([&] { return sys().pread(file->fd, &next, 1, file->position + n); });
                if (more == 1 && next == '\n') ++consumed;
            }
        }
        buffer[i] = '\0';
        file->position += consumed;
        return 0;
    }
    uint32_t kept = n < size - 1 ? n : size - 1;
    buffer[kept] = '\0';
    file->position += kept;
    return 0;
}

/* Moves the position: PLX_FS_SEEK_SET to offset, _CUR by offset, _END to size - offset. The
 * new position may equal the size but never pass it. */
plx_error_t plx_fs_file_seek(plx_fs_file_t *file, uint64_t offset, uint32_t origin) {
    if (uint32_t code = check_file(file)) return code;
    if (origin < PLX_FS_SEEK_SET || origin > PLX_FS_SEEK_END) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    FsStatus st;
    if (uint32_t code = held_status(file, &st)) return code;

    uint64_t target;
    if (origin == PLX_FS_SEEK_SET) {
        target = offset;
    } else if (origin == PLX_FS_SEEK_CUR) {
        if (offset > UINT64_MAX - file->position) return kErrSeekPastEnd;
        target = file->position + offset;
    } else {
        if (offset > st.size) return kErrSeekPastEnd; /* before the start */
        target = st.size - offset;
    }
    if (target > st.size) return kErrSeekPastEnd;
    file->position = target;
    return 0;
}

plx_error_t plx_fs_file_get_position(plx_fs_file_t *file, uint64_t *p_position) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_position) return kErrInvalidArg;
    *p_position = file->position;
    return 0;
}

/* The name as given to open; valid until the file is closed. */
plx_error_t plx_fs_file_get_name(plx_fs_file_t *file, const char **p_name) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_name) return kErrInvalidArg;
    *p_name = file->name();
    return 0;
}

/* Whether a read found the end, or the position now stands at the end. */
plx_error_t plx_fs_file_get_eof(plx_fs_file_t *file, uint8_t *p_eof) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_eof) return kErrInvalidArg;
    if (!file->at_eof) {
        DescriptorHold hold(file);
        if (hold.code()) return hold.code();
        FsStatus st;
        if (uint32_t code = held_status(file, &st)) return code;
        if (file->position == st.size) file->at_eof = 1;
    }
    *p_eof = file->at_eof;
    return 0;
}

/* Sets the file's size and moves the position to it. */
plx_error_t plx_fs_file_truncate(plx_fs_file_t *file, uint64_t size) {
    if (uint32_t code = check_file(file)) return code;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    if (restart([&] { return sys().ftruncate(file->fd, size); }) != 0) return last_error();
    file->position = size;
    return 0;
}

/* Flushes the file's data to storage. */
plx_error_t plx_fs_file_commit(plx_fs_file_t *file) {
    if (uint32_t code = check_file(file)) return code;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    return restart([&] { return sys().fsync(file->fd); }) == 0 ? 0 : last_error();
}

plx_error_t plx_fs_file_size(plx_fs_file_t *file, uint64_t *p_size) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_size) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    FsStatus st;
    if (uint32_t code = held_status(file, &st)) return code;
    *p_size = st.size;
    return 0;
}

plx_error_t plx_fs_file_attributes(plx_fs_file_t *file, uint32_t *p_flags) {
    if (uint32_t code = check_file(file)) return code;
    if (!p_flags) return kErrInvalidArg;
    DescriptorHold hold(file);
    if (hold.code()) return hold.code();
    FsStatus st;
    if (uint32_t code = held_status(file, &st)) return code;
    *p_flags = attribute_flags(st.mode);
    return 0;
}

}  // extern "C"

/* ---- test seams ---- */

extern "C" void _plx_fs_syscalls_set(const FsSyscalls *table) {
    __atomic_store_n(&plx::fs::g_fs_syscalls, table ? table : &plx::fs::kRealSyscalls,
                     __ATOMIC_RELEASE);
}

extern "C" const FsSyscalls *_plx_fs_syscalls_default(void) { return &plx::fs::kRealSyscalls; }
