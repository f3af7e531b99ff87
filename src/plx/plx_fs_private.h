/* Private to the fs module: the file and directory records, the descriptor pool's entry points
 * and the table through which every system call of the file layer is made (tests replace it
 * to inject platform failures). Nothing here is exported. */
#ifndef PLX_FS_PRIVATE_H
#define PLX_FS_PRIVATE_H

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <sys/types.h>

#include "plx/plx_internal.h"

namespace plx::fs {

constexpr uint32_t err(uint32_t code) { return error_code(kPkgFs, code); }
inline constexpr uint32_t kErrInvalidArg = err(kInvalidArg);
inline constexpr uint32_t kErrNoMemory = err(kNoMemory);
inline constexpr uint32_t kErrNotStarted = err(kNotInitialized);
inline constexpr uint32_t kErrShortWrite = err(0x43); /* also what a full device reports */
inline constexpr uint32_t kErrExists = err(0x42);
inline constexpr uint32_t kErrBadPath = err(0x46); /* empty or standard-stream path, directory */
inline constexpr uint32_t kErrTooLarge = err(0x48);
inline constexpr uint32_t kErrEnd = err(0x49); /* end of file or of directory */
inline constexpr uint32_t kErrSeekPastEnd = err(0x51);

/* The part of a status query the layer uses. */
struct FsStatus {
    uint64_t size;
    uint32_t mode;   /* st_mode: type and permission bits */
    uint64_t device; /* st_dev and st_ino together name the file */
    uint64_t inode;
};

/* Every system call of the file layer. Each behaves like its POSIX namesake: -1 (or null) with
 * errno set on failure. Offsets are 64-bit whatever the platform's off_t. */
struct FsSyscalls {
    int (*open)(const char *path, int flags, uint32_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buffer, size_t size);
    ssize_t (*write)(int fd, const void *data, size_t size);
    ssize_t (*pread)(int fd, void *buffer, size_t size, uint64_t offset);
    ssize_t (*pwrite)(int fd, const void *data, size_t size, uint64_t offset);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, uint64_t size);
    int (*fstat)(int fd, FsStatus *status);
    int (*stat)(const char *path, FsStatus *status);
    int (*lstat_at)(DIR *dir, const char *name, FsStatus *status); /* entry of an open dir */
    int (*chmod)(const char *path, uint32_t mode);
    int (*rename)(const char *old_path, const char *new_path);
    int (*unlink)(const char *path);
    int (*mkdir)(const char *path, uint32_t mode);
    int (*rmdir)(const char *path);
    DIR *(*opendir)(const char *path);
    struct dirent *(*readdir)(DIR *dir); /* null with errno 0 at the end */
    int (*closedir)(DIR *dir);
};

/* The table in force; never null. */
const FsSyscalls &sys();

}  // namespace plx::fs

/* An open file; the pool moves it between in use, idle and parked. */
struct plx_fs_file_s {
    plx_fs_file_s *file;    /* the record itself while open: a handle check, and how the
                               pool reaches the descriptor */
    uint32_t use_count;     /* operations holding the descriptor right now */
    uint8_t has_descriptor; /* holds a descriptor (in use or idle) rather than parked */
    plx_fs_file_s *next;    /* links in the idle or the parked list */
    plx_fs_file_s *prev;
    int32_t fd;            /* the descriptor; -1 while none is held */
    uint8_t at_eof;        /* a read found no more data */
    uint32_t open_flags;   /* PLX_FS_OPEN_* as given, kept for reopening */
    uint32_t permissions;  /* PLX_FS_PERM_* as given */
    uint64_t position;     /* where read and write work next */
    uint8_t is_std_stream; /* descriptor 0, 1 or 2: never parked, never closed */
    uint8_t positional;    /* regular file: read and written with positioned calls */
    char *name() { return reinterpret_cast<char *>(this + 1); } /* stored behind the record */
};

/* An open directory stream. */
struct plx_fs_dir_s {
    plx_fs_dir_s *self; /* the record itself while open: a handle check */
    DIR *stream;
    char entry_name[NAME_MAX + 1];                              /* the last entry handed out */
    char *path() { return reinterpret_cast<char *>(this + 1); } /* copy behind the record */
};

/* ---- the descriptor pool (plx_fs_mgr) ---- */
uint32_t _plx_fs_mgr_init();
void _plx_fs_mgr_shutdown();
/* Reserves a descriptor slot for a file being opened (it is then in use, count 1), parking the
 * oldest idle file or waiting when the cap is reached. */
uint32_t _plx_fs_mgr_new_fd(plx_fs_file_t *file);
/* Makes the file's descriptor usable until the matching release, reopening a parked file. */
uint32_t _plx_fs_mgr_acquire_fd(plx_fs_file_t *file);
void _plx_fs_mgr_release_fd(plx_fs_file_t *file);
/* Takes the file out of the pool; its descriptor (if any) is still open afterwards. */
void _plx_fs_mgr_close_fd(plx_fs_file_t *file);
/* Closes the record's descriptor (unless a standard stream) and frees it; the close's code. */
uint32_t _plx_fs_close_internal(plx_fs_file_t *file);
/* 0, 1 or 2 for the names of the standard streams, else -1. */
int _plx_fs_std_descriptor(const char *name);

/* ---- the platform side (plx_fs_os) ---- */
/* A platform error number as a package-3 code (0 stays 0). */
uint32_t _fs_map_error(int platform_error);
/* Opens (or takes the standard stream of) the file's name with the given flags; sets fd,
 * is_std_stream and positional. On failure no descriptor is left open. */
uint32_t _fs_file_get_handle(plx_fs_file_t *file, uint32_t open_flags, uint32_t permissions);

namespace plx::fs {
/* The code of the platform error the last failing call left in errno. */
inline uint32_t last_error() { return _fs_map_error(errno); }
/* A mode's owner bits as PLX_FS_ATTR_* flags. */
inline uint32_t attribute_flags(uint32_t mode) {
    return ((mode & 0400u) ? PLX_FS_ATTR_READABLE : 0u) |
           ((mode & 0200u) ? PLX_FS_ATTR_WRITABLE : 0u);
}
}  // namespace plx::fs

/* Test seams; the tests link the module's objects and call them directly. */
extern "C" {
/* Installs `table` for every later system call of the layer; null restores the real one. */
void _plx_fs_syscalls_set(const plx::fs::FsSyscalls *table);
/* The real system calls, for tests that wrap them. */
const plx::fs::FsSyscalls *_plx_fs_syscalls_default(void);
/* Pool lists' lengths right now. */
void _plx_fs_mgr_stats(uint32_t *p_idle, uint32_t *p_parked);
}

#endif /* PLX_FS_PRIVATE_H */
