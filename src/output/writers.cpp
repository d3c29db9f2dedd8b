#include "output/writers.h"

#include "output/transpose.h"
#include "table/charset.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

// How the transposed table is written, by its shape (measured with
// bench/compare on this machine, see bench/README.md):
// - up to lane_columns columns and more than few_rows rows, to a file: the
//   lanes, which read every row once, in order, and need no row table (a
//   second walk sizes the lines when the loader has no sums). Such a
//   table's output lines are too long to stage a group of them.
// - otherwise groups of lines staged in a bounded buffer; a line too long
//   for it goes out by the cursors alone.
// - either only within the budget: the lanes, and for the groups the row
//   table, the sums and each pass's reading of every row, a page a row at
//   least. Past it, or without a row table, blocks of rows through a spill.
//   The fixed buffers (the output block, the staging) are a few MiB beside it.
constexpr std::int32_t lane_columns = 64;
constexpr std::int32_t few_rows = 64;
constexpr std::uint64_t page_bytes = 4096;

// The lanes walk the rows in order and need no row table.
static bool lanes_fit(const cell_grid &grid, std::uint64_t budget)
{
    auto columns = static_cast<std::uint64_t>(grid.columns);
    std::uint64_t parts = grid.split_rows > 0 ? 2 : 1;
    return parts * (columns * (sizeof(output_block) + 8) + lanes_bytes) <= budget;
}

static bool groups_fit(const cell_grid &grid, bool page, std::uint64_t budget)
{
    auto rows = static_cast<std::uint64_t>(grid.rows) + 1;
    std::uint64_t passes_read = std::min<std::uint64_t>(rows * page_bytes, grid.length);
    // Four bytes a column for each of the loader's sums.
    std::uint64_t sums = 4u * (std::uint64_t{grid.column_bytes != nullptr} +
                               std::uint64_t{grid.head_column_bytes != nullptr} +
                               std::uint64_t{grid.column_continuations != nullptr} +
                               std::uint64_t{grid.head_column_continuations != nullptr});
    sums *= static_cast<std::uint64_t>(grid.columns) * (page ? 2u : 1u); // a page's extras too
    return rows * sizeof(std::size_t) + sums + passes_read <= budget;
}

// Had once and kept, so that a run over many small files does not obtain
// and return them for each; only the pages a table's groups fill become
// resident.
static char *lasting_staging = nullptr;
static line_group *lasting_group = nullptr;

bool have_writer_blocks()
{
    if (lasting_staging == nullptr)
        lasting_staging = static_cast<char *>(allocate_lasting_pages(2 * group_bytes));
    if (lasting_group == nullptr && lasting_staging != nullptr) {
        // Not on the scratch list: it outlives every file.
        lasting_group = static_cast<line_group *>(std::calloc(1, sizeof(line_group)));
        if (lasting_group != nullptr) {
            lasting_group->bytes = lasting_staging;
            lasting_group->other = lasting_staging + group_bytes;
        }
    }
    return lasting_group != nullptr && have_output_blocks();
}

static void write_transposed(cell_grid *grid, const line_style &style, const output_target &to,
                             output_block *out)
{
    line_group &group = *lasting_group;
    bool loaded = grid->row_starts != nullptr;
    if (to.positioned && grid->columns <= lane_columns && grid->rows > few_rows &&
        lanes_fit(*grid, to.budget) && write_by_lanes(grid, style, out))
        return;
    if (grid->rows == 0) {
        for (std::int32_t i = 0; i < grid->columns; ++i)
            write_line_by_cursors(grid, style, out);
        return;
    }
    if (!loaded || !groups_fit(*grid, style.format == format_html, to.budget)) {
        write_spilled(*grid, style, to, out, &group);
        return;
    }
    start_cursors(grid, row_part{0, grid->rows}, out->progress);
    if (to.positioned && to.encoder == nullptr && grid->plain && grid->column_bytes != nullptr &&
        grid->columns >= 2 && grid->length >= split_from_bytes && grid->rows <= halves_rows_most &&
        write_halves(grid, style, out, &group))
        return;
    write_by_groups(grid, style, out, &group, 0, grid->columns);
}

