// Result writers: write a cell grid as delimited text (output_format 1) or as
// an HTML page (output_format 0), in stored order (write_normal: one output
// line per row) or transposed (write_replace: one output line per column).
//
// The writers only read the cells and write to the stream; they allocate
// nothing, neither flush nor close the stream, and do not look at write
// errors: the caller checks the stream afterwards. Delimited text copies cells
// in 16-byte blocks, so every present cell must lie in a buffer padded as
// cell_grid.h describes: up to 15 bytes past a cell's NUL are read. Any other output_format
// writes "NOT support.\n" to stderr and nothing to the stream. Counts of zero
// or less write no line (rows) or no entry (columns).
#ifndef TABFLIP_WRITERS_H
#define TABFLIP_WRITERS_H

#include <cstdint>
#include <cstdio>

constexpr int format_html = 0;
constexpr int format_delimited = 1;

void write_normal(char *const *const *cells, int output_format, std::FILE *stream,
                  std::int32_t columns, std::int32_t rows, int delimiter);
void write_replace(char *const *const *cells, int output_format, std::FILE *stream,
                   std::int32_t columns, std::int32_t rows, int delimiter);

#endif
