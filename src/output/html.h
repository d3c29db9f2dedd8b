// HTML page writer: one fixed page holding one table, in the input's own
// character set, named by the file's charset guess (output_target's charset).
//
// Cell bytes are copied unchanged but for space, '"', '&', '<' and '>', which
// become entities. In ISO-2022-JP text (charset code 1) those five bytes are
// escaped only in the single-byte state: each cell starts in it, ESC $ @ and
// ESC $ B switch to two-byte characters, ESC ( I to half-width katakana, and
// ESC ( B or ESC ( J back; in the other two states every byte is copied.
// The pieces write into an output block; cells are read as cell_grid.h
// describes them, up to the byte that ends their text. html_column_extras
// reads a loaded table's bytes and writes only the caller's array.
#ifndef TABFLIP_HTML_H
#define TABFLIP_HTML_H

#include "output/output_block.h"
#include "output/page_escapes.h"
#include "table/byte_scans.h"
#include "table/cell_grid.h"

#include <array>
#include <cstdint>
#include <cstring>

// What a byte is to the cell writer.
constexpr unsigned char html_plain = 0;
constexpr unsigned char html_cell_end = 1; // delimiter, LF, CR, NUL
constexpr unsigned char html_escape = 2;   // ESC
constexpr unsigned char html_entity = 3;   // space, '"', '&', '<', '>'

struct html_style {
    charset_id charset_code = charset_none;
    unsigned char delimiter = '\t';
    std::array<unsigned char, 256> byte_kind{};
};

// The style of a page in charset_code whose cells end at delimiter.
html_style html_style_for(charset_id charset_code, unsigned char delimiter);

// Everything before the first table row, and everything after the last.
void put_page_head(output_block *out, charset_id charset_code);
void put_page_tail(output_block *out);

// The meta line that names the character set for charset_code.
void put_meta_charset(output_block *out, charset_id charset_code);

// The bytes put_html_cell writes for cell.
std::size_t html_cell_size(const html_style &style, const unsigned char *cell);

// A cell's tags, beside its text (an empty cell's space is one more).
constexpr std::size_t html_cell_tags_size = 10;

// The bytes put_plain_html_cell writes for size bytes of text.
static inline std::size_t plain_html_cell_size(std::size_t size)
{
    return size == 0 ? html_cell_tags_size + 1 : size + html_cell_tags_size;
}

// put_plain_html_cell's way for a cell larger than the room its block has
// left: in pieces, flushing between them.
void put_plain_html_cell_apart(output_block *out, const unsigned char *text, std::size_t size);

// What store_plain_html_cell may write beyond a cell's text: its tags, and
// the overrun of the last 16-byte block and of the close tag's 8 bytes.
constexpr std::size_t plain_html_cell_room = 4 + copy_block + 8;

// A cell's tags; the close tag's last two bytes are overrun, not written.
constexpr char html_open_tag[] = {'<', 't', 'd', '>'};
constexpr char html_close_tag[8] = {'<', '/', 't', 'd', '>', '\n'};
constexpr std::size_t html_close_tag_size = 6;

// Stores what put_plain_html_cell writes for size bytes of text at to and
// returns the byte after it. It moves whole 16-byte blocks of text, and
// writes up to size + plain_html_cell_room bytes from to; text is read up
// to 16 bytes past its end, even when size is 0. No branch turns on the
// size: in a ragged table's result empty cells come and go at random.
static inline char *store_plain_html_cell(char *to, const unsigned char *text, std::size_t size)
{
    constexpr std::size_t open = sizeof html_open_tag;
    std::size_t empty = size == 0 ? 1 : 0;
    std::memcpy(to, html_open_tag, open);
    copy_blocks(to + open, text, size);
    to[open + size] = ' '; // an empty cell's; else the close tag takes its place
    std::memcpy(to + open + size + empty, html_close_tag, sizeof html_close_tag);
    return to + size + empty + 10;
}

// What put_html_cell writes for a cell whose text, size bytes at text, holds
// no byte that needs escaping (the caller knows it): an absent cell is an
// empty one. text may be read up to 16 bytes past its end. Most cells are
// such, and most blocks have room past them: the cell then goes out in
// fixed-size moves, 16-byte blocks of text and whole tags, which may write
// past the cell; the next cell's bytes overwrite the overrun. Otherwise, as
// at the end of a line's exact place in a group, the moves overlap instead.
static inline void put_plain_html_cell(output_block *out, const unsigned char *text,
                                       std::size_t size)
{
    std::size_t cell = plain_html_cell_size(size);
    if (out->used + cell > out->end) {
        put_plain_html_cell_apart(out, text, size);
        return;
    }
    char *to = out->bytes + out->used;
    constexpr char empty_cell[] = {'<', 't', 'd', '>', ' ', '<', '/', 't', 'd', '>', '\n'};
    if (size == 0) {
        std::memcpy(to, empty_cell, sizeof empty_cell);
    } else if (out->used + size + plain_html_cell_room <= out->end) {
        store_plain_html_cell(to, text, size);
    } else {
        std::memcpy(to, html_open_tag, sizeof html_open_tag);
        copy_exact(to + sizeof html_open_tag, text, size);
        std::memcpy(to + sizeof html_open_tag + size, html_close_tag, html_close_tag_size);
    }
    out->used += cell;
    flush_if_full(out);
}

// The first byte from p on that a page cannot copy as it stands inside a
// cell: one that ends the cell, ESC, or one that may become an entity.
static inline const unsigned char *plain_run_end(const unsigned char *p, unsigned char delimiter)
{
    for (;;) {
        std::size_t n = html_plain_block(p, delimiter);
        p += n;
        if (n < copy_block)
            return p;
    }
}

// put_html_cell's way for a cell whose text needs escaping.
const unsigned char *put_escaped_html_cell(output_block *out, const html_style &style,
                                           const unsigned char *cell);

// One table cell, "<td> </td>" for an absent (null) or empty one; returns
// the byte that ended the cell's text (null for an absent cell). Most cells
// hold nothing to escape, and go out without a call.
static inline const unsigned char *put_html_cell(output_block *out, const html_style &style,
                                                 const unsigned char *cell)
{
    if (cell == nullptr) {
        put_plain_html_cell(out, nullptr, 0);
        return cell;
    }
    const unsigned char *run_end = plain_run_end(cell, style.delimiter);
    if (style.byte_kind[*run_end] != html_cell_end)
        return put_escaped_html_cell(out, style, cell);
    put_plain_html_cell(out, cell, static_cast<std::size_t>(run_end - cell));
    return run_end;
}

// For each column c of table, what its cells take on the page beyond their
// text and the 10 bytes of their tags: one byte for each empty or absent
// cell, and what entities add. Found by one scan of the table's bytes rather
// than a walk of its cells, so only for a table whose column sizes the
// loader summed (column_bytes, no NUL or CR; the whole table's stand for a
// part's), and not for ISO-2022-JP text that holds ESC, whose escaping turns
// on shift states: false, and extras undefined, for those and for a column
// whose count might not fit 32 bits.
bool html_column_extras(const table_view &table, const std::uint32_t *column_bytes,
                        const html_style &style, std::uint32_t *extras);

#endif
