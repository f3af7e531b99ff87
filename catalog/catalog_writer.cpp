/* The catalog writer: one writer per catalog path at a time (an advisory lock on a lock file
 * beside it), rows go into a temporary file in the same folder, and commit makes that file
 * durable and renames it over the target, so the target is always the old complete catalog or
 * the new complete one.
 *
 * Files beside a catalog NAME in its folder:
 *   .NAME.lock              the writer lock (flock); removed by the writer that releases it
 *   .NAME.PID.RANDOM.tmp    a writer's temporary file; one found while holding the lock
 *                           belongs to a writer that died, and is removed */
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <dirent.h>

#include <atomic>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "catalog_internal.h"

namespace {

/* Temporary files of live writers, for veltra_catalog_writer_remove_temps() from a signal
 * handler: only fixed storage and atomics, nothing a handler could find half-built. */
constexpr int kSlots = 8;
constexpr size_t kNameMax = 256;
struct TempSlot {
    std::atomic<int> state{0}; /* 0 free, 1 being filled, 2 armed */
    int dir_fd = -1;
    char name[kNameMax] = {};
};
TempSlot g_slots[kSlots];

int arm_slot(int dir_fd, const std::string &name) {
    if (name.size() >= kNameMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!g_slots[i].state.compare_exchange_strong(expected, 1)) continue;
        g_slots[i].dir_fd = dir_fd;
        memcpy(g_slots[i].name, name.c_str(), name.size() + 1);
        g_slots[i].state.store(2);
        return i;
    }
    return -1; /* more writers than slots: that one's file is left to the next writer */
}

void disarm_slot(int slot) {
    if (slot >= 0) g_slots[slot].state.store(0);
}

/* The name used in the lock's and the temporary files' names: the target's file name, cut so
 * that ".NAME.PID.RANDOM.tmp" fits a folder entry. */
std::string stem_of(const std::string &base) {
    return "." + base.substr(0, 200);
}

/* True for ".NAME.<digits>.<16 hex digits>.tmp". */
bool is_temp_of(const char *entry, const std::string &stem) {
    size_t n = stem.size();
    if (strncmp(entry, stem.c_str(), n) != 0 || entry[n] != '.') return false;
    const char *p = entry + n + 1;
    const char *digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    if (p == digits || *p++ != '.') return false;
    for (int i = 0; i < 16; ++i, ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    return strcmp(p, ".tmp") == 0;
}

uint64_t random64() {
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof r)) return r;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    static std::atomic<uint64_t> counter{0};
    return (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
           (++counter * 0x9E3779B97F4A7C15ull) ^ static_cast<uint64_t>(getpid());
}

uint32_t errno_code(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR: return VELTRA_CATALOG_ERR_NOT_FOUND;
    case ENOMEM: return VELTRA_CATALOG_ERR_NO_MEMORY;
    default: return VELTRA_CATALOG_ERR_IO;
    }
}

struct Album {
    uint32_t id;
    std::string title;
};

bool nan_or_unit(double v) { return isnan(v) || (v >= 0.0 && v <= 1.0); }

void bind_real(sqlite3_stmt *st, int col, double v) {
    if (isnan(v)) sqlite3_bind_null(st, col);
    else sqlite3_bind_double(st, col, v);
}

}  // namespace

struct veltra_catalog_writer_s {
    std::string dir, base, stem, lock_name, temp_name;
    int dir_fd = -1, lock_fd = -1, temp_fd = -1, slot = -1;
    bool replace = false;
    sqlite3 *db = nullptr;
    sqlite3_stmt *album = nullptr, *track = nullptr, *media = nullptr;
    std::unordered_map<uint32_t, uint32_t> parent_of; /* level-2 mood -> its level-1 parent */
    std::unordered_set<uint32_t> known[cat::kListKinds];
    std::unordered_map<std::string, Album> albums;
    int64_t tracks = 0;
    bool broken = false;

    ~veltra_catalog_writer_s() {
        sqlite3_finalize(album);
        sqlite3_finalize(track);
        sqlite3_finalize(media);
        if (db) sqlite3_close(db);
        if (temp_fd >= 0) {
            unlinkat(dir_fd, temp_name.c_str(), 0);
            close(temp_fd);
        }
        disarm_slot(slot);
        if (lock_fd >= 0) {
            /* Unlinked while held: a writer waiting on this file sees that it is gone after it
             * gets the lock, and starts over on a new one. */
            unlinkat(dir_fd, lock_name.c_str(), 0);
            close(lock_fd);
        }
        if (dir_fd >= 0) close(dir_fd);
    }

    uint32_t exec(const char *sql) {
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? 0 : cat::map_sqlite(rc);
    }

