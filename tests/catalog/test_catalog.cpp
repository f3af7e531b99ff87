/* The catalog datasource end to end through the module API: counts and idents of cells against
 * SQL written here, filters, several catalogs, hostile filter values, bad files, generation and
 * import. */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "veltra_catalog.h"
#include "veltra_vibemesh.h"

namespace {

std::string temp_dir() {
    char tmpl[] = "/tmp/vibemesh-catalog-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

/* The first column of every row `sql` selects from the catalog at `path`. */
std::vector<std::string> sql_rows(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr)) << sql;
    std::vector<std::string> out;
    while (sqlite3_step(st) == SQLITE_ROW)
        out.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

/* Idents of the tracks matching `where` (SQL over tracks t), in catalog order. */
std::vector<std::string> sql_idents(const std::string &path, const std::string &where) {
    return sql_rows(path, "SELECT t.ident FROM tracks t WHERE " + where + " ORDER BY t.id");
}

class CatalogTest : public vt::ManagerTest {
protected:
    static void SetUpTestSuite() {
        dir_ = temp_dir();
        path_ = dir_ + "/small.vmcat";
        const veltra_manager_t *m = nullptr;
        veltra_manager_start(&m);
        ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 800, 7, 0, nullptr, nullptr));
        veltra_manager_stop();
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    void SetUp() override {
        vt::ManagerTest::SetUp();
        ASSERT_EQ(0u, veltra_vibemesh_initialize(manager_));
        ASSERT_EQ(0u, veltra_manager_user_create("test", &user_));
        ASSERT_EQ(0u, veltra_catalog_open(manager_, path_.c_str(), &catalog_));
        uint32_t ordinal = 99;
        ASSERT_EQ(0u, veltra_catalog_ordinal(catalog_, &ordinal));
        ASSERT_EQ(0u, veltra_vibemesh_provider_enum(ordinal, &provider_));
    }
    void TearDown() override {
        for (auto p : presentations_) veltra_vibemesh_presentation_release(p);
        EXPECT_EQ(VELTRA_CATALOG_ERR_IN_USE, veltra_catalog_close(catalog_));
        EXPECT_EQ(0u, veltra_vibemesh_provider_release(provider_));
        EXPECT_EQ(0u, veltra_catalog_close(catalog_));
        veltra_manager_user_release(user_);
        EXPECT_EQ(0u, veltra_vibemesh_shutdown());
        vt::ManagerTest::TearDown();
    }
    veltra_vibemesh_presentation_handle_t grid(uint32_t type) {
        veltra_vibemesh_presentation_handle_t p = nullptr;
        EXPECT_EQ(0u, veltra_vibemesh_presentation_create(user_, type, nullptr, nullptr, &p));
        presentations_.push_back(p);
        return p;
    }
    std::vector<std::string> find(veltra_vibemesh_presentation_handle_t p, uint32_t x, uint32_t y) {
        veltra_vibemesh_result_handle_t r = nullptr;
        EXPECT_EQ(0u, veltra_vibemesh_presentation_find_recommendations(p, provider_, x, y, &r));
        uint32_t n = 0;
        EXPECT_EQ(0u, veltra_vibemesh_results_count(r, &n));
        std::vector<std::string> out;
        for (uint32_t i = 0; i < n; ++i) {
            const char *ident = nullptr, *group = nullptr;
            EXPECT_EQ(0u, veltra_vibemesh_results_enum(r, i, &ident, &group));
            out.emplace_back(ident);
        }
        EXPECT_EQ(0u, veltra_vibemesh_results_release(r));
        uint32_t estimate = 0;
        EXPECT_EQ(0u, veltra_vibemesh_presentation_find_recommendations_estimate(p, provider_, x, y, &estimate));
        EXPECT_EQ(n, estimate);
        return out;
    }
    static std::string mood_of(veltra_vibemesh_presentation_handle_t p, uint32_t x, uint32_t y) {
        const char *id = nullptr;
        EXPECT_EQ(0u, veltra_vibemesh_presentation_get_mood_id(p, x, y, &id));
        return id ? id : "";
    }
    static std::string dir_, path_;
    veltra_user_handle_t user_ = nullptr;
    veltra_catalog_t *catalog_ = nullptr;
    veltra_vibemesh_provider_handle_t provider_ = nullptr;
    std::vector<veltra_vibemesh_presentation_handle_t> presentations_;
};
std::string CatalogTest::dir_, CatalogTest::path_;

