// The transposition methods' per-entry helpers (inline, for their inner
// loops): walking a row's cells, copying an entry into an output block, a
// line's frame, the rows' cursors and the two parts of a split table.
#ifndef TABFLIP_CELLS_H
#define TABFLIP_CELLS_H

#include "output/html.h"
#include "output/output_block.h"
#include "output/writers.h"
#include "platform/platform.h"
#include "output/page_escapes.h"
#include "table/byte_scans.h"
#include "table/cell_grid.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

struct line_style {
    result_format format = format_delimited;
    unsigned char delimiter = '\t';
    html_style html;
};

// The rows of a table the loader measured in two parts are written by two
// threads at once, each with its own rows' share of every output line.
struct row_part {
    std::int32_t first = 0; // rows [first, end)
    std::int32_t end = 0;
};

// A row cursor that has passed the row's last cell.
constexpr std::size_t row_done = SIZE_MAX;

// A page's escape mask of a 64-byte block, bit i for byte i: whether the
// cell that ends at bit at holds none of them, where earlier holds those of
// the cell's bytes in blocks before; and the mask's bits past at, which
// belong to the cells after it.
static inline bool plain_until(std::uint64_t earlier, std::uint64_t special, int at)
{
    return (earlier | (special & ((std::uint64_t{1} << at) - 1))) == 0;
}

static inline std::uint64_t special_after(std::uint64_t special, int at)
{
    return special & ~((std::uint64_t{2} << at) - 1);
}

// Calls take(k, text, end, plain) for the row's cells from cell on, k = 0 up
// to at most count, end being the byte that ends the cell's text; returns how
// many cells there were and sets *next to the cell after them (null past the
// row's last). The bytes are classified a 64-byte block at a time; only a
// cell that ends at a line end, NUL or CR leaves the blocks for cell_after.
// When marked (pages), plain says the text holds no byte that a page
// escapes, found in the same blocks; otherwise plain is always true.
template <typename F>
static inline std::int32_t walk_cells(const table_view &table, const unsigned char *cell,
                                      std::int32_t count, bool marked, const unsigned char **next,
                                      F take)
{
    std::int32_t k = 0;
    const unsigned char *p = cell;
    std::uint64_t earlier = 0; // the cell's special bytes in blocks before p's
    while (cell != nullptr && k < count) {
        block_classes c = classify_block(p, table.delimiter);
        std::uint64_t special = marked ? html_special_mask(p) : 0;
        std::uint64_t stops = c.delimiter | c.lf | c.cr | c.nul;
        bool left_block = false;
        while (stops != 0 && k < count) {
            int at = std::countr_zero(stops);
            const unsigned char *end = p + at;
            take(k++, cell, end, plain_until(earlier, special, at));
            special = special_after(special, at);
            earlier = 0;
            if (*end != table.delimiter) {
                cell = cell_after(table, end);
                left_block = true;
                break;
            }
            cell = end + 1;
            stops &= stops - 1;
        }
        earlier |= left_block ? 0 : special;
        p = left_block ? cell : p + scan_block;
    }
    *next = cell;
    return k;
}

// Copies a cell's text in whole 16-byte blocks when the block has room for
// the last one's overrun, else exactly; then what follows the entry: a byte,
// or a UTF-16 unit as its two bytes in memory (unit_lanes.cpp). The block's
// fields are read once, before the copy's stores, which the compiler must
// otherwise assume may change them.
template <typename F>
static inline void put_text_and(output_block *out, const unsigned char *text,
                                const unsigned char *end, F follow)
{
    auto length = static_cast<std::size_t>(end - text);
    std::size_t used = out->used;
    std::size_t flush_at = out->flush_at;
    char *to = out->bytes + used;
    if (used + length + copy_block < out->end) {
        copy_blocks(to, text, length);
    } else if (used + length + sizeof follow <= out->end) {
        copy_exact(to, text, length);
    } else {
        put_bytes(out, reinterpret_cast<const char *>(text), length);
        used = out->used;
        to = out->bytes + used;
        length = 0;
    }
    std::memcpy(to + length, &follow, sizeof follow);
    out->used = used + length + sizeof follow;
    if (out->used > flush_at)
        flush_output(out);
}

static inline void put_text(output_block *out, const unsigned char *text, const unsigned char *end,
                            char follow)
{
    put_text_and(out, text, end, follow);
}

// The delimiter goes between entries only, so every line of the result has
// the same number of fields, whatever its source line held.
static inline char follow_entry(const line_style &style, bool last)
{
    return last ? '\n' : static_cast<char>(style.delimiter);
}

// Pages ask the walk which cells hold nothing to escape.
static inline bool marks(const line_style &style)
{
    return style.format == format_html;
}

static inline void put_present(output_block *out, const line_style &style,
                               const unsigned char *text, const unsigned char *end, bool plain,
                               bool last)
{
    if (style.format == format_html && plain)
        put_plain_html_cell(out, text, static_cast<std::size_t>(end - text));
    else if (style.format == format_html)
        put_html_cell(out, style.html, text);
    else
        put_text(out, text, end, follow_entry(style, last));
}

