/* Requests per second and p50/p99 latency of `vibemesh serve` over HTTP beside the same queries
 * made directly through the module (and the file system for audio), on a large generated
 * catalog and a small catalog of audio files, with 1 and 2 client threads:
 *   grid   the 5x5 grid (25 estimates) with one genre filter
 *   cell   a page of 50 tracks of one cell of the 10x10 grid, cells taken in turn (every
 *          cell's first page, so the server's result cache mostly misses)
 *   audio  a 64 KiB byte range of a track's file (catalog with audio only)
 *
 *   bench_server [--tracks N] [--catalog FILE] [--requests R]
 *
 * The large catalog is generated once (seed 1) at FILE (default catalog-<N>.vmcat). */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "serve.h"
#include "serve_support.h"
#include "veltra_catalog.h"
#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

namespace {

double now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "bench_server: %s failed\n", what);
        exit(1);
    }
}

struct Row {
    double rps, p50, p99;
};

/* Runs `op(thread, i)` `per_thread` times on each of `threads` threads. */
Row measure(int threads, int per_thread, const std::function<void(int, int)> &op) {
    std::vector<std::vector<double>> lat(threads);
    double t0 = now_us();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                double a = now_us();
                op(t, i);
                lat[t].push_back(now_us() - a);
            }
        });
    }
    for (std::thread &t : ts) t.join();
    double wall = now_us() - t0;
    std::vector<double> all;
    for (auto &v : lat) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    auto at = [&](double q) { return all[std::min(all.size() - 1, static_cast<size_t>(q * all.size()))]; };
    return {all.size() / (wall / 1e6), at(0.5) / 1000, at(0.99) / 1000};
}

/* The module opened on a catalog, for the direct side. */
struct Direct {
    const veltra_manager_t *m = nullptr;
    veltra_catalog_t *cat = nullptr;
    veltra_vibemesh_provider_handle_t provider = nullptr;
    veltra_user_handle_t user = nullptr;
    explicit Direct(const std::string &path) {
        veltra_manager_start(&m);
        check(veltra_vibemesh_initialize(m) == 0, "initialize");
        check(veltra_catalog_open(m, path.c_str(), &cat) == 0, "catalog open");
        uint32_t ordinal = 0;
        veltra_catalog_ordinal(cat, &ordinal);
        check(veltra_vibemesh_provider_enum(ordinal, &provider) == 0, "provider");
        check(veltra_manager_user_create("bench", &user) == 0, "user");
    }
    ~Direct() {
        veltra_manager_user_release(user);
        veltra_vibemesh_provider_release(provider);
        veltra_catalog_close(cat);
        veltra_vibemesh_shutdown();
        veltra_manager_stop();
    }
    veltra_vibemesh_presentation_handle_t presentation(uint32_t type, bool genre) {
        veltra_vibemesh_presentation_handle_t p = nullptr;
        check(veltra_vibemesh_presentation_create(user, type, nullptr, nullptr, &p) == 0, "presentation");
        if (genre)
            veltra_vibemesh_presentation_filter_set(p, "f1", VELTRA_LIST_TYPE_GENRES, "2",
                                                    VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE);
        return p;
    }
    void grid() {
        auto p = presentation(VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5, true);
        for (uint32_t y = 1; y <= 5; ++y)
            for (uint32_t x = 1; x <= 5; ++x) {
                uint32_t n = 0;
                veltra_vibemesh_presentation_find_recommendations_estimate(p, provider, x, y, &n);
            }
        veltra_vibemesh_presentation_release(p);
    }
    void cell(uint32_t x, uint32_t y) {
        auto p = presentation(VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10, false);
        veltra_vibemesh_result_handle_t r = nullptr;
        uint32_t n = 0;
        if (veltra_vibemesh_presentation_find_recommendations(p, provider, x, y, &r) == 0) {
            veltra_vibemesh_results_count(r, &n);
            for (uint32_t i = 0; i < n && i < 50; ++i) {
                const char *id = nullptr, *g = nullptr;
                veltra_vibemesh_results_enum(r, i, &id, &g);
                veltra_catalog_track_t t;
                veltra_catalog_track_get(cat, id, &t);
            }
            veltra_vibemesh_results_release(r);
        }
        veltra_vibemesh_presentation_release(p);
    }
    void audio(const std::string &ident, uint64_t offset) {
        char path[4096];
        veltra_catalog_media_t media;
        if (veltra_catalog_media_get(cat, ident.c_str(), path, sizeof path, &media) != 0) return;
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        static thread_local char buf[65536];
        if (pread(fd, buf, sizeof buf, static_cast<off_t>(offset)) < 0) perror("pread");
        close(fd);
    }
};