static line_style style_for(const cell_grid &grid, result_format format)
{
    line_style style;
    style.format = format;
    style.delimiter = grid.delimiter;
    if (format == format_html)
        style.html = html_style_for(current_charset_code, grid.delimiter);
    return style;
}

static bool write_view(cell_grid *grid, const cell_grid &stored, result_format format,
                       const output_target &to, failure_report *why)
{
    if (!have_writer_blocks()) {
        if (why != nullptr)
            *why = failure_report{failure::array_memory, ENOMEM};
        return false;
    }
    line_style style = style_for(stored, format);
    output_block out = main_output(to);
    if (format == format_html)
        put_page_head(&out, style.html.charset_code);
    if (grid == nullptr)
        write_stored(stored, style, &out);
    else
        write_transposed(grid, style, to, &out);
    if (format == format_html)
        put_page_tail(&out);
    flush_output(&out);
    if (out.at_offset && to.keep_cursor && !out.failed && !set_cursor(to.fd, out.offset))
        note_failed_write(&out);
    if (out.failed && why != nullptr)
        *why = failure_report{out.no_memory ? failure::array_memory : failure::write, out.error};
    return !out.failed;
}

// A page's head and tail, counted by a block that writes nothing.
static std::uint64_t page_frame_bytes(int charset_code)
{
    char room[2048];
    output_block counting;
    counting.fd = -1;
    counting.bytes = room;
    counting.flush_at = sizeof room - output_slack;
    counting.end = sizeof room;
    put_page_head(&counting, charset_code);
    put_page_tail(&counting);
    flush_output(&counting);
    return counting.offset;
}

// Every cell's text, the table's and its continuation bytes, from the sums.
static bool summed_text(const cell_grid &grid, std::uint64_t *text, std::uint64_t *continuations)
{
    if (grid.column_bytes == nullptr)
        return false;
    *text = 0;
    *continuations = 0;
    for (std::int32_t c = 0; c < grid.columns; ++c) {
        *text += grid.column_bytes[c];
        *continuations += grid.column_continuations != nullptr ? grid.column_continuations[c] : 0;
    }
    return true;
}

// A page's cells take ten bytes of tags beside their text and extras, its
// lines twelve; delimited text one byte per entry (a delimiter or the LF).
bool result_bytes(const cell_grid &grid, result_format format, bool transposed, bool units,
                  std::uint64_t *bytes)
{
    std::uint64_t text = 0;
    std::uint64_t continuations = 0;
    if (!summed_text(grid, &text, &continuations) ||
        (units && grid.column_continuations == nullptr))
        return false;
    auto rows = static_cast<std::uint64_t>(grid.rows);
    auto columns = static_cast<std::uint64_t>(grid.columns);
    std::uint64_t lines = transposed ? columns : rows;
    std::uint64_t size = text + rows * columns;
    if (format == format_delimited && rows == 0)
        size = lines; // a transposed table of no rows: empty lines
    if (format == format_html) {
        auto *extras =
            static_cast<std::uint32_t *>(scratch_malloc(columns * sizeof(std::uint32_t)));
        html_style style = html_style_for(current_charset_code, grid.delimiter);
        bool found = extras != nullptr && html_column_extras(grid, style, extras);
        size = text + 10 * rows * columns + 12 * lines + page_frame_bytes(current_charset_code);
        for (std::uint64_t c = 0; found && c < columns; ++c)
            size += extras[c];
        scratch_free(extras);
        if (!found)
            return false;
    }
    // Each byte of the internal form but a continuation byte leaves as one
    // unit; the mark before them is not the writers'.
    *bytes = units ? 2 * (size - continuations) : size;
    return true;
}

bool write_normal(const cell_grid &grid, result_format format, const output_target &to,
                  failure_report *why)
{
    return write_view(nullptr, grid, format, to, why);
}

bool write_replace(cell_grid *grid, result_format format, const output_target &to,
                   failure_report *why)
{
    return write_view(grid, *grid, format, to, why);
}
