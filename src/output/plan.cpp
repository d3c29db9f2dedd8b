// The plan: which method transposes a table of a given shape, to a given
// target, within a given budget, and on how many threads.
#include "output/transpose.h"

#include <algorithm>
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
                 std::int32_t{sums.head_continuations != nullptr};
    return shape;
}

// The lanes walk the rows in order and need no row table.
static bool lanes_fit(const table_shape &shape, std::uint64_t budget)
{
    auto columns = static_cast<std::uint64_t>(shape.columns);
    std::uint64_t parts = shape.split ? 2 : 1;
    return parts * (columns * (sizeof(output_block) + 8) + lanes_bytes) <= budget;
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

// Lanes for a tall table to a file: they read every row once, in order, and
// need no row table. Otherwise groups of lines, within the budget; past it,
// or without a row table, bands of rows through a spill.
transpose_plan plan_transpose(const table_shape &shape, const plan_target &target)
{
    transpose_plan plan;
    auto add = [&plan](method_step step) { plan.steps[plan.count++] = step; };
    if (target.positioned && shape.columns <= lane_columns && shape.rows > few_rows &&
        lanes_fit(shape, target.budget))
        add({method_lanes, shape.split ? 2 : 1, false});
    if (shape.rows == 0) {
        add({method_cursors, 1, false});
    } else if (!shape.row_table || !groups_fit(shape, target)) {
        add({method_spill, 1, false});
    } else {
        if (target.positioned && !target.units && shape.plain && shape.summed &&
            shape.columns >= 2 && shape.length >= target.split_from &&
            shape.rows <= halves_rows_most)
            add({method_halves, 2, false});
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
