/* The catalog writer and the row-level reads: rows with media round-trip in order, placement
 * counts, the track facts, version-1 files, and the writer's refusals. */
#include <math.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "catalog_file_test.h"
#include "veltra_catalog.h"

namespace {

class CatalogWriter : public CatalogFileTest {
protected:
    static veltra_catalog_row_t row(const char *ident, const char *album, uint32_t mood) {
        veltra_catalog_row_t r{};
        r.ident = ident;
        r.album_ident = album;
        r.album = "Album";
        r.title = "Title";
        r.artist = "Artist";
        r.mood = mood;
        r.genre = r.origin = r.era = 1;
        r.media.arousal = r.media.valence = NAN;
        r.media.features = {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};
        return r;
    }
    static uint32_t level2_mood() {
        const veltra_manager_list_entry_t *e = nullptr;
        uint32_t n = 0;
        veltra_manager_list_entries("veltra_list_type_moods", &e, &n);
        for (uint32_t i = 0; i < n; ++i)
            if (e[i].level == 2) return e[i].id;
        return 0;
    }
};

TEST_F(CatalogWriter, RowsWithMediaRoundTripInOrder) {
    const uint32_t mood = level2_mood();
    veltra_catalog_writer_t *w = nullptr;
    ASSERT_EQ(0u, veltra_catalog_writer_begin(path_.c_str(), 0, &w));
    veltra_catalog_row_t a = row("z-first", "al1", mood);
    a.album_artist = "Various";
    a.media.path = "/music/\xff\xfe raw bytes.flac"; /* file names need not be UTF-8 */
    a.media.size = 1234;
    a.media.mtime_ns = -5;
    a.media.placed_by = VELTRA_CATALOG_PLACED_ANALYSIS;
    a.media.model_version = 3;
    a.media.arousal = 0.25;
    a.media.features.tempo_bpm = 120.5;
    veltra_catalog_row_t b = row("a-second", "al1", mood);
    b.media.placed_by = VELTRA_CATALOG_PLACED_MOOD_TAG;
    veltra_catalog_row_t c = row("m-third", "al2", mood);
    for (auto *r : {&a, &b, &c}) ASSERT_EQ(0u, veltra_catalog_writer_add(w, r));
    ASSERT_EQ(0u, veltra_catalog_writer_commit(w, "Mine", "three"));

    veltra_catalog_t *cat = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, path_.c_str(), &cat));
    struct Seen {
        std::vector<std::string> idents, album_artists;
        std::vector<double> tempo;
        std::string path;
    } seen;
    ASSERT_EQ(0u, veltra_catalog_enum_rows(cat, [](void *d, const veltra_catalog_row_t *r) -> uint32_t {
        auto *s = static_cast<Seen *>(d);
        s->idents.push_back(r->ident);
        s->album_artists.push_back(r->album_artist);
        s->tempo.push_back(r->media.features.tempo_bpm);
        if (r->media.path) s->path = r->media.path;
        return 0;
    }, &seen));
    EXPECT_EQ((std::vector<std::string>{"z-first", "a-second", "m-third"}), seen.idents);
    EXPECT_EQ((std::vector<std::string>{"Various", "Various", "Artist"}), seen.album_artists);
    EXPECT_EQ(120.5, seen.tempo[0]);
    EXPECT_TRUE(isnan(seen.tempo[1]));
    EXPECT_EQ(a.media.path, seen.path);
    EXPECT_EQ(7u, veltra_catalog_enum_rows(cat, [](void *, const veltra_catalog_row_t *) -> uint32_t { return 7; }, nullptr));

    char buf[64];
    veltra_catalog_media_t m{};
    ASSERT_EQ(0u, veltra_catalog_media_get(cat, "z-first", buf, sizeof buf, &m));
    EXPECT_TRUE(m.path == buf && !strcmp(a.media.path, buf) && m.size == 1234u && m.mtime_ns == -5 &&
                m.model_version == 3u && m.arousal == 0.25 && isnan(m.valence));
    EXPECT_EQ(VELTRA_CATALOG_ERR_INVALID_ARG, veltra_catalog_media_get(cat, "z-first", buf, 5, &m));
    EXPECT_EQ(VELTRA_CATALOG_ERR_NOT_FOUND, veltra_catalog_media_get(cat, "a-second", buf, sizeof buf, &m));
    EXPECT_EQ(VELTRA_CATALOG_ERR_NOT_FOUND, veltra_catalog_media_get(cat, "nope", buf, sizeof buf, &m));

    uint32_t counts[VELTRA_CATALOG_PLACED_COUNT];
    ASSERT_EQ(0u, veltra_catalog_placement_counts(cat, counts));
    EXPECT_EQ((std::vector<uint32_t>{1, 1, 0, 1}), std::vector<uint32_t>(counts, counts + 4));

    veltra_catalog_track_t t{};
    ASSERT_EQ(0u, veltra_catalog_track_get(cat, "z-first", &t));
    EXPECT_TRUE(t.mood == mood && t.genre == 1u && t.playable == 1u);
    ASSERT_EQ(0u, veltra_catalog_track_get(cat, "a-second", &t));
    EXPECT_EQ(0u, t.playable);
    EXPECT_EQ(0u, veltra_catalog_close(cat));
}

