#include "session.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

struct CodeText {
    uint32_t code;
    const char *text;
};

constexpr CodeText kCodes[] = {
    {0x90A80001u, "invalid argument"},
    {0x90A80002u, "out of memory"},
    {0x90A80006u, "the presentation is in progress"},
    {0x90A80007u, "the module is not started"},
    {0x90A8000Au, "start-up failed"},
    {0x90A8000Cu, "a filter of that identifier exists already"},
    {0x10A20003u, "not found"},
    {0x90A80003u, "not found"},
    {VELTRA_CATALOG_ERR_INVALID_ARG, "invalid argument"},
    {VELTRA_CATALOG_ERR_NO_MEMORY, "out of memory"},
    {VELTRA_CATALOG_ERR_NOT_FOUND, "no such catalog file or item"},
    {VELTRA_CATALOG_ERR_CORRUPT, "not a catalog, or a damaged one"},
    {VELTRA_CATALOG_ERR_IO, "the catalog could not be read or written"},
    {VELTRA_CATALOG_ERR_BAD_CONDITION, "unsupported condition"},
    {VELTRA_CATALOG_ERR_IN_USE, "the catalog is still in use"},
    {VELTRA_CATALOG_ERR_BAD_INPUT, "malformed input"},
    {VELTRA_CATALOG_ERR_EXISTS, "the file exists already"},
    {VELTRA_CATALOG_ERR_PUBLISH, "the catalog could not be published"},
    {VELTRA_CATALOG_ERR_BUSY, "another command is writing this catalog; try again when it has finished"},
    {VELTRA_CATALOG_ERR_VERSION, "the catalog was written by a newer version of vibemesh"},
};

void progress(void *, uint64_t done, uint64_t total) {
    fprintf(stderr, "\rcreating the sample catalog: %3u%%", static_cast<unsigned>(done * 100 / total));
    if (done == total) fputc('\n', stderr);
}

int make_dirs(const std::string &dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), 0775) != 0 && errno != EEXIST) return -1;
        }
    }
    return 0;
}

void remove_temps_and_end(int sig) {
    veltra_catalog_writer_remove_temps();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void remove_catalog_temps_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = remove_temps_and_end;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

const char *describe(uint32_t code) {
    for (const CodeText &c : kCodes)
        if (c.code == code) return c.text;
    if ((code & 0xFFFFu) == 2) return "out of memory";
    return "failed";
}

int report(const char *what, uint32_t code) {
    veltra_manager_errorinfo_t info{};
    veltra_manager_errorinfo_get(&info);
    const char *text = (info.error_code == code && info.message[0]) ? info.message : describe(code);
    fprintf(stderr, "vibemesh: %s: 0x%08X: %s\n", what, code, text);
    return 1;
}

std::string default_catalog_path() {
    if (const char *p = getenv("VIBEMESH_CATALOG"); p && *p) return p;
    const char *x = getenv("XDG_DATA_HOME");
    const char *h = getenv("HOME");
    char path[4096];
    if (x && *x) snprintf(path, sizeof path, "%s/vibemesh/sample.vmcat", x);
    else if (h && *h) snprintf(path, sizeof path, "%s/.local/share/vibemesh/sample.vmcat", h);
    else snprintf(path, sizeof path, "./vibemesh/sample.vmcat");
    return path;
}

int ensure_sample_catalog(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return 0;
    /* Concurrent first uses queue on the writer lock; one writes, the others find it there. */
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && make_dirs(path.substr(0, slash)) != 0) {
        fprintf(stderr, "vibemesh: cannot create the folder of %s\n", path.c_str());
        return 1;
    }
    ManagerScope manager;
    remove_catalog_temps_on_signals();
    uint32_t code = veltra_catalog_generate(path.c_str(), 5000, 1, VELTRA_CATALOG_WRITE_WAIT,
                                            isatty(2) ? progress : nullptr, nullptr);
    if (code != 0 && code != VELTRA_CATALOG_ERR_EXISTS)
        return report("creating the sample catalog", code);
    return 0;
}

ManagerScope::ManagerScope() { veltra_manager_start(&manager_); }
ManagerScope::~ManagerScope() { veltra_manager_stop(); }

uint32_t set_locale(const std::string &language) {
    const char *region = language == "de" ? "DE" : "US";
    uint32_t code = veltra_manager_locale_set_default("veltra_locale_music", language.c_str(),
                                                      region, "default");
    if (code == 0)
        code = veltra_manager_locale_set_default("veltra_locale_playlist", language.c_str(),
                                                 region, "default");
    return code;
}

int Session::open(const Options &o) {
    path_ = o.catalog.empty() ? default_catalog_path() : o.catalog;
    if (o.catalog.empty()) {
        if (int rc = ensure_sample_catalog(path_)) return rc;
    }
    uint32_t code = veltra_manager_start(&manager_);
    if (code) return report("starting the manager", code);
    if ((code = set_locale(o.locale))) return report("setting the locale", code);
    if ((code = veltra_vibemesh_initialize(manager_))) return report("starting the module", code);
    module_started_ = true;
    if ((code = veltra_catalog_open(manager_, path_.c_str(), &catalog_))) {
        fprintf(stderr, "vibemesh: opening the catalog %s: 0x%08X: %s\n", path_.c_str(), code,
                describe(code));
        return 1;
    }
    uint32_t ordinal = 0;
    if ((code = veltra_catalog_ordinal(catalog_, &ordinal))) return report("finding the catalog", code);
    if ((code = veltra_vibemesh_provider_enum(ordinal, &provider_)))
        return report("opening the provider", code);
    if ((code = veltra_manager_user_create("vibemesh", &user_))) return report("creating a user", code);
    uint32_t type = o.size == 10 ? VELTRA_VIBEMESH_PRESENTATION_TYPE_10x10
                                 : VELTRA_VIBEMESH_PRESENTATION_TYPE_5x5;
    if ((code = veltra_vibemesh_presentation_create(user_, type, nullptr, nullptr, &presentation_)))
        return report("creating the presentation", code);
    int n = 0;
    for (const Filter &f : o.filters) {
        std::string ident = "filter" + std::to_string(++n);
        code = veltra_vibemesh_presentation_filter_set(
            presentation_, ident.c_str(), f.list_type.c_str(), f.value.c_str(),
            f.include ? VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE
                      : VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE);
        if (code) {
            std::string what = "setting the filter " + f.value;
            return report(what.c_str(), code);
        }
    }
    return 0;
}

Session::~Session() {
    if (presentation_) veltra_vibemesh_presentation_release(presentation_);
    if (user_) veltra_manager_user_release(user_);
    if (provider_) veltra_vibemesh_provider_release(provider_);
    if (catalog_) veltra_catalog_close(catalog_);
    if (module_started_) veltra_vibemesh_shutdown();
    if (manager_) veltra_manager_stop();
}

}  // namespace cli
