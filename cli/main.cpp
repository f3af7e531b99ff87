/* vibemesh: the mood grid of a music catalog on the command line.
 *
 *   vibemesh [--catalog FILE] grid [--size 5|10] [--locale en|de] [filters]
 *   vibemesh [--catalog FILE] recommend X Y [--size 5|10] [--limit N] [--json] [filters]
 *   vibemesh [--catalog FILE] html [--size 5|10] [--locale en|de] [filters] --out FILE
 *   vibemesh moods [--size 5|10] [--locale en|de]
 *   vibemesh lists genres|origins|eras [--locale en|de]
 *   vibemesh [--catalog FILE] catalog generate|import|info ...
 *
 * Without --catalog the sample catalog is used, created on first use. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "html.h"
#include "render.h"
#include "session.h"

namespace {

using cli::Options;

constexpr char kUsage[] =
    "usage: vibemesh [--catalog FILE] COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  grid                     the mood grid with the number of matching tracks per cell\n"
    "  recommend X Y            the tracks of cell (X, Y): column X, row Y, from 1\n"
    "  html --out FILE          the grid as a self-contained HTML page\n"
    "  moods                    the mood ids and names of the grid's cells\n"
    "  lists genres|origins|eras  the ids and names usable in filters\n"
    "  catalog generate|import|info  make or inspect catalog files\n"
    "\n"
    "Without --catalog the sample catalog is used (created on first use at\n"
    "$VIBEMESH_CATALOG or ~/.local/share/vibemesh/sample.vmcat).\n"
    "Run 'vibemesh COMMAND --help' for a command's options.\n";

constexpr char kFilterHelp[] =
    "filters (repeatable; one list type takes either include or exclude filters):\n"
    "  --genre ID   --origin ID   --era ID                 tracks with one of these\n"
    "  --exclude-genre ID  --exclude-origin ID  --exclude-era ID  tracks with none of these\n";

int usage_error(const char *fmt, const char *arg = "") {
    fprintf(stderr, "vibemesh: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n(run 'vibemesh --help' for usage)\n");
    return 2;
}

bool parse_uint(const char *s, uint32_t *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    unsigned long v = strtoul(s, &end, 10);
    if (*end || s[0] == '-' || v > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

/* Parses the options every grid command shares; positional words go to `rest`. Returns 0, or
 * an exit status for a bad option. */
int parse_common(int argc, char **argv, Options *o, std::vector<std::string> *rest, bool *json,
                 uint32_t *limit) {
    struct FilterFlag {
        const char *flag;
        const char *list_type;
        bool include;
    };
    static const FilterFlag kFlags[] = {
        {"--genre", VELTRA_LIST_TYPE_GENRES, true},
        {"--origin", VELTRA_LIST_TYPE_ORIGINS, true},
        {"--era", VELTRA_LIST_TYPE_ERAS, true},
        {"--exclude-genre", VELTRA_LIST_TYPE_GENRES, false},
        {"--exclude-origin", VELTRA_LIST_TYPE_ORIGINS, false},
        {"--exclude-era", VELTRA_LIST_TYPE_ERAS, false},
    };
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        bool matched = false;
        for (const FilterFlag &f : kFlags) {
            if (a == f.flag) {
                const char *v = value(f.flag);
                if (!v) return usage_error("%s needs an id", f.flag);
                o->filters.push_back({f.list_type, v, f.include});
                matched = true;
            }
        }
        if (matched) continue;
        if (a == "--size") {
            const char *v = value("--size");
            if (!v || (strcmp(v, "5") && strcmp(v, "10"))) return usage_error("--size takes 5 or 10");
            o->size = static_cast<uint32_t>(atoi(v));
        } else if (a == "--locale") {
            const char *v = value("--locale");
            if (!v || (strcmp(v, "en") && strcmp(v, "de"))) return usage_error("--locale takes en or de");
            o->locale = v;
        } else if (a == "--catalog") {
            const char *v = value("--catalog");
            if (!v || !*v) return usage_error("--catalog needs a file");
            o->catalog = v;
        } else if (a == "--json" && json) {
            *json = true;
        } else if (a == "--limit" && limit) {
            const char *v = value("--limit");
            if (!parse_uint(v, limit)) return usage_error("--limit takes a whole number");
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option %s", a.c_str());
        } else {
            rest->push_back(a);
        }
    }
    return 0;
}