    uint32_t lock(bool wait) {
        for (;;) {
            int fd = openat(dir_fd, lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (fd < 0) return errno_code(errno);
            int rc;
            do rc = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
            while (rc != 0 && errno == EINTR);
            if (rc != 0) {
                int e = errno;
                close(fd);
                return e == EWOULDBLOCK ? VELTRA_CATALOG_ERR_BUSY : errno_code(e);
            }
            struct stat held, named;
            if (fstat(fd, &held) == 0 && fstatat(dir_fd, lock_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                lock_fd = fd;
                return 0;
            }
            close(fd); /* its holder removed it on release: take the new one */
        }
    }

    /* Removes temporary files of writers that died; runs while holding the lock. */
    void remove_stale_temps() {
        int fd = dup(dir_fd);
        if (fd < 0) return;
        DIR *d = fdopendir(fd);
        if (!d) {
            close(fd);
            return;
        }
        while (struct dirent *e = readdir(d))
            if (is_temp_of(e->d_name, stem)) unlinkat(dir_fd, e->d_name, 0);
        closedir(d);
    }

    uint32_t begin(const char *path, uint32_t flags) {
        std::string p = path;
        size_t slash = p.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
        base = slash == std::string::npos ? p : p.substr(slash + 1);
        if (base.empty() || base == "." || base == "..") return VELTRA_CATALOG_ERR_INVALID_ARG;
        stem = stem_of(base);
        lock_name = stem + ".lock";
        replace = flags & VELTRA_CATALOG_WRITE_REPLACE;
        dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0) return errno_code(errno);
        if (uint32_t code = lock(flags & VELTRA_CATALOG_WRITE_WAIT)) return code;
        mode_t mode = 0644;
        struct stat st;
        if (fstatat(dir_fd, base.c_str(), &st, 0) == 0) {
            if (!replace) return VELTRA_CATALOG_ERR_EXISTS;
            if (!S_ISREG(st.st_mode)) return VELTRA_CATALOG_ERR_INVALID_ARG;
            mode = st.st_mode & 07777;
        }
        remove_stale_temps();
        for (int attempt = 0; temp_fd < 0; ++attempt) {
            char tail[64];
            snprintf(tail, sizeof tail, ".%ld.%016llx.tmp", static_cast<long>(getpid()),
                     static_cast<unsigned long long>(random64()));
            temp_name = stem + tail;
            temp_fd = openat(dir_fd, temp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (temp_fd < 0 && (errno != EEXIST || attempt > 8)) return errno_code(errno);
        }
        slot = arm_slot(dir_fd, temp_name);
        fchmod(temp_fd, mode); /* a replacement keeps the old file's permissions */
        std::string temp_path = dir + "/" + temp_name;
        int rc = sqlite3_open_v2(temp_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        if (rc != SQLITE_OK) return VELTRA_CATALOG_ERR_IO;
        /* No journal and no syncs while filling: commit syncs the finished file once. */
        uint32_t code = exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                             " PRAGMA locking_mode=EXCLUSIVE; BEGIN;");
        if (!code) code = exec(cat::kSchema);
        if (code) return code;
        return prepare();
    }

    uint32_t prepare() {
        cat::Lists lists;
        if (uint32_t code = cat::load_lists(&lists)) return code;
        sqlite3_stmt *mood = nullptr;
        int rc = sqlite3_prepare_v2(db, "INSERT INTO moods(id, level, parent) VALUES(?,?,?)", -1,
                                    &mood, nullptr);
        for (const cat::MoodEntry &m : lists.moods) {
            if (rc != SQLITE_OK) break;
            sqlite3_bind_int64(mood, 1, m.id);
            sqlite3_bind_int(mood, 2, static_cast<int>(m.level));
            if (m.parent) sqlite3_bind_int64(mood, 3, m.parent);
            else sqlite3_bind_null(mood, 3);
            rc = sqlite3_step(mood);
            rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
            sqlite3_reset(mood);
            if (m.level == 2) parent_of[m.id] = m.parent;
        }
        sqlite3_finalize(mood);
        if (rc != SQLITE_OK) return cat::map_sqlite(rc);
        for (int k = cat::kGenres; k < cat::kListKinds; ++k)
            known[k].insert(lists.ids[k].begin(), lists.ids[k].end());
        rc = sqlite3_prepare_v2(db, "INSERT INTO albums(id, ident, title, artist) VALUES(?,?,?,?)",
                                -1, &album, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_prepare_v2(db,
                                    "INSERT INTO tracks(id, ident, album_id, title, artist, mood1,"
                                    " mood2, genre, origin, era) VALUES(?,?,?,?,?,?,?,?,?,?)",
                                    -1, &track, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_prepare_v2(db,
                                    (std::string("INSERT INTO media(track_id, ") + cat::kMediaColumns +
                                     ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)")
                                        .c_str(),
                                    -1, &media, nullptr);
        return rc == SQLITE_OK ? 0 : cat::map_sqlite(rc);
    }

    /* After a half-added row the writer cannot commit: only abort is left. */
    uint32_t failed(uint32_t code) {
        broken = true;
        return code;
    }

    static bool text_ok(const char *s) { return s && *s && cat::valid_utf8(s, strlen(s)); }

    uint32_t add(const veltra_catalog_row_t *r) {
        const veltra_catalog_media_t &m = r->media;
        if (!text_ok(r->ident) || !text_ok(r->album_ident) || !r->album || !r->title || !r->artist ||
            !cat::valid_utf8(r->album, strlen(r->album)) || !cat::valid_utf8(r->title, strlen(r->title)) ||
            !cat::valid_utf8(r->artist, strlen(r->artist)) ||
            (r->album_artist && !cat::valid_utf8(r->album_artist, strlen(r->album_artist))) ||
            (m.path && !*m.path) || m.size > INT64_MAX || m.placed_by >= VELTRA_CATALOG_PLACED_COUNT ||
            !nan_or_unit(m.arousal) || !nan_or_unit(m.valence))
            return VELTRA_CATALOG_ERR_BAD_INPUT;
        auto parent = parent_of.find(r->mood);
        /* 0 stands for an unknown genre, origin or era: no include filter matches it. */
        if (parent == parent_of.end() || (r->genre && !known[cat::kGenres].count(r->genre)) ||
            (r->origin && !known[cat::kOrigins].count(r->origin)) ||
            (r->era && !known[cat::kEras].count(r->era)))
            return VELTRA_CATALOG_ERR_BAD_INPUT;
        auto it = albums.find(r->album_ident);
        if (it != albums.end() && it->second.title != r->album) return VELTRA_CATALOG_ERR_BAD_INPUT;
        /* The track first: a refused track (a repeated ident) leaves no album behind. */
        const uint32_t album_id = it != albums.end() ? it->second.id : static_cast<uint32_t>(albums.size() + 1);
        int64_t id = tracks + 1;
        sqlite3_bind_int64(track, 1, id);
        sqlite3_bind_text(track, 2, r->ident, -1, SQLITE_STATIC);
        sqlite3_bind_int64(track, 3, album_id);
        sqlite3_bind_text(track, 4, r->title, -1, SQLITE_STATIC);
        sqlite3_bind_text(track, 5, r->artist, -1, SQLITE_STATIC);
        sqlite3_bind_int64(track, 6, parent->second);
        sqlite3_bind_int64(track, 7, r->mood);
        sqlite3_bind_int64(track, 8, r->genre);
        sqlite3_bind_int64(track, 9, r->origin);
        sqlite3_bind_int64(track, 10, r->era);
        int rc = sqlite3_step(track);
        sqlite3_reset(track);
        if (rc != SQLITE_DONE) return cat::map_sqlite(rc); /* a repeated ident: BAD_INPUT */
        if (it == albums.end()) {
            const char *artist = r->album_artist && *r->album_artist ? r->album_artist : r->artist;
            sqlite3_bind_int64(album, 1, album_id);
            sqlite3_bind_text(album, 2, r->album_ident, -1, SQLITE_STATIC);
            sqlite3_bind_text(album, 3, r->album, -1, SQLITE_STATIC);
            sqlite3_bind_text(album, 4, artist, -1, SQLITE_STATIC);
            rc = sqlite3_step(album);
            sqlite3_reset(album);
            if (rc != SQLITE_DONE) return failed(cat::map_sqlite(rc));
            albums.emplace(r->album_ident, Album{album_id, r->album});
        }
        tracks = id;
        const veltra_catalog_features_t &f = m.features;
        const double reals[] = {m.arousal, m.valence, f.duration_s, f.loudness_lufs,
                                f.loudness_range_lu, f.tempo_bpm, f.onset_rate, f.centroid_hz,
                                f.flux, f.rolloff_hz, f.mode, f.mode_strength};
        bool any = m.path || m.size || m.mtime_ns || m.placed_by || m.model_version;
        for (double v : reals) any = any || !isnan(v);
        if (!any) return 0; /* no media row: placed by import, no audio file */
        sqlite3_bind_int64(media, 1, id);
        if (m.path) sqlite3_bind_blob(media, 2, m.path, static_cast<int>(strlen(m.path)), SQLITE_STATIC);
        else sqlite3_bind_null(media, 2);
        sqlite3_bind_int64(media, 3, static_cast<int64_t>(m.size));
        sqlite3_bind_int64(media, 4, m.mtime_ns);
        sqlite3_bind_int64(media, 5, m.placed_by);
        sqlite3_bind_int64(media, 6, m.model_version);
        for (int i = 0; i < 12; ++i) bind_real(media, 7 + i, reals[i]);
        rc = sqlite3_step(media);
        sqlite3_reset(media);
        return rc == SQLITE_DONE ? 0 : failed(cat::map_sqlite(rc));
    }

    uint32_t commit(const char *name, const char *description) {
        sqlite3_stmt *meta = nullptr;
        int rc = sqlite3_prepare_v2(db, "INSERT INTO meta(key, value) VALUES(?,?)", -1, &meta, nullptr);
        const char *rows[][2] = {{"format", cat::kFormat}, {"name", name}, {"description", description}};
        for (auto &row : rows) {
            if (rc != SQLITE_OK) break;
            sqlite3_bind_text(meta, 1, row[0], -1, SQLITE_STATIC);
            sqlite3_bind_text(meta, 2, row[1], -1, SQLITE_STATIC);
            rc = sqlite3_step(meta);
            rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
            sqlite3_reset(meta);
        }
        sqlite3_finalize(meta);
        if (rc != SQLITE_OK) return cat::map_sqlite(rc);
        if (uint32_t code = exec(cat::kIndexes)) return code;
        if (uint32_t code = exec("COMMIT;")) return code;
        sqlite3_finalize(album);
        sqlite3_finalize(track);
        sqlite3_finalize(media);
        album = track = media = nullptr;
        rc = sqlite3_close(db);
        db = nullptr;
        if (rc != SQLITE_OK) return VELTRA_CATALOG_ERR_IO;
        /* Durable before it becomes visible, and the new name durable after. */
        if (fsync(temp_fd) != 0 || fsync(dir_fd) != 0) return VELTRA_CATALOG_ERR_IO;
        if (replace) {
            rc = renameat(dir_fd, temp_name.c_str(), dir_fd, base.c_str());
        } else {
            rc = renameat2(dir_fd, temp_name.c_str(), dir_fd, base.c_str(), RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
                /* A file system without no-replace renames: a hard link fails on an existing
                 * name just the same. */
                rc = linkat(dir_fd, temp_name.c_str(), dir_fd, base.c_str(), 0);
            }
        }
        if (rc != 0) return errno == EEXIST ? VELTRA_CATALOG_ERR_EXISTS : errno_code(errno);
        unlinkat(dir_fd, temp_name.c_str(), 0); /* after a hard link; ENOENT after a rename */
        close(temp_fd);
        temp_fd = -1;
        disarm_slot(slot);
        slot = -1;
        return fsync(dir_fd) == 0 ? 0 : VELTRA_CATALOG_ERR_IO;
    }
};

extern "C" {

uint32_t veltra_catalog_writer_begin(const char *path, uint32_t flags,
                                     veltra_catalog_writer_t **p_writer) {
    if (p_writer) *p_writer = nullptr;
    if (!path || !*path || !p_writer ||
        (flags & ~(VELTRA_CATALOG_WRITE_REPLACE | VELTRA_CATALOG_WRITE_WAIT)))
        return VELTRA_CATALOG_ERR_INVALID_ARG;
    auto *w = new (std::nothrow) veltra_catalog_writer_s;
    if (!w) return VELTRA_CATALOG_ERR_NO_MEMORY;
    if (uint32_t code = w->begin(path, flags)) {
        delete w;
        return code;
    }
    *p_writer = w;
    return 0;
}

uint32_t veltra_catalog_writer_add(veltra_catalog_writer_t *w, const veltra_catalog_row_t *row) {
    if (!w || !row || !w->db) return VELTRA_CATALOG_ERR_INVALID_ARG;
    if (w->broken) return VELTRA_CATALOG_ERR_IO;
    return w->add(row);
}

uint32_t veltra_catalog_writer_commit(veltra_catalog_writer_t *w, const char *name,
                                      const char *description) {
    if (!w) return VELTRA_CATALOG_ERR_INVALID_ARG;
    uint32_t code = 0;
    if (!name || !description || !cat::valid_utf8(name, strlen(name)) ||
        !cat::valid_utf8(description, strlen(description)))
        code = VELTRA_CATALOG_ERR_INVALID_ARG;
    else if (w->broken)
        code = VELTRA_CATALOG_ERR_IO;
    else
        code = w->commit(name, description);
    delete w;
    return code;
}

void veltra_catalog_writer_abort(veltra_catalog_writer_t *w) { delete w; }

void veltra_catalog_writer_remove_temps(void) {
    for (TempSlot &s : g_slots)
        if (s.state.load() == 2) unlinkat(s.dir_fd, s.name, 0);
}

}  // extern "C"
