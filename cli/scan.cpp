/* `vibemesh catalog scan`: walks folders, reads tags, analyses the audio of new or changed files
 * on worker threads and writes the whole catalog anew through the catalog writer, which
 * replaces the old file in one step only when everything is written.
 *
 * A track's place on the grid comes from, in this order:
 *   1. a mood tag naming a level-2 mood of the list (id, or name in either locale),
 *   2. valence and energy/arousal tags, through the model's (arousal, valence) -> cell mapping,
 *   3. the features of its decoded audio, through the model.
 * Genre, origin and era come from the genre, country and date tags. Tracks whose tag maps to
 * nothing (or that have none) take the value of the other tracks of their album, else stay 0,
 * unknown, which no include filter matches. The summary counts these and lists the texts that
 * mapped to nothing. */
#include "scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "veltra_analysis.h"
#include "veltra_catalog.h"
#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

namespace cli {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_signals{0};

void on_signal(int) {
    g_stop.store(true);
    if (g_signals.fetch_add(1) >= 1) {  /* a second Ctrl-C: leave now, leave no temporary file */
        veltra_catalog_writer_remove_temps();
        _exit(130);
    }
}

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

/* ---- lists and the grid ------------------------------------------------------------------ */

std::vector<analysis::ListEntry> list_of(const char *type) {
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    std::vector<analysis::ListEntry> out;
    if (veltra_manager_list_entries(type, &e, &n) != 0) return out;
    for (uint32_t i = 0; i < n; ++i)
        out.push_back({e[i].id, e[i].level, e[i].parent_id, e[i].key ? e[i].key : "",
                       e[i].name_en ? e[i].name_en : "", e[i].name_de ? e[i].name_de : ""});
    return out;
}

/* The level-2 mood id of every cell of the 10 x 10 presentation. */
uint32_t grid_moods(const veltra_manager_t *manager, std::array<uint32_t, 100> *grid) {
    uint32_t code = veltra_vibemesh_initialize(manager);
    if (code) return code;
    veltra_user_handle_t user = nullptr;
    veltra_vibemesh_presentation_handle_t pres = nullptr;
    code = veltra_manager_user_create("vibemesh-scan", &user);
    if (!code)
        code = veltra_vibemesh_presentation_create(user, VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10,
                                                   nullptr, nullptr, &pres);
    for (uint32_t y = 1; !code && y <= 10; ++y)
        for (uint32_t x = 1; !code && x <= 10; ++x) {
            const char *id = nullptr;
            code = veltra_vibemesh_presentation_get_mood_id(pres, x, y, &id);
            if (!code) (*grid)[(y - 1) * 10 + (x - 1)] = static_cast<uint32_t>(strtoul(id, nullptr, 10));
        }
    if (pres) veltra_vibemesh_presentation_release(pres);
    if (user) veltra_manager_user_release(user);
    veltra_vibemesh_shutdown();
    return code;
}

/* The lists and the grid, read while the manager runs (the caller stops it). */
struct Lists {
    analysis::Vocabulary vocab;
};

uint32_t load_lists(std::optional<Lists> *out) {
    const veltra_manager_t *manager = nullptr;
    uint32_t code = veltra_manager_start(&manager);
    std::array<uint32_t, 100> grid{};
    if (!code) code = grid_moods(manager, &grid);
    if (code) {
        veltra_manager_stop();
        return code;
    }
    std::vector<analysis::ListEntry> l[3] = {list_of(VELTRA_LIST_TYPE_GENRES),
                                             list_of(VELTRA_LIST_TYPE_ORIGINS),
                                             list_of(VELTRA_LIST_TYPE_ERAS)};
    out->emplace(Lists{analysis::Vocabulary(list_of(VELTRA_LIST_TYPE_MOODS), std::move(l[0]),
                                            std::move(l[1]), std::move(l[2]), grid)});
    return 0;
}

/* ---- the walk ----------------------------------------------------------------------------- */

struct FileEntry {
    std::string path;
    uint64_t size;
    int64_t mtime_ns;
};

struct Problem {
    std::string path, reason;
};

class Walker {
public:
    Walker(dev_t skip_dev, ino_t skip_ino) : skip_dev_(skip_dev), skip_ino_(skip_ino) {}
    std::vector<FileEntry> files;
    std::vector<Problem> problems;
    std::vector<std::string> unreadable;  /* folders whose tracks are kept as they were */
    uint64_t hidden = 0;

