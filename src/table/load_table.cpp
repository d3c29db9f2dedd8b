#include "table/cell_grid.h"

#include "table/byte_blocks.h"

#include <bit>
#include <cstdio>
#include <cstdlib>

namespace
{

struct table_scan {
    std::size_t lf = 0;     // LF bytes: lines ended
    bool any_cr = false;    // a CR somewhere in the data
    std::size_t widest = 1; // the most cells any line fills
    std::size_t last = 0;   // cells the final line (after the last LF) fills
};

// What the byte just before a block was; the buffer's start counts as a line
// start.
struct scan_carry {
    std::uint64_t after_gap = 1;  // the byte ended text (LF, NUL or CR)
    std::uint64_t line_start = 1; // the byte was an LF
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
// with an LF; a file with CRs and no LF has them turned into LFs before it is
// scanned.
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

// Counted in registers: the x86-64 baseline has no popcount instruction, and
// the library call that stands in for it showed in profiles.
static std::size_t bits_set(std::uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

static std::size_t cells_opened(std::uint64_t single, std::uint64_t leading, std::uint64_t bits)
{
    std::size_t n = bits_set(single & bits);
    if ((leading & bits) != 0)
        n += bits_set(leading & bits);
    return n;
}

// Counts the cells each line fills exactly as split_cells fills them: a
// delimiter opens one cell (two at the start of a line: the empty first cell
// and the one after it), and text opens one where it follows a line start or
// a NUL. A NUL inside a line can therefore open more cells than the line's
// delimiters account for; counting them here keeps every cell inside its row.
// Fused with the line count: one pass of 64-byte blocks whose masks the line
// ends cut into per-line counts.
static table_scan scan_table(const unsigned char *p, std::size_t length, unsigned char delimiter)
{
    table_scan scan;
    scan_carry carry;
    std::size_t filled = 0;
    for (std::size_t at = 0; at < length; at += scan_block) {
        block_classes k = classify_block(p + at, delimiter);
        block_openers o = find_openers(k, &carry);
        std::uint64_t single = k.delimiter | o.starts;
        std::uint64_t rest = ~std::uint64_t{0};
        scan.any_cr |= k.cr != 0;
        for (std::uint64_t lf = k.lf; lf != 0; lf &= lf - 1) {
            std::uint64_t before = (lf & (0 - lf)) - 1;
            filled += cells_opened(single, o.leading, before & rest);
            if (filled > scan.widest)
                scan.widest = filled;
            filled = 0;
            rest = ~(before << 1 | 1);
            ++scan.lf;
        }
        filled += cells_opened(single, o.leading, rest);
    }
    if (filled > scan.widest)
        scan.widest = filled;
    scan.last = filled;
    return scan;
}

static void replace_byte(unsigned char *p, std::size_t length, unsigned char from, unsigned char to)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (p[i] == from)
            p[i] = to;
    }
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

namespace
{

struct split_state {
    char ***next_row = nullptr; // the row table entry after the current row's
    char **row = nullptr;       // the current row's cells
    std::size_t c = 0;          // cells the current line has filled
};

} // namespace

// Opens the cells of one stretch of a line that holds no NUL or CR: the text
// at the line's first byte, when the stretch begins the line, then one cell
// per delimiter (and the empty first cell for a delimiter that begins it).
static void open_cells(unsigned char *base, std::uint64_t start, std::uint64_t delimiters,
                       split_state *s)
{
    if (start != 0)
        s->row[s->c++] = reinterpret_cast<char *>(base + std::countr_zero(start));
    if (s->c == 0 && delimiters != 0)
        s->row[s->c++] = reinterpret_cast<char *>(base + std::countr_zero(delimiters));
    for (; delimiters != 0; delimiters &= delimiters - 1) {
        unsigned char *at_byte = base + std::countr_zero(delimiters);
        *at_byte = 0x00;
        s->row[s->c++] = reinterpret_cast<char *>(at_byte + 1);
    }
}

static void end_line(unsigned char *at_byte, split_state *s)
{
    *at_byte = 0x00;
    s->row = *s->next_row++;
    s->c = 0;
}

// A block in which text opens cells only at line starts (no CR, no text after
// a NUL), which is nearly every block: cut at its LFs, each stretch opens its
// cells without a test per byte class.
static void split_plain_block(unsigned char *base, const block_classes &k, const block_openers &o,
                              split_state *s)
{
    std::uint64_t rest = ~std::uint64_t{0};
    for (std::uint64_t lf = k.lf; lf != 0; lf &= lf - 1) {
        std::uint64_t before = (lf & (0 - lf)) - 1;
        open_cells(base, o.starts & before & rest, k.delimiter & before & rest, s);
        end_line(base + std::countr_zero(lf), s);
        rest = ~(before << 1 | 1);
    }
    open_cells(base, o.starts & rest, k.delimiter & rest, s);
}

// Any other block, one structural byte after another.
static void split_any_block(unsigned char *base, const block_classes &k, const block_openers &o,
                            split_state *s)
{
    std::uint64_t events = k.delimiter | k.lf | k.cr | o.starts;
    for (; events != 0; events &= events - 1) {
        std::uint64_t bit = events & (0 - events);
        unsigned char *at_byte = base + std::countr_zero(events);
        if ((k.delimiter & bit) != 0) {
            if (s->c == 0)
                s->row[s->c++] = reinterpret_cast<char *>(at_byte);
            *at_byte = 0x00;
            s->row[s->c++] = reinterpret_cast<char *>(at_byte + 1);
        } else if ((k.lf & bit) != 0) {
            end_line(at_byte, s);
        } else if ((k.cr & bit) != 0) {
            *at_byte = 0x00;
        } else {
            s->row[s->c++] = reinterpret_cast<char *>(at_byte);
        }
    }
}

// One pass that NUL-terminates every cell in place. It visits only the bytes
// that do something, taken from each block's masks in order: delimiters, line
// ends, CRs and the text that follows a line start, NUL or CR; the text of a
// cell is never looked at byte by byte.
static void split_cells(unsigned char *p, std::size_t length, unsigned char delimiter,
                        char ***cells)
{
    split_state s;
    s.next_row = cells + 1;
    s.row = cells[0];
    scan_carry carry;
    for (std::size_t at = 0; at < length; at += scan_block) {
        block_classes k = classify_block(p + at, delimiter);
        block_openers o = find_openers(k, &carry);
        if (k.cr == 0 && (o.starts & ~o.line_starts) == 0)
            split_plain_block(p + at, k, o, &s);
        else
            split_any_block(p + at, k, o, &s);
    }
}

// The split reads a CR as a NUL and writes it as one, so a file with LF line
// ends is normalised on the way; only a file with CR line ends and no LF has
// its CRs rewritten first, and is then scanned again.
bool load_table(char *buffer, std::size_t length, unsigned char delimiter, cell_grid *grid)
{
    constexpr std::size_t count_limit = 2147483647;
    unsigned char *p = reinterpret_cast<unsigned char *>(buffer);
    table_scan scan = scan_table(p, length, delimiter);
    if (scan.lf == 0 && scan.any_cr) {
        replace_byte(p, length, 0x0D, 0x0A);
        scan = scan_table(p, length, delimiter);
    }
    char ***cells = nullptr;
    if (scan.lf < count_limit && scan.widest <= count_limit)
        cells = alloc_cell_table(static_cast<std::int32_t>(scan.widest),
                                 static_cast<std::int32_t>(scan.lf + 1));
    if (cells == nullptr) {
        replace_byte(p, length, 0x0D, 0x00);
        std::fputs("Couldn't allocate memory for array.\n", stderr);
        return false;
    }
    split_cells(p, length, delimiter, cells);
    std::int32_t rows = static_cast<std::int32_t>(scan.lf + 1);
    std::int32_t columns = static_cast<std::int32_t>(scan.widest);
    // The last row is all absent exactly when the final line filled no cell;
    // asking the scan spares reading a whole row of a wide grid.
    if (scan.last == 0)
        --rows;
    grid->cells = cells;
    grid->rows = rows;
    grid->columns = columns;
    return true;
}