TEST_F(CatalogTest, CellsMatchIndependentSql) {
    auto p5 = grid(VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5);
    auto p10 = grid(VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10);
    size_t nonempty = 0;
    for (uint32_t c : {1u, 3u, 5u}) {
        auto got = find(p5, c, 6 - c);
        EXPECT_EQ(sql_idents(path_, "t.mood1 = " + mood_of(p5, c, 6 - c)), got);
        nonempty += !got.empty();
    }
    for (uint32_t c : {1u, 4u, 10u}) {
        auto got = find(p10, c, c);
        EXPECT_EQ(sql_idents(path_, "t.mood2 = " + mood_of(p10, c, c)), got);
        nonempty += !got.empty();
    }
    EXPECT_GE(nonempty, 4u);
}

TEST_F(CatalogTest, IncludeAndExcludeFilters) {
    auto p = grid(VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5);
    std::string mood = mood_of(p, 2, 2);
    ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_set(p, "g1", VELTRA_LIST_TYPE_GENRES, "1",
                                                          VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE));
    ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_set(p, "g2", VELTRA_LIST_TYPE_GENRES, "2",
                                                          VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE));
    EXPECT_EQ(sql_idents(path_, "t.mood1 = " + mood + " AND t.genre IN (1, 2)"), find(p, 2, 2));
    ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_set(p, "e1", VELTRA_LIST_TYPE_ERAS, "3",
                                                          VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE));
    EXPECT_EQ(sql_idents(path_, "t.mood1 = " + mood + " AND t.genre IN (1, 2) AND t.era <> 3"),
              find(p, 2, 2));
    ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_remove_all(p));
    ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_set(p, "o", VELTRA_LIST_TYPE_ORIGINS, "2",
                                                          VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE));
    ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_set(p, "o2", VELTRA_LIST_TYPE_ORIGINS, "3",
                                                          VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE));
    EXPECT_EQ(sql_idents(path_, "t.mood1 = " + mood + " AND t.origin NOT IN (2, 3)"), find(p, 2, 2));
}

TEST_F(CatalogTest, FilterValuesCraftedAsSqlAreData) {
    auto p = grid(VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5);
    /* Each starts with a digit, so the module accepts it as an id and passes the text on. */
    const char *hostile[] = {"1' OR '1'='1", "1; DROP TABLE tracks; --", "1) OR (1=1", "1 /* */ OR 1"};
    int n = 0;
    for (const char *v : hostile) {
        std::string ident = "h" + std::to_string(++n);
        ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_set(p, ident.c_str(), VELTRA_LIST_TYPE_GENRES, v,
                                                              VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE));
        EXPECT_TRUE(find(p, 1, 1).empty()) << v;
        ASSERT_EQ(0u, veltra_vibemesh_presentation_filter_remove(p, ident.c_str()));
    }
    EXPECT_EQ(800u, sql_idents(path_, "1").size()); /* the table is still there */
}

TEST_F(CatalogTest, SeveralCatalogsAtOnceEachWithItsData) {
    std::string other = dir_ + "/other.vmcat";
    ASSERT_EQ(0u, veltra_catalog_generate(other.c_str(), 50, 99, 0, nullptr, nullptr));
    veltra_catalog_t *second = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(manager_, other.c_str(), &second));
    uint32_t count = 0, ordinal = 0;
    ASSERT_EQ(0u, veltra_vibemesh_provider_count(&count));
    EXPECT_EQ(2u, count);
    ASSERT_EQ(0u, veltra_catalog_ordinal(second, &ordinal));
    veltra_vibemesh_provider_handle_t prov = nullptr;
    ASSERT_EQ(0u, veltra_vibemesh_provider_enum(ordinal, &prov));
    auto data = [](veltra_vibemesh_provider_handle_t p, const char *key) {
        const char *v = nullptr;
        EXPECT_EQ(0u, veltra_vibemesh_provider_get_data(p, key, &v)) << key;
        return std::string(v ? v : "");
    };
    EXPECT_EQ("50", data(prov, "track_count"));
    EXPECT_EQ("800", data(provider_, "track_count"));
    EXPECT_EQ("Sample catalog", data(provider_, "name"));
    EXPECT_NE(std::string::npos, data(provider_, "description").find("800 tracks"));
    const char *v = nullptr;
    EXPECT_EQ(0x10A20003u, veltra_vibemesh_provider_get_data(provider_, "no such key", &v));
    EXPECT_EQ(0u, veltra_vibemesh_provider_release(prov));
    EXPECT_EQ(0u, veltra_catalog_close(second));
    ASSERT_EQ(0u, veltra_vibemesh_provider_count(&count));
    EXPECT_EQ(1u, count);
}

/* A catalog without the summaries and ordering indexes a build adds (as older builds wrote
 * it), or with a damaged stored artist count, answers every query as the full one does; a
 * per-mood count that disagrees with the tracks makes the file damaged. */
