// A UTF-16 table measured in its own units, so that a transposition can copy
// them as they stand: no internal form (utf16.h) to make first, whose fresh
// memory costs more than the scan itself.
//
// Only the simplest table is measured so: every line holds the same number
// of cells (2 to unit_columns_most) and ends with LF or CR LF, but for the
// last, which may end without; no unit is NUL, and no CR stands anywhere
// but before an LF (a spreadsheet's export ends its lines so; the internal
// form drops such a CR from the text, and so do these writers). Anything
// else is left to the internal form, which knows every rule of the loader
// (cell_grid.h). The units are the caller's, padded as input_file.h states,
// and only read; a unit_table points into them and owns nothing. Nothing
// here prints.
#ifndef TABFLIP_UNIT_TABLE_H
#define TABFLIP_UNIT_TABLE_H

#include "table/byte_scans.h"
#include "table/utf16.h"

#include <cstddef>
#include <cstdint>

constexpr std::int32_t unit_columns_most = 64;

// A part of the lines, measured on a thread of its own: lines from byte
// begin of the units to byte end, and each column's text in bytes.
struct unit_part {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::int32_t rows = 0;
    std::uint64_t text[unit_columns_most] = {};
};

struct unit_table {
    const unsigned char *units = nullptr; // after the mark
    std::size_t length = 0;               // bytes, even
    unit_order order = utf16_little;
    unsigned char delimiter = '\t'; // the unit of this value
    std::int32_t rows = 0;
    std::int32_t columns = 0;
    std::int32_t parts = 1; // 1 or 2
    bool crlf = false;      // a CR stands before some LF
    unit_part part[2];
};

// Measures the units of bytes[2, size) of a UTF-16 text in order, in two
// parts from split_from bytes on (on two threads with threads). False when
// the table is not of the simplest kind above.
bool measure_unit_table(const unsigned char *bytes, std::size_t size, unit_order order,
                        unsigned char delimiter, std::size_t split_from, bool threads,
                        unit_table *table);

// The classes of the 32 units of a 64-byte block at p (unit-aligned): bit
// 2i stands for unit i, the odd bits are clear. A unit is one of these
// where one of its bytes is the value and the other zero, so the block's
// byte classes tell it in every build alike.
struct unit_classes {
    std::uint64_t delimiter = 0;
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t nul = 0;
};

static inline unit_classes classify_units(const unsigned char *p, unsigned char delimiter,
                                          unit_order order)
{
    constexpr std::uint64_t units = 0x5555555555555555ull;
    block_classes c = classify_block(p, delimiter);
    // Each unit's bit where its low byte is the value, and where its high
    // byte is zero.
    bool big = order == utf16_big;
    std::uint64_t high_zero = (big ? c.nul : c.nul >> 1) & units;
    auto low = [big](std::uint64_t mask) { return (big ? mask >> 1 : mask) & units; };
    return {low(c.delimiter) & high_zero, low(c.lf) & high_zero, low(c.cr) & high_zero,
            low(c.nul) & high_zero};
}

#endif
