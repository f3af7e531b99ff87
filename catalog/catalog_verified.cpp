/* The verified-catalog record: which catalog files passed the full check at open, so that the
 * next open of the same, unchanged file skips the pass over every row.
 *
 * The record lives in the user's own cache folder ($XDG_CACHE_HOME/vibemesh, else
 * $HOME/.cache/vibemesh), a folder only the user can write, so the author of a catalog cannot
 * forge an entry. An entry names the file by device and inode and remembers its size,
 * modification time and change time. Any write to a file moves its change time to the
 * current time, and no one but the kernel sets a change time, so a file whose five values all
 * match has not been written since it was checked. Three rules keep that true:
 *  - only files that had not changed for kSettleNs before the check began are recorded, so
 *    a write that follows the check within the timestamp granularity cannot keep the change
 *    time the entry holds;
 *  - only files on local filesystems that keep a change time of their own are recorded (not
 *    FAT, whose "change time" is the creation time, nor network filesystems, whose times
 *    the server sets);
 *  - only files in rollback-journal mode without a journal beside them: a write-ahead log or
 *    a hot journal would change what the file reads as without touching the file.
 * Failing any of these, or when the record cannot be read or written, the catalog is simply
 * checked in full, as on a first open. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "catalog_internal.h"

namespace {

/* Bumped whenever the check at open learns something new: entries of an older check are
 * ignored. */
constexpr char kHeader[] = "vibemesh-verified/2\n";
constexpr size_t kMaxEntries = 64;
constexpr int64_t kSettleNs = 2'000'000'000;

/* Filesystems whose change time the kernel keeps for every write. */
constexpr uint32_t kTrustedFilesystems[] = {
    0xEF53,      /* ext2, ext3, ext4 */
    0x58465342,  /* xfs */
    0x9123683E,  /* btrfs */
    0x01021994,  /* tmpfs */
    0x794C7630,  /* overlayfs, the upper layer's times */
    0xF2F52010,  /* f2fs */
    0x2FC12FC1,  /* zfs */
};

int64_t ns(const struct timespec &t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

/* The folder of the record, or "" when the user has none. */
std::string folder() {
    const char *xdg = getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/vibemesh";
    const char *home = getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.cache/vibemesh";
    return {};
}

/* True when `st` is the user's own and nobody else may write it. */
bool private_to_user(const struct stat &st) {
    return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/* The entry's line for a file: what identifies it and the facts its check found. */
std::string entry_key(const struct stat &st) {
    char buf[160];
    snprintf(buf, sizeof buf, "%llu %llu %lld %lld %lld ", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
             static_cast<long long>(ns(st.st_mtim)), static_cast<long long>(ns(st.st_ctim)));
    return buf;
}

/* The record's text, "" when there is none or it is not the user's own. */
std::string read_record(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && private_to_user(st) &&
        st.st_size < 64 * 1024) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
        if (n < 0) text.clear();
    }
    close(fd);
    if (text.compare(0, sizeof kHeader - 1, kHeader) != 0) return {};
    return text.substr(sizeof kHeader - 1);
}

/* Whether the file may be recorded at all: its filesystem, its journal mode, no journal. */
bool recordable(const char *path, const struct stat &st) {
    if (!S_ISREG(st.st_mode)) return false;
    struct statfs fs;
    if (statfs(path, &fs) != 0) return false;
    bool trusted = false;
    for (uint32_t magic : kTrustedFilesystems) trusted |= static_cast<uint32_t>(fs.f_type) == magic;
    if (!trusted) return false;
    for (const char *suffix : {"-journal", "-wal"}) {
        struct stat side;
        if (lstat((std::string(path) + suffix).c_str(), &side) == 0 || errno != ENOENT) return false;
    }
    /* Bytes 18 and 19 of the header: 1 and 1 for a rollback-journal database. */
    unsigned char header[20];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    close(fd);
    return ok && header[18] == 1 && header[19] == 1;
}

}  // namespace

namespace cat {

bool verified_lookup(const char *path, const struct stat &st, VerifiedFacts *facts) {
    std::string dir = folder();
    struct stat dst;
    if (dir.empty() || lstat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode) || !private_to_user(dst) ||
        !recordable(path, st))
        return false;
    std::string text = read_record(dir + "/verified");
    std::string key = entry_key(st);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        if (text.compare(at, key.size(), key) == 0) {
            unsigned long long t = 0, a = 0, r = 0;
            char tail = 0;
            if (sscanf(text.c_str() + at + key.size(), "%llu %llu %llu%c", &t, &a, &r, &tail) != 4 ||
                tail != '\n' || t > UINT32_MAX || a > UINT32_MAX || r > UINT32_MAX)
                return false;
            *facts = {static_cast<uint32_t>(t), static_cast<uint32_t>(a), static_cast<uint32_t>(r)};
            return true;
        }
        at = end + 1;
    }
    return false;
}

void verified_store(const char *path, const struct stat &st, int64_t check_started_ns,
                    const VerifiedFacts &facts) {
    std::string dir = folder();
    if (dir.empty() || ns(st.st_ctim) + kSettleNs > check_started_ns || !recordable(path, st)) return;
    /* The folder: created private, and used only while it is the user's own. */
    std::string parent = dir.substr(0, dir.rfind('/'));
    mkdir(parent.c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    struct stat dst;
    if (lstat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode) || !private_to_user(dst)) return;

    std::string record = dir + "/verified";
    std::string key = entry_key(st);
    char line[96];
    snprintf(line, sizeof line, "%u %u %u\n", facts.tracks, facts.albums, facts.artists);
    std::string text = key + line;
    /* The newest entry first; older ones follow, without this file's and past the limit. */
    std::string old = read_record(record);
    size_t kept = 1;
    for (size_t at = 0; at < old.size() && kept < kMaxEntries;) {
        size_t end = old.find('\n', at);
        if (end == std::string::npos) break;
        if (old.compare(at, key.size(), key) != 0) {
            text.append(old, at, end + 1 - at);
            ++kept;
        }
        at = end + 1;
    }
    /* Written beside and renamed over: a reader sees the old record or the new one. */
    std::string tmp_path = dir + "/.verified.XXXXXX";
    int fd = mkostemp(&tmp_path[0], O_CLOEXEC);
    if (fd < 0) return;
    std::string all = std::string(kHeader) + text;
    bool ok = write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp_path.c_str(), record.c_str()) != 0) unlink(tmp_path.c_str());
}

int64_t now_ns() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return ns(t);
}

}  // namespace cat
