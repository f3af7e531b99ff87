/* vibemesh: the mood grid of a music catalog on the command line.
 *
 * The parser checks every argument before a command runs: a usage error exits 2, a runtime
 * error 1, and a failed write of the output 1 as well. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "scan.h"
#include "serve.h"

namespace {

using cli::Options;

constexpr int kUsageExit = 2;

constexpr char kFilterHelp[] =
    "Filters (repeatable): --genre, --origin, --era keep tracks with any of the given ids;\n"
    "--exclude-genre, --exclude-origin, --exclude-era drop them. One list type takes either\n"
    "include or exclude filters. 'vibemesh lists genres' (origins, eras) shows the ids.\n";

struct Args {
    Options o;
    std::string locale;
    std::vector<std::string> include[3], exclude[3];
    uint32_t x = 0, y = 0, limit = 20;
    bool json = false;
    std::string out, list, csv, name;
    uint32_t tracks = 5000, seed = 1;
    bool force = false;
    cli::ScanOptions scan;
    server::ServeOptions serve;
};

struct ListFlag {
    const char *list_type;
    const char *include, *exclude; /* flag names */
    const char *noun;
    const char *article; /* "a genre", "an era" */
};
constexpr ListFlag kListFlags[3] = {
    {VELTRA_LIST_TYPE_GENRES, "--genre", "--exclude-genre", "genre", "a"},
    {VELTRA_LIST_TYPE_ORIGINS, "--origin", "--exclude-origin", "origin", "an"},
    {VELTRA_LIST_TYPE_ERAS, "--era", "--exclude-era", "era", "an"},
};

/* A value out of a fixed set; the message names the choices. */
CLI::Validator choice(std::vector<std::string> values) {
    std::string names;
    for (const std::string &v : values)
        names += (names.empty() ? "" : " or ") + v;
    return CLI::Validator(
        [values, names](std::string &v) -> std::string {
            for (const std::string &ok : values)
                if (v == ok) return "";
            return "takes " + names + ", not '" + v + "'";
        },
        "");
}

/* A whole number from `lo` to `hi`. */
CLI::Validator whole(uint64_t lo, uint64_t hi) {
    return CLI::Validator(
        [lo, hi](std::string &v) -> std::string {
            char *end = nullptr;
            errno = 0;
            unsigned long long n = v.empty() || v[0] == '-' ? 0 : strtoull(v.c_str(), &end, 10);
            if (end && !*end && errno == 0 && n >= lo && n <= hi) return "";
            std::string range = lo == 0 && hi == UINT32_MAX
                                    ? ""
                                    : " from " + std::to_string(lo) + " to " + std::to_string(hi);
            return "takes a whole number" + range + ", not '" + v + "'";
        },
        "");
}

/* An id that the list holds. */
CLI::Validator list_id(const ListFlag &f) {
    return CLI::Validator(
        [&f](std::string &v) -> std::string {
            char *end = nullptr;
            unsigned long id = v.empty() || v[0] == '-' ? 0 : strtoul(v.c_str(), &end, 10);
            if (end && !*end && id <= UINT32_MAX &&
                cli::list_name(f.list_type, static_cast<uint32_t>(id), "en"))
                return "";
            return "'" + v + "' is not " + f.article + " " + f.noun +
                   " id; valid ids: " + cli::list_ids(f.list_type) + " (see 'vibemesh lists " + f.noun +
                   "s')";
        },
        "");
}

/* A file name or text, not an option the parser took as the value ("--out --size 5"). */
const CLI::Validator kNotOption(
    [](std::string &v) -> std::string {
        if (v.empty()) return "needs a value, not an empty text";
        return v.size() > 1 && v[0] == '-' ? "needs a value, not the option '" + v + "'" : "";
    },
    "");

