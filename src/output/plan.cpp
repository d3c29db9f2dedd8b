// The plan: which method transposes a table of a given shape, to a given
// target, within a given budget, and on how many threads.
#include "output/transpose.h"

#include <algorithm>
#include <cmath>
#include <cstring>

table_shape shape_of(const cell_grid &grid)
{
    const table_sums &sums = grid.sums;
    table_shape shape;
    shape.rows = grid.table.rows;
    shape.columns = grid.table.columns;
    shape.length = grid.table.length;
    shape.row_table = grid.index.starts != nullptr;
    shape.split = grid.split.rows > 0 && grid.split.rows < grid.table.rows;
    shape.plain = grid.table.plain;
    shape.summed = sums.bytes != nullptr;
    shape.sums = std::int32_t{sums.bytes != nullptr} + std::int32_t{sums.head_bytes != nullptr} +
                 std::int32_t{sums.continuations != nullptr} +
                 std::int32_t{sums.head_continuations != nullptr} +
                 2 * std::int32_t{sums.totals != nullptr} +
                 2 * std::int32_t{sums.head_totals != nullptr};
    return shape;
}

// The lanes walk the rows in order and need no row table.
bool lanes_fit(const table_shape &shape, std::uint64_t budget, std::size_t page)
{
    auto columns = static_cast<std::uint64_t>(shape.columns);
    std::uint64_t parts = shape.split ? 2 : 1;
    std::uint64_t lane = lane_bytes(static_cast<std::size_t>(columns), page);
    return parts * columns * (sizeof(output_block) + 8 + lane) <= budget;
}

// The groups' row table, the loader's sums (four bytes a column each, and a
// page's extras as many again) and each pass's reading of every row. The
// fixed buffers (the output block, the staging) are a few MiB beside it.
static bool groups_fit(const table_shape &shape, const plan_target &target)
{
    auto rows = static_cast<std::uint64_t>(shape.rows) + 1;
    std::uint64_t passes_read = std::min<std::uint64_t>(rows * target.page_bytes, shape.length);
    std::uint64_t sums = 4u * static_cast<std::uint64_t>(shape.sums) *
                         static_cast<std::uint64_t>(shape.columns) * (target.page ? 2u : 1u);
    return rows * sizeof(std::size_t) + sums + passes_read <= target.budget;
}

method_step plan_groups(const table_shape &shape, std::size_t split_from)
{
    std::uint64_t average = shape.length / static_cast<std::uint64_t>(shape.columns);
    bool two_parts = shape.split && average >= short_line_bytes;
    return {method_groups, two_parts ? 2 : 1, !two_parts && shape.length >= split_from};
}

// About the result's bytes: each cell's text and one byte beside it (a
// delimiter, the LF, an absent cell's delimiter), a page's ten bytes of tags.
static std::uint64_t result_guess(const table_shape &shape, bool page)
{
    std::uint64_t entries =
        static_cast<std::uint64_t>(shape.rows) * static_cast<std::uint64_t>(shape.columns);
    return shape.length + entries * (page ? 11u : 1u);
}

// A band's rows are as many as make its groups' passes over them cost what
// the spill's reading of the runs costs: B rows fill B * row / group_bytes
// groups, each pass visiting B rows, while the runs, rows / B of them, are
// each visited once a line. Both are rows * B * row / group_bytes and
// rows * columns / B, equal at B = sqrt(group_bytes * columns / row). The
// band takes half the spill's budget, its column sums an eighth.
std::uint64_t band_budget(const table_shape &shape, bool page)
{
    auto rows = static_cast<std::uint64_t>(std::max(shape.rows, 1));
    auto columns = static_cast<std::uint64_t>(shape.columns);
    std::uint64_t row = std::max<std::uint64_t>(result_guess(shape, page) / rows, 1);
    double band_rows = std::sqrt(static_cast<double>(group_bytes) * static_cast<double>(columns) /
                                 static_cast<double>(row));
    auto band_bytes = static_cast<std::uint64_t>(band_rows * static_cast<double>(shape.length) /
                                                 static_cast<double>(rows));
    return std::max(2 * band_bytes, columns * 8 * 4);
}

