/* The mood grid as an HTML page, in two forms that share their markup, styles, words and
 * colour scale:
 *  - the static page (`vibemesh html`): everything computed in advance, each cell's first
 *    tracks kept in templates, readable with scripts off;
 *  - the live page (`vibemesh serve`): the same grid and legend rendered for the first paint,
 *    then driven by a script through the JSON API (filters, size and language switches, paged
 *    track lists, playback). */
#ifndef VIBEMESH_SERVER_PAGE_H
#define VIBEMESH_SERVER_PAGE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace page {

struct Track {
    std::string title, artist, album;
};

struct Cell {
    uint32_t x = 0, y = 0;
    std::string mood_id, name;
    uint32_t count = 0;       /* matching tracks */
    std::vector<Track> first; /* static page: the first tracks, in catalog order */
};

struct Filter {
    std::string list_type; /* VELTRA_LIST_TYPE_GENRES, _ORIGINS or _ERAS */
    std::string value;     /* list item id */
    bool include = true;
};

/* What the page shows: grid size, locale, filters and the catalog's facts. */
struct View {
    uint32_t size = 5; /* 5 or 10 */
    std::string locale = "en";
    std::vector<Filter> filters;
    std::string catalog_name;
    uint64_t track_count = 0;
};

/* Text with & < > " ' replaced by entities; safe in element content and quoted attributes. */
std::string html_escape(const std::string &s);

/* "12,345" (en) or "12.345" (de). */
std::string grouped(uint64_t v, const std::string &locale);

/* A cell's background and text colours ("#rrggbb") for `count` on the scale 0..max. */
struct Colours {
    std::string bg, fg;
};
Colours cell_colours(uint32_t count, uint32_t max);

/* The legend's ticks for a grid whose fullest cell holds `max` tracks: value and position in
 * percent of the bar. */
struct Tick {
    uint64_t value;
    double pos;
};
std::vector<Tick> legend_ticks(uint32_t max);

/* The colour scale as a CSS gradient. */
std::string scale_gradient();

/* The static page, cells in row order (y, then x). */
std::string render_static(const std::vector<Cell> &cells, const View &view);

/* The live page. `nonce` authorises its one style and one script element; `config_json` is
 * the script's start-up data (state, lists, words, API facts), already safe to place inside a
 * script element; `audio` shows the player. */
std::string render_live(const std::vector<Cell> &cells, const View &view, const std::string &nonce,
                        const std::string &config_json, bool audio);

/* The page's words of `locale` as a JSON object (for the live script). */
std::string words_json(const std::string &locale);

/* The Content-Security-Policy of the live page for `nonce`, as a header or for the page's meta
 * element. */
std::string live_csp(const std::string &nonce, bool header);

}  // namespace page

#endif
