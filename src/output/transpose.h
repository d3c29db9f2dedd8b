// How a table is transposed: the methods, each in a file of its own, and
// the plan that picks them by the table's shape (plan.cpp), which
// writers.cpp runs: the first method that can have its buffers writes.
//
// method   file         chosen when (the first that applies, within the budget)
// lanes    lanes.cpp    at offsets, up to lane_columns columns, more than few_rows rows;
//                       delimited, up to long_lines_lane_columns, lines the bands would take;
//                       without offsets, delimited, a result of spilled_lanes_least or
//                       more, through a spill file
// cursors  cursors.cpp  no rows, or a table the cache holds: at most cursors_bytes_most
//                       and cursors_rows_most rows
// spill    spill.cpp    no row table, or the groups would pass the budget;
//                       in bands sized for the cache, many long rows
//                       (then the next method too)
// halves   halves.cpp   at offsets, plain, summed, not UTF-16, split_from bytes or more,
//                       at most halves_rows_most rows
// groups   groups.cpp   otherwise
//
// method   memory beside the input              threads                 at offsets  falls back to
// lanes    lanes_bytes a part, no row table     one a part              needs       the next
//          (without offsets: a spill file)                              (or a spill)
// cursors  nothing                              1                       no          -
// spill    within the budget, and a spill file  its bands' groups'      no          - (in bands:
//          (in bands: a second band, its        (in bands: 2, a band                the next)
//          staging and output block)            each, in pairs)
// halves   the groups', and 8 bytes a row       2, a half's groups each needs       groups
// groups   the row table, two group_bytes       2 parts, or 1 and 1     no          -
//          stagings                             more writing (pipelined)
// (stored.cpp writes the stored orientation: there is no choice; unit_lanes.cpp
// writes a simple UTF-16 table in its own units, before any plan: writers.h.)
//
// The words (part, group, half, lane, band, run, block) are defined in
// docs/internals.md.
#ifndef TABFLIP_TRANSPOSE_H
#define TABFLIP_TRANSPOSE_H

#include "output/cells.h"

#include <algorithm>

// The tuning, measured with bench/compare (bench/README.md).
//
// Groups: each line of a group gets its exact place in a staging buffer,
// from the column sums or a first pass over the rows; one pass over the rows
// then copies each row's cells for the whole group, so a square table's
// rows, one to a page, cost no page walk per cell. A group ends where its
// lines fill group_bytes; a longer line alone goes out by the cursors.
// Staging of 2 to 8 MiB gave the same times on the square and wide tables,
// 512 KiB 15% more on the square. Where lines are shorter than
// short_line_bytes, two parts' shares of a line meet in the same cache
// lines, which two threads would pass back and forth: one thread is faster.
constexpr std::size_t group_bytes = std::size_t{4} << 20;
constexpr std::int32_t group_most = 16384;
constexpr std::size_t short_line_bytes = 4096;
// The second half's cursors take 8 bytes a row beside the row table: a
// table of more rows is left to the groups' two parts of its rows, so that
// its memory stays near 8 bytes a row.
constexpr std::int32_t halves_rows_most = std::int32_t{1} << 19; // 4 MiB of cursors
// Lanes: a part's take lanes_bytes, a lane at most lane_most (and at least
// a page). A table of more columns has output lines too short for them, one
// of few rows lines too long to stage a group of. Lanes the cache holds
// longer cost less than fewer, larger writes: on the tall table 4 MiB a
// part took 0.23 s, 8 MiB 0.26 s; 1 MiB, 0.21 s, would write pieces of
// only 100 KiB. Past 64 columns a lane takes lane_least while a part's
// lanes stay within lanes_most: each write of a lane takes the file's
// lock, which the other part's thread then waits for (cols200 and ragged,
// 200 and 300 columns: 6-17% faster than lanes of 20 and 12 KiB).
constexpr std::size_t lanes_bytes = std::size_t{4} << 20;
constexpr std::size_t lane_most = std::size_t{1} << 20;
constexpr std::size_t lane_least = std::size_t{64} << 10;
constexpr std::size_t lanes_most = std::size_t{12} << 20;
// A lane's bytes, in whole pages.
static inline std::size_t lane_bytes(std::size_t columns, std::size_t page)
{
    std::size_t least = std::min(lane_least, lanes_most / columns);
    std::size_t share = std::min(std::max(lanes_bytes / columns, least), lane_most);
    return std::max(share / page * page, page);
}
constexpr std::int32_t lane_columns = 64;
constexpr std::int32_t few_rows = 64;
// Lanes through a spill for a result without offsets, from this many
// result bytes on: the groups read a table the cache holds again at little
// cost (to a pipe, 130,000 x 20, 17 MB: 1.3x slower through the spill;
// 300,000 x 10, 20 MB: the same; 100,000 x 60, 39 MB: 1.1x faster;
// 2,000,000 x 10, 130 MB: 1.7x faster, 2.2x to /dev/null).
constexpr std::uint64_t spilled_lanes_least = std::uint64_t{32} << 20;
// Past lane_columns, lanes for the lines the bands would take (plan.cpp), up
// to lanes of 8 KiB.
constexpr std::int32_t long_lines_lane_columns = 512;
// Bands: a table of many rows whose result is many groups long is read
// again by every group's pass, a cache miss or more a row once its rows are
// long; there bands of its rows through a spill, each filling its groups in
// a pass or two, cost less (bench/plan_sweep.txt: 1.5-2x faster from 60,000
// rows of 1 KB, the same at 20,000-30,000 rows; a page of 415,000 ragged
// rows, whose lines are longer than a group, 2-4x; never for rows of under
// 256 result bytes, whose passes read the table nearly in order).
constexpr std::int32_t banded_rows_least = 32768;
constexpr std::uint64_t banded_row_bytes_least = 256;
constexpr std::uint64_t banded_groups_least = 4;
// Cursors: a table the cache holds stays there while each output line walks
// its rows, and the cursors fill no staging: 1.3-2.5x faster than one
// thread's groups up to 4 MiB and a few thousand rows (bench/plan_sweep.txt),
// 2x slower at 50,000 rows, whose cursors alone fill the first cache.
constexpr std::uint64_t cursors_bytes_most = std::uint64_t{4} << 20;
constexpr std::int32_t cursors_rows_most = 8192;
// A table whose first line holds more than this share of its bytes has few
// rows: its parts are joined as one table for the writers (the loader keeps
// no first part's sums of its many columns, which would only cost memory).
constexpr std::size_t few_rows_share = 1024;

