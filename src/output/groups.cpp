// Groups of output lines staged at once, filled on one thread or two.
#include "output/transpose.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace
{

// What one thread does for one part of a group.
struct group_work {
    const cell_grid *grid = nullptr;
    std::size_t *next = nullptr; // the rows' cursors
    const line_style *style = nullptr;
    line_group *group = nullptr;
    row_part rows;
    part_places *places = nullptr;
    std::int32_t first_line = 0; // the group's first output line
    std::int32_t lines = 0;
    std::uint32_t *extras = nullptr; // a page's, from part_extras
    const progress_sink *progress = nullptr;
};

} // namespace

// The sizes base_sizes gives, by walking the rows' cursors when there are no
// sums.
static void size_lines(const group_work &work, std::size_t *sizes)
{
    const table_view &table = work.grid->table;
    const line_style &style = *work.style;
    const row_part &rows = work.rows;
    if (base_sizes(*work.grid, style, rows, work.first_line, work.lines, work.extras, sizes))
        return;
    std::size_t absent = entry_size(style, nullptr, nullptr, true);
    const std::size_t *next = work.next;
    for (std::int32_t j = rows.first; j < rows.end; ++j) {
        fetch_cell(table, next, j, rows.end);
        const unsigned char *after = nullptr;
        walk_cells(table, cursor_cell(table, next[j]), work.lines, marks(style), &after,
                   [&](std::int32_t k, const unsigned char *text, const unsigned char *end,
                       bool plain) { sizes[k] += entry_size(style, text, end, plain) - absent; });
    }
}

static void measure_part(void *arg)
{
    auto *work = static_cast<group_work *>(arg);
    size_lines(*work, work->places->size);
}

// How many of the measured lines fit the staging buffer, their places set:
// each line's parts' shares one after the other. The parts are a constant,
// so that the loop over them folds away.
template <std::int32_t parts>
static std::int32_t placed_lines(const group_work *works, std::int32_t lines)
{
    line_group *group = works[0].group;
    group->place[0] = 0;
    std::int32_t fit = 0;
    for (; fit < lines; ++fit) {
        std::size_t at = group->place[fit];
        for (std::int32_t p = 0; p < parts; ++p) {
            part_places *places = works[p].places;
            places->fill[fit] = at;
            at += places->size[fit];
            places->limit[fit] = at;
        }
        if (at > group_bytes)
            break;
        group->place[fit + 1] = at;
    }
    return fit;
}

// How many of the lines from i on fit the staging buffer, their places set.
static std::int32_t measure_group(const table_view &table, group_work *works, std::int32_t parts,
                                  std::int32_t i, bool threads)
{
    // As many lines as an average line's bytes say fit, a quarter more for
    // lines longer than the average; a line that does not fit is measured
    // again with the next group.
    std::size_t average = table.length / static_cast<std::size_t>(table.columns) +
                          static_cast<std::size_t>(table.rows) + 1;
    std::size_t most = std::min(group_bytes / average + group_bytes / average / 4 + 1,
                                static_cast<std::size_t>(group_most));
    auto lines =
        static_cast<std::int32_t>(std::min(static_cast<std::size_t>(table.columns - i), most));
    for (std::int32_t p = 0; p < parts; ++p) {
        works[p].first_line = i;
        works[p].lines = lines;
    }
    // Sizes from the sums take no second thread.
    if (sizes_summed(*works[0].grid, *works[0].style, works[0].rows, works[0].extras)) {
        for (std::int32_t p = 0; p < parts; ++p)
            measure_part(&works[p]);
    } else {
        run_parts(measure_part, parts, &works[0], &works[1], threads);
    }
    return parts == 1 ? placed_lines<1>(works, lines) : placed_lines<2>(works, lines);
}

// The block over line k's share in a part, from where its next byte goes.
static inline output_block *line_block(output_block *line, const part_places *places,
                                       std::int32_t k)
{
    line->used = places->fill[k];
    line->end = places->limit[k];
    return line;
}

