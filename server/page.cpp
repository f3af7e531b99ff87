/* The mood grid as a page: shared markup, styles, words and colour scale of the static page
 * (`vibemesh html`) and the live page (`vibemesh serve`).
 *
 * Both pages carry every colour in one style element of per-cell rules instead of style
 * attributes, so the live page's policy can admit its style and script by nonce alone. The
 * static page keeps each cell's first tracks in templates and works with scripts off; the live
 * page's script takes the grid over and talks to the JSON API. */
#include "page.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

namespace page {

namespace {

constexpr uint32_t kTracksShown = 10; /* static page: tracks listed per cell */

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
    const char *hint;        /* static page: side panel before any cell is chosen */
    const char *live_hint;   /* live page: the same */
    const char *column;
    const char *row;
    const char *more;        /* "and N more" */
    const char *filters;     /* caption label before the filters */
    const char *no_filters;
    const char *without;     /* an exclude filter */
    const char *genre;
    const char *origin;
    const char *era;
    const char *genres;
    const char *origins;
    const char *eras;
    const char *filter_help; /* under the filter heading */
    const char *clear;
    const char *size;
    const char *play_cell;
    const char *play;
    const char *previous;
    const char *next;
    const char *earlier;     /* previous page of tracks */
    const char *later;       /* next page of tracks */
    const char *range;       /* "%s–%s of %s" */
    const char *now_playing;
    const char *not_playable;
    const char *close;
    const char *error;
    char thousands;          /* digit group separator */
};

constexpr Words kEnglish = {
    "en", "Mood grid", "English", "track", "tracks", "of", "grid", "Tracks per cell",
    "no tracks", "Fullest cell", "Point at a cell or click it to see its tracks. Click again "
    "to let go; arrow keys move between cells.",
    "Choose a cell to see its tracks. Arrow keys move between cells, Enter plays a cell, "
    "Escape closes it.",
    "Column", "Row", "and %s more", "Filters", "no filters", "not", "genre", "origin", "era",
    "Genres", "Origins", "Eras", "Click once to include, twice to exclude, again to clear.",
    "Clear filters", "Size", "Play this cell", "Play", "Previous", "Next", "Earlier", "Later",
    "%s\xE2\x80\x93%s of %s", "Now playing", "no audio file", "Close", "Something went wrong",
    ',',
};

constexpr Words kGerman = {
    "de", "Stimmungsraster", "Deutsch", "Titel", "Titel", "von", "Raster", "Titel pro Feld",
    "keine Titel", "Vollstes Feld", "Zeigen Sie auf ein Feld oder klicken Sie es an, um seine "
    "Titel zu sehen. Erneutes Klicken l\xC3\xB6st es; die Pfeiltasten wechseln das Feld.",
    "W\xC3\xA4hlen Sie ein Feld, um seine Titel zu sehen. Die Pfeiltasten wechseln das Feld, "
    "die Eingabetaste spielt es ab, Escape schlie\xC3\x9Ft es.",
    "Spalte", "Zeile", "und %s weitere", "Filter", "keine Filter", "nicht", "Genre", "Herkunft",
    "Epoche", "Genres", "Herkunft", "Epochen", "Einmal klicken schlie\xC3\x9Ft ein, zweimal "
    "schlie\xC3\x9Ft aus, noch einmal hebt auf.",
    "Filter aufheben", "Gr\xC3\xB6\xC3\x9F" "e", "Feld abspielen", "Abspielen", "Zur\xC3\xBC" "ck",
    "Weiter", "Fr\xC3\xBCher", "Sp\xC3\xA4ter", "%s\xE2\x80\x93%s von %s", "Es l\xC3\xA4uft",
    "keine Audiodatei", "Schlie\xC3\x9F" "en", "Etwas ist schiefgegangen", '.',
};

const Words &words_of(const std::string &locale) { return locale == "de" ? kGerman : kEnglish; }

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

std::string grouped_sep(uint64_t v, char sep) {
    std::string digits = std::to_string(v), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += sep;
        out += digits[i];
    }
    return out;
}

std::string count_text(uint64_t n, const Words &w) {
    return grouped_sep(n, w.thousands) + " " + (n == 1 ? w.track : w.tracks);
}

/* A list item's display name in the view's locale; the id itself when the list lacks it. */
std::string item_name(const std::string &list_type, const std::string &value, const std::string &locale) {
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    char *end = nullptr;
    unsigned long id = strtoul(value.c_str(), &end, 10);
    if (end && !*end && veltra_manager_list_entries(list_type.c_str(), &e, &n) == 0) {
        for (uint32_t i = 0; i < n; ++i)
            if (e[i].id == id) return locale == "de" ? e[i].name_de : e[i].name_en;
    }
    return value;
}

