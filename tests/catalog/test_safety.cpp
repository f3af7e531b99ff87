/* A catalog is never lost and never half-read: writers killed at random points, writers and
 * readers on one path at once, hostile files, and imports of text that is not clean UTF-8. */
#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalog_file_test.h"
#include "veltra_catalog.h"

namespace {

class CatalogSafety : public CatalogFileTest {
protected:
    /* The writers' files in the folder (lock and temporary files: hidden ones). */
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        DIR *d = opendir(dir_.c_str());
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] == '.' && strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                out.push_back(e->d_name);
        closedir(d);
        return out;
    }
    /* Track count of the catalog at path (0 and the code when it does not open); also checks
     * that the description names the same count, i.e. the file is one writer's whole work. */
    static uint32_t tracks_of(const std::string &path, uint32_t *p_code = nullptr) {
        veltra_catalog_t *c = nullptr;
        uint32_t code = veltra_catalog_open(nullptr, path.c_str(), &c);
        if (p_code) *p_code = code;
        if (code) return 0;
        veltra_catalog_info_t info{};
        veltra_catalog_get_info(c, &info);
        veltra_catalog_close(c);
        std::string expect = "Generated sample catalog: " + std::to_string(info.track_count) + " tracks";
        EXPECT_EQ(0u, std::string(info.description).find(expect)) << info.description;
        return info.track_count;
    }
    static std::string bytes_of(const std::string &path) {
        std::stringstream s;
        s << std::ifstream(path, std::ios::binary).rdbuf();
        return s.str();
    }
};

/* Writers killed (SIGKILL) at random points: the target is always the old or the new complete
 * catalog, and the next writer removes what the dead one left. */
TEST_F(CatalogSafety, KilledWriterLeavesOldOrNewCatalog) {
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 1000, 1, 0, nullptr, nullptr));
    std::mt19937 rng(12345);
    const int kIterations = 120;
    int killed = 0, finished = 0, stale_seen = 0;
    uint32_t current = 1000;
    for (int i = 0; i < kIterations; ++i) {
        const uint32_t next = 1000 + 100 * static_cast<uint32_t>(1 + i % 9);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(veltra_catalog_generate(path_.c_str(), next, 7, VELTRA_CATALOG_WRITE_REPLACE |
                                                                       VELTRA_CATALOG_WRITE_WAIT,
                                          nullptr, nullptr) == 0 ? 0 : 1);
        usleep(std::uniform_int_distribution<useconds_t>(0, 60000)(rng));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        bool done = WIFEXITED(status);
        if (done) {
            EXPECT_EQ(0, WEXITSTATUS(status));
        }
        killed += !done;
        finished += done;
        uint32_t got = tracks_of(path_);
        ASSERT_TRUE(got == current || got == next) << "iteration " << i << ": " << got;
        current = got;
        for (const std::string &f : leftovers()) stale_seen += f.find(".tmp") != std::string::npos;
    }
    /* A live writer clears the dead ones' files; its own lock and temporary file go at the end. */
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 50, 3, VELTRA_CATALOG_WRITE_REPLACE, nullptr, nullptr));
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
    EXPECT_EQ(50u, tracks_of(path_));
    fprintf(stderr, "kill loop: %d iterations, %d killed, %d finished, %d stale temporary files seen\n",
            kIterations, killed, finished, stale_seen);
    EXPECT_GT(killed, 10);
}