// A delimited entry straight into line k's place: the same copy as put_text
// without a block's bookkeeping, since the places are exact.
static inline void put_staged(char *bytes, part_places *places, std::int32_t k,
                              const unsigned char *text, const unsigned char *end, char follow)
{
    std::size_t at = places->fill[k];
    auto length = static_cast<std::size_t>(end - text);
    char *to = bytes + at;
    fetch_for_store(to);
    if (at + length + copy_block < places->limit[k]) {
        copy_blocks(to, text, length);
    } else {
        copy_exact(to, text, length);
    }
    to[length] = follow;
    places->fill[k] = at + length + 1;
}

// A plain row's cells for lines [0, lines) of the group, all of them
// present, ended by a delimiter or the row's LF (not the table's last row,
// which may lack it): no other byte ends one. Each entry is copied with the
// byte that ends it, in whole 16-byte blocks; only an LF, which ends the
// row's last cell, is then turned into the delimiter. With checked, an
// entry near its share's end is copied exactly: the blocks run up to 15
// bytes past it, which a row followed by 15 more of its part's rows never
// passes, each of them giving every line a byte at least. Returns the cell
// after.
template <bool checked>
__attribute__((always_inline)) static inline const unsigned char *
fill_plain_row(const table_view &table, const unsigned char *cell, std::int32_t lines, char *bytes,
               part_places *places)
{
    // Read once: the copies' stores might otherwise change it.
    const unsigned char delimiter = table.delimiter;
    std::size_t *fill = places->fill;
    const std::size_t *limit = places->limit;
    auto left = static_cast<std::uint32_t>(lines);
    for (const unsigned char *block = cell;; block += scan_block) {
        for (std::uint64_t stops = stop_mask(block, delimiter); stops != 0; stops &= stops - 1) {
            const unsigned char *end = block + static_cast<unsigned>(std::countr_zero(stops));
            auto entry = static_cast<std::size_t>(end - cell) + 1;
            std::size_t at = *fill;
            char *to = bytes + at;
            fetch_for_store(to);
            if (checked && at + entry + copy_block > *limit)
                copy_exact(to, cell, entry);
            else
                copy_blocks(to, cell, entry);
            *fill++ = at + entry;
            ++limit;
            cell = end + 1;
            if (--left == 0) {
                if (*end == delimiter)
                    return cell;
                to[entry - 1] = static_cast<char>(delimiter);
                return nullptr;
            }
        }
    }
}

// A row with this many of its part's rows after it leaves fill_plain_row's
// blocks room to run past its entries.
constexpr std::int32_t overrun_rows = copy_block - 1;

// A plain row's cells for lines [0, lines) of a page's group, found as
// fill_plain_row finds them (not the table's last row). A cell with nothing
// to escape whose store's overrun stays within its line's share is stored
// straight at its place; the others go through the cell writer. Returns the
// cell after, null past the row's LF.
__attribute__((always_inline)) static inline const unsigned char *
fill_plain_page_row(const table_view &table, const line_style &style, const unsigned char *cell,
                    std::int32_t lines, char *bytes, part_places *places, output_block *line)
{
    const unsigned char delimiter = table.delimiter;
    std::size_t *fill = places->fill;
    const std::size_t *limit = places->limit;
    std::int32_t k = 0;
    std::uint64_t earlier = 0; // the cell's special bytes in blocks before this one
    for (const unsigned char *block = cell;; block += scan_block) {
        std::uint64_t special = html_special_mask(block);
        for (std::uint64_t stops = stop_mask(block, delimiter); stops != 0; stops &= stops - 1) {
            int at = std::countr_zero(stops);
            const unsigned char *end = block + at;
            auto size = static_cast<std::size_t>(end - cell);
            bool plain = plain_until(earlier, special, at);
            fetch_for_store(bytes + fill[k]);
            if (plain && fill[k] + size + plain_html_cell_room <= limit[k]) {
                fill[k] = static_cast<std::size_t>(
                    store_plain_html_cell(bytes + fill[k], cell, size) - bytes);
            } else {
                put_present(line_block(line, places, k), style, cell, end, plain, false);
                fill[k] = line->used;
            }
            special = special_after(special, at);
            earlier = 0;
            cell = end + 1;
            if (++k == lines)
                return *end == delimiter ? cell : nullptr;
        }
        earlier |= special;
    }
}

