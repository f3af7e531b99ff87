/* The commands behind the parser: each takes its checked arguments, reports failures on
 * stderr and returns the exit status (0, or 1 for a runtime error). */
#ifndef VIBEMESH_CLI_COMMANDS_H
#define VIBEMESH_CLI_COMMANDS_H

#include <stdint.h>

#include <string>

#include "session.h"

namespace cli {

/* Largest catalog `catalog generate --tracks` writes. */
constexpr uint32_t kMaxTracks = 10000000;

/* The entries of a list type (VELTRA_LIST_TYPE_*); null when the manager has no such list. */
const veltra_manager_list_entry_t *list_entries(const char *list_type, uint32_t *p_count);
/* The localized name of a list item; null for an id the list does not hold. */
const char *list_name(const char *list_type, uint32_t id, const std::string &locale);
/* The ids of a list for messages, as ranges: "1-16". */
std::string list_ids(const char *list_type);

int run_grid(const Options &o);
int run_recommend(const Options &o, uint32_t x, uint32_t y, uint32_t limit, bool json);
int run_html(const Options &o, const std::string &out);
int run_moods(const Options &o);
int run_lists(const Options &o, const std::string &list);

int run_generate(const Options &o, uint32_t tracks, uint32_t seed, bool force);
int run_import(const Options &o, const std::string &csv, const std::string &name, bool force);
int run_info(const Options &o);

}  // namespace cli

#endif
