/* String table: arbitrary bytes offered to attach are accepted exactly when they form a valid
 * serialized buffer, and an accepted buffer comes back unchanged (trailing zeros folded) through
 * get_buffer and survives a second attach; then add, remove, lookup, enumeration, sync ids and
 * clear run against a model of ids and strings, with the serialized buffer checked after every
 * step. An allocation failure may strike any step; the table must then still delete cleanly. */
#include <vector>

#include "fuzz_common.h"

namespace fuzz_stringtable {

constexpr uint32_t kInvalid = 0x900D0001u, kNotFound = 0x100D0003u, kRange = 0x100D0361u;

const char *const kPool[] = {"abc", "de", "fgh", "ABC", "a", "b", "\xc3\xa9", "mood", "abc "};

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

struct Model {
    std::vector<std::string> by_id; /* index id - 1; empty once removed */
    size_t removed = 0;
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
        by_id = strings;
        removed = 0;
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

    for (int steps = 0; !r.empty() && steps < 100; ++steps) {
        uint8_t op = r.u8();
        uint32_t id = r.below(static_cast<uint32_t>(m.by_id.size()) + 2);
        std::string s = op & 0x40 ? r.bytes(8) : kPool[r.below(std::size(kPool))];
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
                bool present = false;
                for (const std::string &e : m.by_id) present = present || e == s;
                if (present) {
                    FUZZ_CHECK(got >= 1 && got <= m.by_id.size() && m.by_id[got - 1] == s,
                               "add returned id %u", got);
                } else {
                    m.by_id.push_back(s);
                    FUZZ_CHECK(got == m.by_id.size(), "new string got id %u", got);
                }
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
                    m.by_id[id - 1].clear();
                    ++m.removed;
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
                bool present = false;
                for (const std::string &e : m.by_id) present = present || e == s;
                FUZZ_CHECK(rc == (refused ? kInvalid : present ? 0 : kNotFound));
                if (rc == 0) FUZZ_CHECK(got >= 1 && got <= m.by_id.size() && m.by_id[got - 1] == s);
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
