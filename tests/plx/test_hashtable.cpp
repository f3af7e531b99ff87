/* Hash table: a differential run against a model, the bucket growth rule, case folding,
 * retirement of handed-out values, copies, bad input, out of memory, allocation and step counts. */
#include <map>
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

/* The model: keys in insertion order, each with its values; keys compare per the flags. */
struct Model {
    uint32_t flags;
    std::vector<std::pair<std::string, std::vector<std::string>>> items;
    std::string fold(std::string k) const {
        for (char &c : k) c = (c >= 'a' && c <= 'z' && !(flags & 0x10)) ? c - 32 : c;
        return k;
    }
    int find(const std::string &k) const {
        for (size_t i = 0; i < items.size(); ++i)
            if (fold(items[i].first) == fold(k)) return static_cast<int>(i);
        return -1;
    }
    Dump dump() const {
        Dump d;
        for (auto &[k, vs] : items)
            for (auto &v : vs) d.emplace_back(k, v);
        return d;
    }
    void erase(size_t at, size_t idx) {
        items[at].second.erase(items[at].second.begin() + idx);
        if (items[at].second.empty()) items.erase(items.begin() + at);
    }
    void erase_flat(size_t flat) {
        for (size_t at = 0;; flat -= items[at++].second.size())
            if (flat < items[at].second.size()) return erase(at, flat);
    }
};

TEST_F(HashTable, BehavesLikeModelOverRandomOperations) {
    static const std::string pool[] = {"a", "bb", "ccc", "a somewhat longer value of 33 bytes"};
    std::vector<std::string> keys;  // stable strings: key-by-reference tables keep pointers
    for (int i = 0; i < 24; ++i) {
        keys.push_back("Key-" + std::to_string(i) + std::string(i % 9, 'x'));
        keys.push_back(Model{0, {}}.fold(keys.back()));
    }
    for (uint32_t flags : {0x00u, 0x10u, 0x20u, 0x40u, 0x50u, 0x41u, 0x1C0u}) {
        SCOPED_TRACE(flags);
        std::mt19937 rng(flags + 7);
        plx_hashtable_t *t, *c;
        ASSERT_EQ(0u, plx_hashtable_create(&t, flags, record_free));
        Model m{flags, {}};
        for (int step = 0; step < 4000; ++step) {
            const std::string &key = keys[rng() % keys.size()], &val = pool[rng() % 4];
            const char *k = key.c_str();
            Dump d = m.dump();
            uint32_t idx = rng() % 3, flat = rng() % (d.size() + 2), size, cnt = 99;
            int at = m.find(key);
            auto *vals = at >= 0 ? &m.items[at].second : nullptr;
            bool has = vals && idx < vals->size();
            const void *data;
            switch (rng() % 10) {
            case 0: case 1:
                if (!vals) m.items.push_back({key, {val}});
                else if (flags & 0x40) vals->push_back(val);
                else if (!(flags & 0x20)) (*vals)[0] = val;
                ASSERT_EQ(vals && (flags & 0x20) ? kExists : 0u, add(t, k, val, rng() % 2));
                break;
            case 2:
                if (has) (*vals)[idx] = val;
                ASSERT_EQ(has ? 0u : kNotFound, plx_hashtable_value_update_ex(t, k, idx, val.data(), val.size(), 1));
                break;
            case 3:
                ASSERT_EQ(has ? 0u : kNotFound, plx_hashtable_value_remove_ex(t, k, idx, nullptr, nullptr));
                if (has) m.erase(at, idx);
                break;
            case 4:
                ASSERT_EQ(vals ? 0u : kNotFound, plx_hashtable_value_delete(t, k));
                if (vals) m.items.erase(m.items.begin() + at);
                break;
            case 5:
                ASSERT_EQ(flat < d.size() ? 0u : kPastEnd, plx_hashtable_index_remove(t, flat));
                if (flat < d.size()) m.erase_flat(flat);
                break;
            case 6:
                ASSERT_EQ(has ? 0u : kNotFound, plx_hashtable_value_find_ex(t, k, idx, &data, &size));
                if (has) { ASSERT_EQ((*vals)[idx], std::string(static_cast<const char *>(data), size)); }
                break;
            case 7:
                ASSERT_EQ(0u, plx_hashtable_value_count(t, k, &cnt));
                ASSERT_EQ(vals ? vals->size() : 99u, cnt);
                break;
            case 8:
                ASSERT_EQ(flat < d.size() ? 0u : kPastEnd, plx_hashtable_index_get(t, flat, &k, &data, &size));
                if (flat < d.size()) { ASSERT_EQ(d[flat], Dump::value_type(k, std::string(static_cast<const char *>(data), size))); }
                break;
            default:
                if (rng() % 50 == 0) { ASSERT_EQ(0u, plx_hashtable_clear(t)); m.items.clear(); }
            }
            if (step % 40 == 0) { ASSERT_EQ(m.dump(), dump(t)) << "step " << step; }
        }
        ASSERT_EQ(0u, plx_hashtable_copy(t, &c));
        EXPECT_EQ(m.dump(), dump(c));
        EXPECT_EQ(0u, plx_hashtable_delete(c));
        EXPECT_EQ(0u, plx_hashtable_delete(t));
    }
}

