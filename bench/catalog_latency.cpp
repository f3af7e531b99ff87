/* Latency of the catalog datasource through the module against the same queries run straight
 * in SQLite, on a large generated catalog: p50 and p99 of find (with enumeration of every
 * result) and of estimate, for the busiest cells, with zero, one and three filters.
 *
 *   veltra_catalog_latency [--tracks N] [--rounds R] [--catalog FILE]
 *
 * The catalog is generated once (seed 1) at FILE (default build/bench/catalog-<N>.vmcat) and
 * reused. Output: one table, and the module's share of the time (module p50 - SQLite p50) /
 * module p50.
 *
 *   veltra_catalog_latency --check FILE [--catalog FILE]
 *
 * instead writes, for every cell of both grids under several sets of conditions asked of the
 * datasource directly, the estimate, the result count and a digest of the results in their
 * order: two builds (or two catalogs built from the same seed) answer identically when their
 * files are identical. */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "veltra_catalog.h"
#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

namespace {

double now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct Stats {
    double p50, p99;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
    return {at(0.50), at(0.99)};
}

struct FilterSet {
    const char *name;
    std::vector<std::pair<const char *, const char *>> filters; /* list type, id (include) */
    const char *sql;                                            /* the same, as SQL */
};

void check(uint32_t code, const char *what) {
    if (code) {
        fprintf(stderr, "%s failed: 0x%08X\n", what, code);
        exit(1);
    }
}

/* One query straight through the datasource table: "estimate count digest". */
std::string answer(const VibeMeshDatasource *ds, veltra_user_handle_t user,
                   const std::vector<std::pair<std::string, std::pair<const char *, const char *>>> &conds) {
    void *q = nullptr;
    check(ds->query_create(ds, &q, user, nullptr, nullptr), "query create");
    for (auto &c : conds)
        check(ds->query_add_condition(q, c.second.first, c.first.c_str(), c.second.second, nullptr), "condition");
    uint32_t estimate = 0, count = 0;
    check(ds->query_estimate(q, &estimate), "estimate");
    check(ds->query_execute(q), "execute");
    check(ds->query_result_count(q, &count), "result count");
    uint64_t h = 1469598103934665603ull; /* FNV-1a over "ident\0group\0" in result order */
    for (uint32_t i = 0; i < count; ++i) {
        const char *ident, *group;
        check(ds->query_result_get(q, i, &ident, &group), "result get");
        for (const char *s : {ident, group})
            for (const char *p = s;; ++p) {
                h = (h ^ static_cast<uint8_t>(*p)) * 1099511628211ull;
                if (!*p) break;
            }
    }
    ds->query_release(q);
    char line[80];
    snprintf(line, sizeof line, "%u %u %016llx", estimate, count, static_cast<unsigned long long>(h));
    return line;
}

/* Every cell of the 5x5 and 10x10 grids under each set of conditions, one line each. */
void write_check(veltra_catalog_t *cat, veltra_user_handle_t user, const char *out_path) {
    FILE *out = fopen(out_path, "w");
    if (!out) {
        perror(out_path);
        exit(1);
    }
    const VibeMeshDatasource *ds = veltra_catalog_datasource(cat);
    const char *in = VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE, *ex = VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE;
    const char *moods = VELTRA_LIST_TYPE_MOODS, *genres = VELTRA_LIST_TYPE_GENRES;
    const char *origins = VELTRA_LIST_TYPE_ORIGINS, *eras = VELTRA_LIST_TYPE_ERAS;
    std::vector<std::string> ids[2]; /* level-1 and level-2 mood ids, in grid order */
    for (int g = 0; g < 2; ++g) {
        uint32_t n = g ? 10 : 5;
        veltra_vibemesh_presentation_handle_t p = nullptr;
        check(veltra_vibemesh_presentation_create(user, g ? VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10
                                                          : VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5,
                                                  nullptr, nullptr, &p),
              "presentation");
        for (uint32_t y = 1; y <= n; ++y)
            for (uint32_t x = 1; x <= n; ++x) {
                const char *mood = nullptr;
                check(veltra_vibemesh_presentation_get_mood_id(p, x, y, &mood), "mood id");
                ids[g].push_back(mood);
            }
        veltra_vibemesh_presentation_release(p);
    }
    using Conds = std::vector<std::pair<std::string, std::pair<const char *, const char *>>>;
    for (int g = 0; g < 2; ++g)
        for (size_t i = 0; i < ids[g].size(); ++i) {
            const std::string &m = ids[g][i];
            const std::string &other = ids[1 - g][i % ids[1 - g].size()];
            const Conds sets[] = {
                {{m, {moods, in}}},
                {{m, {moods, in}}, {m, {moods, in}}},
                {{m, {moods, in}}, {"99999999", {moods, in}}},
                {{m, {moods, in}}, {"1", {genres, in}}},
                {{m, {moods, in}}, {"1", {genres, in}}, {"2", {genres, in}}, {"3", {eras, in}}},
                {{m, {moods, in}}, {"1", {genres, ex}}, {"2", {origins, ex}}},
                {{m, {moods, in}}, {other, {moods, in}}},
                {{m, {moods, in}}, {other, {moods, ex}}, {"4", {origins, in}}},
                {{"99999999", {moods, in}}},
            };
            for (size_t k = 0; k < sizeof sets / sizeof sets[0]; ++k)
                fprintf(out, "%dx%d cell %zu set %zu: %s\n", g ? 10 : 5, g ? 10 : 5, i, k,
                        answer(ds, user, sets[k]).c_str());
        }
    fclose(out);
}

}  // namespace

