// Output lines' sizes from the loader's column sums, so that each line's
// place is known before its bytes are.
#include "output/transpose.h"

#include <algorithm>

// Column c's count in rows, from one of the loader's sums (the table's and
// its first part's); false without them.
template <typename T>
static bool part_count(const T *table, const T *head, const cell_grid &grid, const row_part &rows,
                       std::int32_t c, std::uint64_t *count)
{
    if (table == nullptr)
        return false;
    bool whole = rows.first == 0 && rows.end == grid.table.rows;
    if (whole) {
        *count = table[c];
        return true;
    }
    if (head == nullptr)
        return false;
    *count = rows.first == 0 ? head[c] : table[c] - head[c];
    return true;
}

bool summed_count(const std::uint32_t *table, const std::uint32_t *head, const cell_grid &grid,
                  const row_part &rows, std::int32_t c, std::uint64_t *count)
{
    return part_count(table, head, grid, rows, c, count);
}

// Column c's text bytes in rows, from the loader's sums or, for a table of
// 4 GiB or more, its totals; false without them.
bool summed_bytes(const cell_grid &grid, const row_part &rows, std::int32_t c, std::uint64_t *bytes)
{
    const table_sums &sums = grid.sums;
    if (sums.totals != nullptr)
        return part_count(sums.totals.get(), sums.head_totals.get(), grid, rows, c, bytes);
    return summed_count(sums.bytes.get(), sums.head_bytes.get(), grid, rows, c, bytes);
}

// Whether the loader's byte sums give rows' share of every line.
static bool sums_cover(const cell_grid &grid, const row_part &rows)
{
    const table_sums &sums = grid.sums;
    bool whole = rows.first == 0 && rows.end == grid.table.rows;
    if (sums.totals != nullptr)
        return whole || sums.head_totals != nullptr;
    return sums.bytes != nullptr && (whole || sums.head_bytes != nullptr);
}

// The frame a part adds to every line it writes: a page's <tr> goes with the
// first row, its </tr> with the last.
static std::size_t line_frame(const cell_grid &grid, const line_style &style, const row_part &rows)
{
    if (style.format != format_html)
        return 0;
    return (rows.first == 0 ? row_open_size : 0) +
           (rows.end == grid.table.rows ? row_close_size : 0);
}

// A part's html_column_extras for every column, on the scratch list; null
// for delimited text and for a page whose line sizes need a walk of its
// cells (a table of 4 GiB or more among them: its counts are bounded by
// 32-bit sums).
std::uint32_t *part_extras(const cell_grid &grid, const line_style &style, const row_part &rows)
{
    if (style.format != format_html || grid.sums.bytes == nullptr || !sums_cover(grid, rows))
        return nullptr;
    // The part's lines alone; the whole table's sums stand for its own in
    // the bound on what its counts may reach.
    table_view part = grid.table;
    std::size_t begin = rows.first == 0 ? 0 : grid.split.at;
    std::size_t end = rows.end == part.rows ? part.length : grid.split.at;
    part.bytes += begin;
    part.length = end - begin;
    part.rows = rows.end - rows.first;
    auto *extras = static_cast<std::uint32_t *>(
        scratch_malloc(static_cast<std::size_t>(part.columns) * sizeof(std::uint32_t)));
    if (extras != nullptr && !html_column_extras(part, grid.sums.bytes.get(), style.html, extras)) {
        scratch_free(extras);
        extras = nullptr;
    }
    return extras;
}

namespace
{

struct extras_work {
    const cell_grid *grid = nullptr;
    const line_style *style = nullptr;
    row_part rows;
    std::uint32_t *extras = nullptr;
};

} // namespace

static void find_part_extras(void *arg)
{
    auto *work = static_cast<extras_work *>(arg);
    work->extras = part_extras(*work->grid, *work->style, work->rows);
}

