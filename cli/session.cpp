#include "session.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    {VELTRA_CATALOG_ERR_BUSY, "another process is writing the catalog"},
    {VELTRA_CATALOG_ERR_VERSION, "a catalog format this version cannot read"},
};

void progress(void *, uint64_t done, uint64_t total) {
    fprintf(stderr, "\rcreating the sample catalog: %3u%%", static_cast<unsigned>(done * 100 / total));
    if (done == total) fputc('\n', stderr);
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/* Creates `dir` and its parents; errno tells why not. */
bool make_dirs(const std::string &dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), 0775) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

/* Why a write of `path` failed, as far as the file system tells; empty when it does not. */
std::string write_cause(const std::string &path) {
    const std::string dir = folder_of(path);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return "the folder " + dir + " does not exist";
    if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path + " is a folder";
    /* Permissions alone do not tell (root, read-only mounts): try to make a file there. */
    std::string probe = dir + "/.vibemesh-probe-XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) return "cannot create files in the folder " + dir + " (" + strerror(errno) + ")";
    close(fd);
    unlink(probe.c_str());
    return "";
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

int catalog_failure(const char *doing, const std::string &path, uint32_t code, bool writing) {
    struct stat st;
    const bool exists = stat(path.c_str(), &st) == 0;
    const bool folder = exists && S_ISDIR(st.st_mode);
    std::string text;
    if (writing && code != VELTRA_CATALOG_ERR_EXISTS && code != VELTRA_CATALOG_ERR_BUSY) text = write_cause(path);
    if (!text.empty()) {
        /* the folder's state says it */
    } else if (folder && (code == VELTRA_CATALOG_ERR_NOT_FOUND || code == VELTRA_CATALOG_ERR_CORRUPT ||
                          code == VELTRA_CATALOG_ERR_INVALID_ARG || code == VELTRA_CATALOG_ERR_IO)) {
        text = path + " is a folder, not a catalog file";
    } else if (code == VELTRA_CATALOG_ERR_NOT_FOUND) {
        text = "no catalog file " + path + " (make one with 'vibemesh catalog generate' or 'catalog import')";
    } else if (code == VELTRA_CATALOG_ERR_CORRUPT) {
        text = path + " is not a catalog, or a damaged one";
    } else if (code == VELTRA_CATALOG_ERR_VERSION) {
        text = path + " holds a catalog format this version of vibemesh cannot read (made by a newer "
                      "version: generate or import it again)";
    } else if (code == VELTRA_CATALOG_ERR_EXISTS) {
        text = path + " exists already (--force replaces it)";
    } else if (code == VELTRA_CATALOG_ERR_BUSY) {
        text = "another process is writing " + path + "; try again when it has finished";
    } else if (code == VELTRA_CATALOG_ERR_IO && exists && access(path.c_str(), R_OK) != 0) {
        text = "cannot read " + path + " (" + strerror(errno) + ")";
    } else {
        text = path + ": " + describe(code);
    }
    fprintf(stderr, "vibemesh: %s: %s (0x%08X)\n", doing, text.c_str(), code);
    return 1;
}

std::string default_catalog_path(std::string *why) {
    if (const char *p = getenv("VIBEMESH_CATALOG"); p && *p) return p;
    if (const char *x = getenv("XDG_DATA_HOME"); x && x[0] == '/') return std::string(x) + "/vibemesh/sample.vmcat";
    if (const char *h = getenv("HOME"); h && *h) return std::string(h) + "/.local/share/vibemesh/sample.vmcat";
    *why = "no place for the sample catalog: neither XDG_DATA_HOME (an absolute path) nor HOME is "
           "set; give --catalog FILE or set VIBEMESH_CATALOG";
    return "";
}

bool resolve_catalog(const Options &o, std::string *path) {
    std::string why;
    *path = o.catalog.empty() ? default_catalog_path(&why) : o.catalog;
    if (path->empty()) fprintf(stderr, "vibemesh: %s\n", why.c_str());
    return !path->empty();
}

int ensure_sample_catalog(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return 0;
    const std::string dir = folder_of(path);
    if (!make_dirs(dir)) {
        fprintf(stderr, "vibemesh: cannot create the folder %s for the sample catalog: %s\n", dir.c_str(),
                strerror(errno));
        return 1;
    }
    ManagerScope manager;
    remove_catalog_temps_on_signals();
    /* Concurrent first uses queue on the writer lock; one writes, the others find it there. */
    uint32_t code = veltra_catalog_generate(path.c_str(), 5000, 1, VELTRA_CATALOG_WRITE_WAIT,
                                            isatty(2) ? progress : nullptr, nullptr);
    if (code == VELTRA_CATALOG_ERR_EXISTS) return 0; /* another process made it meanwhile */
    if (code != 0) return catalog_failure("creating the sample catalog", path, code, true);
    fprintf(stderr, "vibemesh: created the sample catalog at %s\n", path.c_str());
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
    if (!resolve_catalog(o, &path_)) return 1;
    if (o.catalog.empty()) {
        if (int rc = ensure_sample_catalog(path_)) return rc;
    }
    uint32_t code = veltra_manager_start(&manager_);
    if (code) return report("starting the manager", code);
    if ((code = set_locale(o.locale))) return report("setting the locale", code);
    if ((code = veltra_vibemesh_initialize(manager_))) return report("starting the module", code);
    module_started_ = true;
    if ((code = veltra_catalog_open(manager_, path_.c_str(), &catalog_)))
        return catalog_failure("opening the catalog", path_, code);
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
