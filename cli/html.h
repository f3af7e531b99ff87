/* The grid as one self-contained HTML page: every cell's mood name and track count on a colour
 * scale with a legend, and each cell's first tracks shown on hover, focus or click. */
#ifndef VIBEMESH_CLI_HTML_H
#define VIBEMESH_CLI_HTML_H

#include <string>

#include "session.h"

namespace cli {

/* Text with the five HTML-significant characters (& < > " ') replaced by entities; safe in
 * element content and in quoted attribute values. */
std::string html_escape(const std::string &s);

/* Reads every cell of the open session and writes the page to `out` ("-" for standard
 * output). Returns an exit status; failures are reported on stderr and leave no partial
 * file behind. */
int write_html_page(const Session &session, const Options &options, const std::string &out);

}  // namespace cli

#endif
