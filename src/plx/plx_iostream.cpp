/* Byte streams (package 0x22): reference-counted readers and writers over a block of memory or
 * over caller callbacks, with a read buffer, put-back of any amount and byte counters.
 *
 * A stream is one host block: the header below, then either the read buffer (callback streams)
 * or a private copy of the data (memory streams that copy). Only the reference count is
 * atomic; every other operation on one stream is serialised by the caller. */
#include "plx/plx_internal.h"

namespace {

constexpr uint32_t kStreamMagic = 0x10574EA8u;
constexpr uint32_t kMinBufferSize = 1024;
constexpr uint32_t kEntirePiece = 1024; /* read_entire gathers the data in pieces of this size */
constexpr uint32_t kEndLow16 = 0x49;    /* low 16 bits of every "end of data" code */

constexpr uint32_t err(uint32_t code) { return plx::error_code(plx::kPkgIostream, code); }
constexpr uint32_t kErrInvalidArg = err(plx::kInvalidArg);
constexpr uint32_t kErrNoMemory = err(plx::kNoMemory);
constexpr uint32_t kErrNoWriter = err(0x05);
constexpr uint32_t kErrNotStarted = err(plx::kNotInitialized);
constexpr uint32_t kErrNotAvailable = err(0x0B);
constexpr uint32_t kErrUnreadable = err(0x52);
constexpr uint32_t kErrNotStream = err(plx::kWrongMagic);
constexpr uint32_t kEndOfStream = plx::status_code(plx::kPkgIostream, kEndLow16);

/* Bytes given back by put-back that did not fit in front of the read buffer. */
struct PutbackChunk {
    uint32_t offset;    /* next unread byte of bytes() */
    uint32_t end;       /* one past the last byte */
    PutbackChunk *next; /* the chunk put back before this one (read after it) */
    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(this + 1); }
};

void free_chunks(PutbackChunk *chunk) {
    while (chunk) {
        PutbackChunk *next = chunk->next;
        plx_memory_free(chunk);
        chunk = next;
    }
}

}  // namespace

/* The stream record behind plx_iostream_t. */
struct plx_iostream_s {
    uint32_t magic;         /* kStreamMagic while the record lives */
    uint32_t refcount;      /* changed only with plx_atomic_inc/dec; 1 at creation */
    uint32_t bytes_read;    /* bytes handed to readers */
    uint32_t bytes_written; /* bytes the write callback accepted */
    void *user_data;        /* first argument of every callback */
    plx_iostream_read_fn read;
    plx_iostream_write_fn write;
    plx_iostream_flush_fn flush;
    plx_iostream_reset_fn reset;
    plx_iostream_release_fn release;
    PutbackChunk *putback; /* most recent chunk first; read before the buffer */
    uint32_t buf_offset;   /* first unread byte of buf */
    uint32_t buf_end;      /* one past the last valid byte of buf */
    uint32_t buf_capacity; /* bytes available at buf */
    uint8_t *buf;          /* behind the header, or the caller's block for in-place memory */
    uint8_t is_memory;     /* reads a fixed block; there is no read callback */
    uint8_t at_end;        /* the end was reported; reads answer the end status at once */
};