// One part's places in a group's staging.
struct part_places {
    std::size_t size[group_most] = {};  // line k's bytes from the part's rows
    std::size_t fill[group_most] = {};  // where line k's next byte goes
    std::size_t limit[group_most] = {}; // where the part's share of line k ends
};

// A group's staging: with other, a pipelined group is filled in one buffer
// while the one before it is written from the other.
struct line_group {
    char *bytes = nullptr;                  // group_bytes
    char *other = nullptr;                  // as many, or null
    std::size_t place[group_most + 1] = {}; // line k's bytes are [place[k], place[k + 1])
    part_places parts[2];
};

// What the plan reads of a table (shape_of) and of where it goes.
struct table_shape {
    std::int32_t rows = 0;
    std::int32_t columns = 1;
    std::uint64_t length = 0;
    bool row_table = false; // the loader made the row table
    bool split = false;     // its rows measured in two parts, each holding some
    bool plain = false;     // as table_view's
    bool summed = false;    // with the byte sums
    std::int32_t sums = 0;  // the loader's sum arrays it holds, in 4 bytes a column
};

struct plan_target {
    bool positioned = false;
    bool units = false; // a UTF-16 result
    bool page = false;
    std::uint64_t budget = UINT64_MAX;
    std::size_t split_from = SIZE_MAX; // tables from this size on may take two threads
    // The system's memory page: the groups' passes read every row again, a
    // page a row at least.
    std::uint64_t page_bytes = 4096;
};

enum transpose_method : unsigned char {
    method_lanes,
    method_cursors,
    method_spill,
    method_halves,
    method_groups,
};

// A method and its threads: its parts of the rows, each on a thread of its
// own (the groups and the lanes: 2 only for a split table), and whether a
// group is filled on one thread while the one before it is written on
// another (the groups).
struct method_step {
    transpose_method method = method_groups;
    std::int32_t parts = 1;
    bool pipelined = false;
    // The spill: bands of band_budget / 2 bytes at most, whatever the
    // budget (0: as the budget allows); written nothing when it finds no
    // spill file, so that the next step may be tried.
    std::uint64_t band_budget = 0;
    // The lanes of a result without offsets (a pipe): written at offsets
    // into a spill file, which then goes out in sequence.
    bool spilled = false;
    // Lanes of this many bytes (more than output_slack) in place of their
    // share of lanes_bytes: the plan leaves it 0; tests make lanes that
    // their tables fill many times over.
    std::size_t lane_bytes = 0;
};

// The methods to try in order: each but the last may find no memory for its
// buffers (bands: nor a spill file), writing nothing, and the next is tried.
struct transpose_plan {
    method_step steps[4];
    std::int32_t count = 0;
};

