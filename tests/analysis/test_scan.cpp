/* The scan command on folders made here (its std::thread workers run under the ThreadSanitizer
 * job too): placements by source, incremental rescans (touch, delete, add, rename),
 * interruption, bad files, names that are not UTF-8, the features CSV import. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "scan.h"
#include "veltra_catalog.h"

namespace {

struct Scan : ::testing::Test {
    std::string root, music, cat;
    void SetUp() override {
        char tmpl[] = "/tmp/vibemesh-scan-XXXXXX";
        root = mkdtemp(tmpl);
        music = root + "/music";
        cat = root + "/c.vmcat";
        mkdir(music.c_str(), 0755);
    }
    void TearDown() override { system(("rm -rf '" + root + "'").c_str()); }

    void make(const std::string &rel, const std::string &meta, double seconds = 4) {
        std::string path = music + "/" + rel;
        system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                          "'aevalsrc=0.3*sin(2*PI*440*t)*exp(-mod(t\\,0.5)*8):s=22050' -t " +
                          std::to_string(seconds) + " " + meta + " '" + path + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    /* Runs a scan; returns its status, the summary in *out. */
    int scan(std::string *out = nullptr, std::atomic<bool> *stop = nullptr) {
        cli::ScanOptions o;
        o.catalog = cat;
        o.dirs = {music};
        o.jobs = 2;
        o.quiet = true;
        o.stop = stop;
        fflush(stdout);
        std::string file = root + "/summary.txt";
        FILE *saved = stdout;
        stdout = fopen(file.c_str(), "w");
        int rc = cli::run_scan(o);
        fclose(stdout);
        stdout = saved;
        std::ifstream in(file);
        std::stringstream ss;
        ss << in.rdbuf();
        if (out) *out = ss.str();
        return rc;
    }
    /* title -> row facts of the catalog. */
    std::map<std::string, veltra_catalog_row_t> rows(std::vector<std::string> *paths = nullptr) {
        veltra_catalog_t *c = nullptr;
        EXPECT_EQ(0u, veltra_catalog_open(nullptr, cat.c_str(), &c));
        std::pair<std::map<std::string, veltra_catalog_row_t> *, std::vector<std::string> *> ctx{&by_title_, paths};
        by_title_.clear();
        veltra_catalog_enum_rows(c, [](void *d, const veltra_catalog_row_t *r) -> uint32_t {
            auto *x = static_cast<decltype(ctx) *>(d);
            veltra_catalog_row_t copy = *r;
            copy.ident = copy.album_ident = copy.album = copy.album_artist = copy.artist = nullptr;
            copy.title = nullptr;
            copy.media.path = nullptr;
            (*x->first)[r->title] = copy;
            if (x->second) x->second->push_back(r->media.path ? r->media.path : "");
            return 0;
        }, &ctx);
        veltra_catalog_close(c);
        return by_title_;
    }
    std::map<std::string, veltra_catalog_row_t> by_title_;
};

