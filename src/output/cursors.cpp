// Rows' cursors: each row's next cell, one output line taking one cell of
// every row.
#include "output/transpose.h"

#include <algorithm>
#include <utility>

// Each row's start becomes the offset of its first cell, in place. What no
// cursor will walk (a line's bytes before its first cell, a line without
// cells) is told as consumed at once.
row_cursors start_cursors(const table_view &table, row_index &&rows, const progress_sink &told)
{
    row_cursors cursors{std::move(rows.starts)};
    std::size_t *next = cursors.next.get();
    if (told.consumed == nullptr) {
        for (std::int32_t j = 0; j < table.rows; ++j)
            next[j] = cursor_at(table, first_cell_at(table, table.bytes + next[j]));
        return cursors;
    }
    std::uint64_t skipped = 0;
    for (std::int32_t j = 0; j < table.rows; ++j) {
        const unsigned char *line = table.bytes + next[j];
        const unsigned char *cell = first_cell_at(table, line);
        const unsigned char *after = table.bytes + std::min(next[j + 1], table.length);
        skipped += static_cast<std::size_t>((cell != nullptr ? cell : after) - line);
        next[j] = cursor_at(table, cell);
    }
    note_consumed(told, skipped);
    return cursors;
}

// One output line, each row's cursor taking one cell; with counting, the
// bytes the cursors moved over told as consumed.
template <bool counting>
static void write_cursors_line(const table_view &table, std::size_t *next, const line_style &style,
                               output_block *out)
{
    std::uint64_t taken = 0;
    begin_line(out, style);
    for (std::int32_t j = 0; j < table.rows; ++j) {
        fetch_cell(table, next, j, table.rows);
        bool last = j == table.rows - 1;
        const unsigned char *cell = cursor_cell(table, next[j]);
        const unsigned char *after = nullptr;
        std::int32_t filled =
            walk_cells(table, cell, 1, marks(style), &after,
                       [&](std::int32_t, const unsigned char *text, const unsigned char *end,
                           bool plain) { put_present(out, style, text, end, plain, last); });
        if (filled == 0)
            put_absent(out, style, last);
        if constexpr (counting)
            taken += row_taken(table, cell, after);
        next[j] = cursor_at(table, after);
    }
    end_line(out, style, table.rows);
    note_consumed(out->progress, taken);
}

void write_line_by_cursors(const table_view &table, std::size_t *next, const line_style &style,
                           output_block *out)
{
    if (out->progress.consumed != nullptr)
        write_cursors_line<true>(table, next, style, out);
    else
        write_cursors_line<false>(table, next, style, out);
}
