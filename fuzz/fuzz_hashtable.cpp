/* Hash table operation sequences against a model: keys in insertion order (folded or exact by
 * the flags), each with its ordered values, copied or referenced, plus the values retired by a
 * replacement. Checks every code, every value handed out, the flat enumeration order, copies,
 * and that each disposed value reaches the free callback exactly once (in the predicted order
 * where no retirement can interfere); allocation failures are injected at any step. */
#include <algorithm>
#include <vector>

#include "fuzz_common.h"

namespace fuzz_hashtable {

constexpr uint32_t kInvalid = 0x900D0001u, kWrongMagic = 0x900D0321u, kExists = 0x900D0368u;
constexpr uint32_t kNotFound = 0x100D0003u, kRange = 0x100D0361u;

const char *const kKeys[] = {
    /* "B!" hashes like "ab" once letters are folded: a different key all the same */
    "a", "A", "ab", "AB", "aB", "B!", "key", "KEY", "x\xc3\xa9", "X\xc3\xa9", "[", "{", "k1", "k2",
    "k3",
    "k4", "k5", "k6", "k7", "k8", "k9", "k10", "k11", "k12", "k13", "k14", "k15", "k16", "k17",
    "k18", "k19", "k20", "k21", "k22", "k23",
    /* long keys, folded several bytes at a time; '@' and '`' never fold */
    "LongerKey@Name`01", "longerkey@name`01", "LONGERKEY`NAME@01", "longerkey@name`02"};
constexpr int kKeyCount = static_cast<int>(std::size(kKeys));
/* Values: caller data that outlives every table; entry 0 stands for the empty value. */
const char kData[][12] = {"", "alpha", "b", {0, 1, 2}, "long value", "Z", "12345678901"};
constexpr uint32_t kSizes[] = {0, 5, 1, 3, 10, 1, 11};
constexpr int kDataCount = static_cast<int>(std::size(kSizes));

std::vector<std::string> g_freed;
uint32_t record_free(void *data, uint32_t size) {
    g_freed.emplace_back(static_cast<const char *>(data), size);
    return 0;
}

struct Value {
    int data = 0; /* index into kData; 0 for the empty value */
    bool copied = false;
    bool handed_out = false;
    std::string bytes() const { return std::string(kData[data], kSizes[data]); }
};
struct Item {
    const char *key; /* as first added */
    std::vector<Value> values;
};

struct Model {
    uint32_t flags = 0;
    std::vector<Item> items;
    std::vector<Value> retired;
    std::vector<std::string> disposed; /* what the free callback must have seen */

