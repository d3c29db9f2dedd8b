#include "output/writers.h"

#include "output/html.h"
#include "table/byte_blocks.h"

namespace
{

// Cell bytes are gathered here and handed to the stream in large writes: a
// stream call per cell or per byte costs more than the copy itself. The block
// is on the stack and bounded, whatever the table's size.
constexpr std::size_t output_size = std::size_t{1} << 18;
constexpr std::size_t output_slack = 64; // room for one copy block and a delimiter past flush_at
constexpr std::size_t flush_at = output_size - output_slack;

struct output_block {
    std::FILE *stream = nullptr;
    std::size_t used = 0; // bytes waiting in bytes[]
    char bytes[output_size];
};

} // namespace

static void flush_output(output_block *out)
{
    fwrite_unlocked(out->bytes, 1, out->used, out->stream);
    out->used = 0;
}

// Copies whole 16-byte blocks, the cell's NUL and the bytes after it
// included, and then counts only up to the NUL: the next write lands on them.
// The input buffer's padding makes the reads past a last cell safe.
static void put_cell(output_block *out, const char *text)
{
    for (;;) {
        std::size_t n = copy_text_block(out->bytes + out->used, text);
        out->used += n;
        if (n < copy_block)
            return;
        text += n;
        if (out->used > flush_at)
            flush_output(out);
    }
}

// The delimiter goes between entries only, so every line of the result has
// the same number of fields, whatever its source line held.
static inline void put_entry(output_block *out, const char *cell, bool last, int delimiter)
{
    if (out->used > flush_at)
        flush_output(out);
    if (cell != nullptr)
        put_cell(out, cell);
    out->bytes[out->used++] = last ? '\n' : static_cast<char>(delimiter);
}

static void write_delimited_normal(char *const *const *cells, output_block *out, std::int32_t rows,
                                   std::int32_t columns, int delimiter)
{
    for (std::int32_t i = 0; i < rows; ++i) {
        char *const *row = cells[i];
        for (std::int32_t j = 0; j < columns; ++j)
            put_entry(out, row[j], j == columns - 1, delimiter);
        if (columns <= 0)
            put_entry(out, nullptr, true, delimiter);
    }
}

// Line i of a transposed table straight from the grid. The references and
// texts a few rows ahead are fetched early, in two steps, since a text's
// address is known only once its reference has arrived.
static void put_grid_column(output_block *out, char *const *const *cells, std::int32_t i,
                            std::int32_t rows, int delimiter)
{
    constexpr std::int32_t ahead = 64;
    for (std::int32_t j = 0; j < rows; ++j) {
        if (j + ahead < rows) {
            __builtin_prefetch(cells[j + ahead] + i);
            __builtin_prefetch(cells[j + ahead / 2][i]);
        }
        put_entry(out, cells[j][i], j == rows - 1, delimiter);
    }
    if (rows <= 0)
        put_entry(out, nullptr, true, delimiter);
}

// The scratch for gathered references: row j's eight in one cache line.
constexpr std::int32_t gather_lines = 8;
constexpr std::int32_t gather_rows = 16384; // 8 x 16384 references: 1 MiB
static char *gathered[gather_lines * gather_rows];

// Line of a transposed table from gathered references, entry j in
// refs[j * gather_lines].
static void put_gathered_column(output_block *out, char *const *refs, std::int32_t rows,
                                int delimiter)
{
    constexpr std::int32_t ahead = 8;
    for (std::int32_t j = 0; j < rows; ++j) {
        if (j + ahead < rows)
            __builtin_prefetch(refs[static_cast<std::ptrdiff_t>(j + ahead) * gather_lines]);
        put_entry(out, refs[static_cast<std::ptrdiff_t>(j) * gather_lines], j == rows - 1,
                  delimiter);
    }
    if (rows <= 0)
        put_entry(out, nullptr, true, delimiter);
}

// Output line i takes cell i of every row. Read straight from the grid, each
// of those references sits in another cache line, and in another page once
// rows are long; a wide grid's lines evict one another before the next
// output line comes back for the neighbouring reference. So, when the table
// has few enough rows, the references of eight output lines are first
// gathered into a bounded scratch, reading each row's cache line once, and
// the lines are then written from it in order. The same pass fetches each
// row's texts for the eight lines, many rows in flight at once, so that the
// lines find them in cache. Taller tables have short rows that the walk down
// the grid streams through anyway.

static void write_delimited_transposed(char *const *const *cells, output_block *out,
                                       std::int32_t columns, std::int32_t rows, int delimiter)
{
    if (rows > gather_rows) {
        for (std::int32_t i = 0; i < columns; ++i)
            put_grid_column(out, cells, i, rows, delimiter);
        return;
    }
    for (std::int32_t i = 0; i < columns; i += gather_lines) {
        std::int32_t lines = columns - i < gather_lines ? columns - i : gather_lines;
        for (std::int32_t j = 0; j < rows; ++j) {
            if (j + 16 < rows)
                __builtin_prefetch(cells[j + 16] + i);
            char *const *row = cells[j] + i;
            for (std::int32_t k = 0; k < lines; ++k)
                gathered[j * gather_lines + k] = row[k];
            __builtin_prefetch(row[0]);
            __builtin_prefetch(row[lines - 1]);
        }
        for (std::int32_t k = 0; k < lines; ++k)
            put_gathered_column(out, gathered + k, rows, delimiter);
    }
}

static void write_delimited(char *const *const *cells, bool transposed, std::FILE *stream,
                            std::int32_t lines, std::int32_t entries, int delimiter)
{
    output_block out;
    out.stream = stream;
    if (transposed)
        write_delimited_transposed(cells, &out, lines, entries, delimiter);
    else
        write_delimited_normal(cells, &out, lines, entries, delimiter);
    flush_output(&out);
}

static void write_view(char *const *const *cells, int output_format, std::FILE *stream,
                       bool transposed, std::int32_t lines, std::int32_t entries, int delimiter)
{
    if (output_format == format_delimited)
        write_delimited(cells, transposed, stream, lines, entries, delimiter);
    else if (output_format == format_html)
        write_html_page(cells, transposed, stream, lines, entries);
    else
        std::fwrite("NOT support.\n", 1, 13, stderr);
}

void write_normal(char *const *const *cells, int output_format, std::FILE *stream,
                  std::int32_t columns, std::int32_t rows, int delimiter)
{
    write_view(cells, output_format, stream, false, rows, columns, delimiter);
}

void write_replace(char *const *const *cells, int output_format, std::FILE *stream,
                   std::int32_t columns, std::int32_t rows, int delimiter)
{
    write_view(cells, output_format, stream, true, columns, rows, delimiter);
}