void add_look_options(CLI::App *app, Args &a, bool filters) {
    app->add_option("--size", a.o.size, "grid size: 5 or 10 (default 5)")
        ->check(choice({"5", "10"}))
        ->type_name("5|10");
    app->add_option("--locale", a.locale,
                    "en or de (default: de when LC_ALL, LC_MESSAGES or LANG starts with de)")
        ->check(choice({"en", "de"}))
        ->type_name("en|de");
    if (!filters) return;
    for (int i = 0; i < 3; ++i) {
        const ListFlag &f = kListFlags[i];
        app->add_option(f.include, a.include[i], std::string("keep tracks of this ") + f.noun)
            ->check(list_id(f))
            ->type_name("ID")
            ->allow_extra_args(false)
            ->group("Filters");
        app->add_option(f.exclude, a.exclude[i], std::string("drop tracks of this ") + f.noun)
            ->check(list_id(f))
            ->type_name("ID")
            ->allow_extra_args(false)
            ->group("Filters");
    }
    app->footer(kFilterHelp);
}

std::string locale_from_environment() {
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = getenv(name);
        if (v && *v) return strncmp(v, "de", 2) == 0 ? "de" : "en";
    }
    return "en";
}

int usage_error(const std::string &message, const std::string &command) {
    fprintf(stderr, "vibemesh: %s\n(run 'vibemesh %s--help' for usage)\n", message.c_str(),
            command.empty() ? "" : (command + " ").c_str());
    return kUsageExit;
}

/* The selected command path, "catalog generate". */
std::string command_path(const CLI::App &app) {
    std::string path;
    for (const CLI::App *a = &app; !a->get_subcommands().empty();) {
        a = a->get_subcommands().front();
        path += (path.empty() ? "" : " ") + a->get_name();
    }
    return path;
}

/* The parser's words for a usage error, with the cases people meet most put plainly. */
std::string parse_message(const CLI::App &app, const CLI::ParseError &e) {
    std::string what = e.what();
    if (what.rfind("--catalog", 0) == 0 &&
        (what.find("required") != std::string::npos || what.find("needs a value") != std::string::npos))
        return "--catalog needs a catalog file: vibemesh --catalog FILE COMMAND ...";
    for (const char *lead :
         {"The following argument was not expected: ", "The following arguments were not expected: "}) {
        if (what.rfind(lead, 0) != 0) continue;
        std::string extra = what.substr(strlen(lead));
        if (extra[0] == '-') return "unknown option " + extra;
        if (app.get_subcommands().empty()) return "unknown command '" + extra + "'";
        return "unexpected argument '" + extra + "'";
    }
    if (what == "A subcommand is required") {
        if (!app.get_subcommands().empty()) { /* fall through to the command's message below */
        } else if (!app.remaining().empty()) {
            const std::string word = app.remaining().front();
            return word[0] == '-' ? "unknown option " + word : "unknown command '" + word + "'";
        } else {
            /* "--catalog grid": the command was taken for the file. */
            const std::string file = app.get_option("--catalog")->as<std::string>();
            for (const CLI::App *sub : app.get_subcommands({}))
                if (sub->get_name() == file)
                    return "--catalog needs a catalog file before the command: vibemesh --catalog FILE " +
                           file + " ...";
        }
        const CLI::App *last = &app;
        while (!last->get_subcommands().empty())
            last = last->get_subcommands().front();
        std::string names;
        for (const CLI::App *sub : last->get_subcommands({}))
            names += (names.empty() ? "" : ", ") + sub->get_name();
        return (last == &app ? std::string("a command is needed") : last->get_name() + " needs a command") +
               ": " + names;
    }
    return what;
}

/* Include and exclude filters of one list type cannot be combined; both flags are named. */
std::string check_filters(Args &a) {
    for (int i = 0; i < 3; ++i) {
        const ListFlag &f = kListFlags[i];
        if (!a.include[i].empty() && !a.exclude[i].empty())
            return std::string(f.include) + " and " + f.exclude + " cannot be combined: one list type (" +
                   f.noun + ") takes either include or exclude filters";
        for (int include = 1; include >= 0; --include) {
            for (const std::string &v : include ? a.include[i] : a.exclude[i]) {
                cli::Filter filter{f.list_type, std::to_string(strtoul(v.c_str(), nullptr, 10)),
                                   include == 1};
                bool repeated = false;
                for (const cli::Filter &g : a.o.filters)
                    repeated |= g.list_type == filter.list_type && g.value == filter.value;
                if (!repeated) a.o.filters.push_back(filter);
            }
        }
    }
    return "";
}

