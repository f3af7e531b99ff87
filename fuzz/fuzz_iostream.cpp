/* Byte streams against a model of their mechanics: the read buffer with its offset, put-back
 * chunks (most recent first), the end flag, a scripted read callback that hands out data in
 * pieces and ends by count 0 or by the end code, and memory streams whose put-back bytes
 * overwrite their block, so that a reset rereads them. Reads, put-backs, whole reads, writes,
 * resets, references and counters are checked step by step; allocation failures strike at
 * random; every stream must be released exactly once and leave nothing behind. */
#include <algorithm>
#include <deque>
#include <vector>

#include "fuzz_common.h"

namespace fuzz_iostream {

constexpr uint32_t kInvalid = 0x90220001u, kNoMemory = 0x90220002u, kNoWrite = 0x90220005u;
constexpr uint32_t kUnavailable = 0x9022000Bu, kEnd = 0x10220049u, kWrongMagic = 0x90220321u;
constexpr uint32_t kSourceEnd = 0x90500049u, kSourceFailure = 0x90500042u;

/* The data behind a callback stream and how it hands it out: each call takes the next script
 * byte (its low 6 bits bound the piece; 0 fails the call). At the end of the data it reports
 * count 0, or the end code when `end_by_code`. */
struct Source {
    std::string data;
    size_t pos = 0;
    std::vector<uint8_t> script;
    size_t call = 0;
    bool end_by_code = false;
    uint32_t resets = 0, releases = 0;
    std::string written;

    uint32_t read(void *buffer, uint32_t capacity, uint32_t *count) {
        uint8_t s = script.empty() ? 0xFF : script[call++ % script.size()];
        *count = 0;
        if ((s & 0x3F) == 0 && s & 0x40) return kSourceFailure;
        if (pos == data.size()) return end_by_code ? kSourceEnd : 0;
        uint32_t n = std::min<uint32_t>(
            {capacity, static_cast<uint32_t>(data.size() - pos), (s & 0x3Fu) + 1u});
        memcpy(buffer, data.data() + pos, n);
        pos += n;
        *count = n;
        return 0;
    }
};

uint32_t cb_read(void *user, void *buffer, uint32_t capacity, uint32_t *count) {
    return static_cast<Source *>(user)->read(buffer, capacity, count);
}
uint32_t cb_write(void *user, const void *data, uint32_t size, uint32_t *count) {
    auto *s = static_cast<Source *>(user);
    *count = std::min<uint32_t>(size, 7);
    s->written.append(static_cast<const char *>(data), *count);
    return 0;
}
uint32_t cb_flush(void *, uint32_t argument) { return argument == 13 ? kSourceFailure : 0; }
uint32_t cb_reset(void *user, uint32_t argument, uint8_t is_memory) {
    auto *s = static_cast<Source *>(user);
    FUZZ_CHECK(is_memory == 0);
    if (argument == 13) return kSourceFailure;
    s->pos = 0;
    ++s->resets;
    return 0;
}
uint32_t cb_release(void *user) {
    ++static_cast<Source *>(user)->releases;
    return 0;
}

/* The stream as the model sees it. */
struct Model {
    bool memory = false;
    bool has_read = false, has_write = false, has_flush = false, has_reset = false;
    std::string buf; /* the read buffer's bytes, capacity long for a callback stream */
    uint32_t offset = 0, end = 0;
    std::deque<std::string> chunks; /* unread put-back bytes, most recent first */
    bool at_end = false;
    uint32_t bytes_read = 0, bytes_written = 0;
    Source source; /* the model's own copy of the callback's data and script */

    /* Read per the stream's rules, counting what is handed out; `failed` is set when the
     * callback failed (the state is then unknown). */
    uint32_t read(uint32_t want, std::string *out, bool *failed) {
        size_t before = out->size();
        uint32_t rc = take(want, out, failed);
        bytes_read += static_cast<uint32_t>(out->size() - before);
        return rc;
    }
    uint32_t take(uint32_t want, std::string *out, bool *failed) {
        if (!memory && !has_read) return 0x90220052u;
        if (at_end) return kEnd;
        if (want == 0) return 0;
        while (!chunks.empty() && out->size() < want) {
            std::string &c = chunks.front();
            size_t n = std::min(c.size(), want - out->size());
            *out += c.substr(0, n);
            c.erase(0, n);
            if (c.empty()) chunks.pop_front();
        }
        for (;;) {
            size_t n = std::min<size_t>(end - offset, want - out->size());
            *out += buf.substr(offset, n);
            offset += static_cast<uint32_t>(n);
            if (out->size() == want) return 0;
            if (memory) {
                at_end = true;
                return out->empty() ? kEnd : 0;
            }
            uint32_t count = 0;
            uint32_t rc = source.read(&buf[0], static_cast<uint32_t>(buf.size()), &count);
            if ((rc & 0xFFFF) == 0x49) {
                at_end = true;
                return out->empty() ? rc : 0;
            }
            if (rc) return *failed = true, rc;
            if (count == 0) {
                at_end = true;
                return 0;
            }
            offset = 0, end = count;
        }
    }
    /* Put back, once the chunk (if one is needed) could be allocated. */
    void putback(const std::string &data) {
        if (data.empty()) return;
        if (data.size() <= offset) {
            offset -= static_cast<uint32_t>(data.size());
            buf.replace(offset, data.size(), data);
        } else {
            size_t head = data.size() - offset;
            buf.replace(0, offset, data.substr(head));
            offset = 0;
            chunks.push_front(data.substr(0, head));
        }
        at_end = false;
    }
};

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    uint8_t config = r.u8();
    Source source;
    source.data = r.bytes(200);
    source.end_by_code = config & 0x40;
    for (uint32_t k = r.below(6) + 1; k > 0; --k) source.script.push_back(r.u8() | 0x80);

