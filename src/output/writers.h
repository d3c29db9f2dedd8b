// Result writers: write a cell grid as delimited text (output_format 1) or as
// an HTML page (output_format 0), in stored order (write_normal: one output
// line per row) or transposed (write_replace: one output line per column).
//
// The writers only read the cells and write to the stream; they allocate
// nothing, neither flush nor close the stream, and do not look at write
// errors: the caller checks the stream afterwards. Any other output_format
// writes "NOT support.\n" to stderr and nothing to the stream. Counts of zero
// or less write no line (rows) or no entry (columns).
//
// Delimited text is gathered in a bounded block on the stack and handed to
// the stream in large writes. Cells are copied in 16-byte blocks, so every
// present cell must lie in a buffer padded as cell_grid.h describes: up to 15
// bytes past a cell's NUL are read. The transposed writer keeps cell
// references in a static 1 MiB scratch, so the writers are not reentrant.
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
