/* Hash table: the many-bytes-a-round hash and case folding, retirement of handed-out values,
 * bad input, out of memory and concurrent use. Operation sequences run against the fuzz
 * target's model in the corpus replay. */
#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plx/plx_hashtable_private.h"
#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900D0001, kNoMem = 0x900D0002, kMagic = 0x900D0321,
                   kExists = 0x900D0368, kNotFound = 0x100D0003, kPastEnd = 0x100D0361;

std::vector<std::pair<std::string, uint32_t>> g_freed;  // (data, size) seen by the callback
uint32_t record_free(void *data, uint32_t size) {
    g_freed.emplace_back(std::string(static_cast<char *>(data), size), size);
    return 0;
}

class HashTable : public vt::DatatypesTest {
protected:
    void SetUp() override {
        vt::DatatypesTest::SetUp();
        g_freed.clear();
    }
};

using Dump = std::vector<std::pair<std::string, std::string>>;  // (key, value) by flat index

Dump dump(plx_hashtable_t *t) {
    Dump d;
    const char *k;
    const void *v;
    uint32_t n, size;
    EXPECT_EQ(0u, plx_hashtable_count(t, &n));
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(0u, plx_hashtable_index_get(t, i, &k, &v, &size));
        d.emplace_back(k, v ? std::string(static_cast<const char *>(v), size) : "<null>");
    }
    EXPECT_EQ(kPastEnd, plx_hashtable_index_get(t, n, &k, &v, &size));
    return d;
}

uint32_t add(plx_hashtable_t *t, const char *key, const std::string &v, uint8_t copy = 1) {
    return plx_hashtable_value_add(t, key, v.data(), static_cast<uint32_t>(v.size()), copy);
}

TEST_F(HashTable, KeysFoldAsciiLettersOnlyUnlessCaseSensitive) {
    /* The many-bytes-a-round hash against the byte loop: every length up to two and a half
     * blocks, so every tail, with letters, the bytes beside 'a'..'z' and 'A'..'Z', and high
     * bytes. */
    std::vector<std::string> keys = {"abcdefghijklmnopqrstuvwxyzABC{}@`~[",
                                     "\xe1\xfa\xc1\xda\x80\xff\x7f\x60\x7b\x40\x5b\x61\x7a\x41\x5a\x01z"};
    std::mt19937 rng(5);
    static const char bytes[] = "azAZ`{@[09~\x7f\x80\xe1\xff\x01";
    for (size_t len = 0; len <= 40; ++len)
        for (int n = 0; n < 8; ++n) {
            std::string k;
            while (k.size() < len) k += bytes[rng() % (sizeof bytes - 1)];
            keys.push_back(k);
        }
    for (const std::string &k : keys) {
        uint32_t h = 5381, hs = 5381;
        for (unsigned char c : k) {
            hs = hs * 33 + c;
            h = h * 33 + (c >= 'a' && c <= 'z' ? c - 32 : c);
        }
        EXPECT_EQ(h, plx::genhash(k.data(), k.size(), false)) << k;
        EXPECT_EQ(hs, plx::genhash(k.data(), k.size(), true)) << k;
        if (k.size() >= 8) {  // the word path, which vector builds keep for keys under 16 bytes
            EXPECT_EQ(h, plx::genhash_words(k.data(), k.size(), false)) << k;
            EXPECT_EQ(hs, plx::genhash_words(k.data(), k.size(), true)) << k;
        }
    }
    plx_hashtable_t *t, *cs;
    ASSERT_EQ(0u, plx_hashtable_create(&t, 0, nullptr));
    ASSERT_EQ(0u, plx_hashtable_create(&cs, PLX_HASHTABLE_FLAG_CASE_SENSITIVE, nullptr));
    for (auto *tab : {t, cs})
        for (const char *k : {"abc", "ABC", "\xc3\xa4", "\xc3\x84"}) ASSERT_EQ(0u, add(tab, k, k));
    Dump d = dump(t);
    ASSERT_EQ(3u, d.size());
    EXPECT_EQ(Dump::value_type("abc", "ABC"), d[0]);  // first spelling kept, value replaced
    EXPECT_EQ(4u, dump(cs).size());
    EXPECT_EQ(0u, plx_hashtable_delete(t));
    EXPECT_EQ(0u, plx_hashtable_delete(cs));
}

