/* vibemesh serve over HTTP: every endpoint and parameter rule, paging edges, byte ranges and
 * content types of real audio files, refused paths and Host headers, and a bounded load run
 * with the allocation count checked after stop. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "serve.h"
#include "serve_support.h"
#include "veltra_catalog.h"
#include "veltra_manager_app.h"

using nlohmann::json;

namespace {

constexpr const char *kFormats[][2] = {{"wav", "audio/wav"}, {"flac", "audio/flac"},
                                       {"opus", "audio/ogg; codecs=opus"}, {"mp3", "audio/mpeg"},
                                       {"m4a", "audio/mp4"}};
constexpr uint32_t kTracks = 130; /* 120 in one mood: three pages of 50 */

class Serve : public ::testing::Test {
protected:
    static std::string dir, catalog;
    static uint32_t mood, other_mood;

    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vibemesh-serve-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        catalog = dir + "/music.vmcat";
        for (auto &f : kFormats) ASSERT_TRUE(vt::make_tone(dir + "/a." + f[0], 440, 2)) << f[0];
        /* Two moods of the 10x10 grid, as the module lays them out. */
        const veltra_manager_t *m = nullptr;
        veltra_user_handle_t user = nullptr;
        veltra_vibemesh_presentation_handle_t pres = nullptr;
        const char *a = nullptr, *b = nullptr;
        ASSERT_EQ(veltra_manager_start(&m), 0u);
        ASSERT_EQ(veltra_vibemesh_initialize(m), 0u);
        ASSERT_EQ(veltra_manager_user_create("test", &user), 0u);
        ASSERT_EQ(veltra_vibemesh_presentation_create(user, VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10,
                                                      nullptr, nullptr, &pres), 0u);
        ASSERT_EQ(veltra_vibemesh_presentation_get_mood_id(pres, 2, 3, &a), 0u);
        ASSERT_EQ(veltra_vibemesh_presentation_get_mood_id(pres, 9, 8, &b), 0u);
        mood = static_cast<uint32_t>(atoi(a));
        other_mood = static_cast<uint32_t>(atoi(b));
        veltra_vibemesh_presentation_release(pres);
        veltra_manager_user_release(user);
        veltra_vibemesh_shutdown();
        veltra_manager_stop();
        ASSERT_EQ(vt::write_audio_catalog(catalog, 0, kTracks, "al", "Album", "Artist", "Test music",
                                          [](uint32_t i, vt::AudioTrack &t) {
            t.ident = "t" + std::to_string(i);
            t.title = "Title " + std::to_string(i);
            if (i % 10 != 9) t.path = dir + "/a." + kFormats[i % 5][0]; /* every tenth has no audio */
            t.row.mood = i < 120 ? mood : other_mood;
            t.row.genre = 1 + i % 2;
            t.row.origin = 1;
            t.row.era = 1 + i % 3;
        }), 0u);
    }
    static void TearDownTestSuite() { system(("rm -rf " + dir).c_str()); }

    void SetUp() override {
        ASSERT_EQ(veltra_manager_start(&manager_), 0u);
        veltra_manager_memory_stats(&before_);
        ASSERT_EQ(vt::start_local(server_, catalog, 4), 0);
        host_ = "127.0.0.1:" + std::to_string(server_.port());
    }
    void TearDown() override {
        server_.stop();
        veltra_manager_memory_stats_t after{};
        veltra_manager_memory_stats(&after);
        EXPECT_EQ(after.live_blocks, before_.live_blocks) << "allocations left after stop";
        veltra_manager_stop();
    }

    httplib::Result get(const std::string &path, httplib::Headers h = {}) {
        httplib::Client c("127.0.0.1", server_.port());
        return c.Get(path.c_str(), h);
    }
    json get_json(const std::string &path, int status = 200) {
        auto r = get(path);
        EXPECT_TRUE(r) << path;
        if (!r) return {};
        EXPECT_EQ(r->status, status) << path << ": " << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json") << path;
        return json::parse(r->body);
    }
    /* The cell holding `m` on the 10x10 grid. */
    std::pair<int, int> cell_of(uint32_t m) {
        const json grid = get_json("/api/grid?size=10");
        for (const json &c : grid["cells"])
            if (c["mood"] == std::to_string(m)) return {c["x"], c["y"]};
        ADD_FAILURE() << "mood " << m << " not on the grid";
        return {1, 1};
    }

    const veltra_manager_t *manager_ = nullptr;
    veltra_manager_memory_stats_t before_{};
    server::Server server_;
    std::string host_;
};
std::string Serve::dir, Serve::catalog;
uint32_t Serve::mood, Serve::other_mood;

