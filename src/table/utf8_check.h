// The UTF-8 check: whether text up to its first NUL is well-formed UTF-8
// (RFC 3629), read a 64-byte block at a time, with 32-byte vectors where
// wide_vectors() holds (platform/cpu.h), else with the baseline's 16-byte
// ones or the scalar build's bytes.
//
// The check reads the blocks it is given, which must be followed by readable
// padding (input_file.h); it writes only the utf8_check it is handed and
// allocates nothing.
#ifndef TABFLIP_UTF8_CHECK_H
#define TABFLIP_UTF8_CHECK_H

#include <cstddef>
#include <cstdint>

// What one 64-byte block hands to the next: the continuation bytes still owed
// at the next block's first three positions (bits 0..2), and whether the
// block's last byte narrows the range of the next block's first byte.
struct utf8_carry {
    std::uint64_t owed = 0;
    std::uint64_t after_e0 = 0; // bit 0: A0..BF, no overlong three-byte form
    std::uint64_t after_ed = 0; // bit 0: 80..9F, no surrogate
    std::uint64_t after_f0 = 0; // bit 0: 90..BF, no overlong four-byte form
    std::uint64_t after_f4 = 0; // bit 0: 80..8F, nothing above U+10FFFF
};

// Whether the text checked so far breaks RFC 3629 (failed), and whether its
// first NUL has been reached, after which nothing is checked (ended). A text
// cut at an LF checks as two texts, the second starting afresh. Where the
// processor has AVX2, the check carries the last three bytes it read
// instead of carry.
struct utf8_check {
    utf8_carry carry;
    unsigned char last[3] = {};
    bool failed = false;
    bool ended = false;
};

// Checks the count 64-byte blocks at blocks, the text's next, up to the
// block that holds a NUL, unless the check has failed or ended; they must be
// followed by readable padding as input_file.h states. Callers give up to
// utf8_check_stretch blocks at a time, a few kilobytes, which the check
// reads while they are in the cache.
constexpr std::size_t utf8_check_stretch = 64;
void check_utf8_blocks(utf8_check *check, const unsigned char *blocks, std::size_t count);

// Whether the text up to its first NUL is well-formed UTF-8.
bool well_formed_utf8(const unsigned char *text);

#endif
