/* `vibemesh serve`: the live mood pad, a local HTTP server over the mood grid and a catalog. */
#ifndef VIBEMESH_SERVER_SERVE_H
#define VIBEMESH_SERVER_SERVE_H

#include <stdint.h>

#include <string>

namespace server {

struct ServeOptions {
    std::string catalog;            /* catalog file (resolved by the caller) */
    std::string bind = "127.0.0.1"; /* address to listen on */
    uint16_t port = 8080;           /* 0: any free port */
    bool open_browser = false;      /* --open */
};

/* Serves until SIGINT or SIGTERM; returns the exit status after reporting on stderr. */
int run_serve(const ServeOptions &options);

}  // namespace server

#endif