bool wants_help(int argc, char **argv) {
    for (int i = 0; i < argc; ++i)
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) return true;
    return false;
}

std::string filters_caption(const Options &o) {
    if (o.filters.empty()) return "no filters";
    std::string s;
    for (const cli::Filter &f : o.filters) {
        if (!s.empty()) s += ", ";
        s += f.include ? "" : "not ";
        s += f.list_type.substr(strlen("veltra_list_type_"));
        s.pop_back(); /* genres -> genre */
        s += " " + f.value;
    }
    return s;
}

/* ---- grid ---- */

int cmd_grid(int argc, char **argv, Options o) {
    if (wants_help(argc, argv)) {
        printf("usage: vibemesh grid [--size 5|10] [--locale en|de] [filters]\n\n"
               "Prints the grid of localized mood names with the number of matching tracks in\n"
               "each cell; row y and column x count from 1 as in 'vibemesh recommend X Y'.\n\n%s",
               kFilterHelp);
        return 0;
    }
    std::vector<std::string> rest;
    if (int rc = parse_common(argc, argv, &o, &rest, nullptr, nullptr)) return rc;
    if (!rest.empty()) return usage_error("grid takes no argument '%s'", rest[0].c_str());
    cli::Session s;
    if (int rc = s.open(o)) return rc;
    const uint32_t n = o.size;
    const size_t width = n == 10 ? 14 : 22;
    std::vector<std::string> names(n * n), counts(n * n);
    for (uint32_t y = 1; y <= n; ++y) {
        for (uint32_t x = 1; x <= n; ++x) {
            const char *name = nullptr;
            uint32_t code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &name);
            if (code) return cli::report("reading a mood name", code);
            uint32_t estimate = 0;
            code = veltra_vibemesh_presentation_find_recommendations_estimate(
                s.presentation(), s.provider(), x, y, &estimate);
            if (code) return cli::report("estimating a cell", code);
            names[(y - 1) * n + x - 1] = name;
            counts[(y - 1) * n + x - 1] = std::to_string(estimate);
        }
    }
    veltra_catalog_info_t info{};
    veltra_catalog_get_info(s.catalog(), &info);
    printf("%s: %u tracks; %ux%u grid, locale %s, %s\n\n", info.name, info.track_count, n, n,
           o.locale.c_str(), filters_caption(o).c_str());
    std::string rule = "    +";
    for (uint32_t x = 0; x < n; ++x) rule += std::string(width + 2, '-') + "+";
    printf("     ");
    for (uint32_t x = 1; x <= n; ++x) printf("%s", cli::pad(" x=" + std::to_string(x), width + 3).c_str());
    printf("\n%s\n", rule.c_str());
    for (uint32_t y = 1; y <= n; ++y) {
        std::string top = cli::pad("y=" + std::to_string(y), 4) + "|";
        std::string bottom = "    |";
        for (uint32_t x = 1; x <= n; ++x) {
            top += " " + cli::pad(cli::fit(names[(y - 1) * n + x - 1], width), width) + " |";
            bottom += " " + cli::pad(counts[(y - 1) * n + x - 1], width, true) + " |";
        }
        printf("%s\n%s\n%s\n", top.c_str(), bottom.c_str(), rule.c_str());
    }
    return 0;
}

/* ---- recommend ---- */

