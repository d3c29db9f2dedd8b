#include "output/writers.h"

#include "output/transpose.h"
#include "table/charset.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

bool have_writer_blocks(writer_blocks *blocks)
{
    if (blocks->staging == nullptr)
        blocks->staging.reset(static_cast<char *>(allocate_lasting_pages(2 * group_bytes)));
    if (blocks->group == nullptr && blocks->staging != nullptr) {
        // Not on the scratch list: it outlives every file.
        auto *group = static_cast<line_group *>(std::calloc(1, sizeof(line_group)));
        blocks->group.reset(group);
        if (group != nullptr) {
            group->bytes = blocks->staging.get();
            group->other = group->bytes + group_bytes;
        }
    }
    return blocks->group != nullptr && have_output_blocks(blocks);
}

bool run_plan_step(const method_step &step, cell_grid *grid, const line_style &style,
                   const output_target &to, output_block *out, row_cursors *cursors)
{
    if (step.method != method_lanes && step.method != method_spill && cursors->next == nullptr)
        *cursors = start_cursors(grid->table, std::move(grid->index), out->progress);
    std::size_t *next = cursors->next.get();
    switch (step.method) {
    case method_lanes:
        return step.spilled ? write_lanes_spilled(*grid, style, to, out, step)
                            : write_by_lanes(*grid, style, out, step);
    case method_cursors:
        for (std::int32_t i = 0; i < grid->table.columns; ++i)
            write_line_by_cursors(grid->table, next, style, out);
        return true;
    case method_spill: {
        if (step.band_budget == 0)
            return write_spilled(*grid, style, to, out);
        output_target banded = to;
        banded.budget = std::min(to.budget, step.band_budget);
        banded.whole_budget = to.budget;
        return write_spilled(*grid, style, banded, out, true);
    }
    case method_halves:
        return write_halves(*grid, next, style, out, to.blocks->group.get());
    case method_groups:
        write_by_groups(*grid, next, style, out, to.blocks->group.get(), 0, grid->table.columns,
                        step);
        return true;
    }
    return false;
}

static plan_target plan_target_of(const output_target &to, result_format format, bool units)
{
    plan_target target;
    target.positioned = to.positioned;
    target.units = units;
    target.page = format == format_html;
    target.budget = to.budget;
    target.split_from = to.split_from;
    target.page_bytes = page_size();
    return target;
}

bool replaced_by_lanes(const cell_grid &grid, result_format format, bool units,
                       const output_target &to)
{
    transpose_plan plan = plan_transpose(shape_of(grid), plan_target_of(to, format, units));
    return plan.count > 0 && plan.steps[0].method == method_lanes;
}

// The line from at on, or after the first LF past at (at > 0), within the
// first 64 KiB: whether it holds few enough cells for the lanes.
static bool line_fits_lanes(const unsigned char *bytes, std::size_t length, std::size_t at,
                            unsigned char delimiter)
{
    const std::size_t reach = std::size_t{64} << 10;
    if (at > 0) {
        const void *lf = std::memchr(bytes + at, '\n', std::min(length - at, reach));
        if (lf == nullptr)
            return false;
        at = static_cast<std::size_t>(static_cast<const unsigned char *>(lf) - bytes) + 1;
    }
    const auto *begin = bytes + at;
    const auto *end =
        static_cast<const unsigned char *>(std::memchr(begin, '\n', std::min(length - at, reach)));
    return at == length || (end != nullptr && std::count(begin, end, delimiter) < lane_columns);
}

bool lines_fit_lanes(const unsigned char *bytes, std::size_t length, unsigned char delimiter)
{
    for (std::size_t quarter = 0; quarter < 4; ++quarter) {
        if (!line_fits_lanes(bytes, length, length / 4 * quarter, delimiter))
            return false;
    }
    return true;
}

