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
#elif TABFLIP_NEON
static inline uint8x16_t html_special_bytes(uint8x16_t v)
{
    auto is = [v](unsigned char b) { return vceqq_u8(v, vdupq_n_u8(b)); };
    return vorrq_u8(vorrq_u8(is(0x1B), is(0x20)),
                    vorrq_u8(vorrq_u8(is(0x22), is(0x26)), vorrq_u8(is(0x3C), is(0x3E))));
}

// About 34 instructions a block: 24 comparisons and ORs, the bits' 10.
static inline std::uint64_t html_special_mask(const unsigned char *p)
{
    return neon_bits(html_special_bytes(vld1q_u8(p)), html_special_bytes(vld1q_u8(p + 16)),
                     html_special_bytes(vld1q_u8(p + 32)), html_special_bytes(vld1q_u8(p + 48)));
}
#else
// Marks the bytes of w that a page cannot copy as it stands: 0x20 and 0x22
// are the bytes that OR 0x02 makes 0x22, 0x3C and 0x3E those it makes 0x3E.
static inline std::uint64_t html_special_marks(std::uint64_t w)
{
    std::uint64_t paired = w | word_of(0x02);
    return ~(nonzero_tops(paired ^ word_of(0x22)) & nonzero_tops(paired ^ word_of(0x3E)) &
             nonzero_tops(w ^ word_of(0x26)) & nonzero_tops(w ^ word_of(0x1B))) &
           word_tops;
}

// Most text holds none of the six: every one lies in 0x1B..0x27 or
// 0x3C..0x3E, which a block without any passes in half the steps.
static inline std::uint64_t html_special_mask(const unsigned char *p)
{
    std::uint64_t near = 0;
    for (std::size_t i = 0; i < scan_block; i += 8) {
        std::uint64_t w = load_word(p + i);
        near |= bytes_in(w, 0x1B, 0x27) | bytes_below(w ^ word_of(0x3C), 3);
    }
    return near == 0 ? 0 : block_bits(p, html_special_marks);
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
#elif TABFLIP_NEON
static inline std::size_t html_plain_block(const unsigned char *p, unsigned char delimiter)
{
    uint8x16_t v = vld1q_u8(p);
    auto is = [v](unsigned char b) { return vceqq_u8(v, vdupq_n_u8(b)); };
    uint8x16_t ends = vorrq_u8(vorrq_u8(is(0x00), is(0x0A)), vorrq_u8(is(0x0D), is(delimiter)));
    return neon_first(vorrq_u8(ends, html_special_bytes(v)));
}
#else
static inline std::size_t html_plain_block(const unsigned char *p, unsigned char delimiter)
{
    for (std::size_t i = 0; i < copy_block; i += 8) {
        std::uint64_t w = load_word(p + i);
        std::uint64_t stops =
            bytes_equal_any(w, 0x00, 0x0A, 0x0D, delimiter) | html_special_marks(w);
        if (stops != 0)
            return i + first_marked(stops);
    }
    return copy_block;
}
#endif

#endif