    void root(const std::string &dir) {
        struct stat st;
        if (stat(dir.c_str(), &st) != 0) {
            unreadable.push_back(dir);
            return problems.push_back({dir, strerror(errno)});
        }
        if (!S_ISDIR(st.st_mode)) return problems.push_back({dir, "not a folder"});
        walk(dir, st);
    }

private:
    void walk(const std::string &dir, const struct stat &dst) {
        std::pair<dev_t, ino_t> id{dst.st_dev, dst.st_ino};
        if (on_path_.count(id)) return problems.push_back({dir, "symbolic link loop"});
        if (!dirs_seen_.insert(id).second) return;  /* reached before through another link */
        DIR *d = opendir(dir.c_str());
        if (!d) {
            unreadable.push_back(dir);
            return problems.push_back({dir, std::string("folder not readable: ") + strerror(errno)});
        }
        on_path_.insert(id);
        std::vector<std::string> names;
        errno = 0;
        while (struct dirent *e = readdir(d)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            if (e->d_name[0] == '.') {  /* hidden files, "._" resource forks of other systems */
                ++hidden;
                continue;
            }
            names.emplace_back(e->d_name);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::string path = dir == "/" ? "/" + name : dir + "/" + name;
            struct stat st;
            if (stat(path.c_str(), &st) != 0) {
                struct stat lst;
                bool link = lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
                problems.push_back({path, link ? (errno == ELOOP ? "symbolic link loop" : "broken symbolic link")
                                               : strerror(errno)});
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                walk(path, st);
            } else if (S_ISREG(st.st_mode)) {
                if (st.st_dev == skip_dev_ && st.st_ino == skip_ino_) continue;  /* the catalog */
                if (!files_seen_.insert({st.st_dev, st.st_ino}).second) continue;  /* same file */
                files.push_back({path, static_cast<uint64_t>(st.st_size),
                                 int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
            } else {
                problems.push_back({path, "special file"});
            }
        }
        on_path_.erase(id);
    }

    dev_t skip_dev_;
    ino_t skip_ino_;
    std::set<std::pair<dev_t, ino_t>> on_path_, dirs_seen_, files_seen_;
};

/* ---- tracks ------------------------------------------------------------------------------- */

/* One track, owning its texts; `row()` lends them to the writer. */
struct Track {
    std::string path, ident, album_ident, album, album_artist, title, artist;
    uint32_t mood = 0, genre = 0, origin = 0, era = 0;
    veltra_catalog_media_t media{};
    /* Raw tag texts for the summary and the fallbacks; empty for kept rows. */
    std::string genre_text, country_text, date_text;
    bool fresh = false;  /* read in this scan (genre/origin/era may still need a fallback) */

    veltra_catalog_row_t row() const {
        veltra_catalog_row_t r{};
        r.ident = ident.c_str();
        r.album_ident = album_ident.c_str();
        r.album = album.c_str();
        r.album_artist = album_artist.c_str();
        r.title = title.c_str();
        r.artist = artist.c_str();
        r.mood = mood;
        r.genre = genre;
        r.origin = origin;
        r.era = era;
        r.media = media;
        r.media.path = path.empty() ? nullptr : path.c_str();
        return r;
    }
};

uint32_t collect_row(void *data, const veltra_catalog_row_t *r) {
    auto *out = static_cast<std::vector<Track> *>(data);
    Track t;
    t.path = r->media.path ? r->media.path : "";
    t.ident = r->ident;
    t.album_ident = r->album_ident;
    t.album = r->album;
    t.album_artist = r->album_artist ? r->album_artist : "";
    t.title = r->title;
    t.artist = r->artist;
    t.mood = r->mood;
    t.genre = r->genre;
    t.origin = r->origin;
    t.era = r->era;
    t.media = r->media;
    t.media.path = nullptr;
    out->push_back(std::move(t));
    return 0;
}

std::string base_name(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

/* What reading one file gave. */
struct Outcome {
    analysis::Fault fault = analysis::Fault::none;
    std::string detail;
    std::string unmapped_mood;  /* a mood tag that names no level-2 mood */
};

/* Reads one file into `t`: tags, then the placement by mood tag, value tags or analysis. */
Outcome read_file(const FileEntry &f, const analysis::Vocabulary &vocab,
                  const analysis::Limits &limits, const std::atomic<bool> *stop, Track *t) {
    Outcome out;
    double duration = NAN;
    out.fault = analysis::probe(f.path.c_str(), limits, &duration, &out.detail);
    if (out.fault != analysis::Fault::none) return out;
    if (isfinite(duration) && duration < limits.min_seconds) {  /* the container says so: no decoding */
        out.fault = analysis::Fault::too_short;
        return out;
    }
    analysis::Tags tags;
    analysis::read_tags(f.path.c_str(), &tags);

    t->path = f.path;
    t->fresh = true;
    std::string file = base_name(f.path);
    size_t dot = file.rfind('.');
    if (dot != std::string::npos && dot > 0) file.resize(dot);
    t->title = !tags.title.empty() ? tags.title : analysis::to_utf8(file);
    t->artist = tags.artist;
    t->album_artist = tags.album_artist;
    const std::string &owner = !tags.album_artist.empty() ? tags.album_artist : tags.artist;
    if (!tags.album.empty()) {
        t->album = tags.album;
        t->album_ident = owner + " / " + tags.album;
    } else {  /* the folder is the album */
        std::string folder = folder_of(f.path);
        t->album = analysis::to_utf8(base_name(folder));
        t->album_ident = "folder:" + analysis::to_utf8(folder);
    }
    t->genre_text = tags.genre;
    t->country_text = tags.country;
    t->date_text = tags.date;
    t->genre = vocab.genre(tags.genre);
    t->origin = vocab.origin(tags.country);
    t->era = vocab.era(tags.date);

    veltra_catalog_media_t &m = t->media;
    m.size = f.size;
    m.mtime_ns = f.mtime_ns;
    m.arousal = m.valence = NAN;
    m.model_version = 0;
    m.features = analysis::no_features();
    m.features.duration_s = duration;
    if (tags.bpm > 0) m.features.tempo_bpm = tags.bpm;

    if (!tags.mood.empty()) {
        if (uint32_t mood = vocab.mood(tags.mood)) {
            t->mood = mood;
            m.placed_by = VELTRA_CATALOG_PLACED_MOOD_TAG;
            return out;
        }
        out.unmapped_mood = tags.mood;
    }
    if (tags.valence >= 0 && tags.arousal >= 0) {
        analysis::Placement p{tags.arousal, tags.valence};
        t->mood = vocab.place(p);
        m.placed_by = VELTRA_CATALOG_PLACED_VALUE_TAGS;
        m.arousal = p.arousal;
        m.valence = p.valence;
        m.model_version = analysis::MODEL_VERSION;
        return out;
    }
    analysis::Features feat;
    out.fault = analysis::analyse_file(f.path.c_str(), limits, stop, &feat, &out.detail);
    if (out.fault != analysis::Fault::none) return out;
    analysis::Placement p = analysis::model_v1(feat);
    t->mood = vocab.place(p);
    m.placed_by = VELTRA_CATALOG_PLACED_ANALYSIS;
    m.arousal = p.arousal;
    m.valence = p.valence;
    m.model_version = analysis::MODEL_VERSION;
    m.features = feat;
    return out;
}

/* ---- progress ----------------------------------------------------------------------------- */

std::string clock_text(double seconds) {
    char buf[32];
    long s = lround(seconds);
    if (s >= 3600) snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

/* Files per second over the files done; the time left from the bytes done, since one long
 * track takes as long as many short ones. */
class Progress {
public:
    Progress(size_t total, uint64_t total_bytes, bool quiet)
        : total_(total), total_bytes_(total_bytes), tty_(!quiet && isatty(2)), quiet_(quiet) {
        start_ = last_ = now_s();
    }
    void update(size_t done, uint64_t done_bytes, bool final = false) {
        if (quiet_ || total_ == 0) return;
        double t = now_s();
        if (!final && t - last_ < (tty_ ? 0.2 : 10.0)) return;
        last_ = t;
        double elapsed = t - start_;
        double rate = elapsed > 0 ? done / elapsed : 0;
        std::string eta = done_bytes > 0 && elapsed > 0
                              ? clock_text(elapsed * static_cast<double>(total_bytes_ - done_bytes) / done_bytes)
                              : "?";
        if (tty_) {
            int width = 30, fill = static_cast<int>(width * done / total_);
            fprintf(stderr, "\r[%s%s] %zu/%zu files  %.1f files/s  ETA %s ",
                    std::string(fill, '#').c_str(), std::string(width - fill, ' ').c_str(), done,
                    total_, rate, eta.c_str());
            if (final) fputc('\n', stderr);
        } else if (!final) {
            fprintf(stderr, "scan: %zu/%zu files, %.1f files/s, about %s left\n", done, total_,
                    rate, eta.c_str());
        }
    }

private:
    size_t total_;
    uint64_t total_bytes_;
    bool tty_, quiet_;
    double start_, last_;
};

/* ---- fallbacks for genre, origin, era ----------------------------------------------------- */

/* Fills the ids still 0 of fresh tracks with their album's most common value; a track whose
 * album knows none stays 0, unknown, which no include filter matches (a guess such as the
 * collection's most common origin would make filters answer wrongly). Returns how many tracks
 * took their album's value. */
size_t fill_ids(std::vector<Track> &tracks, uint32_t Track::*field) {
    std::map<std::string, std::map<uint32_t, size_t>> by_album;
    for (const Track &t : tracks)
        if (t.*field) ++by_album[t.album_ident][t.*field];
    size_t filled = 0;
    for (Track &t : tracks) {
        if (t.*field) continue;
        auto it = by_album.find(t.album_ident);
        if (it == by_album.end()) continue;
        uint32_t best = 0;
        size_t n = 0;
        for (auto [id, c] : it->second)
            if (c > n) best = id, n = c;
        t.*field = best;
        ++filled;
    }
    return filled;
}

/* How many tracks have no value in `field`. */
size_t count_unknown(const std::vector<Track> &tracks, uint32_t Track::*field) {
    return static_cast<size_t>(std::count_if(tracks.begin(), tracks.end(),
                                             [&](const Track &t) { return t.*field == 0; }));
}

/* The summary's lines on genres, origins and eras that no tag gave. */
void report_unknown_ids(const std::vector<Track> &tracks, const size_t from_album[3]) {
    const char *what[3] = {"a genre", "an origin", "an era"};
    uint32_t Track::*fields[3] = {&Track::genre, &Track::origin, &Track::era};
    for (int k = 0; k < 3; ++k) {
        const size_t unknown = count_unknown(tracks, fields[k]);
        if (from_album[k] || unknown)
            printf("  without %s tag: %zu took their album's, %zu unknown (no include filter matches them)\n",
                   what[k], from_album[k], unknown);
    }
}

/* A stable ident for a new track: FNV-1a of its path, unique in the catalog. */
std::string new_ident(const std::string &path, std::set<std::string> *taken) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : path) h = (h ^ c) * 1099511628211ull;
    char buf[32];
    snprintf(buf, sizeof buf, "t%016llx", static_cast<unsigned long long>(h));
    std::string id = buf;
    for (int n = 2; !taken->insert(id).second; ++n) id = std::string(buf) + "-" + std::to_string(n);
    return id;
}

std::string quoted_list(const std::map<std::string, size_t> &m, size_t max) {
    std::vector<std::pair<size_t, std::string>> v;
    for (auto &[text, n] : m) v.push_back({n, text});
    std::sort(v.begin(), v.end(), [](auto &a, auto &b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    std::string out;
    for (size_t i = 0; i < v.size() && i < max; ++i)
        out += (i ? ", \"" : "\"") + analysis::escape_name(v[i].second) + "\" x" + std::to_string(v[i].first);
    if (v.size() > max) out += ", ... (" + std::to_string(v.size() - max) + " more)";
    return out;
}

struct SignalScope {
    struct sigaction old_int, old_term;
    SignalScope() {
        g_stop.store(false);
        g_signals.store(0);
        struct sigaction sa{};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
    }
    ~SignalScope() {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
};

}  // namespace

int run_scan(const ScanOptions &o) {
    if (o.catalog.empty() || o.dirs.empty()) {
        fprintf(stderr, "vibemesh: catalog scan: a catalog file and at least one folder are needed\n");
        return 1;
    }
    SignalScope signals;
    auto stopped = [&] { return g_stop.load() || (o.stop && o.stop->load()); };
    const double t0 = now_s();

    std::optional<Lists> lists;
    uint32_t code = load_lists(&lists);
    if (code) {
        fprintf(stderr, "vibemesh: catalog scan: reading the mood grid: 0x%08X\n", code);
        return 1;
    }
    const analysis::Vocabulary &vocab = lists->vocab;

    /* Take the writer's lock first: a second scan of the same catalog fails before any work. */
    veltra_catalog_writer_t *writer = nullptr;
    code = veltra_catalog_writer_begin(o.catalog.c_str(), VELTRA_CATALOG_WRITE_REPLACE, &writer);
    if (code) {
        veltra_manager_stop();
        fprintf(stderr, "vibemesh: catalog scan: %s: %s\n", o.catalog.c_str(),
                code == VELTRA_CATALOG_ERR_BUSY ? "another scan or import is writing this catalog"
                                                : "cannot write the catalog");
        return 1;
    }
    auto fail = [&](int status) {
        veltra_catalog_writer_abort(writer);
        veltra_manager_stop();
        return status;
    };

    /* The catalog as it is: its rows by path. */
    std::vector<Track> old_tracks;
    std::string old_name;
    struct stat cst;
    bool have_old = stat(o.catalog.c_str(), &cst) == 0;
    if (have_old && !o.force) {
        veltra_catalog_t *old = nullptr;
        code = veltra_catalog_open(nullptr, o.catalog.c_str(), &old);
        if (!code) code = veltra_catalog_enum_rows(old, collect_row, &old_tracks);
        veltra_catalog_info_t info{};
        if (!code && !veltra_catalog_get_info(old, &info)) old_name = info.name;
        veltra_catalog_close(old);
        if (code) {
            fprintf(stderr, "vibemesh: catalog scan: %s cannot be read (0x%08X); run with --force "
                            "to replace it with a new scan\n", o.catalog.c_str(), code);
            return fail(1);
        }
    }

    Walker walker(have_old ? cst.st_dev : 0, have_old ? cst.st_ino : 0);
    std::vector<std::string> roots;
    for (const std::string &d : o.dirs) {
        if (d.empty()) continue;
        char *real = realpath(d.c_str(), nullptr);
        char cwd[4096];
        std::string abs = real ? real : (d[0] != '/' && getcwd(cwd, sizeof cwd)) ? std::string(cwd) + "/" + d : d;
        while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
        roots.push_back(abs);
        walker.root(abs);
        free(real);
    }
    std::sort(walker.files.begin(), walker.files.end(),
              [](const FileEntry &a, const FileEntry &b) { return a.path < b.path; });

    std::unordered_map<std::string, size_t> old_by_path;
    for (size_t i = 0; i < old_tracks.size(); ++i)
        if (!old_tracks[i].path.empty()) old_by_path.emplace(old_tracks[i].path, i);

    /* New and changed files go to the workers; unchanged ones keep their rows. */
    std::vector<Track> tracks(walker.files.size());
    std::vector<Outcome> outcomes(walker.files.size());
    std::vector<size_t> jobs;
    std::vector<char> kept(walker.files.size(), 0);
    size_t replaced_by_model = 0;
    for (size_t i = 0; i < walker.files.size(); ++i) {
        const FileEntry &f = walker.files[i];
        auto it = old_by_path.find(f.path);
        if (it != old_by_path.end() && old_tracks[it->second].media.size == f.size &&
            old_tracks[it->second].media.mtime_ns == f.mtime_ns) {
            Track &t = tracks[i] = old_tracks[it->second];
            kept[i] = 1;
            veltra_catalog_media_t &m = t.media;
            if (m.placed_by == VELTRA_CATALOG_PLACED_ANALYSIS && m.model_version != analysis::MODEL_VERSION) {
                analysis::Placement p = analysis::model_v1(m.features);
                t.mood = vocab.place(p);
                m.arousal = p.arousal;
                m.valence = p.valence;
                m.model_version = analysis::MODEL_VERSION;
                ++replaced_by_model;
            }
        } else {
            jobs.push_back(i);
        }
    }

    uint32_t workers = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<uint32_t>(std::min<size_t>(workers, std::max<size_t>(1, jobs.size())));
    analysis::Limits limits;
    std::atomic<size_t> next{0}, done{0};
    std::atomic<uint64_t> done_bytes{0};
    std::atomic<bool> worker_stop{false};
    std::vector<std::thread> pool;
    for (uint32_t w = 0; w < workers && !jobs.empty(); ++w)
        pool.emplace_back([&] {
            for (;;) {
                size_t k = next.fetch_add(1);
                if (k >= jobs.size() || worker_stop.load()) break;
                size_t i = jobs[k];
                outcomes[i] = read_file(walker.files[i], vocab, limits, &worker_stop, &tracks[i]);
                done_bytes.fetch_add(walker.files[i].size);
                done.fetch_add(1);
            }
        });
    uint64_t total_bytes = 0;
    for (size_t i : jobs) total_bytes += walker.files[i].size;
    Progress progress(jobs.size(), total_bytes, o.quiet);
    while (done.load() < jobs.size()) {
        if (stopped()) {
            worker_stop.store(true);
            break;
        }
        progress.update(done.load(), done_bytes.load());
        usleep(50000);
    }
    for (std::thread &t : pool) t.join();
    if (stopped()) {
        if (!o.quiet && isatty(2)) fputc('\n', stderr);
        fprintf(stderr, "vibemesh: catalog scan: interrupted; %s left as it was\n", o.catalog.c_str());
        return fail(130);
    }
    progress.update(done.load(), done_bytes.load(), true);

    /* The new catalog: rows without audio files first (imports), then the files by path. */
    std::vector<Track> out;
    std::set<std::string> idents;
    for (Track &t : old_tracks)
        if (t.path.empty()) {
            idents.insert(t.ident);
            out.push_back(std::move(t));
        }
    for (const FileEntry &f : walker.files)  /* idents of files seen again stay theirs */
        if (auto it = old_by_path.find(f.path); it != old_by_path.end())
            idents.insert(old_tracks[it->second].ident);
    std::map<std::string, size_t> skipped_by_reason, unmapped_genres, unmapped_moods,
        unmapped_countries, unmapped_dates;
    std::vector<Problem> bad = walker.problems;
    std::vector<std::string> notes;  /* names that are not UTF-8 */
    size_t added = 0, updated = 0, unchanged = 0, quiet_not_audio = 0;
    size_t placed[VELTRA_CATALOG_PLACED_COUNT] = {};
    static const char *kAudioExt[] = {"mp3", "flac", "ogg", "oga", "opus", "m4a", "mp4", "aac",
                                      "wav", "aif", "aiff", "wma", "ape", "wv", "mpc", "alac"};
    for (size_t i = 0; i < tracks.size(); ++i) {
        Track &t = tracks[i];
        const Outcome &oc = outcomes[i];
        if (!kept[i] && oc.fault != analysis::Fault::none) {
            ++skipped_by_reason[analysis::fault_text(oc.fault)];
            std::string ext = base_name(walker.files[i].path);
            ext = ext.rfind('.') == std::string::npos ? "" : analysis::fold(ext.substr(ext.rfind('.') + 1));
            bool audio_name = std::find_if(std::begin(kAudioExt), std::end(kAudioExt),
                                           [&](const char *e) { return ext == e; }) != std::end(kAudioExt);
            if (oc.fault == analysis::Fault::not_audio && !audio_name) ++quiet_not_audio;
            else bad.push_back({walker.files[i].path, std::string(analysis::fault_text(oc.fault)) +
                                                          (oc.detail.empty() ? "" : " (" + oc.detail + ")")});
            continue;
        }
        if (kept[i]) {
            ++unchanged;
        } else {
            auto it = old_by_path.find(t.path);
            if (it != old_by_path.end()) {
                t.ident = old_tracks[it->second].ident;  /* a changed file keeps its ident */
                idents.insert(t.ident);
                ++updated;
            } else {
                t.ident = new_ident(t.path, &idents);
                ++added;
            }
            if (!analysis::is_utf8(t.path)) notes.push_back(t.path);
            if (!oc.unmapped_mood.empty()) ++unmapped_moods[oc.unmapped_mood];
            if (!t.genre && !t.genre_text.empty()) ++unmapped_genres[t.genre_text];
            if (!t.origin && !t.country_text.empty()) ++unmapped_countries[t.country_text];
            if (!t.era && !t.date_text.empty()) ++unmapped_dates[t.date_text];
        }
        ++placed[t.media.placed_by < VELTRA_CATALOG_PLACED_COUNT ? t.media.placed_by : 0];
        out.push_back(std::move(t));
    }
    size_t fallback[3] = {fill_ids(out, &Track::genre), fill_ids(out, &Track::origin),
                          fill_ids(out, &Track::era)};
    /* Tracks of the old catalog that this scan did not see again: those under the folders
     * scanned are dropped (their files vanished), unless the folder could not be read (a medium
     * not mounted, permissions); those outside them stay while their files exist, so scanning
     * one new folder adds to a catalog instead of replacing it. */
    size_t removed = 0, kept_unreadable = 0, kept_outside = 0;
    {
        std::set<std::string> now;
        for (const Track &t : out)
            if (!t.path.empty()) now.insert(t.path);
        auto under = [](const std::string &path, const std::vector<std::string> &dirs) {
            return std::any_of(dirs.begin(), dirs.end(), [&](const std::string &d) {
                return path.compare(0, d.size() + 1, d == "/" ? "/" : d + "/") == 0;
            });
        };
        for (Track &t : old_tracks) {
            if (t.path.empty() || now.count(t.path)) continue;
            struct stat st;
            if (under(t.path, walker.unreadable)) {
                ++kept_unreadable;
            } else if (!under(t.path, roots) && stat(t.path.c_str(), &st) == 0) {
                ++kept_outside;
            } else {
                ++removed;
                continue;
            }
            out.push_back(std::move(t));
        }
    }

    size_t written_not = 0;
    for (const Track &t : out) {
        veltra_catalog_row_t row = t.row();
        if ((code = veltra_catalog_writer_add(writer, &row)) == VELTRA_CATALOG_ERR_BAD_INPUT) {
            bad.push_back({t.path, "the catalog refused its row"});  /* the writer stays usable */
            ++skipped_by_reason["refused by the catalog"];
            ++written_not;
        } else if (code) {
            fprintf(stderr, "vibemesh: catalog scan: writing %s: 0x%08X\n",
                    analysis::escape_name(t.path).c_str(), code);
            return fail(1);
        }
        if (stopped()) {
            fprintf(stderr, "vibemesh: catalog scan: interrupted; %s left as it was\n", o.catalog.c_str());
            return fail(130);
        }
    }
    std::string name = !o.name.empty() ? o.name : !old_name.empty() ? old_name : "Scanned music";
    std::string description = "Scanned from";
    for (const std::string &d : o.dirs) description += " " + analysis::to_utf8(d);
    description = description.substr(0, 200);
    code = veltra_catalog_writer_commit(writer, analysis::to_utf8(name).c_str(), description.c_str());
    writer = nullptr;
    veltra_manager_stop();
    if (code) {
        fprintf(stderr, "vibemesh: catalog scan: committing %s: 0x%08X; the old catalog is unchanged\n",
                o.catalog.c_str(), code);
        return 1;
    }

    for (const Problem &p : bad)
        fprintf(stderr, "skipped %s: %s\n", analysis::escape_name(p.path).c_str(), p.reason.c_str());
    for (const std::string &p : notes)
        fprintf(stderr, "note %s: the name is not UTF-8; kept as it is, shown escaped\n",
                analysis::escape_name(p).c_str());
    size_t skipped = 0;
    for (auto &[r, n] : skipped_by_reason) skipped += n;
    skipped += walker.problems.size();
    printf("scanned %zu files in %.1f s with %u worker%s: %zu tracks in %s\n", walker.files.size(),
           now_s() - t0, workers, workers == 1 ? "" : "s", out.size() - written_not, o.catalog.c_str());
    printf("  added %zu, updated %zu, unchanged %zu, removed %zu\n", added, updated, unchanged, removed);
    if (kept_unreadable)
        printf("  kept %zu tracks of folders that could not be read\n", kept_unreadable);
    if (kept_outside) printf("  kept %zu tracks outside the folders scanned\n", kept_outside);
    std::string reasons;
    for (auto &[r, n] : skipped_by_reason) reasons += (reasons.empty() ? "" : ", ") + r + " " + std::to_string(n);
    if (!walker.problems.empty())
        reasons += (reasons.empty() ? "" : ", ") + std::string("walk problems ") + std::to_string(walker.problems.size());
    if (walker.hidden) reasons += (reasons.empty() ? "" : ", ") + std::string("hidden ") + std::to_string(walker.hidden);
    printf("  skipped %zu%s%s%s\n", skipped + walker.hidden, reasons.empty() ? "" : " (", reasons.c_str(),
           reasons.empty() ? "" : ")");
    if (quiet_not_audio) printf("  (%zu of them other files: pictures, texts, playlists)\n", quiet_not_audio);
    printf("  placed by: mood tag %zu, value tags %zu, analysis %zu, import %zu", placed[1], placed[2],
           placed[3], placed[0]);
    if (replaced_by_model) printf(" (%zu re-placed by model %u)", replaced_by_model, analysis::MODEL_VERSION);
    printf("\n");
    report_unknown_ids(out, fallback);
    if (!unmapped_genres.empty()) printf("  unmapped genres: %s\n", quoted_list(unmapped_genres, 20).c_str());
    if (!unmapped_moods.empty()) printf("  unmapped moods: %s\n", quoted_list(unmapped_moods, 10).c_str());
    if (!unmapped_countries.empty()) printf("  unmapped countries: %s\n", quoted_list(unmapped_countries, 10).c_str());
    if (!unmapped_dates.empty()) printf("  unmapped dates: %s\n", quoted_list(unmapped_dates, 10).c_str());
    return 0;
}

/* ---- features CSV import ------------------------------------------------------------------ */

namespace {

struct CsvField {
    std::string text;
    uint32_t column;  /* 1-based, in characters */
};
struct CsvRecord {
    uint32_t line;
    std::vector<CsvField> fields;
};

/* RFC 4180 records: fields quoted with ", "" for a quote, CRLF or LF. False with *line and
 * *column set at an unclosed quote or stray text after a closing quote. */
bool parse_csv(const std::string &text, std::vector<CsvRecord> *out, uint32_t *line, uint32_t *column) {
    size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    uint32_t ln = 1, col = 1;
    auto advance = [&](size_t k) {
        if (text[k] == '\n') ++ln, col = 1;
        else if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) ++col;
    };
    while (i < text.size()) {
        CsvRecord rec{ln, {}};
        for (;;) {
            CsvField f{"", col};
            if (i < text.size() && text[i] == '"') {
                uint32_t qline = ln, qcol = col;
                advance(i++);
                for (;;) {
                    if (i >= text.size()) return *line = qline, *column = qcol, false;
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            f.text += '"';
                            advance(i++);
                            advance(i++);
                            continue;
                        }
                        advance(i++);
                        break;
                    }
                    f.text += text[i];
                    advance(i++);
                }
                if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r')
                    return *line = ln, *column = col, false;
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    f.text += text[i];
                    advance(i++);
                }
            }
            rec.fields.push_back(std::move(f));
            if (i < text.size() && text[i] == ',') {
                advance(i++);
                continue;
            }
            if (i < text.size() && text[i] == '\r') ++i;
            if (i < text.size() && text[i] == '\n') advance(i++);
            break;
        }
        if (!(rec.fields.size() == 1 && rec.fields[0].text.empty())) out->push_back(std::move(rec));
    }
    return true;
}

bool parse_number(const std::string &s, double lo, double hi, double *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (*end || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

}  // namespace

int run_features_import(const std::string &csv_path, const std::string &catalog_path,
                        const std::string &name, bool replace) {
    auto error = [&](uint32_t line, uint32_t column, const std::string &what) {
        fprintf(stderr, "vibemesh: %s:%u:%u: %s\n", csv_path.c_str(), line, column, what.c_str());
        return 1;
    };
    FILE *f = fopen(csv_path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "vibemesh: %s: %s\n", csv_path.c_str(), strerror(errno));
        return 1;
    }
    std::string text;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    fclose(f);
    if (text.find('\0') != std::string::npos || !analysis::is_utf8(text))
        return error(1, 1, "the file is not UTF-8 text");
    std::vector<CsvRecord> records;
    uint32_t line = 0, column = 0;
    if (!parse_csv(text, &records, &line, &column)) return error(line, column, "malformed quoting");
    if (records.empty()) return error(1, 1, "empty file");

    /* Header: the seven required columns in any order, tempo and loudness optional. */
    static const char *kColumns[] = {"title", "artist", "album", "genre", "year",
                                     "valence", "energy", "tempo", "loudness"};
    int col_of[9];
    std::fill(std::begin(col_of), std::end(col_of), -1);
    const CsvRecord &head = records[0];
    for (size_t c = 0; c < head.fields.size(); ++c) {
        std::string key = analysis::fold(head.fields[c].text);
        auto it = std::find_if(std::begin(kColumns), std::end(kColumns), [&](const char *k) { return key == k; });
        if (it == std::end(kColumns) || col_of[it - std::begin(kColumns)] >= 0)
            return error(head.line, head.fields[c].column,
                         (it == std::end(kColumns) ? "unknown column '" : "repeated column '") +
                             head.fields[c].text + "'; the header is title,artist,album,genre,year,"
                                                   "valence,energy[,tempo][,loudness]");
        col_of[it - std::begin(kColumns)] = static_cast<int>(c);
    }
    for (int k = 0; k < 7; ++k)
        if (col_of[k] < 0)
            return error(head.line, 1, std::string("missing column '") + kColumns[k] + "'");

    std::optional<Lists> lists;
    if (uint32_t code = load_lists(&lists)) {
        fprintf(stderr, "vibemesh: reading the lists: 0x%08X\n", code);
        return 1;
    }
    struct ManagerStop {
        ~ManagerStop() { veltra_manager_stop(); }
    } manager_stop;
    std::vector<Track> tracks;
    std::map<std::string, size_t> unmapped;
    for (size_t r = 1; r < records.size(); ++r) {
        const CsvRecord &rec = records[r];
        if (rec.fields.size() != head.fields.size())
            return error(rec.line, rec.fields.back().column,
                         "expected " + std::to_string(head.fields.size()) + " fields, found " +
                             std::to_string(rec.fields.size()));
        auto field = [&](int k) -> const CsvField & { return rec.fields[static_cast<size_t>(col_of[k])]; };
        Track t;
        t.title = field(0).text;
        t.artist = field(1).text;
        t.album = field(2).text;
        if (t.title.empty()) return error(rec.line, field(0).column, "empty title");
        t.album_ident = t.artist + " / " + t.album;
        t.genre_text = field(3).text;
        t.genre = lists->vocab.genre(t.genre_text);
        if (!t.genre && !t.genre_text.empty()) ++unmapped[t.genre_text];
        double year = 0, v[4] = {NAN, NAN, NAN, NAN};
        if (!field(4).text.empty()) {
            if (!parse_number(field(4).text, 1000, 2999, &year) || year != floor(year))
                return error(rec.line, field(4).column, "year must be a year such as 1987");
            t.era = lists->vocab.era(field(4).text);
        }
        const double lo[4] = {0, 0, 0, -70}, hi[4] = {1, 1, 400, 0};
        const char *what[4] = {"valence must be a number from 0 to 1", "energy must be a number from 0 to 1",
                               "tempo must be a number of BPM from 0 to 400",
                               "loudness must be a number of LUFS from -70 to 0"};
        for (int k = 0; k < 4; ++k) {
            if (col_of[5 + k] < 0 || (k >= 2 && field(5 + k).text.empty())) continue;
            if (!parse_number(field(5 + k).text, lo[k], hi[k], &v[k]))
                return error(rec.line, field(5 + k).column, what[k]);
        }
        analysis::Placement p{v[1], v[0]};
        t.ident = "csv" + std::to_string(rec.line);
        t.mood = lists->vocab.place(p);
        t.media.placed_by = VELTRA_CATALOG_PLACED_VALUE_TAGS;
        t.media.model_version = analysis::MODEL_VERSION;
        t.media.arousal = p.arousal;
        t.media.valence = p.valence;
        t.media.features = analysis::no_features();
        t.media.features.tempo_bpm = v[2];
        t.media.features.loudness_lufs = v[3];
        t.fresh = true;
        tracks.push_back(std::move(t));
    }
    if (tracks.empty()) return error(records[0].line, 1, "no tracks after the header");
    size_t fallback[3] = {fill_ids(tracks, &Track::genre), fill_ids(tracks, &Track::origin),
                          fill_ids(tracks, &Track::era)};
    veltra_catalog_writer_t *writer = nullptr;
    uint32_t code = veltra_catalog_writer_begin(
        catalog_path.c_str(), replace ? VELTRA_CATALOG_WRITE_REPLACE : 0u, &writer);
    if (code) {
        fprintf(stderr, "vibemesh: %s: %s (0x%08X)\n", catalog_path.c_str(),
                code == VELTRA_CATALOG_ERR_EXISTS ? "exists already (--force replaces it)"
                : code == VELTRA_CATALOG_ERR_BUSY ? "another writer holds it"
                                                   : "cannot be written",
                code);
        return 1;
    }
    for (size_t i = 0; i < tracks.size(); ++i) {
        veltra_catalog_row_t row = tracks[i].row();
        if ((code = veltra_catalog_writer_add(writer, &row))) {
            veltra_catalog_writer_abort(writer);
            return error(records[i + 1].line, 1, "the catalog refused this row (an album title "
                                                 "differs from an earlier row of the same album?)");
        }
    }
    std::string description = "Imported features from " + analysis::to_utf8(csv_path);
    code = veltra_catalog_writer_commit(writer, (name.empty() ? "Imported features" : name).c_str(),
                                        description.substr(0, 200).c_str());
    if (code) {
        fprintf(stderr, "vibemesh: writing %s: 0x%08X\n", catalog_path.c_str(), code);
        return 1;
    }
    printf("imported %zu tracks into %s\n", tracks.size(), catalog_path.c_str());
    report_unknown_ids(tracks, fallback);
    if (!unmapped.empty()) printf("  unmapped genres: %s\n", quoted_list(unmapped, 20).c_str());
    return 0;
}

}  // namespace cli