// One row's cells for lines [0, lines) of the group; returns the cell after.
// Inlined into both of fill_rows' loops, as it was into the one.
__attribute__((always_inline)) static inline const unsigned char *
fill_row(const table_view &table, const line_style &style, const unsigned char *cell,
         std::int32_t lines, bool last, bool checked, char *bytes, part_places *places,
         output_block *line)
{
    const unsigned char *after = nullptr;
    std::int32_t filled = 0;
    if (style.format == format_delimited && table.plain && !last && cell != nullptr)
        return checked ? fill_plain_row<true>(table, cell, lines, bytes, places)
                       : fill_plain_row<false>(table, cell, lines, bytes, places);
    if (table.plain && !last && cell != nullptr)
        return fill_plain_page_row(table, style, cell, lines, bytes, places, line);
    if (style.format == format_delimited) {
        char follow = follow_entry(style, last);
        filled = walk_cells(table, cell, lines, marks(style), &after,
                            [&](std::int32_t k, const unsigned char *text, const unsigned char *end,
                                bool) { put_staged(bytes, places, k, text, end, follow); });
        for (std::int32_t k = filled; k < lines; ++k)
            bytes[places->fill[k]++] = follow;
        return after;
    }
    filled = walk_cells(
        table, cell, lines, marks(style), &after,
        [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain) {
            fetch_for_store(bytes + places->fill[k]);
            put_present(line_block(line, places, k), style, text, end, plain, last);
            places->fill[k] = line->used;
        });
    for (std::int32_t k = filled; k < lines; ++k) {
        put_absent(line_block(line, places, k), style, last);
        places->fill[k] = line->used;
    }
    return after;
}

// About the bytes each row gives the group: its part's share of the group's
// lines over its rows.
static std::size_t row_span(const group_work &work)
{
    std::size_t bytes = 0;
    for (std::int32_t k = 0; k < work.lines; ++k)
        bytes += work.places->size[k];
    auto rows = static_cast<std::size_t>(work.rows.end - work.rows.first);
    return std::min(bytes / std::max(rows, std::size_t{1}), span_most);
}

// A part's rows' cells for the group's lines, each row's cursor moving on;
// with counting, returns the bytes the cursors moved over.
template <bool counting> static std::uint64_t fill_rows(const group_work &work, output_block *line)
{
    const table_view &table = work.grid->table;
    std::size_t *next = work.next;
    std::uint64_t taken = 0;
    std::size_t span = row_span(work);
    for (std::int32_t j = work.rows.first; j < work.rows.end; ++j) {
        fetch_span(table, next, j, work.rows.end, span);
        const unsigned char *cell = cursor_cell(table, next[j]);
        const unsigned char *after =
            fill_row(table, *work.style, cell, work.lines, j == table.rows - 1,
                     work.rows.end - j - 1 < overrun_rows, work.group->bytes, work.places, line);
        if constexpr (counting)
            taken += row_taken(table, cell, after);
        next[j] = cursor_at(table, after);
    }
    return taken;
}

