/* vibemesh html: reads every cell of the session's presentation (its mood, its count and its
 * first tracks) and writes the static page that server/page renders. */
#include "html.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "page.h"

namespace cli {

namespace {

constexpr uint32_t kTracksShown = 10; /* tracks listed per cell; the rest are counted */

/* Releases a result set on every path out of read_cell. */
struct ResultsGuard {
    veltra_vibemesh_result_handle_t handle = nullptr;
    ~ResultsGuard() {
        if (handle) veltra_vibemesh_results_release(handle);
    }
};

/* Fills one cell; on failure returns the code and names the step in `what`. */
uint32_t read_cell(const Session &s, uint32_t x, uint32_t y, page::Cell *c, const char **what) {
    c->x = x;
    c->y = y;
    const char *id = nullptr, *name = nullptr;
    *what = "reading a mood";
    uint32_t code = veltra_vibemesh_presentation_get_mood_id(s.presentation(), x, y, &id);
    if (!code) code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &name);
    if (code) return code;
    c->mood_id = id;
    c->name = name;
    ResultsGuard results;
    *what = "finding recommendations";
    code = veltra_vibemesh_presentation_find_recommendations(s.presentation(), s.provider(), x, y,
                                                             &results.handle);
    if (!code) code = veltra_vibemesh_results_count(results.handle, &c->count);
    if (code) return code;
    *what = "reading the results";
    for (uint32_t i = 0; i < c->count && i < kTracksShown; ++i) {
        const char *ident = nullptr, *group = nullptr;
        code = veltra_vibemesh_results_enum(results.handle, i, &ident, &group);
        if (code) return code;
        veltra_catalog_track_t t{};
        code = veltra_catalog_track_get(s.catalog(), ident, &t);
        if (code) return code;
        c->first.push_back({t.title, t.artist, t.album});
    }
    return 0;
}

int write_out(const std::string &page, const std::string &out) {
    if (out == "-") {
        if (fwrite(page.data(), 1, page.size(), stdout) != page.size() || fflush(stdout) != 0) {
            fprintf(stderr, "vibemesh: writing the page: %s\n", strerror(errno));
            return 1;
        }
        return 0;
    }
    FILE *f = fopen(out.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "vibemesh: cannot write %s: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    bool ok = fwrite(page.data(), 1, page.size(), f) == page.size();
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(out.c_str());
        fprintf(stderr, "vibemesh: writing %s: %s\n", out.c_str(), strerror(err));
        return 1;
    }
    return 0;
}

}  // namespace

std::string html_escape(const std::string &s) { return page::html_escape(s); }

int write_html_page(const Session &s, const Options &o, const std::string &out) {
    std::vector<page::Cell> cells(o.size * o.size);
    for (uint32_t y = 1; y <= o.size; ++y) {
        for (uint32_t x = 1; x <= o.size; ++x) {
            const char *what = "";
            if (uint32_t code = read_cell(s, x, y, &cells[(y - 1) * o.size + x - 1], &what))
                return report(what, code);
        }
    }
    veltra_catalog_info_t info{};
    if (uint32_t code = veltra_catalog_get_info(s.catalog(), &info))
        return report("reading the catalog", code);
    page::View view;
    view.size = o.size;
    view.locale = o.locale;
    for (const Filter &f : o.filters) view.filters.push_back({f.list_type, f.value, f.include});
    view.catalog_name = info.name;
    view.track_count = info.track_count;
    return write_out(page::render_static(cells, view), out);
}

}  // namespace cli
