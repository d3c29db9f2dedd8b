#include "table/cell_grid.h"

#include "platform/platform.h"
#include "table/byte_scans.h"
#include "table/charset.h"
#include "table/input_file.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace
{

struct table_scan {
    std::size_t lines = 0;  // line ends
    bool any_cr = false;    // a CR somewhere in the data
    std::size_t widest = 1; // the most cells any line fills
    std::size_t last = 0;   // cells the final line (after the last line end) fills
    bool any_nul = false;   // a NUL somewhere in the data
    std::size_t fewest_delimiters = SIZE_MAX; // over the lines that are rows
    std::size_t most_delimiters = 0;
    bool refused = false; // the row table could not grow
    // When asked, where the first block that is not plain ASCII starts (a
    // byte of 80..FF, ESC or NUL, also among the bytes past the data that
    // the last block reads); SIZE_MAX: none.
    std::size_t plain_until = SIZE_MAX;
};

// Each column's text bytes, summed while no NUL or CR has been seen (cells
// then lie between delimiters and line ends). The scan counts in 32 bits;
// a part of 2 * fold_bytes_most or more folds them into 64-bit totals
// before they gather fold_bytes_most bytes. When asked, each column's
// continuation bytes (80..BF) are counted beside them (never in a table
// that keeps totals): a UTF-16 result's lines are sized in units, of which
// these stand for none.
struct column_sums {
    std::uint32_t *bytes = nullptr;         // capacity entries, or null: not wanted, or given up
    std::uint32_t *continuations = nullptr; // capacity entries beside bytes, or null
    std::size_t capacity = 0;
    std::uint64_t *byte_totals = nullptr; // once folded: what bytes held, totals_capacity entries
    std::size_t totals_capacity = 0;
    std::size_t most = SIZE_MAX;    // past this many columns the sums are given up
    std::size_t column = 0;         // the current line's cell
    std::size_t cell_start = 0;     // where that cell's text starts
    std::size_t continued = 0;      // continuation bytes before the current block
    std::size_t cell_continued = 0; // those before the cell's start
};

static void give_up_sums(column_sums *sums)
{
    scratch_free(sums->bytes);
    scratch_free(sums->continuations);
    scratch_free(sums->byte_totals);
    sums->bytes = nullptr;
    sums->continuations = nullptr;
    sums->byte_totals = nullptr;
    sums->totals_capacity = 0;
}

// Growths of counts from this size take their pages in one call: a wide
// table's columns took a fault for every page of them as they were zeroed.
constexpr std::size_t prepared_growth = std::size_t{64} << 10;

// counts (the sums' or their totals') grown from had to capacity entries,
// the new ones zero; false, leaving it as it was, when there is no memory.
template <typename T> static bool grow_counts(T **counts, std::size_t had, std::size_t capacity)
{
    void *more = scratch_realloc(*counts, capacity * sizeof(T));
    if (more == nullptr)
        return false;
    *counts = static_cast<T *>(more);
    std::size_t grown = (capacity - had) * sizeof(T);
    if (grown >= prepared_growth)
        prepare_pages(*counts + had, grown);
    std::fill(*counts + had, *counts + capacity, 0);
    return true;
}

// Room for column `column`, zero-filled; false once the sums are given up.
static bool room_for_column(column_sums *sums, std::size_t column)
{
    if (column < sums->capacity)
        return true;
    std::size_t capacity = sums->capacity * 2 > column ? sums->capacity * 2 : column + 1;
    capacity = capacity < sums->most ? capacity : sums->most;
    bool grown = capacity > column && grow_counts(&sums->bytes, sums->capacity, capacity) &&
                 (sums->continuations == nullptr ||
                  grow_counts(&sums->continuations, sums->capacity, capacity));
    if (!grown) {
        give_up_sums(sums);
        return false;
    }
    sums->capacity = capacity;
    return true;
}

// The byte counts added into the totals and zeroed. Totals take twice the
// counts' memory, so a table folds no more than half its sums' columns.
static void fold_counts(column_sums *sums)
{
    std::size_t capacity = sums->capacity;
    if (capacity > sums->totals_capacity &&
        (capacity > sums->most / 2 ||
         !grow_counts(&sums->byte_totals, sums->totals_capacity, capacity))) {
        give_up_sums(sums);
        return;
    }
    sums->totals_capacity = std::max(sums->totals_capacity, capacity);
    for (std::size_t c = 0; c < capacity; ++c) {
        sums->byte_totals[c] += sums->bytes[c];
        sums->bytes[c] = 0;
    }
}

// The counts folded at `at`, a block's start inside the scan: the text the
// cell under way holds before it is counted now, so that what the counts
// gather after stays within the bytes that follow.
static void fold_sums_at(column_sums *sums, std::size_t at)
{
    if (!room_for_column(sums, sums->column))
        return;
    sums->bytes[sums->column] += static_cast<std::uint32_t>(at - sums->cell_start);
    sums->cell_start = at;
    fold_counts(sums);
}

// Where a part's scan pauses, every step bytes (a multiple of scan_block):
// to fold its sums before they gather fold bytes, and to stop once the
// other part has refused the table (stop set).
struct scan_pauses {
    std::size_t step = SIZE_MAX;
    std::size_t fold = SIZE_MAX;
    std::size_t folded = 0; // where the sums were last folded
    const std::atomic<bool> *stop = nullptr;
    // The last pause at or before middle, and the lines before it: where
    // the join may cut the part to find its row starts again on two threads.
    std::size_t middle = 0;
    std::size_t mark = 0;
    std::size_t mark_lines = 0;
};

// False when the scan is to stop.
static bool pause_scan(scan_pauses *pauses, column_sums *sums, std::size_t at)
{
    if (sums->bytes != nullptr && at - pauses->folded + pauses->step > pauses->fold) {
        fold_sums_at(sums, at);
        pauses->folded = at;
    }
    return pauses->stop == nullptr || !pauses->stop->load(std::memory_order_relaxed);
}

// At bound, the end of the bytes or a pause: whether the scan goes on to a
// new bound; a scan stopped at a pause is refused.
static bool scan_resumes(scan_pauses *pauses, column_sums *sums, std::size_t at, std::size_t length,
                         std::size_t *bound, table_scan *scan)
{
    if (at >= length)
        return false;
    if (at <= pauses->middle) {
        pauses->mark = at;
        pauses->mark_lines = scan->lines;
    }
    if (!pause_scan(pauses, sums, at)) {
        scan->refused = true;
        return false;
    }
    *bound = std::min(length, at + pauses->step);
    return true;
}

// Bits counted by the scan: its AVX2 build has the instruction itself.
template <bool wide> static inline std::size_t count_bits(std::uint64_t x)
{
    if constexpr (wide)
        return static_cast<std::size_t>(__builtin_popcountll(x));
    else
        return bits_set(x);
}

// The cell ends among ends up to its first line end (lf marks those), that
// one included; all of them when there is none.
static inline std::uint64_t line_cells(std::uint64_t ends, std::uint64_t lf)
{
    std::uint64_t line_ends = lf & ends;
    return ends & (((line_ends & (0 - line_ends)) << 1) - 1);
}

// Adds the text bytes of the cells that ends closes (a block's cell ends,
// the block at `at`, its line ends among them lf) into sums from *column on,
// a line end starting column 0 again, a line's cells at a time while they
// stay below column room; returns the ends left then (0: all added). The
// room is checked once for a line's share of the block, so that the loop
// over its cells, which the load and every band pay per cell, tests
// nothing else.
template <bool wide = false>
static inline std::uint64_t add_cell_bytes(std::uint32_t *sums, std::size_t room,
                                           std::uint64_t ends, std::uint64_t lf, std::size_t at,
                                           std::size_t *column, std::size_t *cell_start)
{
    std::size_t c = *column;
    // Positions from the block's start, a cell begun before it below zero:
    // the per-cell loop then adds no block offset.
    auto start = static_cast<std::ptrdiff_t>(*cell_start - at);
    while (ends != 0) {
        std::uint64_t cells = line_cells(ends, lf);
        if (c + count_bits<wide>(cells) > room)
            break;
        ends ^= cells;
        bool line_ended = (cells & lf) != 0;
        for (; cells != 0; cells &= cells - 1) {
            auto end = static_cast<std::ptrdiff_t>(std::countr_zero(cells));
            sums[c++] += static_cast<std::uint32_t>(end - start);
            start = end + 1;
        }
        c = line_ended ? 0 : c;
    }
    *column = c;
    *cell_start = at + static_cast<std::size_t>(start);
    return ends;
}

// The cells of a line's share that passes the sums' room, once it has grown.
[[gnu::noinline]] static void add_wider_cells(column_sums *sums, std::uint64_t ends,
                                              std::uint64_t lf, std::size_t at)
{
    while (ends != 0 && room_for_column(sums, sums->column + bits_set(line_cells(ends, lf)) - 1))
        ends = add_cell_bytes(sums->bytes, sums->capacity, ends, lf, at, &sums->column,
                              &sums->cell_start);
}

// The cells and their continuation bytes, for a UTF-16 result: a cell at a
// time.
[[gnu::noinline]] static void add_cell_units(column_sums *sums, std::uint64_t ends,
                                             std::uint64_t lf, std::size_t at, std::uint64_t cont)
{
    for (; ends != 0; ends &= ends - 1) {
        std::size_t end = at + static_cast<std::size_t>(std::countr_zero(ends));
        if (!room_for_column(sums, sums->column))
            return;
        sums->bytes[sums->column] += static_cast<std::uint32_t>(end - sums->cell_start);
        sums->cell_start = end + 1;
        std::size_t continued = sums->continued + bits_set(cont & ((ends & (0 - ends)) - 1));
        sums->continuations[sums->column] +=
            static_cast<std::uint32_t>(continued - sums->cell_continued);
        sums->cell_continued = continued;
        bool line_end = (lf & ends & (0 - ends)) != 0;
        sums->column = line_end ? 0 : sums->column + 1;
    }
    sums->continued += bits_set(cont);
}

// The cells that the block at `at` ends (ends, lf among them); cont marks
// its continuation bytes when those are counted. Only a line's share past
// the sums' room leaves the scan's own loop.
template <bool wide>
static inline void sum_cells(column_sums *sums, std::uint64_t ends, std::uint64_t lf,
                             std::size_t at, std::uint64_t cont)
{
    if (sums->continuations != nullptr) {
        add_cell_units(sums, ends, lf, at, cont);
        return;
    }
    ends = add_cell_bytes<wide>(sums->bytes, sums->capacity, ends, lf, at, &sums->column,
                                &sums->cell_start);
    if (ends != 0)
        add_wider_cells(sums, ends, lf, at);
}

static void count_delimiters(table_scan *scan, std::size_t delimiters)
{
    scan->fewest_delimiters =
        delimiters < scan->fewest_delimiters ? delimiters : scan->fewest_delimiters;
    scan->most_delimiters = delimiters > scan->most_delimiters ? delimiters : scan->most_delimiters;
}

// Where the row starts go while they are found: null when not wanted.
struct row_table {
    std::size_t *starts = nullptr;
    std::size_t capacity = 0;
    std::size_t most = SIZE_MAX; // entries it may grow to
    bool over_most = false;      // refused for passing most, not for want of memory
    bool optional = false;       // a second part's: given up when it cannot grow
};

// What the byte just before a block was; the buffer's start counts as a line
// start. A line end is an LF, or a CR in a file of CR line ends.
struct scan_carry {
    std::uint64_t after_gap = 1;  // the byte ended text (LF, NUL or CR)
    std::uint64_t line_start = 1; // the byte was a line end
    std::uint64_t gap_run = 0;    // a run of NUL and CR bytes from a line start reaches the block
};

// The bytes of a block that open cells, beyond its delimiters (each of which
// opens one).
struct block_openers {
    std::uint64_t starts = 0;      // text right after LF, NUL or CR: opens a cell
    std::uint64_t leading = 0;     // delimiter with nothing but NUL and CR before it in its
                                   // line: opens the empty first cell too
    std::uint64_t line_starts = 0; // the first byte of each line
};

} // namespace