/* Before: `import --force` with a bad row or a missing CSV deleted the catalog first. */
TEST_F(CatalogSafety, FailedImportKeepsOldCatalogByteForByte) {
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 200, 1, 0, nullptr, nullptr));
    const std::string before = bytes_of(path_);
    std::string csv = dir_ + "/bad.csv";
    std::ofstream(csv) << "ident,album_ident,album,title,artist,mood,genre,origin,era\nx,a,b,c,d,0,1,1,1\n";
    veltra_catalog_import_error_t e{};
    EXPECT_EQ(VELTRA_CATALOG_ERR_BAD_INPUT,
              veltra_catalog_import_csv(csv.c_str(), path_.c_str(), nullptr, VELTRA_CATALOG_WRITE_REPLACE, nullptr, &e));
    EXPECT_EQ(VELTRA_CATALOG_ERR_NOT_FOUND, veltra_catalog_import_csv((dir_ + "/missing.csv").c_str(), path_.c_str(),
                                                                      nullptr, VELTRA_CATALOG_WRITE_REPLACE, nullptr, &e));
    EXPECT_EQ(before, bytes_of(path_));
    /* An aborted writer and a temporary file removed from a signal handler: the same. */
    veltra_catalog_writer_t *w = nullptr;
    ASSERT_EQ(0u, veltra_catalog_writer_begin(path_.c_str(), VELTRA_CATALOG_WRITE_REPLACE, &w));
    EXPECT_EQ(1u, leftovers().size() - 1); /* its lock and its temporary file */
    veltra_catalog_writer_remove_temps();
    EXPECT_EQ(1u, leftovers().size());
    veltra_catalog_writer_abort(w);
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
    EXPECT_EQ(before, bytes_of(path_));
}

/* Before: readers got "no such catalog file" while generate --force rewrote the path, and two
 * generates left the data of the one that reported failure. */
TEST_F(CatalogSafety, WritersAndReadersOnOnePath) {
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 300, 1, 0, nullptr, nullptr));
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, failed_reads{0}, busy{0};
    std::mutex m;
    std::set<uint32_t> written{300};
    std::vector<std::thread> threads;
    for (int r = 0; r < 3; ++r)
        threads.emplace_back([&] {
            while (!stop) {
                uint32_t code = 0;
                tracks_of(path_, &code);
                ++reads;
                failed_reads += code != 0;
            }
        });
    std::vector<std::thread> writers;
    for (uint32_t w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (uint32_t k = 0; k < 6; ++k) {
                uint32_t n = 301 + w * 10 + k; /* each write distinguishable by its count */
                uint32_t flags = VELTRA_CATALOG_WRITE_REPLACE | (k % 2 ? VELTRA_CATALOG_WRITE_WAIT : 0);
                uint32_t code = veltra_catalog_generate(path_.c_str(), n, w, flags, nullptr, nullptr);
                EXPECT_TRUE(code == 0 || (code == VELTRA_CATALOG_ERR_BUSY && !(flags & VELTRA_CATALOG_WRITE_WAIT)));
                std::lock_guard<std::mutex> g(m);
                if (code == 0) written.insert(n);
                busy += code == VELTRA_CATALOG_ERR_BUSY;
            }
        });
    for (auto &t : writers) t.join();
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(1u, written.count(tracks_of(path_))) << "the data of a writer that reported success";
    EXPECT_EQ(0, failed_reads.load());
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
    fprintf(stderr, "4 writers x 6 writes, 3 readers: %zu writes succeeded, %d busy, %d reads, %d failed\n",
            written.size() - 1, busy.load(), reads.load(), failed_reads.load());
}

/* Before: several first uses at once all failed while creating the sample. */
TEST_F(CatalogSafety, ConcurrentFirstUsesMakeOneSample) {
    std::atomic<int> created{0}, existed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 5; ++i)
        threads.emplace_back([&] {
            uint32_t code = veltra_catalog_generate(path_.c_str(), 500, 1, VELTRA_CATALOG_WRITE_WAIT, nullptr, nullptr);
            EXPECT_TRUE(code == 0 || code == VELTRA_CATALOG_ERR_EXISTS) << std::hex << code;
            (code == 0 ? created : existed)++;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(1, created.load());
    EXPECT_EQ(4, existed.load());
    EXPECT_EQ(500u, tracks_of(path_));
}

/* An open catalog keeps answering from the file it validated when the path is replaced, also
 * from threads that need connections of their own. */
TEST_F(CatalogSafety, OpenCatalogKeepsReadingTheReplacedFile) {
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 300, 1, 0, nullptr, nullptr));
    veltra_catalog_t *c = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, path_.c_str(), &c));
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 500, 2, VELTRA_CATALOG_WRITE_REPLACE, nullptr, nullptr));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            veltra_catalog_track_t t{};
            for (int k = 0; k < 50; ++k) {
                wrong += veltra_catalog_track_get(c, "trk-0000400", &t) != VELTRA_CATALOG_ERR_NOT_FOUND;
                wrong += veltra_catalog_track_get(c, "trk-0000300", &t) != 0;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0u, veltra_catalog_close(c));
}

