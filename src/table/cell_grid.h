// Table loading: the shape of a table read from an input's bytes, and where
// each of its rows starts. No cell is stored: the writers find a row's cells
// by walking its bytes from first_cell with cell_after.
//
// The bytes belong to the caller, padded as input_file.h states, and are only
// read; they must outlive the grid. A cell's text runs from its start to the
// first delimiter, LF, CR or NUL. Lines end at LF; in a file without LF and
// with a CR they end at CR instead. Inside a line NUL and CR end text but no
// line, and text after them opens a further cell.
// The grid is in parts: the view of the bytes and the shape, copied freely;
// the row index, the column sums and the split, which the loader fills. The
// row index and the sums are on the scratch list (platform.h), each held by
// one owner that frees it: a grid moves and is never copied, and a moved-from
// grid frees nothing.
// Nothing here prints: the caller reports a refused table.
#ifndef TABFLIP_CELL_GRID_H
#define TABFLIP_CELL_GRID_H

#include "platform/platform.h"
#include "table/charset.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// The table's bytes and shape: all that reading its cells takes.
struct table_view {
    const unsigned char *bytes = nullptr;
    std::size_t length = 0;
    unsigned char delimiter = '\t';
    unsigned char line_end = '\n'; // '\r' in a file with CR line ends and no LF
    std::int32_t rows = 0;         // 0 or more
    std::int32_t columns = 1;      // 1 or more: the most cells any line fills
    // No NUL or CR, and every row's line holds columns - 1 delimiters: each
    // line is its row as written, but for the LF a final line may lack.
    bool plain = false;
};

// An array on the scratch list, freed there when its owner goes.
struct scratch_release {
    void operator()(void *block) const
    {
        scratch_free(block);
    }
};
template <typename T> using scratch_array = std::unique_ptr<T[], scratch_release>;

// Row r's bytes are [starts[r], starts[r + 1] - 1), the entry after the last
// line's start standing one past the data's end: 8 bytes a line. Null when
// the rows were not asked for. The transposed writer takes it by move and
// turns it into the rows' cursors.
struct row_index {
    scratch_array<std::size_t> starts;
};

// For a table without NUL or CR, loaded with the row index or asked for
// sums without it, and of few enough columns: column c's cells hold
// bytes[c] text bytes (columns entries each); else all are null. With a
// split, the first part's own sums are head_bytes, so that each part's
// share of an output line is known (else null). Beside them, when the load
// counted them: each column's continuation bytes (0x80..0xBF), the table's
// and the first part's. A table of 2 * fold_bytes (4 GiB) or more has its
// byte sums in totals and head_totals instead, 64 bits each, and no
// continuation counts.
struct table_sums {
    scratch_array<std::uint32_t> bytes;
    scratch_array<std::uint32_t> head_bytes;
    scratch_array<std::uint32_t> continuations;
    scratch_array<std::uint32_t> head_continuations;
    scratch_array<std::uint64_t> totals;
    scratch_array<std::uint64_t> head_totals;
};

// A large table is measured in two parts at once: rows [0, rows), and the
// rest from byte at on. Both 0 when not split.
struct row_split {
    std::int32_t rows = 0;
    std::size_t at = 0;
};

struct cell_grid {
    table_view table;
    row_index index;
    table_sums sums;
    row_split split;
    // When the load was given a first match that asks for the charset
    // guess's second look (charset.h), which it makes as it scans, or was
    // asked for the whole guess: the guess. Else charset_none.
    charset_id charset_code = charset_none;
};

// Tables from this size on are measured on two threads, each taking the
// lines of one half, and written by two; tests lower it (load_limits'
// split_from, output_target's) to split small tables.
constexpr std::size_t split_from_bytes = std::size_t{4} << 20;

// A part's 32-bit column sums gather at most this many bytes of its text
// before they are added into 64-bit totals: a table of twice as many bytes
// or more keeps those totals. Tests lower it (load_limits' fold_bytes).
constexpr std::size_t fold_bytes_most = std::size_t{1} << 31;

// Measures the table in bytes[0, length): columns, rows and line ends, and
// with with_rows each row's start. On failure (a count past 2^31 - 1, or no
// memory for the row table) holds nothing and returns false.
bool load_table(const unsigned char *bytes, std::size_t length, unsigned char delimiter,
                bool with_rows, cell_grid *grid);

// Bounds on the row table and the column sums: a table with more rows is
// not loaded, and one with more columns is loaded without sums. Also what
// the scan does beside: count continuation bytes with the sums, check UTF-8.
struct load_limits {
    std::size_t most_rows = SIZE_MAX;      // row table entries, the end's included
    std::size_t most_columns = SIZE_MAX;   // column sums
    bool count_continuations = false;      // with the sums (a UTF-16 result's units)
    charset_id first_match = charset_none; // the charset guess's, for its second look
    // Without a first match: the whole guess, made after the scan from where
    // the scan found the text stop being plain ASCII.
    bool guess_charset = false;
    std::size_t split_from = split_from_bytes; // the least length measured in two parts
    bool threads = true;                       // the parts on two threads (platform.h's run_both)
    // A table measured in two parts keeps them for the writers, with the
    // first part's own sums; else they are joined as one (the writers'
    // wants_row_parts says which).
    bool keep_parts = true;
    // Without the row table, the column sums all the same (a table loaded
    // alone for the transposed writers).
    bool sums_without_rows = false;
    std::size_t fold_bytes = fold_bytes_most; // see fold_bytes_most
};

enum load_result : unsigned char {
    load_done = 0,
    load_refused = 1,    // too large, or no memory: nothing held
    load_over_limit = 2, // more rows than limits allow; nothing written or held
};

// As load_table, within limits.
load_result load_table_within(const unsigned char *bytes, std::size_t length,
                              unsigned char delimiter, bool with_rows, const load_limits &limits,
                              cell_grid *grid);

// Rows [first, end) of a grid loaded with its row index, as a grid of their
// own without a second scan: their bytes from the first's start (to the
// data's end for the last row), the table's columns and line end, a row
// index of their own, and column sums (the columns' text bytes in these
// rows) when the table has them and has at most most_columns columns. False,
// holding nothing, when there is no memory for the row index.
bool load_row_band(const cell_grid &grid, std::int32_t first, std::int32_t end,
                   std::size_t most_columns, cell_grid *band);

// After release_scratch has freed every listed block: lets go of the grid's
// without freeing them again.
void forget_table(cell_grid *grid);

// A row's cells are walked in order from its first: each step takes the
// byte that ended a cell's text and gives the next cell's start.
// The start of row r's first cell, null for a row that fills none.
const unsigned char *first_cell(const cell_grid &grid, std::int32_t r);
// The start of a line's first cell, the line starting at begin; null for none.
const unsigned char *first_cell_at(const table_view &table, const unsigned char *begin);

// The cell after the one whose text ended at `end` (the byte that ended it),
// or null when that was the row's last.
static inline const unsigned char *cell_after(const table_view &table, const unsigned char *end)
{
    if (*end == table.delimiter)
        return end + 1;
    const unsigned char *data_end = table.bytes + table.length;
    if (end >= data_end || *end == table.line_end)
        return nullptr;
    const unsigned char *p = end + 1;
    while (p < data_end && *p != table.line_end && (*p == 0x00 || *p == 0x0D))
        ++p;
    if (p >= data_end || *p == table.line_end)
        return nullptr;
    return *p == table.delimiter ? p + 1 : p;
}

// The byte that ends the text starting at cell.
const unsigned char *cell_end(const unsigned char *cell, unsigned char delimiter);

#endif