// A CR is read as a NUL: it ends text but no line. That holds in every file
// with an LF; in a file with CRs and no LF, classify_lines has already made
// them the line ends (k.lf).
static block_openers find_openers(const block_classes &k, scan_carry *carry)
{
    std::uint64_t gap = k.nul | k.cr;
    std::uint64_t ends = gap | k.lf;
    std::uint64_t text = ~(ends | k.delimiter);
    std::uint64_t line_starts = k.lf << 1 | carry->line_start;
    block_openers o;
    o.line_starts = line_starts;
    o.starts = text & (ends << 1 | carry->after_gap);
    // Adding each line start's bit to the gap mask carries through the run of
    // gap bytes that begins there and leaves one bit on the first byte after
    // the run: the line's first byte that is not a gap.
    std::uint64_t sum = 0;
    bool overflow = __builtin_add_overflow(gap, line_starts & gap, &sum);
    overflow |= __builtin_add_overflow(sum, carry->gap_run, &sum);
    std::uint64_t first_filled = (line_starts | sum) & ~gap;
    o.leading = first_filled & k.delimiter;
    carry->after_gap = ends >> 63;
    carry->line_start = k.lf >> 63;
    carry->gap_run = overflow ? 1 : 0;
    return o;
}

// The byte before the block was text or a delimiter (neither LF, NUL nor
// CR, which a line start and a run of NUL and CR bytes each end with):
// find_openers would find nothing in a block without LF, CR or NUL, and
// leave the carry as it is.
static inline bool within_line(const scan_carry &carry)
{
    return carry.after_gap == 0;
}

