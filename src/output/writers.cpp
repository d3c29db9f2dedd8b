#include "output/writers.h"

#include "output/html.h"
#include "table/byte_blocks.h"
#include "table/charset.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

struct line_style {
    int format = format_delimited;
    unsigned char delimiter = '\t';
    html_style html;
};

} // namespace

// A row cursor that has passed the row's last cell.
constexpr std::size_t row_done = SIZE_MAX;

// Copies a cell's text in whole 16-byte blocks, the bytes after it included,
// and counts only those before the byte that ends it: the next write lands
// on the rest. Returns that byte.
static inline const unsigned char *put_cell(output_block *out, const unsigned char *text,
                                            unsigned char delimiter)
{
    for (;;) {
        std::size_t n = copy_cell_block(out->bytes + out->used, text, delimiter);
        out->used += n;
        text += n;
        if (n < copy_block)
            return text;
        flush_if_full(out);
    }
}

// One entry of a line, null for an absent cell; returns the byte that ended
// the cell's text. The delimiter goes between entries only, so every line of
// the result has the same number of fields, whatever its source line held.
static inline const unsigned char *put_entry(output_block *out, const line_style &style,
                                             const unsigned char *cell, bool last)
{
    if (style.format == format_html)
        return put_html_cell(out, style.html, cell);
    const unsigned char *end = cell == nullptr ? nullptr : put_cell(out, cell, style.delimiter);
    out->bytes[out->used++] = last ? '\n' : static_cast<char>(style.delimiter);
    flush_if_full(out);
    return end;
}

static void begin_line(output_block *out, const line_style &style)
{
    if (style.format == format_html)
        put_bytes(out, "<tr>\n", 5);
}

static void end_line(output_block *out, const line_style &style, std::int32_t entries)
{
    if (style.format == format_html)
        put_bytes(out, "</tr>\n\n", 7);
    else if (entries <= 0)
        put_bytes(out, "\n", 1);
}

static const unsigned char *next_cell(const cell_grid &grid, const unsigned char *end)
{
    return end == nullptr ? nullptr : cell_after(grid, end);
}

static void put_delimiters(output_block *out, unsigned char delimiter, std::size_t count)
{
    while (count > 0) {
        std::size_t n = count < output_slack ? count : output_slack;
        std::memset(out->bytes + out->used, delimiter, n);
        out->used += n;
        count -= n;
        flush_if_full(out);
    }
}

// Counts the delimiters of line[0, end) when it holds no NUL or CR: such a
// line's cells are its bytes as they stand.
static bool plain_line(const unsigned char *line, const unsigned char *end, unsigned char delimiter,
                       std::size_t *delimiters)
{
    std::size_t count = 0;
    for (const unsigned char *p = line; p < end; p += scan_block) {
        block_classes k = classify_block(p, delimiter);
        auto left = static_cast<std::size_t>(end - p);
        std::uint64_t inside = left >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
        if (((k.nul | k.cr) & inside) != 0)
            return false;
        count += bits_set(k.delimiter & inside);
    }
    *delimiters = count;
    return true;
}

static void put_line_cells(output_block *out, const line_style &style, const cell_grid &grid,
                           const unsigned char *line)
{
    begin_line(out, style);
    const unsigned char *cell = first_cell_at(grid, line);
    for (std::int32_t j = 0; j < grid.columns; ++j)
        cell = next_cell(grid, put_entry(out, style, cell, j == grid.columns - 1));
    end_line(out, style, grid.columns);
}

// A streaming copy, line by line: a line without NUL or CR goes out as it
// stands, with the delimiters its short row lacks added before its LF.
static void write_stored(const cell_grid &grid, const line_style &style, output_block *out)
{
    const unsigned char *data_end = grid.bytes + grid.length;
    const unsigned char *line = grid.bytes;
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        auto *end = static_cast<const unsigned char *>(
            std::memchr(line, grid.line_end, static_cast<std::size_t>(data_end - line)));
        if (end == nullptr)
            end = data_end;
        std::size_t delimiters = 0;
        if (style.format == format_delimited && plain_line(line, end, grid.delimiter, &delimiters)) {
            put_bytes(out, reinterpret_cast<const char *>(line), static_cast<std::size_t>(end - line));
            put_delimiters(out, grid.delimiter, static_cast<std::size_t>(grid.columns) - 1 - delimiters);
            put_bytes(out, "\n", 1);
        } else {
            put_line_cells(out, style, grid, line);
        }
        line = end + 1;
    }
}