int cmd_recommend(int argc, char **argv, Options o) {
    if (wants_help(argc, argv)) {
        printf("usage: vibemesh recommend X Y [--size 5|10] [--limit N] [--json] [--locale en|de]\n"
               "                          [filters]\n\n"
               "Prints the tracks of cell (X, Y) (column X, row Y, from 1) in the catalog's\n"
               "order: title, artist and album. --limit N prints at most N (default 20, 0 for\n"
               "all); --json prints one JSON object.\n\n%s",
               kFilterHelp);
        return 0;
    }
    std::vector<std::string> rest;
    bool json = false;
    uint32_t limit = 20;
    if (int rc = parse_common(argc, argv, &o, &rest, &json, &limit)) return rc;
    uint32_t x = 0, y = 0;
    if (rest.size() != 2 || !parse_uint(rest[0].c_str(), &x) || !parse_uint(rest[1].c_str(), &y))
        return usage_error("recommend needs two cell numbers X and Y");
    cli::Session s;
    if (int rc = s.open(o)) return rc;
    const char *mood_id = nullptr, *mood_name = nullptr;
    uint32_t code = veltra_vibemesh_presentation_get_mood_id(s.presentation(), x, y, &mood_id);
    if (code) return cli::report("reading the cell's mood", code);
    code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &mood_name);
    if (code) return cli::report("reading the cell's mood name", code);
    veltra_vibemesh_result_handle_t results = nullptr;
    code = veltra_vibemesh_presentation_find_recommendations(s.presentation(), s.provider(), x, y,
                                                             &results);
    if (code) return cli::report("finding recommendations", code);
    uint32_t count = 0;
    code = veltra_vibemesh_results_count(results, &count);
    uint32_t shown = (limit == 0 || limit > count) ? count : limit;
    cli::Table table{{"#", "title", "artist", "album"}, {}, {true}};
    std::string json_tracks;
    for (uint32_t i = 0; code == 0 && i < shown; ++i) {
        const char *ident = nullptr, *group = nullptr;
        code = veltra_vibemesh_results_enum(results, i, &ident, &group);
        if (code) break;
        veltra_catalog_track_t t{};
        code = veltra_catalog_track_get(s.catalog(), ident, &t);
        if (code) break;
        if (json) {
            json_tracks += std::string(i ? "," : "") + "\n    {\"ident\": " + cli::json_string(ident) +
                           ", \"album_ident\": " + cli::json_string(group) +
                           ", \"title\": " + cli::json_string(t.title) +
                           ", \"artist\": " + cli::json_string(t.artist) +
                           ", \"album\": " + cli::json_string(t.album) + "}";
        } else {
            table.rows.push_back({std::to_string(i + 1), t.title, t.artist, t.album});
        }
    }
    veltra_vibemesh_results_release(results);
    if (code) return cli::report("reading the results", code);
    if (json) {
        printf("{\n  \"cell\": {\"x\": %u, \"y\": %u, \"size\": %u, \"mood_id\": %s, \"mood\": %s},\n"
               "  \"filters\": %s,\n  \"count\": %u,\n  \"tracks\": [%s%s]\n}\n",
               x, y, o.size, cli::json_string(mood_id).c_str(), cli::json_string(mood_name).c_str(),
               cli::json_string(filters_caption(o)).c_str(), count, json_tracks.c_str(),
               shown ? "\n  " : "");
    } else {
        printf("Cell (%u, %u) of the %ux%u grid: %s (%s), %u tracks, %s\n\n", x, y, o.size, o.size,
               mood_name, mood_id, count, filters_caption(o).c_str());
        if (shown) printf("%s", table.render().c_str());
        if (shown < count) printf("... and %u more (--limit 0 shows all)\n", count - shown);
    }
    return 0;
}

/* ---- html ---- */

int cmd_html(int argc, char **argv, Options o) {
    if (wants_help(argc, argv)) {
        printf("usage: vibemesh html [--size 5|10] [--locale en|de] [filters] --out FILE\n\n"
               "Writes the grid as one self-contained HTML page (FILE '-' for standard output):\n"
               "each cell's mood name and track count on a colour scale with a legend, and the\n"
               "cell's first tracks on hover or click. The page loads nothing from elsewhere.\n\n%s",
               kFilterHelp);
        return 0;
    }
    /* --out is this command's own; the rest are the grid options every command shares. */
    std::string out;
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--out") != 0) {
            args.push_back(argv[i]);
            continue;
        }
        const char *v = i + 1 < argc ? argv[++i] : nullptr;
        if (!v || !*v || (v[0] == '-' && v[1])) return usage_error("--out needs a file name");
        out = v;
    }
    if (out.empty()) return usage_error("html needs --out FILE");
    std::vector<std::string> rest;
    if (int rc = parse_common(static_cast<int>(args.size()), args.data(), &o, &rest, nullptr, nullptr))
        return rc;
    if (!rest.empty()) return usage_error("html takes no argument '%s'", rest[0].c_str());
    cli::Session s;
    if (int rc = s.open(o)) return rc;
    return cli::write_html_page(s, o, out);
}

/* ---- moods and lists ---- */