template <bool wide>
static inline std::size_t cells_opened(std::uint64_t single, std::uint64_t leading,
                                       std::uint64_t bits)
{
    std::size_t n = count_bits<wide>(single & bits);
    if ((leading & bits) != 0)
        n += count_bits<wide>(leading & bits);
    return n;
}

template <bool wide>
static inline block_classes classify_lines(const unsigned char *p, unsigned char delimiter,
                                           bool cr_ends_lines)
{
    block_classes k;
#if TABFLIP_SSE2
    if constexpr (wide)
        k = classify_block_wide(p, delimiter);
    else
        k = classify_block(p, delimiter);
#else
    k = classify_block(p, delimiter);
#endif
    if (cr_ends_lines) {
        k.lf = k.cr;
        k.cr = 0;
    }
    return k;
}

// The bytes past the data read as the zero padding does, whatever follows:
// a part of a larger table is measured as if it ended there.
static inline void past_data(block_classes *k, std::uint64_t data)
{
    k->delimiter &= data;
    k->lf &= data;
    k->cr &= data;
    k->nul = (k->nul & data) | ~data;
}

// Room for one more row start; false when the table cannot grow. Doubling
// keeps the copies few; a smaller step is tried before giving up, so a table
// that fits is not refused for the doubling's sake.
static bool room_for_row(row_table *table, std::size_t used)
{
    if (used < table->capacity)
        return true;
    if (used >= table->most) {
        table->over_most = true;
        return false;
    }
    for (std::size_t grow : {table->capacity, table->capacity / 8 + 1}) {
        std::size_t capacity = std::min(table->capacity + grow, table->most);
        if (capacity > SIZE_MAX / sizeof(std::size_t))
            continue;
        void *more = scratch_realloc(table->starts, capacity * sizeof(std::size_t));
        if (more != nullptr) {
            table->starts = static_cast<std::size_t *>(more);
            table->capacity = capacity;
            advise_large_pages(more, capacity * sizeof(std::size_t));
            return true;
        }
    }
    return false;
}

// An optional row table that cannot grow: its starts freed, none kept.
static row_table *give_up_rows(row_table *rows)
{
    scratch_free(rows->starts);
    rows->starts = nullptr;
    return nullptr;
}

// The charset guess's second look reads the text a few kilobytes ahead of
// the scan, which then finds those bytes in the cache.
constexpr std::size_t check_stretch = utf8_check_stretch * scan_block;

// The text [p, p + length), at most check_stretch bytes of it, to the look.
// Where the text ends (at_end), the look reads on in a copy, as if the data
// ended there, since what follows may be another part's: the last block cut
// short, or a block of zeros, where no character may be left unfinished.
static void check_stretch_of(second_look *look, const unsigned char *p, std::size_t length,
                             bool at_end)
{
    std::size_t whole = length / scan_block;
    look_at_blocks(look, p, whole);
    if (!at_end)
        return;
    unsigned char last[scan_block + input_padding] = {};
    std::memcpy(last, p + whole * scan_block, length % scan_block);
    look_at_blocks(look, last, 1);
}

// The scan maps the input's pages this many bytes at a time: few calls, and
// no more read ahead of it than the system's own read-ahead would.
constexpr std::size_t read_stretch = std::size_t{4} << 20;

// The 64 bytes at p hold no byte that can decide a charset guess.
static inline bool plain_ascii_64(const unsigned char *p)
{
    return plain_ascii_block(p) && plain_ascii_block(p + 16) && plain_ascii_block(p + 32) &&
           plain_ascii_block(p + 48);
}

namespace
{

// A line's counts while the scan is inside it.
struct line_counts {
    std::size_t filled = 0;     // cells opened
    std::size_t delimiters = 0; // delimiters seen
};

} // namespace

// Whether a scan may take whole blocks by scan_clean_blocks, while it has
// seen no NUL or CR (so that its carry holds no gap): without a look or
// continuation counts. A scan that may not is built without them, so that
// it costs what it did before they were.
static inline bool clean_runs_fit(const column_sums *sums, const second_look *look,
                                  bool cr_ends_lines)
{
    return look == nullptr && !cr_ends_lines && sums->continuations == nullptr;
}

// The cells of a clean block into the sums, whose counts, room and current
// cell the clean run keeps in c: where no line's share of the block can pass
// the room, the loop over its cells checks nothing; else the sums take them
// as the general scan does (growing, or given up), and c follows them.
template <bool wide>
static inline void add_clean_cells(column_sums *c, column_sums *sums, std::uint64_t ends,
                                   std::uint64_t lf, std::size_t at)
{
    if (c->bytes == nullptr)
        return;
    if (c->column + count_bits<wide>(ends) <= c->capacity) {
        add_cell_bytes<wide>(c->bytes, SIZE_MAX, ends, lf, at, &c->column, &c->cell_start);
        return;
    }
    sums->column = c->column;
    sums->cell_start = c->cell_start;
    sum_cells<wide>(sums, ends, lf, at, 0);
    *c = *sums;
}