int main(int argc, char **argv) {
    uint32_t tracks = 1000000, rounds = 200;
    std::string path, check_path;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--tracks")) tracks = static_cast<uint32_t>(atoi(argv[i + 1]));
        else if (!strcmp(argv[i], "--rounds")) rounds = static_cast<uint32_t>(atoi(argv[i + 1]));
        else if (!strcmp(argv[i], "--catalog")) path = argv[i + 1];
        else if (!strcmp(argv[i], "--check")) check_path = argv[i + 1];
    }
    if (path.empty()) path = "catalog-" + std::to_string(tracks) + ".vmcat";

    const veltra_manager_t *m = nullptr;
    check(veltra_manager_start(&m), "manager start");
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "generating %u tracks into %s ...\n", tracks, path.c_str());
        double t0 = now_us();
        check(veltra_catalog_generate(path.c_str(), tracks, 1, 0, nullptr, nullptr), "generate");
        fprintf(stderr, "generated in %.1f s\n", (now_us() - t0) / 1e6);
        sleep(3); /* a file written this recently is not recorded as verified */
    }
    if (check_path.empty()) {
        /* Opening with a fresh verified-catalog record (the check of every row), then again
         * with the record the first open wrote. */
        char dir[] = "/tmp/vibemesh-latency-XXXXXX";
        const char *user_cache = getenv("XDG_CACHE_HOME");
        std::string saved = user_cache ? user_cache : "";
        if (mkdtemp(dir)) {
            setenv("XDG_CACHE_HOME", dir, 1);
            double took[2];
            for (double &t : took) {
                double t0 = now_us();
                veltra_catalog_t *c = nullptr;
                check(veltra_catalog_open(nullptr, path.c_str(), &c), "catalog open");
                t = now_us() - t0;
                veltra_catalog_close(c);
            }
            printf("open: %.1f ms checking every row, %.1f ms with the verified record\n\n", took[0] / 1e3,
                   took[1] / 1e3);
            check(system(("rm -rf '" + std::string(dir) + "'").c_str()) == 0 ? 0 : 1, "cleanup");
            user_cache ? setenv("XDG_CACHE_HOME", saved.c_str(), 1) : unsetenv("XDG_CACHE_HOME");
        }
    }
    check(veltra_vibemesh_initialize(m), "initialize");
    veltra_catalog_t *cat = nullptr;
    check(veltra_catalog_open(m, path.c_str(), &cat), "catalog open");
    uint32_t ordinal = 0;
    check(veltra_catalog_ordinal(cat, &ordinal), "ordinal");
    veltra_vibemesh_provider_handle_t prov = nullptr;
    check(veltra_vibemesh_provider_enum(ordinal, &prov), "provider");
    veltra_user_handle_t user = nullptr;
    check(veltra_manager_user_create("bench", &user), "user");
    /* Everything started above, stopped in reverse order. */
    auto stop_all = [&] {
        veltra_manager_user_release(user);
        veltra_vibemesh_provider_release(prov);
        veltra_catalog_close(cat);
        veltra_vibemesh_shutdown();
        veltra_manager_stop();
    };
    if (!check_path.empty()) {
        write_check(cat, user, check_path.c_str());
        stop_all();
        return 0;
    }

    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *probe_counts = nullptr;
    bool mood_counts = sqlite3_prepare_v2(db, "SELECT tracks FROM mood_counts", -1, &probe_counts, nullptr) == SQLITE_OK;
    sqlite3_finalize(probe_counts);

    /* The busiest cells of the 10x10 grid (level-2 moods). */
    veltra_vibemesh_presentation_handle_t probe = nullptr;
    check(veltra_vibemesh_presentation_create(user, VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10, nullptr,
                                              nullptr, &probe),
          "presentation");
    std::vector<std::pair<uint32_t, std::pair<uint32_t, uint32_t>>> cells;
    for (uint32_t y = 1; y <= 10; ++y)
        for (uint32_t x = 1; x <= 10; ++x) {
            uint32_t n = 0;
            check(veltra_vibemesh_presentation_find_recommendations_estimate(probe, prov, x, y, &n), "estimate");
            cells.push_back({n, {x, y}});
        }
    std::sort(cells.rbegin(), cells.rend());
    cells.resize(3);

    const FilterSet sets[] = {
        {"no filter", {}, ""},
        {"1 filter", {{VELTRA_LIST_TYPE_GENRES, "1"}}, " AND t.genre IN ('1')"},
        {"3 filters",
         {{VELTRA_LIST_TYPE_GENRES, "1"}, {VELTRA_LIST_TYPE_GENRES, "2"}, {VELTRA_LIST_TYPE_ERAS, "3"}},
         " AND t.genre IN ('1','2') AND t.era IN ('3')"},
    };

    printf("catalog: %s, %u tracks; busiest 10x10 cells: %u, %u, %u tracks; %u rounds\n\n", path.c_str(),
           tracks, cells[0].first, cells[1].first, cells[2].first, rounds);
    printf("%-10s %-9s %8s %12s %12s %12s %12s %8s\n", "filters", "call", "results", "module p50",
           "module p99", "sqlite p50", "sqlite p99", "share");
    for (const FilterSet &fs : sets) {
        veltra_vibemesh_presentation_handle_t p = nullptr;
        check(veltra_vibemesh_presentation_create(user, VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10, nullptr,
                                                  nullptr, &p),
              "presentation");
        int k = 0;
        for (auto &f : fs.filters) {
            std::string ident = "f" + std::to_string(++k);
            check(veltra_vibemesh_presentation_filter_set(p, ident.c_str(), f.first, f.second,
                                                          VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE),
                  "filter");
        }
        std::vector<double> find_t, est_t, sql_find_t, sql_est_t;
        uint32_t results = 0;
        for (uint32_t r = 0; r < rounds; ++r) {
            auto cell = cells[r % cells.size()].second;
            const char *mood = nullptr;
            veltra_vibemesh_presentation_get_mood_id(p, cell.first, cell.second, &mood);

            double t0 = now_us();
            veltra_vibemesh_result_handle_t res = nullptr;
            check(veltra_vibemesh_presentation_find_recommendations(p, prov, cell.first, cell.second, &res), "find");
            uint32_t n = 0;
            veltra_vibemesh_results_count(res, &n);
            for (uint32_t i = 0; i < n; ++i) {
                const char *a, *b;
                veltra_vibemesh_results_enum(res, i, &a, &b);
            }
            veltra_vibemesh_results_release(res);
            find_t.push_back(now_us() - t0);
            results = std::max(results, n);

            t0 = now_us();
            uint32_t e = 0;
            check(veltra_vibemesh_presentation_find_recommendations_estimate(p, prov, cell.first, cell.second, &e),
                  "estimate");
            est_t.push_back(now_us() - t0);

            /* The same two queries straight in SQLite, written as the datasource writes them
             * (unfiltered estimates from the per-mood counts when the catalog has them),
             * results copied into strings. */
            std::string q = std::string("SELECT t.ident, a.ident FROM tracks t JOIN albums a ON a.id = t.album_id"
                                        " WHERE t.mood2 IN (?)") + fs.sql + (*fs.sql ? " ORDER BY +t.id" : " ORDER BY t.id");
            t0 = now_us();
            sqlite3_stmt *s = nullptr;
            sqlite3_prepare_v2(db, q.c_str(), -1, &s, nullptr);
            sqlite3_bind_text(s, 1, mood, -1, SQLITE_STATIC);
            std::vector<std::string> copied;
            while (sqlite3_step(s) == SQLITE_ROW) {
                copied.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
                copied.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 1)));
            }
            sqlite3_finalize(s);
            sql_find_t.push_back(now_us() - t0);

            std::string c = !*fs.sql && mood_counts
                                ? std::string("SELECT COALESCE(SUM(tracks), 0) FROM mood_counts WHERE level = 2 AND mood IN (?)")
                                : std::string("SELECT COUNT(*) FROM tracks t WHERE t.mood2 IN (?)") + fs.sql;
            t0 = now_us();
            sqlite3_prepare_v2(db, c.c_str(), -1, &s, nullptr);
            sqlite3_bind_text(s, 1, mood, -1, SQLITE_STATIC);
            sqlite3_step(s);
            sqlite3_finalize(s);
            sql_est_t.push_back(now_us() - t0);
        }
        Stats f = stats(find_t), e = stats(est_t), sf = stats(sql_find_t), se = stats(sql_est_t);
        printf("%-10s %-9s %8u %10.0f us %10.0f us %10.0f us %10.0f us %7.0f%%\n", fs.name, "find", results,
               f.p50, f.p99, sf.p50, sf.p99, 100.0 * (f.p50 - sf.p50) / f.p50);
        printf("%-10s %-9s %8s %10.0f us %10.0f us %10.0f us %10.0f us %7.0f%%\n", fs.name, "estimate", "",
               e.p50, e.p99, se.p50, se.p99, 100.0 * (e.p50 - se.p50) / e.p50);
        veltra_vibemesh_presentation_release(p);
    }
    sqlite3_close(db);
    veltra_vibemesh_presentation_release(probe);
    stop_all();
    return 0;
}