namespace {

using Stream = plx_iostream_s;

/* The one check between a handle and its record: null and magic. */
uint32_t validate(const Stream *s) {
    if (!s) return kErrInvalidArg;
    if (s->magic != kStreamMagic) return kErrNotStream;
    return 0;
}

bool readable(const Stream *s) { return s->is_memory || s->read; }

/* Fills `out` from the put-back chunks and then the read buffer; returns the bytes taken. */
uint32_t take_buffered(Stream *s, uint8_t *out, uint32_t size) {
    uint32_t got = 0;
    while (got < size && s->putback) {
        PutbackChunk *c = s->putback;
        uint32_t n = c->end - c->offset;
        if (n > size - got) n = size - got;
        memcpy(out + got, c->bytes() + c->offset, n);
        c->offset += n;
        got += n;
        if (c->offset == c->end) {
            s->putback = c->next;
            plx_memory_free(c);
        }
    }
    uint32_t n = s->buf_end - s->buf_offset;
    if (n > size - got) n = size - got;
    if (n) {
        memcpy(out + got, s->buf + s->buf_offset, n);
        s->buf_offset += n;
        got += n;
    }
    return got;
}

/* Puts `data` back so that the next read returns it first. Leaves the stream unchanged when
 * the chunk for the part that does not fit in front of the buffer cannot be allocated.
 * While chunks exist the buffer offset is 0 (reads drain chunks before the buffer), so a spill
 * never lands behind an older chunk. */
uint32_t putback_bytes(Stream *s, const uint8_t *data, uint32_t size) {
    if (size <= s->buf_offset) {
        s->buf_offset -= size;
        memcpy(s->buf + s->buf_offset, data, size);
    } else {
        uint32_t tail = s->buf_offset;
        uint32_t head = size - tail;
        PutbackChunk *c = plx::alloc_record<PutbackChunk>(head);
        if (!c) return kErrNoMemory;
        c->end = head;
        memcpy(c->bytes(), data, head);
        c->next = s->putback;
        s->putback = c;
        memcpy(s->buf, data + head, tail);
        s->buf_offset = 0;
    }
    s->at_end = 0;
    return 0;
}

uint32_t read_bytes(Stream *s, uint8_t *out, uint32_t size, uint32_t *p_count) {
    *p_count = 0;
    if (!readable(s)) return kErrUnreadable;
    if (s->at_end) return kEndOfStream;
    if (size == 0) return 0;

    uint32_t got = take_buffered(s, out, size);
    uint32_t result = 0;
    while (got < size) {
        if (!s->read) {
            s->at_end = 1;
            if (got == 0) result = kEndOfStream;
            break;
        }
        uint32_t count = 0;
        uint32_t code = s->read(s->user_data, s->buf, s->buf_capacity, &count);
        if (code != 0 && plx::low16(code) == kEndLow16) {
            s->at_end = 1;
            if (got == 0) result = code;
            break;
        }
        if (code != 0) {
            result = code;
            break;
        }
        if (count == 0) {
            s->at_end = 1;
            break;
        }
        /* A callback that claims more than it was given cannot have written it. */
        if (count > s->buf_capacity) count = s->buf_capacity;
        s->buf_offset = 0;
        s->buf_end = count;
        got += take_buffered(s, out + got, size - got);
    }
    s->bytes_read += got;
    *p_count = got;
    return result;
}

}  // namespace

namespace {
uint32_t _iostream_init_func() { return plx_memory_initialize(nullptr); }
uint32_t _iostream_shutdown_func() {
    plx_memory_shutdown();
    return 0;
}
}  // namespace

