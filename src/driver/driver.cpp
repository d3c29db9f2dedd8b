#include "driver/driver.h"

#include "platform/platform.h"
#include "output/writers.h"
#include "table/cell_grid.h"
#include "table/charset.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct input_data {
    char *buffer = nullptr; // calloc'd: length data bytes, then buffer_padding zeros
    std::size_t length = 0;
};

} // namespace

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

// Sizes are 64-bit: a file is refused only when its buffer cannot exist.
static bool read_open_input(const char *name, std::FILE *file, input_data *input)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0) {
        std::fprintf(stderr, "'%s' stat error.\n", name);
        return false;
    }
    std::size_t length = static_cast<std::size_t>(status.st_size);
    char *buffer = nullptr;
    if (status.st_size >= 0 && length <= SIZE_MAX - buffer_padding)
        buffer = static_cast<char *>(std::calloc(1, length + buffer_padding));
    if (buffer == nullptr) {
        std::fputs("Couldn't allocate memory.\n", stderr);
        return false;
    }
    // An empty file reads no item and so fails here too.
    if (std::fread(buffer, length, 1, file) != 1) {
        std::fprintf(stderr, "'%s' read error.\n", name);
        std::free(buffer);
        return false;
    }
    input->buffer = buffer;
    input->length = length;
    return true;
}

// Opened without waiting, so that a FIFO without a writer (or a terminal)
// reaches the size check at once instead of blocking the run.
static std::FILE *open_input(const char *name)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int flags = fcntl(fd, F_GETFL);
    std::FILE *file = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        file = fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}

static bool read_input(const char *name, input_data *input)
{
    std::FILE *file = open_input(name);
    if (file == nullptr) {
        std::fprintf(stderr, "'%s' open error.\n", name);
        return false;
    }
    bool read = read_open_input(name, file, input);
    std::fclose(file);
    return read;
}

static void write_grid(const cell_grid &grid, const run_options &options, std::FILE *stream)
{
    if (options.replace)
        write_replace(grid.cells, options.output_format, stream, grid.columns, grid.rows,
                      options.delimiter);
    else
        write_normal(grid.cells, options.output_format, stream, grid.columns, grid.rows,
                     options.delimiter);
}

static void reset_one_file_options(run_options *options)
{
    options->replace = true;
    options->output_format = format_delimited;
    options->to_file = true;
}

static void write_to_stdout(const cell_grid &grid, run_options *options)
{
    write_grid(grid, *options, stdout);
    reset_one_file_options(options);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("Couldn't write to standard output.\n", stderr);
        std::clearerr(stdout);
    }
}

// A result that could not be written whole is removed, and whatever stood at
// its name before is left as it was.
static void write_to_file(const cell_grid &grid, run_options *options, const char *output_path)
{
    result_file result;
    if (!open_result(output_path, &result)) {
        std::fprintf(stderr, "'%s' open error.\n", output_path);
        return;
    }
    std::FILE *stream = fdopen(result.fd, "wb");
    if (stream == nullptr) {
        abandon_result(&result);
        std::fprintf(stderr, "'%s' open error.\n", output_path);
        return;
    }
    result.fd = -1; // closed with the stream
    std::setvbuf(stream, nullptr, _IOFBF, 1 << 20);
    write_grid(grid, *options, stream);
    reset_one_file_options(options);
    bool written = std::ferror(stream) == 0;
    written = std::fclose(stream) == 0 && written;
    if (written)
        written = commit_result(&result);
    else
        abandon_result(&result);
    if (!written)
        std::fprintf(stderr, "'%s' write error.\n", output_path);
}

void process_file(const char *name, run_options *options)
{
    input_data input;
    if (!read_input(name, &input))
        return;
    char *output_path = derive_output_path(name, options->replace, options->output_format);
    if (output_path == nullptr) {
        std::fputs("Couldn't allocate memory.\n", stderr);
        std::free(input.buffer);
        return;
    }
    current_charset_code = detect_charset(reinterpret_cast<unsigned char *>(input.buffer));
    cell_grid grid;
    if (load_table(input.buffer, input.length, options->delimiter, &grid)) {
        if (options->to_file)
            write_to_file(grid, options, output_path);
        else
            write_to_stdout(grid, options);
        std::free(grid.cells);
    }
    std::free(output_path);
    std::free(input.buffer);
}
