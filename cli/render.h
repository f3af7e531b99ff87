/* Text output of the command: aligned tables that measure UTF-8 text by characters, and JSON
 * string escaping. */
#ifndef VIBEMESH_CLI_RENDER_H
#define VIBEMESH_CLI_RENDER_H

#include <string>
#include <vector>

namespace cli {

/* Characters (code points) of a UTF-8 string: its width on a terminal for the scripts the
 * lists use. */
size_t text_width(const std::string &s);
/* Cuts s to at most `width` characters, ending in an ellipsis when cut. */
std::string fit(const std::string &s, size_t width);
/* s padded with blanks to `width` characters, on the right (left-aligned) or the left. */
std::string pad(const std::string &s, size_t width, bool right_align = false);
/* A JSON string literal for s. */
std::string json_string(const std::string &s);

/* A table of rows of cells, printed with every column as wide as its widest cell. */
struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<bool> right_align; /* per column; missing = left */
    std::string render() const;
};

}  // namespace cli

#endif
