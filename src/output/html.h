// HTML page writer: one fixed page holding one table, in the input's own
// character set, named by the current charset guess (current_charset_code).
//
// Cell bytes are copied unchanged but for space, '"', '&', '<' and '>', which
// become entities. In ISO-2022-JP text (charset code 1) those five bytes are
// escaped only in the single-byte state: each cell starts in it, ESC $ @ and
// ESC $ B switch to two-byte characters, ESC ( I to half-width katakana, and
// ESC ( B or ESC ( J back; in the other two states every byte is copied.
// The pieces write into an output block; cells are read as cell_grid.h
// describes them, up to the byte that ends their text.
#ifndef TABFLIP_HTML_H
#define TABFLIP_HTML_H

#include "output/output_block.h"

#include <array>

// What a byte is to the cell writer.
constexpr unsigned char html_plain = 0;
constexpr unsigned char html_cell_end = 1; // delimiter, LF, CR, NUL
constexpr unsigned char html_escape = 2;   // ESC
constexpr unsigned char html_entity = 3;   // space, '"', '&', '<', '>'

struct html_style {
    int charset_code = 0;
    unsigned char delimiter = '\t';
    std::array<unsigned char, 256> byte_kind{};
};

// The style of a page in charset_code whose cells end at delimiter.
html_style html_style_for(int charset_code, unsigned char delimiter);

// Everything before the first table row, and everything after the last.
void put_page_head(output_block *out, int charset_code);
void put_page_tail(output_block *out);

// The meta line that names the character set for charset_code.
void put_meta_charset(output_block *out, int charset_code);

// One table cell, "<td> </td>" for an absent (null) or empty one; returns
// the byte that ended the cell's text (null for an absent cell).
const unsigned char *put_html_cell(output_block *out, const html_style &style,
                                   const unsigned char *cell);

// The bytes put_html_cell writes for cell.
std::size_t html_cell_size(const html_style &style, const unsigned char *cell);

#endif
