/* Containers against the standard library and GLib: hash table, vector, sorting, string
 * table. All sides of a case run on the same data; building and tearing down the structures outside the
 * measured operation is done with the timer paused. */
#include <absl/container/flat_hash_map.h>
#include <glib.h>
#include <stdlib.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "bench_common.h"

namespace {

using vb::KeySet;

constexpr size_t kHashKeys = 1000000;
constexpr uint32_t kHashFlags = PLX_HASHTABLE_FLAG_CASE_SENSITIVE | PLX_HASHTABLE_FLAG_UNIQUE_KEYS;

const KeySet &hash_keys() {
    static const KeySet keys = vb::make_keys(kHashKeys, 1);
    return keys;
}
const std::vector<uint32_t> &hash_order() {
    static const std::vector<uint32_t> order = vb::shuffled_indexes(kHashKeys, 2);
    return order;
}

/* ---- hash table ------------------------------------------------------------------------- */

plx_hashtable_t *build_table(benchmark::State &state) {
    const KeySet &keys = hash_keys();
    plx_hashtable_t *t = nullptr;
    if (!vb::ok(state, plx_hashtable_create(&t, kHashFlags, nullptr), "create")) return nullptr;
    for (uint32_t i = 0; i < keys.size(); ++i) {
        if (!vb::ok(state, plx_hashtable_value_add(t, keys.key(i), &i, sizeof i, 1), "add")) {
            plx_hashtable_delete(t);
            return nullptr;
        }
    }
    return t;
}

template <class Map>
Map *build_map() {
    const KeySet &keys = hash_keys();
    auto *m = new Map;
    for (uint32_t i = 0; i < keys.size(); ++i) m->emplace(std::string(keys.key(i), keys.lengths[i]), i);
    return m;
}

void hash_insert_ours(benchmark::State &state) {
    for (auto _ : state) {
        plx_hashtable_t *t = build_table(state);
        if (!t) break;
        state.PauseTiming();
        plx_hashtable_delete(t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

template <class Map>
void hash_insert_anchor(benchmark::State &state) {
    for (auto _ : state) {
        Map *m = build_map<Map>();
        state.PauseTiming();
        delete m;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

/* Both find cases read their probe keys in probe order from memory laid out in that order and
 * built before the timing, so neither is charged for gathering keys scattered over the key set.
 * Ours: a contiguous copy of the NUL-terminated keys and a pointer to each. */
struct ProbeKeys {
    std::vector<char> bytes;
    std::vector<const char *> keys;
};
ProbeKeys make_probe_keys() {
    const KeySet &keys = hash_keys();
    ProbeKeys p;
    p.bytes.reserve(keys.bytes.size());
    std::vector<size_t> starts;
    starts.reserve(kHashKeys);
    for (uint32_t i : hash_order()) {
        starts.push_back(p.bytes.size());
        p.bytes.insert(p.bytes.end(), keys.key(i), keys.key(i) + keys.lengths[i] + 1);
    }
    p.keys.reserve(kHashKeys);
    for (size_t start : starts) p.keys.push_back(p.bytes.data() + start);
    return p;
}

void hash_find_ours(benchmark::State &state) {
    const ProbeKeys probes = make_probe_keys();
    plx_hashtable_t *t = build_table(state);
    if (!t) return;
    for (auto _ : state) {
        for (const char *key : probes.keys) {
            const void *data = nullptr;
            uint32_t size = 0;
            uint32_t rc = plx_hashtable_value_find_ex(t, key, 0, &data, &size);
            benchmark::DoNotOptimize(rc);
            benchmark::DoNotOptimize(data);
        }
    }
    plx_hashtable_delete(t);
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

/* The anchor looks up prebuilt std::string keys (their 16-32 byte contents on the heap in probe
 * order), so it is not charged for building them. */
template <class Map>
void hash_find_anchor(benchmark::State &state) {
    const KeySet &keys = hash_keys();
    std::vector<std::string> probes;
    probes.reserve(kHashKeys);
    for (uint32_t i : hash_order()) probes.emplace_back(keys.key(i), keys.lengths[i]);
    Map *m = build_map<Map>();
    for (auto _ : state) {
        for (const std::string &k : probes) {
            auto it = m->find(k);
            benchmark::DoNotOptimize(it);
        }
    }
    delete m;
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

void hash_enum_ours(benchmark::State &state) {
    plx_hashtable_t *t = build_table(state);
    if (!t) return;
    for (auto _ : state) {
        for (uint32_t i = 0; i < kHashKeys; ++i) {
            const char *key = nullptr;
            const void *data = nullptr;
            uint32_t size = 0;
            uint32_t rc = plx_hashtable_index_get(t, i, &key, &data, &size);
            benchmark::DoNotOptimize(rc);
            benchmark::DoNotOptimize(key);
        }
    }
    plx_hashtable_delete(t);
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

template <class Map>
void hash_enum_anchor(benchmark::State &state) {
    Map *m = build_map<Map>();
    for (auto _ : state) {
        for (const auto &kv : *m) {
            const char *key = kv.first.c_str();
            benchmark::DoNotOptimize(key);
            benchmark::DoNotOptimize(kv.second);
        }
    }
    delete m;
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

/* GLib's string table as a C program sets it up: keys copied with g_strdup and freed by the
 * table, values stored in the pointer. */
GHashTable *build_glib_table() {
    const KeySet &keys = hash_keys();
    GHashTable *h = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    for (uint32_t i = 0; i < keys.size(); ++i)
        g_hash_table_insert(h, g_strndup(keys.key(i), keys.lengths[i]), GUINT_TO_POINTER(i));
    return h;
}

void hash_insert_glib(benchmark::State &state) {
    for (auto _ : state) {
        GHashTable *h = build_glib_table();
        state.PauseTiming();
        g_hash_table_destroy(h);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

void hash_find_glib(benchmark::State &state) {
    const ProbeKeys probes = make_probe_keys();
    GHashTable *h = build_glib_table();
    for (auto _ : state) {
        for (const char *key : probes.keys) {
            gpointer value = nullptr;
            gboolean found = g_hash_table_lookup_extended(h, key, nullptr, &value);
            benchmark::DoNotOptimize(found);
            benchmark::DoNotOptimize(value);
        }
    }
    g_hash_table_destroy(h);
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

void hash_enum_glib(benchmark::State &state) {
    GHashTable *h = build_glib_table();
    for (auto _ : state) {
        GHashTableIter it;
        gpointer key, value;
        g_hash_table_iter_init(&it, h);
        while (g_hash_table_iter_next(&it, &key, &value)) {
            benchmark::DoNotOptimize(key);
            benchmark::DoNotOptimize(value);
        }
    }
    g_hash_table_destroy(h);
    state.SetItemsProcessed(state.iterations() * kHashKeys);
}

using StdMap = std::unordered_map<std::string, uint32_t>;
using AbslMap = absl::flat_hash_map<std::string, uint32_t>;

/* ---- vector ----------------------------------------------------------------------------- */

constexpr uint32_t kVectorCount = 1000000;
constexpr uint32_t kVectorProbes = 200000;

int32_t compare_u64(const void *a, const void *b) {
    uint64_t x, y;
    memcpy(&x, a, 8);
    memcpy(&y, b, 8);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void vector_append_ours(benchmark::State &state) {
    for (auto _ : state) {
        plx_vector2_t *v = nullptr;
        if (!vb::ok(state, plx_vector2_create(&v, 8, 0, nullptr, nullptr), "create")) break;
        for (uint64_t i = 0; i < kVectorCount; ++i) {
            uint64_t value = i * 7;
            if (plx_vector2_add(v, &value, 8, nullptr) != 0) {
                state.SkipWithError("add failed");
                break;
            }
        }
        state.PauseTiming();
        plx_vector2_delete(v);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kVectorCount);
}

void vector_append_std(benchmark::State &state) {
    for (auto _ : state) {
        auto *v = new std::vector<uint64_t>;
        for (uint64_t i = 0; i < kVectorCount; ++i) v->push_back(i * 7);
        benchmark::DoNotOptimize(v->data());
        state.PauseTiming();
        delete v;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kVectorCount);
}

void vector_append_glib(benchmark::State &state) {
    for (auto _ : state) {
        GArray *a = g_array_new(FALSE, FALSE, 8);
        for (uint64_t i = 0; i < kVectorCount; ++i) {
            uint64_t value = i * 7;
            g_array_append_val(a, value);
        }
        benchmark::DoNotOptimize(a->data);
        state.PauseTiming();
        g_array_free(a, TRUE);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kVectorCount);
}

/* The cost of crossing the interface alone: as many calls as appends, to a function that
 * only validates the vector and reads its count. */
void vector_append_call_floor(benchmark::State &state) {
    plx_vector2_t *v = nullptr;
    if (!vb::ok(state, plx_vector2_create(&v, 8, 0, nullptr, nullptr), "create")) return;
    for (auto _ : state) {
        for (uint32_t i = 0; i < kVectorCount; ++i) {
            uint32_t n = 0;
            plx_vector2_count(v, &n);
            benchmark::DoNotOptimize(n);
        }
    }
    plx_vector2_delete(v);
    state.SetItemsProcessed(state.iterations() * kVectorCount);
}

/* Sorted distinct values (even numbers, so odd ones are absent) and probes among them. */
struct SortedData {
    std::vector<uint64_t> values;
    std::vector<uint64_t> probes;
};
const SortedData &sorted_data() {
    static const SortedData data = [] {
        SortedData d;
        vb::Rng rng(3);
        d.values.reserve(kVectorCount);
        uint64_t x = 0;
        for (uint32_t i = 0; i < kVectorCount; ++i) d.values.push_back(x += 2 * (1 + rng.below(8)));
        for (uint32_t i = 0; i < kVectorProbes; ++i) d.probes.push_back(d.values[rng.below(kVectorCount)]);
        return d;
    }();
    return data;
}

void vector_find_ours(benchmark::State &state) {
    const SortedData &d = sorted_data();
    plx_vector2_t *v = nullptr;
    if (!vb::ok(state, plx_vector2_create(&v, 8, PLX_VECTOR2_FLAG_SORTED, compare_u64, nullptr),
                "create"))
        return;
    plx_vector2_set_min_size(v, kVectorCount);
    for (uint64_t value : d.values) plx_vector2_add(v, &value, 8, nullptr);
    for (auto _ : state) {
        for (uint64_t probe : d.probes) {
            uint32_t index = 0;
            uint32_t rc = plx_vector2_find(v, &probe, &index);
            benchmark::DoNotOptimize(rc);
            benchmark::DoNotOptimize(index);
        }
    }
    plx_vector2_delete(v);
    state.SetItemsProcessed(state.iterations() * kVectorProbes);
}

void vector_find_std(benchmark::State &state) {
    const SortedData &d = sorted_data();
    const std::vector<uint64_t> values = d.values;
    for (auto _ : state) {
        for (uint64_t probe : d.probes) {
            auto it = std::lower_bound(values.begin(), values.end(), probe);
            bool found = it != values.end() && *it == probe;
            benchmark::DoNotOptimize(found);
            benchmark::DoNotOptimize(it);
        }
    }
    state.SetItemsProcessed(state.iterations() * kVectorProbes);
}

/* g_array_binary_search with the same compare function as ours. */
void vector_find_glib(benchmark::State &state) {
    const SortedData &d = sorted_data();
    GArray *a = g_array_sized_new(FALSE, FALSE, 8, kVectorCount);
    g_array_append_vals(a, d.values.data(), kVectorCount);
    GCompareFunc cmp = compare_u64;
    for (auto _ : state) {
        for (uint64_t probe : d.probes) {
            guint index = 0;
            gboolean found = g_array_binary_search(a, &probe, cmp, &index);
            benchmark::DoNotOptimize(found);
            benchmark::DoNotOptimize(index);
        }
    }
    g_array_free(a, TRUE);
    state.SetItemsProcessed(state.iterations() * kVectorProbes);
}

/* The same search through the same compare function as ours, called through a pointer the
 * compiler cannot see through: what the call itself costs. */
void vector_find_std_fnptr(benchmark::State &state) {
    const SortedData &d = sorted_data();
    const std::vector<uint64_t> values = d.values;
    plx_vector2_compare_fn cmp = compare_u64;
    benchmark::DoNotOptimize(cmp);
    for (auto _ : state) {
        for (uint64_t probe : d.probes) {
            auto it = std::lower_bound(values.begin(), values.end(), probe,
                                       [cmp](const uint64_t &a, const uint64_t &b) { return cmp(&a, &b) < 0; });
            bool found = it != values.end() && cmp(&*it, &probe) == 0;
            benchmark::DoNotOptimize(found);
            benchmark::DoNotOptimize(it);
        }
    }
    state.SetItemsProcessed(state.iterations() * kVectorProbes);
}

/* ---- sorting ---------------------------------------------------------------------------- */

constexpr uint32_t kSortCount = 1000000;

struct Rec16 {
    uint32_t key;
    uint32_t payload[3];
};
struct Rec3 {
    uint8_t b[3];
};
inline uint32_t key3(const Rec3 &r) { return uint32_t{r.b[0]} << 16 | uint32_t{r.b[1]} << 8 | r.b[2]; }

/* One compare function per element type, shared by ours and the C library's qsort_r. */
int compare_u32(const void *a, const void *b, void *) {
    uint32_t x, y;
    memcpy(&x, a, 4);
    memcpy(&y, b, 4);
    return x < y ? -1 : (x > y ? 1 : 0);
}
int compare_rec16(const void *a, const void *b, void *) {
    return compare_u32(a, b, nullptr);  // the key is the first word
}
int compare_rec3(const void *a, const void *b, void *) {
    uint32_t x = key3(*static_cast<const Rec3 *>(a)), y = key3(*static_cast<const Rec3 *>(b));
    return x < y ? -1 : (x > y ? 1 : 0);
}

template <class T>
const std::vector<T> &sort_input() {
    static const std::vector<T> data = [] {
        std::vector<T> d(kSortCount);
        vb::Rng rng(4);
        for (T &e : d) {
            uint64_t r = rng.next();
            memcpy(&e, &r, sizeof(T) < 8 ? sizeof(T) : 8);
        }
        return d;
    }();
    return data;
}

enum class Sorter { Ours, Glibc, Glib, Std };

template <class T, Sorter S>
void sort_case(benchmark::State &state, int (*cmp)(const void *, const void *, void *)) {
    const std::vector<T> &input = sort_input<T>();
    std::vector<T> work(input.size());
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(work.data(), input.data(), input.size() * sizeof(T));
        state.ResumeTiming();
        if constexpr (S == Sorter::Ours) {
            if (!vb::ok(state, plx_utils_qsort(work.data(), kSortCount, sizeof(T), cmp, nullptr), "qsort"))
                break;
        } else if constexpr (S == Sorter::Glibc) {
            qsort_r(work.data(), kSortCount, sizeof(T), cmp, nullptr);
        } else if constexpr (S == Sorter::Glib) {
            g_qsort_with_data(work.data(), kSortCount, sizeof(T), cmp, nullptr);
        } else {
            std::sort(work.begin(), work.end(),
                      [cmp](const T &a, const T &b) { return cmp(&a, &b, nullptr) < 0; });
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * kSortCount);
}

/* ---- string table ----------------------------------------------------------------------- */

/* `n` adds over n / 2 distinct strings: each appears twice, in shuffled order. */
struct TableInput {
    KeySet keys;
    std::vector<uint32_t> sequence;
};
const TableInput &table_input(uint32_t n) {
    static TableInput inputs[3];
    const int slot = n <= 1000 ? 0 : n <= 10000 ? 1 : 2;
    TableInput &in = inputs[slot];
    if (in.sequence.empty()) {
        in.keys = vb::make_keys(n / 2, 5 + n);
        std::vector<uint32_t> order = vb::shuffled_indexes(n, 6 + n);
        for (uint32_t i : order) in.sequence.push_back(i % (n / 2));
    }
    return in;
}

void stringtable_add_ours(benchmark::State &state, uint32_t n) {
    const TableInput &in = table_input(n);
    for (auto _ : state) {
        plx_stringtable_t *t = nullptr;
        if (!vb::ok(state, plx_stringtable_create(&t, 0), "create")) break;
        for (uint32_t i : in.sequence) {
            uint32_t id = 0;
            if (plx_stringtable_add_value(t, in.keys.key(i), &id) != 0) {
                state.SkipWithError("add failed");
                break;
            }
            benchmark::DoNotOptimize(id);
        }
        state.PauseTiming();
        plx_stringtable_delete(t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void stringtable_add_std(benchmark::State &state, uint32_t n) {
    const TableInput &in = table_input(n);
    for (auto _ : state) {
        auto *set = new std::unordered_set<std::string>;
        for (uint32_t i : in.sequence) {
            auto r = set->insert(std::string(in.keys.key(i), in.keys.lengths[i]));
            benchmark::DoNotOptimize(r);
        }
        state.PauseTiming();
        delete set;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void register_all() {
    using benchmark::RegisterBenchmark;
    const auto ms = benchmark::kMillisecond;
    const auto us = benchmark::kMicrosecond;
    RegisterBenchmark("hash.insert_1M/ours", hash_insert_ours)->Unit(ms);
    RegisterBenchmark("hash.insert_1M/std", hash_insert_anchor<StdMap>)->Unit(ms);
    RegisterBenchmark("hash.insert_1M/absl", hash_insert_anchor<AbslMap>)->Unit(ms);
    RegisterBenchmark("hash.find_1M/ours", hash_find_ours)->Unit(ms);
    RegisterBenchmark("hash.find_1M/std", hash_find_anchor<StdMap>)->Unit(ms);
    RegisterBenchmark("hash.find_1M/absl", hash_find_anchor<AbslMap>)->Unit(ms);
    RegisterBenchmark("hash.enum_1M/ours", hash_enum_ours)->Unit(ms);
    RegisterBenchmark("hash.enum_1M/std", hash_enum_anchor<StdMap>)->Unit(ms);
    RegisterBenchmark("hash.insert_1M/glib", hash_insert_glib)->Unit(ms);
    RegisterBenchmark("hash.find_1M/glib", hash_find_glib)->Unit(ms);
    RegisterBenchmark("hash.enum_1M/glib", hash_enum_glib)->Unit(ms);

    RegisterBenchmark("vector.append_1M/ours", vector_append_ours)->Unit(ms);
    RegisterBenchmark("vector.append_1M/std", vector_append_std)->Unit(ms);
    RegisterBenchmark("vector.append_1M/call_floor", vector_append_call_floor)->Unit(ms);
    RegisterBenchmark("vector.append_1M/glib", vector_append_glib)->Unit(ms);
    RegisterBenchmark("vector.find_200k_in_1M/ours", vector_find_ours)->Unit(ms);
    RegisterBenchmark("vector.find_200k_in_1M/std", vector_find_std)->Unit(ms);
    RegisterBenchmark("vector.find_200k_in_1M/std_fnptr", vector_find_std_fnptr)->Unit(ms);
    RegisterBenchmark("vector.find_200k_in_1M/glib", vector_find_glib)->Unit(ms);

    RegisterBenchmark("qsort.u32_1M/ours", sort_case<uint32_t, Sorter::Ours>, compare_u32)->Unit(ms);
    RegisterBenchmark("qsort.u32_1M/glibc", sort_case<uint32_t, Sorter::Glibc>, compare_u32)->Unit(ms);
    RegisterBenchmark("qsort.u32_1M/std", sort_case<uint32_t, Sorter::Std>, compare_u32)->Unit(ms);
    RegisterBenchmark("qsort.u32_1M/glib", sort_case<uint32_t, Sorter::Glib>, compare_u32)->Unit(ms);
    RegisterBenchmark("qsort.rec16_1M/ours", sort_case<Rec16, Sorter::Ours>, compare_rec16)->Unit(ms);
    RegisterBenchmark("qsort.rec16_1M/glibc", sort_case<Rec16, Sorter::Glibc>, compare_rec16)->Unit(ms);
    RegisterBenchmark("qsort.rec16_1M/std", sort_case<Rec16, Sorter::Std>, compare_rec16)->Unit(ms);
    RegisterBenchmark("qsort.rec16_1M/glib", sort_case<Rec16, Sorter::Glib>, compare_rec16)->Unit(ms);
    RegisterBenchmark("qsort.rec3_1M/ours", sort_case<Rec3, Sorter::Ours>, compare_rec3)->Unit(ms);
    RegisterBenchmark("qsort.rec3_1M/glibc", sort_case<Rec3, Sorter::Glibc>, compare_rec3)->Unit(ms);
    RegisterBenchmark("qsort.rec3_1M/std", sort_case<Rec3, Sorter::Std>, compare_rec3)->Unit(ms);
    RegisterBenchmark("qsort.rec3_1M/glib", sort_case<Rec3, Sorter::Glib>, compare_rec3)->Unit(ms);

    for (uint32_t n : {1000u, 10000u, 100000u}) {
        char name[64];
        snprintf(name, sizeof name, "stringtable.add_%uk/ours", n / 1000);
        RegisterBenchmark(name, stringtable_add_ours, n)->Unit(us);
        snprintf(name, sizeof name, "stringtable.add_%uk/std", n / 1000);
        RegisterBenchmark(name, stringtable_add_std, n)->Unit(us);
    }
}

/* Registration at load time, before main parses the filters. */
const int registered = (register_all(), 0);

}  // namespace
