// A plain table's output lines in two halves, on two threads, at offsets.
#include "output/transpose.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace
{

// One thread's half of the output lines of a table written in halves.
struct half_work {
    const cell_grid *grid = nullptr;
    std::size_t *next = nullptr; // the half's cursors
    const line_style *style = nullptr;
    output_block *out = nullptr;
    line_group *group = nullptr;
    std::int32_t first_line = 0;
    std::int32_t end_line = 0;
    std::uint32_t *extras = nullptr; // a page's, for all rows
};

} // namespace

// Where cell k of a plain table's row starts, the row's first cell at
// offset cell: after k more delimiters.
static std::size_t later_cell(const table_view &table, std::size_t cell, std::int32_t k)
{
    auto left = static_cast<std::size_t>(k);
    for (const unsigned char *p = table.bytes + cell;; p += scan_block) {
        std::uint64_t delimiters = classify_block(p, table.delimiter).delimiter;
        std::size_t count = bits_set(delimiters);
        if (count >= left) {
            for (; left > 1; --left)
                delimiters &= delimiters - 1;
            return static_cast<std::size_t>(p - table.bytes + std::countr_zero(delimiters) + 1);
        }
        left -= count;
    }
}

static void write_half(void *arg)
{
    auto *work = static_cast<half_work *>(arg);
    const table_view &table = work->grid->table;
    for (std::int32_t j = 0; j < table.rows && work->first_line > 0; ++j)
        work->next[j] = later_cell(table, work->next[j], work->first_line);
    // Each half's groups on its own thread, all its rows together.
    constexpr method_step one_thread{method_groups, 1, false};
    write_by_groups(*work->grid, work->next, *work->style, work->out, work->group, work->first_line,
                    work->end_line, one_thread, work->extras);
    flush_output(work->out);
}

// The bytes of the first `lines` output lines, from the sums: a wide
// table's first half holds a million lines, whose sizes are taken a stretch
// at a time rather than in a call each.
static std::uint64_t first_lines_bytes(const cell_grid &grid, const line_style &style,
                                       std::int32_t lines, const std::uint32_t *extras)
{
    constexpr std::int32_t stretch = 1024;
    row_part all{0, grid.table.rows};
    std::size_t sizes[stretch];
    std::uint64_t bytes = 0;
    for (std::int32_t k = 0; k < lines; k += stretch) {
        std::int32_t n = std::min(stretch, lines - k);
        base_sizes(grid, style, all, k, n, extras, sizes);
        for (std::int32_t i = 0; i < n; ++i)
            bytes += sizes[i];
    }
    return bytes;
}

// A plain table, written at offsets by two threads, each the groups of one
// half of its lines: the second finds its rows' cursors by counting their
// delimiters, and its place from the first half's line sizes. Each thread
// fills its groups while the other writes, and no two share a line's place
// in a staging buffer. False when its buffers (or a page's extras) cannot
// be had; next then still holds the cursors.
bool write_halves(const cell_grid &grid, std::size_t *next, const line_style &style,
                  output_block *out, line_group *group)
{
    auto rows = static_cast<std::size_t>(grid.table.rows);
    std::uint32_t *extras = table_extras(grid, style, out->threads);
    auto *cursors = static_cast<std::size_t *>(scratch_malloc(rows * sizeof(std::size_t)));
    auto *second = static_cast<line_group *>(scratch_calloc(1, sizeof(line_group)));
    auto *buffers = static_cast<char *>(allocate_pages(group_bytes + out->end));
    bool ready = cursors != nullptr && second != nullptr && buffers != nullptr &&
                 (style.format == format_delimited || extras != nullptr);
    if (ready) {
        std::int32_t middle = grid.table.columns / 2;
        flush_output(out);
        out->at_offset = true;
        std::uint64_t offset = out->offset + first_lines_bytes(grid, style, middle, extras);
        std::memcpy(cursors, next, rows * sizeof(std::size_t));
        output_block after = *out;
        after.bytes = buffers + group_bytes;
        after.offset = offset;
        second->bytes = buffers;
        half_work halves[2] = {
            {&grid, next, &style, out, group, 0, middle, extras},
            {&grid, cursors, &style, &after, second, middle, grid.table.columns, extras}};
        run_both(write_half, &halves[0], &halves[1], out->threads);
        take_failure(out, after);
        out->offset = after.offset;
    }
    release_pages(buffers);
    scratch_free(second);
    scratch_free(cursors);
    scratch_free(extras);
    return ready;
}
