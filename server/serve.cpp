/* `vibemesh serve`: cpp-httplib wiring of the API, the audio files and the safety checks.
 *
 * Safety: the server binds to the loopback address unless told otherwise, and while bound to
 * loopback it answers only requests whose Host header names the loopback under its own port,
 * so a page of another origin cannot reach it through DNS rebinding. Requests are GET or HEAD
 * only, their bodies, header lines and header count are bounded, and a fixed pool of workers
 * with a bounded queue caps the connections served at once (further ones wait in the
 * listening backlog). Files are found by track id through the catalog only; no path from a
 * request ever reaches the file system, and nothing else is served. */
#include "serve.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <httplib.h>

#include "api.h"
#include "page.h"

extern char **environ;

namespace server {

namespace {

constexpr size_t kMaxHeaders = 64;
constexpr size_t kMaxPayload = 8 * 1024;
constexpr size_t kPendingPerThread = 4;

/* Workers that take connections from a bounded queue: when it is full the accepting thread
 * waits, so connections beyond the limit stay in the kernel's backlog. */
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(size_t threads, size_t pending) : max_pending_(pending) {
        for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return jobs_.size() < max_pending_ || stopping_; });
        jobs_.push_back(std::move(fn));
        lock.unlock();
        ready_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (std::thread &t : workers_) t.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            fn();
        }
    }
    const size_t max_pending_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

/* The audio type by the file's first bytes. */
const char *sniff_audio(const unsigned char *b, size_t n) {
    auto at = [&](size_t off, const char *magic) {
        size_t len = strlen(magic);
        return off + len <= n && memcmp(b + off, magic, len) == 0;
    };
    if (at(0, "fLaC")) return "audio/flac";
    if (at(0, "OggS")) {
        for (size_t i = 0; i + 8 <= n; ++i)
            if (memcmp(b + i, "OpusHead", 8) == 0) return "audio/ogg; codecs=opus";
        return "audio/ogg";
    }
    if (at(0, "RIFF") && at(8, "WAVE")) return "audio/wav";
    if (at(4, "ftyp")) return "audio/mp4";
    if (at(0, "ID3")) return "audio/mpeg";
    if (n >= 2 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && (b[1] & 0x06) != 0) return "audio/mpeg";
    return "application/octet-stream";
}

bool is_loopback(const std::string &bind) {
    return bind == "localhost" || bind == "::1" || bind.rfind("127.", 0) == 0;
}

std::string random_nonce() {
    static thread_local std::random_device rd;
    static const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (int i = 0; i < 4; ++i) {
        uint32_t v = rd();
        for (int k = 0; k < 6; ++k, v >>= 6) s += digits[v & 63];
    }
    return s;
}