/* Damaged or hostile files: each is VELTRA_CATALOG_ERR_CORRUPT at open. Before, a NULL ident
 * aborted the process and a mood level of 3 indexed past an array. */
TEST_F(CatalogSafety, HostileFilesAreCorruptNotCrashes) {
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 60, 1, 0, nullptr, nullptr));
    const std::string good = bytes_of(path_);
    const char *level2 = "(SELECT min(id) FROM moods WHERE level = 2)";
    const std::string damage[] = {
        "UPDATE tracks SET ident = NULL WHERE id = 3",
        "UPDATE albums SET ident = NULL WHERE id = 2",
        "UPDATE tracks SET title = NULL WHERE id = 5",
        std::string("UPDATE moods SET level = 3 WHERE id = ") + level2,
        std::string("UPDATE moods SET level = 'abc' WHERE id = ") + level2,
        std::string("UPDATE moods SET parent = 999999 WHERE id = ") + level2,
        "UPDATE moods SET parent = 1 WHERE level = 1",
        "UPDATE tracks SET mood2 = 999999 WHERE id = 1",
        "UPDATE tracks SET mood1 = mood1 + 1 WHERE id = 1",
        "UPDATE tracks SET album_id = 999999 WHERE id = 1",
        "UPDATE tracks SET genre = 'x' WHERE id = 5",
        "DELETE FROM meta WHERE key = 'format'",
        "UPDATE meta SET value = 'other/1' WHERE key = 'format'",
        "CREATE TABLE m2(key, value); INSERT INTO m2 SELECT * FROM meta; INSERT INTO m2 VALUES('format',"
        " 'vibemesh-catalog/2'); DROP TABLE meta; ALTER TABLE m2 RENAME TO meta",
        "DROP TABLE media",
        "INSERT INTO media(track_id, size, mtime_ns, placed_by, model_version) VALUES(1, 0, 0, 9, 0)",
        "INSERT INTO media(track_id, size, mtime_ns, placed_by, model_version) VALUES(99999, 0, 0, 0, 0)",
        "INSERT INTO media(track_id, path, size, mtime_ns, placed_by, model_version) VALUES(1, x'610062', 0, 0, 0, 0)",
        "ALTER TABLE tracks RENAME TO t0; CREATE VIEW tracks AS SELECT * FROM t0",
        "ALTER TABLE tracks ADD COLUMN x GENERATED ALWAYS AS (zeroblob(100000000))",
        /* An index that lies about its table: mood2's entries declared as mood1's. */
        "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = replace(sql, '(mood2, genre', '(mood1, genre')"
        " WHERE name = 'tracks_mood2'; PRAGMA writable_schema=RESET",
        "CREATE INDEX part ON tracks(genre) WHERE genre = 1",
    };
    for (const std::string &sql : damage) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << good;
        sqlite3 *db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
        /* Drop the declared constraints, as a hostile file would. */
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql ="
                                              " replace(sql, 'NOT NULL', '') WHERE type = 'table';"
                                              " PRAGMA writable_schema=RESET;", nullptr, nullptr, nullptr));
        char *err = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err)) << sql << ": " << err;
        sqlite3_close(db);
        veltra_catalog_t *c = nullptr;
        EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_open(m_, path_.c_str(), &c)) << sql;
        if (c) veltra_catalog_close(c);
    }
    /* Text that is not UTF-8 is found where it is read. */
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << good;
    sqlite3 *db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    sqlite3_exec(db, "UPDATE tracks SET artist = CAST(x'41c328' AS TEXT) WHERE id = 2", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    veltra_catalog_t *c = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, path_.c_str(), &c));
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT,
              veltra_catalog_enum_rows(c, [](void *, const veltra_catalog_row_t *) -> uint32_t { return 0; }, nullptr));
    veltra_catalog_track_t t{};
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_track_get(c, "trk-0000002", &t));
    EXPECT_EQ(0u, veltra_catalog_close(c));
}