TEST_F(CatalogTest, CatalogWithoutSummariesAnswersTheSame) {
    std::string bare = dir_ + "/bare.vmcat";
    ASSERT_EQ(0, system(("cp '" + path_ + "' '" + bare + "'").c_str()));
    sqlite3 *db = nullptr;
    sqlite3_open(bare.c_str(), &db);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "DROP TABLE mood_counts; DROP INDEX tracks_mood1_order;"
                                      "DROP INDEX tracks_mood2_order;"
                                      "UPDATE meta SET value = '12x' WHERE key = 'artist_count';",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    veltra_catalog_t *old = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, bare.c_str(), &old));
    veltra_catalog_info_t a{}, b{};
    ASSERT_EQ(0u, veltra_catalog_get_info(catalog_, &a));
    ASSERT_EQ(0u, veltra_catalog_get_info(old, &b));
    EXPECT_EQ(sql_rows(path_, "SELECT COUNT(DISTINCT artist) FROM tracks")[0], std::to_string(a.artist_count));
    EXPECT_EQ(a.artist_count, b.artist_count);

    /* Every mood of both levels, alone, twice, with an unknown one and with a filter. */
    auto answer = [this](veltra_catalog_t *c, const std::vector<std::pair<const char *, std::string>> &conds) {
        const VibeMeshDatasource *ds = veltra_catalog_datasource(c);
        void *q = nullptr;
        EXPECT_EQ(0u, ds->query_create(ds, &q, user_, nullptr, nullptr));
        for (auto &cond : conds)
            EXPECT_EQ(0u, ds->query_add_condition(q, cond.first, cond.second.c_str(),
                                                  VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE, nullptr));
        uint32_t estimate = 0, n = 0;
        EXPECT_EQ(0u, ds->query_estimate(q, &estimate));
        EXPECT_EQ(0u, ds->query_execute(q));
        EXPECT_EQ(0u, ds->query_result_count(q, &n));
        std::vector<std::string> out{std::to_string(estimate)};
        for (uint32_t i = 0; i < n; ++i) {
            const char *ident = nullptr, *group = nullptr;
            EXPECT_EQ(0u, ds->query_result_get(q, i, &ident, &group));
            out.push_back(std::string(ident) + "/" + group);
        }
        EXPECT_EQ(0u, ds->query_release(q));
        EXPECT_EQ(std::to_string(n), out[0]) << "estimate and result count differ";
        return out;
    };
    const char *moods = VELTRA_LIST_TYPE_MOODS;
    for (const std::string &m : sql_rows(path_, "SELECT id FROM moods")) {
        const std::vector<std::vector<std::pair<const char *, std::string>>> sets = {
            {{moods, m}},
            {{moods, m}, {moods, m}},
            {{moods, m}, {moods, "99999999"}},
            {{moods, m}, {VELTRA_LIST_TYPE_GENRES, "1"}},
        };
        for (const auto &set : sets) EXPECT_EQ(answer(catalog_, set), answer(old, set)) << "mood " << m;
    }
    EXPECT_EQ(0u, veltra_catalog_close(old));

    std::string forged = dir_ + "/forged.vmcat";
    ASSERT_EQ(0, system(("cp '" + path_ + "' '" + forged + "'").c_str()));
    sqlite3_open(forged.c_str(), &db);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "UPDATE mood_counts SET tracks = tracks + 1 WHERE level = 2"
                                      " AND mood = (SELECT MIN(mood) FROM mood_counts WHERE level = 2)",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_open(nullptr, forged.c_str(), &old));
}

/* Files made and broken by the test itself, in a directory of its own. */
class CatalogFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, veltra_manager_start(&m_)); }
    void TearDown() override {
        EXPECT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str()));
        veltra_manager_stop();
    }
    const veltra_manager_t *m_ = nullptr;
    std::string dir_ = temp_dir();
};

TEST_F(CatalogFiles, BadFilesAreClearErrors) {
    veltra_catalog_t *c = nullptr;
    std::string missing = dir_ + "/missing";
    EXPECT_EQ(VELTRA_CATALOG_ERR_NOT_FOUND, veltra_catalog_open(m_, missing.c_str(), &c));
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_open(m_, dir_.c_str(), &c)); /* a folder */
    std::string junk = dir_ + "/junk.vmcat";
    std::ofstream(junk) << "this is not a database at all, not even close............";
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_open(m_, junk.c_str(), &c));
    std::string other_db = dir_ + "/other.db";
    sqlite3 *db = nullptr;
    sqlite3_open(other_db.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE meta(key, value); INSERT INTO meta VALUES('format','x');", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_open(m_, other_db.c_str(), &c));
    EXPECT_EQ(VELTRA_CATALOG_ERR_INVALID_ARG, veltra_catalog_open(m_, nullptr, &c));
    EXPECT_EQ(0u, veltra_manager_interface_count("_veltra_vibemesh_datasource_interface"));
}

