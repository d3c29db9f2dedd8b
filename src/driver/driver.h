// Command-line driver: the option state and one file's run from its name to
// its result.
//
// process_file owns, for the span of one file, the input buffer and the grid
// over it (released grid first) and the derived result name. Only the driver
// prints: every failure, whichever layer met it, prints exactly one line on
// stderr and leaves the pending one-file options for the next file name; a
// written result resets them.
#ifndef TABFLIP_DRIVER_H
#define TABFLIP_DRIVER_H

#include "driver/memory_budget.h"
#include "output/writers.h"

struct run_options {
    unsigned char delimiter = '\t';                 // '\t' or ','; lasts until changed
    bool replace = true;                            // one file: false writes the stored orientation
    result_format output_format = format_delimited; // one file: a page or delimited text
    bool to_file = true;                            // one file: false writes to stdout
    // The least input measured, decoded and written in two parts at once;
    // not an option: tests lower it to split small tables.
    std::size_t split_from = split_from_bytes;
};

// Writes the usage text, with the base name of program_path, to stderr and
// exits with status 1.
[[noreturn]] void print_usage(const char *program_path);

// Applies a valid option ("-c", "-t", "-n", "-h", "-s"); returns false, and
// changes nothing, for any other argument.
bool apply_option(run_options *options, const char *argument);

// Returns the calloc'd result name, or null when it cannot be obtained. The
// name is never cut: one too long to open fails there, with its whole name.
char *derive_output_path(const char *name, bool replace, result_format output_format);

// What a run keeps over its files: the writers' blocks, had on its first
// file (a run over many small files does not obtain them for each), and
// TABFLIP_MEMORY, read then.
struct run_state {
    writer_blocks blocks;
    memory_setting memory;
};

void process_file(const char *name, run_options *options, run_state *state);

#endif