// The scan of whole blocks [at, end) while they hold no NUL or CR: a line's
// first byte, text or delimiter, then opens its first cell, each delimiter
// one more, and no carry but the line start crosses blocks, which spares
// most of the general scan's masks. Stops before a block that holds NUL or
// CR, that would pass the row table's room or, with note_plain, that is not
// plain ASCII, for the general scan to take; returns where it stopped.
template <bool wide>
static inline std::size_t scan_clean_blocks(const unsigned char *p, std::size_t at, std::size_t end,
                                            unsigned char delimiter, row_table *rows,
                                            column_sums *sums, bool note_plain, scan_carry *carry,
                                            table_scan *scan, line_counts *line)
{
    table_scan s = *scan;
    line_counts n = *line;
    std::uint64_t line_start = carry->line_start;
    column_sums c = *sums;
    for (; at < end; at += scan_block) {
        __builtin_prefetch(p + at + next_page_ahead);
        if (note_plain && !plain_ascii_64(p + at))
            break;
        block_classes k = classify_lines<wide>(p + at, delimiter, false);
        if ((k.nul | k.cr) != 0 ||
            (rows != nullptr && s.lines + count_bits<wide>(k.lf) + 1 >= rows->capacity))
            break;
        std::uint64_t firsts = (k.lf << 1 | line_start) & ~k.lf;
        line_start = k.lf >> 63;
        add_clean_cells<wide>(&c, sums, k.delimiter | k.lf, k.lf, at);
        std::uint64_t rest = ~std::uint64_t{0};
        for (std::uint64_t lf = k.lf; lf != 0; lf &= lf - 1) {
            std::uint64_t before = (lf & (0 - lf)) - 1;
            std::size_t delimiters = count_bits<wide>(k.delimiter & before & rest);
            n.filled += delimiters + count_bits<wide>(firsts & before & rest);
            s.widest = std::max(s.widest, n.filled);
            count_delimiters(&s, n.delimiters + delimiters);
            n = line_counts{};
            rest = ~(before << 1 | 1);
            ++s.lines;
            if (rows != nullptr)
                rows->starts[s.lines] = at + static_cast<std::size_t>(std::countr_zero(lf)) + 1;
        }
        std::size_t delimiters = count_bits<wide>(k.delimiter & rest);
        n.filled += delimiters + count_bits<wide>(firsts & rest);
        n.delimiters += delimiters;
    }
    carry->line_start = line_start;
    carry->after_gap = line_start;
    sums->column = c.column;
    sums->cell_start = c.cell_start;
    *scan = s;
    *line = n;
    return at;
}

// Counts the cells each line fills exactly as the writers walk them: a
// delimiter opens one cell (two at the start of a line: the empty first cell
// and the one after it), and text opens one where it follows a line start, a
// NUL or a CR. A NUL inside a line can therefore open more cells than the
// line's delimiters account for; counting them here keeps every cell inside
// the table. Fused with the line count and, when rows is given, the row
// starts: one pass of 64-byte blocks whose masks the line ends cut into
// per-line counts. A look, when given, reads the same blocks a stretch at
// a time, just before the scan does. With note_plain it notes where the
// text stops being plain ASCII, for a charset guess to start there. With
// optional_rows, a row table that cannot grow is given up and the scan goes
// on without it. With pauses, it pauses as they say, and stops refused
// when they say so. With clean, blocks without NUL or CR go by
// scan_clean_blocks until the first that holds one.
template <bool optional_rows, bool wide, bool clean>
[[gnu::always_inline]] static inline table_scan
scan_blocks(const unsigned char *p, std::size_t length, unsigned char delimiter, bool cr_ends_lines,
            row_table *rows, column_sums *sums, second_look *look, bool note_plain,
            scan_pauses *pauses)
{
    table_scan scan;
    scan_carry carry;
    line_counts line;
    std::size_t bound = pauses != nullptr ? std::min(length, pauses->step) : length;
    for (std::size_t at = 0; at < bound || scan_resumes(pauses, sums, at, length, &bound, &scan);
         at += scan_block) {
        if (look != nullptr && at % check_stretch == 0)
            check_stretch_of(look, p + at, std::min(check_stretch, length - at),
                             length - at <= check_stretch);
        // The look's next stretch is fetched while this one is scanned.
        if (look != nullptr && length - at > check_stretch)
            __builtin_prefetch(p + at + check_stretch);
        // A stretch's pages mapped in one call: a large mapped input's
        // faults otherwise cost more than its scan. A small table spares
        // the call, which many small files would pay each.
        if (length >= read_stretch && at % read_stretch == 0)
            prepare_reading(p + at, std::min(read_stretch, length - at));
        if (note_plain && !plain_ascii_64(p + at)) {
            scan.plain_until = at;
            note_plain = false;
        }
        if (clean && !scan.any_cr && !scan.any_nul) {
            std::size_t end = std::min(bound, length / scan_block * scan_block);
            if (length >= read_stretch)
                end = std::min(end, (at / read_stretch + 1) * read_stretch);
            std::size_t stop = scan_clean_blocks<wide>(p, at, end, delimiter, rows, sums,
                                                       note_plain, &carry, &scan, &line);
            if (stop > at) {
                at = stop - scan_block;
                continue;
            }
        }
        block_classes k = classify_lines<wide>(p + at, delimiter, cr_ends_lines);
        // Only the last block can hold bytes past the data.
        std::uint64_t data = ~std::uint64_t{0};
        if (length - at < scan_block) {
            data = (std::uint64_t{1} << (length - at)) - 1;
            past_data(&k, data);
        }
        std::uint64_t cont = sums->continuations != nullptr && sums->bytes != nullptr
                                 ? continuation_mask(p + at) & data
                                 : 0;
        // Most blocks lie inside a line past its first byte, after text or a
        // delimiter: holding no LF, CR or NUL, each of their delimiters opens
        // a cell and nothing else changes.
        if ((k.lf | k.cr | k.nul) == 0 && within_line(carry)) {
            std::size_t opened = count_bits<wide>(k.delimiter);
            line.filled += opened;
            line.delimiters += opened;
            if (sums->bytes != nullptr)
                sum_cells<wide>(sums, k.delimiter, 0, at, cont);
            continue;
        }
        block_openers o = find_openers(k, &carry);
        std::uint64_t single = k.delimiter | o.starts;
        std::uint64_t rest = ~std::uint64_t{0};
        scan.any_cr |= k.cr != 0;
        scan.any_nul |= (k.nul & data) != 0;
        if (((k.cr | k.nul) & data) != 0 && sums->bytes != nullptr)
            give_up_sums(sums);
        if (sums->bytes != nullptr)
            sum_cells<wide>(sums, k.delimiter | k.lf, k.lf, at, cont);
        for (std::uint64_t lf = k.lf; lf != 0; lf &= lf - 1) {
            std::uint64_t before = (lf & (0 - lf)) - 1;
            line.filled += cells_opened<wide>(single, o.leading, before & rest);
            if (line.filled > scan.widest)
                scan.widest = line.filled;
            count_delimiters(&scan,
                             line.delimiters + count_bits<wide>(k.delimiter & before & rest));
            line.delimiters = 0;
            line.filled = 0;
            rest = ~(before << 1 | 1);
            ++scan.lines;
            if (rows != nullptr) {
                if (!room_for_row(rows, scan.lines + 1)) {
                    if constexpr (optional_rows) {
                        rows = give_up_rows(rows);
                        continue;
                    }
                    scan.refused = true;
                    return scan;
                }
                rows->starts[scan.lines] = at + static_cast<std::size_t>(std::countr_zero(lf)) + 1;
            }
        }
        line.filled += cells_opened<wide>(single, o.leading, rest);
        line.delimiters += count_bits<wide>(k.delimiter & rest);
    }
    if (line.filled > scan.widest)
        scan.widest = line.filled;
    if (line.filled > 0)
        count_delimiters(&scan, line.delimiters);
    if (line.filled > 0 && sums->bytes != nullptr)
        sum_cells<wide>(sums, 1, 1, length, 0);
    scan.last = line.filled;
    return scan;
}