std::uint32_t *table_extras(const cell_grid &grid, const line_style &style, bool threads)
{
    row_part rows[2];
    row_parts(grid, shape_of(grid).split && grid.sums.head_bytes != nullptr ? 2 : 1, rows);
    if (rows[1].end == rows[1].first)
        return part_extras(grid, style, rows[0]);
    extras_work works[2] = {{&grid, &style, rows[0], nullptr}, {&grid, &style, rows[1], nullptr}};
    run_both(find_part_extras, &works[0], &works[1], threads);
    std::uint32_t *extras = works[0].extras;
    bool fits = extras != nullptr && works[1].extras != nullptr;
    for (std::int32_t c = 0; fits && c < grid.table.columns; ++c) {
        std::uint64_t sum = std::uint64_t{extras[c]} + works[1].extras[c];
        fits = sum <= UINT32_MAX;
        extras[c] = static_cast<std::uint32_t>(sum);
    }
    scratch_free(works[1].extras);
    if (!fits) {
        scratch_free(extras);
        extras = nullptr;
    }
    return extras;
}

// The size of lines [first_line, first_line + lines) in a part's rows, from
// the sums when a delimited table has them, or a page has them and its
// extras (then true): a page's cell takes ten bytes of tags. Else what their
// frames and absent entries take, to which the caller adds what each
// present entry takes beyond an absent one.
bool sizes_summed(const cell_grid &grid, const line_style &style, const row_part &rows,
                  const std::uint32_t *extras)
{
    return (style.format == format_delimited || extras != nullptr) && sums_cover(grid, rows);
}

// Lines [first_line, first_line + lines) of sizes from the sums table and
// head (as part_count reads them), which the caller has checked.
template <typename T>
static void sized_lines(const T *table, const T *head, const cell_grid &grid,
                        const line_style &style, const row_part &rows, std::int32_t first_line,
                        std::int32_t lines, const std::uint32_t *extras, std::size_t *sizes)
{
    auto count = static_cast<std::size_t>(rows.end - rows.first);
    std::uint64_t bytes = 0;
    std::size_t frame = line_frame(grid, style, rows);
    for (std::int32_t k = 0; k < lines; ++k) {
        part_count(table, head, grid, rows, first_line + k, &bytes);
        if (extras == nullptr)
            sizes[k] = static_cast<std::size_t>(bytes) + count;
        else
            sizes[k] = frame + html_cell_tags_size * count + static_cast<std::size_t>(bytes) +
                       extras[first_line + k];
    }
}

bool base_sizes(const cell_grid &grid, const line_style &style, const row_part &rows,
                std::int32_t first_line, std::int32_t lines, const std::uint32_t *extras,
                std::size_t *sizes)
{
    if (!sizes_summed(grid, style, rows, extras)) {
        absent_sizes(grid, style, rows, lines, sizes);
        return false;
    }
    const table_sums &sums = grid.sums;
    if (sums.totals != nullptr)
        sized_lines(sums.totals.get(), sums.head_totals.get(), grid, style, rows, first_line, lines,
                    extras, sizes);
    else
        sized_lines(sums.bytes.get(), sums.head_bytes.get(), grid, style, rows, first_line, lines,
                    extras, sizes);
    return true;
}

bool page_entries_sizes(const cell_grid &grid, const line_style &style, std::uint32_t *sizes)
{
    row_part rows{0, grid.table.rows};
    std::uint32_t *extras = part_extras(grid, style, rows);
    bool fits = extras != nullptr;
    auto tags = html_cell_tags_size * static_cast<std::uint64_t>(rows.end);
    for (std::int32_t c = 0; fits && c < grid.table.columns; ++c) {
        std::uint64_t bytes = 0;
        fits = summed_bytes(grid, rows, c, &bytes);
        bytes += tags + extras[c];
        fits = fits && bytes <= UINT32_MAX;
        sizes[c] = static_cast<std::uint32_t>(bytes);
    }
    scratch_free(extras);
    return fits;
}

// What lines' frames and absent entries take: their size when every entry
// is absent.
void absent_sizes(const cell_grid &grid, const line_style &style, const row_part &rows,
                  std::int32_t lines, std::size_t *sizes)
{
    auto count = static_cast<std::size_t>(rows.end - rows.first);
    std::size_t absent = entry_size(style, nullptr, nullptr, true);
    std::size_t frame = line_frame(grid, style, rows);
    std::fill(sizes, sizes + lines, frame + absent * count);
}
