/* The string accumulator of the string module (package 0x05): text collected into one
 * growing, always terminated buffer that may start in a block the caller supplies and moves to
 * the heap when the text outgrows it. An append that cannot grow the text leaves it as it was
 * (the plain appends fail with 0x90050002). The formatting appends live with the printf
 * engine (plx_string_printf.cpp). */
#include "plx/plx_string_printf.h"

namespace {

using Accum = plx_string_accum_s;
using plx::accum_grow;

/* Over a caller's block the header takes these five fields and no more. */
static_assert(sizeof(Accum) == (2 * sizeof(uint32_t) + sizeof(char *) + 2 + alignof(char *) - 1) /
                                   alignof(char *) * alignof(char *),
              "the accumulator header is length, capacity, buffer and the two flags");

/* The module's log source for the accumulator and the engine alike. */
constexpr const char *kSource = "plx_string_printf";

/* The body of the public appends: grows (which gives an accumulator without a buffer its
 * first one, even for nothing to add, so that the text is a terminated string from the first
 * append on), copies and terminates. A failed growth leaves the text as it was and is
 * reported to this call only. */
uint32_t append_checked(Accum *a, const char *p, uint32_t n, const char **p_buffer) {
    /* the bytes may lie in our own buffer, which growth can move */
    uintptr_t base = reinterpret_cast<uintptr_t>(a->buffer);
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    bool inside = n && a->buffer && at >= base && at < base + a->capacity;
    uint32_t code = accum_grow(a, n);
    if (code == 0) {
        if (inside) p = a->buffer + (at - base);
        if (n) memcpy(a->buffer + a->length, p, n);
        a->length += n;
        a->buffer[a->length] = 0;
    }
    if (p_buffer) *p_buffer = a->buffer;
    return code;
}

/* Appends of up to this many bytes that fit the room left are copied inline. */
constexpr uint32_t kShortAppend = 16;

/* Copies n bytes, Word <= n <= 2 * Word, as a head and a tail word that overlap unless n is
 * 2 * Word. Both loads come before the stores, so a source that overlaps the destination
 * (bytes past the text in our own buffer) reads what was there before, as a block copy would. */
template <class Word>
inline void copy_two_words(char *dst, const char *src, uint32_t n) {
    Word head, tail;
    memcpy(&head, src, sizeof(Word));
    memcpy(&tail, src + n - sizeof(Word), sizeof(Word));
    memcpy(dst, &head, sizeof(Word));
    memcpy(dst + n - sizeof(Word), &tail, sizeof(Word));
}

/* Copies 1 to kShortAppend bytes: two branches pick one of four size classes. */
inline void copy_short(char *dst, const char *src, uint32_t n) {
    if (n >= 4) {
        if (n >= 8) copy_two_words<uint64_t>(dst, src, n);
        else copy_two_words<uint32_t>(dst, src, n);
    } else if (n >= 2) {
        copy_two_words<uint16_t>(dst, src, n);
    } else {
        *dst = *src;
    }
}

/* The common append, done in place: 1 to kShortAppend bytes from a non-null source that fit
 * before the end of the buffer and keep the length where accum_grow would accept it. False
 * (nothing done) sends the caller to the general path, which gives the same result for these. */
inline bool append_short(Accum *a, const char *p, uint32_t n, const char **p_buffer) {
    const uint32_t length = a->length;
    /* capacity - length is 0 without a buffer; the last test is accum_grow's length limit */
    if (!p || n - 1 >= kShortAppend || n >= a->capacity - length ||
        length > 0x7FFFFFFEu - kShortAppend)
        return false;
    char *buffer = a->buffer;  /* the copy's stores may alias the header: keep what we need */
    copy_short(buffer + length, p, n);
    buffer[length + n] = 0;
    a->length = length + n;
    if (p_buffer) *p_buffer = buffer;
    return true;
}

/* The general path of the public appends, out of line so that the short one stays small:
 * append_checked with the error logged under the caller's line. */
[[gnu::noinline]] uint32_t append_logged(Accum *a, const char *p, uint32_t n,
                                         const char **p_buffer, int32_t line) {
    return plx::log_error(append_checked(a, p, n, p_buffer), kSource, line);
}

}  // namespace