int cmd_moods(int argc, char **argv, Options o) {
    if (wants_help(argc, argv)) {
        printf("usage: vibemesh moods [--size 5|10] [--locale en|de]\n\n"
               "Prints the mood id and the localized mood name of every cell.\n");
        return 0;
    }
    std::vector<std::string> rest;
    if (int rc = parse_common(argc, argv, &o, &rest, nullptr, nullptr)) return rc;
    if (!rest.empty() || !o.filters.empty()) return usage_error("moods takes only --size and --locale");
    cli::Session s;
    if (int rc = s.open(o)) return rc;
    cli::Table table{{"x", "y", "mood id", "mood"}, {}, {true, true}};
    for (uint32_t y = 1; y <= o.size; ++y) {
        for (uint32_t x = 1; x <= o.size; ++x) {
            const char *id = nullptr, *name = nullptr;
            uint32_t code = veltra_vibemesh_presentation_get_mood_id(s.presentation(), x, y, &id);
            if (!code) code = veltra_vibemesh_presentation_get_mood_name(s.presentation(), x, y, &name);
            if (code) return cli::report("reading a mood", code);
            table.rows.push_back({std::to_string(x), std::to_string(y), id, name});
        }
    }
    printf("%s", table.render().c_str());
    return 0;
}

int cmd_lists(int argc, char **argv, Options o) {
    if (wants_help(argc, argv)) {
        printf("usage: vibemesh lists genres|origins|eras [--locale en|de]\n\n"
               "Prints the ids and names of a list; the ids are what the filters take.\n");
        return 0;
    }
    std::vector<std::string> rest;
    if (int rc = parse_common(argc, argv, &o, &rest, nullptr, nullptr)) return rc;
    if (rest.size() != 1 || (rest[0] != "genres" && rest[0] != "origins" && rest[0] != "eras"))
        return usage_error("lists takes one of genres, origins, eras");
    cli::ManagerScope manager;
    std::string type = "veltra_list_type_" + rest[0];
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0;
    uint32_t code = veltra_manager_list_entries(type.c_str(), &e, &n);
    if (code) return cli::report("reading the list", code);
    cli::Table table{{"id", "name"}, {}, {true}};
    for (uint32_t i = 0; i < n; ++i)
        table.rows.push_back({std::to_string(e[i].id), o.locale == "de" ? e[i].name_de : e[i].name_en});
    printf("%s", table.render().c_str());
    return 0;
}

/* ---- catalog ---- */

