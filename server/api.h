/* The JSON API of `vibemesh serve`, apart from HTTP: one Library holds the module, a provider
 * on the catalog's datasource and a user; every answer comes from presentations, filters,
 * finds and estimates of the module and from the catalog's track and media calls. Safe to
 * call from any number of threads at once: each request builds its own presentation, and
 * result sets shared between requests are released only when the last user lets go. */
#ifndef VIBEMESH_SERVER_API_H
#define VIBEMESH_SERVER_API_H

#include <stdint.h>

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "veltra_catalog.h"
#include "veltra_vibemesh.h"

namespace server {

/* A request's query parameters (names may repeat). */
using Params = std::multimap<std::string, std::string>;

/* An answer: HTTP status, content type and body. */
struct Answer {
    int status = 200;
    std::string type = "application/json";
    std::string body;
};

/* JSON error bodies: {"error":{"status":..,"parameter":..,"rule":..,"message":..}} for bad
 * parameters, {"error":{"status":..,"code":"0x...","message":..}} for failed calls. */
Answer bad_parameter(int status, const std::string &parameter, const std::string &rule);
Answer failed_call(int status, const char *what, uint32_t code);
Answer error_answer(int status, const std::string &message);

/* The error information text recorded for `code` on this thread, else a short description. */
std::string error_text(uint32_t code);

/* s with every invalid UTF-8 sequence replaced by U+FFFD. */
std::string valid_utf8(const std::string &s);

/* The audio file of a track: its path and size, or an error answer. */
struct Media {
    std::string path;
    uint64_t size = 0;
};

class Library {
public:
    Library() = default;
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    /* Starts the manager and the module, opens the catalog and a provider on it and reads the
     * mood names of both grids in both locales. On failure returns the code and names the
     * step in `what`; close() undoes whatever was done. */
    uint32_t open(const std::string &catalog_path, std::string *what);
    /* Releases result sets, user, provider, catalog, module and manager; idempotent. */
    void close();

    /* GET /api/grid: size, lang, genre/origin/era filters. */
    Answer grid(const Params &p);
    /* GET /api/cell: the same plus x, y, offset, limit. */
    Answer cell(const Params &p);
    /* GET /api/lists: lang. */
    Answer lists(const Params &p);
    /* GET /: the live page for the view in `p` (size, lang, filters, cell, offset). */
    Answer page(const Params &p, const std::string &nonce);
    /* The audio file for GET /api/audio?track=ID; `*answer` set when there is none. */
    bool media(const Params &p, Media *m, Answer *answer);

    bool has_audio() const { return has_audio_; }
    const veltra_catalog_info_t &info() const { return info_; }

    struct Results; /* a shared result set */

private:
    struct View;
    struct Grid;
    bool parse_view(const Params &p, const std::vector<std::string> &extra, View *v, Answer *a) const;
    uint32_t read_grid(const View &v, Grid *g, const char **what);
    uint32_t results_for(const View &v, uint32_t x, uint32_t y, std::shared_ptr<Results> *out,
                         const char **what);
    uint32_t new_presentation(const View &v, veltra_vibemesh_presentation_handle_t *out,
                              const char **what);

    const veltra_manager_t *manager_ = nullptr;
    bool module_started_ = false;
    veltra_catalog_t *catalog_ = nullptr;
    veltra_vibemesh_provider_handle_t provider_ = nullptr;
    veltra_user_handle_t user_ = nullptr;
    veltra_catalog_info_t info_{};
    bool has_audio_ = false;
    /* Mood ids and names of each grid (index 0: 5x5, 1: 10x10), names per locale (0 en, 1 de),
     * in row order. */
    std::vector<std::string> mood_ids_[2];
    std::vector<std::string> mood_names_[2][2];

    /* Recently used result sets by view and cell, newest first, so paging a cell does not
     * run its find again. */
    std::mutex cache_mutex_;
    std::list<std::pair<std::string, std::shared_ptr<Results>>> cache_;
};

}  // namespace server

#endif
