#include "output/writers.h"

#include "output/html.h"
#include "output/page_escapes.h"
#include "platform/platform.h"
#include "table/byte_scans.h"
#include "table/charset.h"
#include "table/input_file.h"
#include "table/utf16.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace
{

struct line_style {
    result_format format = format_delimited;
    unsigned char delimiter = '\t';
    html_style html;
};

// The rows of a table the loader measured in two parts are written by two
// threads at once, each with its own rows' share of every output line.
struct row_part {
    std::int32_t first = 0; // rows [first, end)
    std::int32_t end = 0;
};

} // namespace

// A row cursor that has passed the row's last cell.
constexpr std::size_t row_done = SIZE_MAX;

// Calls take(k, text, end, plain) for the row's cells from cell on, k = 0 up
// to at most count, end being the byte that ends the cell's text; returns how
// many cells there were and sets *next to the cell after them (null past the
// row's last). The bytes are classified a 64-byte block at a time; only a
// cell that ends at a line end, NUL or CR leaves the blocks for cell_after.
// When marked (pages), plain says the text holds no byte that a page
// escapes, found in the same blocks; otherwise plain is always true.
template <typename F>
static inline std::int32_t walk_cells(const cell_grid &grid, const unsigned char *cell,
                                      std::int32_t count, bool marked, const unsigned char **next,
                                      F take)
{
    std::int32_t k = 0;
    const unsigned char *p = cell;
    std::uint64_t earlier = 0; // the cell's special bytes in blocks before p's
    while (cell != nullptr && k < count) {
        block_classes c = classify_block(p, grid.delimiter);
        std::uint64_t special = marked ? html_special_mask(p) : 0;
        std::uint64_t stops = c.delimiter | c.lf | c.cr | c.nul;
        bool left_block = false;
        while (stops != 0 && k < count) {
            int at = std::countr_zero(stops);
            const unsigned char *end = p + at;
            take(k++, cell, end, (earlier | (special & ((std::uint64_t{1} << at) - 1))) == 0);
            special &= ~((std::uint64_t{2} << at) - 1);
            earlier = 0;
            if (*end != grid.delimiter) {
                cell = cell_after(grid, end);
                left_block = true;
                break;
            }
            cell = end + 1;
            stops &= stops - 1;
        }
        earlier |= left_block ? 0 : special;
        p = left_block ? cell : p + scan_block;
    }
    *next = cell;
    return k;
}

// Copies a cell's text in whole 16-byte blocks when the block has room for
// the last one's overrun, else exactly; then the byte that follows the entry.
static inline void put_text(output_block *out, const unsigned char *text, const unsigned char *end,
                            char follow)
{
    auto length = static_cast<std::size_t>(end - text);
    char *to = out->bytes + out->used;
    if (out->used + length + copy_block < out->end) {
        for (std::size_t i = 0; i < length; i += copy_block)
            std::memcpy(to + i, text + i, copy_block);
        out->used += length;
    } else if (out->used + length < out->end) {
        copy_exact(to, text, length);
        out->used += length;
    } else {
        put_bytes(out, reinterpret_cast<const char *>(text), length);
    }
    out->bytes[out->used++] = follow;
    flush_if_full(out);
}

// The delimiter goes between entries only, so every line of the result has
// the same number of fields, whatever its source line held.
static inline char follow_entry(const line_style &style, bool last)
{
    return last ? '\n' : static_cast<char>(style.delimiter);
}

// Pages ask the walk which cells hold nothing to escape.
static inline bool marks(const line_style &style)
{
    return style.format == format_html;
}

static inline void put_present(output_block *out, const line_style &style,
                               const unsigned char *text, const unsigned char *end, bool plain,
                               bool last)
{
    if (style.format == format_html && plain)
        put_plain_html_cell(out, text, static_cast<std::size_t>(end - text));
    else if (style.format == format_html)
        put_html_cell(out, style.html, text);
    else
        put_text(out, text, end, follow_entry(style, last));
}

static inline void put_absent(output_block *out, const line_style &style, bool last)
{
    if (style.format == format_html) {
        put_plain_html_cell(out, nullptr, 0);
        return;
    }
    out->bytes[out->used++] = follow_entry(style, last);
    flush_if_full(out);
}

// A page's row tags, stored in place when the block has room: a wide
// table's page has two of them for every few cells.
static inline void put_row_tag(output_block *out, const char *tag, std::size_t size)
{
    if (out->used + size > out->end) {
        put_bytes(out, tag, size);
        return;
    }
    std::memcpy(out->bytes + out->used, tag, size);
    out->used += size;
    flush_if_full(out);
}

static inline void begin_line(output_block *out, const line_style &style)
{
    if (style.format == format_html)
        put_row_tag(out, "<tr>\n", 5);
}