/* A filter as people read it: "genre Rock", "not era 1980s". */
std::string filter_text(const Filter &f, const View &v, const Words &w) {
    const char *kind = f.list_type == VELTRA_LIST_TYPE_GENRES    ? w.genre
                       : f.list_type == VELTRA_LIST_TYPE_ORIGINS ? w.origin
                                                                 : w.era;
    return std::string(f.include ? "" : std::string(w.without) + " ") + kind + " " +
           item_name(f.list_type, f.value, v.locale);
}

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

/* ---- styles ---- */

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

/* The live page's additions: switches, filter chips, paged track list, player bar. */
constexpr char kLiveStyle[] = R"css(
header.live{display:flex;flex-wrap:wrap;gap:10px 24px;align-items:flex-end;justify-content:space-between}
.switches{display:flex;gap:14px;flex-wrap:wrap}
.seg{display:inline-flex;border:1px solid var(--line);border-radius:8px;overflow:hidden;background:var(--card)}
.seg a{padding:5px 12px;color:var(--ink);text-decoration:none;font-size:14px}
.seg a+a{border-left:1px solid var(--line)}
.seg a[aria-current]{background:var(--ink);color:#fff}
.seg a:focus-visible,.chip:focus-visible,button:focus-visible{outline:3px solid var(--accent);outline-offset:1px}
.filters{max-width:1500px;margin:0 auto 16px;padding:0 32px}
.filters details{background:var(--card);border:1px solid var(--line);border-radius:12px;padding:10px 18px}
.filters summary{cursor:pointer;font-weight:600}
.filters .help{margin:4px 0 8px;font-size:13px;color:var(--muted)}
.group{display:flex;flex-wrap:wrap;gap:5px;align-items:center;margin:6px 0}
.group .label{margin:0 8px 0 0;min-width:5.5em}
.chip{font:inherit;font-size:13px;padding:3px 10px;border-radius:999px;border:1px solid var(--line);background:#f7f8fa;color:var(--ink);cursor:pointer}
.chip[data-state=include]{background:#1f6f43;border-color:#1f6f43;color:#fff}
.chip[data-state=include]::before{content:"+ "}
.chip[data-state=exclude]{background:#a61e1e;border-color:#a61e1e;color:#fff;text-decoration:line-through}
.chip[data-state=exclude]::before{content:"\2212  "}
.clear{font:inherit;font-size:13px;border:0;background:none;color:var(--accent);cursor:pointer;padding:3px 6px}
.detail .top{display:flex;justify-content:space-between;align-items:flex-start;gap:8px}
.x{font:inherit;font-size:20px;line-height:1;border:0;background:none;color:var(--muted);cursor:pointer;padding:0 4px}
.act{font:inherit;font-size:14px;font-weight:600;padding:6px 14px;border-radius:8px;border:0;background:var(--accent);color:#fff;cursor:pointer;margin:0 0 8px}
.tracks .track{all:unset;box-sizing:border-box;display:block;min-width:0;grid-row:span 2;cursor:default}
.tracks button.track{cursor:pointer}
.tracks button.track:hover .title{text-decoration:underline}
.tracks button.track:focus-visible{outline:2px solid var(--accent)}
.tracks .title,.tracks .by,.tracks .tags{display:block}
.tracks .tags{font-size:12px;color:var(--faint);overflow:hidden;white-space:nowrap;text-overflow:ellipsis}
.tracks li.playing .title{color:var(--accent)}
.tracks li.playing::before{content:"\25B6";color:var(--accent)}
.pager{display:flex;align-items:center;justify-content:space-between;gap:8px;margin-top:10px;font-size:13px;color:var(--muted)}
.pager button{font:inherit;font-size:13px;padding:4px 10px;border-radius:6px;border:1px solid var(--line);background:#fff;cursor:pointer}
.pager button:disabled{opacity:.4;cursor:default}
.error{color:#a61e1e}
.player{position:sticky;bottom:0;display:flex;gap:10px;align-items:center;padding:8px 32px;background:var(--ink);color:#fff;flex-wrap:wrap}
.player[hidden]{display:none}
.player button{font:inherit;font-size:14px;padding:5px 12px;border-radius:6px;border:1px solid #4a5568;background:#2d3748;color:#fff;cursor:pointer}
.player .now{flex:1 1 200px;min-width:0;overflow:hidden;white-space:nowrap;text-overflow:ellipsis}
.player audio{flex:1 1 260px;min-width:0;height:36px}
.side.live{flex-basis:360px}
.live-page .board{flex-basis:calc((100vh - 200px) * var(--ratio) + 1.5rem)}
.detail.live{max-height:calc(100vh - 90px);overflow:auto}
@media (max-width:960px){.filters{padding:0 16px}.player{padding:8px 16px}.detail.live{max-height:none}.live-page .board{flex:none}}
@media (max-width:560px){.live-page .board{overflow-x:auto}.live-page .grid.g10{min-width:640px}.live-page .g10 .name{font-size:10.5px}.live-page .g10 .count{font-size:14px}}
)css";

/* ---- scripts ---- */

/* Long names shrink until their longest word fits the cell; the page stays readable without
 * this, only with names clipped. Defines fit() for the scripts after it. */
constexpr char kFitScript[] = R"js(
const fit = (grid) => {
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
const move = (grid, cell, key) => {
  const step = {ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1]}[key];
  if (!step) return null;
  const n = Number(grid.dataset.n), clamp = (v) => Math.min(n, Math.max(1, v));
  const x = clamp(Number(cell.dataset.x) + step[0]), y = clamp(Number(cell.dataset.y) + step[1]);
  return document.getElementById('cell-' + x + '-' + y);
};
)js";

constexpr char kStaticScript[] = R"js(
(() => {
  const grid = document.getElementById('grid');
  const detail = document.getElementById('detail');
  const hint = Array.from(detail.childNodes);
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
    const to = move(grid, c, e.key);
    if (to) { to.focus(); e.preventDefault(); }
  });
  fit(grid);
  addEventListener('resize', () => fit(grid));
  const m = /^#cell=(\d+),(\d+)$/.exec(location.hash);
  const start = m && document.getElementById('cell-' + m[1] + '-' + m[2]);
  if (start) pin(start);
  document.documentElement.dataset.ready = 'true';
})();
)js";

/* The live page: every change goes through the JSON API; the state lives in the query string
 * (size, lang, genre/origin/era with a leading '-' for exclusion, cell, offset), the same
 * parameters the API takes, so a copied link reopens the same view. */
constexpr char kLiveScript[] = R"js(
(() => {
  const cfg = JSON.parse(document.getElementById('config').textContent);
  const W = cfg.words, LIMIT = 50, $ = (id) => document.getElementById(id);
  const grid = $('grid'), detail = $('detail'), hint = Array.from(detail.childNodes);
  const audio = $('audio');
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  const group = (v) => String(v).replace(/\B(?=(\d{3})+(?!\d))/g, W.thousands);
  const unit = (c) => c === 1 ? W.track : W.tracks;
  const fmt = (s, ...a) => { let i = 0; return s.replace(/%s/g, () => a[i++]); };
  const state = {filters: cfg.filters, cell: null, offset: 0};
  const query = (extra) => {
    const p = new URLSearchParams({size: cfg.size, lang: cfg.lang});
    for (const f of state.filters) p.append(f.list, (f.include ? '' : '-') + f.id);
    for (const k in extra) p.set(k, extra[k]);
    return p;
  };
  const viewQuery = (extra) => {
    const p = query(extra);
    if (state.cell && !('cell' in extra)) {
      p.set('cell', state.cell.x + ',' + state.cell.y);
      if (state.offset) p.set('offset', state.offset);
    }
    return p;
  };
  const save = () => {
    history.replaceState(null, '', '?' + viewQuery({}));
    for (const a of document.querySelectorAll('.seg a'))
      a.href = '?' + viewQuery({[a.dataset.key]: a.dataset.value});
  };
  const api = async (path, params) => {
    const r = await fetch(path + '?' + params, {headers: {Accept: 'application/json'}});
    const body = await r.json();
    if (!r.ok) throw new Error(body.error ? body.error.message : String(r.status));
    return body;
  };
  const fail = (e) => { const p = el('p', 'error', W.error + ': ' + e.message); detail.replaceChildren(p); };

  /* ---- grid, legend, caption ---- */
  let gridSeq = 0;
  const paintGrid = (g) => {
    for (const c of g.cells) {
      const b = $('cell-' + c.x + '-' + c.y);
      b.dataset.count = c.count;
      b.classList.toggle('zero', c.count === 0);
      b.style.setProperty('--bg', c.bg);
      b.style.setProperty('--fg', c.fg);
      b.querySelector('.count').textContent = group(c.count);
      b.querySelector('.unit').textContent = unit(c.count);
      b.setAttribute('aria-label', c.name + ': ' + group(c.count) + ' ' + unit(c.count));
    }
    const ticks = $('ticks');
    ticks.replaceChildren(...g.legend.ticks.map((t, i) => {
      const s = el('span', i === 0 ? 'first' : t.pos > 94 ? 'last' : '', group(t.value));
      s.style.left = t.pos + '%';
      return s;
    }));
    const keys = $('keys');
    keys.replaceChildren();
    if (g.legend.fullest) {
      const s = el('span', '', W.busiest + ': ');
      s.append(el('b', '', g.legend.fullest.name), ' (' + group(g.legend.fullest.count) + ')');
      keys.append(s);
    }
    if (g.legend.empty) {
      const s = el('span');
      s.append(el('span', 'swatch zero'), W.empty);
      keys.append(s);
    }
    $('matching').textContent = state.filters.length
      ? group(g.matching) + ' ' + W.of + ' ' + group(cfg.tracks) + ' ' + unit(cfg.tracks)
      : group(cfg.tracks) + ' ' + unit(cfg.tracks);
    $('filtered').textContent = state.filters.length
      ? W.filters + ': ' + state.filters.map((f) => (f.include ? '' : W.without + ' ') + W[f.list] + ' ' + cfg.names[f.list][f.id]).join(', ')
      : W.no_filters;
  };
  const refresh = async () => {
    save();
    const seq = ++gridSeq;
    try {
      const g = await api('/api/grid', query({}));
      if (seq === gridSeq) paintGrid(g);
    } catch (e) { fail(e); }
    if (state.cell) openCell(state.cell.x, state.cell.y, 0);
  };

  /* ---- filters ---- */
  const chips = Array.from(document.querySelectorAll('.chip'));
  const next = {off: 'include', include: 'exclude', exclude: 'off'};
  const readChips = () => {
    state.filters = chips.filter((c) => c.dataset.state !== 'off')
      .map((c) => ({list: c.dataset.list, id: c.dataset.id, include: c.dataset.state === 'include'}));
  };
  for (const c of chips) {
    const f = state.filters.find((f) => f.list === c.dataset.list && f.id === c.dataset.id);
    c.dataset.state = f ? (f.include ? 'include' : 'exclude') : 'off';
    c.addEventListener('click', () => {
      c.dataset.state = next[c.dataset.state];
      c.setAttribute('aria-pressed', c.dataset.state === 'off' ? 'false' : 'true');
      readChips();
      refresh();
    });
  }
  $('clear').addEventListener('click', () => {
    for (const c of chips) { c.dataset.state = 'off'; c.setAttribute('aria-pressed', 'false'); }
    readChips();
    refresh();
  });

  /* ---- a cell's tracks ---- */
  let cellSeq = 0, selected = null, shown = null, playing = null;
  const select = (x, y) => {
    if (selected) { selected.classList.remove('selected'); selected.setAttribute('aria-pressed', 'false'); }
    selected = x ? $('cell-' + x + '-' + y) : null;
    if (selected) { selected.classList.add('selected'); selected.setAttribute('aria-pressed', 'true'); }
  };
  const close = () => {
    const was = selected;
    state.cell = null; state.offset = 0; shown = null; ++cellSeq;
    select(0);
    detail.replaceChildren(...hint);
    save();
    if (was) was.focus();
  };
  const openCell = async (x, y, offset) => {
    state.cell = {x, y}; state.offset = offset;
    select(x, y);
    save();
    const seq = ++cellSeq;
    try {
      const page = await api('/api/cell', query({x, y, offset, limit: LIMIT}));
      if (seq === cellSeq) showCell(page);
    } catch (e) { if (seq === cellSeq) fail(e); }
  };
  const showCell = (page) => {
    shown = page;
    const top = el('div', 'top');
    const head = el('div');
    head.append(el('p', 'label', W.column + ' ' + page.x + ' \u00b7 ' + W.row + ' ' + page.y), el('h2', '', page.name));
    const x = el('button', 'x', '\u00d7');
    x.type = 'button'; x.title = W.close; x.setAttribute('aria-label', W.close);
    x.addEventListener('click', close);
    top.append(head, x);
    const total = el('p', 'total');
    total.append(el('b', '', group(page.total)), ' ' + unit(page.total));
    const parts = [top, total];
    if (cfg.audio && page.total) {
      const b = el('button', 'act', '\u25b6 ' + W.play_cell);
      b.type = 'button'; b.id = 'play-cell';
      b.addEventListener('click', () => playCell(page.x, page.y, 0));
      parts.push(b);
    }
    const ol = el('ol', 'tracks');
    ol.start = page.offset + 1;
    ol.style.counterReset = 't ' + page.offset;
    page.tracks.forEach((t, i) => {
      const li = el('li');
      li.dataset.id = t.id;
      if (playing && playing.id === t.id) li.classList.add('playing');
      const canPlay = cfg.audio && t.playable;
      const body = el(canPlay ? 'button' : 'div', 'track');
      if (canPlay) {
        body.type = 'button';
        body.title = W.play;
        body.addEventListener('click', () => playCell(page.x, page.y, page.offset + i));
      }
      const by = t.artist + ' \u00b7 ' + t.album;
      const tags = [t.genre, t.origin, t.era].filter(Boolean).join(' \u00b7 ');
      body.append(el('span', 'title', t.title), el('span', 'by', by));
      if (tags) body.append(el('span', 'tags', tags));
      if (cfg.audio && !t.playable) body.append(el('span', 'tags', W.not_playable));
      li.append(body);
      ol.append(li);
    });
    if (page.tracks.length) parts.push(ol);
    if (page.total > LIMIT) {
      const pager = el('div', 'pager');
      const prev = el('button', '', '\u2039 ' + W.earlier), later = el('button', '', W.later + ' \u203a');
      prev.type = later.type = 'button';
      prev.disabled = page.offset === 0;
      later.disabled = page.offset + page.tracks.length >= page.total;
      prev.addEventListener('click', () => openCell(page.x, page.y, Math.max(0, page.offset - LIMIT)));
      later.addEventListener('click', () => openCell(page.x, page.y, page.offset + LIMIT));
      pager.append(prev, el('span', 'range', fmt(W.range, group(page.offset + 1),
        group(page.offset + page.tracks.length), group(page.total))), later);
      parts.push(pager);
    }
    detail.replaceChildren(...parts);
  };

  /* ---- playback: a cell's tracks in order, fetched page by page ---- */
  const queue = {params: null, total: 0, index: -1, pages: new Map()};
  const trackAt = async (i) => {
    const first = Math.floor(i / LIMIT) * LIMIT;
    let p = queue.pages.get(first);
    if (!p) {
      const q = new URLSearchParams(queue.params);
      q.set('offset', first); q.set('limit', LIMIT);
      p = await api('/api/cell', q);
      queue.pages.set(first, p);
      queue.total = p.total;
    }
    return p.tracks[i - first];
  };
  const playAt = async (i, dir) => {
    for (let tries = 0; tries < 200 && i >= 0 && i < queue.total; ++tries, i += dir) {
      const t = await trackAt(i);
      if (t && t.playable) {
        queue.index = i;
        playing = t;
        audio.src = '/api/audio?track=' + encodeURIComponent(t.id);
        audio.play().catch(() => {});
        $('player').hidden = false;
        $('now').textContent = t.title + ' \u00b7 ' + t.artist;
        for (const li of detail.querySelectorAll('.tracks li')) li.classList.toggle('playing', li.dataset.id === t.id);
        return;
      }
    }
  };
  const playCell = (x, y, index) => {
    queue.params = query({x, y}).toString();
    queue.pages = new Map();
    queue.total = index + 1;
    trackAt(index).then(() => playAt(index, 1)).catch(fail);
  };
  if (audio) {
    audio.addEventListener('ended', () => playAt(queue.index + 1, 1));
    $('next').addEventListener('click', () => playAt(queue.index + 1, 1));
    $('prev').addEventListener('click', () => playAt(queue.index - 1, -1));
  }

  /* ---- keyboard and pointer ---- */
  const cellOf = (e) => e.target.closest('.cell');
  const openOf = (c) => openCell(Number(c.dataset.x), Number(c.dataset.y), 0);
  grid.addEventListener('click', (e) => {
    const c = cellOf(e);
    if (!c) return;
    if (c === selected) close(); else openOf(c);
  });
  grid.addEventListener('keydown', (e) => {
    const c = cellOf(e);
    if (!c) return;
    if (e.key === 'Enter') {
      e.preventDefault();
      openOf(c);
      if (cfg.audio && Number(c.dataset.count)) playCell(Number(c.dataset.x), Number(c.dataset.y), 0);
      return;
    }
    const to = move(grid, c, e.key);
    if (to) { to.focus(); openOf(to); e.preventDefault(); }
  });
  document.addEventListener('keydown', (e) => { if (e.key === 'Escape' && state.cell) close(); });

  fit(grid);
  addEventListener('resize', () => fit(grid));
  save();
  if (cfg.cell) openCell(cfg.cell.x, cfg.cell.y, cfg.offset);
  document.documentElement.dataset.ready = 'true';
})();
)js";

/* ---- markup shared by both pages ---- */

/* Every colour of the grid and legend as rules for the page's one style element. */
std::string colour_rules(const std::vector<Cell> &cells, uint32_t max) {
    std::string css = ".bar{background:" + scale_gradient() + "}\n";
    for (const Cell &c : cells) {
        Colours k = cell_colours(c.count, max);
        addf(&css, "#cell-%u-%u{--bg:%s;--fg:%s}\n", c.x, c.y, k.bg.c_str(), k.fg.c_str());
    }
    std::vector<Tick> ticks = legend_ticks(max);
    for (size_t i = 0; i < ticks.size(); ++i) addf(&css, "#tick-%zu{left:%.2f%%}\n", i, ticks[i].pos);
    return css;
}

void render_legend(std::string *out, const std::vector<Cell> &cells, uint32_t max, const Words &w) {
    *out += "<div class=\"card legend\" id=\"legend\"><p class=\"label\">";
    *out += html_escape(w.legend);
    *out += "</p><div class=\"bar\"></div><div class=\"ticks\" id=\"ticks\">";
    std::vector<Tick> ticks = legend_ticks(max);
    for (size_t i = 0; i < ticks.size(); ++i) {
        const char *cls = i == 0 ? "first" : ticks[i].pos > 94 ? "last" : "";
        addf(out, "<span class=\"%s\" id=\"tick-%zu\">", cls, i);
        *out += grouped_sep(ticks[i].value, w.thousands) + "</span>";
    }
    *out += "</div><div class=\"keys\" id=\"keys\">";
    bool any_empty = false;
    const Cell *fullest = nullptr;
    for (const Cell &c : cells) {
        any_empty |= c.count == 0;
        if (!fullest || c.count > fullest->count) fullest = &c;
    }
    if (fullest && fullest->count)
        *out += "<span>" + html_escape(w.busiest) + ": <b>" + html_escape(fullest->name) +
                "</b> (" + grouped_sep(fullest->count, w.thousands) + ")</span>";
    if (any_empty)
        *out += "<span><span class=\"swatch zero\"></span>" + html_escape(w.empty) + "</span>";
    *out += "</div></div>";
}

void render_cell(std::string *out, const Cell &c, const Words &w) {
    addf(out, "<button type=\"button\" class=\"cell%s\" id=\"cell-%u-%u\" data-x=\"%u\" data-y=\"%u\"",
         c.count ? "" : " zero", c.x, c.y, c.x, c.y);
    *out += " data-mood=\"" + html_escape(c.mood_id) + "\"";
    addf(out, " data-count=\"%u\" aria-pressed=\"false\"", c.count);
    *out += " aria-label=\"" + html_escape(c.name + ": " + count_text(c.count, w)) + "\">";
    *out += "<span class=\"name\">" + html_escape(c.name) + "</span>";
    *out += "<span class=\"num\"><span class=\"count\">" + grouped_sep(c.count, w.thousands) +
            "</span><span class=\"unit\">" + html_escape(c.count == 1 ? w.track : w.tracks) +
            "</span></span></button>\n";
}

/* The static page's side panel content for one cell, kept inert until the cell is chosen. */
void render_tracks(std::string *out, const Cell &c, const Words &w) {
    addf(out, "<template id=\"tracks-%u-%u\">", c.x, c.y);
    addf(out, "<p class=\"label\">%s %u \xC2\xB7 %s %u</p>", w.column, c.x, w.row, c.y);
    *out += "<h2>" + html_escape(c.name) + "</h2>";
    *out += "<p class=\"total\"><b>" + grouped_sep(c.count, w.thousands) + "</b> " +
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
                 grouped_sep(c.count - c.first.size(), w.thousands).c_str());
        *out += "<p class=\"more\">" + html_escape(more) + "</p>";
    }
    *out += "</template>\n";
}

/* Everything up to the header's end: doctype, head with policy and styles, heading, caption.
 * `live` adds the element ids the live script updates. */
std::string render_head(const std::vector<Cell> &cells, const View &v, const Words &w,
                        const std::string &csp, const std::string &nonce, bool live) {
    uint32_t max = 0;
    uint64_t matching = 0;
    for (const Cell &c : cells) {
        if (c.count > max) max = c.count;
        matching += c.count;
    }
    std::string page;
    page.reserve(96 * 1024);
    page += "<!DOCTYPE html>\n<html lang=\"";
    page += w.lang;
    page += "\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"" + csp +
            "\">\n<title>";
    page += html_escape(std::string(w.heading) + " \xE2\x80\x93 " + v.catalog_name);
    if (live) page += "</title>\n<link rel=\"icon\" href=\"data:,\">\n<style";
    else page += "</title>\n<style";
    page += (nonce.empty() ? std::string() : " nonce=\"" + nonce + "\"") + ">";
    page += kStyle;
    if (live) page += kLiveStyle;
    page += colour_rules(cells, max);
    page += "</style>\n</head>\n<body>\n<header";
    page += live ? " class=\"live\"><div>" : ">\n";
    page += "<h1>" + html_escape(w.heading) + "</h1>\n";

    /* Caption: catalog, tracks, grid, locale, filters. */
    const char *dot = "<span class=\"dot\">\xC2\xB7</span>";
    page += "<p class=\"caption\" id=\"caption\"><span class=\"catalog\">" +
            html_escape(v.catalog_name) + "</span>" + dot + "<span id=\"matching\">";
    if (v.filters.empty())
        page += html_escape(count_text(v.track_count, w));
    else
        page += html_escape(grouped_sep(matching, w.thousands) + " " + w.of + " " +
                            count_text(v.track_count, w));
    addf(&page, "</span>%s%u \xC3\x97 %u %s%s", dot, v.size, v.size, w.grid, dot);
    page += html_escape(w.language) + dot + "<span id=\"filtered\">";
    if (v.filters.empty()) {
        page += html_escape(w.no_filters);
    } else {
        std::string list;
        for (const Filter &f : v.filters) list += (list.empty() ? "" : ", ") + filter_text(f, v, w);
        page += html_escape(std::string(w.filters) + ": " + list);
    }
    page += "</span></p>\n";
    return page;
}

/* The board (axes and cells) and the side panel's legend; the detail card follows. */
void render_board(std::string *page, const std::vector<Cell> &cells, const View &v,
                  const Words &w, bool live) {
    const uint32_t n = v.size;
    uint32_t max = 0;
    for (const Cell &c : cells) max = c.count > max ? c.count : max;
    /* The denser grid gets wider cells: its names have less room per line. Set by class, not
     * by a style attribute, so the live page's policy needs no inline-style allowance. */
    addf(page, "<main class=\"layout r%u%s\">\n<section class=\"board\">\n", n, live ? " live-page" : "");
    addf(page, "<div class=\"grid g%u\" id=\"grid\" data-n=\"%u\">\n", n, n);
    *page += "<span class=\"axis\"></span>";
    for (uint32_t x = 1; x <= n; ++x) addf(page, "<span class=\"axis\">%u</span>", x);
    *page += "\n";
    for (uint32_t y = 1; y <= n; ++y) {
        addf(page, "<span class=\"axis\">%u</span>\n", y);
        for (uint32_t x = 1; x <= n; ++x) render_cell(page, cells[(y - 1) * n + x - 1], w);
    }
    *page += live ? "</div>\n</section>\n<aside class=\"side live\">\n"
                  : "</div>\n</section>\n<aside class=\"side\">\n";
    render_legend(page, cells, max, w);
}

constexpr char kLayoutRules[] =
    ".r5{--ratio:1.3}.r10{--ratio:1.45}.g5{--n:5}.g10{--n:10}\n";

/* A switch of the live page: links that reload the view with one parameter changed. */
void render_switch(std::string *page, const char *label, const char *key,
                   const std::vector<std::pair<std::string, std::string>> &options,
                   const std::string &current) {
    *page += "<span class=\"seg\" role=\"group\" aria-label=\"" + html_escape(label) + "\">";
    for (const auto &[value, text] : options) {
        *page += "<a data-key=\"" + std::string(key) + "\" data-value=\"" + value + "\" href=\"?" +
                 key + "=" + value + "\"";
        if (value == current) *page += " aria-current=\"true\"";
        *page += ">" + html_escape(text) + "</a>";
    }
    *page += "</span>";
}

void render_filters(std::string *page, const View &v, const Words &w) {
    *page += "<section class=\"filters\"><details id=\"filters\"" +
             std::string(v.filters.empty() ? "" : " open") + "><summary>" + html_escape(w.filters) +
             "</summary><p class=\"help\">" + html_escape(w.filter_help) +
             " <button type=\"button\" class=\"clear\" id=\"clear\">" + html_escape(w.clear) +
             "</button></p>";
    const struct {
        const char *list_type, *key, *label;
    } groups[] = {{VELTRA_LIST_TYPE_GENRES, "genre", w.genres},
                  {VELTRA_LIST_TYPE_ORIGINS, "origin", w.origins},
                  {VELTRA_LIST_TYPE_ERAS, "era", w.eras}};
    for (const auto &g : groups) {
        *page += "<div class=\"group\" role=\"group\" aria-label=\"" + html_escape(g.label) +
                 "\"><p class=\"label\">" + html_escape(g.label) + "</p>";
        const veltra_manager_list_entry_t *e = nullptr;
        uint32_t n = 0;
        if (veltra_manager_list_entries(g.list_type, &e, &n) != 0) n = 0;
        for (uint32_t i = 0; i < n; ++i) {
            std::string id = std::to_string(e[i].id);
            const char *state = "off";
            for (const Filter &f : v.filters)
                if (f.list_type == g.list_type && f.value == id) state = f.include ? "include" : "exclude";
            *page += "<button type=\"button\" class=\"chip\" data-list=\"" + std::string(g.key) +
                     "\" data-id=\"" + id + "\" data-state=\"" + state + "\" aria-pressed=\"" +
                     (state[1] == 'f' ? "false" : "true") + "\">" +
                     html_escape(v.locale == "de" ? e[i].name_de : e[i].name_en) + "</button>";
        }
        *page += "</div>";
    }
    *page += "</details></section>\n";
}

}  // namespace

