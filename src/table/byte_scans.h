// The byte scans' block primitives, shared by the loader and the writers:
// the classes of a 64-byte block (scan_block) as bitmasks, and the copies and
// tests of 16 bytes at a time (copy_block). Each has an SSE2 form and its
// scalar twin beside it (platform/cpu.h says which the build takes); both
// give the same answers, so both builds make the same decisions.
//
// They only read the bytes at the position they are given, and may read a
// whole block past it, so the bytes must be followed by readable padding: an
// input carries input_padding zero bytes after its data (input_file.h),
// which covers a block started at any position up to the end of the data.
// Only copy_cell_block writes, and no more than one block.
#ifndef TABFLIP_BYTE_SCANS_H
#define TABFLIP_BYTE_SCANS_H

#include "platform/cpu.h"

#include <cstddef>
#include <cstdint>

#if TABFLIP_SSE2
#include <immintrin.h>
#endif

constexpr std::size_t scan_block = 64; // bytes classified at once
constexpr std::size_t copy_block = 16; // bytes copied at once

// Bit i stands for byte i of a 64-byte block.
struct block_classes {
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t nul = 0;
    std::uint64_t delimiter = 0;
};

#if TABFLIP_SSE2
// Bit i set where byte i of the 64 in a, b, c and d equals value.
static inline std::uint64_t equal_mask(__m128i a, __m128i b, __m128i c, __m128i d, __m128i value)
{
    auto bits = [value](__m128i v) {
        return static_cast<std::uint64_t>(
            static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, value))));
    };
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

// Bit i set where byte i lies in 0x80..high; high is 0x80 or above, so the
// signed comparison leaves ASCII out.
static inline std::uint64_t high_below_mask(__m128i a, __m128i b, __m128i c, __m128i d,
                                            unsigned char bound)
{
    __m128i limit = _mm_set1_epi8(static_cast<char>(bound));
    auto bits = [limit](__m128i v) {
        return static_cast<std::uint64_t>(
            static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmplt_epi8(v, limit))));
    };
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

static inline std::uint64_t high_mask(__m128i a, __m128i b, __m128i c, __m128i d)
{
    auto bits = [](__m128i v) {
        return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(v)));
    };
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

// Each byte's entry in a 16-byte table, by the nibble (0..15) that nibbles
// holds in its place: the lookups of the charset checks' wide way.
TABFLIP_WIDE static inline __m256i nibble_lookup(const unsigned char (&table)[16], __m256i nibbles)
{
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table));
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(t), nibbles);
}
#else
// Bit i set where byte i lies in low..high.
static inline std::uint64_t range_mask(const unsigned char *p, unsigned char low,
                                       unsigned char high)
{
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < scan_block; ++i)
        mask |= p[i] >= low && p[i] <= high ? std::uint64_t{1} << i : 0;
    return mask;
}
#endif

#if TABFLIP_SSE2
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
#endif

// Copies 16 bytes from text to out and returns how many came before the
// first byte that ends a cell (delimiter, LF, CR or NUL), 16 when none does.
#if TABFLIP_SSE2
static inline std::size_t copy_cell_block(char *out, const unsigned char *text,
                                          unsigned char delimiter)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    __m128i ends =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))),
                     _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(delimiter)))));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ends));
    return mask == 0 ? copy_block : static_cast<std::size_t>(__builtin_ctz(mask));
}
#else
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
#endif

// True when all 16 bytes lie in 0x01..0x7F and none is ESC (0x1B).
#if TABFLIP_SSE2
static inline bool plain_ascii_block(const unsigned char *p)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                   _mm_cmpeq_epi8(v, _mm_set1_epi8(0x1B)));
    return _mm_movemask_epi8(_mm_or_si128(v, special)) == 0;
}
#else
static inline bool plain_ascii_block(const unsigned char *p)
{
    for (std::size_t i = 0; i < copy_block; ++i) {
        if (p[i] == 0x00 || p[i] == 0x1B || p[i] >= 0x80)
            return false;
    }
    return true;
}
#endif

// Bit i set where byte i of the 64 at p is a continuation byte, 0x80..0xBF.
#if TABFLIP_SSE2
static inline std::uint64_t continuation_mask(const unsigned char *p)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    return high_below_mask(a, b, c, d, 0xC0);
}
#else
static inline std::uint64_t continuation_mask(const unsigned char *p)
{
    return range_mask(p, 0x80, 0xBF);
}
#endif

#endif
