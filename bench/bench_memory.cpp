/* Memory beside the timings: bytes per entry of the hash table and the string table against
 * the standard containers, and the peak of a find with 10k results against copying the same
 * pairs into a vector. Ours is counted by the host allocator, the anchors by a counting
 * allocator; both count requested bytes (no allocator overhead) and report blocks too. Prints
 * one JSON object. */
#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "bench_common.h"
#include "module_fixture.h"

namespace {

using vb::CountedString;
using vb::CountingAllocator;
using vb::g_std_counter;

struct CountedHash {
    size_t operator()(const CountedString &s) const {
        return std::hash<std::string_view>{}(std::string_view(s.data(), s.size()));
    }
};
struct AbslCountedHash {
    size_t operator()(const CountedString &s) const {
        return absl::Hash<std::string_view>{}(std::string_view(s.data(), s.size()));
    }
};

struct Figure {
    double bytes;
    double blocks;
};

/* Per-entry growth of the host allocator's live bytes and blocks across `fill`. */
template <class F>
Figure host_per_entry(size_t entries, F fill) {
    veltra_manager_memory_stats_t before = vb::host_memory();
    fill();
    veltra_manager_memory_stats_t after = vb::host_memory();
    return {static_cast<double>(after.live_bytes - before.live_bytes) / entries,
            static_cast<double>(after.live_blocks - before.live_blocks) / entries};
}

template <class F>
Figure std_per_entry(size_t entries, F fill) {
    int64_t bytes = g_std_counter.live_bytes, blocks = g_std_counter.live_blocks;
    fill();
    return {static_cast<double>(g_std_counter.live_bytes - bytes) / entries,
            static_cast<double>(g_std_counter.live_blocks - blocks) / entries};
}

bool g_first_row = true;

void row(const char *name, const char *unit, double ours, const char *anchor_name, double anchor,
         const char *note) {
    printf("%s\n    {\"case\": \"%s\", \"unit\": \"%s\", \"ours\": %.2f, \"anchor\": \"%s\", "
           "\"anchor_value\": %.2f, \"note\": \"%s\"}",
           g_first_row ? "" : ",", name, unit, ours, anchor_name, anchor, note);
    g_first_row = false;
}

void hash_rows() {
    constexpr size_t kKeys = 1000000;
    const vb::KeySet keys = vb::make_keys(kKeys, 1);
    plx_hashtable_t *table = nullptr;
    Figure ours = host_per_entry(kKeys, [&] {
        plx_hashtable_create(&table, PLX_HASHTABLE_FLAG_CASE_SENSITIVE | PLX_HASHTABLE_FLAG_UNIQUE_KEYS, nullptr);
        for (uint32_t i = 0; i < kKeys; ++i) plx_hashtable_value_add(table, keys.key(i), &i, sizeof i, 1);
    });
    plx_hashtable_delete(table);

    using StdMap = std::unordered_map<CountedString, uint32_t, CountedHash, std::equal_to<CountedString>,
                                      CountingAllocator<std::pair<const CountedString, uint32_t>>>;
    using AbslMap = absl::flat_hash_map<CountedString, uint32_t, AbslCountedHash, std::equal_to<CountedString>,
                                        CountingAllocator<std::pair<const CountedString, uint32_t>>>;
    auto *std_map = new StdMap;
    Figure std_fig = std_per_entry(kKeys, [&] {
        for (uint32_t i = 0; i < kKeys; ++i) std_map->emplace(CountedString(keys.key(i), keys.lengths[i]), i);
    });
    delete std_map;
    auto *absl_map = new AbslMap;
    Figure absl_fig = std_per_entry(kKeys, [&] {
        for (uint32_t i = 0; i < kKeys; ++i) absl_map->emplace(CountedString(keys.key(i), keys.lengths[i]), i);
    });
    delete absl_map;

    char note[128];
    snprintf(note, sizeof note, "1M keys of 16-32 bytes; blocks per entry: ours %.2f, std %.2f", ours.blocks,
             std_fig.blocks);
    row("memory.hash_bytes_per_entry", "bytes", ours.bytes, "std", std_fig.bytes, note);
    snprintf(note, sizeof note, "blocks per entry: absl %.2f", absl_fig.blocks);
    row("memory.hash_bytes_per_entry", "bytes", ours.bytes, "absl", absl_fig.bytes, note);
}

void stringtable_rows() {
    for (uint32_t n : {10000u, 100000u}) {
        const uint32_t distinct = n / 2;
        const vb::KeySet keys = vb::make_keys(distinct, 5 + n);
        const std::vector<uint32_t> order = vb::shuffled_indexes(n, 6 + n);
        plx_stringtable_t *table = nullptr;
        Figure ours = host_per_entry(distinct, [&] {
            plx_stringtable_create(&table, 0);
            for (uint32_t i : order) plx_stringtable_add_value(table, keys.key(i % distinct), nullptr);
        });
        plx_stringtable_delete(table);
        using Set = std::unordered_set<CountedString, CountedHash, std::equal_to<CountedString>,
                                       CountingAllocator<CountedString>>;
        auto *set = new Set;
        Figure anchor = std_per_entry(distinct, [&] {
            for (uint32_t i : order) {
                uint32_t k = i % distinct;
                set->insert(CountedString(keys.key(k), keys.lengths[k]));
            }
        });
        delete set;
        char name[64], note[128];
        snprintf(name, sizeof name, "memory.stringtable_bytes_per_entry_%uk", n / 1000);
        snprintf(note, sizeof note, "%u adds, %u distinct strings of 16-32 bytes; blocks per entry: ours %.4f, std %.2f",
                 n, distinct, ours.blocks, anchor.blocks);
        row(name, "bytes", ours.bytes, "std", anchor.bytes, note);
    }
}

void find_peak_row() {
    vb::ModuleFixture &m = vb::ModuleFixture::get();
    m.datasource->set_limit(10000);
    veltra_manager_memory_stats_t before = vb::host_memory();
    veltra_manager_memory_reset_peak();
    veltra_vibemesh_result_handle_t results = nullptr;
    uint32_t rc = veltra_vibemesh_presentation_find_recommendations(m.presentations[0], m.provider, 1, 1, &results);
    veltra_manager_memory_stats_t after = vb::host_memory();
    veltra_vibemesh_results_release(results);
    if (rc) {
        fprintf(stderr, "find failed: 0x%08X\n", static_cast<unsigned>(rc));
        return;
    }
    double ours = static_cast<double>(after.peak_bytes - before.live_bytes);
    double kept = static_cast<double>(after.live_bytes - before.live_bytes);

    g_std_counter.reset_peak();
    const int64_t base = g_std_counter.live_bytes;
    int64_t kept_std = 0;
    {
        std::vector<std::pair<CountedString, CountedString>, CountingAllocator<std::pair<CountedString, CountedString>>> out;
        vb::query_into(m.datasource->table(), m.user, m.mood_ids[0][0], out);
        kept_std = g_std_counter.live_bytes - base;
    }
    char note[128];
    snprintf(note, sizeof note, "10k pairs of 17-30 byte strings; held after the find: ours %.0f, vector %lld",
             kept, static_cast<long long>(kept_std));
    row("memory.find_10k_peak", "bytes", ours, "vector", static_cast<double>(g_std_counter.peak_bytes - base), note);
}

}  // namespace

int main() {
    vb::start_host();
    printf("{\"rows\": [");
    hash_rows();
    stringtable_rows();
    find_peak_row();
    printf("\n]}\n");
    vb::stop_host();
    return 0;
}
