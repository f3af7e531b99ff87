/* Private interface of the printf engine and the string accumulator, for the other sources of
 * the support layer. Nothing here is exported. */
#ifndef PLX_STRING_PRINTF_H
#define PLX_STRING_PRINTF_H

#include <stdarg.h>

#include "plx/plx_string_utf8.h"

/* The accumulator header, and nothing else: over a caller's block it takes exactly this much of
 * the block, the rest being the first buffer. The public type is opaque; the string table and
 * the front ends use these fields directly. */
struct plx_string_accum_s {
    uint32_t length;      /* bytes of text stored, terminator not counted */
    uint32_t capacity;    /* bytes available at `buffer`; 0 while there is no buffer */
    char *buffer;         /* the text; null until a buffer exists */
    uint8_t owns_header;  /* 1: create allocated the header, delete frees it */
    uint8_t owns_buffer;  /* 1: `buffer` is our heap block (growth reallocates, delete frees) */
};

namespace plx {

inline constexpr uint32_t kStringNoMemory = error_code(kPkgString, kNoMemory);

/* The printf engine: appends the formatted text of `format` and `args` to `accum` and
 * terminates it. A null format appends nothing. Returns 0, or the growth failure that stopped
 * it: the pieces after a failed one are dropped, so callers roll back or discard the text. */
uint32_t _plx_string_printf(plx_string_accum_t *accum, const char *format, va_list args);

/* Makes room for `extra` more bytes and a terminator (the capacity becomes twice what is
 * needed; an accumulator without a buffer gets one even for `extra` 0): 0 or kStringNoMemory,
 * the text unchanged either way. */
uint32_t accum_grow(plx_string_accum_t *accum, uint32_t extra);

/* An accumulator placed over a caller's block: the header at the block's first aligned
 * address, the rest as the first buffer. Null when the block cannot hold a header and a byte. */
plx_string_accum_t *accum_place(void *block, uint32_t size);

/* Terminates the text where its length ends (nothing to do without a buffer). */
inline void accum_terminate(plx_string_accum_t *accum) {
    if (accum->buffer) accum->buffer[accum->length] = 0;
}

/* Frees what the accumulator owns (its buffer, its header when allocated). */
void accum_release(plx_string_accum_t *accum);

/* Appends one 0x00 byte and then the `length` bytes of `text` (with the terminator after
 * them) in a single growth step, or nothing: 0 or kStringNoMemory. The call's error field is
 * neither consulted nor set. */
uint32_t accum_append_record(plx_string_accum_t *accum, const char *text, uint32_t length);

/* Cuts the text back to `length` bytes (no larger than the current length) and terminates
 * it; never allocates. */
void accum_truncate(plx_string_accum_t *accum, uint32_t length);

}  // namespace plx

#endif /* PLX_STRING_PRINTF_H */