    Model m;
    m.memory = config & 1;
    plx_iostream_t *s = nullptr;
    uint32_t rc;
    std::string block = source.data; /* the caller's block of an in-place memory stream */
    bool in_place = m.memory && (config & 2);
    if (config & 0x80) veltra_manager_memory_fail_after(0, 0);
    if (m.memory) {
        rc = plx_iostream_create_from_buffer(&s, block.empty() ? nullptr : &block[0],
                                             static_cast<uint32_t>(block.size()),
                                             in_place ? cb_release : nullptr, &source);
        if (block.empty()) {
            FUZZ_CHECK(rc == kInvalid && !s);
            return;
        }
        m.buf = block;
        m.end = static_cast<uint32_t>(block.size());
    } else {
        plx_iostream_callbacks_t cbs{};
        m.has_read = config & 2, m.has_write = config & 4, m.has_flush = config & 8,
        m.has_reset = config & 16;
        cbs.read = m.has_read ? cb_read : nullptr;
        cbs.write = m.has_write ? cb_write : nullptr;
        cbs.flush = m.has_flush ? cb_flush : nullptr;
        cbs.reset = m.has_reset ? cb_reset : nullptr;
        cbs.release = config & 32 ? cb_release : nullptr;
        uint32_t requested = r.below(3) == 0 ? r.below(2048) : 10;
        rc = plx_iostream_create(&s, requested, &cbs, &source);
        if (!m.has_read && !m.has_write) {
            FUZZ_CHECK(rc == kInvalid && !s, "create without read or write gave %x", rc);
            veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
            return;
        }
        m.buf.assign(std::max<uint32_t>(requested, 1024), '\0');
    }
    veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
    if (config & 0x80) {
        FUZZ_CHECK((rc == kNoMemory && !s) || rc == 0, "create under failure gave %x", rc);
        if (rc) return;
    }
    FUZZ_CHECK(rc == 0 && s, "create gave %x", rc);
    m.source = source;
    const bool has_release = in_place || (!m.memory && (config & 32));
    uint32_t refs = 1;

