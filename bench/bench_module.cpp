/* The mood-grid module against doing its work by hand: mood ids against reading a copy of the
 * layout, finds against running the same datasource query and copying the pairs into a
 * vector, and two threads finding at once against one thread doing the same finds. */
#include <stdio.h>
#include <stdlib.h>

#include <thread>

#include "bench_common.h"
#include "mem_datasource.h"
#include "module_fixture.h"

namespace {

using vb::ModuleFixture;

/* ---- mood ids --------------------------------------------------------------------------- */

/* One call per iteration, walking the 25 cells. */
void mood_id_ours(benchmark::State &state) {
    ModuleFixture &m = ModuleFixture::get();
    uint32_t cell = 0;
    for (auto _ : state) {
        const char *id = nullptr;
        uint32_t rc = veltra_vibemesh_presentation_get_mood_id(m.presentations[0], cell % 5 + 1, cell / 5 + 1, &id);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(id);
        cell = cell == 24 ? 0 : cell + 1;
    }
}

void mood_id_table(benchmark::State &state) {
    ModuleFixture &m = ModuleFixture::get();
    const char *layout[5][5];
    memcpy(layout, m.mood_ids, sizeof layout);
    benchmark::DoNotOptimize(layout);
    uint32_t cell = 0;
    for (auto _ : state) {
        const char *id = layout[cell / 5][cell % 5];
        benchmark::DoNotOptimize(id);
        cell = cell == 24 ? 0 : cell + 1;
    }
}

/* ---- finds ------------------------------------------------------------------------------ */

/* One find, its results walked and released. */
uint32_t find_once(ModuleFixture &m, uint32_t presentation) {
    veltra_vibemesh_result_handle_t results = nullptr;
    uint32_t rc = veltra_vibemesh_presentation_find_recommendations(m.presentations[presentation], m.provider,
                                                                    1, 1, &results);
    if (rc) return rc;
    uint32_t count = 0;
    veltra_vibemesh_results_count(results, &count);
    for (uint32_t i = 0; i < count; ++i) {
        const char *ident = nullptr, *group = nullptr;
        veltra_vibemesh_results_enum(results, i, &ident, &group);
        benchmark::DoNotOptimize(ident);
    }
    return veltra_vibemesh_results_release(results);
}

void find_ours(benchmark::State &state, uint32_t n) {
    ModuleFixture &m = ModuleFixture::get();
    m.datasource->set_limit(n);
    for (auto _ : state)
        if (!vb::ok(state, find_once(m, 0), "find")) break;
    state.SetItemsProcessed(state.iterations() * n);
}

void find_vector(benchmark::State &state, uint32_t n) {
    ModuleFixture &m = ModuleFixture::get();
    m.datasource->set_limit(n);
    for (auto _ : state) {
        std::vector<std::pair<std::string, std::string>> out;
        if (!vb::ok(state, vb::query_into(m.datasource->table(), m.user, m.mood_ids[0][0], out), "query")) break;
        for (const auto &p : out) benchmark::DoNotOptimize(p.first.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

/* `threads` threads share `finds` finds of 1k results each, thread t on presentation t. With
 * `by_hand`, the same work without the module: the query run and its pairs copied into a
 * vector, which shows how far this machine lets the same work scale at all. */
constexpr uint32_t kThreadFinds = 64;

void find_threads(benchmark::State &state, uint32_t threads, bool by_hand) {
    ModuleFixture &m = ModuleFixture::get();
    m.datasource->set_limit(1000);
    for (auto _ : state) {
        std::atomic<uint32_t> failures{0};
        auto work = [&](uint32_t t, uint32_t finds) {
            for (uint32_t i = 0; i < finds; ++i) {
                uint32_t rc;
                if (by_hand) {
                    std::vector<std::pair<std::string, std::string>> out;
                    rc = vb::query_into(m.datasource->table(), m.user, m.mood_ids[0][0], out);
                    benchmark::DoNotOptimize(out.data());
                } else {
                    rc = find_once(m, t);
                }
                if (rc != 0) failures.fetch_add(1);
            }
        };
        if (threads == 1) {
            work(0, kThreadFinds);
        } else {
            std::thread other(work, 1, kThreadFinds / 2);
            work(0, kThreadFinds / 2);
            other.join();
        }
        if (failures.load()) {
            state.SkipWithError("find failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kThreadFinds);
}

void register_all() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("module.get_mood_id/ours", mood_id_ours);
    RegisterBenchmark("module.get_mood_id/table", mood_id_table);
    for (uint32_t n : {100u, 1000u, 10000u}) {
        char name[64];
        snprintf(name, sizeof name, "module.find_%u/ours", n);
        RegisterBenchmark(name, find_ours, n)->Unit(benchmark::kMicrosecond);
        snprintf(name, sizeof name, "module.find_%u/vector", n);
        RegisterBenchmark(name, find_vector, n)->Unit(benchmark::kMicrosecond);
    }
    const struct {
        const char *name;
        uint32_t threads;
        bool by_hand;
    } threaded[] = {{"module.find_2threads/ours", 2, false},
                    {"module.find_2threads/one_thread", 1, false},
                    {"module.query_copy_2threads/ours", 2, true},
                    {"module.query_copy_2threads/one_thread", 1, true}};
    for (const auto &t : threaded)
        RegisterBenchmark(t.name, find_threads, t.threads, t.by_hand)->UseRealTime()->Unit(benchmark::kMillisecond);
}

const int registered = (register_all(), 0);

}  // namespace
