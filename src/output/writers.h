// Result writers: write a table as delimited text (output_format 1) or as an
// HTML page (output_format 0), in stored order (write_normal: one output line
// per row) or transposed (write_replace: one output line per column).
//
// They read the input's bytes through the grid (cell_grid.h), padded as
// input_file.h states: cells are copied in 16-byte blocks that may read up to
// 15 bytes past the byte that ends a cell. write_normal needs no row table;
// write_replace may walk the rows with the row table itself, which
// afterwards no longer holds the row starts. Both write to.fd through output
// blocks (output_block.h); a destination that allows positioned writes may
// be written out of order, at offsets from to.origin. They neither flush
// anything else nor close the descriptor, and return false when a write
// failed. A table the loader split is written by two threads, which return
// before the writer does. They keep their staging in static buffers, so they
// are not reentrant. The HTML
// page names and escapes by current_charset_code. Any other output_format
// writes "NOT support.\n" to stderr and nothing to the destination.
#ifndef TABFLIP_WRITERS_H
#define TABFLIP_WRITERS_H

#include "output/output_block.h"
#include "table/cell_grid.h"

constexpr int format_html = 0;
constexpr int format_delimited = 1;

bool write_normal(const cell_grid &grid, int output_format, const output_target &to);
bool write_replace(cell_grid *grid, int output_format, const output_target &to);

#endif
