// Table loading: turns a file's bytes, read whole into memory, into a grid of
// cells in place.
//
// The caller owns the input buffer. It holds `length` data bytes followed by
// at least `buffer_padding` zero bytes: 64, because the scans read whole
// 64-byte blocks and the writers copy cells in 16-byte blocks, and a block
// started anywhere up to the end of the data must stay inside the buffer. The
// zeros also end the last cell and give the last block no line ends or
// delimiters. load_table rewrites the buffer: CRs are normalised, and every
// delimiter and LF becomes the NUL that ends a cell. Cells point into the
// buffer, so the buffer must outlive the grid.
// The grid is one calloc'd block: release it with free(grid.cells) before the
// buffer. load_table prints its own failure message.
#ifndef TABFLIP_CELL_GRID_H
#define TABFLIP_CELL_GRID_H

#include <cstddef>
#include <cstdint>

constexpr std::size_t buffer_padding = 64;

struct cell_grid {
    // rows row pointers, each to columns cell pointers; a null cell is absent,
    // any other points at NUL-terminated text inside the input buffer.
    char ***cells = nullptr;
    std::int32_t rows = 0;    // 0 or more
    std::int32_t columns = 1; // 1 or more
};

// Returns one zero-filled block: the row table, then rows x columns cell
// pointers row after row, each row pointer already aimed at its row. Returns
// null when a count is below 1 or the block's size cannot be represented or
// obtained.
char ***alloc_cell_table(std::int32_t columns, std::int32_t rows);

// Builds the grid over buffer[0, length). On failure writes
// "Couldn't allocate memory for array.\n" to stderr, holds nothing and returns
// false; the buffer then holds the normalised bytes, not yet split.
bool load_table(char *buffer, std::size_t length, unsigned char delimiter, cell_grid *grid);

#endif