static void write_transposed(cell_grid *grid, const line_style &style, const output_target &to,
                             output_block *out)
{
    transpose_plan plan =
        plan_transpose(shape_of(*grid), plan_target_of(to, style.format, to.encoder != nullptr));
    row_cursors cursors;
    for (std::int32_t i = 0; i < plan.count; ++i) {
        if (run_plan_step(plan.steps[i], grid, style, to, out, &cursors))
            return;
    }
}

static line_style style_for(const table_view &table, result_format format, charset_id charset)
{
    line_style style;
    style.format = format;
    style.delimiter = table.delimiter;
    if (format == format_html)
        style.html = html_style_for(charset, table.delimiter);
    return style;
}

// The transposed table when grid is given, else the stored one.
static bool write_view(cell_grid *grid, const table_view &stored, result_format format,
                       output_target to, failure_report *why)
{
    writer_blocks own;
    if (to.blocks == nullptr)
        to.blocks = &own;
    if (!have_writer_blocks(to.blocks)) {
        if (why != nullptr)
            *why = failure_report{failure::array_memory, ENOMEM};
        return false;
    }
    line_style style = style_for(stored, format, to.charset);
    output_block out = main_output(to);
    if (format == format_html)
        put_page_head(&out, style.html.charset_code);
    if (grid == nullptr)
        write_stored(stored, style, &out);
    else
        write_transposed(grid, style, to, &out);
    if (format == format_html)
        put_page_tail(&out);
    return finish_output(&out, to, why);
}

bool finish_output(output_block *out, const output_target &to, failure_report *why)
{
    flush_output(out);
    if (out->at_offset && to.keep_cursor && !out->failed && !set_cursor(to.fd, out->offset))
        note_failed_write(out);
    if (out->failed && why != nullptr)
        *why = failure_report{out->no_memory ? failure::array_memory : failure::write, out->error};
    return !out->failed;
}

// A page's head and tail, counted by a block that writes nothing.
static std::uint64_t page_frame_bytes(charset_id charset_code)
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
    const std::uint32_t *bytes = grid.sums.bytes.get();
    const std::uint32_t *continuing = grid.sums.continuations.get();
    if (bytes == nullptr)
        return false;
    *text = 0;
    *continuations = 0;
    for (std::int32_t c = 0; c < grid.table.columns; ++c) {
        *text += bytes[c];
        *continuations += continuing != nullptr ? continuing[c] : 0;
    }
    return true;
}

// A page's cells take ten bytes of tags beside their text and extras, its
// lines twelve; delimited text one byte per entry (a delimiter or the LF).
bool result_bytes(const cell_grid &grid, result_format format, charset_id charset, bool transposed,
                  bool units, std::uint64_t *bytes)
{
    std::uint64_t text = 0;
    std::uint64_t continuations = 0;
    if (!summed_text(grid, &text, &continuations) || (units && grid.sums.continuations == nullptr))
        return false;
    auto rows = static_cast<std::uint64_t>(grid.table.rows);
    auto columns = static_cast<std::uint64_t>(grid.table.columns);
    std::uint64_t lines = transposed ? columns : rows;
    std::uint64_t size = text + rows * columns;
    if (format == format_delimited && rows == 0)
        size = lines; // a transposed table of no rows: empty lines
    if (format == format_html) {
        auto *extras =
            static_cast<std::uint32_t *>(scratch_malloc(columns * sizeof(std::uint32_t)));
        html_style style = html_style_for(charset, grid.table.delimiter);
        bool found = extras != nullptr &&
                     html_column_extras(grid.table, grid.sums.bytes.get(), style, extras);
        size = text + 10 * rows * columns + 12 * lines + page_frame_bytes(charset);
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
    return write_view(nullptr, grid.table, format, to, why);
}

bool write_replace(cell_grid &&grid, result_format format, const output_target &to,
                   failure_report *why)
{
    cell_grid taken = std::move(grid);
    return write_view(&taken, taken.table, format, to, why);
}