static void fill_part(void *arg)
{
    auto *work = static_cast<group_work *>(arg);
    std::int32_t rows = work->grid->table.rows;
    const line_style &style = *work->style;
    part_places *places = work->places;
    output_block line;
    line.fd = -1;
    line.bytes = work->group->bytes;
    line.flush_at = SIZE_MAX;
    bool first = work->rows.first == 0;
    bool last = work->rows.end == rows;
    for (std::int32_t k = 0; k < work->lines && first; ++k) {
        begin_line(line_block(&line, places, k), style);
        places->fill[k] = line.used;
    }
    if (work->progress != nullptr && work->progress->consumed != nullptr)
        note_consumed(*work->progress, fill_rows<true>(*work, &line));
    else
        fill_rows<false>(*work, &line);
    for (std::int32_t k = 0; k < work->lines && last; ++k)
        end_line(line_block(&line, places, k), style, rows);
}

namespace
{

// A step of groups in a pipeline: a group is filled while the one before it
// is written.
struct group_step {
    group_work *fill = nullptr; // null: write
    output_block *out = nullptr;
    const char *bytes = nullptr;
    std::size_t size = 0;
};

} // namespace

static void write_staged(const group_step &step)
{
    output_block *out = step.out;
    flush_output(out);
    for (std::size_t at = 0; at < step.size && !out->failed; at += out->end)
        write_direct(out, step.bytes + at, std::min(step.size - at, out->end));
}

static void find_extras(void *arg)
{
    auto *work = static_cast<group_work *>(arg);
    work->extras = part_extras(*work->grid, *work->style, work->rows);
}

static void run_group_step(void *arg)
{
    const auto *step = static_cast<const group_step *>(arg);
    if (step->fill != nullptr)
        fill_part(step->fill);
    else
        write_staged(*step);
}

// Lines [first_line, end_line) on threads as step says: its parts each on a
// thread of its own, or one thread filling a group in one staging buffer
// while another writes the group before from the other. extras: a page's
// for all rows, when the caller has them.
void write_by_groups(const cell_grid &grid, std::size_t *next, const line_style &style,
                     output_block *out, line_group *group, std::int32_t first_line,
                     std::int32_t end_line, const method_step &step, std::uint32_t *extras)
{
    row_part rows[2];
    row_parts(grid, step.parts, rows);
    std::int32_t parts = step.parts;
    bool pipelined = step.pipelined;
    group_work works[2];
    for (std::int32_t p = 0; p < 2; ++p) {
        works[p] = group_work{&grid, next, &style, group, rows[p], &group->parts[p], 0, 0};
        works[p].progress = &out->progress;
    }
    // The pages the first groups fill, obtained at once (large where the
    // system gives them): a fault for each as they were first written took
    // more than their filling.
    std::size_t staged =
        std::min(group_bytes, grid.table.length + static_cast<std::size_t>(grid.table.rows));
    for (char *bytes : {group->bytes, pipelined ? group->other : nullptr}) {
        if (bytes != nullptr) {
            advise_large_pages(bytes, staged);
            prepare_pages(bytes, staged);
        }
    }
    if (extras != nullptr && parts == 1)
        works[0].extras = extras;
    else
        run_parts(find_extras, parts, &works[0], &works[1], out->threads);
    group_step written{nullptr, out, nullptr, 0}; // filled, not yet written
    for (std::int32_t i = first_line; i < end_line;) {
        std::int32_t lines =
            std::min(measure_group(grid.table, works, parts, i, out->threads), end_line - i);
        if (lines == 0) {
            write_staged(written);
            written.size = 0;
            write_line_by_cursors(grid.table, next, style, out);
            ++i;
            continue;
        }
        for (std::int32_t p = 0; p < parts; ++p)
            works[p].lines = lines;
        if (pipelined && written.size > 0) {
            group_step fill{&works[0], nullptr, nullptr, 0};
            run_both(run_group_step, &fill, &written, out->threads);
        } else {
            write_staged(written);
            run_parts(fill_part, parts, &works[0], &works[1], out->threads);
        }
        written.bytes = group->bytes;
        written.size = group->place[lines];
        if (pipelined)
            std::swap(group->bytes, group->other);
        i += lines;
    }
    write_staged(written);
    if (works[0].extras != extras)
        scratch_free(works[0].extras);
    scratch_free(works[1].extras);
}
