/* Reference-counted byte streams over memory or callbacks.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise. */
#ifndef PLX_IOSTREAM_H
#define PLX_IOSTREAM_H

#include "plx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- iostream module ---- */
plx_error_t plx_iostream_initialize(void);
plx_error_t plx_iostream_shutdown(void);
uint32_t    plx_iostream_initchecks(void);
const char *plx_iostream_get_version(void);
const char *plx_iostream_get_build_date(void);

typedef struct plx_iostream_s plx_iostream_t;

/* Callbacks get the stream's user_data first and return 0 on success. */
/* a count of 0, or a code whose low 16 bits are 0x49, means end of data */
typedef uint32_t (*plx_iostream_read_fn)(void *user_data, void *buffer, uint32_t capacity,
                                         uint32_t *p_count);
typedef uint32_t (*plx_iostream_write_fn)(void *user_data, const void *data, uint32_t size,
                                          uint32_t *p_count);
typedef uint32_t (*plx_iostream_flush_fn)(void *user_data, uint32_t argument);
typedef uint32_t (*plx_iostream_reset_fn)(void *user_data, uint32_t argument, uint8_t is_memory);
typedef uint32_t (*plx_iostream_release_fn)(void *user_data);   /* result ignored */

typedef struct plx_iostream_callbacks_s {      /* each member may be NULL */
    plx_iostream_read_fn    read;
    plx_iostream_write_fn   write;
    plx_iostream_flush_fn   flush;
    plx_iostream_reset_fn   reset;
    plx_iostream_release_fn release;
} plx_iostream_callbacks_t;

/* buffer_size: read buffer, at least 1024; needs a read or a write callback */
plx_error_t plx_iostream_create(plx_iostream_t **p_stream, uint32_t buffer_size,
                                const plx_iostream_callbacks_t *callbacks, void *user_data);
/* release NULL: data is copied; else read in place and release(user_data) runs at the last release */
plx_error_t plx_iostream_create_from_buffer(plx_iostream_t **p_stream, void *data, uint32_t size,
                                            plx_iostream_release_fn release, void *user_data);
plx_error_t plx_iostream_addref(plx_iostream_t *stream);
plx_error_t plx_iostream_release(plx_iostream_t *stream);
/* 0x10220049 at the end of the stream */
plx_error_t plx_iostream_read(plx_iostream_t *stream, void *buffer, uint32_t size, uint32_t *p_count);
/* *p_buffer: all remaining bytes (host allocator, caller frees); NULL and 0 when none */
plx_error_t plx_iostream_read_entire(plx_iostream_t *stream, void **p_buffer, uint32_t *p_size);
plx_error_t plx_iostream_putback(plx_iostream_t *stream, const void *data, uint32_t size);
plx_error_t plx_iostream_write(plx_iostream_t *stream, const void *data, uint32_t size,
                               uint32_t *p_count);
plx_error_t plx_iostream_flush(plx_iostream_t *stream, uint32_t argument);  /* passed to flush */
plx_error_t plx_iostream_reset(plx_iostream_t *stream, uint32_t argument);  /* passed to reset */
plx_error_t plx_iostream_can_read(plx_iostream_t *stream, uint8_t *p_flag);
plx_error_t plx_iostream_can_write(plx_iostream_t *stream, uint8_t *p_flag);
plx_error_t plx_iostream_can_reset(plx_iostream_t *stream, uint8_t *p_flag);
/* each out may be NULL */
plx_error_t plx_iostream_throughput(plx_iostream_t *stream, uint32_t *p_bytes_read,
                                    uint32_t *p_bytes_written);

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_IOSTREAM_H */