void send(httplib::Response &res, const Answer &a) {
    res.status = a.status;
    res.set_content(a.body, a.type.c_str());
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

struct Server::Impl {
    Library lib;
    httplib::Server http;
    std::thread listener;
    uint16_t port = 0;
    std::string bind;
    bool running = false;
    std::atomic<bool> stopping{false}; /* ends audio streams in flight at stop */

    bool host_allowed(const httplib::Request &req) const;
    void audio(const httplib::Request &req, httplib::Response &res);
};

bool Server::Impl::host_allowed(const httplib::Request &req) const {
    if (!is_loopback(bind)) return true;
    if (req.get_header_value_count("Host") != 1) return false;
    std::string host = req.get_header_value("Host");
    for (char &c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const std::string p = ":" + std::to_string(port);
    for (const char *name : {"localhost", "127.0.0.1", "[::1]"}) {
        if (host == name + p) return true;
        if (port == 80 && host == name) return true;
    }
    return false;
}

void Server::Impl::audio(const httplib::Request &req, httplib::Response &res) {
    Media m;
    Answer a;
    if (!lib.media(req.params, &m, &a)) return send(res, a);
    auto file = std::make_shared<Fd>(::open(m.path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (file->fd < 0 || fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return send(res, error_answer(404, "track: the audio file is missing or unreadable"));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    unsigned char head[512];
    ssize_t got = pread(file->fd, head, sizeof head, 0);
    const char *type = sniff_audio(head, got > 0 ? static_cast<size_t>(got) : 0);
    res.set_header("Accept-Ranges", "bytes");
    if (!req.ranges.empty()) {
        /* One range is served as 206; several are refused like an unsatisfiable one. */
        bool ok = req.ranges.size() == 1 && size > 0;
        if (ok) {
            auto [first, last] = req.ranges[0];
            if (first < 0) ok = last > 0;                        /* suffix: the last N bytes */
            else ok = static_cast<uint64_t>(first) < size && (last < 0 || last >= first);
        }
        if (!ok) {
            res.status = 416;
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            res.set_content(error_answer(416, "Range: one satisfiable byte range").body, "application/json");
            return;
        }
    }
    res.set_content_provider(
        static_cast<size_t>(size), type,
        [file, this](size_t offset, size_t length, httplib::DataSink &sink) {
            if (stopping.load(std::memory_order_relaxed)) return false;
            char buf[64 * 1024];
            ssize_t n = pread(file->fd, buf, length < sizeof buf ? length : sizeof buf,
                              static_cast<off_t>(offset));
            if (n <= 0) return false;
            return sink.write(buf, static_cast<size_t>(n));
        });
}

Server::Server() : impl_(std::make_unique<Impl>()) {}
Server::~Server() { stop(); }

uint16_t Server::port() const { return impl_->port; }

std::string Server::url() const {
    std::string host = impl_->bind;
    if (host == "0.0.0.0" || host == "::" || host.empty()) host = "127.0.0.1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}

int Server::start(const ServeOptions &o) {
    Impl &s = *impl_;
    std::string what;
    if (uint32_t code = s.lib.open(o.catalog, &what)) {
        fprintf(stderr, "vibemesh: serve: %s: 0x%08X: %s\n", what.c_str(), code,
                error_text(code).c_str());
        s.lib.close();
        return 1;
    }
    s.bind = o.bind;
    const size_t threads = o.threads ? o.threads : 1;
    s.http.new_task_queue = [threads] { return new BoundedPool(threads, threads * kPendingPerThread); };
    s.http.set_payload_max_length(kMaxPayload);
    s.http.set_tcp_nodelay(true); /* answers go out whole; no wait for the peer's ack */
    s.http.set_keep_alive_max_count(100);
    s.http.set_keep_alive_timeout(2);
    s.http.set_read_timeout(5, 0);
    s.http.set_write_timeout(30, 0);
    s.http.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cross-Origin-Resource-Policy", "same-origin"},
                                {"Cache-Control", "no-store"}});
    s.http.set_pre_routing_handler([&s](const httplib::Request &req, httplib::Response &res) {
        if (req.headers.size() > kMaxHeaders) {
            send(res, error_answer(431, "too many header fields"));
        } else if (!s.host_allowed(req)) {
            send(res, error_answer(403, "Host: this server answers only to localhost, 127.0.0.1 "
                                        "or [::1] with its port"));
        } else if (req.method != "GET" && req.method != "HEAD") {
            send(res, error_answer(405, "only GET and HEAD"));
            res.set_header("Allow", "GET, HEAD");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    s.http.Get("/", [&s](const httplib::Request &req, httplib::Response &res) {
        const std::string nonce = random_nonce();
        send(res, s.lib.page(req.params, nonce));
        res.set_header("Content-Security-Policy", page::live_csp(nonce, true));
    });
    s.http.Get("/api/grid", [&s](const httplib::Request &req, httplib::Response &res) { send(res, s.lib.grid(req.params)); });
    s.http.Get("/api/cell", [&s](const httplib::Request &req, httplib::Response &res) { send(res, s.lib.cell(req.params)); });
    s.http.Get("/api/lists", [&s](const httplib::Request &req, httplib::Response &res) { send(res, s.lib.lists(req.params)); });
    s.http.Get("/api/audio", [&s](const httplib::Request &req, httplib::Response &res) { s.audio(req, res); });
    s.http.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) {
            send(res, error_answer(res.status, res.status == 404 ? "no such resource"
                                   : res.status == 413 ? "request too large" : "bad request"));
        }
    });
    s.http.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        send(res, error_answer(500, "internal error"));
    });
    int port = o.port ? (s.http.bind_to_port(o.bind, o.port) ? o.port : -1) : s.http.bind_to_any_port(o.bind);
    if (port <= 0) {
        fprintf(stderr, "vibemesh: serve: cannot listen on %s port %u\n", o.bind.c_str(), o.port);
        s.lib.close();
        return 1;
    }
    s.port = static_cast<uint16_t>(port);
    s.running = true;
    s.stopping = false;
    s.listener = std::thread([&s] { s.http.listen_after_bind(); });
    return 0;
}

void Server::stop() {
    Impl &s = *impl_;
    if (!s.running) return;
    s.stopping = true;
    s.http.stop();
    if (s.listener.joinable()) s.listener.join();
    s.lib.close();
    s.running = false;
}

int run_serve(const ServeOptions &o) {
    /* Every thread blocks the stop signals; the main thread takes them with sigwait. */
    sigset_t stop_signals, old;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old);
    signal(SIGPIPE, SIG_IGN);
    Server server;
    if (server.start(o) != 0) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return 1;
    }
    const std::string url = server.url();
    printf("vibemesh: serving %s\nopen %s in a browser; Ctrl-C stops\n", o.catalog.c_str(), url.c_str());
    fflush(stdout);
    if (o.open_browser) {
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        pid_t pid = 0;
        char *argv[] = {const_cast<char *>("xdg-open"), const_cast<char *>(url.c_str()), nullptr};
        if (posix_spawnp(&pid, "xdg-open", nullptr, &attr, argv, environ) != 0)
            fprintf(stderr, "vibemesh: serve: could not start xdg-open; open %s yourself\n", url.c_str());
        posix_spawnattr_destroy(&attr);
    }
    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    fprintf(stderr, "vibemesh: serve: stopping\n");
    server.stop();
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return 0;
}

}  // namespace server