/* Values, hand-back and copies are pinned by the fuzz target's model (run by the corpus
 * replay); this covers a referenced size too large to be kept inside the item. */
TEST_F(HashTable, HugeReferencedValueComesBackWithItsSize) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, PLX_HASHTABLE_FLAG_MULTI_VALUE, record_free));
    static char big[1];  // referenced, never read
    ASSERT_EQ(0u, plx_hashtable_value_add(t, "big", big, 0x04000000, 0));
    ASSERT_EQ(0u, add(t, "big", "2nd"));
    void *data = nullptr;
    uint32_t size = 9;
    ASSERT_EQ(0u, plx_hashtable_value_remove_ex(t, "big", 0, &data, &size));
    EXPECT_EQ(big, data);
    EXPECT_EQ(0x04000000u, size);
    EXPECT_EQ(0u, plx_hashtable_delete(t));
}

/* Items from a few dozen bytes to past what the table's chunks hold: removed ones make room
 * for the keys added after them, and a cleared table fills up again. */
TEST_F(HashTable, ItemsOfEverySizeSurviveRemovalReuseAndClear) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, 0, record_free));
    for (int round = 0; round < 2; ++round) {
        Dump want;
        auto key = [](int i) { return "k" + std::to_string(i) + std::string(i % 7 * 40, 'k'); };
        for (int i = 0; i < 300; ++i) {
            std::string v(1 + (i + round) % 5 * 60, static_cast<char>('a' + i % 26));
            ASSERT_EQ(0u, add(t, key(i).c_str(), v));
            want.emplace_back(key(i), v);
        }
        for (int i = 0; i < 300; i += 3) {
            ASSERT_EQ(0u, plx_hashtable_value_delete(t, key(i).c_str()));
            ASSERT_EQ(0u, add(t, key(i).c_str(), "again" + std::to_string(i)));
            want.erase(std::find_if(want.begin(), want.end(), [&](auto &e) { return e.first == key(i); }));
            want.emplace_back(key(i), "again" + std::to_string(i));
        }
        EXPECT_EQ(want, dump(t));
        ASSERT_EQ(0u, plx_hashtable_clear(t));
        EXPECT_EQ(400u * (round + 1), g_freed.size());
    }
    EXPECT_EQ(0u, plx_hashtable_delete(t));
}

TEST_F(HashTable, HandedOutValuesOfSharedTablesLiveUntilClear) {
    for (uint32_t flags : {0x01u, 0x81u, 0x00u}) {
        plx_hashtable_t *t;
        ASSERT_EQ(0u, plx_hashtable_create(&t, flags, record_free));
        g_freed.clear();
        const void *first, *second;
        ASSERT_EQ(0u, add(t, "k", "first"));
        ASSERT_EQ(0u, plx_hashtable_value_find_ex(t, "k", 0, &first, nullptr));
        ASSERT_EQ(0u, add(t, "k", "second"));
        ASSERT_EQ(0u, plx_hashtable_index_get(t, 0, nullptr, &second, nullptr));
        ASSERT_EQ(0u, add(t, "k", "third"));
        ASSERT_EQ(0u, plx_hashtable_value_delete(t, "k"));
        size_t retired = flags == 0x01 ? 2 : 0;
        EXPECT_EQ(3 - retired, g_freed.size());
        if (retired) {  // still readable: the sanitizer run catches a freed block here
            EXPECT_EQ("first", std::string(static_cast<const char *>(first), 5));
            EXPECT_EQ("second", std::string(static_cast<const char *>(second), 6));
        }
        ASSERT_EQ(0u, plx_hashtable_clear(t));
        EXPECT_EQ(3u, g_freed.size());
        EXPECT_EQ(0u, plx_hashtable_delete(t));
    }
}