    for (int steps = 0; !r.empty() && steps < 100; ++steps) {
        uint8_t op = r.u8();
        uint32_t n = r.below(64);
        bool oom = op & 0x80;
        if (oom) veltra_manager_memory_fail_after(0, 0);
        switch (op % 10) {
            case 0: { /* read */
                std::string want;
                bool failed = false;
                uint32_t want_rc = m.read(n, &want, &failed);
                std::vector<char> got(n + 1, 'Z');
                uint32_t count = 12345;
                rc = plx_iostream_read(s, got.data(), n, &count);
                FUZZ_CHECK(rc == want_rc, "read %u gave %x, model %x", n, rc, want_rc);
                if (failed) goto done; /* the callback failed: what it consumed is left open */
                if (rc == 0)
                    FUZZ_CHECK(count == want.size() && memcmp(got.data(), want.data(), count) == 0,
                               "read %u: %u bytes, model %zu", n, count, want.size());
                FUZZ_CHECK(got[n] == 'Z', "read wrote past its size");
                break;
            }
            case 1: { /* put back */
                std::string back = r.bytes(40);
                rc = plx_iostream_putback(s, back.data(), static_cast<uint32_t>(back.size()));
                if (rc == kNoMemory && oom) break;
                FUZZ_CHECK(rc == 0, "putback gave %x", rc);
                m.putback(back);
                break;
            }
            case 2: { /* read everything that is left */
                void *all = nullptr;
                uint32_t bytes = 99;
                rc = plx_iostream_read_entire(s, &all, &bytes);
                if (rc == kNoMemory && oom) goto done;
                /* Pieces until one brings nothing or the end; an end code of the callback ends
                 * the whole read like the stream's own end status. */
                std::string want;
                bool failed = false;
                uint32_t piece_rc = 0;
                while (!failed) {
                    std::string piece;
                    piece_rc = m.read(1024, &piece, &failed);
                    want += piece;
                    if (piece_rc || piece.empty()) break;
                }
                if (failed || (piece_rc && (piece_rc & 0xFFFF) != 0x49)) {
                    FUZZ_CHECK(rc == piece_rc && !all, "read_entire gave %x, model %x", rc,
                               piece_rc);
                    if (failed) goto done;
                    break;
                }
                FUZZ_CHECK(rc == 0, "read_entire gave %x", rc);
                FUZZ_CHECK(bytes == want.size() &&
                               (want.empty() ? !all : memcmp(all, want.data(), bytes) == 0),
                           "read_entire: %u bytes, model %zu", bytes, want.size());
                plx_memory_free(all);
                break;
            }
            case 3: { /* write */
                std::string text = r.bytes(20);
                uint32_t count = 99;
                rc = plx_iostream_write(s, text.data(), static_cast<uint32_t>(text.size()), &count);
                if (!m.has_write) {
                    FUZZ_CHECK(rc == kNoWrite);
                    break;
                }
                uint32_t accepted = std::min<uint32_t>(static_cast<uint32_t>(text.size()), 7);
                FUZZ_CHECK(rc == 0 && count == accepted);
                m.bytes_written += accepted;
                break;
            }
            case 4: { /* reset: a memory stream rereads its block, a callback stream starts over */
                uint32_t argument = n == 13 ? 13 : 0;
                rc = plx_iostream_reset(s, argument);
                if (!m.memory && !m.has_reset) {
                    FUZZ_CHECK(rc == kUnavailable);
                    break;
                }
                if (!m.memory && argument == 13) {
                    FUZZ_CHECK(rc == kSourceFailure);
                    break;
                }
                FUZZ_CHECK(rc == 0, "reset gave %x", rc);
                if (!m.memory) m.end = 0, m.source.pos = 0;
                m.offset = 0;
                m.at_end = false;
                m.chunks.clear();
                break;
            }
            case 5: { /* flags and counters */
                uint8_t can = 9;
                FUZZ_CHECK(plx_iostream_can_read(s, &can) == 0 && can == (m.memory || m.has_read));
                FUZZ_CHECK(plx_iostream_can_write(s, &can) == 0 && can == m.has_write);
                FUZZ_CHECK(plx_iostream_can_reset(s, &can) == 0 &&
                           can == (m.memory || m.has_reset));
                uint32_t got_read = 0, got_written = 0;
                rc = plx_iostream_throughput(s, &got_read, &got_written);
                if (m.memory || m.has_reset) {
                    FUZZ_CHECK(
                        rc == 0 && got_read == m.bytes_read && got_written == m.bytes_written,
                        "throughput %u/%u, model %u/%u", got_read, got_written, m.bytes_read,
                        m.bytes_written);
                } else {
                    FUZZ_CHECK(rc == kUnavailable);
                }
                break;
            }
            case 6: /* flush */
                rc = plx_iostream_flush(s, n);
                FUZZ_CHECK(rc == (!m.has_flush ? kUnavailable : n == 13 ? kSourceFailure : 0u));
                break;
            case 7: /* references */
                if (n & 1 || refs == 1) {
                    FUZZ_CHECK(plx_iostream_addref(s) == 0);
                    ++refs;
                } else {
                    FUZZ_CHECK(plx_iostream_release(s) == 0);
                    --refs;
                }
                FUZZ_CHECK(source.releases == 0);
                break;
            case 8: {
                alignas(8) static uint32_t not_stream[32] = {0x33442255u};
                auto *bad = reinterpret_cast<plx_iostream_t *>(not_stream);
                uint32_t count = 0;
                uint8_t flag = 0;
                FUZZ_CHECK(plx_iostream_read(nullptr, &flag, 1, &count) == kInvalid);
                FUZZ_CHECK(plx_iostream_read(s, &flag, 1, nullptr) == kInvalid);
                FUZZ_CHECK(plx_iostream_read(bad, &flag, 1, &count) == kWrongMagic);
                FUZZ_CHECK(plx_iostream_can_read(s, nullptr) == kInvalid);
                FUZZ_CHECK(plx_iostream_release(nullptr) == 0);
                break;
            }
            default: { /* a read of nothing changes nothing */
                uint32_t count = 99;
                uint8_t byte = 0;
                rc = plx_iostream_read(s, &byte, 0, &count);
                uint32_t want_rc = (!m.memory && !m.has_read) ? 0x90220052u : m.at_end ? kEnd : 0u;
                FUZZ_CHECK(rc == want_rc, "read of 0 gave %x, model %x", rc, want_rc);
                if (rc == 0) FUZZ_CHECK(count == 0);
                break;
            }
        }
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
    }
done:
    veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
    for (; refs > 0; --refs) FUZZ_CHECK(plx_iostream_release(s) == 0);
    FUZZ_CHECK(source.releases == (has_release ? 1u : 0u), "release callback ran %u times",
               source.releases);
}

} // namespace fuzz_iostream

VELTRA_FUZZ_ENTRY(fuzz_iostream::run)