namespace plx {

/* Makes room for `extra` more bytes and a terminator: the capacity becomes twice what is
 * needed. An accumulator without a buffer gets one even for `extra` 0. */
uint32_t accum_grow(plx_string_accum_t *a, uint32_t extra) {
    /* needed = length + 1 + extra, and twice that must fit in 32 bits */
    if (extra > 0x7FFFFFFEu - a->length) return plx::kStringNoMemory;
    uint32_t needed = a->length + 1 + extra;
    if (a->capacity >= needed) return 0;
    uint32_t capacity = 2 * needed;
    if (a->owns_buffer && a->buffer) {
        void *p = plx_memory_realloc(a->buffer, capacity);
        if (!p) return plx::kStringNoMemory;
        a->buffer = static_cast<char *>(p);
    } else {
        char *p = static_cast<char *>(plx_memory_alloc(capacity));
        if (!p) return plx::kStringNoMemory;
        if (a->length) memcpy(p, a->buffer, a->length);
        p[a->length] = 0;
        a->buffer = p;
        a->owns_buffer = 1;
    }
    a->capacity = capacity;
    return 0;
}

/* An accumulator over a caller's block: the header at the block's first aligned address, the
 * rest of the block as the first buffer. Null when the block cannot hold a header and a byte. */
plx_string_accum_t *accum_place(void *block, uint32_t size) {
    uintptr_t start = reinterpret_cast<uintptr_t>(block);
    uintptr_t aligned = (start + alignof(Accum) - 1) & ~static_cast<uintptr_t>(alignof(Accum) - 1);
    uintptr_t used = aligned - start + sizeof(Accum);
    if (size <= used) return nullptr;
    Accum *a = reinterpret_cast<Accum *>(aligned);
    memset(a, 0, sizeof(Accum));
    a->buffer = reinterpret_cast<char *>(aligned + sizeof(Accum));
    a->capacity = static_cast<uint32_t>(size - used);
    a->buffer[0] = 0;
    return a;
}

void accum_release(plx_string_accum_t *a) {
    if (a->owns_buffer) plx_memory_free(a->buffer);
    if (a->owns_header) plx_memory_free(a);
}

uint32_t accum_append_record(plx_string_accum_t *accum, const char *text, uint32_t length) {
    if (length == 0xFFFFFFFFu) return kStringNoMemory;
    /* the text may lie in our own buffer, which growth can move */
    uintptr_t base = reinterpret_cast<uintptr_t>(accum->buffer);
    uintptr_t at = reinterpret_cast<uintptr_t>(text);
    bool inside = accum->buffer && at >= base && at < base + accum->capacity;
    if (uint32_t code = accum_grow(accum, length + 1)) return code;
    if (inside) text = accum->buffer + (at - base);
    accum->buffer[accum->length] = 0;
    memcpy(accum->buffer + accum->length + 1, text, length);
    accum->length += length + 1;
    plx::accum_terminate(accum);
    return 0;
}

void accum_truncate(plx_string_accum_t *accum, uint32_t length) {
    if (length < accum->length) accum->length = length;
    plx::accum_terminate(accum);
}

}  // namespace plx

extern "C" {

/* ---- accumulator ------------------------------------------------------------------------- */

/* Over a caller's block larger than the header: no heap use until the text outgrows it, and
 * the block must outlive the accumulator. Otherwise the header is allocated, with a buffer of
 * size + 1 bytes when size > 0. 0, 0x90050001 (null out) or 0x90050002 (nothing allocated). */
plx_error_t plx_string_accum_create(plx_string_accum_t **p_accum, void *block, uint32_t size) {
    if (!p_accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    if (block) {
        if (Accum *a = plx::accum_place(block, size)) {
            *p_accum = a;
            return 0;
        }
    }
    plx::HostPtr<Accum> a(plx::alloc_record<Accum>());
    if (!a) return plx::log_error(plx::kStringNoMemory, kSource, __LINE__);
    if (size > 0) {
        if (size == 0xFFFFFFFFu) return plx::log_error(plx::kStringNoMemory, kSource, __LINE__);
        a->buffer = static_cast<char *>(plx::alloc_zeroed(size + 1u));
        if (!a->buffer) return plx::log_error(plx::kStringNoMemory, kSource, __LINE__);
        a->capacity = size + 1;
    }
    a->owns_header = 1;
    a->owns_buffer = 1;
    *p_accum = a.release();
    return 0;
}

/* Appends a string's bytes; a null string appends nothing. p_buffer (may be null) receives
 * the current buffer. 0x90050002 when the text cannot grow; the text is then unchanged. */
plx_error_t plx_string_accum_append(plx_string_accum_t *accum, const char *s,
                                    const char **p_buffer) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    const uint32_t n = s ? static_cast<uint32_t>(strlen(s)) : 0;
    if (append_short(accum, s, n, p_buffer)) return 0;
    return append_logged(accum, s, n, p_buffer, __LINE__);
}

/* Appends `count` bytes (zeros included); a count of 0 returns at once. */
plx_error_t plx_string_accum_append_bytes(plx_string_accum_t *accum, const void *bytes,
                                          uint32_t count, const char **p_buffer) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    if (count == 0) return 0;
    const char *p = static_cast<const char *>(bytes);
    if (append_short(accum, p, count, p_buffer)) return 0;
    return append_logged(accum, p, p ? count : 0, p_buffer, __LINE__);
}

