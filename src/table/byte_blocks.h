// Block primitives for the byte scans: the only code that differs between the
// SSE2 build (the x86-64 baseline) and the portable scalar build
// (TABFLIP_SCALAR, chosen with the CMake option of the same name). Everything
// built on them is shared, so both builds make the same decisions.
//
// Every primitive may read a whole block past the position it is given, so
// the caller's bytes must be followed by readable padding: an input carries
// input_padding zero bytes after its data (input_file.h), which covers a
// block started at any position up to the end of the data. They never write
// outside the block they are given.
#ifndef TABFLIP_BYTE_BLOCKS_H
#define TABFLIP_BYTE_BLOCKS_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) && !defined(TABFLIP_SCALAR)
#include <emmintrin.h>
#endif

constexpr std::size_t scan_block = 64; // bytes classified at once
constexpr std::size_t copy_block = 16; // bytes copied at once

// Counted in registers: the x86-64 baseline has no popcount instruction, and
// the library call that stands in for it showed in profiles.
static inline std::size_t bits_set(std::uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

// Bit i stands for byte i of a 64-byte block.
struct block_classes {
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t nul = 0;
    std::uint64_t delimiter = 0;
};

#if defined(__SSE2__) && !defined(TABFLIP_SCALAR)

static inline std::uint64_t equal_mask(__m128i a, __m128i b, __m128i c, __m128i d, __m128i value)
{
    auto bits = [value](__m128i v) {
        return static_cast<std::uint64_t>(
            static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, value))));
    };
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

static inline block_classes classify_block(const unsigned char *p, unsigned char delimiter)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    block_classes k;
    k.lf = equal_mask(a, b, c, d, _mm_set1_epi8(0x0A));
    k.cr = equal_mask(a, b, c, d, _mm_set1_epi8(0x0D));
    k.nul = equal_mask(a, b, c, d, _mm_setzero_si128());
    k.delimiter = equal_mask(a, b, c, d, _mm_set1_epi8(static_cast<char>(delimiter)));
    return k;
}

// Copies 16 bytes from text to out and returns how many came before the
// first byte that ends a cell (delimiter, LF, CR or NUL), 16 when none does.
static inline std::size_t copy_cell_block(char *out, const unsigned char *text,
                                          unsigned char delimiter)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    __m128i ends = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)),
                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(delimiter)))));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ends));
    return mask == 0 ? copy_block : static_cast<std::size_t>(__builtin_ctz(mask));
}

// How many of the 16 bytes at p come before the first that a page cannot
// copy as it stands (ends a cell, ESC, or one of the five that become
// entities): 16 when none does.
static inline std::size_t html_plain_block(const unsigned char *p, unsigned char delimiter)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    auto is = [v](char b) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(b)); };
    __m128i ends = _mm_or_si128(_mm_or_si128(is(0x00), is(0x0A)),
                                _mm_or_si128(is(0x0D), is(static_cast<char>(delimiter))));
    __m128i special = _mm_or_si128(_mm_or_si128(is(0x1B), is(0x20)),
                                   _mm_or_si128(_mm_or_si128(is(0x22), is(0x26)),
                                                _mm_or_si128(is(0x3C), is(0x3E))));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(ends, special)));
    return mask == 0 ? copy_block : static_cast<std::size_t>(__builtin_ctz(mask));
}

// True when all 16 bytes lie in 0x01..0x7F and none is ESC (0x1B).
static inline bool plain_ascii_block(const unsigned char *p)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                   _mm_cmpeq_epi8(v, _mm_set1_epi8(0x1B)));
    return _mm_movemask_epi8(_mm_or_si128(v, special)) == 0;
}

#else

static inline block_classes classify_block(const unsigned char *p, unsigned char delimiter)
{
    block_classes k;
    for (std::size_t i = 0; i < scan_block; ++i) {
        std::uint64_t bit = std::uint64_t{1} << i;
        k.lf |= p[i] == 0x0A ? bit : 0;
        k.cr |= p[i] == 0x0D ? bit : 0;
        k.nul |= p[i] == 0x00 ? bit : 0;
        k.delimiter |= p[i] == delimiter ? bit : 0;
    }
    return k;
}

// Copies bytes from text to out up to the first byte that ends a cell or 16
// bytes, whichever comes first, and returns how many were copied.
static inline std::size_t copy_cell_block(char *out, const unsigned char *text,
                                          unsigned char delimiter)
{
    std::size_t n = 0;
    for (; n < copy_block; ++n) {
        unsigned char b = text[n];
        if (b == 0x00 || b == 0x0A || b == 0x0D || b == delimiter)
            break;
        out[n] = static_cast<char>(b);
    }
    return n;
}

static inline std::size_t html_plain_block(const unsigned char *p, unsigned char delimiter)
{
    std::size_t n = 0;
    for (; n < copy_block; ++n) {
        unsigned char b = p[n];
        if (b == 0x00 || b == 0x0A || b == 0x0D || b == delimiter || b == 0x1B || b == 0x20 ||
            b == 0x22 || b == 0x26 || b == 0x3C || b == 0x3E)
            break;
    }
    return n;
}

static inline bool plain_ascii_block(const unsigned char *p)
{
    for (std::size_t i = 0; i < copy_block; ++i) {
        if (p[i] == 0x00 || p[i] == 0x1B || p[i] >= 0x80)
            return false;
    }
    return true;
}

#endif

#endif
