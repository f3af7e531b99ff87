/* Vector operation sequences against a model: a std::vector of the elements, the sorted state
 * and the installed order, with the vector's own binary search replayed so that even the place
 * of a store among equal elements is predicted. Every element the vector disposes of must reach
 * the free function in the predicted order; an out-of-memory failure, injected at any step, must
 * leave the contents as they were; nothing may stay allocated at the end. */
#include <algorithm>
#include <vector>

#include "fuzz_common.h"

namespace fuzz_vector {

constexpr uint32_t kInvalid = 0x900D0001u, kSize = 0x900D0209u, kStopped = 0x900D01A0u;
constexpr uint32_t kNotVector = 0x900D0320u, kWrongMagic = 0x900D0321u;
constexpr uint32_t kNotFound = 0x100D0003u, kRange = 0x100D0361u;

int32_t ascending(const void *a, const void *b) {
    int32_t x = *static_cast<const int32_t *>(a), y = *static_cast<const int32_t *>(b);
    return x < y ? -1 : x > y;
}
int32_t descending(const void *a, const void *b) { return ascending(b, a); }

std::vector<int32_t> g_freed;
uint32_t record_free(void *element) {
    g_freed.push_back(*static_cast<int32_t *>(element));
    return 0;
}

struct Walk {
    uint32_t stop_after;
    std::vector<int32_t> seen;
};
uint32_t visit(void *data, const void *element) {
    auto *w = static_cast<Walk *>(data);
    w->seen.push_back(*static_cast<const int32_t *>(element));
    return w->seen.size() <= w->stop_after;
}

struct Model {
    std::vector<int32_t> v;
    bool sorted = false, unique = false;
    plx_vector2_compare_fn cmp = ascending;

