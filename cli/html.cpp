/* vibemesh html: the mood grid as one self-contained page.
 *
 * Everything the page shows is computed here and written as static markup: cell colours,
 * legend ticks and each cell's track list (inside a <template>). The inline script only moves
 * a cell's list into the side panel on hover, focus or click and shrinks names too long for
 * their cell, so the page still reads with scripts off. A Content-Security-Policy of
 * default-src 'none' keeps the browser from loading anything beyond the file itself. */
#include "html.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace cli {

namespace {

constexpr uint32_t kTracksShown = 10; /* tracks listed per cell; the rest are counted */

/* The page's own words in one locale. */
struct Words {
    const char *lang;        /* the html element's lang */
    const char *heading;     /* page heading */
    const char *language;    /* the locale, named in itself */
    const char *track;       /* unit after a count of one */
    const char *tracks;      /* unit after any other count */
    const char *of;          /* "N of M tracks" when filtered */
    const char *grid;        /* "5 x 5 grid" */
    const char *legend;      /* legend heading */
    const char *empty;       /* a cell without tracks */
    const char *busiest;     /* legend note on the fullest cell */
    const char *hint;        /* side panel before any cell is chosen */
    const char *column;
    const char *row;
    const char *more;        /* "and N more" */
    const char *filters;     /* caption label before the filters */
    const char *no_filters;
    const char *without;     /* an exclude filter */
    const char *genre;
    const char *origin;
    const char *era;
    char thousands;          /* digit group separator */
};

constexpr Words kEnglish = {
    "en", "Mood grid", "English", "track", "tracks", "of", "grid", "Tracks per cell",
    "no tracks", "Fullest cell", "Point at a cell or click it to see its tracks. Click again "
    "to let go; arrow keys move between cells.",
    "Column", "Row", "and %s more", "Filters", "no filters", "not", "genre", "origin", "era", ',',
};

constexpr Words kGerman = {
    "de", "Stimmungsraster", "Deutsch", "Titel", "Titel", "von", "Raster", "Titel pro Feld",
    "keine Titel", "Vollstes Feld", "Zeigen Sie auf ein Feld oder klicken Sie es an, um seine "
    "Titel zu sehen. Erneutes Klicken l\xC3\xB6st es; die Pfeiltasten wechseln das Feld.",
    "Spalte", "Zeile", "und %s weitere", "Filter", "keine Filter", "nicht", "Genre", "Herkunft",
    "Epoche", '.',
};

struct Track {
    std::string title, artist, album;
};

struct Cell {
    uint32_t x = 0, y = 0;
    std::string mood_id, name;
    uint32_t count = 0;        /* every matching track */
    std::vector<Track> first;  /* the first kTracksShown of them, in catalog order */
};

/* ---- reading the grid ---- */

/* Releases a result set on every path out of read_cell. */
struct ResultsGuard {
    veltra_vibemesh_result_handle_t handle = nullptr;
    ~ResultsGuard() {
        if (handle) veltra_vibemesh_results_release(handle);
    }
};

/* Fills one cell; on failure returns the code and names the step in `what`. */
uint32_t read_cell(const Session &s, uint32_t x, uint32_t y, Cell *c, const char **what) {
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

/* ---- colour scale ---- */

struct Rgb {
    double r, g, b; /* 0..255 */
};

/* A sequential scale from pale blue-grey to deep indigo: lightness falls steadily, so more
 * tracks always read as darker, in colour and in grey. */
constexpr Rgb kScale[] = {
    {0xEE, 0xF4, 0xF8}, {0xD3, 0xE5, 0xF0}, {0xAC, 0xD0, 0xE5}, {0x7F, 0xB6, 0xD8},
    {0x33, 0x6F, 0xA8}, {0x28, 0x50, 0x8F}, {0x1F, 0x2C, 0x66},
};
constexpr size_t kStops = sizeof kScale / sizeof kScale[0];
constexpr const char *kInk = "#18212d";

Rgb scale_colour(double t) {
    if (t <= 0) return kScale[0];
    if (t >= 1) return kScale[kStops - 1];
    double pos = t * (kStops - 1);
    size_t i = static_cast<size_t>(pos);
    double f = pos - static_cast<double>(i);
    const Rgb &a = kScale[i], &b = kScale[i + 1];
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

std::string hex(const Rgb &c) {
    char buf[8];
    snprintf(buf, sizeof buf, "#%02x%02x%02x", static_cast<unsigned>(lround(c.r)),
             static_cast<unsigned>(lround(c.g)), static_cast<unsigned>(lround(c.b)));
    return buf;
}

/* WCAG relative luminance. */
double luminance(const Rgb &c) {
    auto lin = [](double v) {
        v /= 255.0;
        return v <= 0.04045 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
}

/* The text colour (ink or white) with the higher contrast on `bg`. */
const char *text_on(const Rgb &bg) {
    constexpr double kInkLuminance = 0.0148; /* of kInk */
    double l = luminance(bg);
    double on_white = 1.05 / (l + 0.05);
    double on_ink = (l + 0.05) / (kInkLuminance + 0.05);
    return on_ink >= on_white ? kInk : "#ffffff";
}

/* A round tick step that cuts 0..max into three to six parts. */
uint32_t tick_step(uint32_t max) {
    double raw = max / 4.0;
    if (raw <= 1) return 1;
    double mag = pow(10.0, floor(log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (m * mag >= raw) return static_cast<uint32_t>(m * mag);
    return static_cast<uint32_t>(10 * mag);
}

/* ---- text ---- */

std::string grouped(uint64_t v, char sep) {
    std::string digits = std::to_string(v), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += sep;
        out += digits[i];
    }
    return out;
}

std::string count_text(uint64_t n, const Words &w) {
    return grouped(n, w.thousands) + " " + (n == 1 ? w.track : w.tracks);
}

/* A filter as people read it: "genre Rock", "not era 1980s". */
std::string filter_text(const Filter &f, const Options &o, const Words &w) {
    const char *kind = f.list_type == VELTRA_LIST_TYPE_GENRES    ? w.genre
                       : f.list_type == VELTRA_LIST_TYPE_ORIGINS ? w.origin
                                                                 : w.era;
    std::string name = f.value;
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    char *end = nullptr;
    unsigned long id = strtoul(f.value.c_str(), &end, 10);
    if (end && !*end && veltra_manager_list_entries(f.list_type.c_str(), &e, &n) == 0) {
        for (uint32_t i = 0; i < n; ++i)
            if (e[i].id == id) name = o.locale == "de" ? e[i].name_de : e[i].name_en;
    }
    return std::string(f.include ? "" : std::string(w.without) + " ") + kind + " " + name;
}

/* ---- the page ---- */

constexpr char kStyle[] = R"css(
:root{--ink:#18212d;--muted:#5b6674;--faint:#98a2b0;--line:#dde2e8;--paper:#f4f5f7;--card:#fff;--accent:#e8590c}
*{box-sizing:border-box}
body{margin:0;background:var(--paper);color:var(--ink);font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,"DejaVu Sans",sans-serif;-webkit-font-smoothing:antialiased}
header{max-width:1500px;margin:0 auto;padding:20px 32px 14px}
h1{margin:0;font-size:24px;line-height:1.2;font-weight:700;letter-spacing:-.01em}
.caption{margin:5px 0 0;color:var(--muted);font-size:14px}
.caption .catalog{color:var(--ink);font-weight:600}
.caption .dot{margin:0 .55em;color:var(--faint)}
.layout{display:flex;gap:28px;align-items:flex-start;justify-content:center;max-width:1500px;margin:0 auto;padding:0 32px 32px}
.board{flex:0 1 calc((100vh - 150px) * var(--ratio) + 1.5rem);min-width:0}
.grid{display:grid;grid-template-columns:1.5rem repeat(var(--n),minmax(0,1fr));gap:5px}
.grid.g10{gap:3px}
.axis{display:flex;align-items:center;justify-content:center;font-size:11px;color:var(--faint);font-variant-numeric:tabular-nums;min-height:18px}
.cell{all:unset;box-sizing:border-box;position:relative;aspect-ratio:var(--ratio);min-width:0;overflow:hidden;display:flex;flex-direction:column;justify-content:space-between;padding:9px 11px;border-radius:8px;background:var(--bg);color:var(--fg);cursor:pointer;transition:box-shadow .1s}
.cell:hover{box-shadow:0 0 0 2px var(--ink)}
.cell.selected{box-shadow:0 0 0 3px var(--accent)}
.cell:focus-visible{box-shadow:0 0 0 3px var(--accent),0 0 0 5px #fff}
.cell.zero{background:repeating-linear-gradient(135deg,#eceff3 0 6px,#e4e8ed 6px 12px);color:#6b7583}
.name{font-size:14px;font-weight:600;line-height:1.2}
.num{line-height:1;font-variant-numeric:tabular-nums;white-space:nowrap}
.count{font-size:26px;font-weight:700;letter-spacing:-.02em}
.unit{margin-left:4px;font-size:12px;opacity:.85}
.g10 .cell{padding:5px 6px;border-radius:5px}
.g10 .name{font-size:11.5px;line-height:1.15}
.g10 .count{font-size:15px}
.g10 .unit{display:none}
.side{flex:0 0 320px;position:sticky;top:16px;display:flex;flex-direction:column;gap:14px}
.card{background:var(--card);border:1px solid var(--line);border-radius:12px;padding:15px 18px}
.label{margin:0 0 9px;font-size:12px;font-weight:600;letter-spacing:.06em;text-transform:uppercase;color:var(--muted)}
.bar{height:14px;border-radius:4px}
.ticks{position:relative;height:18px;margin-top:4px;font-size:12px;color:var(--muted);font-variant-numeric:tabular-nums}
.ticks span{position:absolute;top:0;transform:translateX(-50%)}
.ticks span.first{transform:none}
.ticks span.last{transform:translateX(-100%)}
.keys{display:flex;flex-wrap:wrap;gap:4px 18px;margin-top:8px;font-size:13px;color:var(--muted)}
.keys b{color:var(--ink);font-weight:600}
.swatch{display:inline-block;width:14px;height:14px;margin-right:6px;border-radius:3px;vertical-align:-2px}
.swatch.zero{background:repeating-linear-gradient(135deg,#eceff3 0 3px,#d9dee5 3px 6px)}
.detail h2{margin:0;font-size:20px;line-height:1.25}
.detail .total{margin:2px 0 10px;color:var(--muted)}
.detail .total b{color:var(--ink)}
.hint{margin:0;color:var(--muted)}
.tracks{list-style:none;margin:0;padding:0;counter-reset:t}
.tracks li{counter-increment:t;display:grid;grid-template-columns:1.7em minmax(0,1fr);padding:6px 0;border-top:1px solid #edf0f3}
.tracks li::before{content:counter(t);grid-row:span 2;color:var(--faint);font-size:13px;font-variant-numeric:tabular-nums;padding-top:1px}
.tracks .title,.tracks .by{overflow:hidden;white-space:nowrap;text-overflow:ellipsis}
.tracks .title{font-weight:600}
.tracks .by{font-size:13px;color:var(--muted)}
.more{margin:8px 0 0;font-size:13px;color:var(--muted)}
@media (max-width:960px){.layout{flex-direction:column;align-items:stretch;padding:0 16px 24px}header{padding:16px}.board{flex:none}.side{position:static;flex:none}}
@media (max-width:560px){.name{font-size:11px}.count{font-size:17px}.unit{display:none}.cell{padding:5px 6px}}
)css";

constexpr char kScript[] = R"js(
(() => {
  const grid = document.getElementById('grid');
  const detail = document.getElementById('detail');
  const hint = Array.from(detail.childNodes);
  const n = Number(grid.dataset.n);
  let pinned = null, shown;
  const show = (cell) => {
    if (cell === shown) return;
    shown = cell;
    if (!cell) { detail.replaceChildren(...hint); return; }
    const list = document.getElementById('tracks-' + cell.dataset.x + '-' + cell.dataset.y);
    detail.replaceChildren(list.content.cloneNode(true));
  };
  const pin = (cell) => {
    if (pinned) { pinned.classList.remove('selected'); pinned.setAttribute('aria-pressed', 'false'); }
    pinned = cell === pinned ? null : cell;
    if (pinned) { pinned.classList.add('selected'); pinned.setAttribute('aria-pressed', 'true'); }
    shown = undefined;
    show(pinned);
  };
  const cellOf = (e) => e.target.closest('.cell');
  grid.addEventListener('mouseover', (e) => { const c = cellOf(e); if (c) show(c); });
  grid.addEventListener('mouseleave', () => show(pinned));
  grid.addEventListener('focusin', (e) => { const c = cellOf(e); if (c) show(c); });
  grid.addEventListener('click', (e) => { const c = cellOf(e); if (c) pin(c); });
  grid.addEventListener('keydown', (e) => {
    const c = cellOf(e);
    if (!c) return;
    if (e.key === 'Escape' && pinned) { pin(pinned); return; }
    const step = {ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1]}[e.key];
    if (!step) return;
    const clamp = (v) => Math.min(n, Math.max(1, v));
    const x = clamp(Number(c.dataset.x) + step[0]), y = clamp(Number(c.dataset.y) + step[1]);
    document.getElementById('cell-' + x + '-' + y).focus();
    e.preventDefault();
  });
  /* Long names shrink until their longest word fits the cell; the page stays readable
     without this, only with names clipped. */
  const fit = () => {
    for (const name of grid.querySelectorAll('.name')) {
      name.style.fontSize = '';
      const cell = name.parentElement;
      let size = parseFloat(getComputedStyle(name).fontSize);
      while (size > 8.5 && (name.scrollWidth > name.clientWidth || cell.scrollHeight > cell.clientHeight)) {
        size -= 0.5;
        name.style.fontSize = size + 'px';
      }
    }
  };
  fit();
  addEventListener('resize', fit);
  const m = /^#cell=(\d+),(\d+)$/.exec(location.hash);
  const start = m && document.getElementById('cell-' + m[1] + '-' + m[2]);
  if (start) pin(start);
  document.documentElement.dataset.ready = 'true';
})();
)js";

/* Appends printf-style text; only for short formatted pieces (numbers, positions). */
void addf(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void addf(std::string *out, const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    *out += buf;
}

std::string gradient_css() {
    std::string g = "linear-gradient(to right";
    for (size_t i = 0; i < kStops; ++i) {
        g += ',';
        g += hex(kScale[i]);
    }
    return g + ")";
}

void render_legend(std::string *out, const std::vector<Cell> &cells, uint32_t max,
                   const Words &w) {
    *out += "<div class=\"card legend\" id=\"legend\"><p class=\"label\">";
    *out += html_escape(w.legend);
    *out += "</p><div class=\"bar\" style=\"background:" + gradient_css() + "\"></div>";
    *out += "<div class=\"ticks\">";
    const uint32_t top = max ? max : 1;
    const uint32_t step = max ? tick_step(max) : 2; /* an empty grid has only the 0 tick */
    for (uint64_t v = 0; v <= top; v += step) {
        double pos = 100.0 * static_cast<double>(v) / top;
        const char *cls = v == 0 ? "first" : pos > 94 ? "last" : "";
        addf(out, "<span class=\"%s\" style=\"left:%.2f%%\">", cls, pos);
        *out += grouped(v, w.thousands) + "</span>";
    }
    *out += "</div><div class=\"keys\">";
    bool any_empty = false;
    const Cell *fullest = nullptr;
    for (const Cell &c : cells) {
        any_empty |= c.count == 0;
        if (!fullest || c.count > fullest->count) fullest = &c;
    }
    if (fullest && fullest->count)
        *out += "<span>" + html_escape(w.busiest) + ": <b>" + html_escape(fullest->name) +
                "</b> (" + grouped(fullest->count, w.thousands) + ")</span>";
    if (any_empty)
        *out += "<span><span class=\"swatch zero\"></span>" + html_escape(w.empty) + "</span>";
    *out += "</div></div>";
}

void render_cell(std::string *out, const Cell &c, uint32_t max, const Words &w) {
    const Rgb bg = scale_colour(max ? static_cast<double>(c.count) / max : 0);
    addf(out, "<button type=\"button\" class=\"cell%s\" id=\"cell-%u-%u\" data-x=\"%u\" data-y=\"%u\"",
         c.count ? "" : " zero", c.x, c.y, c.x, c.y);
    *out += " data-mood=\"" + html_escape(c.mood_id) + "\"";
    addf(out, " data-count=\"%u\" aria-pressed=\"false\" style=\"--bg:%s;--fg:%s\"", c.count,
         hex(bg).c_str(), text_on(bg));
    *out += " aria-label=\"" + html_escape(c.name + ": " + count_text(c.count, w)) + "\">";
    *out += "<span class=\"name\">" + html_escape(c.name) + "</span>";
    *out += "<span class=\"num\"><span class=\"count\">" + grouped(c.count, w.thousands) +
            "</span><span class=\"unit\">" + html_escape(c.count == 1 ? w.track : w.tracks) +
            "</span></span></button>\n";
}

/* The side panel's content for one cell, kept inert until the cell is chosen. */
void render_tracks(std::string *out, const Cell &c, const Words &w) {
    addf(out, "<template id=\"tracks-%u-%u\">", c.x, c.y);
    addf(out, "<p class=\"label\">%s %u \xC2\xB7 %s %u</p>", w.column, c.x, w.row, c.y);
    *out += "<h2>" + html_escape(c.name) + "</h2>";
    *out += "<p class=\"total\"><b>" + grouped(c.count, w.thousands) + "</b> " +
            html_escape(c.count == 1 ? w.track : w.tracks) + "</p>";
    if (!c.first.empty()) {
        *out += "<ol class=\"tracks\">";
        for (const Track &t : c.first) {
            std::string by = t.artist + " \xC2\xB7 " + t.album;
            *out += "<li><span class=\"title\" title=\"" + html_escape(t.title) + "\">" +
                    html_escape(t.title) + "</span><span class=\"by\" title=\"" + html_escape(by) +
                    "\">" + html_escape(by) + "</span></li>";
        }
        *out += "</ol>";
    }
    if (c.count > c.first.size()) {
        char more[96];
        snprintf(more, sizeof more, w.more,
                 grouped(c.count - c.first.size(), w.thousands).c_str());
        *out += "<p class=\"more\">" + html_escape(more) + "</p>";
    }
    *out += "</template>\n";
}

std::string render_page(const std::vector<Cell> &cells, const veltra_catalog_info_t &info,
                        const Options &o, const Words &w) {
    const uint32_t n = o.size;
    uint32_t max = 0;
    uint64_t matching = 0;
    for (const Cell &c : cells) {
        if (c.count > max) max = c.count;
        matching += c.count;
    }
    std::string page;
    page.reserve(64 * 1024);
    page += "<!DOCTYPE html>\n<html lang=\"";
    page += w.lang;
    page += "\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'; base-uri 'none'; "
            "form-action 'none'\">\n<title>";
    page += html_escape(std::string(w.heading) + " \xE2\x80\x93 " + info.name);
    page += "</title>\n<style>";
    page += kStyle;
    page += "</style>\n</head>\n<body>\n<header>\n<h1>" + html_escape(w.heading) + "</h1>\n";

    /* Caption: catalog, tracks, grid, locale, filters. */
    const char *dot = "<span class=\"dot\">\xC2\xB7</span>";
    page += "<p class=\"caption\" id=\"caption\"><span class=\"catalog\">" +
            html_escape(info.name) + "</span>" + dot;
    if (o.filters.empty())
        page += html_escape(count_text(info.track_count, w));
    else
        page += html_escape(grouped(matching, w.thousands) + " " + w.of + " " +
                            count_text(info.track_count, w));
    addf(&page, "%s%u \xC3\x97 %u %s%s", dot, n, n, w.grid, dot);
    page += html_escape(w.language) + dot;
    if (o.filters.empty()) {
        page += html_escape(w.no_filters);
    } else {
        std::string list;
        for (const Filter &f : o.filters) list += (list.empty() ? "" : ", ") + filter_text(f, o, w);
        page += html_escape(std::string(w.filters) + ": " + list);
    }
    /* The denser grid gets wider cells: its names have less room per line. */
    page += "</p>\n</header>\n<main class=\"layout\" style=\"--ratio:";
    page += n == 10 ? "1.45" : "1.3";
    page += "\">\n<section class=\"board\">\n";

    addf(&page, "<div class=\"grid g%u\" id=\"grid\" data-n=\"%u\" style=\"--n:%u\">\n", n, n, n);
    page += "<span class=\"axis\"></span>";
    for (uint32_t x = 1; x <= n; ++x) addf(&page, "<span class=\"axis\">%u</span>", x);
    page += "\n";
    for (uint32_t y = 1; y <= n; ++y) {
        addf(&page, "<span class=\"axis\">%u</span>\n", y);
        for (uint32_t x = 1; x <= n; ++x) render_cell(&page, cells[(y - 1) * n + x - 1], max, w);
    }
    page += "</div>\n</section>\n<aside class=\"side\">\n";
    render_legend(&page, cells, max, w);
    page += "\n<div class=\"card detail\" id=\"detail\" aria-live=\"polite\"><p class=\"hint\">" +
            html_escape(w.hint) + "</p></div>\n</aside>\n</main>\n";
    for (const Cell &c : cells) render_tracks(&page, c, w);
    page += "<script>";
    page += kScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
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

std::string html_escape(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

int write_html_page(const Session &s, const Options &o, const std::string &out) {
    const Words &w = o.locale == "de" ? kGerman : kEnglish;
    std::vector<Cell> cells(o.size * o.size);
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
    return write_out(render_page(cells, info, o, w), out);
}

}  // namespace cli