    bool same(const char *a, const char *b) const {
        return flags & PLX_HASHTABLE_FLAG_CASE_SENSITIVE ? strcmp(a, b) == 0
                                                         : strcasecmp(a, b) == 0;
    }
    Item *find(const char *key) {
        for (Item &it : items)
            if (same(it.key, key)) return &it;
        return nullptr;
    }
    uint32_t total() const {
        uint32_t n = 0;
        for (const Item &it : items) n += static_cast<uint32_t>(it.values.size());
        return n;
    }
    bool retires() const {
        return (flags & PLX_HASHTABLE_FLAG_THREADSAFE) && !(flags & PLX_HASHTABLE_FLAG_NO_RETIRE);
    }
    void dispose(const Value &v) {
        if (v.data) disposed.push_back(v.bytes());
    }
    void replace(Value &slot, const Value &fresh) {
        if (slot.handed_out && retires()) {
            retired.push_back(slot);
        } else {
            dispose(slot);
        }
        slot = fresh;
    }
    /* The item and in-item position of a flat index, or false past the end. */
    bool locate(uint32_t flat, size_t *item, size_t *pos) const {
        for (size_t k = 0; k < items.size(); ++k) {
            if (flat < items[k].values.size()) return *item = k, *pos = flat, true;
            flat -= static_cast<uint32_t>(items[k].values.size());
        }
        return false;
    }
};

void check_value(const Value &v, const void *data, uint32_t size) {
    FUZZ_CHECK(size == kSizes[v.data], "size %u, expected %u", size, kSizes[v.data]);
    if (v.data == 0) {
        FUZZ_CHECK(data == nullptr);
    } else if (v.copied) {
        FUZZ_CHECK(data && data != kData[v.data] && memcmp(data, kData[v.data], size) == 0);
    } else {
        FUZZ_CHECK(data == kData[v.data], "a referenced value came back as another pointer");
    }
}

/* The whole table through the flat index; every value counts as handed out afterwards. */
void check_all(plx_hashtable_t *t, Model &m) {
    uint32_t count = 99;
    FUZZ_CHECK(plx_hashtable_count(t, &count) == 0 && count == m.total(), "count %u, model %u",
               count, m.total());
    uint32_t flat = 0;
    for (Item &it : m.items) {
        for (Value &v : it.values) {
            const char *key = nullptr;
            const void *data = nullptr;
            uint32_t size = 99;
            FUZZ_CHECK(plx_hashtable_index_get(t, flat++, &key, &data, &size) == 0);
            FUZZ_CHECK(key && strcmp(key, it.key) == 0, "index %u: key %s, expected %s", flat - 1,
                       key, it.key);
            if (m.flags & PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE) FUZZ_CHECK(key == it.key);
            check_value(v, data, size);
            v.handed_out = true;
        }
    }
    FUZZ_CHECK(plx_hashtable_index_get(t, flat, nullptr, nullptr, nullptr) == kRange);
}

void check_bad_arguments(plx_hashtable_t *t) {
    alignas(8) static uint32_t not_table[32] = {0xABCDEF13u};
    auto *bad = reinterpret_cast<plx_hashtable_t *>(not_table);
    uint32_t count = 0;
    FUZZ_CHECK(plx_hashtable_value_add(t, "", "x", 1, 1) == kInvalid);
    FUZZ_CHECK(plx_hashtable_value_add(t, nullptr, "x", 1, 1) == kInvalid);
    FUZZ_CHECK(plx_hashtable_value_add(t, "k", "x", 0, 1) == kInvalid);
    FUZZ_CHECK(plx_hashtable_value_add(t, "k", nullptr, 3, 0) == kInvalid);
    FUZZ_CHECK(plx_hashtable_value_add(nullptr, "k", "x", 1, 1) == kInvalid);
    FUZZ_CHECK(plx_hashtable_count(t, nullptr) == kInvalid);
    FUZZ_CHECK(plx_hashtable_value_find_ex(nullptr, "k", 0, nullptr, nullptr) == kNotFound);
    FUZZ_CHECK(plx_hashtable_count(bad, &count) == kWrongMagic);
    FUZZ_CHECK(plx_hashtable_value_add(bad, "k", "x", 1, 1) == kWrongMagic);
    FUZZ_CHECK(plx_hashtable_index_remove(bad, 0) == kWrongMagic);
    FUZZ_CHECK(plx_hashtable_delete(nullptr) == 0);
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    g_freed.clear();
    Model m;
    m.flags = (r.u8() & 0xF1u) | (r.u8() & 1u) << 8;
    plx_hashtable_t *t = nullptr;
    FUZZ_CHECK(plx_hashtable_create(&t, m.flags, record_free) == 0);
    /* The exact order of disposals is known while no value can be retired. */
    const bool ordered = !m.retires();

    for (int steps = 0; !r.empty() && steps < 300; ++steps) {
        uint8_t op = r.u8();
        const char *key = kKeys[r.below(kKeyCount)];
        Value fresh;
        fresh.data = r.below(kDataCount);
        fresh.copied = op & 0x40;
        uint32_t index = r.below(4);
        bool oom = op & 0x80 && (op & 0x20);
        if (oom) veltra_manager_memory_fail_after(r.below(3), 0);
        const std::vector<Item> items_before = m.items;
        const std::vector<Value> retired_before = m.retired;
        const size_t freed_before = g_freed.size(), disposed_before = m.disposed.size();
        Item *it = m.find(key);
        uint32_t rc = 0, want = 0;
        switch (op % 12) {
            case 0: { /* add by the flags: new key, refused, further value or replacement */
                rc = plx_hashtable_value_add(t, key, fresh.data ? kData[fresh.data] : nullptr,
                                             kSizes[fresh.data], fresh.copied);
                if (!it) {
                    m.items.push_back({key, {fresh}});
                } else if (m.flags & PLX_HASHTABLE_FLAG_UNIQUE_KEYS) {
                    want = kExists;
                } else if (m.flags & PLX_HASHTABLE_FLAG_MULTI_VALUE) {
                    it->values.push_back(fresh);
                } else {
                    m.replace(it->values[0], fresh);
                }
                break;
            }
            case 1: { /* value count of an absent key leaves the out alone */
                uint32_t count = 77;
                rc = plx_hashtable_value_count(t, key, &count);
                FUZZ_CHECK(count == (it ? it->values.size() : 77u));
                break;
            }
            case 2: { /* find one value of a key */
                const void *got = nullptr;
                uint32_t got_size = 99;
                rc = plx_hashtable_value_find_ex(t, key, index, &got, &got_size);
                if (!it || index >= it->values.size()) {
                    want = kNotFound;
                } else {
                    check_value(it->values[index], got, got_size);
                    it->values[index].handed_out = true;
                }
                break;
            }
            case 3: /* update one value */
                rc = plx_hashtable_value_update_ex(t, key, index,
                                                   fresh.data ? kData[fresh.data] : nullptr,
                                                   kSizes[fresh.data], fresh.copied);
                if (!it || index >= it->values.size()) {
                    want = kNotFound;
                } else {
                    m.replace(it->values[index], fresh);
                }
                break;
            case 4: { /* remove one value: a referenced one goes back to the caller */
                void *got = reinterpret_cast<void *>(1);
                uint32_t got_size = 99;
                rc = plx_hashtable_value_remove_ex(t, key, index, &got, &got_size);
                if (!it || index >= it->values.size()) {
                    want = kNotFound;
                    break;
                }
                Value v = it->values[index];
                if (v.copied || v.data == 0) {
                    FUZZ_CHECK(got == nullptr && got_size == 0, "a copied value came back");
                    m.dispose(v);
                } else {
                    FUZZ_CHECK(got == kData[v.data] && got_size == kSizes[v.data]);
                }
                it->values.erase(it->values.begin() + index);
                if (it->values.empty()) m.items.erase(m.items.begin() + (it - m.items.data()));
                break;
            }
            case 5: /* remove a key */
                rc = plx_hashtable_value_delete(t, key);
                if (!it) {
                    want = kNotFound;
                } else {
                    for (const Value &v : it->values) m.dispose(v);
                    m.items.erase(m.items.begin() + (it - m.items.data()));
                }
                break;
            case 6: { /* flat index lookup */
                uint32_t flat = r.below(m.total() + 2);
                const char *got_key = nullptr;
                const void *got = nullptr;
                uint32_t got_size = 99;
                size_t item, pos;
                rc = plx_hashtable_index_get(t, flat, &got_key, &got, &got_size);
                if (!m.locate(flat, &item, &pos)) {
                    want = kRange;
                } else {
                    FUZZ_CHECK(got_key && strcmp(got_key, m.items[item].key) == 0);
                    check_value(m.items[item].values[pos], got, got_size);
                    m.items[item].values[pos].handed_out = true;
                }
                break;
            }
            case 7: { /* flat index removal disposes of the value */
                uint32_t flat = r.below(m.total() + 2);
                size_t item, pos;
                rc = plx_hashtable_index_remove(t, flat);
                if (!m.locate(flat, &item, &pos)) {
                    want = kRange;
                } else {
                    m.dispose(m.items[item].values[pos]);
                    m.items[item].values.erase(m.items[item].values.begin() + pos);
                    if (m.items[item].values.empty()) m.items.erase(m.items.begin() + item);
                }
                break;
            }
            case 8: /* clear: retired values first, then every item in order */
                rc = plx_hashtable_clear(t);
                for (const Value &v : m.retired) m.dispose(v);
                for (const Item &i : m.items)
                    for (const Value &v : i.values) m.dispose(v);
                m.items.clear();
                m.retired.clear();
                break;
            case 9: { /* a copy holds the same keys and values in the same order */
                plx_hashtable_t *copy = nullptr;
                rc = plx_hashtable_copy(t, &copy);
                /* A failed copy disposes of what it had copied: not the model's business. */
                g_freed.resize(freed_before);
                if (rc != 0) break;
                Model cm;
                cm.flags = m.flags;
                cm.items = m.items;
                for (Item &i : cm.items)
                    for (Value &v : i.values) v.handed_out = false;
                check_all(copy, cm);
                FUZZ_CHECK(plx_hashtable_delete(copy) == 0);
                for (const Item &i : cm.items)
                    for (const Value &v : i.values) m.dispose(v);
                break;
            }
            case 10:
                check_all(t, m);
                break;
            default:
                check_bad_arguments(t);
                break;
        }
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        if (oom && (rc == fz::kDatatypesNoMemory || rc == fz::kThreadNoMemory)) {
            m.items = items_before;
            m.retired = retired_before;
            FUZZ_CHECK(g_freed.size() == freed_before, "a failed operation disposed of values");
            m.disposed.resize(disposed_before);
            continue;
        }
        FUZZ_CHECK(rc == want, "op %d key %s: code %x, expected %x", op % 12, key, rc, want);
        if (ordered)
            FUZZ_CHECK(g_freed == m.disposed, "op %d: disposals differ from the model", op % 12);
        if (op & 0x10) check_all(t, m);
    }
    check_all(t, m);
    FUZZ_CHECK(plx_hashtable_delete(t) == 0);
    for (const Value &v : m.retired) m.dispose(v);
    for (const Item &i : m.items)
        for (const Value &v : i.values) m.dispose(v);
    std::vector<std::string> got = g_freed, want = m.disposed;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    FUZZ_CHECK(got == want, "%zu values reached the free callback, %zu expected", got.size(),
               want.size());
}

} // namespace fuzz_hashtable

VELTRA_FUZZ_ENTRY(fuzz_hashtable::run)
