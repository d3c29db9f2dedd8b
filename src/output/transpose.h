// The ways a table is written, each in a file of its own, for writers.cpp,
// which picks one by the table's shape (write_transposed there).
//
// method   file         memory beside the input           threads  at offsets
// stored   stored.cpp   the output block                   1        no
// cursors  cursors.cpp  the row table, as cursors          1        no
// groups   groups.cpp   the row table, two staging buffers 1 or 2   no
// halves   halves.cpp   the groups' and 8 bytes a row      2        yes
// lanes    lanes.cpp    lanes_bytes a part, no row table   1 or 2   yes
// spill    spill.cpp    within the budget, a spill file    1        no
//
// Words: a group is the output lines staged at once; a part is the rows the
// loader measured on one thread; a lane is one output line's buffer.
#ifndef TABFLIP_TRANSPOSE_H
#define TABFLIP_TRANSPOSE_H

#include "output/cells.h"

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

// The second half's cursors take 8 bytes a row beside the row table: a
// table of more rows is left to the groups' two parts of its rows, so that
// its memory stays near 8 bytes a row.
constexpr std::int32_t halves_rows_most = std::int32_t{1} << 19; // 4 MiB of cursors

// Tall tables written at offsets: a part's lanes take this much.
constexpr std::size_t lanes_bytes = std::size_t{8} << 20;

// stored.cpp: the table as it stands, a line a row.
void write_stored(const cell_grid &grid, const line_style &style, output_block *out);

// cursors.cpp: the row table becomes the rows' cursors (rows' own); one
// output line from them.
void start_cursors(cell_grid *grid, const row_part &rows, const progress_sink &told = {});
void write_line_by_cursors(cell_grid *grid, const line_style &style, output_block *out);

// line_sizes.cpp: output lines' sizes from the loader's sums.
bool summed_count(const std::uint32_t *table, const std::uint32_t *head, const cell_grid &grid,
                  const row_part &rows, std::int32_t c, std::uint64_t *count);
bool summed_bytes(const cell_grid &grid, const row_part &rows, std::int32_t c,
                  std::uint64_t *bytes);
std::uint32_t *part_extras(const cell_grid &grid, const line_style &style, const row_part &rows);
bool sizes_summed(const cell_grid &grid, const line_style &style, const row_part &rows,
                  const std::uint32_t *extras);
bool base_sizes(const cell_grid &grid, const line_style &style, const row_part &rows,
                std::int32_t first_line, std::int32_t lines, const std::uint32_t *extras,
                std::size_t *sizes);

// groups.cpp: output lines [first_line, end_line) from the cursors.
void write_by_groups(cell_grid *grid, const line_style &style, output_block *out,
                     line_group *group, std::int32_t first_line, std::int32_t end_line,
                     std::uint32_t *extras = nullptr);

// halves.cpp: false, nothing written, when its buffers cannot be had.
bool write_halves(cell_grid *grid, const line_style &style, output_block *out, line_group *group);

// lanes.cpp: false, nothing written, when its lanes cannot be had.
bool write_by_lanes(const cell_grid *grid, const line_style &style, output_block *out);

// spill.cpp: blocks of rows through a spill file.
void write_spilled(const cell_grid &grid, const line_style &style, const output_target &to,
                   output_block *out, line_group *group);

#endif
