// Helpers shared by the fuzz targets: a failed property aborts with its name,
// inputs are copied into blocks padded exactly as the input unit pads them
// (so the sanitizer sees any read past the padding), a model of the split
// worked out apart from the loader, and capture of a writer's bytes.
//
// Each target defines LLVMFuzzerTestOneInput. Built with libFuzzer it runs
// under the fuzzer; built with replay_main.cpp it replays corpus files, so the
// same properties run as an ordinary test where libFuzzer is missing.
#ifndef TABFLIP_FUZZ_SUPPORT_H
#define TABFLIP_FUZZ_SUPPORT_H

#include "output/output_block.h"
#include "table/cell_grid.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

// Prints the property and aborts when it does not hold: the fuzzer then saves
// the input as a reproducer.
void require(bool holds, const char *property);

// The bytes followed by input_padding zeros, in a block of exactly that size.
std::vector<unsigned char> padded_copy(const std::string &bytes);

// The format's split, one byte at a time on a copy with CRs rewritten: CRs
// end lines in a file without LF, and are NULs in any other.
struct split_model {
    std::string normalised;                       // line ends as the format reads them
    std::vector<std::vector<std::size_t>> rows;   // cell start positions per line
    std::size_t lines = 0;                        // line ends
    std::size_t columns = 1;                      // the most cells a line fills
    std::size_t kept_rows = 0;                    // lines, plus the final one if it fills a cell
    std::vector<std::string> texts;               // every cell's text, row after row
    std::vector<std::vector<const char *>> cells; // kept rows x columns, null for absent
};
split_model model_split(const std::string &bytes, unsigned char delimiter);

// A table loaded from bytes, owning its padded copy and row table.
struct loaded_table {
    std::vector<unsigned char> bytes;
    cell_grid grid;
    loaded_table() = default;
    loaded_table(const loaded_table &) = delete;
    loaded_table &operator=(const loaded_table &) = delete;
};
void load_or_abort(const std::string &bytes, unsigned char delimiter, bool with_rows,
                   loaded_table *table, std::size_t split_from = split_from_bytes);

// The internal form (table/utf16.h) of UTF-16 text with a mark in order.
std::string utf16_form(const std::string &bytes, unit_order order);
// The units, without a mark, that form encodes to, fed in blocks of block
// bytes.
std::string utf16_units(const std::string &form, unit_order order, std::size_t block);

// Everything fn(target) writes to a fresh regular file, which the target
// allows to be written at offsets or not.
template <typename F> std::string written_by(bool positioned, F fn)
{
    std::FILE *file = std::tmpfile();
    require(file != nullptr, "temporary file opens");
    output_target to;
    to.fd = fileno(file);
    to.positioned = positioned;
    fn(to);
    struct stat status;
    require(fstat(to.fd, &status) == 0, "result has a size");
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    require(bytes.empty() || pread(to.fd, bytes.data(), bytes.size(), 0) == status.st_size,
            "result reads back");
    std::fclose(file);
    return bytes;
}

#endif