extern "C" {

PLX_DEFINE_MODULE_LIFECYCLE(iostream)

/* Creates a callback stream with a read buffer of at least 1024 bytes and one reference. */
plx_error_t plx_iostream_create(plx_iostream_t **p_stream, uint32_t buffer_size,
                                const plx_iostream_callbacks_t *callbacks, void *user_data) {
    if (plx_iostream_initchecks() == 0) return kErrNotStarted;
    if (!p_stream || !callbacks || (!callbacks->read && !callbacks->write)) return kErrInvalidArg;
    uint32_t capacity = buffer_size < kMinBufferSize ? kMinBufferSize : buffer_size;
    if (capacity > SIZE_MAX - sizeof(Stream)) return kErrNoMemory;

    /* Only the header is cleared: the buffer is written before it is read. */
    Stream *s = static_cast<Stream *>(plx_memory_alloc(sizeof(Stream) + capacity));
    if (!s) return kErrNoMemory;
    memset(s, 0, sizeof(Stream));
    s->magic = kStreamMagic;
    s->refcount = 1;
    s->user_data = user_data;
    s->read = callbacks->read;
    s->write = callbacks->write;
    s->flush = callbacks->flush;
    s->reset = callbacks->reset;
    s->release = callbacks->release;
    s->buf_capacity = capacity;
    s->buf = reinterpret_cast<uint8_t *>(s + 1);
    *p_stream = s;
    return 0;
}

/* Creates a memory stream over `size` bytes: a private copy when `release` is null, else the
 * caller's block itself, handed back through release(user_data) at the last release. */
plx_error_t plx_iostream_create_from_buffer(plx_iostream_t **p_stream, void *data, uint32_t size,
                                            plx_iostream_release_fn release, void *user_data) {
    if (plx_iostream_initchecks() == 0) return kErrNotStarted;
    if (!p_stream || !data || size == 0) return kErrInvalidArg;
    size_t extra = release ? 0 : size;
    if (extra > SIZE_MAX - sizeof(Stream)) return kErrNoMemory;

    Stream *s = static_cast<Stream *>(plx_memory_alloc(sizeof(Stream) + extra));
    if (!s) return kErrNoMemory;
    memset(s, 0, sizeof(Stream));
    s->magic = kStreamMagic;
    s->refcount = 1;
    s->user_data = user_data;
    s->release = release;
    if (release) {
        s->buf = static_cast<uint8_t *>(data);
    } else {
        s->buf = reinterpret_cast<uint8_t *>(s + 1);
        memcpy(s->buf, data, size);
    }
    s->buf_end = size;
    s->buf_capacity = size;
    s->is_memory = 1;
    *p_stream = s;
    return 0;
}

/* Adds one reference; each needs its own release. */
plx_error_t plx_iostream_addref(plx_iostream_t *stream) {
    if (uint32_t code = validate(stream)) return code;
    plx_atomic_inc(&stream->refcount, nullptr);
    return 0;
}

/* Drops one reference; the last runs the release callback and frees the stream. Null is
 * accepted. */
plx_error_t plx_iostream_release(plx_iostream_t *stream) {
    if (!stream) return 0;
    if (uint32_t code = validate(stream)) return code;
    uint32_t left = 0;
    plx_atomic_dec(&stream->refcount, &left);
    if (left != 0) return 0;
    if (stream->release) stream->release(stream->user_data);
    free_chunks(stream->putback);
    stream->magic = 0; /* a stale handle now fails the magic check instead of reading garbage */
    plx_memory_free(stream);
    return 0;
}

/* Reads up to `size` bytes: put-back bytes first, then the buffer, then the source. Returns 0
 * with the count (possibly short at the end), 0x10220049 once the end is reached with nothing
 * read, or a read callback's error with the bytes gathered before it in *p_count. */
plx_error_t plx_iostream_read(plx_iostream_t *stream, void *buffer, uint32_t size,
                              uint32_t *p_count) {
    if (uint32_t code = validate(stream)) return code;
    if (!p_count || (!buffer && size != 0)) return kErrInvalidArg;
    return read_bytes(stream, static_cast<uint8_t *>(buffer), size, p_count);
}

/* Reads everything that is left into one new host block (caller frees). A failed allocation
 * puts the gathered bytes back, so the stream loses nothing. */
plx_error_t plx_iostream_read_entire(plx_iostream_t *stream, void **p_buffer, uint32_t *p_size) {
    if (uint32_t code = validate(stream)) return code;
    if (!p_buffer || !p_size) return kErrInvalidArg;

    uint8_t piece[kEntirePiece];
    uint8_t *data = nullptr;
    uint32_t size = 0, capacity = 0;
    const uint32_t bytes_read_before = stream->bytes_read;
    for (;;) {
        uint32_t count = 0;
        uint32_t code = read_bytes(stream, piece, kEntirePiece, &count);
        if (count != 0 && capacity - size < count) {
            uint64_t grown = (uint64_t(capacity) + kEntirePiece) * 2;
            if (grown > 0xFFFFFFFFu) grown = 0xFFFFFFFFu;
            void *p = (size > 0xFFFFFFFFu - count) ? nullptr : plx_memory_realloc(data, grown);
            if (!p) {
                /* Most recent put-back is read first: the piece goes back before the rest. */
                if (putback_bytes(stream, piece, count) == 0 &&
                    (size == 0 || putback_bytes(stream, data, size) == 0))
                    stream->bytes_read = bytes_read_before;
                plx_memory_free(data);
                return kErrNoMemory;
            }
            data = static_cast<uint8_t *>(p);
            capacity = static_cast<uint32_t>(grown);
        }
        if (count != 0) {
            memcpy(data + size, piece, count);
            size += count;
        }
        if (code != 0 && plx::low16(code) != kEndLow16) {
            plx_memory_free(data);
            return code;
        }
        if (code != 0 || count == 0) break;
    }
    if (data && capacity != size) {
        if (void *p = plx_memory_realloc(data, size)) data = static_cast<uint8_t *>(p);
    }
    *p_buffer = data;
    *p_size = size;
    return 0;
}

/* Makes the next reads return `data` (in order) before anything else and clears the end. */
plx_error_t plx_iostream_putback(plx_iostream_t *stream, const void *data, uint32_t size) {
    if (uint32_t code = validate(stream)) return code;
    if (size == 0) return 0;
    if (!data) return kErrInvalidArg;
    return putback_bytes(stream, static_cast<const uint8_t *>(data), size);
}

/* Hands `data` to the write callback; its count is added to the written bytes and handed out,
 * its error returned unchanged. */
plx_error_t plx_iostream_write(plx_iostream_t *stream, const void *data, uint32_t size,
                               uint32_t *p_count) {
    if (uint32_t code = validate(stream)) return code;
    if (!p_count || (!data && size != 0)) return kErrInvalidArg;
    *p_count = 0;
    if (!stream->write) return kErrNoWriter;
    uint32_t count = 0;
    uint32_t code = stream->write(stream->user_data, data, size, &count);
    stream->bytes_written += count;
    *p_count = count;
    return code;
}

/* Passes `argument` to the flush callback and returns its result. */
plx_error_t plx_iostream_flush(plx_iostream_t *stream, uint32_t argument) {
    if (uint32_t code = validate(stream)) return code;
    if (!stream->flush) return kErrNotAvailable;
    return stream->flush(stream->user_data, argument);
}

/* Starts reading again: the reset callback (if any) runs first and may refuse; a memory stream
 * rereads its block from the beginning, a callback stream drops what it had buffered. */
plx_error_t plx_iostream_reset(plx_iostream_t *stream, uint32_t argument) {
    if (uint32_t code = validate(stream)) return code;
    if (!stream->is_memory && !stream->reset) return kErrNotAvailable;
    if (stream->reset) {
        if (uint32_t code = stream->reset(stream->user_data, argument, stream->is_memory))
            return code;
    }
    if (!stream->is_memory) stream->buf_end = 0;
    stream->buf_offset = 0;
    stream->at_end = 0;
    free_chunks(stream->putback);
    stream->putback = nullptr;
    return 0;
}

plx_error_t plx_iostream_can_read(plx_iostream_t *stream, uint8_t *p_flag) {
    if (uint32_t code = validate(stream)) return code;
    if (!p_flag) return kErrInvalidArg;
    *p_flag = readable(stream) ? 1 : 0;
    return 0;
}

plx_error_t plx_iostream_can_write(plx_iostream_t *stream, uint8_t *p_flag) {
    if (uint32_t code = validate(stream)) return code;
    if (!p_flag) return kErrInvalidArg;
    *p_flag = stream->write ? 1 : 0;
    return 0;
}

plx_error_t plx_iostream_can_reset(plx_iostream_t *stream, uint8_t *p_flag) {
    if (uint32_t code = validate(stream)) return code;
    if (!p_flag) return kErrInvalidArg;
    *p_flag = (stream->is_memory || stream->reset) ? 1 : 0;
    return 0;
}

/* Byte counters; only streams that can be reset keep meaningful totals. */
plx_error_t plx_iostream_throughput(plx_iostream_t *stream, uint32_t *p_bytes_read,
                                    uint32_t *p_bytes_written) {
    if (uint32_t code = validate(stream)) return code;
    if (!stream->is_memory && !stream->reset) return kErrNotAvailable;
    if (p_bytes_read) *p_bytes_read = stream->bytes_read;
    if (p_bytes_written) *p_bytes_written = stream->bytes_written;
    return 0;
}

}  // extern "C"