TEST_F(Scan, PlacesByMoodTagValueTagsOrAnalysisAndRescansOnlyWhatChanged) {
    make("a/one.mp3", "-metadata title=One -metadata mood='Inner Calm' -metadata genre=Rap");
    make("a/two.ogg", "-c:a libvorbis -metadata title=Two -metadata VALENCE=0.95 -metadata ENERGY=0.95");
    make("b/three.flac", "-metadata title=Three -metadata genre='Polka' -metadata date=1987");
    make("b/four.wav", "");
    std::string out;
    ASSERT_EQ(0, scan(&out)) << out;
    EXPECT_NE(out.npos, out.find("added 4, updated 0, unchanged 0, removed 0")) << out;
    EXPECT_NE(out.npos, out.find("mood tag 1, value tags 1, analysis 2")) << out;
    EXPECT_NE(out.npos, out.find("unmapped genres: \"Polka\" x1")) << out;
    auto r = rows();
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(42979u, r["One"].mood);       /* "Inner Calm" */
    EXPECT_EQ(3u, r["One"].genre);          /* Rap -> Hip-Hop */
    EXPECT_EQ(43053u, r["Two"].mood);       /* top right: "Dancefloor Fever" */
    EXPECT_EQ(VELTRA_CATALOG_PLACED_VALUE_TAGS, r["Two"].media.placed_by);
    EXPECT_EQ(VELTRA_CATALOG_PLACED_ANALYSIS, r["Three"].media.placed_by);
    EXPECT_EQ(6u, r["Three"].era);          /* 1980s */
    EXPECT_TRUE(r.count("four"));           /* no title: the file name */
    EXPECT_GT(r["four"].media.features.loudness_lufs, -30);

    ASSERT_EQ(0, scan(&out));
    EXPECT_NE(out.npos, out.find("added 0, updated 0, unchanged 4, removed 0")) << out;

    make("a/one.mp3", "-metadata title=One -metadata mood='Lost Hope'");  /* changed */
    ASSERT_EQ(0, rename((music + "/b/four.wav").c_str(), (music + "/b/five.wav").c_str()));
    unlink((music + "/a/two.ogg").c_str());
    make("c/six.opus", "-c:a libopus -metadata title=Six");
    ASSERT_EQ(0, scan(&out));
    EXPECT_NE(out.npos, out.find("added 2, updated 1, unchanged 1, removed 2")) << out;
    r = rows();
    EXPECT_EQ(43005u, r["One"].mood);
    EXPECT_TRUE(r.count("five") && r.count("Six") && !r.count("Two") && !r.count("four"));

    /* Scanning one folder keeps the tracks of others whose files exist. */
    cli::ScanOptions sub;
    sub.catalog = cat;
    sub.dirs = {music + "/c"};
    sub.quiet = true;
    fflush(stdout);
    ASSERT_EQ(0, cli::run_scan(sub));
    EXPECT_EQ(4u, rows().size());
    /* A folder that cannot be read (a medium not mounted) keeps its tracks. */
    ASSERT_EQ(0, rename((music + "/c").c_str(), (root + "/c").c_str()));
    ASSERT_EQ(0, rename(music.c_str(), (root + "/away").c_str()));
    ASSERT_EQ(0, scan(&out));
    EXPECT_NE(out.npos, out.find("removed 0\n  kept 4 tracks")) << out;
}

TEST_F(Scan, InterruptionLeavesTheOldCatalog) {
    make("one.mp3", "-metadata title=One");
    ASSERT_EQ(0, scan());
    std::ifstream a(cat, std::ios::binary);
    std::string before((std::istreambuf_iterator<char>(a)), {});
    make("two.mp3", "-metadata title=Two");
    std::atomic<bool> stop{true};
    EXPECT_EQ(130, scan(nullptr, &stop));
    std::ifstream b(cat, std::ios::binary);
    EXPECT_EQ(before, std::string((std::istreambuf_iterator<char>(b)), {}));
    EXPECT_EQ(0, system(("test -z \"$(ls -A '" + root + "' | grep -v -e '^c.vmcat$' -e '^music$' -e '^summary.txt$')\"").c_str()));
    EXPECT_EQ(1u, rows().size());
}

TEST_F(Scan, BadFilesAndOddNamesAreReportedNotFatal) {
    make("good.mp3", "-metadata title=Good");
    make("Mot\xF6rhead.mp3", "");
    make("short.mp3", "", 1);
    std::ofstream(music + "/empty.flac").close();
    std::ofstream(music + "/notes.mp3") << "not music at all";
    std::ofstream(music + "/cover.jpg") << "\xFF\xD8\xFF\xE0 not really";
    mkfifo((music + "/pipe").c_str(), 0644);
    symlink(music.c_str(), (music + "/loop").c_str());
    symlink("/nonexistent/x.mp3", (music + "/dangling.mp3").c_str());
    mkdir((music + "/locked").c_str(), 0);
    testing::internal::CaptureStderr();
    std::string out;
    ASSERT_EQ(0, scan(&out)) << out;
    std::string err = testing::internal::GetCapturedStderr();
    for (const char *line : {"short.mp3: too short", "empty.flac: empty file", "notes.mp3: not audio",
                             "pipe: special file", "dangling.mp3: broken symbolic link",
                             "Mot\\xF6rhead.mp3", "loop: symbolic link loop"})
        EXPECT_NE(err.npos, err.find(line)) << line << "\n" << err;
    if (geteuid() != 0) {
        EXPECT_NE(err.npos, err.find("locked: folder not readable")) << err;
    }
    EXPECT_EQ(err.npos, err.find("cover.jpg"));
    std::vector<std::string> paths;
    auto r = rows(&paths);
    EXPECT_EQ(2u, r.size());
    EXPECT_TRUE(r.count("Good") && r.count("Mot\xEF\xBF\xBDrhead"));
    EXPECT_NE(paths.end(), std::find(paths.begin(), paths.end(), music + "/Mot\xF6rhead.mp3"));
    chmod((music + "/locked").c_str(), 0755);
}

}  // namespace