/* The user's record of verified catalogs spares a second open the pass over every row, and
 * only for the same file unwritten since: a write in place is checked again. */
TEST_F(CatalogSafety, VerifiedRecordServesOnlyTheUnchangedFile) {
    const char *saved = getenv("XDG_CACHE_HOME");
    std::string saved_value = saved ? saved : "";
    setenv("XDG_CACHE_HOME", (dir_ + "/cache").c_str(), 1);
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 60, 1, 0, nullptr, nullptr));
    sleep(3); /* files written within two seconds before the check are not recorded */
    EXPECT_EQ(60u, tracks_of(path_));
    const std::string record = dir_ + "/cache/vibemesh/verified";
    std::string text = bytes_of(record);
    ASSERT_NE(std::string::npos, text.find(" 60 ")) << text;
    /* The record is what the second open believes: its counts come back. */
    std::ofstream(record, std::ios::trunc) << text.replace(text.find(" 60 "), 4, " 61 ");
    veltra_catalog_t *c = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, path_.c_str(), &c));
    veltra_catalog_info_t info{};
    veltra_catalog_get_info(c, &info);
    EXPECT_EQ(61u, info.track_count);
    veltra_catalog_close(c);
    /* Damage written in place, same size: the file's change time moved, so it is checked. */
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE tracks SET mood1 = mood1 + 1 WHERE id = 1", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_EQ(VELTRA_CATALOG_ERR_CORRUPT, veltra_catalog_open(nullptr, path_.c_str(), &c));
    saved ? setenv("XDG_CACHE_HOME", saved_value.c_str(), 1) : unsetenv("XDG_CACHE_HOME");
}

/* Before: NUL bytes went through (idents cut and colliding, reported as "file:0:0:" with no
 * message), invalid UTF-8 was stored, and a second album title was dropped silently. */
TEST_F(CatalogSafety, ImportRefusesNulInvalidUtf8AndAlbumConflicts) {
    const std::string head = "ident,album_ident,album,title,artist,mood,genre,origin,era\n";
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    veltra_manager_list_entries("veltra_list_type_moods", &e, &n);
    std::string mood;
    for (uint32_t i = 0; i < n && mood.empty(); ++i)
        if (e[i].level == 2) mood = std::to_string(e[i].id);
    const std::string tail = "," + mood + ",1,1,1\n";
    struct Case {
        std::string body;
        uint32_t line, column;
        const char *part;
    } cases[] = {
        {"t1,a,Album,S\xc3\xa4ng,Art" + std::string(1, '\0') + "ist" + tail, 2, 20, "NUL"},
        {"t1,a,Album,S\xc3\xa4ng,Art\xff" + tail, 2, 20, "UTF-8"},
        {"t1,a,\xe2\x82\xac Album,Song,Artist" + tail + "t2,a,Other,Song,Artist" + tail, 3, 6, "album title"},
        {"t\xed\xa0\x80" + tail, 2, 2, "UTF-8"}, /* a UTF-16 surrogate */
    };
    for (const Case &c : cases) {
        std::string csv = dir_ + "/in.csv";
        std::ofstream(csv, std::ios::binary | std::ios::trunc) << head << c.body;
        veltra_catalog_import_error_t err{};
        EXPECT_EQ(VELTRA_CATALOG_ERR_BAD_INPUT, veltra_catalog_import_csv(csv.c_str(), path_.c_str(), nullptr, 0, nullptr, &err));
        EXPECT_EQ(c.line, err.line) << err.message;
        EXPECT_EQ(c.column, err.column) << err.message;
        EXPECT_NE(nullptr, strstr(err.message, c.part)) << err.message;
        EXPECT_NE(0, access(path_.c_str(), F_OK));
    }
}

}  // namespace
