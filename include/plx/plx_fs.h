/* Files and directories over a capped pool of descriptors.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise. */
#ifndef PLX_FS_H
#define PLX_FS_H

#include "plx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- fs module ---- */
plx_error_t plx_fs_initialize(void);
plx_error_t plx_fs_shutdown(void);
uint32_t    plx_fs_initchecks(void);
const char *plx_fs_get_version(void);
const char *plx_fs_get_build_date(void);

typedef struct plx_fs_file_s plx_fs_file_t;
typedef struct plx_fs_dir_s  plx_fs_dir_t;

/* open flags (at least one of READ, WRITE, APPEND) */
#define PLX_FS_OPEN_READ       0x1u
#define PLX_FS_OPEN_WRITE      0x2u
#define PLX_FS_OPEN_APPEND     0x4u
#define PLX_FS_OPEN_CREATE     0x10u
#define PLX_FS_OPEN_TRUNCATE   0x20u
#define PLX_FS_OPEN_EXCLUSIVE  0x100u

/* permissions for files that open creates (0444 / 0222 / 0666) */
#define PLX_FS_PERM_READ       0x1u
#define PLX_FS_PERM_WRITE      0x2u

/* attribute flags (owner read / write bits of the mode) */
#define PLX_FS_ATTR_READABLE   0x1u
#define PLX_FS_ATTR_WRITABLE   0x2u

/* directory entry types */
#define PLX_FS_ENTRY_OTHER     0u
#define PLX_FS_ENTRY_DIRECTORY 4u
#define PLX_FS_ENTRY_FILE      8u
#define PLX_FS_ENTRY_SYMLINK   16u

/* seek origins */
#define PLX_FS_SEEK_SET        1u
#define PLX_FS_SEEK_CUR        2u
#define PLX_FS_SEEK_END        3u     /* new position = size - offset */

/* names of the standard streams (descriptors 0, 1, 2) and the one option key */
#define PLX_FS_NAME_STDIN         "plx_fsname_stdin"
#define PLX_FS_NAME_STDOUT        "plx_fsname_stdout"
#define PLX_FS_NAME_STDERR        "plx_fsname_stderr"
#define PLX_FS_OPTION_MAX_HANDLES "plx_fs_max_handles"

extern uint32_t g_fs_max_file_handles;   /* descriptor cap; 0 = no cap */
extern uint32_t g_fs_num_file_handles;   /* descriptors held by open files */

/* p_value <- decimal text in a module buffer that the next call overwrites */
plx_error_t plx_fs_option_get(const char *key, const char **p_value);
plx_error_t plx_fs_option_set(const char *key, const char *value);

/* ---- open files ---- */
plx_error_t plx_fs_file_open(const char *name, uint32_t open_flags, uint32_t permissions,
                             plx_fs_file_t **p_file);
plx_error_t plx_fs_file_close(plx_fs_file_t *file);
plx_error_t plx_fs_file_read(plx_fs_file_t *file, void *buffer, uint32_t size, uint32_t *p_count);
plx_error_t plx_fs_file_write(plx_fs_file_t *file, const void *data, uint32_t size,
                              uint32_t *p_count);
/* writes the formatted text without its terminator; format(printf, 2, 0) */
plx_error_t plx_fs_file_vwrite(plx_fs_file_t *file, const char *format, va_list args,
                               uint32_t *p_count);
/* at an explicit offset; the file position is unchanged */
plx_error_t plx_fs_file_read_at(plx_fs_file_t *file, uint64_t offset, void *buffer, uint32_t size,
                                uint32_t *p_count);
plx_error_t plx_fs_file_write_at(plx_fs_file_t *file, uint64_t offset, const void *data,
                                 uint32_t size, uint32_t *p_count);
/* one line (CR, LF or CR LF) into buffer, NUL-terminated; 0x90030049 at the end */
plx_error_t plx_fs_file_read_line(plx_fs_file_t *file, char *buffer, uint32_t size);
/* origin: PLX_FS_SEEK_*; offset is unsigned */
plx_error_t plx_fs_file_seek(plx_fs_file_t *file, uint64_t offset, uint32_t origin);
plx_error_t plx_fs_file_get_position(plx_fs_file_t *file, uint64_t *p_position);
plx_error_t plx_fs_file_get_name(plx_fs_file_t *file, const char **p_name);
plx_error_t plx_fs_file_get_eof(plx_fs_file_t *file, uint8_t *p_eof);
plx_error_t plx_fs_file_truncate(plx_fs_file_t *file, uint64_t size);
plx_error_t plx_fs_file_commit(plx_fs_file_t *file);                   /* flush to storage */
plx_error_t plx_fs_file_size(plx_fs_file_t *file, uint64_t *p_size);
plx_error_t plx_fs_file_attributes(plx_fs_file_t *file, uint32_t *p_flags);  /* PLX_FS_ATTR_* */

/* ---- paths ---- */
plx_error_t plx_fs_file_get_size(const char *path, uint64_t *p_size);
plx_error_t plx_fs_file_get_attributes(const char *path, uint32_t *p_flags);
plx_error_t plx_fs_file_set_attributes(const char *path, uint32_t flags);
plx_error_t plx_fs_file_rename(const char *old_path, const char *new_path);
plx_error_t plx_fs_file_exists(const char *path, uint8_t *p_exists);
plx_error_t plx_fs_file_delete(const char *path);
/* create+truncate, or create+append when append != 0; one write */
plx_error_t plx_fs_file_write_to_file(const char *path, const void *data, uint32_t size,
                                      uint8_t append);
/* *p_buffer: whole file (host allocator, caller frees); terminate != 0 adds a counted NUL */
plx_error_t plx_fs_file_read_to_buffer(const char *path, void **p_buffer, uint32_t *p_size,
                                       uint8_t terminate);
plx_error_t plx_fs_file_copy(const char *source, const char *destination, uint8_t fail_if_exists);

/* ---- directories ---- */
plx_error_t plx_fs_dir_open(const char *path, plx_fs_dir_t **p_dir);
/* p_name valid until the next call; p_type (PLX_FS_ENTRY_*) may be NULL; 0x90030049 at the end */
plx_error_t plx_fs_dir_next_entry(plx_fs_dir_t *dir, const char **p_name, uint32_t *p_type);
plx_error_t plx_fs_dir_close(plx_fs_dir_t *dir);
plx_error_t plx_fs_dir_exists(const char *path, uint8_t *p_exists);
plx_error_t plx_fs_dir_create(const char *path, plx_fs_dir_t **p_dir);  /* p_dir may be NULL */
/* remove_parents != 0: then removes each enclosing directory while that succeeds */
plx_error_t plx_fs_dir_delete(const char *path, uint8_t remove_parents);

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_FS_H */
