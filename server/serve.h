/* `vibemesh serve`: the live mood pad, a local HTTP server over the mood grid and a catalog. */
#ifndef VIBEMESH_SERVER_SERVE_H
#define VIBEMESH_SERVER_SERVE_H

#include <stdint.h>

#include <memory>
#include <string>

namespace server {

struct ServeOptions {
    std::string catalog;            /* catalog file (resolved by the caller) */
    std::string bind = "127.0.0.1"; /* address to listen on */
    uint16_t port = 8080;           /* 0: any free port */
    bool open_browser = false;      /* --open */
    uint32_t threads = 8;           /* worker threads, each serving one connection at a time */
};

/* Serves until SIGINT or SIGTERM; returns the exit status after reporting on stderr. */
int run_serve(const ServeOptions &options);

/* The server without the signal handling, for embedding and tests. */
class Server {
public:
    Server();
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /* Opens the module and the catalog, binds and starts answering on a thread of its own.
     * Returns 0, or 1 after reporting the failure on stderr. */
    int start(const ServeOptions &options);
    /* The port listened on (the chosen one when the options asked for 0). */
    uint16_t port() const;
    /* The address to open in a browser. */
    std::string url() const;
    /* Stops answering, waits for the workers and closes everything; idempotent. */
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace server

#endif
