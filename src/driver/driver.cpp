#include "driver/driver.h"

#include "driver/memory_budget.h"
#include "driver/progress.h"

#include "output/writers.h"
#include "platform/platform.h"
#include "table/cell_grid.h"
#include "table/charset.h"
#include "table/input_file.h"
#include "table/utf16.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void print_usage(const char *program_path)
{
    const char *name = program_path;
    for (const char *p = program_path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            name = p + 1;
    }
    std::fprintf(stderr, "\nUsage: %s {-c|-t|-n|-h|-s|file_name}+\n\n", name);
    std::fputs("\toption -c: The delimiter changes to comma.\n", stderr);
    std::fputs("\toption -t: The delimiter changes to tab. (default)\n", stderr);
    std::fputs("\toption -n: The next file result will not replace.\n", stderr);
    std::fputs("\toption -h: The next file result write as html format.\n", stderr);
    std::fputs("\toption -s: The next file result write to stdout.\n", stderr);
    std::fputs("\tfile_name: File name to replace the rows and columns.\n\n", stderr);
    std::exit(1);
}

bool apply_option(run_options *options, const char *argument)
{
    if (argument[0] != '-' || argument[1] == '\0' || argument[2] != '\0')
        return false;
    switch (argument[1]) {
    case 'c':
        options->delimiter = ',';
        return true;
    case 't':
        options->delimiter = '\t';
        return true;
    case 'n':
        options->replace = false;
        return true;
    case 'h':
        options->output_format = format_html;
        return true;
    case 's':
        options->to_file = false;
        return true;
    default:
        return false;
    }
}

char *derive_output_path(const char *name, bool replace, int output_format)
{
    const char *suffix = nullptr;
    if (output_format == format_delimited)
        suffix = replace ? "_replace.csv" : "_normal.csv";
    else
        suffix = replace ? "_replace.htm" : "_normal.htm";
    std::size_t size = std::strlen(name) + std::strlen(suffix) + 1;
    char *path = static_cast<char *>(std::calloc(1, size));
    if (path != nullptr)
        std::snprintf(path, size, "%s%s", name, suffix);
    return path;
}

static void reset_one_file_options(run_options *options)
{
    options->replace = true;
    options->output_format = format_delimited;
    options->to_file = true;
}

// The result: only the stored orientation streams without a row table.
// UTF-16 text (order) is known by its mark, which its result repeats before
// the units.
static bool write_table_bytes(cell_grid *grid, const run_options &options, output_target to,
                              int order)
{
    utf16_encoder encoder;
    if (order != utf16_none) {
        unsigned char mark[2];
        put_utf16_mark(order, mark);
        if (!write_sequential(to.fd, reinterpret_cast<const char *>(mark), 2))
            return false;
        encoder.order = order;
        to.encoder = &encoder;
        to.origin += 2;
    }
    if (options.replace)
        return write_replace(grid, options.output_format, to);
    return write_normal(*grid, options.output_format, to);
}

// The progress line, shown while the result is written, is gone before any
// message about it.
static bool write_table(const char *name, cell_grid *grid, const run_options &options,
                        const output_target &to, int order)
{
    progress_begin(name, grid->length);
    bool written = write_table_bytes(grid, options, to, order);
    progress_end();
    return written;
}

static void write_to_stdout(const char *name, cell_grid *grid, run_options *options,
                            output_target to, int order)
{
    to.fd = standard_output;
    to.positioned = output_cursor(to.fd, &to.origin);
    to.keep_cursor = true;
    bool written = write_table(name, grid, *options, to, order);
    reset_one_file_options(options);
    if (!written)
        std::fputs("Couldn't write to standard output.\n", stderr);
}

// A result that could not be written whole is removed, and whatever stood at
// its name before is left as it was. A regular file, new or emptied, may be
// written at offsets.
static void write_to_file(const char *name, cell_grid *grid, run_options *options,
                          const char *output_path, output_target to, int order)
{
    result_file result;
    if (!open_result(output_path, &result)) {
        std::fprintf(stderr, "'%s' open error.\n", output_path);
        return;
    }
    to.fd = result.fd;
    to.positioned = result.regular;
    bool written = write_table(name, grid, *options, to, order);
    reset_one_file_options(options);
    if (written)
        written = commit_result(&result);
    else
        abandon_result(&result);
    if (!written)
        std::fprintf(stderr, "'%s' write error.\n", output_path);
}

// UTF-16 text is loaded and written in its internal form (utf16.h), which
// then takes the file's place in *input. False, holding nothing, when that
// form cannot be had.
static bool decode_if_utf16(input_data *input, int *order)
{
    *order = utf16_order(input->bytes, input->length);
    if (*order == utf16_none)
        return true;
    input_data internal;
    bool decoded = decode_utf16(input->bytes, input->length, *order, &internal);
    release_input(input);
    if (!decoded) {
        std::fputs("Couldn't allocate memory.\n", stderr);
        return false;
    }
    *input = internal;
    return true;
}

// A row table that would take more than a quarter of the budget is not
// made: the table is then measured alone and transposed in blocks of rows.
static bool load_within_budget(const input_data &input, const run_options &options,
                               std::uint64_t budget, load_limits limits, cell_grid *grid)
{
    limits.most_rows = std::max<std::uint64_t>(budget / 4 / sizeof(std::size_t), 2);
    limits.most_columns = budget / 8 / sizeof(std::uint32_t);
    int loaded = load_table_within(input.bytes, input.length, options.delimiter, options.replace,
                                   limits, grid);
    if (loaded != load_over_limit)
        return loaded == load_done;
    load_limits alone;
    alone.check_utf8 = limits.check_utf8;
    return load_table_within(input.bytes, input.length, options.delimiter, false, alone, grid) ==
           load_done;
}

// Only a page looks at the character set. When the first match names
// Shift_JIS or EUC-JP, the guess reads the whole text a second time: the
// load, which reads it anyway, checks it on its way.
static bool load_and_guess(const input_data &input, const run_options &options,
                           std::uint64_t budget, int order, cell_grid *grid)
{
    bool page = options.output_format == format_html;
    int first = page && order == utf16_none ? first_match_charset(input.bytes) : charset_utf16;
    load_limits asked;
    asked.count_continuations = order != utf16_none;
    asked.check_utf8 = page && needs_second_look(first);
    bool loaded = load_within_budget(input, options, budget, asked, grid);
    if (page)
        current_charset_code = asked.check_utf8 && grid->utf8_text ? charset_utf8 : first;
    return loaded;
}

void process_file(const char *name, run_options *options)
{
    input_data input;
    int order = utf16_none;
    if (!read_input(name, &input) || !decode_if_utf16(&input, &order))
        return;
    char *output_path = derive_output_path(name, options->replace, options->output_format);
    if (output_path == nullptr) {
        std::fputs("Couldn't allocate memory.\n", stderr);
        release_input(&input);
        return;
    }
    output_target to;
    memory_figures figures = read_memory_figures(input.length);
    to.budget = memory_budget(figures);
    to.room = figures.room;
    to.spill_beside = output_path;
    cell_grid grid;
    if (load_and_guess(input, *options, to.budget, order, &grid)) {
        if (options->to_file)
            write_to_file(name, &grid, options, output_path, to, order);
        else
            write_to_stdout(name, &grid, options, to, order);
        release_table(&grid);
    }
    std::free(output_path);
    release_input(&input);
}
