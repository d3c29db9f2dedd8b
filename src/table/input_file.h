// Table input: one file's bytes in memory, never written after they are
// obtained.
//
// Padding contract: the data bytes [0, length) are followed by at least
// input_padding readable zero bytes. The block scans read whole 64-byte
// blocks and the writers copy cells in 16-byte blocks, so a block started
// anywhere up to the end of the data must stay readable; the first zero also
// ends the last cell. A mapped file gets its padding from a reserved region
// of anonymous memory that the mapping covers from its start, so the bytes
// past the data are readable even when the size is a multiple of the page
// size.
//
// An input_data owns its memory until release_input: either that mapping or
// a block on the scratch list (platform.h). Nothing here prints: read_input
// says what failed.
#ifndef TABFLIP_INPUT_FILE_H
#define TABFLIP_INPUT_FILE_H

#include "platform/platform.h"

#include <cstddef>

constexpr std::size_t input_padding = 64;

struct input_data {
    const unsigned char *bytes = nullptr; // length data bytes, then the padding
    std::size_t length = 0;
    file_mapping mapping;           // the region, when the file is mapped
    unsigned char *block = nullptr; // the scratch block, when it is not
};

// Obtains the named file's bytes: mapped when it is a regular file large
// enough for a mapping to pay, read otherwise. On failure holds nothing and
// returns failure::open, stat, memory or read (an empty file included), with
// the system's error number; failure::none when the bytes are there.
failure_report read_input(const char *name, input_data *input);

// A zero-filled padded block for length bytes that the caller fills in
// through the returned pointer, then hands to the loader like a file's bytes.
// Null, holding nothing, when the block cannot be had.
unsigned char *reserve_input(std::size_t length, input_data *input);

void release_input(input_data *input);

#endif