TEST_F(Serve, GridCountsFollowFilters) {
    json g = get_json("/api/grid?size=10");
    ASSERT_EQ(g["cells"].size(), 100u);
    EXPECT_EQ(g["matching"], kTracks);
    json five = get_json("/api/grid?size=5&lang=de");
    EXPECT_EQ(five["cells"].size(), 25u);
    EXPECT_EQ(five["matching"], kTracks);
    EXPECT_EQ(get_json("/api/grid?size=10&genre=2")["matching"], kTracks / 2);
    EXPECT_EQ(get_json("/api/grid?size=10&genre=-2&era=-1")["matching"], 43u); /* genre 1, era 2 or 3 */
    EXPECT_EQ(get_json("/api/grid?genre=3")["matching"], 0u);
    EXPECT_TRUE(get_json("/api/grid?genre=3")["legend"]["fullest"].is_null());
    json lists = get_json("/api/lists?lang=de");
    EXPECT_EQ(lists["genres"][5]["name"], "Klassik");
    EXPECT_EQ(lists["eras"].size(), 10u);
}

TEST_F(Serve, CellPagesCoverEveryTrackOnce) {
    auto [x, y] = cell_of(mood);
    std::string base = "/api/cell?size=10&x=" + std::to_string(x) + "&y=" + std::to_string(y);
    std::vector<std::string> seen;
    for (int offset = 0; offset < 150; offset += 50) {
        json p = get_json(base + "&offset=" + std::to_string(offset));
        EXPECT_EQ(p["total"], 120u);
        for (const json &t : p["tracks"]) seen.push_back(t["id"]);
    }
    ASSERT_EQ(seen.size(), 120u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], "t" + std::to_string(i));
    json last = get_json(base + "&offset=119&limit=500");
    ASSERT_EQ(last["tracks"].size(), 1u);
    EXPECT_EQ(last["tracks"][0]["title"], "Title 119");
    EXPECT_EQ(last["tracks"][0]["playable"], false);
    EXPECT_EQ(last["tracks"][0]["era"], "1950s");
    EXPECT_TRUE(get_json(base + "&offset=120")["tracks"].empty());
    EXPECT_TRUE(get_json(base + "&offset=999999999")["tracks"].empty());
    json de = get_json(base + "&lang=de&genre=2&limit=1");
    EXPECT_EQ(de["total"], 60u);
    EXPECT_EQ(de["tracks"][0]["genre"], "Rock");
    EXPECT_EQ(de["tracks"][0]["era"], "1940er");
}

TEST_F(Serve, BadParametersNameTheParameter) {
    const std::pair<const char *, const char *> cases[] = {
        {"/api/grid?size=7", "size"},      {"/api/grid?size=5&size=10", "size"},
        {"/api/grid?lang=fr", "lang"},     {"/api/grid?genre=pop", "genre"},
        {"/api/grid?era=-", "era"},        {"/api/grid?genre=1&genre=-1", "genre"},
        {"/api/grid?x=1", "x"},            {"/api/cell?y=1", "x"},
        {"/api/cell?x=1", "y"},            {"/api/cell?x=0&y=1", "x"},
        {"/api/cell?x=6&y=1", "x"},        {"/api/cell?x=1&y=1&offset=-1", "offset"},
        {"/api/cell?x=1&y=1&limit=0", "limit"}, {"/api/cell?x=1&y=1&limit=501", "limit"},
        {"/api/lists?offset=1", "offset"}, {"/api/audio", "track"},
        {"/api/audio?track=t0&track=t1", "track"}, {"/?cell=3", "cell"},
    };
    for (auto [path, param] : cases) {
        auto r = get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 400) << path;
        if (path[1] == 'a') EXPECT_EQ(json::parse(r->body)["error"]["parameter"], param) << path;
        else EXPECT_NE(r->body.find(param), std::string::npos) << path;
    }
    EXPECT_EQ(get_json("/api/grid?origin=99", 404)["error"]["parameter"], "origin");
    EXPECT_EQ(get("/api/audio?track=nosuch")->status, 404);
    EXPECT_EQ(get("/api/audio?track=t9")->status, 404); /* a track without audio */
    EXPECT_EQ(get("/api/nothing")->status, 404);
    httplib::Client c("127.0.0.1", server_.port());
    EXPECT_EQ(c.Post("/api/grid", "x", "text/plain")->status, 405);
}