TEST_F(HashTable, GrowsWhenUsedPlusCollisionsReachThreeQuartersOfTheBuckets) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, PLX_HASHTABLE_FLAG_CASE_SENSITIVE, nullptr));
    std::map<uint32_t, std::string> one_per_bucket;  // bucket of 16 -> a key hashing there
    std::string clash;
    for (int i = 0; one_per_bucket.size() < 16 || clash.empty(); ++i) {
        std::string k = "k" + std::to_string(i);
        uint32_t b = plx::genhash(k.data(), k.size(), true) & 15;
        if (!one_per_bucket.emplace(b, k).second && b == 0) clash = k;
    }
    auto it = one_per_bucket.begin();
    for (int i = 0; i < 11; ++i, ++it) ASSERT_EQ(0u, add(t, it->second.c_str(), "v"));
    EXPECT_EQ(16u, t->bucket_count);
    ASSERT_EQ(0u, add(t, clash.c_str(), "v"));  // 11 used + 1 collision: measure 16, grows
    EXPECT_EQ(32u, t->bucket_count);
    EXPECT_EQ(0u, t->collisions);
    Dump before = dump(t);
    ASSERT_EQ(12u, before.size());
    EXPECT_EQ(one_per_bucket.begin()->second, before[0].first);  // order survives the resize
    EXPECT_EQ(clash, before[11].first);
    EXPECT_EQ(0u, plx_hashtable_clear(t));
    EXPECT_EQ(32u, t->bucket_count);  // clear keeps the buckets
    EXPECT_EQ(0u, plx_hashtable_delete(t));
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

TEST_F(HashTable, MultiValueRemovalAndHandBack) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, PLX_HASHTABLE_FLAG_MULTI_VALUE, record_free));
    char mine[] = "mine";
    ASSERT_EQ(0u, add(t, "k", "one"));
    ASSERT_EQ(0u, plx_hashtable_value_add(t, "k", mine, 4, 0));
    ASSERT_EQ(0u, plx_hashtable_value_add(t, "k", nullptr, 0, 1));  // null value, size 0
    EXPECT_EQ(kInvalid, plx_hashtable_value_add(t, "k", mine, 0, 1));
    EXPECT_EQ(kInvalid, plx_hashtable_value_add(t, "k", nullptr, 3, 1));
    EXPECT_EQ((Dump{{"k", "one"}, {"k", "mine"}, {"k", "<null>"}}), dump(t));
    plx_hashtable_t *c;  // a copy copies copied data again and shares referenced data
    const void *mine_in_copy, *one_in_copy, *one;
    ASSERT_EQ(0u, plx_hashtable_copy(t, &c));
    ASSERT_EQ(0u, plx_hashtable_index_get(c, 1, nullptr, &mine_in_copy, nullptr));
    ASSERT_EQ(0u, plx_hashtable_index_get(c, 0, nullptr, &one_in_copy, nullptr));
    ASSERT_EQ(0u, plx_hashtable_index_get(t, 0, nullptr, &one, nullptr));
    EXPECT_EQ(mine, mine_in_copy);
    EXPECT_NE(one, one_in_copy);
    EXPECT_EQ(0u, plx_hashtable_delete(c));
    EXPECT_EQ(2u, g_freed.size());  // with the source's callback
    g_freed.clear();
    void *data = nullptr;
    uint32_t size = 9;
    ASSERT_EQ(0u, plx_hashtable_value_remove_ex(t, "k", 0, &data, &size));  // copied: disposed
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0u, size);
    ASSERT_EQ(1u, g_freed.size());
    EXPECT_EQ("one", g_freed[0].first);
    ASSERT_EQ(0u, plx_hashtable_value_remove_ex(t, "k", 0, &data, &size));  // referenced: back
    EXPECT_EQ(mine, data);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(1u, g_freed.size());
    ASSERT_EQ(0u, plx_hashtable_index_remove(t, 0));  // last value takes the key with it
    uint32_t count = 7;
    EXPECT_EQ(0u, plx_hashtable_value_count(t, "k", &count));
    EXPECT_EQ(7u, count);
    static char big[1];  // referenced, never read: a size too large to keep inside the item
    ASSERT_EQ(0u, plx_hashtable_value_add(t, "big", big, 0x04000000, 0));
    ASSERT_EQ(0u, add(t, "big", "2nd"));
    ASSERT_EQ(0u, plx_hashtable_value_remove_ex(t, "big", 0, &data, &size));
    EXPECT_EQ(big, data);
    EXPECT_EQ(0x04000000u, size);
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
        EXPECT_GT(vt::oom_sweep(c), 20u);
    }
}

TEST_F(HashTable, SingleValuedKeyCostsOneAllocationAndEnumerationIsAmortisedConstant) {
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, PLX_HASHTABLE_FLAG_MULTI_VALUE, nullptr));
    veltra_manager_memory_stats_t s0, s1;
    veltra_manager_memory_stats(&s0);
    uint32_t resizes = 0;
    for (int i = 0; i < 5000; ++i) {
        uint32_t buckets = t->bucket_count;
        ASSERT_EQ(0u, add(t, ("key number " + std::to_string(i)).c_str(), "1234"));
        resizes += buckets != t->bucket_count;
    }
    veltra_manager_memory_stats(&s1);
    EXPECT_EQ(5000u + resizes, s1.allocations - s0.allocations);
    for (int i = 0; i < 5000; i += 7) ASSERT_EQ(0u, add(t, ("key number " + std::to_string(i)).c_str(), "x"));
    uint32_t total, steps = 0;
    ASSERT_EQ(0u, plx_hashtable_count(t, &total));
    plx::HashItem *item;
    uint32_t pos;
    for (uint32_t i = 0; i < total; ++i) ASSERT_EQ(0u, plx::cursor_seek(t, i, &item, &pos, [&] { ++steps; }));
    EXPECT_EQ(4999u, steps);  // one step per item boundary, never a walk from the start
    EXPECT_EQ(0u, plx_hashtable_delete(t));
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