// The row table becomes the rows' cursors: the offset of each row's next
// cell.
static void start_cursors(cell_grid *grid)
{
    for (std::int32_t j = 0; j < grid->rows; ++j) {
        const unsigned char *cell = first_cell(*grid, j);
        grid->row_starts[j] = cell == nullptr ? row_done : static_cast<std::size_t>(cell - grid->bytes);
    }
}

static const unsigned char *cursor_cell(const cell_grid &grid, std::size_t cursor)
{
    return cursor == row_done ? nullptr : grid.bytes + cursor;
}

static std::size_t cursor_after(const cell_grid &grid, const unsigned char *end)
{
    const unsigned char *cell = next_cell(grid, end);
    return cell == nullptr ? row_done : static_cast<std::size_t>(cell - grid.bytes);
}

// One output line at a time, each row's cursor taking one cell per line.
static void write_by_cursors(cell_grid *grid, const line_style &style, output_block *out)
{
    std::size_t *next = grid->row_starts;
    for (std::int32_t i = 0; i < grid->columns; ++i) {
        begin_line(out, style);
        for (std::int32_t j = 0; j < grid->rows; ++j) {
            const unsigned char *end =
                put_entry(out, style, cursor_cell(*grid, next[j]), j == grid->rows - 1);
            next[j] = cursor_after(*grid, end);
        }
        end_line(out, style, grid->rows);
    }
}

// A group of output lines at a time: each row's cursor takes the cells of the
// whole group in one visit, so a row's bytes are read from memory once per
// group rather than once per line. scratch holds the group's cells, line k's
// in scratch[k * rows, (k + 1) * rows).
static void write_by_groups(cell_grid *grid, const line_style &style, output_block *out,
                            std::int32_t group, const unsigned char **scratch)
{
    std::size_t *next = grid->row_starts;
    auto rows = static_cast<std::size_t>(grid->rows);
    for (std::int32_t i = 0; i < grid->columns; i += group) {
        std::int32_t lines = grid->columns - i < group ? grid->columns - i : group;
        for (std::size_t j = 0; j < rows; ++j) {
            std::size_t cursor = next[j];
            for (std::int32_t k = 0; k < lines; ++k) {
                const unsigned char *cell = cursor_cell(*grid, cursor);
                scratch[static_cast<std::size_t>(k) * rows + j] = cell;
                cursor = cell == nullptr ? row_done : cursor_after(*grid, cell_end(cell, grid->delimiter));
            }
            next[j] = cursor;
        }
        for (std::int32_t k = 0; k < lines; ++k) {
            const unsigned char **line = scratch + static_cast<std::size_t>(k) * rows;
            begin_line(out, style);
            for (std::size_t j = 0; j < rows; ++j)
                put_entry(out, style, line[j], j == rows - 1);
            end_line(out, style, grid->rows);
        }
    }
}

// Tall tables written at offsets: the bytes of each output line are summed
// first, so every line's place in the result is known; then one pass over
// the rows appends each cell to its line's lane, and a full lane is written
// at its offset.
constexpr std::size_t lanes_bytes = std::size_t{8} << 20;
constexpr std::size_t lane_most = std::size_t{1} << 20;

static void sum_columns(const cell_grid &grid, std::uint64_t *sums)
{
    for (std::int32_t j = 0; j < grid.rows; ++j) {
        std::size_t c = 0;
        for (const unsigned char *cell = first_cell(grid, j); cell != nullptr; ++c) {
            const unsigned char *end = cell_end(cell, grid.delimiter);
            sums[c] += static_cast<std::uint64_t>(end - cell);
            cell = cell_after(grid, end);
        }
    }
}

static void fill_lanes(const cell_grid &grid, const line_style &style, output_block *lanes)
{
    for (std::int32_t j = 0; j < grid.rows; ++j) {
        const unsigned char *cell = first_cell(grid, j);
        bool last = j == grid.rows - 1;
        for (std::int32_t c = 0; c < grid.columns; ++c)
            cell = next_cell(grid, put_entry(&lanes[c], style, cell, last));
    }
}

