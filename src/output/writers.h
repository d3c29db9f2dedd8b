// Result writers: write a table as delimited text or as an HTML page, in
// stored order (write_normal: one output line per row) or transposed
// (write_replace: one output line per column).
//
// They read the input's bytes through the grid (cell_grid.h), padded as
// input_file.h states: cells are copied in 16-byte blocks that may read up to
// 15 bytes past the byte that ends a cell. write_normal needs no row index;
// write_replace takes the grid by move, turns its row index into the rows'
// cursors, and frees its arrays before it returns. Both write to.fd through output
// blocks (output_block.h); a destination that allows positioned writes may
// be written out of order, at offsets from to.origin. They neither flush
// anything else nor close the descriptor, print nothing, and return false
// when a write failed or memory ran out, saying which in *why (when given):
// failure::write with the write's error number, or failure::array_memory.
// A table the loader split is written by two threads, which return before
// the writer does. They stage bytes in to.blocks, had for the one write when
// null. The HTML page names and escapes by to.charset.
#ifndef TABFLIP_WRITERS_H
#define TABFLIP_WRITERS_H

#include "output/output_block.h"
#include "platform/platform.h"
#include "table/cell_grid.h"

enum result_format : unsigned char { format_html = 0, format_delimited = 1 };

struct unit_table; // table/unit_table.h

bool write_normal(const cell_grid &grid, result_format format, const output_target &to,
                  failure_report *why = nullptr);
bool write_replace(cell_grid &&grid, result_format format, const output_target &to,
                   failure_report *why = nullptr);
// A simple UTF-16 table (unit_table.h) transposed in its own units, as
// write_replace writes a delimited result; the caller writes the mark
// before them, at to.origin - 2; units_result_bytes: the bytes it writes.
// Lanes at offsets where the destination takes them and to.budget holds
// them, else each line a walk of the table.
bool write_units_replace(const unit_table &table, output_target to, failure_report *why = nullptr);
std::uint64_t units_result_bytes(const unit_table &table);
// Whether write_replace writes the grid to to by lanes first, which read
// its rows in order and need no row index (units: a UTF-16 result); and,
// before the table is loaded, whether its first line and the lines after
// each quarter of its bytes hold few enough cells for them (each found
// within 64 KiB).
bool replaced_by_lanes(const cell_grid &grid, result_format format, bool units,
                       const output_target &to);
bool lines_fit_lanes(const unsigned char *bytes, std::size_t length, unsigned char delimiter);

// Flushes what out holds, leaves a kept cursor after the result and says
// what failed in *why (when given); false when anything did.
bool finish_output(output_block *out, const output_target &to, failure_report *why);

// Fills what blocks lacks of the writers' blocks (output_block.h); false
// when memory for them cannot be had. Each write asks for to.blocks; a
// caller that measures its memory asks first, so that the measure holds
// them.
bool have_writer_blocks(writer_blocks *blocks);

// The bytes the writers will write for grid's result, when the loader's
// sums tell (units: a UTF-16 result, less its mark); false when they do not.
// A page, in charset, reads the table's bytes once for it.
bool result_bytes(const cell_grid &grid, result_format format, charset_id charset, bool transposed,
                  bool units, std::uint64_t *bytes);

// Whether the loader, measuring the table in bytes[0, length) in two parts
// (from split_from bytes on), keeps them for the writers (load_limits'
// keep_parts): the writers take a table of few rows as one.
bool wants_row_parts(const unsigned char *bytes, std::size_t length, std::size_t split_from);

#endif