static inline void end_line(output_block *out, const line_style &style, std::int32_t entries)
{
    if (style.format == format_html)
        put_row_tag(out, "</tr>\n\n", 7);
    else if (entries <= 0)
        put_bytes(out, "\n", 1);
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
static inline bool plain_line(const unsigned char *line, const unsigned char *end,
                              unsigned char delimiter, std::size_t *delimiters)
{
    std::size_t count = 0;
    for (const unsigned char *p = line; p < end; p += scan_block) {
        block_classes k = classify_block(p, delimiter);
        auto left = static_cast<std::size_t>(end - p);
        std::uint64_t inside =
            left >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
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
    std::int32_t entries = grid.columns;
    begin_line(out, style);
    const unsigned char *next = nullptr;
    std::int32_t filled = walk_cells(
        grid, first_cell_at(grid, line), entries, marks(style), &next,
        [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain) {
            put_present(out, style, text, end, plain, k == entries - 1);
        });
    for (std::int32_t k = filled; k < entries; ++k)
        put_absent(out, style, k == entries - 1);
    end_line(out, style, entries);
}

// A table whose lines already hold every field is its own stored result:
// its bytes go out straight from the input, in blocks of the output's size.
static void write_as_is(const cell_grid &grid, output_block *out)
{
    flush_output(out);
    for (std::size_t at = 0; at < grid.length && !out->failed; at += out->end) {
        std::size_t size = grid.length - at < out->end ? grid.length - at : out->end;
        write_direct(out, reinterpret_cast<const char *>(grid.bytes) + at, size);
        note_consumed(out->progress, size);
    }
    if (grid.length > 0 && grid.bytes[grid.length - 1] != '\n')
        put_bytes(out, "\n", 1);
}

// A streaming copy, line by line: a line without NUL or CR goes out as it
// stands, with the delimiters its short row lacks added before its LF. Only
// when counting are the lines told as consumed, a block of them at a time.
template <bool counting>
static void write_lines(const cell_grid &grid, const line_style &style, output_block *out)
{
    const unsigned char *data_end = grid.bytes + grid.length;
    const unsigned char *line = grid.bytes;
    const unsigned char *reported = line; // consumed up to here
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        auto *end = static_cast<const unsigned char *>(
            std::memchr(line, grid.line_end, static_cast<std::size_t>(data_end - line)));
        if (end == nullptr)
            end = data_end;
        std::size_t delimiters = 0;
        if (style.format == format_delimited &&
            plain_line(line, end, grid.delimiter, &delimiters)) {
            put_bytes(out, reinterpret_cast<const char *>(line),
                      static_cast<std::size_t>(end - line));
            put_delimiters(out, grid.delimiter,
                           static_cast<std::size_t>(grid.columns) - 1 - delimiters);
            put_bytes(out, "\n", 1);
        } else {
            put_line_cells(out, style, grid, line);
        }
        line = end + 1;
        if constexpr (counting) {
            if (line <= data_end && static_cast<std::size_t>(line - reported) >= consumed_step) {
                note_consumed(out->progress, static_cast<std::size_t>(line - reported));
                reported = line;
            }
        }
    }
    if constexpr (counting)
        note_consumed(out->progress, static_cast<std::size_t>(data_end - reported));
}

static void write_stored(const cell_grid &grid, const line_style &style, output_block *out)
{
    if (style.format == format_delimited && grid.plain)
        write_as_is(grid, out);
    else if (out->progress.consumed != nullptr)
        write_lines<true>(grid, style, out);
    else
        write_lines<false>(grid, style, out);
}

static const unsigned char *cursor_cell(const cell_grid &grid, std::size_t cursor)
{
    return cursor == row_done ? nullptr : grid.bytes + cursor;
}

static std::size_t cursor_at(const cell_grid &grid, const unsigned char *cell)
{
    return cell == nullptr ? row_done : static_cast<std::size_t>(cell - grid.bytes);
}

// The start of the line after the one that `from` lies in (its start, or
// the byte that ended one of its cells); the data's end past the last.
static const unsigned char *line_after(const cell_grid &grid, const unsigned char *from)
{
    const unsigned char *data_end = grid.bytes + grid.length;
    if (from < data_end && *from == grid.line_end)
        return from + 1;
    const auto *end = static_cast<const unsigned char *>(
        std::memchr(from, grid.line_end, static_cast<std::size_t>(data_end - from)));
    return end == nullptr ? data_end : end + 1;
}

// The bytes of a row's line taken from cell on, up to after, the cell
// after them (null: the rest of the line).
static std::size_t row_taken(const cell_grid &grid, const unsigned char *cell,
                             const unsigned char *after)
{
    if (cell == nullptr)
        return 0;
    return static_cast<std::size_t>((after != nullptr ? after : line_after(grid, cell)) - cell);
}

// The row table becomes the rows' cursors: the offset of each row's next
// cell. Rows of another part are left as they are. What no cursor will walk
// (a line's bytes before its first cell, a line without cells) is told as
// consumed at once.
static void start_cursors(cell_grid *grid, const row_part &rows, const progress_sink &told = {})
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

// Each row's next cell lies in another cache line, which the hardware cannot
// foresee across many rows: it is fetched this many rows ahead.
constexpr std::int32_t fetch_ahead = 16;

static inline void fetch_cell(const cell_grid &grid, const std::size_t *next, std::int32_t j,
                              std::int32_t end)
{
    if (j + fetch_ahead < end && next[j + fetch_ahead] != row_done)
        __builtin_prefetch(grid.bytes + next[j + fetch_ahead]);
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

static void write_line_by_cursors(cell_grid *grid, const line_style &style, output_block *out)
{
    if (out->progress.consumed != nullptr)
        write_cursors_line<true>(grid, style, out);
    else
        write_cursors_line<false>(grid, style, out);
}

// Lines written a group at a time, through a staging buffer: each line of the
// group gets its exact place in the buffer, from the column sizes the loader
// summed or else from a first pass over the rows that measures them; a pass
// over the rows then copies each row's cells for the whole group into their
// lines. Every row is visited once or twice per group rather than once per
// line, which spares a square table's rows, one to a page, a page walk per
// cell. The group ends where its lines fill group_bytes; a line longer than
// that alone goes out by the cursors. Staging buffers of 2 to 8 MiB gave the
// same times on the square and wide tables, 512 KiB 15% more on the square.
constexpr std::size_t group_bytes = std::size_t{4} << 20;
constexpr std::int32_t group_most = 16384;
constexpr std::size_t short_line_bytes = 4096;

namespace
{

// One part's places in a group's staging.
struct part_places {
    std::size_t size[group_most] = {};  // line k's bytes from the part's rows
    std::size_t fill[group_most] = {};  // where line k's next byte goes
    std::size_t limit[group_most] = {}; // where the part's share of line k ends
};

struct line_group {
    char *bytes = nullptr;                  // group_bytes
    char *other = nullptr;                  // as many, filled while bytes are written
    std::size_t place[group_most + 1] = {}; // line k's bytes are [place[k], place[k + 1])
    part_places parts[2];
};

// What one thread does for one part of a group.
struct group_work {
    cell_grid *grid = nullptr;
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

// The table's rows, in the parts the loader measured.
static std::int32_t row_parts(const cell_grid &grid, row_part *parts)
{
    bool split = grid.split_rows > 0 && grid.split_rows < grid.rows;
    parts[0] = {0, split ? grid.split_rows : grid.rows};
    parts[1] = {parts[0].end, grid.rows};
    return split ? 2 : 1;
}

// Runs work on each part's argument, the two parts at once.
static void run_parts(void (*work)(void *), std::int32_t parts, void *first, void *second,
                      bool threads)
{
    if (parts == 2)
        run_both(work, first, second, threads);
    else
        work(first);
}

// The bytes an entry takes; null text for an absent one.
static std::size_t entry_size(const line_style &style, const unsigned char *text,
                              const unsigned char *end, bool plain)
{
    if (style.format == format_delimited)
        return text == nullptr ? 1 : static_cast<std::size_t>(end - text) + 1;
    if (text != nullptr && plain)
        return plain_html_cell_size(static_cast<std::size_t>(end - text));
    return html_cell_size(style.html, text);
}

// Column c's count in rows, from one of the loader's sums (the table's and
// its first part's); false without them.
static bool summed_count(const std::uint32_t *table, const std::uint32_t *head,
                         const cell_grid &grid, const row_part &rows, std::int32_t c,
                         std::uint64_t *count)
{
    if (table == nullptr)
        return false;
    bool whole = rows.first == 0 && rows.end == grid.rows;
    if (whole) {
        *count = table[c];
        return true;
    }
    if (head == nullptr)
        return false;
    *count = rows.first == 0 ? head[c] : table[c] - head[c];
    return true;
}

// Column c's text bytes in rows, from the loader's sums; false without them.
static bool summed_bytes(const cell_grid &grid, const row_part &rows, std::int32_t c,
                         std::uint64_t *bytes)
{
    return summed_count(grid.column_bytes, grid.head_column_bytes, grid, rows, c, bytes);
}

// The frame a part adds to every line it writes: a page's <tr> goes with the
// first row, its </tr> with the last.
static std::size_t line_frame(const cell_grid &grid, const line_style &style, const row_part &rows)
{
    if (style.format != format_html)
        return 0;
    return (rows.first == 0 ? 5u : 0u) + (rows.end == grid.rows ? 7u : 0u);
}

// A part's html_column_extras for every column, on the scratch list; null
// for delimited text and for a page whose line sizes need a walk of its
// cells.
static std::uint32_t *part_extras(const cell_grid &grid, const line_style &style,
                                  const row_part &rows)
{
    std::uint64_t bytes = 0;
    if (style.format != format_html || !summed_bytes(grid, rows, 0, &bytes))
        return nullptr;
    // The part's lines alone; the whole table's sums stand for its own in
    // the bound on what its counts may reach.
    cell_grid part = grid;
    std::size_t begin = rows.first == 0 ? 0 : grid.split_at;
    std::size_t end = rows.end == grid.rows ? grid.length : grid.split_at;
    part.bytes = grid.bytes + begin;
    part.length = end - begin;
    part.rows = rows.end - rows.first;
    auto *extras = static_cast<std::uint32_t *>(
        scratch_malloc(static_cast<std::size_t>(grid.columns) * sizeof(std::uint32_t)));
    if (extras != nullptr && !html_column_extras(part, style.html, extras)) {
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
static bool sizes_summed(const cell_grid &grid, const line_style &style, const row_part &rows,
                         const std::uint32_t *extras)
{
    std::uint64_t bytes = 0;
    return (style.format == format_delimited || extras != nullptr) &&
           summed_bytes(grid, rows, 0, &bytes);
}

static bool base_sizes(const cell_grid &grid, const line_style &style, const row_part &rows,
                       std::int32_t first_line, std::int32_t lines, const std::uint32_t *extras,
                       std::size_t *sizes)
{
    auto count = static_cast<std::size_t>(rows.end - rows.first);
    std::uint64_t bytes = 0;
    bool summed = sizes_summed(grid, style, rows, extras);
    std::size_t absent = entry_size(style, nullptr, nullptr, true);
    std::size_t frame = line_frame(grid, style, rows);
    for (std::int32_t k = 0; k < lines; ++k) {
        if (!summed || !summed_bytes(grid, rows, first_line + k, &bytes))
            sizes[k] = frame + absent * count;
        else if (extras == nullptr)
            sizes[k] = static_cast<std::size_t>(bytes) + count;
        else
            sizes[k] = frame + 10 * count + static_cast<std::size_t>(bytes) + extras[first_line + k];
    }
    return summed;
}

// The same by walking the rows' cursors when there are no sums.
static void size_lines(const cell_grid &grid, const line_style &style, const row_part &rows,
                       std::int32_t first_line, std::int32_t lines, const std::uint32_t *extras,
                       std::size_t *sizes)
{
    if (base_sizes(grid, style, rows, first_line, lines, extras, sizes))
        return;
    std::size_t absent = entry_size(style, nullptr, nullptr, true);
    const std::size_t *next = grid.row_starts;
    for (std::int32_t j = rows.first; j < rows.end; ++j) {
        fetch_cell(grid, next, j, rows.end);
        const unsigned char *after = nullptr;
        walk_cells(grid, cursor_cell(grid, next[j]), lines, marks(style), &after,
                   [&](std::int32_t k, const unsigned char *text, const unsigned char *end,
                       bool plain) { sizes[k] += entry_size(style, text, end, plain) - absent; });
    }
}

static void measure_part(void *arg)
{
    auto *work = static_cast<group_work *>(arg);
    size_lines(*work->grid, *work->style, work->rows, work->first_line, work->lines, work->extras,
               work->places->size);
}

// How many of the lines from i on fit the staging buffer, their places set.
static std::int32_t measure_group(const cell_grid &grid, group_work *works, std::int32_t parts,
                                  std::int32_t i, bool threads)
{
    // As many lines as an average line's bytes say fit, a quarter more for
    // lines longer than the average; a line that does not fit is measured
    // again with the next group.
    std::size_t average = grid.length / static_cast<std::size_t>(grid.columns) +
                          static_cast<std::size_t>(grid.rows) + 1;
    std::size_t most = std::min(group_bytes / average + group_bytes / average / 4 + 1,
                                static_cast<std::size_t>(group_most));
    auto lines =
        static_cast<std::int32_t>(std::min(static_cast<std::size_t>(grid.columns - i), most));
    for (std::int32_t p = 0; p < parts; ++p) {
        works[p].first_line = i;
        works[p].lines = lines;
    }
    // Sizes from the sums take no second thread.
    if (sizes_summed(grid, *works[0].style, works[0].rows, works[0].extras)) {
        for (std::int32_t p = 0; p < parts; ++p)
            measure_part(&works[p]);
    } else {
        run_parts(measure_part, parts, &works[0], &works[1], threads);
    }
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
    if (at + length + copy_block < places->limit[k]) {
        for (std::size_t i = 0; i < length; i += copy_block)
            std::memcpy(to + i, text + i, copy_block);
    } else {
        copy_exact(to, text, length);
    }
    to[length] = follow;
    places->fill[k] = at + length + 1;
}

// One row's cells for lines [0, lines) of the group; returns the cell after.
// Inlined into both of fill_rows' loops, as it was into the one.
__attribute__((always_inline)) static inline const unsigned char *
fill_row(const cell_grid &grid, const line_style &style, const unsigned char *cell,
         std::int32_t lines, bool last, char *bytes, part_places *places, output_block *line)
{
    const unsigned char *after = nullptr;
    std::int32_t filled = 0;
    if (style.format == format_delimited) {
        char follow = follow_entry(style, last);
        filled = walk_cells(grid, cell, lines, marks(style), &after,
                            [&](std::int32_t k, const unsigned char *text, const unsigned char *end,
                                bool) { put_staged(bytes, places, k, text, end, follow); });
        for (std::int32_t k = filled; k < lines; ++k)
            bytes[places->fill[k]++] = follow;
        return after;
    }
    filled = walk_cells(
        grid, cell, lines, marks(style), &after,
        [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain) {
            put_present(line_block(line, places, k), style, text, end, plain, last);
            places->fill[k] = line->used;
        });
    for (std::int32_t k = filled; k < lines; ++k) {
        put_absent(line_block(line, places, k), style, last);
        places->fill[k] = line->used;
    }
    return after;
}

// A part's rows' cells for the group's lines, each row's cursor moving on;
// with counting, returns the bytes the cursors moved over.
template <bool counting> static std::uint64_t fill_rows(const group_work &work, output_block *line)
{
    cell_grid *grid = work.grid;
    std::size_t *next = grid->row_starts;
    std::uint64_t taken = 0;
    for (std::int32_t j = work.rows.first; j < work.rows.end; ++j) {
        fetch_cell(*grid, next, j, work.rows.end);
        const unsigned char *cell = cursor_cell(*grid, next[j]);
        const unsigned char *after =
            fill_row(*grid, *work.style, cell, work.lines, j == grid->rows - 1, work.group->bytes,
                     work.places, line);
        if constexpr (counting)
            taken += row_taken(*grid, cell, after);
        next[j] = cursor_at(*grid, after);
    }
    return taken;
}

static void fill_part(void *arg)
{
    auto *work = static_cast<group_work *>(arg);
    cell_grid *grid = work->grid;
    const line_style &style = *work->style;
    part_places *places = work->places;
    output_block line;
    line.fd = -1;
    line.bytes = work->group->bytes;
    line.flush_at = SIZE_MAX;
    bool first = work->rows.first == 0;
    bool last = work->rows.end == grid->rows;
    for (std::int32_t k = 0; k < work->lines && first; ++k) {
        begin_line(line_block(&line, places, k), style);
        places->fill[k] = line.used;
    }
    if (work->progress != nullptr && work->progress->consumed != nullptr)
        note_consumed(*work->progress, fill_rows<true>(*work, &line));
    else
        fill_rows<false>(*work, &line);
    for (std::int32_t k = 0; k < work->lines && last; ++k)
        end_line(line_block(&line, places, k), style, grid->rows);
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

// A table of short lines is filled by one thread while the other writes the
// group filled before, into the other staging buffer. extras: a page's for
// all rows, when the caller has them.
static void write_by_groups(cell_grid *grid, const line_style &style, output_block *out,
                            line_group *group, std::int32_t first_line, std::int32_t end_line,
                            std::uint32_t *extras = nullptr)
{
    row_part rows[2];
    std::int32_t parts = row_parts(*grid, rows);
    // Two parts share each line's place in the staging; where lines are short
    // their shares meet in the same cache lines, which the two threads would
    // then pass back and forth: one thread is faster there.
    std::size_t average = grid->length / static_cast<std::size_t>(grid->columns);
    if (average < short_line_bytes) {
        parts = 1;
        rows[0].end = grid->rows;
    }
    bool pipelined = parts == 1 && grid->length >= out->split_from && group->other != nullptr;
    group_work works[2];
    for (std::int32_t p = 0; p < 2; ++p) {
        works[p] = group_work{grid, &style, group, rows[p], &group->parts[p], 0, 0};
        works[p].progress = &out->progress;
    }
    if (extras != nullptr && parts == 1)
        works[0].extras = extras;
    else
        run_parts(find_extras, parts, &works[0], &works[1], out->threads);
    group_step written{nullptr, out, nullptr, 0}; // filled, not yet written
    for (std::int32_t i = first_line; i < end_line;) {
        std::int32_t lines =
            std::min(measure_group(*grid, works, parts, i, out->threads), end_line - i);
        if (lines == 0) {
            write_staged(written);
            written.size = 0;
            write_line_by_cursors(grid, style, out);
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

namespace
{

// One thread's half of the output lines of a table written in halves.
struct half_work {
    cell_grid grid; // the table, the half's cursors for its row table
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
static std::size_t later_cell(const cell_grid &grid, std::size_t cell, std::int32_t k)
{
    auto left = static_cast<std::size_t>(k);
    for (const unsigned char *p = grid.bytes + cell;; p += scan_block) {
        std::uint64_t delimiters = classify_block(p, grid.delimiter).delimiter;
        std::size_t count = bits_set(delimiters);
        if (count >= left) {
            for (; left > 1; --left)
                delimiters &= delimiters - 1;
            return static_cast<std::size_t>(p - grid.bytes + std::countr_zero(delimiters) + 1);
        }
        left -= count;
    }
}

static void write_half(void *arg)
{
    auto *work = static_cast<half_work *>(arg);
    cell_grid *grid = &work->grid;
    for (std::int32_t j = 0; j < grid->rows && work->first_line > 0; ++j)
        grid->row_starts[j] = later_cell(*grid, grid->row_starts[j], work->first_line);
    write_by_groups(grid, *work->style, work->out, work->group, work->first_line, work->end_line,
                    work->extras);
    flush_output(work->out);
}

// The second half's cursors take 8 bytes a row beside the row table: a
// table of more rows is left to the groups' two parts of its rows, so that
// its memory stays near 8 bytes a row.
constexpr std::int32_t halves_rows_most = std::int32_t{1} << 19; // 4 MiB of cursors

// A plain table, written at offsets by two threads, each the groups of one
// half of its lines: the second finds its rows' cursors by counting their
// delimiters, and its place from the first half's line sizes. Each thread
// fills its groups while the other writes, and no two share a line's place
// in a staging buffer. False when its buffers (or a page's extras) cannot
// be had; the row table then still holds the cursors.
static bool write_halves(cell_grid *grid, const line_style &style, output_block *out,
                         line_group *group)
{
    auto rows = static_cast<std::size_t>(grid->rows);
    row_part all{0, grid->rows};
    std::uint32_t *extras = part_extras(*grid, style, all);
    auto *cursors = static_cast<std::size_t *>(scratch_malloc(rows * sizeof(std::size_t)));
    auto *second = static_cast<line_group *>(scratch_calloc(1, sizeof(line_group)));
    auto *buffers = static_cast<char *>(allocate_pages(group_bytes + out->end));
    bool ready = cursors != nullptr && second != nullptr && buffers != nullptr &&
                 (style.format == format_delimited || extras != nullptr);
    if (ready) {
        std::int32_t middle = grid->columns / 2;
        flush_output(out);
        out->at_offset = true;
        std::uint64_t offset = out->offset;
        for (std::int32_t k = 0; k < middle; ++k) {
            std::size_t size = 0;
            base_sizes(*grid, style, all, k, 1, extras, &size);
            offset += size;
        }
        std::memcpy(cursors, grid->row_starts, rows * sizeof(std::size_t));
        output_block after = *out;
        after.bytes = buffers + group_bytes;
        after.offset = offset;
        second->bytes = buffers;
        char *other = group->other;
        group->other = nullptr; // no third thread
        half_work halves[2] = {{*grid, &style, out, group, 0, middle, extras},
                               {*grid, &style, &after, second, middle, grid->columns, extras}};
        halves[1].grid.row_starts = cursors;
        for (half_work &half : halves)
            half.grid.split_rows = 0; // each half's rows on its own thread
        run_both(write_half, &halves[0], &halves[1], out->threads);
        group->other = other;
        take_failure(out, after);
        out->offset = after.offset;
    }
    release_pages(buffers);
    scratch_free(second);
    scratch_free(cursors);
    scratch_free(extras);
    return ready;
}

// Tall tables written at offsets: the bytes of each output line are summed
// first, so every line's place in the result is known; then one pass over
// the rows appends each cell to its line's lane, and a full lane is written
// at its offset. Each part of the rows has its own lanes.
constexpr std::size_t lanes_bytes = std::size_t{8} << 20; // a part's
constexpr std::size_t lane_most = std::size_t{1} << 20;

namespace
{

struct lanes_work {
    const cell_grid *grid = nullptr;
    const line_style *style = nullptr;
    row_part rows;
    const unsigned char *begin = nullptr; // the first row's line
    std::size_t *sizes = nullptr;         // each output line's bytes from these rows
    output_block *lanes = nullptr;
    bool units = false; // a UTF-16 result's lanes
    const progress_sink *progress = nullptr;
};

} // namespace

// A part's rows in order from its first line, without the row table:
// take(k, text, end, plain, last) for each cell, absent(k, last) for each
// cell a row lacks, last saying the row is the table's last. The lines
// walked are told to told, when given, as consumed.
template <typename T, typename A>
static void walk_rows(const lanes_work &work, const progress_sink *told, T take, A absent)
{
    const cell_grid &grid = *work.grid;
    const unsigned char *line = work.begin;
    const unsigned char *reported = line;
    for (std::int32_t j = work.rows.first; j < work.rows.end; ++j) {
        bool last = j == grid.rows - 1;
        const unsigned char *ended = line;
        const unsigned char *after = nullptr;
        std::int32_t filled = walk_cells(
            grid, first_cell_at(grid, line), grid.columns, marks(*work.style), &after,
            [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain) {
                take(k, text, end, plain, last);
                ended = end;
            });
        for (std::int32_t k = filled; k < grid.columns; ++k)
            absent(k, last);
        line = line_after(grid, ended);
        if (told != nullptr && static_cast<std::size_t>(line - reported) >= consumed_step) {
            note_consumed(*told, static_cast<std::size_t>(line - reported));
            reported = line;
        }
    }
    if (told != nullptr)
        note_consumed(*told, static_cast<std::size_t>(line - reported));
}

// A UTF-16 result's lines (units) take two bytes for each unit of the
// internal form, whose every byte but the continuation bytes stands for one:
// the loader counted those with its sums, else they are counted cell by cell.
static void size_lanes(void *arg)
{
    auto *work = static_cast<lanes_work *>(arg);
    const line_style &style = *work->style;
    std::size_t *sizes = work->sizes;
    // Byte sums without their continuation counts size nothing here.
    cell_grid grid = *work->grid;
    if (work->units && grid.column_continuations == nullptr)
        grid.column_bytes = nullptr;
    if (work->units && grid.head_column_continuations == nullptr)
        grid.head_column_bytes = nullptr;
    std::uint32_t *extras = part_extras(grid, style, work->rows);
    bool sized = base_sizes(grid, style, work->rows, 0, grid.columns, extras, sizes);
    scratch_free(extras);
    if (!sized) {
        std::size_t absent = entry_size(style, nullptr, nullptr, true);
        walk_rows(
            *work, nullptr,
            [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain,
                bool) {
                auto length = static_cast<std::size_t>(end - text);
                std::size_t continuing = work->units ? length - utf16_units(text, length) : 0;
                sizes[k] += entry_size(style, text, end, plain) - absent - continuing;
            },
            [](std::int32_t, bool) {});
    }
    std::uint64_t continuing = 0;
    for (std::int32_t k = 0; k < grid.columns && work->units; ++k) {
        if (sized && summed_count(grid.column_continuations, grid.head_column_continuations, grid,
                                  work->rows, k, &continuing))
            sizes[k] -= static_cast<std::size_t>(continuing);
        sizes[k] *= 2;
    }
}

static void fill_lanes(void *arg)
{
    auto *work = static_cast<lanes_work *>(arg);
    const cell_grid &grid = *work->grid;
    const line_style &style = *work->style;
    output_block *lanes = work->lanes;
    for (std::int32_t k = 0; k < grid.columns && work->rows.first == 0; ++k)
        begin_line(&lanes[k], style);
    walk_rows(
        *work, work->progress,
        [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain,
            bool last) { put_present(&lanes[k], style, text, end, plain, last); },
        [&](std::int32_t k, bool last) { put_absent(&lanes[k], style, last); });
    for (std::int32_t k = 0; k < grid.columns; ++k) {
        if (work->rows.end == grid.rows)
            end_line(&lanes[k], style, grid.rows);
        flush_output(&lanes[k]);
    }
}

// The lines go after what out holds (a page's head), which is written first;
// out then writes at the offset after the last line. False when the lanes
// cannot be had: the caller then writes in sequence.
static bool write_by_lanes(const cell_grid *grid, const line_style &style, output_block *out)
{
    auto columns = static_cast<std::size_t>(grid->columns);
    std::size_t lane_size = std::min(lanes_bytes / columns / 4096 * 4096, lane_most);
    row_part rows[2];
    std::int32_t parts = row_parts(*grid, rows);
    auto lanes_count = columns * static_cast<std::size_t>(parts);
    auto *sizes = static_cast<std::size_t *>(scratch_calloc(lanes_count, sizeof(std::size_t)));
    auto *lanes = static_cast<output_block *>(scratch_calloc(lanes_count, sizeof(output_block)));
    auto *bytes = static_cast<char *>(allocate_pages(lanes_count * lane_size));
    // A UTF-16 result's lanes each cut their own units, each part's into its
    // own room.
    bool units = out->encoder != nullptr;
    auto *encoders =
        units ? static_cast<utf16_encoder *>(scratch_calloc(lanes_count, sizeof(utf16_encoder)))
              : nullptr;
    auto *unit_rooms = static_cast<unsigned char *>(
        units ? allocate_pages(2 * lane_size * static_cast<std::size_t>(parts)) : nullptr);
    bool ready = sizes != nullptr && lanes != nullptr && bytes != nullptr &&
                 (!units || (encoders != nullptr && unit_rooms != nullptr));
    if (ready) {
        lanes_work works[2];
        for (std::int32_t p = 0; p < parts; ++p) {
            auto first = static_cast<std::size_t>(p) * columns;
            const unsigned char *begin = grid->bytes + (p == 0 ? 0 : grid->split_at);
            works[p] =
                lanes_work{grid, &style, rows[p], begin, sizes + first, lanes + first, units};
            works[p].progress = &out->progress;
        }
        run_parts(size_lanes, parts, &works[0], &works[1], out->threads);
        flush_output(out);
        std::uint64_t offset = out->offset;
        for (std::size_t c = 0; c < columns; ++c) {
            for (std::size_t p = 0; p < static_cast<std::size_t>(parts); ++p) {
                std::size_t lane = p * columns + c;
                lanes[lane] = output_block{out->fd,   bytes + lane * lane_size,
                                           0,         lane_size - output_slack,
                                           lane_size, true,
                                           offset,    false};
                lanes[lane].progress = out->progress;
                if (units) {
                    encoders[lane].order = out->encoder->order;
                    lanes[lane].encoder = &encoders[lane];
                    lanes[lane].unit_room = unit_rooms + p * 2 * lane_size;
                }
                offset += sizes[lane];
            }
        }
        run_parts(fill_lanes, parts, &works[0], &works[1], out->threads);
        for (std::size_t lane = 0; lane < lanes_count; ++lane)
            take_failure(out, lanes[lane]);
        out->at_offset = true;
        out->offset = offset;
    }
    release_pages(unit_rooms);
    release_pages(bytes);
    scratch_free(encoders);
    scratch_free(lanes);
    scratch_free(sizes);
    return ready;
}

// Blocks of rows transposed one at a time into a spill file, each block's
// run holding its part of every output line, in order and ended by LF (a
// cell's text never holds one); the result then takes line i from every run
// in turn. The runs are delimited text whatever the result's format: a page
// turns each run's entries into cells as it takes them.
struct spill_runs {
    int fd = -1;
    std::uint64_t *starts = nullptr; // run b is [starts[b], starts[b + 1])
    std::size_t count = 0;
    std::size_t capacity = 0;
};

static bool add_run(spill_runs *runs, std::uint64_t end)
{
    if (runs->count + 2 > runs->capacity) {
        std::size_t capacity = runs->capacity * 2 + 8;
        void *more = scratch_realloc(runs->starts, capacity * sizeof(std::uint64_t));
        if (more == nullptr)
            return false;
        runs->starts = static_cast<std::uint64_t *>(more);
        runs->capacity = capacity;
    }
    runs->starts[runs->count + 1] = end;
    ++runs->count;
    return true;
}

// A spill that found no room in one place is tried in the next, its first
// place's failure forgotten; memory's is not, since every place needs it.
static void clear_failure(output_block *out)
{
    out->failed = false;
    out->error = 0;
}

static void release_runs(spill_runs *runs)
{
    scratch_free(runs->starts);
    if (runs->fd >= 0)
        close_scratch_file(runs->fd);
    *runs = spill_runs{};
}

// Where the block of rows from begin ends: after the line end that keeps it
// within most_bytes and most_rows (or after the first, for a longer line),
// or at the data's end. The final line is never cut off alone when it has
// no line end, so every block but the last ends with one.
static std::size_t block_end(const cell_grid &grid, std::size_t begin, std::size_t most_bytes,
                             std::size_t most_rows)
{
    const unsigned char *data_end = grid.bytes + grid.length;
    const unsigned char *start = grid.bytes + begin;
    const unsigned char *end = start;
    for (std::size_t rows = 0; rows == 0 || (rows < most_rows && end < data_end); ++rows) {
        auto *line_end = static_cast<const unsigned char *>(
            std::memchr(end, grid.line_end, static_cast<std::size_t>(data_end - end)));
        if (line_end == nullptr)
            return grid.length;
        if (rows > 0 && static_cast<std::size_t>(line_end + 1 - start) > most_bytes)
            break;
        end = line_end + 1;
    }
    if (std::memchr(end, grid.line_end, static_cast<std::size_t>(data_end - end)) == nullptr)
        return grid.length;
    return static_cast<std::size_t>(end - grid.bytes);
}

// Column sums widened to columns entries, the new ones zero; null when that
// cannot be had.
static std::uint32_t *widened_sums(std::uint32_t *sums, std::size_t had, std::size_t columns)
{
    if (sums == nullptr)
        return nullptr;
    void *more = scratch_realloc(sums, columns * sizeof(std::uint32_t));
    if (more == nullptr) {
        scratch_free(sums);
        return nullptr;
    }
    auto *widened = static_cast<std::uint32_t *>(more);
    std::fill(widened + had, widened + columns, 0);
    return widened;
}

// The block's own grid, with every column of the table; its sums, when it
// has them, cover them all.
static bool load_block(const cell_grid &grid, std::size_t begin, std::size_t end,
                       std::size_t most_columns, const output_block &result, cell_grid *block)
{
    load_limits limits;
    limits.most_columns = most_columns;
    limits.split_from = result.split_from;
    limits.threads = result.threads;
    if (load_table_within(grid.bytes + begin, end - begin, grid.delimiter, true, limits, block) !=
        load_done)
        return false;
    if (block->columns < grid.columns) {
        auto had = static_cast<std::size_t>(block->columns);
        auto columns = static_cast<std::size_t>(grid.columns);
        block->column_bytes = widened_sums(block->column_bytes, had, columns);
        block->head_column_bytes = widened_sums(block->head_column_bytes, had, columns);
        if (block->column_bytes == nullptr) {
            scratch_free(block->head_column_bytes);
            block->head_column_bytes = nullptr;
        }
    }
    block->columns = grid.columns;
    return true;
}

// The spill is written through the main block, which holds nothing until
// the runs are taken: result's bytes have been set aside, and it takes on
// what failed.
static bool spill_blocks(const cell_grid &grid, std::uint64_t budget, spill_runs *runs,
                         line_group *group, output_block *result)
{
    line_style runs_style;
    runs_style.delimiter = grid.delimiter;
    output_target spill;
    spill.fd = runs->fd;
    spill.split_from = result->split_from;
    spill.threads = result->threads;
    output_block to = main_output(spill);
    // Half for the block's bytes, which its passes read again and again; an
    // eighth each for its row table and its column sums. A block holds a row
    // at least; its row table also holds the two ends.
    std::size_t most_bytes = budget / 2;
    std::size_t most_rows = std::max<std::uint64_t>(budget / 8 / sizeof(std::size_t), 3);
    std::size_t most_columns = budget / 8 / sizeof(std::uint32_t);
    runs->starts = static_cast<std::uint64_t *>(scratch_calloc(8, sizeof(std::uint64_t)));
    runs->capacity = runs->starts == nullptr ? 0 : 8;
    bool spilled = runs->starts != nullptr;
    for (std::size_t begin = 0; spilled && begin < grid.length;) {
        std::size_t end = block_end(grid, begin, most_bytes, most_rows - 2);
        cell_grid block;
        spilled = load_block(grid, begin, end, most_columns, *result, &block);
        if (spilled) {
            start_cursors(&block, row_part{0, block.rows});
            write_by_groups(&block, runs_style, &to, group, 0, block.columns);
            flush_output(&to);
            release_table(&block);
            take_failure(result, to);
            spilled = !to.failed && add_run(runs, static_cast<std::uint64_t>(to.offset));
            note_consumed(result->progress, end / 2 - begin / 2);
        }
        begin = end;
    }
    if (!spilled)
        note_no_memory(result); // unless a write failed first
    return spilled;
}

// Where the result stands in one run: its bytes [at, filled) in memory
// (then zero padding), whole cells up to whole, and the run's bytes
// [next, end) of the spill still to read. A mapped spill is all in memory;
// otherwise the run is read in pieces into buffer, capacity bytes long.
struct run_reader {
    const unsigned char *bytes = nullptr;
    unsigned char *buffer = nullptr; // scratch, with input_padding more
    std::size_t capacity = 0;
    std::size_t at = 0;
    std::size_t filled = 0;
    std::size_t whole = 0;
    std::uint64_t next = 0;
    std::uint64_t end = 0;
};

// Keeps the bytes not yet taken and reads what follows them. A cell longer
// than the buffer doubles it. False, the failure noted in out, when the run
// has no more or they cannot be had.
static bool refill(int fd, unsigned char delimiter, run_reader *r, output_block *out)
{
    std::size_t kept = r->filled - r->at;
    if (r->next == r->end) {
        errno = EIO;
        note_failed_write(out);
        return false;
    }
    if (kept == r->capacity) {
        std::size_t capacity = 2 * r->capacity;
        void *more = scratch_realloc(r->buffer, capacity + input_padding);
        if (more == nullptr) {
            note_no_memory(out);
            return false;
        }
        r->buffer = static_cast<unsigned char *>(more);
        r->bytes = r->buffer;
        r->capacity = capacity;
    }
    std::memmove(r->buffer, r->buffer + r->at, kept);
    auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(r->capacity - kept, r->end - r->next));
    if (!set_cursor(fd, r->next) || !read_exactly(fd, r->buffer + kept, wanted)) {
        note_failed_write(out);
        return false;
    }
    r->next += wanted;
    r->at = 0;
    r->filled = kept + wanted;
    std::memset(r->buffer + r->filled, 0, input_padding);
    r->whole = r->filled;
    while (r->whole > 0 && r->buffer[r->whole - 1] != '\n' && r->buffer[r->whole - 1] != delimiter)
        --r->whole;
    return true;
}

// Where a run's reader stands in the spill, whether mapped or read in pieces.
static std::uint64_t spill_position(const run_reader &r)
{
    return r.next - r.filled + r.at;
}

// Taking the runs back consumes the half of the table that spilling did not
// tell: as much of it as the runs' bytes taken so far stand for. Told about
// once a block of the result, and at its end.
struct runs_taken {
    const spill_runs *runs = nullptr;
    std::uint64_t length = 0;  // the table's
    std::uint64_t told = 0;    // of the half
    std::uint64_t told_at = 0; // the result's bytes when last told
};

static void tell_runs_taken(runs_taken *taken, const run_reader *readers, output_block *out,
                            bool end)
{
    std::uint64_t at = out->offset + out->used;
    if (out->progress.consumed == nullptr || (!end && at - taken->told_at < consumed_step))
        return;
    const spill_runs &runs = *taken->runs;
    std::uint64_t spill_taken = 0;
    for (std::size_t b = 0; b < runs.count; ++b)
        spill_taken += spill_position(readers[b]) - runs.starts[b];
    std::uint64_t spilled = runs.starts[runs.count];
    std::uint64_t half = taken->length - taken->length / 2;
    std::uint64_t now = spill_taken >= spilled
                            ? half
                            : static_cast<std::uint64_t>(static_cast<double>(half) *
                                                         static_cast<double>(spill_taken) /
                                                         static_cast<double>(spilled));
    if (now > taken->told) {
        note_consumed(out->progress, now - taken->told);
        taken->told = now;
    }
    taken->told_at = at;
}

// Takes line i of every run, from each run's next line; a run that cannot
// be read is a failure noted in out.
static void take_line(const line_style &style, int fd, run_reader *readers, std::size_t runs,
                      output_block *out, runs_taken *taken)
{
    begin_line(out, style);
    for (std::size_t b = 0; b < runs; ++b) {
        tell_runs_taken(taken, readers, out, false);
        run_reader *r = &readers[b];
        bool last = b + 1 == runs;
        if (style.format == format_delimited) {
            for (;;) {
                if (r->at == r->filled && !refill(fd, style.delimiter, r, out))
                    return;
                const unsigned char *line = r->bytes + r->at;
                auto *end =
                    static_cast<const unsigned char *>(std::memchr(line, '\n', r->filled - r->at));
                std::size_t size =
                    end == nullptr ? r->filled - r->at : static_cast<std::size_t>(end - line);
                put_bytes(out, reinterpret_cast<const char *>(line), size);
                r->at += size;
                if (end != nullptr)
                    break;
            }
            ++r->at;
            put_bytes(out, last ? "\n" : reinterpret_cast<const char *>(&style.delimiter), 1);
        } else {
            // A refill may still hold no whole cell: it is checked again.
            const unsigned char *cell = r->bytes + r->at;
            const unsigned char *whole = r->bytes + r->whole;
            for (;;) {
                if (cell >= whole) {
                    r->at = static_cast<std::size_t>(cell - r->bytes);
                    if (!refill(fd, style.delimiter, r, out))
                        return;
                    cell = r->bytes + r->at;
                    whole = r->bytes + r->whole;
                    continue;
                }
                cell = put_html_cell(out, style.html, cell);
                flush_if_full(out);
                if (*cell == '\n')
                    break;
                ++cell;
            }
            r->at = static_cast<std::size_t>(cell + 1 - r->bytes);
        }
    }
    end_line(out, style, 1);
}

// Mapped whole where the limits leave room for it beside the budget (the
// spill then carries its own zero padding, so that it maps on every
// platform whatever its size); null otherwise, and the runs are read in
// pieces.
static const unsigned char *map_spill(const spill_runs &runs, const output_target &to,
                                      file_mapping *mapping)
{
    static const char zeros[input_padding] = {};
    std::uint64_t size = runs.starts[runs.count] + input_padding;
    if (to.room < to.budget || to.room - to.budget < size || size > SIZE_MAX ||
        !write_exactly_at(runs.fd, zeros, input_padding, runs.starts[runs.count]))
        return nullptr;
    const unsigned char *spill = map_file(runs.fd, static_cast<std::size_t>(size), 0, mapping);
    if (spill != nullptr && !hold_scratch_mapping(*mapping)) {
        unmap_file(mapping);
        return nullptr;
    }
    return spill;
}

static void release_readers(run_reader *readers, std::size_t runs)
{
    for (std::size_t b = 0; readers != nullptr && b < runs; ++b)
        scratch_free(readers[b].buffer);
    scratch_free(readers);
}

// The runs' readers over the mapped spill, or each with a buffer of its
// share of half the budget (512 bytes at least, a MiB at most), all taken
// before the first line, so that a run without memory for them writes
// nothing of its result. Null when they cannot be had.
static run_reader *start_readers(const spill_runs &runs, const unsigned char *spill,
                                 std::uint64_t budget)
{
    auto *readers = static_cast<run_reader *>(scratch_calloc(runs.count, sizeof(run_reader)));
    if (readers == nullptr)
        return nullptr;
    std::uint64_t share = std::clamp<std::uint64_t>(budget / 2 / runs.count, 512, 1u << 20);
    for (std::size_t b = 0; b < runs.count; ++b) {
        run_reader *r = &readers[b];
        r->next = runs.starts[b];
        r->end = runs.starts[b + 1];
        r->capacity = static_cast<std::size_t>(share);
        if (spill != nullptr) {
            r->bytes = spill;
            r->at = static_cast<std::size_t>(r->next);
            r->filled = r->whole = static_cast<std::size_t>(r->end);
            r->next = r->end;
            continue;
        }
        r->buffer = static_cast<unsigned char *>(scratch_malloc(r->capacity + input_padding));
        r->bytes = r->buffer;
        if (r->buffer == nullptr) {
            release_readers(readers, b);
            return nullptr;
        }
    }
    return readers;
}

// Listed, so that a run cut short closes it too.
static int open_listed_spill(const char *beside, int place)
{
    int fd = open_spill(beside, place);
    if (fd >= 0 && !hold_scratch_file(fd)) {
        close_file(fd);
        return -1;
    }
    return fd;
}

static void write_spilled(const cell_grid &grid, const line_style &style, const output_target &to,
                          output_block *out, line_group *group)
{
    // What out holds (a page's head) waits beside the spill, which is written
    // through the same block: nothing of the result goes out before the runs
    // and their readers are had.
    char held[2048];
    std::size_t held_size = out->used;
    if (held_size > sizeof held)
        flush_output(out);
    else
        std::memcpy(held, out->bytes, held_size);
    out->used = 0;
    if (out->failed)
        return;
    spill_runs runs;
    file_mapping mapping;
    bool spilled = false;
    // A place without room (missing, not writable, full) gives way to the
    // next.
    for (int place = 0; place < spill_places && !spilled && !out->no_memory; ++place) {
        release_runs(&runs);
        clear_failure(out);
        runs.fd = open_listed_spill(to.spill_beside, place);
        if (runs.fd < 0)
            note_failed_write(out);
        else
            spilled = spill_blocks(grid, to.budget, &runs, group, out);
    }
    const unsigned char *spill = spilled ? map_spill(runs, to, &mapping) : nullptr;
    run_reader *readers = spilled ? start_readers(runs, spill, to.budget) : nullptr;
    if (spilled && readers == nullptr)
        note_no_memory(out);
    if (held_size <= sizeof held) {
        std::memcpy(out->bytes, held, held_size);
        out->used = held_size;
    }
    runs_taken taken{&runs, grid.length, 0, out->offset};
    for (std::int32_t i = 0; readers != nullptr && i < grid.columns && !out->failed; ++i)
        take_line(style, runs.fd, readers, runs.count, out, &taken);
    if (readers != nullptr)
        tell_runs_taken(&taken, readers, out, true);
    release_readers(readers, runs.count);
    unmap_scratch(&mapping);
    release_runs(&runs);
}

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
        grid->columns >= 2 && grid->length >= to.split_from && grid->rows <= halves_rows_most &&
        write_halves(grid, style, out, &group))
        return;
    write_by_groups(grid, style, out, &group, 0, grid->columns);
}

static line_style style_for(const cell_grid &grid, result_format format, charset_id charset)
{
    line_style style;
    style.format = format;
    style.delimiter = grid.delimiter;
    if (format == format_html)
        style.html = html_style_for(charset, grid.delimiter);
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
    flush_output(&out);
    if (out.at_offset && to.keep_cursor && !out.failed && !set_cursor(to.fd, out.offset))
        note_failed_write(&out);
    if (out.failed && why != nullptr)
        *why = failure_report{out.no_memory ? failure::array_memory : failure::write, out.error};
    return !out.failed;
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
bool result_bytes(const cell_grid &grid, result_format format, charset_id charset, bool transposed,
                  bool units, std::uint64_t *bytes)
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
        html_style style = html_style_for(charset, grid.delimiter);
        bool found = extras != nullptr && html_column_extras(grid, style, extras);
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
    return write_view(nullptr, grid, format, to, why);
}

bool write_replace(cell_grid *grid, result_format format, const output_target &to,
                   failure_report *why)
{
    return write_view(grid, *grid, format, to, why);
}