/* A small catalog of 300 tracks over 30 audio files of 60 s (FLAC, MP3). */
std::string make_audio_catalog() {
    static char dir[] = "/tmp/vibemesh-bench-XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    const char *ext[] = {"flac", "mp3"}; /* both over 256 KiB at 60 s */
    std::vector<std::string> files;
    for (int i = 0; i < 30; ++i) {
        files.push_back(std::string(dir) + "/f" + std::to_string(i) + "." + ext[i % 2]);
        check(vt::make_tone(files.back(), 200 + 20 * i, 60), "ffmpeg");
    }
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    veltra_manager_list_entries(VELTRA_LIST_TYPE_MOODS, &e, &n);
    std::vector<uint32_t> moods;
    for (uint32_t i = 0; i < n; ++i)
        if (e[i].level == 2) moods.push_back(e[i].id);
    std::string path = std::string(dir) + "/scanned.vmcat";
    check(vt::write_audio_catalog(path, 0, 300, "al", "Album", "Artist", "Bench audio",
                                  [&](uint32_t i, vt::AudioTrack &t) {
              t.ident = "a" + std::to_string(i);
              t.title = "Track " + std::to_string(i);
              t.path = files[i % files.size()];
              t.row.mood = moods[(i * 7) % moods.size()];
              t.row.genre = 1 + i % 16;
              t.row.origin = 1 + i % 15;
              t.row.era = 1 + i % 10;
          }) == 0,
          "writing the catalog");
    return path;
}

void run(const char *label, const std::string &path, int requests, bool audio) {
    server::Server srv;
    check(vt::start_local(srv, path) == 0, "server start");
    Direct direct(path);
    const int port = srv.port();
    std::vector<httplib::Client *> clients;
    for (int t = 0; t < 2; ++t) {
        clients.push_back(new httplib::Client("127.0.0.1", port));
        clients.back()->set_keep_alive(true);
        clients.back()->set_tcp_nodelay(true);
    }
    auto get = [&](int t, const std::string &p, httplib::Headers h = {}) {
        auto r = clients[t]->Get(p.c_str(), h);
        if (!r || (r->status != 200 && r->status != 206)) {
            fprintf(stderr, "bench_server: %s: %d %s\n", p.c_str(), r ? r->status : -1, r ? r->body.c_str() : "");
            exit(1);
        }
    };
    printf("\n%s\n%-6s %7s | %9s %8s %8s | %9s %8s %8s | %s\n", label, "query", "clients", "http r/s",
           "p50 ms", "p99 ms", "direct/s", "p50 ms", "p99 ms", "p50 ratio");
    auto line = [&](const char *q, int threads, const Row &h, const Row &d) {
        printf("%-6s %7d | %9.0f %8.3f %8.3f | %9.0f %8.3f %8.3f | %.2f\n", q, threads, h.rps, h.p50,
               h.p99, d.rps, d.p50, d.p99, h.p50 / d.p50);
    };
    for (int threads : {1, 2}) {
        const int per = requests / threads;
        line("grid", threads, measure(threads, per, [&](int t, int) { get(t, "/api/grid?size=5&genre=2"); }),
             measure(threads, per, [&](int, int) { direct.grid(); }));
        auto cell_path = [](int t, int i) {
            int c = (i * 2 + t) % 100;
            return "/api/cell?size=10&limit=50&x=" + std::to_string(c % 10 + 1) + "&y=" + std::to_string(c / 10 + 1);
        };
        line("cell", threads, measure(threads, per, [&](int t, int i) { get(t, cell_path(t, i)); }),
             measure(threads, per, [&](int t, int i) {
                 int c = (i * 2 + t) % 100;
                 direct.cell(c % 10 + 1, c / 10 + 1);
             }));
        if (audio) {
            auto range = [](int i) { return static_cast<uint64_t>(i % 4) * 65536; };
            line("audio", threads, measure(threads, per, [&](int t, int i) {
                     std::string r = "bytes=" + std::to_string(range(i)) + "-" + std::to_string(range(i) + 65535);
                     get(t, "/api/audio?track=a" + std::to_string(i % 300), {{"Range", r}});
                 }),
                 measure(threads, per, [&](int, int i) { direct.audio("a" + std::to_string(i % 300), range(i)); }));
        }
    }
    for (auto *c : clients) delete c;
    srv.stop();
}

}  // namespace

int main(int argc, char **argv) {
    uint32_t tracks = 1000000;
    int requests = 400;
    std::string path;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--tracks")) tracks = static_cast<uint32_t>(atoi(argv[i + 1]));
        else if (!strcmp(argv[i], "--requests")) requests = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--catalog")) path = argv[i + 1];
    }
    if (path.empty()) path = "catalog-" + std::to_string(tracks) + ".vmcat";
    const veltra_manager_t *m = nullptr;
    veltra_manager_start(&m);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "generating %u tracks into %s ...\n", tracks, path.c_str());
        check(veltra_catalog_generate(path.c_str(), tracks, 1, 0, nullptr, nullptr) == 0, "generate");
    }
    const std::string small = make_audio_catalog();
    double load[3] = {};
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
        fclose(f);
    }
    printf("load average before: %.2f %.2f %.2f; %d requests per row\n", load[0], load[1], load[2], requests);
    run(("generated catalog, " + std::to_string(tracks) + " tracks").c_str(), path, requests, false);
    run("catalog of audio files, 300 tracks", small, requests, true);
    veltra_manager_stop();
    std::string rm = "rm -rf " + small.substr(0, small.rfind('/'));
    return system(rm.c_str());
}
