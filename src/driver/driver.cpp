#include "driver/driver.h"

#include "driver/memory_budget.h"
#include "driver/progress.h"

#include "output/writers.h"
#include "platform/platform.h"
#include "table/cell_grid.h"
#include "table/charset.h"
#include "table/input_file.h"
#include "table/unit_table.h"
#include "table/utf16.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

char *derive_output_path(const char *name, bool replace, result_format output_format)
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

// The one message for what failed about subject: the input's name, the
// result's, or standard output's when subject is null.
static void report(const failure_report &failed, const char *subject)
{
    switch (failed.what) {
    case failure::none:
        break;
    case failure::open:
        std::fprintf(stderr, "'%s' open error.\n", subject);
        break;
    case failure::stat:
        std::fprintf(stderr, "'%s' stat error.\n", subject);
        break;
    case failure::read:
        std::fprintf(stderr, "'%s' read error.\n", subject);
        break;
    case failure::memory:
        std::fputs("Couldn't allocate memory.\n", stderr);
        break;
    case failure::array_memory:
        std::fputs("Couldn't allocate memory for array.\n", stderr);
        break;
    case failure::write:
        if (subject == nullptr)
            std::fputs("Couldn't write to standard output.\n", stderr);
        else
            std::fprintf(stderr, "'%s' write error.\n", subject);
        break;
    }
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
static failure_report write_table_bytes(cell_grid *grid, const run_options &options,
                                        output_target to, unit_order order)
{
    utf16_encoder encoder;
    if (order != utf16_none) {
        unsigned char mark[2];
        put_utf16_mark(order, mark);
        if (!write_sequential(to.fd, reinterpret_cast<const char *>(mark), 2))
            return {failure::write, errno};
        encoder.order = order;
        to.encoder = &encoder;
        to.origin += 2;
    }
    failure_report failed;
    if (options.replace)
        write_replace(std::move(*grid), options.output_format, to, &failed);
    else
        write_normal(*grid, options.output_format, to, &failed);
    return failed;
}

// A simple UTF-16 table transposed in its own units, after its mark.
static failure_report write_units_bytes(const unit_table &units, output_target to)
{
    unsigned char mark[2];
    put_utf16_mark(units.order, mark);
    if (!write_sequential(to.fd, reinterpret_cast<const char *>(mark), 2))
        return {failure::write, errno};
    to.origin += 2;
    failure_report failed;
    write_units_replace(units, to, &failed);
    return failed;
}

// What one file's run holds past its reading, where the driver finds it
// when a lost input page cuts the run short.
struct file_run {
    const char *name = nullptr;
    run_options *options = nullptr;
    run_state *state = nullptr;
    input_data input;
    char *output_path = nullptr;
    cell_grid grid;
    // A simple UTF-16 table, measured in its own units, in place of the grid.
    unit_table units;
    bool in_units = false;
    result_file result;
    progress_state progress;
};

static std::size_t table_length(const file_run &run)
{
    return run.in_units ? run.units.length : run.grid.table.length;
}

static void count_written(void *progress, std::uint64_t bytes)
{
    progress_advance(static_cast<progress_state *>(progress), bytes);
}

static void count_consumed(void *progress, std::uint64_t bytes)
{
    progress_consume(static_cast<progress_state *>(progress), bytes);
}

// The progress line, shown while the result is written, is gone before any
// message about it. It is not drawn into a result printed on the same
// terminal (on another, or into a file, it is), and its total is found only
// where it may be drawn (a page's takes a scan).
static failure_report write_table(file_run *run, output_target to, unit_order order)
{
    static const bool result_on_terminal = stdout_shares_stderr_terminal();
    const run_options &options = *run->options;
    bool draw = progress_possible() && (options.to_file || !result_on_terminal);
    std::uint64_t total = 0;
    if (run->in_units)
        total = units_result_bytes(run->units);
    else if (draw && !result_bytes(run->grid, options.output_format, to.charset, options.replace,
                                   order != utf16_none, &total))
        total = 0;
    progress_begin(&run->progress, run->name, total, table_length(*run), draw);
    // Without the result's size the share is of the table taken in, which
    // the writers count only when asked.
    to.progress = progress_sink{.written = count_written,
                                .consumed = draw && total == 0 ? count_consumed : nullptr,
                                .context = &run->progress};
    failure_report failed = run->in_units ? write_units_bytes(run->units, to)
                                          : write_table_bytes(&run->grid, options, to, order);
    progress_end(&run->progress);
    return failed;
}

static void write_to_stdout(file_run *run, output_target to, unit_order order)
{
    to.fd = standard_output;
    to.positioned = output_cursor(to.fd, &to.origin);
    to.keep_cursor = true;
    failure_report failed = write_table(run, to, order);
    reset_one_file_options(run->options);
    report(failed, nullptr);
}

// A result that could not be written whole is removed, and whatever stood at
// its name before is left as it was. A regular file, new or emptied, may be
// written at offsets. The result is the file's run's, so that a run cut
// short finds it open.
static void write_to_file(file_run *run, output_target to, unit_order order)
{
    result_file *result = &run->result;
    result->expected_size = table_length(*run);
    if (!open_result(run->output_path, result)) {
        report({failure::open, errno}, run->output_path);
        return;
    }
    to.fd = result->fd;
    to.positioned = result->regular;
    failure_report failed = write_table(run, to, order);
    reset_one_file_options(run->options);
    if (failed.what != failure::none)
        abandon_result(result);
    else if (!commit_result(result))
        failed = {failure::write, errno};
    report(failed, run->output_path);
}

// UTF-16 text is loaded and written in its internal form (utf16.h), which
// then takes the file's place in *input. False, holding nothing, when that
// form cannot be had. Its decode takes a second thread only where the
// limits leave room for its stack, as the load and the writers do.
static bool decode_if_utf16(input_data *input, std::size_t split_from, unit_order *order)
{
    *order = utf16_order(input->bytes, input->length);
    if (*order == utf16_none)
        return true;
    input_data internal;
    decode_settings settings{.split_from = split_from,
                             .threads = threads_fit(memory_figures{.room = memory_room()})};
    bool decoded = decode_utf16(input->bytes, input->length, *order, &internal, settings);
    release_input(input);
    if (!decoded) {
        report({failure::memory, ENOMEM}, nullptr);
        return false;
    }
    *input = internal;
    return true;
}

// The lanes, which write a table of few columns at offsets, need no row
// table: 8 bytes a row, whose fresh pages cost a tenth of such a run
// (2,000,000 x 10 to a file: 102-106 ms without it, 113-121 ms with it).
// A table whose first line, and the lines after each quarter of its bytes,
// hold few enough cells for them, transposed to a file or a standard output
// that takes offsets, is loaded without it, and loaded again with it when
// its shape leaves the lanes out: a second scan, which the lines sampled
// spare most ragged tables (60,000 lines of 1-300 cells, the first of 14).
// A UTF-16 table counts its continuation bytes: its result is in units.
static load_result load_for_lanes(const input_data &input, const run_options &options,
                                  std::uint64_t budget, const load_limits &limits, cell_grid *grid)
{
    std::uint64_t origin = 0;
    output_target to;
    to.positioned = options.to_file || output_cursor(standard_output, &origin);
    to.budget = budget;
    to.split_from = limits.split_from;
    bool units = limits.count_continuations;
    if (!to.positioned || !lines_fit_lanes(input.bytes, input.length, options.delimiter))
        return load_table_within(input.bytes, input.length, options.delimiter, true, limits, grid);
    load_limits without = limits;
    without.sums_without_rows = true;
    load_result loaded =
        load_table_within(input.bytes, input.length, options.delimiter, false, without, grid);
    if (loaded != load_done || replaced_by_lanes(*grid, options.output_format, units, to))
        return loaded;
    *grid = cell_grid{};
    return load_table_within(input.bytes, input.length, options.delimiter, true, limits, grid);
}

// A row table that would take more than a quarter of the budget is not
// made: the table is then measured alone and transposed in blocks of rows.
static bool load_within_budget(const input_data &input, const run_options &options,
                               std::uint64_t budget, load_limits limits, cell_grid *grid)
{
    limits.most_rows = std::max<std::uint64_t>(budget / 4 / sizeof(std::size_t), 2);
    limits.most_columns = budget / 8 / sizeof(std::uint32_t);
    limits.keep_parts = wants_row_parts(input.bytes, input.length, limits.split_from);
    load_result loaded =
        options.replace
            ? load_for_lanes(input, options, budget, limits, grid)
            : load_table_within(input.bytes, input.length, options.delimiter, false, limits, grid);
    if (loaded == load_over_limit) {
        // Alone: no row table to bound, no continuations; the sums bounded
        // as before, which spare the lanes a walk of the table to size its
        // lines; the charset guess and the parts as asked.
        load_limits alone = limits;
        alone.most_rows = SIZE_MAX;
        alone.count_continuations = false;
        alone.sums_without_rows = true;
        loaded =
            load_table_within(input.bytes, input.length, options.delimiter, false, alone, grid);
    }
    if (loaded != load_done)
        report({failure::array_memory, 0}, nullptr);
    return loaded == load_done;
}

// The first match looks this far into the text before it leaves the guess
// to the load: plain ASCII text, most tables, would otherwise be read
// whole once more by it alone.
constexpr std::size_t first_match_reach = std::size_t{64} << 10;

// Only a page looks at the character set. When the first match asks for
// it, the guess reads the whole text a second time: the load, which reads
// it anyway, looks at it on its way. A text whose first match lies past
// first_match_reach is guessed by the load from where its scan found the
// plain ASCII end. The load splits and takes threads as the writers will
// (to); a page's guess goes to to->charset.
static bool load_and_guess(const input_data &input, const run_options &options, unit_order order,
                           output_target *to, cell_grid *grid)
{
    bool page = options.output_format == format_html;
    charset_id first = page && order == utf16_none
                           ? first_match_charset(input.bytes, first_match_reach)
                           : charset_utf16;
    load_limits asked{.count_continuations = order != utf16_none,
                      .first_match = page && needs_second_look(first) ? first : charset_none,
                      .guess_charset = first == charset_none,
                      .split_from = to->split_from,
                      .threads = to->threads};
    bool loaded = load_within_budget(input, options, to->budget, asked, grid);
    if (page)
        to->charset = grid->charset_code != charset_none ? grid->charset_code : first;
    return loaded;
}

static output_target target_for(file_run *run)
{
    output_target to;
    to.blocks = &run->state->blocks;
    memory_figures figures = read_memory_figures(run->input.length, &run->state->memory);
    to.budget = memory_budget(figures);
    to.room = figures.room;
    to.threads = threads_fit(figures);
    to.spill_beside = run->output_path;
    to.split_from = run->options->split_from;
    return to;
}

// A transposed delimited result of a simple UTF-16 table (unit_table.h), to
// a file or to a standard output that takes positioned writes, copies the
// units as they stand; any other is written through the internal form.
static bool measured_in_units(file_run *run, unit_order order, const output_target &to)
{
    const run_options &options = *run->options;
    std::uint64_t origin = 0;
    if (!options.replace || options.output_format != format_delimited ||
        (!options.to_file && !output_cursor(standard_output, &origin)))
        return false;
    run->in_units = measure_unit_table(run->input.bytes, run->input.length, order,
                                       options.delimiter, to.split_from, to.threads, &run->units);
    return run->in_units;
}

static void write_result(file_run *run, const output_target &to, unit_order order)
{
    if (run->options->to_file)
        write_to_file(run, to, order);
    else
        write_to_stdout(run, to, order);
}

static void convert_file(void *arg)
{
    auto *run = static_cast<file_run *>(arg);
    unit_order order = utf16_order(run->input.bytes, run->input.length);
    output_target to = target_for(run);
    if (order != utf16_none && measured_in_units(run, order, to)) {
        write_result(run, to, order);
        return;
    }
    if (!decode_if_utf16(&run->input, run->options->split_from, &order))
        return;
    if (order != utf16_none)
        to = target_for(run);
    if (load_and_guess(run->input, *run->options, order, &to, &run->grid))
        write_result(run, to, order);
}

// An input that shrank or failed under its mapping is a read error: the
// result begun is removed, and the one-file options stay pending. What the
// loader and the writers held, the grid's and a decoded text's blocks
// included, is on the scratch list: freed there, and forgotten here.
void process_file(const char *name, run_options *options, run_state *state)
{
    file_run run;
    run.name = name;
    run.options = options;
    run.state = state;
    if (!have_writer_blocks(&state->blocks)) {
        report({failure::memory, ENOMEM}, nullptr);
        return;
    }
    failure_report read = read_input(name, &run.input);
    if (read.what != failure::none) {
        report(read, name);
        return;
    }
    run.output_path = derive_output_path(name, options->replace, options->output_format);
    if (run.output_path == nullptr) {
        report({failure::memory, ENOMEM}, nullptr);
        release_input(&run.input);
        return;
    }
    const file_mapping &mapped = run.input.mapping;
    if (!run_watched(convert_file, &run, mapped.region, mapped.size)) {
        progress_end(&run.progress);
        if (run.result.fd >= 0 || run.result.temp_path != nullptr)
            abandon_result(&run.result);
        report({failure::read, EIO}, name);
        release_scratch();
        forget_table(&run.grid);
        run.input.block = nullptr;
    }
    std::free(run.output_path);
    release_input(&run.input);
}
