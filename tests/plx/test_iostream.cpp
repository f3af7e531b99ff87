/* Byte streams: memory and callback streams, references, bad input and out of memory. Random
 * read/put-back/reset sequences run against the fuzz target's model in the corpus replay. */
#include <algorithm>
#include <random>
#include <utility>

#include "test_support.h"

namespace {

constexpr uint32_t kEnd = 0x10220049u;

using Iostream = vt::ModuleTest<plx_iostream_initialize, plx_iostream_shutdown>;

/* A callback source over a byte vector, delivering pieces of random size. */
struct Source {
    std::vector<uint8_t> data;
    size_t pos = 0;
    uint32_t end_code = 0;   /* returned at the end instead of a count of 0 when set */
    uint32_t fail_code = 0;  /* returned once by the next read when set */
    uint32_t capacity = 0, releases = 0, reset_argument = 0;
    std::mt19937 rng{7};

    static uint32_t read(void *u, void *buf, uint32_t cap, uint32_t *n) {
        auto *s = static_cast<Source *>(u);
        s->capacity = cap;
        *n = 0;
        if (s->fail_code) return std::exchange(s->fail_code, 0);
        if (s->pos == s->data.size()) return s->end_code;
        *n = std::min<uint32_t>(1 + s->rng() % cap, uint32_t(s->data.size() - s->pos));
        memcpy(buf, s->data.data() + s->pos, *n);
        s->pos += *n;
        return 0;
    }
    static uint32_t write(void *, const void *, uint32_t size, uint32_t *n) {
        *n = size / 2;  /* accepts half: the count must be passed through as is */
        return 0;
    }
    static uint32_t reset(void *u, uint32_t arg, uint8_t) {
        static_cast<Source *>(u)->pos = 0;
        static_cast<Source *>(u)->reset_argument = arg;
        return 0;
    }
    static uint32_t release(void *u) { return ++static_cast<Source *>(u)->releases, 0; }
    plx_iostream_callbacks_t callbacks(bool with_reset) {
        return {read, write, nullptr, with_reset ? reset : nullptr, release};
    }
};

std::string read_str(plx_iostream_t *s, uint32_t n, uint32_t *code = nullptr) {
    std::string out(n, '\0');
    uint32_t count = 99;
    uint32_t c = plx_iostream_read(s, out.data(), n, &count);
    if (code) *code = c;
    out.resize(count);
    return out;
}

TEST_F(Iostream, MemoryStreamsReadPutBackAndReset) {
    char text[] = "hello";
    plx_iostream_t *s = nullptr;
    ASSERT_EQ(0u, plx_iostream_create_from_buffer(&s, text, 5, nullptr, nullptr));
    uint32_t code;
    EXPECT_EQ("hel", read_str(s, 3, &code));
    EXPECT_EQ("lo", read_str(s, 3, &code));
    EXPECT_EQ("", read_str(s, 3, &code));
    EXPECT_EQ(kEnd, code);
    EXPECT_EQ(0u, plx_iostream_reset(s, 0));
    EXPECT_EQ("he", read_str(s, 2));
    ASSERT_EQ(0u, plx_iostream_putback(s, "WXYZ", 4));  /* 2 fit in front, 2 spill */
    EXPECT_EQ("WXYZllo", read_str(s, 10));
    uint32_t r = 0;
    EXPECT_EQ(0u, plx_iostream_throughput(s, &r, nullptr));
    EXPECT_EQ(14u, r);  /* reset keeps the counters */
    EXPECT_EQ(0u, plx_iostream_release(s));

    /* Read in place: put-back writes into the caller's block; release runs after the last
     * reference only. */
    Source src;
    char block[] = "abcd";
    ASSERT_EQ(0u, plx_iostream_create_from_buffer(&s, block, 4, Source::release, &src));
    EXPECT_EQ("ab", read_str(s, 2));
    ASSERT_EQ(0u, plx_iostream_putback(s, "Z", 1));
    EXPECT_EQ('Z', block[1]);
    ASSERT_EQ(0u, plx_iostream_addref(s));
    EXPECT_EQ(0u, plx_iostream_release(s));
    EXPECT_EQ(0u, src.releases);
    EXPECT_EQ(0u, plx_iostream_release(s));
    EXPECT_EQ(1u, src.releases);
}

TEST_F(Iostream, CallbackStreamsBufferWriteAndFail) {
    Source src;
    src.data.assign(3000, 'q');
    plx_iostream_callbacks_t cb = src.callbacks(false);
    plx_iostream_t *s = nullptr;
    ASSERT_EQ(0u, plx_iostream_create(&s, 10, &cb, &src));
    EXPECT_EQ(1u, read_str(s, 1).size());
    EXPECT_EQ(1024u, src.capacity);  /* at least 1024 bytes of buffer */
    uint32_t n = 0;
    EXPECT_EQ(0u, plx_iostream_write(s, "12345678", 8, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(0x9022000Bu, plx_iostream_reset(s, 0));
    EXPECT_EQ(0x9022000Bu, plx_iostream_flush(s, 0));
    /* A failing source: its code comes back unchanged with the buffered bytes before it. */
    src.fail_code = 0x90AB0005u;
    std::vector<uint8_t> buf(5000);
    EXPECT_EQ(0x90AB0005u, plx_iostream_read(s, buf.data(), 5000, &n));
    EXPECT_EQ(src.pos - 1, n);
    EXPECT_EQ(0u, plx_iostream_release(s));
    EXPECT_EQ(1u, src.releases);

    /* read_entire: everything, then nothing (null, 0), and a source error is returned. */
    for (int i = 0; i < 5000; ++i) src.data.push_back(uint8_t(i * 7));
    src.pos = 0;
    src.end_code = 0x10AB0049u;  /* a foreign end status ends the data too */
    cb = src.callbacks(true);
    ASSERT_EQ(0u, plx_iostream_create(&s, 0, &cb, &src));
    void *data = nullptr;
    ASSERT_EQ(0u, plx_iostream_read_entire(s, &data, &n));
    ASSERT_EQ(8000u, n);
    EXPECT_EQ(0, memcmp(data, src.data.data(), n));
    plx_memory_free(data);
    ASSERT_EQ(0u, plx_iostream_read_entire(s, &data, &n));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0u, plx_iostream_reset(s, 42));
    EXPECT_EQ(42u, src.reset_argument);
    src.fail_code = 0x90AB0005u;
    EXPECT_EQ(0x90AB0005u, plx_iostream_read_entire(s, &data, &n));
    EXPECT_EQ(0u, plx_iostream_release(s));
}

TEST_F(Iostream, BadInput) {
    plx_iostream_t *s = nullptr;
    char text[] = "x";
    uint32_t n;
    plx_iostream_callbacks_t none{};
    EXPECT_EQ(0x90220001u, plx_iostream_create(&s, 0, &none, nullptr));
    EXPECT_EQ(0x90220001u, plx_iostream_create_from_buffer(&s, text, 0, nullptr, nullptr));
    EXPECT_EQ(0x90220001u, plx_iostream_read(nullptr, text, 1, &n));
    uint32_t fake[32] = {0x12345678u};  /* a record that is no stream */
    auto *bogus = reinterpret_cast<plx_iostream_t *>(fake);
    EXPECT_EQ(0x90220321u, plx_iostream_read(bogus, text, 1, &n));
    ASSERT_EQ(0u, plx_iostream_create_from_buffer(&s, text, 1, nullptr, nullptr));
    EXPECT_EQ(0x90220001u, plx_iostream_read(s, text, 1, nullptr));
    EXPECT_EQ(0u, plx_iostream_release(s));
    plx_iostream_shutdown();
    EXPECT_EQ(0x90220007u, plx_iostream_create_from_buffer(&s, text, 1, nullptr, nullptr));
    plx_iostream_initialize();
}

/* A failed allocation in create, put-back or read_entire loses no byte of the stream. */
TEST_F(Iostream, OutOfMemoryLosesNothing) {
    Source src;
    for (int i = 0; i < 4000; ++i) src.data.push_back(uint8_t(i % 3 ? 'z' : i));
    plx_iostream_callbacks_t cb = src.callbacks(true);
    vt::oom_sweep({[&] {
                       src.pos = 0;
                       plx_iostream_t *t = nullptr;
                       if (uint32_t c = plx_iostream_create(&t, 0, &cb, &src)) return c;
                       EXPECT_EQ(std::string("\0zz", 3), read_str(t, 3));
                       uint32_t c = plx_iostream_putback(t, "ABCDE", 5);
                       std::string expect = c == 0 ? "ABCDE" : "";
                       expect.append(src.data.begin() + 3, src.data.end());
                       void *data = nullptr;
                       uint32_t size = 0;
                       if (uint32_t c2 = plx_iostream_read_entire(t, &data, &size)) {
                           c = c2;  /* the failure hit read_entire: the retry gets it all */
                           EXPECT_EQ(0u, plx_iostream_read_entire(t, &data, &size));
                       }
                       EXPECT_TRUE(expect == std::string(static_cast<char *>(data), size));
                       plx_memory_free(data);
                       plx_iostream_release(t);
                       return c;
                   },
                   [] {},
                   {0x90220002u}});
}

}  // namespace
