/* Text output of the command: terminal-safe text measured in display columns, aligned tables,
 * and counts with their noun. */
#ifndef VIBEMESH_CLI_RENDER_H
#define VIBEMESH_CLI_RENDER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace cli {

/* s as text a terminal shows on one line: invalid UTF-8 becomes U+FFFD, and control
 * characters (C0, DEL, C1) are written as escapes ("\n", "\t", "\r", "\x1B", "\u0085"), so a
 * title cannot break a line or move the cursor. */
std::string printable(const std::string &s);
/* Display columns of printable text: East Asian wide and fullwidth characters and emoji take
 * two, combining marks and other zero-width characters none. */
size_t text_width(const std::string &s);
/* Cuts printable text to at most `width` columns, ending in an ellipsis when cut. */
std::string fit(const std::string &s, size_t width);
/* s padded with blanks to `width` columns, on the right (left-aligned) or the left. */
std::string pad(const std::string &s, size_t width, bool right_align = false);
/* "1 track", "2 tracks", "0 tracks". */
std::string count_text(uint64_t n, const char *one, const char *many);

/* A table of rows of cells, printed with every column as wide as its widest cell. Cells are
 * passed through printable(). */
struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<bool> right_align; /* per column; missing = left */
    std::string render() const;
};

}  // namespace cli

#endif