TEST_F(CatalogFiles, GenerationIsDeterministic) {
    std::string a = dir_ + "/a.vmcat", b = dir_ + "/b.vmcat", c = dir_ + "/c.vmcat";
    ASSERT_EQ(0u, veltra_catalog_generate(a.c_str(), 300, 5, 0, nullptr, nullptr));
    ASSERT_EQ(0u, veltra_catalog_generate(b.c_str(), 300, 5, 0, nullptr, nullptr));
    ASSERT_EQ(0u, veltra_catalog_generate(c.c_str(), 300, 6, 0, nullptr, nullptr));
    EXPECT_EQ(VELTRA_CATALOG_ERR_EXISTS,
              veltra_catalog_generate(a.c_str(), 300, 5, 0, nullptr, nullptr));
    auto rows = [](const std::string &p) {
        return sql_rows(p, "SELECT ident||title||artist||mood2||genre||origin||era FROM tracks ORDER BY id");
    };
    EXPECT_EQ(rows(a), rows(b));
    EXPECT_NE(rows(a), rows(c));
}

TEST_F(CatalogFiles, ImportReportsLineAndColumn) {
    const veltra_manager_list_entry_t *moods = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(0u, veltra_manager_list_entries("veltra_list_type_moods", &moods, &n));
    std::string level2;
    for (uint32_t i = 0; i < n && level2.empty(); ++i)
        if (moods[i].level == 2) level2 = std::to_string(moods[i].id);
    const std::string header = "ident,album_ident,album,title,artist,mood,genre,origin,era\n";
    struct Case {
        std::string body;
        uint32_t line, column;
        const char *message_part;
    } cases[] = {
        {"t1,a1,Album,Song,Artist," + level2 + ",1,1,1\nt2,a1,Album,Other,Artist,99999,1,1,1\n", 3, 26, "mood"},
        {"t1,a1,Album,Song,Artist," + level2 + ",1,1\n", 2, 0, "expected 9 fields"},
        {"t1,a1,\"Album,Song,Artist\n", 2, 7, "unterminated"},
        {"t1,a1,Album,Song,Artist," + level2 + ",1,1,1\nt1,a1,Album,Song,Artist," + level2 + ",1,1,1\n", 3, 1, "duplicate"},
        {"t1,a1,Album,,Artist," + level2 + ",1,1,1\n", 2, 13, "empty title"},
    };
    int k = 0;
    for (const Case &c : cases) {
        std::string csv = dir_ + "/in" + std::to_string(++k) + ".csv";
        std::ofstream(csv) << header << c.body;
        std::string out = dir_ + "/out" + std::to_string(k) + ".vmcat";
        veltra_catalog_import_error_t e{};
        EXPECT_EQ(VELTRA_CATALOG_ERR_BAD_INPUT, veltra_catalog_import_csv(csv.c_str(), out.c_str(), nullptr, 0, nullptr, &e)) << k;
        EXPECT_EQ(c.line, e.line) << k << ": " << e.message;
        if (c.column) {
            EXPECT_EQ(c.column, e.column) << k << ": " << e.message;
        }
        EXPECT_NE(nullptr, strstr(e.message, c.message_part)) << e.message;
        EXPECT_NE(0, access(out.c_str(), F_OK)) << "nothing written on bad input";
    }
    /* A good file with quoted fields imports. */
    std::string csv = dir_ + "/good.csv";
    std::ofstream(csv) << header << "t1,a1,\"Album, Deluxe\",\"Say \"\"Hi\"\"\",Artist," << level2 << ",1,2,3\r\n";
    std::string out = dir_ + "/good.vmcat";
    uint32_t imported = 0;
    ASSERT_EQ(0u, veltra_catalog_import_csv(csv.c_str(), out.c_str(), "Mine", 0, &imported, nullptr));
    EXPECT_EQ(1u, imported);
    veltra_catalog_t *cat = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, out.c_str(), &cat));
    veltra_catalog_track_t t{};
    ASSERT_EQ(0u, veltra_catalog_track_get(cat, "t1", &t));
    EXPECT_STREQ("Say \"Hi\"", t.title);
    EXPECT_STREQ("Album, Deluxe", t.album);
    veltra_catalog_info_t info{};
    ASSERT_EQ(0u, veltra_catalog_get_info(cat, &info));
    EXPECT_STREQ("Mine", info.name);
    EXPECT_EQ(1u, info.track_count);
    EXPECT_EQ(0u, veltra_catalog_close(cat));
}

}  // namespace
