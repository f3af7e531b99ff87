/* Paths and directories over POSIX: sizes, attributes, renaming, existence and removal by
 * path, whole-file reads and writes, copies, and directory listing, creation and removal. All
 * system calls go through the file layer's table (plx_fs_os.cpp). */
#define _FILE_OFFSET_BITS 64 /* 64-bit offsets on 32-bit targets; must precede every include */

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plx/plx_fs_private.h"

using namespace plx::fs;

namespace {

constexpr uint32_t kCopyPiece = 4096;

uint32_t check_dir(const plx_fs_dir_t *dir) {
    if (!dir || dir->self != dir) return kErrInvalidArg;
    return 0;
}

/* Paths that name files on disk: not null, not empty, not a standard stream. */
uint32_t check_disk_path(const char *path) {
    if (!path) return kErrInvalidArg;
    if (path[0] == '\0' || _plx_fs_std_descriptor(path) >= 0) return kErrBadPath;
    return 0;
}

/* Closes a file, keeping the first error. */
void close_keeping(plx_fs_file_t *file, uint32_t &code) {
    uint32_t c = plx_fs_file_close(file);
    if (code == 0) code = c;
}

}  // namespace

extern "C" {

/* ---- paths ---- */

/* Size of the file at `path`; a directory has none (0x90030046). */
plx_error_t plx_fs_file_get_size(const char *path, uint64_t *p_size) {
    if (uint32_t code = check_disk_path(path)) return code;
    if (!p_size) return kErrInvalidArg;
    FsStatus st;
    if (sys().stat(path, &st) != 0) return last_error();
    if (S_ISDIR(st.mode)) return _fs_map_error(EISDIR);
    *p_size = st.size;
    return 0;
}

plx_error_t plx_fs_file_get_attributes(const char *path, uint32_t *p_flags) {
    if (uint32_t code = check_disk_path(path)) return code;
    if (!p_flags) return kErrInvalidArg;
    FsStatus st;
    if (sys().stat(path, &st) != 0) return last_error();
    *p_flags = attribute_flags(st.mode);
    return 0;
}

/* Sets or clears the owner's read and write bits; the other bits are kept. */
plx_error_t plx_fs_file_set_attributes(const char *path, uint32_t flags) {
    if (uint32_t code = check_disk_path(path)) return code;
    FsStatus st;
    if (sys().stat(path, &st) != 0) return last_error();
    uint32_t mode = st.mode & 07777u & ~uint32_t(S_IRUSR | S_IWUSR);
    if (flags & PLX_FS_ATTR_READABLE) mode |= S_IRUSR;
    if (flags & PLX_FS_ATTR_WRITABLE) mode |= S_IWUSR;
    return sys().chmod(path, mode) == 0 ? 0 : last_error();
}

plx_error_t plx_fs_file_rename(const char *old_path, const char *new_path) {
    if (uint32_t code = check_disk_path(old_path)) return code;
    if (uint32_t code = check_disk_path(new_path)) return code;
    return sys().rename(old_path, new_path) == 0 ? 0 : last_error();
}

/* Whether a file (anything but a directory) exists at `path`; a failing query answers 0. */
plx_error_t plx_fs_file_exists(const char *path, uint8_t *p_exists) {
    if (uint32_t code = check_disk_path(path)) return code;
    if (!p_exists) return kErrInvalidArg;
    FsStatus st;
    *p_exists = (sys().stat(path, &st) == 0 && !S_ISDIR(st.mode)) ? 1 : 0;
    return 0;
}

/* Deletes a file; directories are refused (0x90030046). */
plx_error_t plx_fs_file_delete(const char *path) {
    if (uint32_t code = check_disk_path(path)) return code;
    return sys().unlink(path) == 0 ? 0 : last_error();
}

/* Replaces (or with `append`, extends) the file with `data`; a short write is an error. */
plx_error_t plx_fs_file_write_to_file(const char *path, const void *data, uint32_t size,
                                      uint8_t append) {
    if (!path || (!data && size != 0)) return kErrInvalidArg;
    uint32_t flags = append ? (PLX_FS_OPEN_CREATE | PLX_FS_OPEN_APPEND)
                            : (PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE | PLX_FS_OPEN_TRUNCATE);
    plx_fs_file_t *file = nullptr;
    uint32_t code = plx_fs_file_open(path, flags, PLX_FS_PERM_READ | PLX_FS_PERM_WRITE, &file);
    if (code != 0) return code;
    if (size != 0) {
        uint32_t written = 0;
        code = plx_fs_file_write(file, data, size, &written);
        if (code == 0 && written != size) code = kErrShortWrite;
    }
    close_keeping(file, code);
    return code;
}

/* Reads a whole file (or standard stream) into one new host block that the caller frees;
 * with `terminate` a NUL follows non-empty data and is counted in *p_size. */
plx_error_t plx_fs_file_read_to_buffer(const char *path, void **p_buffer, uint32_t *p_size,
                                       uint8_t terminate) {
    if (!path || !p_buffer || !p_size) return kErrInvalidArg;
    plx_fs_file_t *file = nullptr;
    uint32_t code = plx_fs_file_open(path, PLX_FS_OPEN_READ, PLX_FS_PERM_READ, &file);
    if (code != 0) return code;

    plx::HostPtr<uint8_t> data;
    uint32_t total = 0;
    if (file->is_std_stream) {
        /* No size to ask: grow by one piece (plus room for the NUL) until the end. */
        for (;;) {
            if (total >= 0xFFFFFFFFu - kCopyPiece - 1) {
                code = kErrTooLarge;
                break;
            }
            void *grown = plx_memory_realloc(data.get(), total + kCopyPiece + 1);
            if (!grown) {
                code = kErrNoMemory;
                break;
            }
            data.release();
            data.reset(static_cast<uint8_t *>(grown));
            uint32_t n = 0;
            code = plx_fs_file_read(file, data.get() + total, kCopyPiece, &n);
            if (code != 0 || n == 0) break;
            total += n;
        }
    } else {
        uint64_t size = 0;
        code = plx_fs_file_size(file, &size);
        if (code == 0 && size >= 0xFFFFFFFFu) code = kErrTooLarge;
        if (code == 0) {
            data.reset(static_cast<uint8_t *>(plx_memory_alloc(static_cast<size_t>(size) + 1)));
            if (!data) code = kErrNoMemory;
        }
        /* One read normally does it; a short count just means asking again. */
        while (code == 0 && total < size) {
            uint32_t n = 0;
            code =
                plx_fs_file_read(file, data.get() + total, static_cast<uint32_t>(size) - total, &n);
            if (n == 0) break;
            total += n;
        }
    }
    close_keeping(file, code);
    if (code != 0) return code;
    if (terminate && total != 0) data.get()[total++] = 0;
    *p_buffer = data.release();
    *p_size = total;
    return 0;
}

/* Copies `source` to `destination` in pieces, then gives it the source's attributes. An
 * existing destination is an error with `fail_if_exists`, else replaced. Any failure removes
 * the partial destination. */
plx_error_t plx_fs_file_copy(const char *source, const char *destination, uint8_t fail_if_exists) {
    if (uint32_t code = check_disk_path(source)) return code;
    if (uint32_t code = check_disk_path(destination)) return code;
    FsStatus src_st, dst_st;
    if (sys().stat(source, &src_st) != 0) return last_error();
    if (sys().stat(destination, &dst_st) == 0) {
        if (fail_if_exists) return kErrExists;
        /* Replacing a file by itself would delete the only copy. */
        if (dst_st.device == src_st.device && dst_st.inode == src_st.inode) return kErrInvalidArg;
        if (sys().unlink(destination) != 0) return last_error();
    }

    plx_fs_file_t *dst = nullptr;
    plx_fs_file_t *src = nullptr;
    uint32_t code = plx_fs_file_open(destination, PLX_FS_OPEN_WRITE | PLX_FS_OPEN_CREATE,
                                     PLX_FS_PERM_READ | PLX_FS_PERM_WRITE, &dst);
    if (code != 0) return code;
    code = plx_fs_file_open(source, PLX_FS_OPEN_READ, PLX_FS_PERM_READ, &src);

    uint8_t piece[kCopyPiece];
    while (code == 0) {
        uint32_t n = 0, written = 0;
        code = plx_fs_file_read(src, piece, kCopyPiece, &n);
        if (code != 0 || n == 0) break;
        code = plx_fs_file_write(dst, piece, n, &written);
        if (code == 0 && written != n) code = kErrShortWrite;
    }
    if (src) close_keeping(src, code);
    if (code == 0) code = plx_fs_file_commit(dst);
    close_keeping(dst, code);
    if (code == 0) {
        uint32_t attributes = attribute_flags(src_st.mode);
        code = plx_fs_file_set_attributes(destination, attributes);
    }
    if (code != 0) sys().unlink(destination);
    return code;
}

/* ---- directories ---- */

/* Opens a directory for listing with plx_fs_dir_next_entry. */
plx_error_t plx_fs_dir_open(const char *path, plx_fs_dir_t **p_dir) {
    if (!path || !p_dir) return kErrInvalidArg;
    size_t path_size = strlen(path) + 1;
    plx_fs_dir_t *dir = plx::alloc_record<plx_fs_dir_t>(path_size);
    if (!dir) return kErrNoMemory;
    dir->stream = sys().opendir(path);
    if (!dir->stream) {
        uint32_t code = last_error();
        plx_memory_free(dir);
        return code;
    }
    dir->self = dir;
    memcpy(dir->path(), path, path_size);
    *p_dir = dir;
    return 0;
}

/* The next entry's name (valid until the next call) and, when asked, its type (a symbolic
 * link is reported as one, not followed). Every entry the platform lists comes back, "." and
 * ".." included, in the platform's order. */
plx_error_t plx_fs_dir_next_entry(plx_fs_dir_t *dir, const char **p_name, uint32_t *p_type) {
    if (uint32_t code = check_dir(dir)) return code;
    if (!p_name) return kErrInvalidArg;
    struct dirent *entry = sys().readdir(dir->stream);
    if (!entry) return errno == 0 ? kErrEnd : last_error();
    size_t length = strnlen(entry->d_name, NAME_MAX);
    memcpy(dir->entry_name, entry->d_name, length);
    dir->entry_name[length] = '\0';
    if (p_type) {
        FsStatus st;
        if (sys().lstat_at(dir->stream, dir->entry_name, &st) != 0) return last_error();
        *p_type = S_ISDIR(st.mode)   ? PLX_FS_ENTRY_DIRECTORY
                  : S_ISREG(st.mode) ? PLX_FS_ENTRY_FILE
                  : S_ISLNK(st.mode) ? PLX_FS_ENTRY_SYMLINK
                                     : PLX_FS_ENTRY_OTHER;
    }
    *p_name = dir->entry_name;
    return 0;
}

plx_error_t plx_fs_dir_close(plx_fs_dir_t *dir) {
    if (uint32_t code = check_dir(dir)) return code;
    uint32_t code = sys().closedir(dir->stream) == 0 ? 0 : last_error();
    dir->self = nullptr;
    plx_memory_free(dir);
    return code;
}

/* Whether `path` names a directory; a failing query answers 0. */
plx_error_t plx_fs_dir_exists(const char *path, uint8_t *p_exists) {
    if (!path || !p_exists || path[0] == '\0') return kErrInvalidArg;
    FsStatus st;
    *p_exists = (sys().stat(path, &st) == 0 && S_ISDIR(st.mode)) ? 1 : 0;
    return 0;
}

/* Creates a directory (mode 0775); anything already at the path counts as success. With
 * p_dir the directory is then opened (which fails when the path is no directory). */
plx_error_t plx_fs_dir_create(const char *path, plx_fs_dir_t **p_dir) {
    if (!path) return kErrInvalidArg;
    if (sys().mkdir(path, 0775) != 0 && errno != EEXIST) return last_error();
    return p_dir ? plx_fs_dir_open(path, p_dir) : 0;
}

/* Removes an empty directory; with `remove_parents` then each enclosing directory in turn
 * while that succeeds. Returns the first failing removal's code (0x10030050 for a directory
 * that is not empty). */
plx_error_t plx_fs_dir_delete(const char *path, uint8_t remove_parents) {
    if (!path) return kErrInvalidArg;
    size_t length = strlen(path);
    plx::HostPtr<char> copy(static_cast<char *>(plx_memory_alloc(length + 1)));
    if (!copy) return kErrNoMemory;
    char *p = copy.get();
    memcpy(p, path, length + 1);
    auto is_separator = [](char c) { return c == '/' || c == '\\'; };
    if (length > 1 && is_separator(p[length - 1])) p[--length] = '\0';

    if (sys().rmdir(p) != 0) return last_error();
    if (!remove_parents) return 0;
    for (;;) {
        while (length > 0 && !is_separator(p[length - 1])) --length;
        if (length == 0) return 0; /* no enclosing directory named */
        p[--length] = '\0';
        if (length <= 2) return 0; /* never climb to the root or a drive */
        if (sys().rmdir(p) != 0) return last_error();
    }
}

}  // extern "C"