// The scan built for AVX2 processors: the same scan with the classes of a
// block found in two 32-byte vectors, and bits counted and found in one
// instruction each.
#if TABFLIP_SSE2
template <bool optional_rows, bool clean>
[[gnu::flatten]] TABFLIP_WIDE_SCAN static table_scan
scan_blocks_wide(const unsigned char *p, std::size_t length, unsigned char delimiter,
                 bool cr_ends_lines, row_table *rows, column_sums *sums, second_look *look,
                 bool note_plain, scan_pauses *pauses)
{
    return scan_blocks<optional_rows, true, clean>(p, length, delimiter, cr_ends_lines, rows, sums,
                                                   look, note_plain, pauses);
}
#endif

template <bool optional_rows = false>
static table_scan scan_table(const unsigned char *p, std::size_t length, unsigned char delimiter,
                             bool cr_ends_lines, row_table *rows, column_sums *sums,
                             second_look *look, bool note_plain = false,
                             scan_pauses *pauses = nullptr)
{
    bool clean = clean_runs_fit(sums, look, cr_ends_lines);
#if TABFLIP_SSE2
    if (wide_scans())
        return clean ? scan_blocks_wide<optional_rows, true>(p, length, delimiter, cr_ends_lines,
                                                             rows, sums, look, note_plain, pauses)
                     : scan_blocks_wide<optional_rows, false>(p, length, delimiter, cr_ends_lines,
                                                              rows, sums, look, note_plain, pauses);
#endif
    return clean ? scan_blocks<optional_rows, false, true>(p, length, delimiter, cr_ends_lines,
                                                           rows, sums, look, note_plain, pauses)
                 : scan_blocks<optional_rows, false, false>(p, length, delimiter, cr_ends_lines,
                                                            rows, sums, look, note_plain, pauses);
}

static load_result refuse_table(row_table *rows, bool over_limit)
{
    scratch_free(rows->starts);
    return over_limit ? load_over_limit : load_refused;
}

// A second part keeps its own row starts up to this many (512 KiB of them),
// so that the join need not look for them in its bytes again: for a table
// larger than memory that is a second read of its half from the disk.
constexpr std::size_t tail_rows_kept = std::size_t{1} << 16;

namespace
{

// Lines [begin, begin + length) of a table, measured on their own: the part
// starts at a line start, as the table does.
struct scan_part {
    const unsigned char *bytes = nullptr;
    std::size_t length = 0;
    unsigned char delimiter = '\t';
    bool with_rows = false;
    row_table rows = {};
    column_sums sums = {};
    table_scan scan = {};
    bool looking = false; // the charset guess's second look at its text
    second_look look = {};
    bool note_plain = false; // where its text stops being plain ASCII
    scan_pauses pauses = {};
    std::atomic<bool> *refusal = nullptr; // set when the first part refuses the table
};

// The first part's own sums, kept beside the table's.
struct head_sums {
    std::uint32_t *bytes = nullptr;
    std::uint32_t *continuations = nullptr;
    std::uint64_t *totals = nullptr;
};

} // namespace

static void release_head_sums(head_sums *own)
{
    scratch_free(own->bytes);
    scratch_free(own->continuations);
    scratch_free(own->totals);
    *own = head_sums{};
}

// The part's first row start and its sums' first columns; false when there
// is no memory for its row table. The first part's row table is sized for
// the whole table's length (table_length), so that the join appends the
// second part's starts without moving it; pages it never writes cost
// nothing.
static bool start_part(scan_part *part, const load_limits &limits, bool summed,
                       std::size_t table_length)
{
    part->sums.most = limits.most_columns;
    if (summed) {
        part->sums.capacity = 64;
        part->sums.bytes = static_cast<std::uint32_t *>(scratch_calloc(64, sizeof(std::uint32_t)));
        if (limits.count_continuations)
            part->sums.continuations =
                static_cast<std::uint32_t *>(scratch_calloc(64, sizeof(std::uint32_t)));
        if (limits.count_continuations && part->sums.continuations == nullptr)
            give_up_sums(&part->sums);
    }
    if (!part->with_rows)
        return true;
    row_table &rows = part->rows;
    rows.most = rows.optional ? std::min(limits.most_rows, tail_rows_kept) : limits.most_rows;
    // Room for rows of 64 bytes, in the whole table or, when that much
    // address space cannot be had, in the part; a table of shorter rows
    // grows it. A second part's starts begin small: most tables have too
    // many to keep.
    for (std::size_t bytes : {table_length, part->length}) {
        rows.capacity =
            std::min(rows.optional ? 64 : bytes / 64 + 2, std::max(rows.most, std::size_t{2}));
        rows.starts =
            static_cast<std::size_t *>(scratch_malloc(rows.capacity * sizeof(std::size_t)));
        if (rows.starts != nullptr)
            break;
    }
    if (rows.starts == nullptr)
        return rows.optional;
    rows.starts[0] = 0;
    if (!rows.optional)
        advise_large_pages(rows.starts, rows.capacity * sizeof(std::size_t));
    return true;
}

static void scan_part_lines(void *arg)
{
    auto *part = static_cast<scan_part *>(arg);
    bool with_rows = part->with_rows && part->rows.starts != nullptr;
    row_table *rows = with_rows ? &part->rows : nullptr;
    second_look *look = part->looking ? &part->look : nullptr;
    if (part->rows.optional)
        part->scan = scan_table<true>(part->bytes, part->length, part->delimiter, false, rows,
                                      &part->sums, look, part->note_plain, &part->pauses);
    else
        part->scan = scan_table(part->bytes, part->length, part->delimiter, false, rows,
                                &part->sums, look, part->note_plain, &part->pauses);
    if (part->scan.refused && part->refusal != nullptr)
        part->refusal->store(true, std::memory_order_relaxed);
}