// False when the lanes cannot be had: the caller then writes in sequence.
static bool write_by_lanes(const cell_grid &grid, const line_style &style, const output_target &to,
                           bool *failed)
{
    auto columns = static_cast<std::size_t>(grid.columns);
    std::size_t lane_size = lanes_bytes / columns / 4096 * 4096;
    lane_size = lane_size > lane_most ? lane_most : lane_size;
    auto *sums = static_cast<std::uint64_t *>(std::calloc(columns, sizeof(std::uint64_t)));
    auto *lanes = static_cast<output_block *>(std::calloc(columns, sizeof(output_block)));
    auto *bytes = static_cast<char *>(std::aligned_alloc(4096, columns * lane_size));
    bool ready = sums != nullptr && lanes != nullptr && bytes != nullptr;
    if (ready) {
        sum_columns(grid, sums);
        std::uint64_t offset = 0;
        for (std::size_t c = 0; c < columns; ++c) {
            lanes[c] = output_block{to.fd, bytes + c * lane_size, 0, lane_size - output_slack, true,
                                    static_cast<off_t>(offset), false};
            offset += sums[c] + static_cast<std::uint64_t>(grid.rows);
        }
        fill_lanes(grid, style, lanes);
        for (std::size_t c = 0; c < columns; ++c) {
            flush_output(&lanes[c]);
            *failed = *failed || lanes[c].failed;
        }
    }
    std::free(bytes);
    std::free(lanes);
    std::free(sums);
    return ready;
}

// How the transposed table is written, by its shape (measured with
// bench/compare on this machine, see bench/README.md):
// - up to lane_columns columns, to a file: the lanes, which read every row
//   once in order; the cursor methods would read every row once per output
//   line, and a tall table's rows do not stay in cache between lines.
// - up to few_rows rows: one cursor per row, one line at a time; the rows'
//   next cells are few enough streams to stay in cache.
// - otherwise groups of up to group_lines lines, the scratch bounded by
//   group_cells references.
constexpr std::int32_t lane_columns = 64;
constexpr std::int32_t few_rows = 64;
constexpr std::int32_t group_lines = 64;
constexpr std::size_t group_cells = std::size_t{1} << 20;

static void write_transposed(cell_grid *grid, const line_style &style, const output_target &to,
                             output_block *out)
{
    if (style.format == format_delimited && to.positioned && grid->columns <= lane_columns &&
        grid->rows > few_rows && write_by_lanes(*grid, style, to, &out->failed))
        return;
    start_cursors(grid);
    std::size_t group = group_cells / (grid->rows > 0 ? static_cast<std::size_t>(grid->rows) : 1);
    group = group > group_lines ? group_lines : group;
    const unsigned char **scratch = nullptr;
    if (grid->rows > few_rows && group > 1)
        scratch = static_cast<const unsigned char **>(
            std::malloc(group * static_cast<std::size_t>(grid->rows) * sizeof(const unsigned char *)));
    if (scratch != nullptr)
        write_by_groups(grid, style, out, static_cast<std::int32_t>(group), scratch);
    else
        write_by_cursors(grid, style, out);
    std::free(scratch);
}

static line_style style_for(const cell_grid &grid, int output_format)
{
    line_style style;
    style.format = output_format;
    style.delimiter = grid.delimiter;
    if (output_format == format_html)
        style.html = html_style_for(current_charset_code, grid.delimiter);
    return style;
}

static bool write_view(cell_grid *grid, const cell_grid &stored, int output_format,
                       const output_target &to)
{
    if (output_format != format_delimited && output_format != format_html) {
        std::fwrite("NOT support.\n", 1, 13, stderr);
        return true;
    }
    line_style style = style_for(stored, output_format);
    output_block out = main_output(to);
    if (output_format == format_html)
        put_page_head(&out, style.html.charset_code);
    if (grid == nullptr)
        write_stored(stored, style, &out);
    else
        write_transposed(grid, style, to, &out);
    if (output_format == format_html)
        put_page_tail(&out);
    flush_output(&out);
    return !out.failed;
}

bool write_normal(const cell_grid &grid, int output_format, const output_target &to)
{
    return write_view(nullptr, grid, output_format, to);
}

bool write_replace(cell_grid *grid, int output_format, const output_target &to)
{
    return write_view(grid, *grid, output_format, to);
}
