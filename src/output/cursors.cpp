// Rows' cursors: each row's next cell, one output line taking one cell of
// every row.
#include "output/transpose.h"

#include <algorithm>

// The row table becomes the rows' cursors: the offset of each row's next
// cell. Rows of another part are left as they are. What no cursor will walk
// (a line's bytes before its first cell, a line without cells) is told as
// consumed at once.
void start_cursors(cell_grid *grid, const row_part &rows, const progress_sink &told)
{
    if (told.consumed == nullptr) {
        for (std::int32_t j = rows.first; j < rows.end; ++j)
            grid->row_starts[j] = cursor_at(*grid, first_cell(*grid, j));
        return;
    }
    std::uint64_t skipped = 0;
    for (std::int32_t j = rows.first; j < rows.end; ++j) {
        const unsigned char *cell = first_cell(*grid, j);
        const unsigned char *line = grid->bytes + grid->row_starts[j];
        const unsigned char *next = grid->bytes + std::min(grid->row_starts[j + 1], grid->length);
        skipped += static_cast<std::size_t>((cell != nullptr ? cell : next) - line);
        grid->row_starts[j] = cursor_at(*grid, cell);
    }
    note_consumed(told, skipped);
}

// One output line, each row's cursor taking one cell; with counting, the
// bytes the cursors moved over told as consumed.
template <bool counting>
static void write_cursors_line(cell_grid *grid, const line_style &style, output_block *out)
{
    std::size_t *next = grid->row_starts;
    std::uint64_t taken = 0;
    begin_line(out, style);
    for (std::int32_t j = 0; j < grid->rows; ++j) {
        fetch_cell(*grid, next, j, grid->rows);
        bool last = j == grid->rows - 1;
        const unsigned char *cell = cursor_cell(*grid, next[j]);
        const unsigned char *after = nullptr;
        std::int32_t filled =
            walk_cells(*grid, cell, 1, marks(style), &after,
                       [&](std::int32_t, const unsigned char *text, const unsigned char *end,
                           bool plain) { put_present(out, style, text, end, plain, last); });
        if (filled == 0)
            put_absent(out, style, last);
        if constexpr (counting)
            taken += row_taken(*grid, cell, after);
        next[j] = cursor_at(*grid, after);
    }
    end_line(out, style, grid->rows);
    note_consumed(out->progress, taken);
}

void write_line_by_cursors(cell_grid *grid, const line_style &style, output_block *out)
{
    if (out->progress.consumed != nullptr)
        write_cursors_line<true>(grid, style, out);
    else
        write_cursors_line<false>(grid, style, out);
}