TEST_F(CatalogWriter, RefusesBadRowsAndKeepsGoing) {
    const uint32_t mood = level2_mood();
    veltra_catalog_writer_t *w = nullptr;
    ASSERT_EQ(0u, veltra_catalog_writer_begin(path_.c_str(), 0, &w));
    ASSERT_EQ(0u, veltra_catalog_writer_add(w, &(const veltra_catalog_row_t &)row("t1", "al", mood)));
    std::vector<veltra_catalog_row_t> bad(8, row("t2", "al", mood));
    bad[0].ident = "t1";                    /* repeated ident */
    bad[1].title = "bad \xc3\x28 utf-8";    /* malformed text */
    bad[2].mood = 999999;                   /* not a level-2 mood */
    bad[3].genre = 999999;                  /* not in its list */
    bad[4].album = "Another title";         /* a second title for one album ident */
    bad[5].media.placed_by = VELTRA_CATALOG_PLACED_COUNT;
    bad[6].media.arousal = 1.5;
    bad[7].album_ident = "";
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(VELTRA_CATALOG_ERR_BAD_INPUT, veltra_catalog_writer_add(w, &bad[i])) << i;
    ASSERT_EQ(0u, veltra_catalog_writer_add(w, &(const veltra_catalog_row_t &)row("t2", "al", mood)));
    ASSERT_EQ(0u, veltra_catalog_writer_commit(w, "n", "d"));
    veltra_catalog_t *cat = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, path_.c_str(), &cat));
    veltra_catalog_info_t info{};
    veltra_catalog_get_info(cat, &info);
    EXPECT_EQ(2u, info.track_count);
    EXPECT_EQ(0u, veltra_catalog_close(cat));
}

/* Version-1 files (no media table) still open: every track placed by import, none playable;
 * a newer format is a version error, not damage. */
TEST_F(CatalogWriter, ReadsVersionOneAndRefusesNewer) {
    ASSERT_EQ(0u, veltra_catalog_generate(path_.c_str(), 40, 2, 0, nullptr, nullptr));
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "DROP TABLE media; UPDATE meta SET value = 'vibemesh-catalog/1'"
                                          " WHERE key = 'format'", nullptr, nullptr, nullptr));
    veltra_catalog_t *cat = nullptr;
    ASSERT_EQ(0u, veltra_catalog_open(nullptr, path_.c_str(), &cat));
    uint32_t counts[VELTRA_CATALOG_PLACED_COUNT];
    ASSERT_EQ(0u, veltra_catalog_placement_counts(cat, counts));
    EXPECT_EQ(40u, counts[VELTRA_CATALOG_PLACED_IMPORT]);
    veltra_catalog_track_t t{};
    ASSERT_EQ(0u, veltra_catalog_track_get(cat, "trk-0000001", &t));
    EXPECT_EQ(0u, t.playable);
    EXPECT_EQ(0u, veltra_catalog_enum_rows(cat, [](void *, const veltra_catalog_row_t *r) -> uint32_t {
        return r->media.path || r->media.placed_by ? 1 : 0;
    }, nullptr));
    EXPECT_EQ(0u, veltra_catalog_close(cat));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE meta SET value = 'vibemesh-catalog/3' WHERE key = 'format'",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_EQ(VELTRA_CATALOG_ERR_VERSION, veltra_catalog_open(nullptr, path_.c_str(), &cat));
}

}  // namespace