method_step plan_bands(const table_shape &shape, const plan_target &target)
{
    method_step step{method_spill, 1, false, 0};
    std::uint64_t result = result_guess(shape, target.page);
    auto rows = static_cast<std::uint64_t>(shape.rows);
    // A spill taken by choice must not cost what the groups would not: where
    // the spill's folder is memory (a tmpfs /tmp), it counts against the
    // same limit, so the whole of it must fit in half the budget.
    if (shape.rows >= banded_rows_least && result >= banded_groups_least * group_bytes &&
        result / rows >= banded_row_bytes_least && result <= target.budget / 2)
        step.band_budget = band_budget(shape, target.page);
    return step;
}

// Lanes for a delimited result at offsets of more columns, whose lines the
// bands would take: lanes of a few pages still, they read every row once
// where the bands load each again, fill its groups and write and read back
// a spill as large as the result (ragged470, perf: fill_part, load_row_band
// and take_lines half the time).
static bool long_lines_lanes(const table_shape &shape, const plan_target &target)
{
    return target.positioned && !target.page && !target.units && shape.row_table &&
           shape.columns <= long_lines_lane_columns &&
           lanes_fit(shape, target.budget, target.page_bytes) && groups_fit(shape, target) &&
           plan_bands(shape, target).band_budget != 0;
}

// Lanes through a spill for a tall delimited table whose result takes no
// offsets (a pipe): the groups' passes would read every row again for each
// group, and a line longer than a group takes a pass of the cursors. A
// page, twice the table's bytes and more, costs more to spill and read
// back than its passes. Within half the budget, as the bands' spill.
static bool spilled_lanes(const table_shape &shape, const plan_target &target)
{
    std::uint64_t result = result_guess(shape, target.page);
    return !target.positioned && !target.page && shape.columns <= lane_columns &&
           shape.rows > few_rows && lanes_fit(shape, target.budget, target.page_bytes) &&
           result >= spilled_lanes_least && result <= target.budget / 2;
}

// Lanes for a tall table to a file: they read every row once, in order, and
// need no row table. Otherwise the cursors for a table the cache holds, or
// groups of lines, within the budget; past it, or without a row table, bands
// of rows through a spill.
transpose_plan plan_transpose(const table_shape &shape, const plan_target &target)
{
    transpose_plan plan;
    auto add = [&plan](method_step step) { plan.steps[plan.count++] = step; };
    if ((target.positioned && shape.columns <= lane_columns && shape.rows > few_rows &&
         lanes_fit(shape, target.budget, target.page_bytes)) ||
        long_lines_lanes(shape, target))
        add({method_lanes, shape.split ? 2 : 1, false});
    if (spilled_lanes(shape, target))
        add({.method = method_lanes, .parts = shape.split ? 2 : 1, .spilled = true});
    if (shape.rows == 0) {
        add({method_cursors, 1, false});
    } else if (!shape.row_table || !groups_fit(shape, target)) {
        add({method_spill, 1, false});
    } else {
        method_step bands = plan_bands(shape, target);
        if (bands.band_budget != 0)
            add(bands);
        if (target.positioned && !target.units && shape.plain && shape.summed &&
            shape.columns >= 2 && shape.length >= target.split_from &&
            shape.rows <= halves_rows_most)
            add({method_halves, 2, false});
        if (shape.length <= cursors_bytes_most && shape.rows <= cursors_rows_most)
            add({method_cursors, 1, false});
        else
            add(plan_groups(shape, target.split_from));
    }
    return plan;
}

bool wants_row_parts(const unsigned char *bytes, std::size_t length, std::size_t split_from)
{
    if (length < split_from)
        return true; // measured whole: nothing to keep
    std::size_t first_line = std::min(length, length / few_rows_share + 1);
    return split_from == 0 || std::memchr(bytes, '\n', first_line) != nullptr;
}
