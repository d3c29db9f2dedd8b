// HTML page writer: one fixed page holding one table, in the input's own
// character set, named by the current charset guess (current_charset_code).
//
// Cell bytes are copied unchanged but for space, '"', '&', '<' and '>', which
// become entities. Like the delimited writer it only reads the cells and
// writes to the stream; it neither flushes nor closes it.
#ifndef TABFLIP_HTML_H
#define TABFLIP_HTML_H

#include <cstdint>
#include <cstdio>

// Entry j of output line i is cells[i][j], or cells[j][i] when transposed.
void write_html_page(char *const *const *cells, bool transposed, std::FILE *stream,
                     std::int32_t lines, std::int32_t entries);

// The meta line that names the character set for charset_code.
void write_meta_charset(std::FILE *stream, int charset_code);

// One table cell for present, non-empty text.
void write_html_cell(std::FILE *stream, const char *text);

#endif
