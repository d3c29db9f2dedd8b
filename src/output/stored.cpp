// The stored result: a table written a line per row, as it stands where it
// can.
#include "output/transpose.h"

#include <cstring>

static void put_delimiters(output_block *out, unsigned char delimiter, std::size_t count)
{
    while (count > 0) {
        std::size_t n = count < output_slack ? count : output_slack;
        std::memset(out->bytes + out->used, delimiter, n);
        out->used += n;
        count -= n;
        flush_if_full(out);
    }
}

// Counts the delimiters of line[0, end) when it holds no NUL or CR: such a
// line's cells are its bytes as they stand.
static inline bool plain_line(const unsigned char *line, const unsigned char *end,
                              unsigned char delimiter, std::size_t *delimiters)
{
    std::size_t count = 0;
    for (const unsigned char *p = line; p < end; p += scan_block) {
        block_classes k = classify_block(p, delimiter);
        auto left = static_cast<std::size_t>(end - p);
        std::uint64_t inside =
            left >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
        if (((k.nul | k.cr) & inside) != 0)
            return false;
        count += bits_set(k.delimiter & inside);
    }
    *delimiters = count;
    return true;
}

static void put_line_cells(output_block *out, const line_style &style, const table_view &table,
                           const unsigned char *line)
{
    std::int32_t entries = table.columns;
    begin_line(out, style);
    const unsigned char *next = nullptr;
    std::int32_t filled = walk_cells(
        table, first_cell_at(table, line), entries, marks(style), &next,
        [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain) {
            put_present(out, style, text, end, plain, k == entries - 1);
        });
    for (std::int32_t k = filled; k < entries; ++k)
        put_absent(out, style, k == entries - 1);
    end_line(out, style, entries);
}

// A table whose lines already hold every field is its own stored result:
// its bytes go out straight from the input, in pieces of the output block's size.
static void write_as_is(const table_view &table, output_block *out)
{
    flush_output(out);
    for (std::size_t at = 0; at < table.length && !out->failed; at += out->end) {
        std::size_t size = table.length - at < out->end ? table.length - at : out->end;
        write_direct(out, reinterpret_cast<const char *>(table.bytes) + at, size);
        note_consumed(out->progress, size);
    }
    if (table.length > 0 && table.bytes[table.length - 1] != '\n')
        put_bytes(out, "\n", 1);
}

// A streaming copy, line by line: a line without NUL or CR goes out as it
// stands, with the delimiters its short row lacks added before its LF. Only
// when counting are the lines told as consumed, consumed_step bytes at a time.
template <bool counting>
static void write_lines(const table_view &table, const line_style &style, output_block *out)
{
    const unsigned char *data_end = table.bytes + table.length;
    const unsigned char *line = table.bytes;
    const unsigned char *reported = line; // consumed up to here
    for (std::int32_t i = 0; i < table.rows; ++i) {
        auto *end = static_cast<const unsigned char *>(
            std::memchr(line, table.line_end, static_cast<std::size_t>(data_end - line)));
        if (end == nullptr)
            end = data_end;
        std::size_t delimiters = 0;
        if (style.format == format_delimited &&
            plain_line(line, end, table.delimiter, &delimiters)) {
            put_bytes(out, reinterpret_cast<const char *>(line),
                      static_cast<std::size_t>(end - line));
            put_delimiters(out, table.delimiter,
                           static_cast<std::size_t>(table.columns) - 1 - delimiters);
            put_bytes(out, "\n", 1);
        } else {
            put_line_cells(out, style, table, line);
        }
        line = end + 1;
        if constexpr (counting) {
            if (line <= data_end && static_cast<std::size_t>(line - reported) >= consumed_step) {
                note_consumed(out->progress, static_cast<std::size_t>(line - reported));
                reported = line;
            }
        }
    }
    if constexpr (counting)
        note_consumed(out->progress, static_cast<std::size_t>(data_end - reported));
}

void write_stored(const table_view &table, const line_style &style, output_block *out)
{
    if (style.format == format_delimited && table.plain)
        write_as_is(table, out);
    else if (out->progress.consumed != nullptr)
        write_lines<true>(table, style, out);
    else
        write_lines<false>(table, style, out);
}
