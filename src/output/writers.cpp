#include "output/writers.h"

#include "output/html.h"

// The delimiter goes between entries only, so every line of the result has
// the same number of fields, whatever its source line held.
static void write_delimited(char *const *const *cells, bool transposed, std::FILE *stream,
                            std::int32_t lines, std::int32_t entries, int delimiter)
{
    for (std::int32_t i = 0; i < lines; ++i) {
        for (std::int32_t j = 0; j < entries; ++j) {
            const char *cell = transposed ? cells[j][i] : cells[i][j];
            if (cell != nullptr)
                fputs_unlocked(cell, stream);
            if (j < entries - 1)
                putc_unlocked(delimiter, stream);
        }
        putc_unlocked('\n', stream);
    }
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
