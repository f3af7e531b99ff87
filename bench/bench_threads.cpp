/* Locks and events against the standard library, GLib and plain POSIX threads, and the file
 * pool against pread on descriptors held open. */
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "bench_common.h"

namespace {

/* ---- critical section ------------------------------------------------------------------- */

void critsec_ours(benchmark::State &state) {
    plx_thread_critsec_t *cs = nullptr;
    if (!vb::ok(state, plx_thread_critsec_create(&cs), "create")) return;
    for (auto _ : state) {
        plx_thread_critsec_enter(cs);
        plx_thread_critsec_leave(cs);
    }
    plx_thread_critsec_delete(cs);
}

void critsec_std(benchmark::State &state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}

void critsec_glib(benchmark::State &state) {
    GRecMutex m;
    g_rec_mutex_init(&m);
    for (auto _ : state) {
        g_rec_mutex_lock(&m);
        g_rec_mutex_unlock(&m);
    }
    g_rec_mutex_clear(&m);
}

/* ---- event ping-pong -------------------------------------------------------------------- */

/* One round trip per iteration: this thread signals `ping` and waits for `pong`, the partner
 * waits for `ping` and signals `pong`. */
void event_ours(benchmark::State &state) {
    plx_thread_event_t *ping = nullptr, *pong = nullptr;
    if (!vb::ok(state, plx_thread_event_create(&ping, 0, 0), "create") ||
        !vb::ok(state, plx_thread_event_create(&pong, 0, 0), "create"))
        return;
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            plx_thread_event_wait(ping, PLX_THREAD_TIMEOUT_INFINITE);
            if (stop.load()) break;
            plx_thread_event_signal(pong);
        }
    });
    for (auto _ : state) {
        plx_thread_event_signal(ping);
        plx_thread_event_wait(pong, PLX_THREAD_TIMEOUT_INFINITE);
    }
    stop.store(true);
    plx_thread_event_signal(ping);
    partner.join();
    plx_thread_event_delete(ping);
    plx_thread_event_delete(pong);
}

/* An auto-reset flag made of a POSIX mutex and condition variable. */
struct PosixFlag {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool set = false;
    void signal() {
        pthread_mutex_lock(&mutex);
        set = true;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    }
    void wait() {
        pthread_mutex_lock(&mutex);
        while (!set) pthread_cond_wait(&cond, &mutex);
        set = false;
        pthread_mutex_unlock(&mutex);
    }
};

/* The same auto-reset flag made of GLib's mutex and condition. */
struct GlibFlag {
    GMutex mutex;
    GCond cond;
    bool set = false;
    GlibFlag() {
        g_mutex_init(&mutex);
        g_cond_init(&cond);
    }
    ~GlibFlag() {
        g_mutex_clear(&mutex);
        g_cond_clear(&cond);
    }
    void signal() {
        g_mutex_lock(&mutex);
        set = true;
        g_cond_signal(&cond);
        g_mutex_unlock(&mutex);
    }
    void wait() {
        g_mutex_lock(&mutex);
        while (!set) g_cond_wait(&cond, &mutex);
        set = false;
        g_mutex_unlock(&mutex);
    }
};

template <class Flag>
void event_flags(benchmark::State &state) {
    Flag ping, pong;
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            ping.wait();
            if (stop.load()) break;
            pong.signal();
        }
    });
    for (auto _ : state) {
        ping.signal();
        pong.wait();
    }
    stop.store(true);
    ping.signal();
    partner.join();
}

/* ---- file pool -------------------------------------------------------------------------- */

constexpr uint32_t kFiles = 64;
constexpr uint32_t kFileBytes = 256 * 1024;
constexpr uint32_t kReadBytes = 4096;

/* A directory of 64 files of 256 KiB, made once and removed at exit. */
const std::string &file_dir() {
    static const std::string dir = [] {
        char templ[] = "/tmp/veltra_bench_XXXXXX";
        if (!mkdtemp(templ)) abort();
        std::string d = templ;
        std::vector<char> block(kFileBytes);
        vb::Rng rng(21);
        for (char &c : block) c = static_cast<char>(rng.next());
        for (uint32_t i = 0; i < kFiles; ++i) {
            std::string path = d + "/f" + std::to_string(i);
            int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            if (fd < 0 || write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
            close(fd);
        }
        atexit([] {
            for (uint32_t i = 0; i < kFiles; ++i) unlink((dir + "/f" + std::to_string(i)).c_str());
            rmdir(dir.c_str());
        });
        return d;
    }();
    return dir;
}

/* One 4 KiB read per iteration, files taken in turn, offsets walking through each file. */
void files_ours(benchmark::State &state, uint32_t cap) {
    const std::string &dir = file_dir();
    const uint32_t saved_cap = g_fs_max_file_handles;
    g_fs_max_file_handles = cap;
    plx_fs_file_t *files[kFiles] = {};
    for (uint32_t i = 0; i < kFiles; ++i) {
        std::string path = dir + "/f" + std::to_string(i);
        if (!vb::ok(state, plx_fs_file_open(path.c_str(), PLX_FS_OPEN_READ, 0, &files[i]), "open")) break;
    }
    char buf[kReadBytes];
    uint64_t n = 0;
    for (auto _ : state) {
        if (!files[kFiles - 1]) break;
        uint32_t got = 0;
        const uint64_t offset = ((n / kFiles) * kReadBytes) % kFileBytes;
        uint32_t rc = plx_fs_file_read_at(files[n % kFiles], offset, buf, kReadBytes, &got);
        benchmark::DoNotOptimize(rc);
        ++n;
    }
    for (plx_fs_file_t *f : files)
        if (f) plx_fs_file_close(f);
    g_fs_max_file_handles = saved_cap;
    state.SetBytesProcessed(state.iterations() * kReadBytes);
}

void files_pread(benchmark::State &state) {
    const std::string &dir = file_dir();
    int fds[kFiles];
    for (uint32_t i = 0; i < kFiles; ++i) fds[i] = open((dir + "/f" + std::to_string(i)).c_str(), O_RDONLY);
    char buf[kReadBytes];
    uint64_t n = 0;
    for (auto _ : state) {
        const off_t offset = static_cast<off_t>(((n / kFiles) * kReadBytes) % kFileBytes);
        ssize_t got = pread(fds[n % kFiles], buf, kReadBytes, offset);
        benchmark::DoNotOptimize(got);
        ++n;
    }
    for (int fd : fds) close(fd);
    state.SetBytesProcessed(state.iterations() * kReadBytes);
}

void register_all() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("critsec.enter_leave/ours", critsec_ours);
    RegisterBenchmark("critsec.enter_leave/std", critsec_std);
    RegisterBenchmark("event.ping_pong/ours", event_ours)->UseRealTime();
    RegisterBenchmark("event.ping_pong/posix", event_flags<PosixFlag>)->UseRealTime();
    RegisterBenchmark("critsec.enter_leave/glib", critsec_glib);
    RegisterBenchmark("event.ping_pong/glib", event_flags<GlibFlag>)->UseRealTime();
    RegisterBenchmark("files.read4k_cap0/ours", files_ours, 0u);
    RegisterBenchmark("files.read4k_cap0/pread", files_pread);
    RegisterBenchmark("files.read4k_cap8/ours", files_ours, 8u);
    RegisterBenchmark("files.read4k_cap8/pread", files_pread);
}

const int registered = (register_all(), 0);

}  // namespace
