/* String table: arbitrary bytes offered to attach are accepted exactly when they form a valid
 * serialized buffer, and an accepted buffer comes back unchanged (trailing zeros folded) through
 * get_buffer and survives a second attach; then add, remove, lookup, enumeration, sync ids and
 * clear run against a model of ids and strings, with the serialized buffer checked after every
 * step. An allocation failure may strike any step; the table must then still delete cleanly. */
#include <algorithm>
#include <vector>

#include "fuzz_common.h"

namespace fuzz_stringtable {

constexpr uint32_t kInvalid = 0x900D0001u, kNotFound = 0x100D0003u, kRange = 0x100D0361u;

/* "ab", "bA" and "c " share a djb2 value, as do "Ab" and "BA". */
const char *const kPool[] = {"abc", "de", "fgh", "ABC", "a", "b", "\xc3\xa9", "mood", "abc ",
                             "ab", "bA", "c ", "Ab", "BA"};

/* The strings of a serialized buffer, or false when attach must refuse it. */
bool parse(const std::string &buf, std::vector<std::string> *strings) {
    if (buf.size() < 3 || buf[0] != 0 || buf.back() != 0) return false;
    size_t last = buf.find_last_not_of('\0');
    if (last == std::string::npos || buf[1] == 0) return false;
    for (size_t k = 1; k <= last + 1; ++k)
        if (buf[k] == 0 && buf[k - 1] == 0) return false;
    strings->clear();
    for (size_t start = 1; start <= last;) {
        size_t end = buf.find('\0', start);
        strings->push_back(buf.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

/* The one model of the table: strings by id, and an index ordered by djb2 alone in which a
 * store lands before the equal element a binary search (checking the last element first)
 * meets; a lookup takes the first equal string of its run. That order decides which of equal
 * attached strings a lookup or a repeated add names, so ids are predicted exactly. */
struct Model {
    std::vector<std::string> by_id; /* index id - 1; empty once removed */
    std::vector<std::pair<uint32_t, uint32_t>> index; /* (hash, id) */
    size_t removed = 0;

    static uint32_t djb2(const std::string &s) {
        uint32_t h = 5381;
        for (unsigned char c : s) h = h * 33 + c;
        return h;
    }
    void store(uint32_t h, uint32_t id) {
        auto cmp = [&](size_t i) { return index[i].first < h ? -1 : index[i].first > h ? 1 : 0; };
        size_t at = index.size();
        if (!index.empty()) {
            uint32_t lo = UINT32_MAX, hi = static_cast<uint32_t>(index.size() - 1);
            int at_hi = cmp(hi) > 0 ? 1 : 0;
            bool done = cmp(hi) < 0;
            while (!done && hi - lo > 1) {
                uint32_t mid = lo + (hi - lo) / 2;
                int c = cmp(mid);
                if (c == 0) {
                    at = mid;
                    done = true;
                } else if (c > 0) {
                    hi = mid;
                    at_hi = 1;
                } else {
                    lo = mid;
                }
            }
            if (!done) at = (at_hi ? 1 : cmp(hi)) >= 0 ? hi : hi + 1;
        }
        index.insert(index.begin() + static_cast<std::ptrdiff_t>(at), {h, id});
    }
    uint32_t find(const std::string &s) const {
        uint32_t h = djb2(s);
        auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(h, 0u),
                                   [](auto a, auto b) { return a.first < b.first; });
        for (; it != index.end() && it->first == h; ++it)
            if (by_id[it->second - 1] == s) return it->second;
        return 0;
    }
    uint32_t add(const std::string &s) {
        if (uint32_t id = find(s)) return id;
        by_id.push_back(s);
        store(djb2(s), static_cast<uint32_t>(by_id.size()));
        return static_cast<uint32_t>(by_id.size());
    }
    void remove(uint32_t id) {
        for (size_t i = 0; i < index.size(); ++i)
            if (index[i].second == id) index.erase(index.begin() + static_cast<std::ptrdiff_t>(i));
        by_id[id - 1].clear();
        ++removed;
    }
    std::vector<uint32_t> live() const {
        std::vector<uint32_t> ids;
        for (size_t k = 0; k < by_id.size(); ++k)
            if (!by_id[k].empty()) ids.push_back(static_cast<uint32_t>(k + 1));
        return ids;
    }
    std::string serialized() const {
        std::string out;
        for (uint32_t id : live()) out += std::string(1, '\0') + by_id[id - 1];
        return out.empty() ? out : out + std::string(1, '\0');
    }
    void reset(const std::vector<std::string> &strings) {
        by_id.clear();
        index.clear();
        removed = 0;
        for (const std::string &x : strings) {
            by_id.push_back(x);
            store(djb2(x), static_cast<uint32_t>(by_id.size()));
        }
    }
};

void check_table(plx_stringtable_t *t, const Model &m) {
    const void *buffer = nullptr;
    uint32_t bytes = 99;
    uint8_t changed = 9;
    FUZZ_CHECK(plx_stringtable_get_buffer(t, &buffer, &bytes, &changed) == 0);
    std::string want = m.serialized();
    FUZZ_CHECK(bytes == want.size() && (bytes == 0 || memcmp(buffer, want.data(), bytes) == 0),
               "serialized %u bytes, model %zu", bytes, want.size());
    FUZZ_CHECK(changed == (m.removed ? 1 : 0));
    std::vector<uint32_t> ids = m.live();
    uint32_t count = 99;
    FUZZ_CHECK(plx_stringtable_count(t, &count) == 0 && count == ids.size());
    for (uint32_t pos = 0; pos <= ids.size(); ++pos) {
        uint32_t id = 0, sync = 0;
        const char *s = nullptr;
        uint32_t rc = plx_stringtable_enum(t, pos, &id, &s);
        if (pos == ids.size()) {
            FUZZ_CHECK(rc == kRange);
            break;
        }
        FUZZ_CHECK(rc == 0 && id == ids[pos] && s && m.by_id[id - 1] == s, "enum %u", pos);
        FUZZ_CHECK(plx_stringtable_get_buffer_sync_ref(t, id, &sync) == 0 && sync == pos + 1);
    }
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    plx_stringtable_t *t = nullptr;
    FUZZ_CHECK(plx_stringtable_create(&t, r.u8()) == 0);
    Model m;

    /* The attach contract over raw bytes, then the round trip into a second table. */
    std::string raw = r.bytes(96);
    std::vector<std::string> strings;
    bool valid = parse(raw, &strings);
    uint32_t rc = plx_stringtable_attach_buffer(t, raw.data(), static_cast<uint32_t>(raw.size()));
    FUZZ_CHECK(rc == (valid ? 0u : kInvalid), "attach of %zu bytes gave %x", raw.size(), rc);
    if (valid) {
        m.reset(strings);
        check_table(t, m);
        const void *buffer = nullptr;
        uint32_t bytes = 0;
        FUZZ_CHECK(plx_stringtable_get_buffer(t, &buffer, &bytes, nullptr) == 0);
        plx_stringtable_t *again = nullptr;
        FUZZ_CHECK(plx_stringtable_create(&again, 0) == 0);
        FUZZ_CHECK(plx_stringtable_attach_buffer(again, buffer, bytes) == 0);
        check_table(again, m);
        FUZZ_CHECK(plx_stringtable_delete(again) == 0);
    }

    for (int steps = 0; !r.empty() && steps < 400; ++steps) {
        uint8_t op = r.u8();
        uint32_t id = r.below(static_cast<uint32_t>(m.by_id.size()) + 2);
        /* raw bytes, many distinct strings (the table grows), or the pool's repeats */
        std::string s = op & 0x40   ? r.bytes(8)
                        : op & 0x20 ? "s" + std::to_string(r.u16() % 700)
                                    : kPool[r.below(std::size(kPool))];
        s.resize(strlen(s.c_str()));
        /* The table refuses what the string module calls empty, invalid first characters too. */
        const bool refused = plx_string_isempty(s.c_str());
        /* Any step may fail for memory; the state is then no longer predicted and the run
         * ends, but deleting the table must still release everything. */
        if (op & 0x80) veltra_manager_memory_fail_after(r.below(4), 0);
        auto injected = [] {
            bool hit = veltra_manager_memory_fault_hit();
            veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
            return hit;
        };
        switch (op % 8) {
            case 0: { /* add: the id of an equal live string, or the next new id */
                uint32_t got = 0;
                rc = plx_stringtable_add_value(t, s.c_str(), &got);
                if (injected()) goto out;
                if (refused) {
                    FUZZ_CHECK(rc == kInvalid);
                    break;
                }
                FUZZ_CHECK(rc == 0, "add gave %x", rc);
                uint32_t want = m.add(s);
                FUZZ_CHECK(got == want, "add returned id %u, model %u", got, want);
                break;
            }
            case 1: /* remove */
                rc = plx_stringtable_remove_value(t, id);
                if (injected()) goto out;
                if (id == 0) {
                    FUZZ_CHECK(rc == kInvalid);
                } else if (id > m.by_id.size()) {
                    FUZZ_CHECK(rc == kRange);
                } else if (m.by_id[id - 1].empty()) {
                    FUZZ_CHECK(rc == kNotFound);
                } else {
                    FUZZ_CHECK(rc == 0, "remove %u gave %x", id, rc);
                    m.remove(id);
                }
                break;
            case 2: { /* get by id */
                const char *got = nullptr;
                rc = plx_stringtable_get_value(t, id, &got);
                uint32_t want = id == 0                   ? kInvalid
                                : id > m.by_id.size()     ? kRange
                                : m.by_id[id - 1].empty() ? kNotFound
                                                          : 0;
                FUZZ_CHECK(rc == want, "get %u gave %x", id, rc);
                if (want == 0) FUZZ_CHECK(got && m.by_id[id - 1] == got);
                break;
            }
            case 3: { /* get by string */
                uint32_t got = 0;
                rc = plx_stringtable_get_value_ref(t, s.c_str(), &got);
                uint32_t want = refused ? 0 : m.find(s);
                FUZZ_CHECK(rc == (refused ? kInvalid : want ? 0 : kNotFound));
                if (rc == 0) FUZZ_CHECK(got == want, "lookup named id %u, model %u", got, want);
                break;
            }
            case 4: { /* sync id of a removed or unknown id */
                uint32_t got = 0;
                rc = plx_stringtable_get_buffer_sync_ref(t, id, &got);
                if (id == 0) {
                    FUZZ_CHECK(rc == kInvalid);
                } else if (id <= m.by_id.size() && m.by_id[id - 1].empty()) {
                    FUZZ_CHECK(rc == kNotFound);
                } else if (id > m.by_id.size()) {
                    FUZZ_CHECK(rc != 0);
                }
                break;
            }
            case 5:
                FUZZ_CHECK(plx_stringtable_get_value(t, 1, nullptr) == kInvalid);
                FUZZ_CHECK(plx_stringtable_add_value(nullptr, "x", nullptr) == kInvalid);
                FUZZ_CHECK(plx_stringtable_delete(nullptr) == 0);
                break;
            case 6: { /* re-attach the table's own buffer: ids renumber, strings stay */
                const void *buffer = nullptr;
                uint32_t bytes = 0;
                FUZZ_CHECK(plx_stringtable_get_buffer(t, &buffer, &bytes, nullptr) == 0);
                std::string copy(static_cast<const char *>(buffer), bytes);
                std::vector<std::string> live;
                for (uint32_t i : m.live()) live.push_back(m.by_id[i - 1]);
                rc = plx_stringtable_attach_buffer(t, copy.data(), bytes);
                if (injected()) goto out;
                if (live.empty()) {
                    FUZZ_CHECK(rc == kInvalid);
                } else {
                    FUZZ_CHECK(rc == 0);
                    m.reset(live);
                }
                break;
            }
            default:
                rc = plx_stringtable_clear(t);
                if (injected()) goto out;
                FUZZ_CHECK(rc == 0);
                m.reset({});
                break;
        }
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        check_table(t, m);
    }
out:
    FUZZ_CHECK(plx_stringtable_delete(t) == 0);
}

} // namespace fuzz_stringtable

VELTRA_FUZZ_ENTRY(fuzz_stringtable::run)