table_shape shape_of(const cell_grid &grid);
transpose_plan plan_transpose(const table_shape &shape, const plan_target &target);
// Whether the lanes of a table of this many columns, split or not, fit in
// budget.
bool lanes_fit(const table_shape &shape, std::uint64_t budget, std::size_t page);
// The groups' threads for a table (a spilled band's among them).
method_step plan_groups(const table_shape &shape, std::size_t split_from);
// The spill's bands for a table of many rows, or band_budget 0 when the
// groups cost less; band_budget: the budget that gives its bands their size.
method_step plan_bands(const table_shape &shape, const plan_target &target);
std::uint64_t band_budget(const table_shape &shape, bool page);

// stored.cpp: the table as it stands, a line a row.
void write_stored(const table_view &table, const line_style &style, output_block *out);

// cursors.cpp: the rows' cursors, each row's next cell (its offset in the
// bytes, row_done past its last), made of the row index, which they
// consume; one output line from them.
struct row_cursors {
    scratch_array<std::size_t> next;
};
row_cursors start_cursors(const table_view &table, row_index &&rows,
                          const progress_sink &told = {});
void write_line_by_cursors(const table_view &table, std::size_t *next, const line_style &style,
                           output_block *out);

// line_sizes.cpp: output lines' sizes from the loader's sums.
bool summed_count(const std::uint32_t *table, const std::uint32_t *head, const cell_grid &grid,
                  const row_part &rows, std::int32_t c, std::uint64_t *count);
bool summed_bytes(const cell_grid &grid, const row_part &rows, std::int32_t c,
                  std::uint64_t *bytes);
std::uint32_t *part_extras(const cell_grid &grid, const line_style &style, const row_part &rows);
// part_extras for all rows, a split table's two parts found at once.
std::uint32_t *table_extras(const cell_grid &grid, const line_style &style, bool threads);
bool sizes_summed(const cell_grid &grid, const line_style &style, const row_part &rows,
                  const std::uint32_t *extras);
bool base_sizes(const cell_grid &grid, const line_style &style, const row_part &rows,
                std::int32_t first_line, std::int32_t lines, const std::uint32_t *extras,
                std::size_t *sizes);
// Each output line's entries from all of grid's rows on a page, without the
// row tags; false where part_extras has no extras or a size passes 32 bits.
bool page_entries_sizes(const cell_grid &grid, const line_style &style, std::uint32_t *sizes);
void absent_sizes(const cell_grid &grid, const line_style &style, const row_part &rows,
                  std::int32_t lines, std::size_t *sizes);

// groups.cpp: output lines [first_line, end_line) from the cursors next.
void write_by_groups(const cell_grid &grid, std::size_t *next, const line_style &style,
                     output_block *out, line_group *group, std::int32_t first_line,
                     std::int32_t end_line, const method_step &step,
                     std::uint32_t *extras = nullptr);

// halves.cpp: false, nothing written, when its buffers cannot be had.
bool write_halves(const cell_grid &grid, std::size_t *next, const line_style &style,
                  output_block *out, line_group *group);

// lanes.cpp: up to lane_columns columns; false, nothing written, when its
// lanes cannot be had. Spilled, also when no spill file took every line.
bool write_by_lanes(const cell_grid &grid, const line_style &style, output_block *out,
                    const method_step &step);
bool write_lanes_spilled(const cell_grid &grid, const line_style &style, const output_target &to,
                         output_block *out, const method_step &step);

// spill.cpp: bands of rows through a spill file, cut from the grid's row
// index when it has one (else from its bytes). Bands taken by choice go in
// pairs on two threads where the whole budget holds two, each run at its
// place in the spill (the first band's sums give the second's place), from
// split_from bytes on. With may_decline, false,
// nothing written and out's failure cleared, when no spill file, or no
// memory for its runs, could be had. A delimited result at offsets whose
// runs are in memory with their lines' sizes is taken back in two halves
// of its lines, on two threads, from split_from bytes on.
bool write_spilled(const cell_grid &grid, const line_style &style, const output_target &to,
                   output_block *out, bool may_decline = false);
// A spill file in place 0 or 1 of spill_places (platform.h), on the scratch
// list, so that a run cut short closes it too; -1 when none can be had.
int open_listed_spill(const char *beside, int place);
// The share of the table that taken bytes of a spill's spilled stand for,
// for the progress line: all of it once taken reaches spilled.
std::uint64_t share_taken(std::uint64_t share, std::uint64_t taken, std::uint64_t spilled);

// writers.cpp: one step of a plan, the row index turned into the cursors
// before the first that walks them; false when it wrote nothing for want of
// its buffers. The writers run the plan's steps through it, the plan sweep
// (bench/) each method alone.
bool run_plan_step(const method_step &step, cell_grid *grid, const line_style &style,
                   const output_target &to, output_block *out, row_cursors *cursors);

#endif
