// Helpers shared by the fuzz targets: a failed property aborts with its name,
// inputs are copied into blocks padded exactly as the driver pads them (so the
// sanitizer sees any read past the padding), and a writer's bytes are caught
// in a memory stream.
//
// Each target defines LLVMFuzzerTestOneInput. Built with libFuzzer it runs
// under the fuzzer; built with replay_main.cpp it replays corpus files, so the
// same properties run as an ordinary test where libFuzzer is missing.
#ifndef TABFLIP_FUZZ_SUPPORT_H
#define TABFLIP_FUZZ_SUPPORT_H

#include "table/cell_grid.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

// Prints the property and aborts when it does not hold: the fuzzer then saves
// the input as a reproducer.
void require(bool holds, const char *property);

// The bytes followed by buffer_padding zeros, in a block of exactly that size.
std::vector<char> padded_copy(const std::string &bytes);

// Loads bytes into *buffer, which the grid then points into.
void load_or_abort(const std::string &bytes, unsigned char delimiter, std::vector<char> *buffer,
                   cell_grid *grid);

// Everything fn(stream) writes.
template <typename F> std::string written_by(F fn)
{
    char *data = nullptr;
    std::size_t size = 0;
    std::FILE *stream = open_memstream(&data, &size);
    require(stream != nullptr, "memory stream opens");
    fn(stream);
    std::fclose(stream);
    std::string bytes(data, size);
    std::free(data);
    return bytes;
}

#endif
