/* String map operation sequences against a model of keys in insertion order with their string
 * values (copied, or the caller's very pointers), across the flag combinations: replacement,
 * refused and multiple values per key, case folding. Copies must read back the same; allocation
 * failures are injected at any step and must change nothing. */
#include <vector>

#include "fuzz_common.h"

namespace fuzz_stringmap {

constexpr uint32_t kInvalid = 0x900D0001u, kWrongMagic = 0x900D0321u, kExists = 0x900D0368u;
constexpr uint32_t kNotFound = 0x100D0003u, kRange = 0x100D0361u;

const char *const kKeys[] = {"k",
                             "K",
                             "key",
                             "Key",
                             "mood",
                             "MOOD",
                             "\xc3\xa9t\xc3\xa9",
                             "\xc3\x89T\xc3\x89",
                             "g1",
                             "g2",
                             "g3",
                             "g4",
                             "g5",
                             "g6",
                             "g7",
                             "g8",
                             "g9",
                             "g10",
                             "g11",
                             "g12",
                             "g13",
                             "g14",
                             "g15",
                             "g16",
                             "g17"};
/* nullptr stands for a null value. */
const char *const kValues[] = {nullptr,       "", "abc", "de", "a longer value with spaces",
                               "\xe2\x82\xac"};

struct Item {
    const char *key;
    std::vector<int> values; /* indexes into kValues */
};

struct Model {
    uint32_t flags = 0;
    std::vector<Item> items;
    Item *find(const char *key) {
        for (Item &it : items)
            if (flags & PLX_HASHTABLE_FLAG_CASE_SENSITIVE ? strcmp(it.key, key) == 0
                                                          : strcasecmp(it.key, key) == 0)
                return &it;
        return nullptr;
    }
    uint32_t total() const {
        uint32_t n = 0;
        for (const Item &it : items) n += static_cast<uint32_t>(it.values.size());
        return n;
    }
};

void check_value(const Model &m, int want, const char *got) {
    if (!kValues[want]) {
        FUZZ_CHECK(got == nullptr, "a null value came back as \"%s\"", got);
    } else if (m.flags & PLX_STRINGMAP_FLAG_VALUE_BY_REFERENCE) {
        FUZZ_CHECK(got == kValues[want], "not the caller's pointer");
    } else {
        FUZZ_CHECK(got && got != kValues[want] && strcmp(got, kValues[want]) == 0);
    }
}

void check_all(plx_stringmap_t *map, const Model &m) {
    uint32_t count = 99;
    FUZZ_CHECK(plx_stringmap_count(map, &count) == 0 && count == m.total());
    uint32_t flat = 0;
    for (const Item &it : m.items) {
        uint32_t n = 99;
        FUZZ_CHECK(plx_stringmap_value_count(map, it.key, &n) == 0 && n == it.values.size());
        for (size_t k = 0; k < it.values.size(); ++k) {
            const char *key = nullptr, *value = reinterpret_cast<const char *>(1);
            FUZZ_CHECK(plx_stringmap_value_get(map, flat++, &key, &value) == 0);
            FUZZ_CHECK(key && strcmp(key, it.key) == 0, "flat %u: key %s, expected %s", flat - 1,
                       key, it.key);
            check_value(m, it.values[k], value);
            value = reinterpret_cast<const char *>(1);
            FUZZ_CHECK(plx_stringmap_value_find_ex(map, it.key, static_cast<uint32_t>(k), &value) ==
                       0);
            check_value(m, it.values[k], value);
        }
    }
    FUZZ_CHECK(plx_stringmap_value_get(map, flat, nullptr, nullptr) == kRange);
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    Model m;
    uint8_t config = r.u8();
    m.flags = (config & 0x71u) | (config & 0x80u ? PLX_STRINGMAP_FLAG_VALUE_BY_REFERENCE : 0u) |
              (config & 0x02u ? PLX_HASHTABLE_FLAG_KEY_BY_REFERENCE : 0u);
    plx_stringmap_t *map = nullptr;
    if (config & 0x04) {
        veltra_manager_memory_fail_after(r.below(3), 0);
        uint32_t rc = plx_stringmap_create(&map, m.flags);
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        FUZZ_CHECK(rc == 0 || rc == fz::kDatatypesNoMemory || rc == fz::kThreadNoMemory,
                   "create gave %x", rc);
        if (rc) return;
    } else {
        FUZZ_CHECK(plx_stringmap_create(&map, m.flags) == 0);
    }

    for (int steps = 0; !r.empty() && steps < 300; ++steps) {
        uint8_t op = r.u8();
        const char *key = kKeys[r.below(std::size(kKeys))];
        int value = static_cast<int>(r.below(std::size(kValues)));
        uint32_t index = r.below(3);
        bool oom = op & 0x80;
        if (oom) veltra_manager_memory_fail_after(r.below(3), 0);
        const std::vector<Item> before = m.items;
        Item *it = m.find(key);
        uint32_t rc = 0, want = 0;
        switch (op % 8) {
            case 0:
                rc = plx_stringmap_value_add(map, key, kValues[value]);
                if (!it) {
                    m.items.push_back({key, {value}});
                } else if (m.flags & PLX_HASHTABLE_FLAG_UNIQUE_KEYS) {
                    want = kExists;
                } else if (m.flags & PLX_HASHTABLE_FLAG_MULTI_VALUE) {
                    it->values.push_back(value);
                } else {
                    it->values[0] = value;
                }
                break;
            case 1: {
                const char *got = reinterpret_cast<const char *>(1);
                rc = plx_stringmap_value_find_ex(map, key, index, &got);
                if (!it || index >= it->values.size()) {
                    want = kNotFound;
                } else {
                    check_value(m, it->values[index], got);
                }
                break;
            }
            case 2: {
                uint32_t n = 99;
                rc = plx_stringmap_value_count(map, key, &n);
                FUZZ_CHECK(n == (it ? it->values.size() : 0u), "count of %s: %u", key, n);
                break;
            }
            case 3:
                rc = plx_stringmap_value_delete(map, key);
                if (!it) {
                    want = kNotFound;
                } else {
                    m.items.erase(m.items.begin() + (it - m.items.data()));
                }
                break;
            case 4:
                rc = plx_stringmap_clear(map);
                m.items.clear();
                break;
            case 5: {
                plx_stringmap_t *copy = nullptr;
                rc = plx_stringmap_copy(map, &copy);
                if (rc == 0) {
                    check_all(copy, m);
                    FUZZ_CHECK(plx_stringmap_delete(copy) == 0);
                }
                break;
            }
            case 6: {
                alignas(8) static uint32_t not_map[16] = {0x12ABCDEFu};
                auto *bad = reinterpret_cast<plx_stringmap_t *>(not_map);
                uint32_t n = 0;
                FUZZ_CHECK(plx_stringmap_value_add(map, "", "x") == kInvalid);
                FUZZ_CHECK(plx_stringmap_value_add(nullptr, "k", "x") == kInvalid);
                FUZZ_CHECK(plx_stringmap_count(map, nullptr) == kInvalid);
                FUZZ_CHECK(plx_stringmap_copy(map, nullptr) == kInvalid);
                FUZZ_CHECK(plx_stringmap_count(bad, &n) == kWrongMagic);
                FUZZ_CHECK(plx_stringmap_value_find_ex(bad, "k", 0, nullptr) == kWrongMagic);
                FUZZ_CHECK(plx_stringmap_delete(nullptr) == 0);
                break;
            }
            default:
                check_all(map, m);
                break;
        }
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        if (oom && (rc == fz::kDatatypesNoMemory || rc == fz::kThreadNoMemory)) {
            m.items = before;
        } else {
            FUZZ_CHECK(rc == want, "op %d key %s: code %x, expected %x", op % 8, key, rc, want);
        }
        if (op & 0x40) check_all(map, m);
    }
    check_all(map, m);
    FUZZ_CHECK(plx_stringmap_delete(map) == 0);
}

} // namespace fuzz_stringmap

VELTRA_FUZZ_ENTRY(fuzz_stringmap::run)
