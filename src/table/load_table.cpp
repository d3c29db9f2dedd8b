#include "table/cell_grid.h"

#include <cstdio>
#include <cstdlib>

namespace
{

struct line_end_counts {
    std::size_t lf = 0;
    std::size_t cr = 0;
};

struct table_size {
    std::int32_t rows = 1;    // lines + 1, before the trailing row is dropped
    std::int32_t columns = 1; // the most cells any line fills
};

} // namespace

static line_end_counts count_line_ends(const unsigned char *p, std::size_t length)
{
    line_end_counts counts;
    for (std::size_t i = 0; i < length; ++i) {
        counts.lf += p[i] == 0x0A;
        counts.cr += p[i] == 0x0D;
    }
    return counts;
}

// A file without LF uses CR as its line end; in any other file a CR ends no
// line and becomes a NUL, which ends the text of its cell.
static void normalise_line_ends(unsigned char *p, std::size_t length, line_end_counts counts)
{
    if (counts.cr == 0)
        return;
    unsigned char replacement = counts.lf == 0 ? 0x0A : 0x00;
    for (std::size_t i = 0; i < length; ++i) {
        if (p[i] == 0x0D)
            p[i] = replacement;
    }
}

// Counts the cells each line fills exactly as split_cells fills them: a
// delimiter opens one cell (two at the start of a line: the empty first cell
// and the one after it), and text opens one where the split reaches it, which
// is at the start of a line or after a NUL. A NUL inside a line can therefore
// open more cells than the line's delimiters account for; counting them here
// keeps every cell inside its row.
static bool size_table(const unsigned char *p, std::size_t length, unsigned char delimiter,
                       table_size *size)
{
    constexpr std::size_t count_limit = 2147483647;
    std::size_t lines = 0;
    std::size_t widest = 1;
    std::size_t filled = 0;
    unsigned char previous = 0x0A;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char b = p[i];
        if (b == 0x0A) {
            ++lines;
            filled = 0;
        } else if (b == delimiter) {
            filled += filled == 0 ? 2 : 1;
        } else if (b != 0x00 && (previous == 0x0A || previous == 0x00)) {
            ++filled;
        }
        if (filled > widest)
            widest = filled;
        previous = b;
    }
    if (lines >= count_limit || widest > count_limit)
        return false;
    size->rows = static_cast<std::int32_t>(lines + 1);
    size->columns = static_cast<std::int32_t>(widest);
    return true;
}

char ***alloc_cell_table(std::int32_t columns, std::int32_t rows)
{
    if (columns < 1 || rows < 1)
        return nullptr;
    std::size_t row_count = static_cast<std::size_t>(rows);
    std::size_t cell_count = 0;
    std::size_t pointers = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(row_count, static_cast<std::size_t>(columns), &cell_count) ||
        __builtin_add_overflow(row_count, cell_count, &pointers) ||
        __builtin_mul_overflow(pointers, sizeof(char *), &bytes))
        return nullptr;
    void *block = std::calloc(1, bytes);
    if (block == nullptr)
        return nullptr;
    char ***row_table = static_cast<char ***>(block);
    char **cell = reinterpret_cast<char **>(row_table + row_count);
    for (std::size_t r = 0; r < row_count; ++r, cell += columns)
        row_table[r] = cell;
    return row_table;
}

static bool is_cell_end(unsigned char b, unsigned char delimiter)
{
    return b == delimiter || b == 0x0A || b == 0x00;
}

// One scan that NUL-terminates every cell in place. The data is followed by a
// zero byte, so skipping a cell's text needs no length test.
static void split_cells(unsigned char *p, std::size_t length, unsigned char delimiter,
                        char ***cells)
{
    char **row = cells[0];
    std::size_t r = 0;
    std::size_t c = 0;
    std::size_t i = 0;
    while (i < length) {
        unsigned char b = p[i];
        if (b == 0x0A) {
            p[i++] = 0x00;
            row = cells[++r];
            c = 0;
            continue;
        }
        if (b == 0x00) {
            ++i;
            continue;
        }
        if (b == delimiter) {
            if (c == 0)
                row[c++] = reinterpret_cast<char *>(p + i);
            p[i] = 0x00;
            row[c++] = reinterpret_cast<char *>(p + i + 1);
        } else {
            row[c++] = reinterpret_cast<char *>(p + i);
        }
        ++i;
        while (!is_cell_end(p[i], delimiter))
            ++i;
    }
}

static bool row_is_absent(char *const *row, std::int32_t columns)
{
    for (std::int32_t c = 0; c < columns; ++c) {
        if (row[c] != nullptr)
            return false;
    }
    return true;
}

bool load_table(char *buffer, std::size_t length, unsigned char delimiter, cell_grid *grid)
{
    unsigned char *p = reinterpret_cast<unsigned char *>(buffer);
    normalise_line_ends(p, length, count_line_ends(p, length));
    table_size size;
    char ***cells = nullptr;
    if (size_table(p, length, delimiter, &size))
        cells = alloc_cell_table(size.columns, size.rows);
    if (cells == nullptr) {
        std::fputs("Couldn't allocate memory for array.\n", stderr);
        return false;
    }
    split_cells(p, length, delimiter, cells);
    std::int32_t rows = size.rows;
    if (row_is_absent(cells[rows - 1], size.columns))
        --rows;
    grid->cells = cells;
    grid->rows = rows;
    grid->columns = size.columns;
    return true;
}