/* ---- public ---- */

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

std::string grouped(uint64_t v, const std::string &locale) {
    return grouped_sep(v, words_of(locale).thousands);
}

Colours cell_colours(uint32_t count, uint32_t max) {
    const Rgb bg = scale_colour(max ? static_cast<double>(count) / max : 0);
    return {hex(bg), text_on(bg)};
}

std::vector<Tick> legend_ticks(uint32_t max) {
    std::vector<Tick> ticks;
    const uint32_t top = max ? max : 1;
    const uint32_t step = max ? tick_step(max) : 2; /* an empty grid has only the 0 tick */
    for (uint64_t v = 0; v <= top; v += step) ticks.push_back({v, 100.0 * static_cast<double>(v) / top});
    return ticks;
}

std::string scale_gradient() {
    std::string g = "linear-gradient(to right";
    for (size_t i = 0; i < kStops; ++i) g += "," + hex(kScale[i]);
    return g + ")";
}

std::string render_static(const std::vector<Cell> &cells, const View &v) {
    const Words &w = words_of(v.locale);
    std::string page = render_head(cells, v, w,
                                   "default-src 'none'; style-src 'unsafe-inline'; "
                                   "script-src 'unsafe-inline'; base-uri 'none'; form-action 'none'",
                                   "", false);
    page.insert(page.find("</style>"), kLayoutRules);
    page += "</header>\n";
    render_board(&page, cells, v, w, false);
    page += "\n<div class=\"card detail\" id=\"detail\" aria-live=\"polite\"><p class=\"hint\">" +
            html_escape(w.hint) + "</p></div>\n</aside>\n</main>\n";
    for (const Cell &c : cells) render_tracks(&page, c, w);
    page += "<script>";
    page += kFitScript;
    page += kStaticScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

/* The page's own copy (a meta element) leaves out frame-ancestors, which only the header can
 * carry. */
std::string live_csp(const std::string &nonce, bool header) {
    return "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
           "'; connect-src 'self'; media-src 'self'; img-src data:; base-uri 'none'; "
           "form-action 'none'" + (header ? "; frame-ancestors 'none'" : "");
}

std::string render_live(const std::vector<Cell> &cells, const View &v, const std::string &nonce,
                        const std::string &config_json, bool audio) {
    const Words &w = words_of(v.locale);
    std::string page = render_head(cells, v, w, live_csp(nonce, false), nonce, true);
    page.insert(page.find("</style>"), kLayoutRules);
    page += "</div><nav class=\"switches\">";
    render_switch(&page, w.size, "size", {{"5", "5 \xC3\x97 5"}, {"10", "10 \xC3\x97 10"}},
                  std::to_string(v.size));
    render_switch(&page, "Language", "lang", {{"en", "English"}, {"de", "Deutsch"}}, v.locale);
    page += "</nav></header>\n";
    render_filters(&page, v, w);
    render_board(&page, cells, v, w, true);
    page += "\n<div class=\"card detail live\" id=\"detail\" aria-live=\"polite\"><p class=\"hint\">" +
            html_escape(w.live_hint) + "</p></div>\n</aside>\n</main>\n";
    if (audio)
        page += "<div class=\"player\" id=\"player\" hidden><button type=\"button\" id=\"prev\">\xE2\x80\xB9 " +
                html_escape(w.previous) + "</button><button type=\"button\" id=\"next\">" +
                html_escape(w.next) + " \xE2\x80\xBA</button><span class=\"now\" id=\"now\" "
                "aria-live=\"polite\"></span><audio id=\"audio\" controls preload=\"none\"></audio></div>\n";
    page += "<script type=\"application/json\" id=\"config\">" + config_json + "</script>\n";
    page += "<script nonce=\"" + nonce + "\">";
    page += kFitScript;
    page += kLiveScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

std::string words_json(const std::string &locale) {
    const Words &w = words_of(locale);
    nlohmann::json j = {
        {"track", w.track},       {"tracks", w.tracks},       {"of", w.of},
        {"empty", w.empty},       {"busiest", w.busiest},     {"column", w.column},
        {"row", w.row},           {"filters", w.filters},     {"no_filters", w.no_filters},
        {"without", w.without},   {"genre", w.genre},         {"origin", w.origin},
        {"era", w.era},           {"play_cell", w.play_cell}, {"play", w.play},
        {"earlier", w.earlier},   {"later", w.later},         {"range", w.range},
        {"not_playable", w.not_playable}, {"close", w.close}, {"error", w.error},
        {"thousands", std::string(1, w.thousands)},
    };
    return j.dump();
}

}  // namespace page