namespace {

TEST_F(Scan, FeaturesCsvPlacesByValenceAndEnergyAndNamesBadFields) {
    std::string csv = root + "/f.csv";
    std::ofstream(csv) << "title,artist,album,genre,year,valence,energy,tempo\n"
                          "Up,A,X,Hip Hop,1987,0.95,0.99,128\n"
                          "\"Down, slowly\",B,Y,Polka,,0.02,0.01,\n";
    ASSERT_EQ(0, cli::run_features_import(csv, cat, "", false));
    auto r = rows();
    EXPECT_EQ(43053u, r["Up"].mood);            /* top right */
    EXPECT_EQ(42994u, r["Down, slowly"].mood);  /* bottom left: "Midnight Emptiness" */
    EXPECT_EQ(3u, r["Up"].genre);
    EXPECT_EQ(0u, r["Down, slowly"].genre);     /* unknown: no guess from other albums */
    EXPECT_DOUBLE_EQ(128, r["Up"].media.features.tempo_bpm);
    EXPECT_EQ(1, cli::run_features_import(csv, cat, "", false));  /* exists */

    struct { const char *body, *where; } bad[] = {
        {"title,artist,album,genre,year,valence,energy\nA,B,C,Pop,1990,1.5,0.2\n", "f.csv:2:16: valence"},
        {"title,artist,album,genre,year,valence,energy\nA,B,C,Pop,19x0,0.5,0.2\n", "f.csv:2:11: year"},
        {"title,artist,album,genre,year,valence,energy,loudness\nA,B,C,Pop,,0.5,0.2,3\n", "f.csv:2:20: loudness"},
        {"title,artist,album,genre,year,valence\n", "f.csv:1:1: missing column 'energy'"},
        {"title,artist,album,genre,year,valence,energy,mood\n", "f.csv:1:46: unknown column 'mood'"},
        {"title,artist,album,genre,year,valence,energy\n\"A,B,C,Pop,1990,1,0\n", "f.csv:2:1: malformed"},
    };
    for (auto &b : bad) {
        std::ofstream(csv) << b.body;
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, cli::run_features_import(csv, cat, "", true));
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.npos, err.find(b.where)) << err;
    }
    EXPECT_EQ(2u, rows().size());  /* the catalog from before is still there */
}

}  // namespace

namespace {

TEST_F(Scan, RowsOfAnEarlierModelAreReplacedFromTheirFeaturesWithoutDecoding) {
    make("old.mp3", "-metadata title=Old");
    std::string path = music + "/old.mp3";
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    /* A row as an earlier model left it: features stored, a mood that model 1 would not give. */
    veltra_catalog_row_t row{};
    row.ident = "t1";
    row.album_ident = row.album = row.title = "Old";
    row.artist = "";
    row.mood = 42972;  /* top left */
    row.genre = row.origin = row.era = 1;
    row.media = {path.c_str(), static_cast<uint64_t>(st.st_size),
                 int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 VELTRA_CATALOG_PLACED_ANALYSIS, 0, 0.0, 1.0,
                 {4, -8, 2, 170, 6, 3000, 1, 5000, -1, 1}};
    veltra_catalog_writer_t *w = nullptr;
    ASSERT_EQ(0u, veltra_catalog_writer_begin(cat.c_str(), 0, &w));
    ASSERT_EQ(0u, veltra_catalog_writer_add(w, &row));
    ASSERT_EQ(0u, veltra_catalog_writer_commit(w, "old", "old"));
    std::string out;
    ASSERT_EQ(0, scan(&out));
    EXPECT_NE(out.npos, out.find("unchanged 1")) << out;
    EXPECT_NE(out.npos, out.find("(1 re-placed by model 1)")) << out;
    auto r = rows()["Old"];
    EXPECT_EQ(1u, r.media.model_version);
    EXPECT_GT(r.media.arousal, 0.9);   /* loud, fast, dense, bright */
    EXPECT_LT(r.media.valence, 0.3);   /* clearly minor */
    EXPECT_DOUBLE_EQ(-8, r.media.features.loudness_lufs);  /* features kept as they were */
}

}  // namespace