// How often a part's scan pauses when it may be stopped: what it reads past
// a refusal is at most this much.
constexpr std::size_t stop_check_bytes = std::size_t{4} << 20;

// A part's pauses: to fold its sums when it is 2 * fold bytes or longer
// (a shorter one's counts cannot pass 32 bits), and to see stop when given.
static void set_pauses(scan_part *part, std::size_t fold, const std::atomic<bool> *stop)
{
    bool folding = part->sums.bytes != nullptr && part->length / 2 >= fold;
    if (!folding && stop == nullptr)
        return;
    std::size_t step = std::min(folding ? fold : SIZE_MAX, stop_check_bytes);
    part->pauses = scan_pauses{.step = std::max(step / scan_block * scan_block, scan_block),
                               .fold = folding ? fold : SIZE_MAX,
                               .stop = stop,
                               .middle = part->length / 2};
}

// After its scan, a part's sums all in its totals for a table that keeps
// those, its counts freed; else its counts, never folded, stand.
static void settle_sums(column_sums *sums, bool keeps_totals)
{
    if (sums->bytes == nullptr || !keeps_totals)
        return;
    fold_counts(sums);
    scratch_free(sums->bytes);
    sums->bytes = nullptr;
}

static void release_part(scan_part *part)
{
    scratch_free(part->rows.starts);
    give_up_sums(&part->sums);
}

// Where the second part's lines start: after the first LF from the middle
// on; 0 for a table measured whole. Only an LF splits, so both parts agree
// on what ends a line. (Tests set split_from to 0 to split every table they
// can.)
static std::size_t split_point(const unsigned char *bytes, std::size_t length,
                               std::size_t split_from)
{
    if (length < split_from || length < 2)
        return 0;
    const auto *lf = static_cast<const unsigned char *>(
        std::memchr(bytes + length / 2, '\n', length - length / 2));
    if (lf == nullptr || lf + 1 >= bytes + length)
        return 0;
    return static_cast<std::size_t>(lf + 1 - bytes);
}

static table_scan joined_scan(const table_scan &head, const table_scan &tail)
{
    table_scan scan = tail;
    scan.lines = head.lines + tail.lines;
    scan.any_cr = head.any_cr || tail.any_cr;
    scan.any_nul = head.any_nul || tail.any_nul;
    scan.widest = std::max(head.widest, tail.widest);
    scan.fewest_delimiters = std::min(head.fewest_delimiters, tail.fewest_delimiters);
    scan.most_delimiters = std::max(head.most_delimiters, tail.most_delimiters);
    scan.refused = head.refused || tail.refused;
    return scan;
}

// The starts of the lines after each LF in bytes[begin, end), into starts.
template <bool wide>
static inline void record_line_starts(const unsigned char *bytes, std::size_t begin,
                                      std::size_t end, std::size_t *starts)
{
    std::size_t n = 0;
    for (std::size_t at = begin; at < end; at += scan_block) {
        std::uint64_t data =
            end - at >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << (end - at)) - 1;
        std::uint64_t lf = classify_lines<wide>(bytes + at, '\n', false).lf & data;
        for (; lf != 0; lf &= lf - 1)
            starts[n++] = at + static_cast<std::size_t>(std::countr_zero(lf)) + 1;
    }
}

#if TABFLIP_SSE2
[[gnu::flatten]] TABFLIP_WIDE_SCAN static void record_line_starts_wide(const unsigned char *bytes,
                                                                       std::size_t begin,
                                                                       std::size_t end,
                                                                       std::size_t *starts)
{
    record_line_starts<true>(bytes, begin, end, starts);
}
#endif

namespace
{

// Row starts to find again in bytes[begin, end), on a thread of their own.
struct line_starts_job {
    const unsigned char *bytes = nullptr;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t *starts = nullptr;
};

} // namespace

static void find_line_starts(void *arg)
{
    const auto *job = static_cast<const line_starts_job *>(arg);
#if TABFLIP_SSE2
    if (wide_scans()) {
        record_line_starts_wide(job->bytes, job->begin, job->end, job->starts);
        return;
    }
#endif
    record_line_starts<false>(job->bytes, job->begin, job->end, job->starts);
}

// Appends the tail's row starts to the head's table, with room for the end's
// entry; false when that cannot be had. The tail keeps its own starts only
// up to tail_rows_kept, so that no second table of many rows stands beside
// the first (the memory stays near 8 bytes a row); past that they are found
// here, after each of its LFs, which reads the tail once more: in two pieces
// on two threads, cut where its scan paused nearest its middle.
static bool join_rows(scan_part *head, const scan_part &tail, std::size_t split, bool threads)
{
    row_table *rows = &head->rows;
    std::size_t entries = head->scan.lines + tail.scan.lines + 2;
    if (entries > rows->most) {
        rows->over_most = true;
        return false;
    }
    if (entries > rows->capacity) {
        void *more = scratch_realloc(rows->starts, entries * sizeof(std::size_t));
        if (more == nullptr)
            return false;
        rows->starts = static_cast<std::size_t *>(more);
        rows->capacity = entries;
        advise_large_pages(more, entries * sizeof(std::size_t));
    }
    std::size_t *joined = rows->starts + head->scan.lines + 1;
    if (tail.rows.starts == nullptr) {
        std::size_t mark = split + tail.pauses.mark;
        line_starts_job first{head->bytes, split, mark, joined};
        line_starts_job second{head->bytes, mark, split + tail.length,
                               joined + tail.pauses.mark_lines};
        if (mark > split)
            run_both(find_line_starts, &first, &second, threads);
        else
            find_line_starts(&second);
        return true;
    }
    for (std::size_t r = 1; r <= tail.scan.lines; ++r)
        joined[r - 1] = tail.rows.starts[r] + split;
    return true;
}

// The tail's sums added into the head's, which grow to columns entries;
// false when either has none or there is no memory.
static bool add_sums(column_sums *a, const column_sums *b, std::size_t columns)
{
    if (a->bytes == nullptr || b->bytes == nullptr)
        return false;
    a->column = columns - 1;
    if (!room_for_column(a, a->column))
        return false;
    for (std::size_t c = 0; c < std::min(b->capacity, columns); ++c) {
        a->bytes[c] += b->bytes[c];
        if (a->continuations != nullptr)
            a->continuations[c] += b->continuations[c];
    }
    return true;
}