void progress(void *, uint64_t done, uint64_t total) {
    fprintf(stderr, "\rgenerating: %3u%% (%llu of %llu tracks)", static_cast<unsigned>(done * 100 / total),
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    if (done == total) fputc('\n', stderr);
}

int cmd_catalog(int argc, char **argv, Options o) {
    const char *help =
        "usage: vibemesh [--catalog FILE] catalog generate [--tracks N] [--seed S] [--force]\n"
        "       vibemesh [--catalog FILE] catalog import CSV [--name NAME] [--force]\n"
        "       vibemesh [--catalog FILE] catalog info\n\n"
        "generate  writes a sample catalog (default 5000 tracks, seed 1; the same seed gives\n"
        "          the same catalog); --force replaces an existing file\n"
        "import    builds a catalog from a CSV file whose header is\n"
        "          ident,album_ident,album,title,artist,mood,genre,origin,era\n"
        "          (mood: a level-2 mood id; genre, origin, era: ids of 'vibemesh lists')\n"
        "info      prints the catalog's name, description and counts\n";
    if (argc == 0 || wants_help(argc, argv)) {
        printf("%s", help);
        return argc == 0 ? 2 : 0;
    }
    std::string sub = argv[0];
    uint32_t tracks = 5000, seed = 1;
    bool force = false;
    std::string name;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tracks" && sub == "generate") {
            if (i + 1 >= argc || !parse_uint(argv[++i], &tracks) || tracks == 0)
                return usage_error("--tracks takes a positive number");
        } else if (a == "--seed" && sub == "generate") {
            if (i + 1 >= argc || !parse_uint(argv[++i], &seed)) return usage_error("--seed takes a number");
        } else if (a == "--name" && sub == "import") {
            if (i + 1 >= argc) return usage_error("--name needs a text");
            name = argv[++i];
        } else if (a == "--force" && sub != "info") {
            force = true;
        } else if (a == "--catalog") {
            if (i + 1 >= argc) return usage_error("--catalog needs a file");
            o.catalog = argv[++i];
        } else if (a[0] == '-') {
            return usage_error("unknown option %s", a.c_str());
        } else {
            rest.push_back(a);
        }
    }
    std::string path = o.catalog.empty() ? cli::default_catalog_path() : o.catalog;
    cli::ManagerScope manager;
    cli::remove_catalog_temps_on_signals();
    if (sub == "generate") {
        if (!rest.empty()) return usage_error("generate takes no argument '%s'", rest[0].c_str());
        uint32_t code = veltra_catalog_generate(path.c_str(), tracks, seed,
                                                force ? VELTRA_CATALOG_WRITE_REPLACE : 0,
                                                isatty(2) ? progress : nullptr, nullptr);
        if (code) {
            fprintf(stderr, "vibemesh: generating %s: 0x%08X: %s\n", path.c_str(), code, cli::describe(code));
            return 1;
        }
        printf("wrote %s: %u tracks (seed %u)\n", path.c_str(), tracks, seed);
        return 0;
    }
    if (sub == "import") {
        if (rest.size() != 1) return usage_error("import needs one CSV file");
        veltra_catalog_import_error_t err{};
        uint32_t imported = 0;
        uint32_t code = veltra_catalog_import_csv(rest[0].c_str(), path.c_str(), name.c_str(),
                                                  force ? VELTRA_CATALOG_WRITE_REPLACE : 0,
                                                  &imported, &err);
        if (code == VELTRA_CATALOG_ERR_BAD_INPUT) {
            fprintf(stderr, "vibemesh: %s:%u:%u: %s\n", rest[0].c_str(), err.line, err.column, err.message);
            return 1;
        }
        if (code) {
            fprintf(stderr, "vibemesh: importing %s: 0x%08X: %s\n", rest[0].c_str(), code, cli::describe(code));
            return 1;
        }
        printf("wrote %s: %u tracks\n", path.c_str(), imported);
        return 0;
    }
    if (sub == "info") {
        if (!rest.empty()) return usage_error("info takes no argument '%s'", rest[0].c_str());
        if (o.catalog.empty())
            if (int rc = cli::ensure_sample_catalog(path)) return rc;
        veltra_catalog_t *c = nullptr;
        uint32_t code = veltra_catalog_open(nullptr, path.c_str(), &c);
        if (code) {
            fprintf(stderr, "vibemesh: opening %s: 0x%08X: %s\n", path.c_str(), code, cli::describe(code));
            return 1;
        }
        veltra_catalog_info_t info{};
        veltra_catalog_get_info(c, &info);
        printf("file:        %s\nname:        %s\ndescription: %s\ntracks:      %u\nalbums:      %u\n"
               "artists:     %u\n",
               path.c_str(), info.name, info.description, info.track_count, info.album_count,
               info.artist_count);
        veltra_catalog_close(c);
        return 0;
    }
    return usage_error("unknown catalog command '%s'", sub.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int i = 1;
    /* Global options before the command. */
    while (i < argc && argv[i][0] == '-') {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            printf("%s", kUsage);
            return 0;
        }
        if (!strcmp(argv[i], "--catalog") && i + 1 < argc && argv[i + 1][0]) {
            o.catalog = argv[i + 1];
            i += 2;
            continue;
        }
        return usage_error("unknown option %s", argv[i]);
    }
    if (i >= argc) {
        fprintf(stderr, "%s", kUsage);
        return 2;
    }
    std::string cmd = argv[i];
    int sub_argc = argc - i - 1;
    char **sub_argv = argv + i + 1;
    if (cmd == "grid") return cmd_grid(sub_argc, sub_argv, o);
    if (cmd == "recommend") return cmd_recommend(sub_argc, sub_argv, o);
    if (cmd == "html") return cmd_html(sub_argc, sub_argv, o);
    if (cmd == "moods") return cmd_moods(sub_argc, sub_argv, o);
    if (cmd == "lists") return cmd_lists(sub_argc, sub_argv, o);
    if (cmd == "catalog") return cmd_catalog(sub_argc, sub_argv, o);
    if (cmd == "help") {
        printf("%s", kUsage);
        return 0;
    }
    return usage_error("unknown command '%s'", cmd.c_str());
}
