// What an HTML page cannot copy as it stands inside a cell: ESC, and the
// five bytes (space, '"', '&', '<', '>') that become entities. The masks
// read a 64- or 16-byte block at the position they are given, with the
// padding that byte_scans.h asks for, and write nothing.
#ifndef TABFLIP_PAGE_ESCAPES_H
#define TABFLIP_PAGE_ESCAPES_H

#include "table/byte_scans.h"

#include <cstddef>
#include <cstdint>

// Bit i set where byte i of the 64-byte block is one a page cannot copy as
// it stands inside a cell: ESC or one of the five that become entities.
#if TABFLIP_SSE2
static inline std::uint64_t html_special_mask(const unsigned char *p)
{
    auto bits = [](const unsigned char *at) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        auto is = [v](char b) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(b)); };
        __m128i special = _mm_or_si128(
            _mm_or_si128(is(0x1B), is(0x20)),
            _mm_or_si128(_mm_or_si128(is(0x22), is(0x26)), _mm_or_si128(is(0x3C), is(0x3E))));
        return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(special)));
    };
    return bits(p) | bits(p + 16) << 16 | bits(p + 32) << 32 | bits(p + 48) << 48;
}
#else
static inline std::uint64_t html_special_mask(const unsigned char *p)
{
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < scan_block; ++i) {
        unsigned char b = p[i];
        bool special = b == 0x1B || b == 0x20 || b == 0x22 || b == 0x26 || b == 0x3C || b == 0x3E;
        mask |= special ? std::uint64_t{1} << i : 0;
    }
    return mask;
}
#endif

// How many of the 16 bytes at p come before the first that a page cannot
// copy as it stands (ends a cell, ESC, or one of the five that become
// entities): 16 when none does.
#if TABFLIP_SSE2
static inline std::size_t html_plain_block(const unsigned char *p, unsigned char delimiter)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    auto is = [v](char b) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(b)); };
    __m128i ends = _mm_or_si128(_mm_or_si128(is(0x00), is(0x0A)),
                                _mm_or_si128(is(0x0D), is(static_cast<char>(delimiter))));
    __m128i special = _mm_or_si128(
        _mm_or_si128(is(0x1B), is(0x20)),
        _mm_or_si128(_mm_or_si128(is(0x22), is(0x26)), _mm_or_si128(is(0x3C), is(0x3E))));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(ends, special)));
    return mask == 0 ? copy_block : static_cast<std::size_t>(__builtin_ctz(mask));
}
#else
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
#endif

#endif