// The first part's counts (had entries) and the second's, joined into the
// table's (columns entries) in a new block that takes *head's place; the
// first's own are returned in another. Null, with *head freed and null,
// when there is no memory.
static std::uint32_t *join_counts(std::uint32_t **head, std::size_t had, const std::uint32_t *tail,
                                  std::size_t tail_had, std::size_t columns)
{
    auto *total = static_cast<std::uint32_t *>(scratch_malloc(columns * sizeof(std::uint32_t)));
    auto *first = static_cast<std::uint32_t *>(scratch_malloc(columns * sizeof(std::uint32_t)));
    bool joined = total != nullptr && first != nullptr;
    for (std::size_t c = 0; joined && c < columns; ++c) {
        first[c] = c < had ? (*head)[c] : 0;
        total[c] = first[c] + (c < tail_had ? tail[c] : 0);
    }
    scratch_free(*head);
    *head = joined ? total : nullptr;
    if (!joined) {
        scratch_free(total);
        scratch_free(first);
        return nullptr;
    }
    return first;
}

// The table's sums take the head's place; with keep_head the head's own are
// returned (columns entries each). None, with no sums at all, when either
// part gave them up or there is no memory for them.
static head_sums join_sums(scan_part *head, scan_part *tail, std::size_t columns, bool keep_head)
{
    column_sums *a = &head->sums;
    const column_sums *b = &tail->sums;
    head_sums own;
    if (!keep_head) {
        if (!add_sums(a, b, columns))
            give_up_sums(a);
        return own;
    }
    if (a->bytes == nullptr || b->bytes == nullptr) {
        give_up_sums(a);
        return own;
    }
    bool counting = a->continuations != nullptr;
    own.bytes = join_counts(&a->bytes, a->capacity, b->bytes, b->capacity, columns);
    if (counting)
        own.continuations =
            join_counts(&a->continuations, a->capacity, b->continuations, b->capacity, columns);
    a->capacity = columns;
    if (own.bytes == nullptr || (counting && own.continuations == nullptr)) {
        give_up_sums(a);
        release_head_sums(&own);
    }
    return own;
}

// The parts' totals joined into the table's (columns entries), which take
// the first's place; with keep_head the first's own are returned (columns
// entries). None at all, as join_sums, when either part has none or there
// is no memory.
static std::uint64_t *join_totals(column_sums *a, const column_sums *b, std::size_t columns,
                                  bool keep_head)
{
    auto *total =
        a->byte_totals != nullptr && b->byte_totals != nullptr
            ? static_cast<std::uint64_t *>(scratch_malloc(columns * sizeof(std::uint64_t)))
            : nullptr;
    for (std::size_t c = 0; total != nullptr && c < columns; ++c)
        total[c] = (c < a->totals_capacity ? a->byte_totals[c] : 0) +
                   (c < b->totals_capacity ? b->byte_totals[c] : 0);
    std::uint64_t *own = a->byte_totals;
    bool kept = total != nullptr && keep_head &&
                (columns <= a->totals_capacity || grow_counts(&own, a->totals_capacity, columns));
    a->byte_totals = total;
    a->totals_capacity = columns;
    if (kept)
        return own;
    scratch_free(own);
    if (keep_head)
        give_up_sums(a);
    return nullptr;
}

// The second part is looked at from its first line: what it finds counts
// unless the first part's text ended at a NUL.
static charset_id charset_of_parts(charset_id first, const scan_part &head, const scan_part &tail,
                                   std::size_t split)
{
    text_forms forms = forms_seen(head.look);
    if (split > 0 && !head.scan.any_nul) {
        text_forms rest = forms_seen(tail.look);
        forms.utf8 = forms.utf8 && rest.utf8;
        forms.euc_jp = forms.euc_jp && rest.euc_jp;
        forms.shift_jis = forms.shift_jis && rest.shift_jis;
    }
    return charset_after_look(first, forms);
}

// The whole guess, from the first block that is not plain ASCII: what comes
// before it decides nothing and leaves every check as it started.
static charset_id charset_from_plain_end(const unsigned char *bytes, std::size_t length,
                                         const scan_part &head, const scan_part &tail,
                                         std::size_t split)
{
    std::size_t from = head.scan.plain_until;
    if (from == SIZE_MAX && split > 0 && tail.scan.plain_until != SIZE_MAX)
        from = split + tail.scan.plain_until;
    return detect_charset(bytes + std::min(from, length));
}

// A table of limits.split_from bytes or more is measured in two parts at once, the
// second starting at a line start near the middle. Only a file with CR line
// ends and no LF is scanned twice: whether CRs end lines is known only once
// the first scan has found no LF (such a file is never split).
load_result load_table_within(const unsigned char *bytes, std::size_t length,
                              unsigned char delimiter, bool with_rows, const load_limits &limits,
                              cell_grid *grid)
{
    constexpr std::size_t count_limit = 2147483647;
    bool summed = (with_rows || limits.sums_without_rows) && limits.most_columns >= 64;
    bool keeps_totals = length / 2 >= limits.fold_bytes; // 64-bit ones
    std::size_t split = split_point(bytes, length, limits.split_from);
    bool looking = needs_second_look(limits.first_match);
    second_look look = start_second_look(limits.first_match);
    bool note_plain = limits.guess_charset && !looking;
    scan_part head{.bytes = bytes,
                   .length = split > 0 ? split : length,
                   .delimiter = delimiter,
                   .with_rows = with_rows,
                   .looking = looking,
                   .look = look,
                   .note_plain = note_plain};
    scan_part tail{.bytes = bytes + split,
                   .length = length - split,
                   .delimiter = delimiter,
                   .with_rows = with_rows,
                   .rows = {.optional = true},
                   .looking = looking,
                   .look = look,
                   .note_plain = note_plain};
    load_limits asked = limits;
    asked.count_continuations = limits.count_continuations && !keeps_totals;
    if (!start_part(&head, asked, summed, length) ||
        (split > 0 && !start_part(&tail, asked, summed, length))) {
        release_part(&tail);
        give_up_sums(&head.sums);
        return refuse_table(&head.rows, false);
    }
    // The second part stops once the first has refused the table.
    std::atomic<bool> refused{false};
    head.refusal = &refused;
    set_pauses(&head, limits.fold_bytes, nullptr);
    set_pauses(&tail, limits.fold_bytes, &refused);
    if (split > 0)
        run_both(scan_part_lines, &head, &tail, limits.threads);
    else
        scan_part_lines(&head);
    settle_sums(&head.sums, keeps_totals);
    settle_sums(&tail.sums, keeps_totals);
    table_scan scan = head.scan;
    charset_id charset_code =
        looking ? charset_of_parts(limits.first_match, head, tail, split) : charset_none;
    if (note_plain)
        charset_code = charset_from_plain_end(bytes, length, head, tail, split);
    head_sums own;
    if (split > 0) {
        scan = joined_scan(head.scan, tail.scan);
        scan.refused =
            scan.refused || (with_rows && !join_rows(&head, tail, split, limits.threads));
        if (keeps_totals)
            own.totals = join_totals(&head.sums, &tail.sums, scan.widest, limits.keep_parts);
        else
            own = join_sums(&head, &tail, scan.widest, limits.keep_parts);
        release_part(&tail);
    }
    row_table &rows = head.rows;
    column_sums &sums = head.sums;
    bool cr_ends_lines = false;
    if (scan.lines == 0 && scan.any_cr && !scan.refused) {
        cr_ends_lines = true;
        column_sums none;
        scan =
            scan_table(bytes, length, delimiter, true, with_rows ? &rows : nullptr, &none, nullptr);
    }
    if (scan.refused || scan.lines >= count_limit || scan.widest > count_limit) {
        give_up_sums(&sums);
        release_head_sums(&own);
        return refuse_table(&rows, scan.refused && rows.over_most);
    }
    if (with_rows)
        rows.starts[scan.lines + 1] = length + 1;
    // The final line is a row only when it fills a cell.
    grid->table = table_view{
        .bytes = bytes,
        .length = length,
        .delimiter = delimiter,
        .line_end = static_cast<unsigned char>(cr_ends_lines ? 0x0D : 0x0A),
        .rows = static_cast<std::int32_t>(scan.last == 0 ? scan.lines : scan.lines + 1),
        .columns = static_cast<std::int32_t>(scan.widest),
        .plain = !cr_ends_lines && !scan.any_cr && !scan.any_nul &&
                 scan.fewest_delimiters == scan.most_delimiters &&
                 scan.most_delimiters + 1 == scan.widest,
    };
    grid->index.starts.reset(rows.starts);
    // Sums for the first scan's lines would be wrong for CR line ends.
    if (cr_ends_lines)
        give_up_sums(&sums);
    grid->sums.bytes.reset(sums.bytes);
    grid->sums.continuations.reset(sums.continuations);
    grid->sums.head_bytes.reset(own.bytes);
    grid->sums.head_continuations.reset(own.continuations);
    grid->sums.totals.reset(sums.byte_totals);
    grid->sums.head_totals.reset(own.totals);
    if (!limits.keep_parts)
        split = 0;
    grid->split = {split > 0 ? static_cast<std::int32_t>(head.scan.lines) : 0, split};
    grid->charset_code = charset_code;
    return load_done;
}