TEST_F(HashTable, BadInputIsRefusedBeforeTheMagicIsRead) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_datatypes_shutdown());
    EXPECT_EQ(0x900D0007u, plx_hashtable_create(&t, 0, nullptr));
    ASSERT_EQ(0u, plx_datatypes_initialize());
    const void *d;
    uint32_t n;
    EXPECT_EQ(kInvalid, plx_hashtable_create(nullptr, 0, nullptr));
    EXPECT_EQ(0u, plx_hashtable_delete(nullptr));
    EXPECT_EQ(kNotFound, plx_hashtable_value_find_ex(nullptr, "k", 0, &d, &n));
    EXPECT_EQ(kInvalid, plx_hashtable_count(nullptr, &n));
    uint32_t fake[32] = {0x1ABCDEF2};  // another record's magic
    auto *f = reinterpret_cast<plx_hashtable_t *>(fake);
    EXPECT_EQ(kInvalid, plx_hashtable_value_add(f, "", "x", 1, 1));
    EXPECT_EQ(kInvalid, plx_hashtable_value_count(f, "k", nullptr));
    EXPECT_EQ(kInvalid, plx_hashtable_copy(f, nullptr));
    EXPECT_EQ(kMagic, plx_hashtable_value_add(f, "k", "x", 1, 1));
    EXPECT_EQ(kMagic, plx_hashtable_delete(f));
    EXPECT_EQ(kInvalid, plx_hashtable_value_delete(f, nullptr));
}

/* Every step of a script either succeeds or answers out of memory with the table unchanged. */
TEST_F(HashTable, OutOfMemoryLeavesTablesAsTheyWereAndLeaksNothing) {
    for (uint32_t flags : {0x41u, 0x00u, 0x100u}) {
        vt::OomCase c;
        c.oom_codes = {kNoMem, 0x90020002};
        c.scenario = [flags]() -> uint32_t {
            plx_hashtable_t *t;
            uint32_t code = plx_hashtable_create(&t, flags, record_free);
            if (code) return code;
            static const char *keys[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n"};
            std::vector<std::function<uint32_t()>> script;
            for (const char *k : keys) script.push_back([=] { return add(t, k, k); });
            for (int i = 0; i < 5; ++i) script.push_back([=] { return add(t, "a", "again"); });
            script.push_back([=] { return plx_hashtable_value_find_ex(t, "b", 0, nullptr, nullptr); });
            script.push_back([=] { return plx_hashtable_value_update_ex(t, "b", 0, "new", 3, 1); });
            script.push_back([=] {
                plx_hashtable_t *copy;
                uint32_t r = plx_hashtable_copy(t, &copy);
                return r ? r : plx_hashtable_delete(copy);
            });
            for (auto &op : script) {
                Dump before = dump(t);
                if ((code = op()) != 0) {
                    EXPECT_EQ(before, dump(t));
                    break;
                }
            }
            plx_hashtable_delete(t);
            return code;
        };
        EXPECT_GT(vt::oom_sweep(c), 12u);  // items share chunks: a few allocations per table
    }
}

TEST_F(HashTable, SharedTableServesConcurrentWritersAndReaders) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, PLX_HASHTABLE_FLAG_THREADSAFE, nullptr));
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w)
        threads.emplace_back([t, w] {
            for (int i = 0; i < 2000; ++i) {
                std::string k = "k" + std::to_string(i % 64), v = std::to_string(i);
                if (w % 2) {
                    EXPECT_EQ(0u, add(t, k.c_str(), v));
                } else if (const void *d; plx_hashtable_value_find_ex(t, k.c_str(), 0, &d, nullptr) == 0) {
                    EXPECT_NE(0, *static_cast<const char *>(d));  // retired values stay readable
                }
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(64u, dump(t).size());
    EXPECT_EQ(0u, plx_hashtable_delete(t));
}

}  // namespace