/* Appends the first `char_count` UTF-8 characters of s (up to an invalid sequence). */
plx_error_t plx_string_accum_append_chars(plx_string_accum_t *accum, const char *s,
                                          uint32_t char_count, const char **p_buffer) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    if (char_count == 0) return 0;
    uint32_t code = append_checked(accum, s, plx_string_byteclen(s, char_count), p_buffer);
    return plx::log_error(code, kSource, __LINE__);
}

/* Removes `count` bytes from `start`. A range ending one past the text (on the terminator's
 * place) is cut at the text's end; p_removed (may be null) receives the bytes removed. A count
 * of 0 or a range ending further out is an invalid argument. */
plx_error_t plx_string_accum_remove_range(plx_string_accum_t *accum, uint32_t start,
                                          uint32_t count, uint32_t *p_removed) {
    if (!accum || count == 0 || count > 0xFFFFFFFFu - start)
        return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    uint32_t end = start + count;
    if (end > accum->length + 1) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    if (end == accum->length + 1) end = accum->length;
    uint32_t removed = end > start ? end - start : 0;
    if (removed) {
        memmove(accum->buffer + start, accum->buffer + end, accum->length - end);
        accum->length -= removed;
        plx::accum_terminate(accum);
    }
    if (p_removed) *p_removed = removed;
    return 0;
}

/* Empties the text; buffer and capacity stay. */
plx_error_t plx_string_accum_clear(plx_string_accum_t *accum) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    accum->length = 0;
    plx::accum_terminate(accum);
    return 0;
}

/* p_size <- length + 1, or 0 for an empty text. */
plx_error_t plx_string_accum_bytelen(plx_string_accum_t *accum, uint32_t *p_size) {
    if (!accum || !p_size) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    *p_size = accum->length ? accum->length + 1 : 0;
    return 0;
}

/* The buffer (still the accumulator's; null while there is none) and its byte length as for
 * bytelen; either out may be null. */
plx_error_t plx_string_accum_get_string(plx_string_accum_t *accum, const char **p_buffer,
                                        uint32_t *p_size) {
    if (!accum) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    if (p_buffer) *p_buffer = accum->buffer;
    if (p_size) *p_size = accum->length ? accum->length + 1 : 0;
    return 0;
}

/* Hands the text over as a new string (release with plx_string_free) and leaves the
 * accumulator empty, without buffer, still to be deleted. Fails with 0x90050002 when no copy
 * can be had, leaving the accumulator as it was. */
plx_error_t plx_string_accum_detach(plx_string_accum_t *accum, char **p_string,
                                    uint32_t *p_size) {
    if (!accum || !p_string) return plx::log_error(plx::kStringInvalidArg, kSource, __LINE__);
    char *text;
    if (accum->owns_buffer && accum->buffer) {
        text = static_cast<char *>(plx_memory_realloc(accum->buffer, accum->length + 1));
        if (!text) text = accum->buffer;  /* a block that cannot shrink is handed over whole */
    } else {
        text = static_cast<char *>(plx_memory_alloc(accum->length + 1));
        if (!text) return plx::log_error(plx::kStringNoMemory, kSource, __LINE__);
        if (accum->length) memcpy(text, accum->buffer, accum->length);
        text[accum->length] = 0;
    }
    *p_string = text;
    if (p_size) *p_size = accum->length ? accum->length + 1 : 0;
    accum->length = 0;
    accum->capacity = 0;
    accum->buffer = nullptr;
    accum->owns_buffer = 0;
    return 0;
}

/* Frees what the accumulator owns; null is ignored. */
plx_error_t plx_string_accum_delete(plx_string_accum_t *accum) {
    if (accum) plx::accum_release(accum);
    return 0;
}

}  // extern "C"
