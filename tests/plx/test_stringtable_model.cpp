/* plx_stringtable against a plain model over long random runs that grow the table many times:
 * adds (some meeting a failing allocation), removals, lookups, attaches and clears. Checks ids,
 * lookups, count, enumeration order, sync ids, the ids-changed flag and the buffer. */
#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "test_support.h"

constexpr uint32_t kNotFound = 0x100D0003, kOutOfRange = 0x100D0361;

using StringTableModel = vt::ManagerTest;

TEST_F(StringTableModel, MatchesAPlainModel) {
    ASSERT_EQ(0u, plx_datatypes_initialize());
    plx_stringtable_t *t = nullptr;
    ASSERT_EQ(0u, plx_stringtable_create(&t, 0));
    std::vector<std::string> by_id;                  /* "" once removed */
    std::unordered_map<std::string, uint32_t> live;  /* string -> id */
    auto check = [&] {
        uint32_t count = 0, position = 0, id = 0, size = 0;
        const char *s = nullptr;
        std::string buffer;
        for (uint32_t i = 1; i <= by_id.size(); ++i) {
            if (by_id[i - 1].empty()) continue;
            buffer += std::string(1, '\0') + by_id[i - 1];
            ASSERT_EQ(0u, plx_stringtable_enum(t, position++, &id, &s));
            ASSERT_EQ(i, id);
            ASSERT_EQ(by_id[i - 1], s);
            ASSERT_EQ(0u, plx_stringtable_get_buffer_sync_ref(t, i, &id));
            ASSERT_EQ(position, id);
        }
        ASSERT_EQ(0u, plx_stringtable_count(t, &count));
        EXPECT_EQ(position, count);
        EXPECT_EQ(kOutOfRange, plx_stringtable_enum(t, position, &id, &s));
        const void *bytes = nullptr;
        uint8_t changed = 2;
        ASSERT_EQ(0u, plx_stringtable_get_buffer(t, &bytes, &size, &changed));
        if (!buffer.empty()) buffer += '\0';
        EXPECT_EQ(buffer, std::string(static_cast<const char *>(bytes), size));
        EXPECT_EQ(position < by_id.size() ? 1u : 0u, changed);
    };
    std::mt19937 rng(5);
    for (int step = 0; step < 12000; ++step) {
        const bool removing = (step / 1500) % 2 == 1;  /* other phases keep every id live */
        const uint32_t op = rng() % 100;
        const std::string s = "s" + std::to_string(rng() % 2500) + std::string(rng() % 20, 'x');
        uint32_t id = 0, victim = 1 + rng() % static_cast<uint32_t>(by_id.size() + 1);
        if (op < 55 || (op < 70 && !removing)) {
            if (rng() % 8 == 0) veltra_manager_memory_fail_after(rng() % 4, 0);
            const uint32_t code = plx_stringtable_add_value(t, s.c_str(), &id);
            const bool hit = veltra_manager_memory_fault_hit() != 0;
            veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
            ASSERT_TRUE(code == 0 || (hit && (code == 0x900D0002u || code == 0x90050002u)));
            if (code == 0 && !live.count(s)) by_id.push_back(s), live[s] = by_id.size();
            ASSERT_TRUE(code != 0 || live[s] == id) << step;
        } else if (op < 70) {
            const uint32_t want = victim > by_id.size()         ? kOutOfRange
                                  : by_id[victim - 1].empty() ? kNotFound
                                                              : 0;
            veltra_manager_memory_fail_after(0, 1);  /* removal never allocates */
            ASSERT_EQ(want, plx_stringtable_remove_value(t, victim)) << step;
            veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
            if (want == 0) live.erase(by_id[victim - 1]), by_id[victim - 1].clear();
        } else if (op < 97 || (op == 99 && rng() % 16)) {
            const uint32_t want = live.count(s) ? live[s] : 0;
            ASSERT_EQ(want ? 0u : kNotFound, plx_stringtable_get_value_ref(t, s.c_str(), &id));
            EXPECT_EQ(want, want ? id : 0u) << step;
        } else if (op < 99) {  /* the live strings and a few new ones, shuffled, as ids 1, 2 ... */
            std::vector<std::string> next;
            for (const std::string &x : by_id)
                if (!x.empty()) next.push_back(x);
            for (int i = 0; i < 3; ++i) next.push_back("n" + std::to_string(step * 3 + i));
            std::shuffle(next.begin(), next.end(), rng);
            std::string b;
            for (const std::string &x : next) b += std::string(1, '\0') + x;
            ASSERT_EQ(0u, plx_stringtable_attach_buffer(t, b.data(), uint32_t(b.size() + 1)));
            by_id = next;  /* every live string is in next, so live needs no clearing */
            for (uint32_t i = 0; i < next.size(); ++i) live[next[i]] = i + 1;
        } else {
            ASSERT_EQ(0u, plx_stringtable_clear(t));
            by_id.clear(), live.clear();
        }
        if (step % 250 == 0 || op >= 97) {
            ASSERT_NO_FATAL_FAILURE(check()) << step;
        }
    }
    EXPECT_EQ(0u, plx_stringtable_delete(t));
    plx_datatypes_shutdown();
}