    /* The vector's search: 0 and the match, or kNotFound and the insertion point. */
    uint32_t search(int32_t value, uint32_t *at) const {
        if (!sorted) {
            for (size_t k = 0; k < v.size(); ++k)
                if (cmp(&v[k], &value) == 0) return *at = static_cast<uint32_t>(k), 0;
            return *at = static_cast<uint32_t>(v.size()), kNotFound;
        }
        if (v.empty()) return *at = 0, kNotFound;
        int64_t lo = -1, hi = static_cast<int64_t>(v.size()) - 1;
        while (hi - lo > 1) {
            int64_t mid = (lo + hi) / 2;
            int32_t c = cmp(&v[mid], &value);
            if (c == 0) return *at = static_cast<uint32_t>(mid), 0;
            (c > 0 ? hi : lo) = mid;
        }
        int32_t c = cmp(&v[hi], &value);
        if (c == 0) return *at = static_cast<uint32_t>(hi), 0;
        *at = static_cast<uint32_t>(c > 0 ? hi : hi + 1);
        return kNotFound;
    }
    void dispose(size_t first, size_t last) {
        expected_frees.insert(expected_frees.end(), v.begin() + first, v.begin() + last);
        v.erase(v.begin() + first, v.begin() + last);
    }
    std::vector<int32_t> expected_frees;
};

std::vector<int32_t> contents(plx_vector2_t *vec) {
    void *buf = nullptr;
    uint32_t bytes = 99, esize = 0;
    FUZZ_CHECK(plx_vector2_get_buffer(vec, &buf, &bytes, &esize) == 0);
    FUZZ_CHECK(bytes % 4 == 0 && esize == 4 && (bytes == 0 || buf));
    auto *p = static_cast<int32_t *>(buf);
    return std::vector<int32_t>(p, p + bytes / 4);
}

/* Calls on a record that is not a vector, and null arguments. */
void check_bad_arguments(plx_vector2_t *vec) {
    alignas(8) static uint32_t not_vector[16] = {0x12ABCDEFu};
    auto *bad = reinterpret_cast<plx_vector2_t *>(not_vector);
    int32_t x = 1;
    uint32_t count = 7;
    void *out = nullptr;
    FUZZ_CHECK(plx_vector2_count(nullptr, &count) == 0 && count == 0);
    FUZZ_CHECK(plx_vector2_add(nullptr, &x, 4, nullptr) == kInvalid);
    FUZZ_CHECK(plx_vector2_add(vec, nullptr, 4, nullptr) == kInvalid);
    FUZZ_CHECK(plx_vector2_add(vec, &x, 8, nullptr) == kSize);
    FUZZ_CHECK(plx_vector2_getindex(vec, 0, nullptr) == kInvalid);
    FUZZ_CHECK(plx_vector2_foreach(vec, nullptr, nullptr) == kInvalid);
    FUZZ_CHECK(plx_vector2_add(bad, &x, 4, nullptr) == kNotVector);
    FUZZ_CHECK(plx_vector2_attach(bad, nullptr, 0, 4, 0) == kNotVector);
    FUZZ_CHECK(plx_vector2_getindex(bad, 0, &out) == kWrongMagic);
    FUZZ_CHECK(plx_vector2_find(bad, &x, nullptr) == kWrongMagic);
    FUZZ_CHECK(plx_vector2_deleterange(bad, 0, 0) == kWrongMagic);
    FUZZ_CHECK(plx_vector2_delete(bad) == kNotVector);
    FUZZ_CHECK(plx_vector2_set_min_size(nullptr, 4) == 0);
    FUZZ_CHECK(plx_vector2_delete(nullptr) == 0);
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    g_freed.clear();
    uint8_t config = r.u8();
    uint32_t flags =
        config & (PLX_VECTOR2_FLAG_THREADSAFE | PLX_VECTOR2_FLAG_SORTED | PLX_VECTOR2_FLAG_UNIQUE);
    plx_vector2_t *vec = nullptr;
    if (config & 0x80) {
        /* Creation under an allocation failure either works or leaves nothing behind. */
        veltra_manager_memory_fail_after(r.below(3), 0);
        uint32_t rc = plx_vector2_create(&vec, 4, flags, ascending, record_free);
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        /* The critical section's own out-of-memory code comes through unchanged. */
        FUZZ_CHECK(rc == 0 || ((rc == fz::kDatatypesNoMemory || rc == fz::kThreadNoMemory) && !vec),
                   "create gave %x", rc);
        if (!vec) return;
    } else {
        FUZZ_CHECK(plx_vector2_create(&vec, 4, flags, ascending, record_free) == 0);
    }
    Model m;
    m.sorted = flags & PLX_VECTOR2_FLAG_SORTED;
    m.unique = flags & PLX_VECTOR2_FLAG_UNIQUE;
    std::vector<std::vector<int32_t>> lent; /* caller buffers attached without ownership */

    for (int steps = 0; !r.empty() && steps < 200; ++steps) {
        uint8_t op = r.u8();
        int32_t value = static_cast<int8_t>(r.u8()) / 8; /* small range: many equal elements */
        uint32_t index = r.below(static_cast<uint32_t>(m.v.size()) + 3);
        bool oom = op & 0x80;
        if (oom) veltra_manager_memory_fail_after(r.below(2), 0);
        std::vector<int32_t> before = m.v;
        bool sorted_before = m.sorted;
        uint32_t rc = 0, want = 0;
        switch (op % 14) {
            case 0: { /* add */
                uint32_t at = 12345, place = static_cast<uint32_t>(m.v.size());
                rc = plx_vector2_add(vec, &value, 4, &at);
                bool store = true;
                if (m.sorted || m.unique) {
                    uint32_t found = m.search(value, &place);
                    store = !(found == 0 && m.unique);
                }
                if (rc == 0) {
                    if (store) m.v.insert(m.v.begin() + place, value);
                    FUZZ_CHECK(at == place, "add %d stored at %u, expected %u", value, at, place);
                }
                break;
            }
            case 1: { /* insert at a position, possibly breaking the order */
                rc = plx_vector2_insert(vec, index, &value, 4);
                if (index > m.v.size()) {
                    want = kRange;
                } else if (rc == 0) {
                    m.v.insert(m.v.begin() + index, value);
                    if (m.sorted &&
                        ((index > 0 && m.cmp(&value, &m.v[index - 1]) < 0) ||
                         (index + 1 < m.v.size() && m.cmp(&m.v[index + 1], &value) < 0)))
                        m.sorted = false;
                }
                break;
            }
            case 2: { /* getindex */
                void *element = nullptr;
                rc = plx_vector2_getindex(vec, index, &element);
                if (index >= m.v.size()) {
                    want = kRange;
                } else {
                    FUZZ_CHECK(rc != 0 || *static_cast<int32_t *>(element) == m.v[index]);
                }
                break;
            }
            case 3: { /* find: the lowest index of an equal element */
                uint32_t at = 12345;
                rc = plx_vector2_find(vec, &value, &at);
                auto it = std::find(m.v.begin(), m.v.end(), value);
                if (it == m.v.end()) {
                    want = kNotFound;
                    FUZZ_CHECK(at == 12345);
                } else {
                    FUZZ_CHECK(at == static_cast<uint32_t>(it - m.v.begin()), "find %d gave %u",
                               value, at);
                }
                break;
            }
            case 4: /* deleteindex */
                rc = plx_vector2_deleteindex(vec, index);
                if (index >= m.v.size()) {
                    want = kRange;
                } else {
                    m.dispose(index, index + 1);
                }
                break;
            case 5: { /* deleterange */
                uint32_t last = index + r.below(6) - 1;
                rc = plx_vector2_deleterange(vec, index, last);
                if (index >= m.v.size()) {
                    want = kRange;
                } else if (index <= last) {
                    m.dispose(index, std::min<size_t>(last, m.v.size() - 1) + 1);
                }
                break;
            }
            case 6: { /* sort, possibly with the other order */
                plx_vector2_compare_fn cmp = value & 1 ? descending : ascending;
                uint32_t force = value & 2;
                rc = plx_vector2_sort(vec, cmp, force);
                if (cmp != m.cmp) m.cmp = cmp, m.sorted = false;
                if (force || !m.sorted) {
                    std::sort(m.v.begin(), m.v.end(),
                              [&](int32_t a, int32_t b) { return m.cmp(&a, &b) < 0; });
                    m.sorted = true;
                }
                break;
            }
            case 7: /* clear */
                rc = plx_vector2_clear(vec);
                m.dispose(0, m.v.size());
                break;
            case 8: /* capacity changes keep the contents */
                rc = value & 1 ? plx_vector2_trim(vec) : plx_vector2_set_min_size(vec, index * 3);
                break;
            case 9: { /* foreach, stopped by the callback after some elements */
                Walk w{r.below(8), {}};
                rc = plx_vector2_foreach(vec, visit, &w);
                size_t visited = std::min<size_t>(m.v.size(), w.stop_after + 1);
                if (m.v.size() > w.stop_after) want = kStopped;
                FUZZ_CHECK(w.seen == std::vector<int32_t>(m.v.begin(), m.v.begin() + visited));
                break;
            }
            case 10: { /* attach a caller buffer, owned or lent */
                uint32_t n = r.below(12);
                std::vector<int32_t> fresh;
                for (uint32_t k = 0; k < n; ++k) fresh.push_back(static_cast<int8_t>(r.u8()) / 8);
                bool owns = value & 1;
                void *buffer = nullptr;
                if (n && owns) {
                    buffer = plx_memory_alloc(n * 4);
                    if (!buffer) break; /* an injected failure hit the test's own allocation */
                    memcpy(buffer, fresh.data(), n * 4);
                } else if (n) {
                    lent.push_back(fresh);
                    buffer = lent.back().data();
                }
                rc = plx_vector2_attach(vec, buffer, n * 4, 4, owns);
                if (rc == 0) {
                    m.dispose(0, m.v.size());
                    m.v = fresh;
                    m.sorted = false;
                } else if (owns) {
                    plx_memory_free(buffer);
                }
                break;
            }
            case 11: { /* detach hands the buffer over */
                void *buffer = nullptr;
                uint32_t capacity = 0, esize = 0;
                rc = plx_vector2_detach(vec, &buffer, &capacity, &esize);
                if (rc == 0) {
                    FUZZ_CHECK(capacity >= m.v.size() && (m.v.empty() || (buffer && esize == 4)));
                    FUZZ_CHECK(m.v.empty() || memcmp(buffer, m.v.data(), m.v.size() * 4) == 0);
                    bool is_lent = false;
                    for (auto &l : lent) is_lent = is_lent || l.data() == buffer;
                    if (!is_lent) plx_memory_free(buffer);
                    m.v.clear();
                }
                break;
            }
            case 12: { /* count */
                uint32_t count = 99;
                rc = plx_vector2_count(vec, &count);
                FUZZ_CHECK(count == m.v.size());
                break;
            }
            default:
                check_bad_arguments(vec);
                break;
        }
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        if (oom && rc == fz::kDatatypesNoMemory) {
            /* A failed store leaves everything as it was. */
            m.v = before;
            m.sorted = sorted_before;
        } else {
            FUZZ_CHECK(rc == want, "op %d: code %x, expected %x", op % 14, rc, want);
        }
        FUZZ_CHECK(contents(vec) == m.v, "op %d: contents differ from the model", op % 14);
        FUZZ_CHECK(g_freed == m.expected_frees, "op %d: freed other elements than predicted",
                   op % 14);
    }
    m.dispose(0, m.v.size());
    FUZZ_CHECK(plx_vector2_delete(vec) == 0);
    FUZZ_CHECK(g_freed == m.expected_frees, "delete freed other elements than predicted");
}

} // namespace fuzz_vector

VELTRA_FUZZ_ENTRY(fuzz_vector::run)