static inline void put_absent(output_block *out, const line_style &style, bool last)
{
    if (style.format == format_html) {
        put_plain_html_cell(out, nullptr, 0);
        return;
    }
    out->bytes[out->used++] = follow_entry(style, last);
    flush_if_full(out);
}

// A page's row tags, stored in place when the block has room: a wide
// table's page has two of them for every few cells.
static inline void put_row_tag(output_block *out, const char *tag, std::size_t size)
{
    if (out->used + size > out->end) {
        put_bytes(out, tag, size);
        return;
    }
    std::memcpy(out->bytes + out->used, tag, size);
    out->used += size;
    flush_if_full(out);
}

// A page's line is a row: its tags, and what they take.
constexpr char row_open_tag[] = "<tr>\n";
constexpr char row_close_tag[] = "</tr>\n\n";
constexpr std::size_t row_open_size = sizeof row_open_tag - 1;
constexpr std::size_t row_close_size = sizeof row_close_tag - 1;

static inline void begin_line(output_block *out, const line_style &style)
{
    if (style.format == format_html)
        put_row_tag(out, row_open_tag, row_open_size);
}

static inline void end_line(output_block *out, const line_style &style, std::int32_t entries)
{
    if (style.format == format_html)
        put_row_tag(out, row_close_tag, row_close_size);
    else if (entries <= 0)
        put_bytes(out, "\n", 1);
}

// What begin_line and end_line add to a line of entries.
static inline std::size_t line_tags_size(const line_style &style)
{
    return style.format == format_html ? row_open_size + row_close_size : 0;
}

static inline const unsigned char *cursor_cell(const table_view &table, std::size_t cursor)
{
    return cursor == row_done ? nullptr : table.bytes + cursor;
}

static inline std::size_t cursor_at(const table_view &table, const unsigned char *cell)
{
    return cell == nullptr ? row_done : static_cast<std::size_t>(cell - table.bytes);
}

// The start of the line after the one that `from` lies in (its start, or
// the byte that ended one of its cells); the data's end past the last.
static inline const unsigned char *line_after(const table_view &table, const unsigned char *from)
{
    const unsigned char *data_end = table.bytes + table.length;
    if (from < data_end && *from == table.line_end)
        return from + 1;
    const auto *end = static_cast<const unsigned char *>(
        std::memchr(from, table.line_end, static_cast<std::size_t>(data_end - from)));
    return end == nullptr ? data_end : end + 1;
}

// The bytes of a row's line taken from cell on, up to after, the cell
// after them (null: the rest of the line).
static inline std::size_t row_taken(const table_view &table, const unsigned char *cell,
                                    const unsigned char *after)
{
    if (cell == nullptr)
        return 0;
    return static_cast<std::size_t>((after != nullptr ? after : line_after(table, cell)) - cell);
}

// Each row's next cell lies in another cache line, which the hardware cannot
// foresee across many rows: it is fetched this many rows ahead.
constexpr std::int32_t fetch_ahead = 16;

static inline void fetch_cell(const table_view &table, const std::size_t *next, std::int32_t j,
                              std::int32_t end)
{
    if (j + fetch_ahead < end && next[j + fetch_ahead] != row_done)
        __builtin_prefetch(table.bytes + next[j + fetch_ahead]);
}

// The same for the cache lines of about span bytes from the row's next
// cell, the row's share of a group's lines.
constexpr std::size_t span_most = 4096;
static inline void fetch_span(const table_view &table, const std::size_t *next, std::int32_t j,
                              std::int32_t end, std::size_t span)
{
    if (j + fetch_ahead >= end || next[j + fetch_ahead] == row_done)
        return;
    const unsigned char *cell = table.bytes + next[j + fetch_ahead];
    for (std::size_t at = 0; at <= span; at += scan_block)
        __builtin_prefetch(cell + at);
}

// The table's rows in parts: the two the loader measured (parts 2, a split
// table's), or all of them in one.
static inline void row_parts(const cell_grid &grid, std::int32_t parts, row_part *rows)
{
    rows[0] = {0, parts == 2 ? grid.split.rows : grid.table.rows};
    rows[1] = {rows[0].end, grid.table.rows};
}

// Runs work on each part's argument, the two parts at once when threads allow.
static inline void run_parts(void (*work)(void *), std::int32_t parts, void *first, void *second,
                             bool threads)
{
    if (parts == 2)
        run_both(work, first, second, threads);
    else
        work(first);
}

// The bytes an entry takes; null text for an absent one.
static inline std::size_t entry_size(const line_style &style, const unsigned char *text,
                                     const unsigned char *end, bool plain)
{
    if (style.format == format_delimited)
        return text == nullptr ? 1 : static_cast<std::size_t>(end - text) + 1;
    if (text != nullptr && plain)
        return plain_html_cell_size(static_cast<std::size_t>(end - text));
    return html_cell_size(style.html, text);
}
#endif
