/* Helpers of the programs that serve a catalog of real audio over HTTP (the server suite, the
 * browser test's fixture, the server benchmark): tone files made by ffmpeg, a catalog of tracks
 * placed from analysed audio, and a server started on a free local port. Header only and free
 * of GoogleTest, so the benchmark can use it. */
#ifndef VELTRA_SERVE_SUPPORT_H
#define VELTRA_SERVE_SUPPORT_H

#include <stdlib.h>

#include <string>

#include "serve.h"
#include "veltra_catalog.h"

namespace vt {

/* Writes `seconds` of a sine at `hz` to `path` (format from its extension; `options` are
 * ffmpeg's output options, e.g. a codec). Returns whether ffmpeg succeeded. */
inline bool make_tone(const std::string &path, int hz, int seconds, const std::string &options = "") {
    const std::string cmd = "ffmpeg -v error -f lavfi -i sine=frequency=" + std::to_string(hz) +
                            ":duration=" + std::to_string(seconds) + " " +
                            (options.empty() ? "" : options + " ") + "-y " + path;
    return system(cmd.c_str()) == 0;
}

/* One track of an audio catalog as fill() gives it: its ident, title and audio file (empty: no
 * file), and the rest of its row (mood, genre, origin, era). */
struct AudioTrack {
    std::string ident, title, path;
    veltra_catalog_row_t row{};
};

/* Writes a catalog of `count` tracks on one album (`album_ident`, `album`, by `artist`), each
 * placed from analysed audio, with fill(i, track) giving track i. Returns 0 or the writer's
 * code (the writer is aborted on a refused track). */
template <class Fill>
uint32_t write_audio_catalog(const std::string &path, uint32_t flags, uint32_t count, const char *album_ident,
                             const char *album, const char *artist, const char *description, Fill fill) {
    veltra_catalog_writer_t *w = nullptr;
    if (uint32_t code = veltra_catalog_writer_begin(path.c_str(), flags, &w)) return code;
    for (uint32_t i = 0; i < count; ++i) {
        AudioTrack t;
        fill(i, t);
        veltra_catalog_row_t &row = t.row;
        row.ident = t.ident.c_str();
        row.title = t.title.c_str();
        row.album_ident = album_ident;
        row.album = album;
        row.album_artist = row.artist = artist;
        row.media.path = t.path.empty() ? nullptr : t.path.c_str();
        row.media.placed_by = VELTRA_CATALOG_PLACED_ANALYSIS;
        if (uint32_t code = veltra_catalog_writer_add(w, &row)) {
            veltra_catalog_writer_abort(w);
            return code;
        }
    }
    return veltra_catalog_writer_commit(w, description, "");
}

/* Starts `server` on `catalog` at a free port of 127.0.0.1; returns its start() status. */
inline int start_local(server::Server &server, const std::string &catalog, uint32_t threads = 8) {
    server::ServeOptions o;
    o.catalog = catalog;
    o.port = 0;
    o.threads = threads;
    return server.start(o);
}

}  // namespace vt

#endif