/* Standard output must have reached its file: a full disk or a closed pipe is an error. */
int finish(int rc) {
    std::cout.flush();
    bool failed = !std::cout.good();
    int err = failed ? EIO : 0;
    if (fflush(stdout) != 0 || ferror(stdout)) failed = true, err = errno ? errno : EIO;
    if (fclose(stdout) != 0 && !failed) failed = true, err = errno;
    if (!failed || rc != 0) return rc; /* a command that failed has said why */
    fprintf(stderr, "vibemesh: writing the output: %s\n", strerror(err));
    return 1;
}

int run(int argc, char **argv) {
    Args a;
    CLI::App app("vibemesh: the mood grid of a music catalog.", "vibemesh");
    app.set_version_flag("--version", "vibemesh " VIBEMESH_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--catalog", a.o.catalog, "the catalog file (default: the sample catalog)")
        ->type_name("FILE")
        ->check(kNotOption);

    CLI::App *grid = app.add_subcommand("grid", "the mood grid with the number of matching tracks per cell");
    add_look_options(grid, a, true);

    CLI::App *rec = app.add_subcommand("recommend", "the tracks of cell (X, Y): column X, row Y, from 1");
    rec->add_option("X", a.x, "column, from 1")->required()->check(whole(0, UINT32_MAX))->type_name("");
    rec->add_option("Y", a.y, "row, from 1")->required()->check(whole(0, UINT32_MAX))->type_name("");
    rec->add_option("--limit", a.limit, "print at most N tracks (default 20; 0: all)")
        ->check(whole(0, UINT32_MAX))
        ->type_name("N");
    rec->add_flag("--json", a.json, "one JSON object: the cell, the filters and the tracks");
    add_look_options(rec, a, true);

    CLI::App *html = app.add_subcommand("html", "the grid as one self-contained HTML page");
    html->add_option("--out", a.out, "the page file; '-' for standard output")
        ->required()
        ->type_name("FILE")
        ->check(kNotOption);
    add_look_options(html, a, true);

    CLI::App *moods = app.add_subcommand("moods", "the mood id and localized name of every cell");
    add_look_options(moods, a, false);

    CLI::App *lists = app.add_subcommand("lists", "the ids and names usable in filters");
    lists->add_option("LIST", a.list, "genres, origins or eras")
        ->required()
        ->check(choice({"genres", "origins", "eras"}))
        ->type_name("");
    lists->add_option("--locale", a.locale, "en or de")->check(choice({"en", "de"}))->type_name("en|de");

    CLI::App *cat = app.add_subcommand("catalog", "make or inspect catalog files");
    cat->require_subcommand(1);
    CLI::App *gen =
        cat->add_subcommand("generate", "write a sample catalog; the same seed gives the same catalog");
    gen->add_option("--tracks", a.tracks, "number of tracks, 1 to 10000000 (default 5000)")
        ->check(whole(1, cli::kMaxTracks))
        ->type_name("N");
    gen->add_option("--seed", a.seed, "seed (default 1)")->check(whole(0, UINT32_MAX))->type_name("N");
    gen->add_flag("--force", a.force, "replace an existing catalog");
    CLI::App *imp = cat->add_subcommand("import", "build a catalog from a CSV file");
    imp->add_option("CSV", a.csv, "the CSV file")->required()->type_name("")->check(kNotOption);
    imp->add_option("--name", a.name, "the catalog's name")->type_name("NAME")->check(kNotOption);
    imp->add_flag("--force", a.force, "replace an existing catalog");
    imp->footer(
        "The CSV's header is ident,album_ident,album,title,artist,mood,genre,origin,era\n"
        "(mood: a level-2 mood id of 'vibemesh moods --size 10'; genre, origin, era: ids of\n"
        "'vibemesh lists'). A bad field is reported by line and column.\n");
    CLI::App *info = cat->add_subcommand("info", "the catalog's name, description and counts");
    CLI::App *scan =
        cat->add_subcommand("scan", "build or update a catalog from the audio files under folders");
    scan->add_option("DIR", a.scan.dirs, "folders to scan")->required()->type_name("");
    scan->add_option("--jobs", a.scan.jobs, "worker threads (default: one per core)")
        ->check(whole(0, 1024))
        ->type_name("N");
    scan->add_flag("--force", a.scan.force, "rebuild from scratch instead of updating");
    scan->add_option("--name", a.scan.name, "the catalog's name")->type_name("NAME")->check(kNotOption);

    CLI::App *serve = app.add_subcommand("serve", "the live mood pad: a local web server over the catalog");
    serve->add_option("--bind", a.serve.bind, "address to listen on (default 127.0.0.1)")
        ->type_name("ADDR")
        ->check(kNotOption);
    serve->add_option("--port", a.serve.port, "port (default 8080; 0: any free port)")
        ->check(whole(0, 65535))
        ->type_name("N");
    serve->add_flag("--open", a.serve.open_browser, "open the page in a browser");

    app.footer(
        "Without --catalog the sample catalog is used, created on first use (5000 tracks, seed 1) at\n"
        "$VIBEMESH_CATALOG, else $XDG_DATA_HOME/vibemesh/sample.vmcat, else\n"
        "$HOME/.local/share/vibemesh/sample.vmcat. Usage errors exit 2, other failures 1.\n"
        "Run 'vibemesh COMMAND --help' for a command's options.\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e); /* --help, --version: on stdout */
        return usage_error(parse_message(app, e), command_path(app));
    }
    const std::string command = command_path(app);
    if (std::string m = check_filters(a); !m.empty()) return usage_error(m, command);
    if (rec->parsed() && (a.x < 1 || a.y < 1 || a.x > a.o.size || a.y > a.o.size))
        return usage_error("cell (" + std::to_string(a.x) + ", " + std::to_string(a.y) + ") is outside the " +
                               std::to_string(a.o.size) + "x" + std::to_string(a.o.size) +
                               " grid: X and Y run from 1 to " + std::to_string(a.o.size),
                           command);
    a.o.locale = a.locale.empty() ? locale_from_environment() : a.locale;

    if (grid->parsed()) return cli::run_grid(a.o);
    if (rec->parsed()) return cli::run_recommend(a.o, a.x, a.y, a.limit, a.json);
    if (html->parsed()) return cli::run_html(a.o, a.out);
    if (moods->parsed()) return cli::run_moods(a.o);
    if (lists->parsed()) return cli::run_lists(a.o, a.list);
    if (gen->parsed()) return cli::run_generate(a.o, a.tracks, a.seed, a.force);
    if (imp->parsed()) return cli::run_import(a.o, a.csv, a.name, a.force);
    if (info->parsed()) return cli::run_info(a.o);
    if (scan->parsed()) {
        if (!cli::resolve_catalog(a.o, &a.scan.catalog)) return 1;
        return cli::run_scan(a.scan);
    }
    if (!cli::resolve_catalog(a.o, &a.serve.catalog)) return 1;
    if (a.o.catalog.empty())
        if (int rc = cli::ensure_sample_catalog(a.serve.catalog)) return rc;
    return server::run_serve(a.serve);
}

}  // namespace

int main(int argc, char **argv) {
    int rc;
    try {
        rc = run(argc, argv);
    } catch (const std::exception &e) {
        fprintf(stderr, "vibemesh: %s\n", e.what());
        rc = 1;
    }
    return finish(rc);
}