TEST_F(Serve, AudioRangesAndTypes) {
    for (int i = 0; i < 5; ++i) {
        auto full = get("/api/audio?track=t" + std::to_string(i));
        ASSERT_TRUE(full);
        EXPECT_EQ(full->status, 200);
        EXPECT_EQ(full->get_header_value("Content-Type"), kFormats[i][1]);
        FILE *f = fopen((dir + "/a." + kFormats[i][0]).c_str(), "rb");
        std::string bytes(1 << 20, '\0');
        bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
        fclose(f);
        EXPECT_EQ(full->body, bytes);
        const size_t n = bytes.size();
        auto first = get("/api/audio?track=t" + std::to_string(i), {{"Range", "bytes=0-0"}});
        EXPECT_EQ(first->status, 206);
        EXPECT_EQ(first->body, bytes.substr(0, 1));
        EXPECT_EQ(first->get_header_value("Content-Range"), "bytes 0-0/" + std::to_string(n));
        auto last = get("/api/audio?track=t" + std::to_string(i), {{"Range", "bytes=-1"}});
        EXPECT_EQ(last->status, 206);
        EXPECT_EQ(last->body, bytes.substr(n - 1));
        auto tail = get("/api/audio?track=t" + std::to_string(i), {{"Range", "bytes=" + std::to_string(n - 10) + "-"}});
        EXPECT_EQ(tail->body, bytes.substr(n - 10));
        for (std::string bad : {"bytes=" + std::to_string(n) + "-", std::string("bytes=0-1,4-5")}) {
            auto r = get("/api/audio?track=t" + std::to_string(i), {{"Range", bad}});
            EXPECT_EQ(r->status, 416) << bad;
            EXPECT_EQ(r->get_header_value("Content-Range"), "bytes */" + std::to_string(n)) << bad;
        }
    }
}

TEST_F(Serve, RefusesForeignHostsAndPaths) {
    for (const char *host : {"evil.example", "evil.example:80", "127.0.0.1:1", "localhost"}) {
        auto r = get("/api/grid", {{"Host", host}});
        EXPECT_EQ(r->status, 403) << host;
    }
    EXPECT_EQ(get("/api/grid", {{"Host", "localhost:" + std::to_string(server_.port())}})->status, 200);
    for (const char *path : {"/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/api/audio?track=../../etc/passwd",
                             "/api/audio?track=/etc/passwd", "/server/", "/api/"}) {
        auto r = get(path);
        EXPECT_EQ(r->status, 404) << path;
        EXPECT_EQ(r->body.find("root:"), std::string::npos) << path;
    }
}

TEST_F(Serve, PageCarriesItsNonceAndState) {
    auto r = get("/?size=10&lang=de&genre=2&cell=3,4");
    ASSERT_EQ(r->status, 200);
    std::string csp = r->get_header_value("Content-Security-Policy");
    size_t at = csp.find("'nonce-");
    ASSERT_NE(at, std::string::npos);
    std::string nonce = csp.substr(at + 7, csp.find('\'', at + 7) - at - 7);
    EXPECT_NE(r->body.find("<script nonce=\"" + nonce + "\">"), std::string::npos);
    EXPECT_NE(r->body.find("lang=\"de\""), std::string::npos);
    EXPECT_NE(r->body.find("\"cell\":{\"x\":3,\"y\":4}"), std::string::npos);
    EXPECT_NE(r->body.find("id=\"audio\""), std::string::npos); /* a catalog with audio */
    EXPECT_NE(get("/")->get_header_value("Content-Security-Policy"), csp); /* a fresh nonce each time */
}

TEST_F(Serve, ParallelMixedRequestsAllSucceed) {
    auto [x, y] = cell_of(mood);
    const std::vector<std::pair<std::string, int>> mix = {
        {"/api/grid?size=10&genre=2", 200},
        {"/api/grid?size=5&era=-1", 200},
        {"/api/cell?size=10&x=" + std::to_string(x) + "&y=" + std::to_string(y) + "&offset=50", 200},
        {"/api/lists?lang=de", 200},
        {"/api/audio?track=t3", 200},
        {"/api/grid?size=3", 400},
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", server_.port());
            c.set_keep_alive(true);
            c.set_tcp_nodelay(true);
            for (int i = 0; i < 600; ++i) {
                const auto &[path, status] = mix[(i + t) % mix.size()];
                auto r = c.Get(path.c_str());
                if (!r || r->status != status) ++wrong;
            }
        });
    }
    for (std::thread &t : clients) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
