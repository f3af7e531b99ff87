/* A command's connection to the mood grid: the manager, the module, a catalog published as a
 * datasource, a provider on it, a user and a presentation with the command's filters. Every
 * failure is reported with its code and the error information text. */
#ifndef VIBEMESH_CLI_SESSION_H
#define VIBEMESH_CLI_SESSION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "veltra_catalog.h"
#include "veltra_manager_app.h"
#include "veltra_vibemesh.h"

namespace cli {

struct Filter {
    std::string list_type; /* VELTRA_LIST_TYPE_* */
    std::string value;     /* list item id */
    bool include;
};

/* Options shared by the commands. */
struct Options {
    std::string catalog;   /* catalog file; empty: the sample catalog */
    uint32_t size = 5;     /* 5 or 10 */
    std::string locale = "en";
    std::vector<Filter> filters;
};

/* Prints "vibemesh: <what>: 0x...: <text>" to stderr and returns 1 (the exit status). */
int report(const char *what, uint32_t code);
/* A short description of a code of the module, the manager or the catalog. */
const char *describe(uint32_t code);

/* The default catalog path: $VIBEMESH_CATALOG, else $XDG_DATA_HOME/vibemesh/sample.vmcat,
 * else ~/.local/share/vibemesh/sample.vmcat. */
std::string default_catalog_path();
/* Creates the sample catalog at `path` (and its folder) if it does not exist. */
int ensure_sample_catalog(const std::string &path);
/* Makes SIGINT and SIGTERM remove the temporary files of unfinished catalog writes before the
 * process ends by the signal as it would have. */
void remove_catalog_temps_on_signals();

class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    /* Starts everything up to a presentation with the filters; returns an exit status. */
    int open(const Options &options);

    veltra_vibemesh_presentation_handle_t presentation() const { return presentation_; }
    veltra_vibemesh_provider_handle_t provider() const { return provider_; }
    veltra_catalog_t *catalog() const { return catalog_; }
    const std::string &catalog_path() const { return path_; }

private:
    const veltra_manager_t *manager_ = nullptr;
    bool module_started_ = false;
    veltra_catalog_t *catalog_ = nullptr;
    veltra_vibemesh_provider_handle_t provider_ = nullptr;
    veltra_user_handle_t user_ = nullptr;
    veltra_vibemesh_presentation_handle_t presentation_ = nullptr;
    std::string path_;
};

/* Starts only the manager (for commands that need lists or the catalog API alone). */
class ManagerScope {
public:
    ManagerScope();
    ~ManagerScope();
    const veltra_manager_t *manager() const { return manager_; }

private:
    const veltra_manager_t *manager_ = nullptr;
};

/* Sets the manager's default locale for both groups the module asks for. */
uint32_t set_locale(const std::string &language);

}  // namespace cli

#endif