// Column sums of a band whose bytes hold no NUL or CR (its table has sums),
// columns entries: a line's cells then lie between its delimiters and line
// end, never more of them than the table's columns, so that the cells'
// ends are all the sums need. Null without memory.
static std::uint32_t *band_sums(const table_view &band)
{
    auto columns = static_cast<std::size_t>(band.columns);
    auto *sums = static_cast<std::uint32_t *>(scratch_calloc(columns, sizeof(std::uint32_t)));
    std::size_t column = 0;
    std::size_t cell_start = 0;
    std::uint64_t beyond = 0; // ends of cells past the columns
    for (std::size_t at = 0; sums != nullptr && beyond == 0 && at < band.length; at += scan_block) {
        std::size_t left = band.length - at;
        std::uint64_t data =
            left >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
        block_classes k = classify_block(band.bytes + at, band.delimiter);
        std::uint64_t lf = k.lf & data;
        beyond = add_cell_bytes(sums, columns, (k.delimiter | k.lf) & data, lf, at, &column,
                                &cell_start);
    }
    if (sums != nullptr && (beyond != 0 || column == columns)) { // not a table with sums after all
        scratch_free(sums);
        return nullptr;
    }
    if (sums != nullptr && band.length > 0 && band.bytes[band.length - 1] != '\n')
        sums[column] += static_cast<std::uint32_t>(band.length - cell_start);
    return sums;
}

bool load_row_band(const cell_grid &grid, std::int32_t first, std::int32_t end,
                   std::size_t most_columns, cell_grid *band)
{
    const table_view &table = grid.table;
    const std::size_t *starts = grid.index.starts.get();
    std::size_t begin = starts[first];
    std::size_t length = (end == table.rows ? table.length : starts[end]) - begin;
    auto rows = static_cast<std::size_t>(end - first);
    auto *own = static_cast<std::size_t *>(scratch_malloc((rows + 2) * sizeof(std::size_t)));
    if (own == nullptr)
        return false;
    for (std::size_t r = 0; r <= rows; ++r)
        own[r] = starts[static_cast<std::size_t>(first) + r] - begin;
    own[rows + 1] = length + 1;
    *band = cell_grid{};
    band->table = table;
    band->table.bytes = table.bytes + begin;
    band->table.length = length;
    band->table.rows = end - first;
    band->index.starts.reset(own);
    if (grid.sums.bytes != nullptr && static_cast<std::size_t>(table.columns) <= most_columns)
        band->sums.bytes.reset(band_sums(band->table));
    return true;
}

bool load_table(const unsigned char *bytes, std::size_t length, unsigned char delimiter,
                bool with_rows, cell_grid *grid)
{
    return load_table_within(bytes, length, delimiter, with_rows, load_limits{}, grid) == load_done;
}

void forget_table(cell_grid *grid)
{
    static_cast<void>(grid->index.starts.release());
    static_cast<void>(grid->sums.bytes.release());
    static_cast<void>(grid->sums.head_bytes.release());
    static_cast<void>(grid->sums.continuations.release());
    static_cast<void>(grid->sums.head_continuations.release());
    static_cast<void>(grid->sums.totals.release());
    static_cast<void>(grid->sums.head_totals.release());
}

const unsigned char *first_cell_at(const table_view &table, const unsigned char *begin)
{
    const unsigned char *data_end = table.bytes + table.length;
    const unsigned char *p = begin;
    while (p < data_end && *p != table.line_end && (*p == 0x00 || *p == 0x0D))
        ++p;
    return p >= data_end || *p == table.line_end ? nullptr : p;
}

const unsigned char *first_cell(const cell_grid &grid, std::int32_t r)
{
    const std::size_t *starts = grid.index.starts.get();
    return first_cell_at(grid.table, grid.table.bytes + starts[r]);
}

// The block copy finds the end a block at a time; its copy goes nowhere.
const unsigned char *cell_end(const unsigned char *cell, unsigned char delimiter)
{
    char sink[copy_block];
    for (;;) {
        std::size_t n = copy_cell_block(sink, cell, delimiter);
        cell += n;
        if (n < copy_block)
            return cell;
    }
}
