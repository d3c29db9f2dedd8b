// HTML page writer: one fixed page holding one table, in the input's own
// character set, named by the current charset guess (current_charset_code).
//
// Cell bytes are copied unchanged but for space, '"', '&', '<' and '>', which
// become entities. In ISO-2022-JP text (charset code 1) those five bytes are
// escaped only in the single-byte state: each cell starts in it, ESC $ @ and
// ESC $ B switch to two-byte characters, ESC ( I to half-width katakana, and
// ESC ( B or ESC ( J back; in the other two states every byte is copied.
// Like the delimited writer it only reads the cells and writes to the
// stream; it neither flushes nor closes it.
#ifndef TABFLIP_HTML_H
#define TABFLIP_HTML_H

#include <cstdint>
#include <cstdio>

// Entry j of output line i is cells[i][j], or cells[j][i] when transposed.
void write_html_page(char *const *const *cells, bool transposed, std::FILE *stream,
                     std::int32_t lines, std::int32_t entries);

// The meta line that names the character set for charset_code.
void write_meta_charset(std::FILE *stream, int charset_code);

// One table cell for present, non-empty text of a page in charset_code.
void write_html_cell(std::FILE *stream, const char *text, int charset_code);

#endif
