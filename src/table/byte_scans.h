// The byte scans' block primitives, shared by the loader and the writers:
// the classes of a 64-byte block (scan_block) as bitmasks, and the copies and
// tests of 16 bytes at a time (copy_block). Each has an SSE2 form, a NEON
// form and its portable twin beside it (platform/cpu.h says which the build
// takes); all give the same answers, so every build makes the same
// decisions. The portable twins read 8 bytes as one 64-bit word (the words
// below) and work on its bytes at once.
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
#include <cstring>

#if TABFLIP_SSE2
#include <immintrin.h>
#elif TABFLIP_NEON
#include <arm_neon.h>
#endif

constexpr std::size_t scan_block = 64; // bytes classified at once
constexpr std::size_t copy_block = 16; // bytes copied at once
// How far ahead a scan over a mapped input asks for its bytes: the page
// after the one it reads, since the processor's own prefetch stops at a
// 4 KiB page's end (the load's clean runs, 3 GB mapped, sums only, one
// thread: 2.5 s against 3.2 s; the lanes' rows, a 4 GB tall table in a
// 1 GiB memory group: 9% less time).
constexpr std::size_t next_page_ahead = 4096;

// Bit i stands for byte i of a 64-byte block.
struct block_classes {
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t nul = 0;
    std::uint64_t delimiter = 0;
};

// Words: 8 bytes read as one 64-bit integer, byte i of memory as byte i from
// the low end whatever the processor's byte order, so that a word's masks and
// the index of its first marked byte are the same on every processor. A
// "marked" byte has its top bit set and its other bits clear; the tests mark
// exactly the bytes that pass, never a neighbour through a carry or borrow.
constexpr std::uint64_t word_low7 = 0x7F7F7F7F7F7F7F7Full;
constexpr std::uint64_t word_tops = 0x8080808080808080ull;

constexpr std::uint64_t word_of(unsigned char b)
{
    return 0x0101010101010101ull * b;
}

static inline std::uint64_t load_word(const unsigned char *p)
{
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

static inline void store_word(unsigned char *p, std::uint64_t w)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    std::memcpy(p, &w, sizeof w);
}

// Each byte's top bit clear where the byte is zero, set elsewhere: the low
// seven bits plus 0x7F carry into the top bit unless all are zero, and stay
// within the byte.
static inline std::uint64_t nonzero_tops(std::uint64_t w)
{
    return ((w & word_low7) + word_low7) | w;
}

// Marks the bytes of w that equal b.
static inline std::uint64_t bytes_equal(std::uint64_t w, unsigned char b)
{
    return ~nonzero_tops(w ^ word_of(b)) & word_tops;
}

// Marks the bytes of w that equal any of a, b, c and d.
static inline std::uint64_t bytes_equal_any(std::uint64_t w, unsigned char a, unsigned char b,
                                            unsigned char c, unsigned char d)
{
    return ~(nonzero_tops(w ^ word_of(a)) & nonzero_tops(w ^ word_of(b)) &
             nonzero_tops(w ^ word_of(c)) & nonzero_tops(w ^ word_of(d))) &
           word_tops;
}

// The same test as bytes_equal in parts that the tests of one word share:
// low is the word's low seven bits of each byte, and tops_as(w, b) marks the
// bytes whose top bit is b's. The low bits' sum carries into the top bit
// unless they equal b's, and stays within the byte.
static inline std::uint64_t tops_as(std::uint64_t w, unsigned char b)
{
    return (b < 0x80 ? ~w : w) & word_tops;
}

static inline std::uint64_t low_bits_equal(std::uint64_t low, std::uint64_t tops_match,
                                           unsigned char b)
{
    return ~((low ^ word_of(b & 0x7F)) + word_low7) & tops_match;
}

// Marks the bytes of w below bound (1..255). A byte's low seven bits plus
// 0x80 - bound (or 0x100 - bound) stay below 0x80 exactly where they are
// below bound (or bound - 0x80), and never carry out of the byte.
static inline std::uint64_t bytes_below(std::uint64_t w, unsigned bound)
{
    if (bound <= 0x80) {
        std::uint64_t sum = (w & word_low7) + word_of(static_cast<unsigned char>(0x80 - bound));
        return ~(w | sum) & word_tops;
    }
    std::uint64_t sum = (w & word_low7) + word_of(static_cast<unsigned char>(0x100 - bound));
    return ~(w & sum) & word_tops;
}

// Marks the bytes of w in low..high.
static inline std::uint64_t bytes_in(std::uint64_t w, unsigned char low, unsigned char high)
{
    std::uint64_t to_high = high == 0xFF ? word_tops : bytes_below(w, high + 1u);
    return low == 0 ? to_high : to_high & ~bytes_below(w, low);
}

// Bit i set where byte i of w is marked: the multiply gathers the eight top
// bits into the top byte, each product at its own bit, so nothing carries.
static inline std::uint64_t marked_bits(std::uint64_t marks)
{
    return (marks * 0x0002040810204081ull) >> 56;
}

// The 64 bits of a block's eight words of marks.
static inline std::uint64_t gather_bits(const std::uint64_t (&words)[scan_block / 8])
{
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < scan_block / 8; ++i)
        bits |= marked_bits(words[i]) << (8 * i);
    return bits;
}

// The index, in memory order, of the first marked byte of a word with at
// least one.
static inline std::size_t first_marked(std::uint64_t marks)
{
    return static_cast<std::size_t>(__builtin_ctzll(marks)) / 8;
}

// The 64 bits of a block's eight words' marks, each made by marks(word).
// Most blocks mark nothing in most classes: those skip the gathering.
template <typename marks_of>
static inline std::uint64_t block_bits(const unsigned char *p, marks_of marks)
{
    std::uint64_t words[scan_block / 8];
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < scan_block / 8; ++i) {
        words[i] = marks(load_word(p + 8 * i));
        any |= words[i];
    }
    return any == 0 ? 0 : gather_bits(words);
}

#if TABFLIP_SSE2
// The 16 bytes at p, and value in each of 16 bytes: what a 64-byte scan
// written once for SSE2 and NEON loads.
using vec16 = __m128i;
static inline vec16 load16(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
static inline vec16 splat16(unsigned char value)
{
    return _mm_set1_epi8(static_cast<char>(value));
}

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
#elif TABFLIP_NEON
using vec16 = uint8x16_t;
static inline vec16 load16(const unsigned char *p)
{
    return vld1q_u8(p);
}
static inline vec16 splat16(unsigned char value)
{
    return vdupq_n_u8(value);
}

// The 64 bits of four vectors whose bytes are all ones or all zeros: each
// byte keeps its own bit of eight, and three pairwise additions gather them
// (about 8 instructions).
static inline std::uint64_t neon_bits(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d)
{
    const uint8x16_t bit = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t ab = vpaddq_u8(vandq_u8(a, bit), vandq_u8(b, bit));
    uint8x16_t cd = vpaddq_u8(vandq_u8(c, bit), vandq_u8(d, bit));
    uint8x16_t abcd = vpaddq_u8(ab, cd);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(abcd, abcd)), 0);
}

// The 16 bits of one such vector.
static inline unsigned neon_bits16(uint8x16_t m)
{
    const uint8x16_t bit = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t t = vandq_u8(m, bit);
    return unsigned{vaddv_u8(vget_low_u8(t))} | unsigned{vaddv_u8(vget_high_u8(t))} << 8;
}

// How many bytes of such a vector come before its first set one, 16 when
// none is: each byte narrowed to four bits of a 64-bit word.
static inline std::size_t neon_first(uint8x16_t m)
{
    std::uint64_t nibbles =
        vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
    return nibbles == 0 ? copy_block : static_cast<std::size_t>(__builtin_ctzll(nibbles)) / 4;
}

static inline uint8x16_t neon_signed_below(uint8x16_t v, unsigned char bound)
{
    return vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(static_cast<signed char>(bound)));
}

// Bit i set where byte i of the 64 in a, b, c and d equals value.
static inline std::uint64_t equal_mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d,
                                       uint8x16_t value)
{
    return neon_bits(vceqq_u8(a, value), vceqq_u8(b, value), vceqq_u8(c, value),
                     vceqq_u8(d, value));
}

// Bit i set where byte i lies in 0x80..high; high is 0x80 or above, so the
// signed comparison leaves ASCII out.
static inline std::uint64_t high_below_mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d,
                                            unsigned char bound)
{
    return neon_bits(neon_signed_below(a, bound), neon_signed_below(b, bound),
                     neon_signed_below(c, bound), neon_signed_below(d, bound));
}

// Bit i set where byte i lies in 0x80..0xFF: below zero as a signed byte.
static inline std::uint64_t high_mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d)
{
    return high_below_mask(a, b, c, d, 0x00);
}
#else
// Bit i set where byte i lies in low..high.
static inline std::uint64_t range_mask(const unsigned char *p, unsigned char low,
                                       unsigned char high)
{
    return block_bits(p, [low, high](std::uint64_t w) { return bytes_in(w, low, high); });
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

// Bit i set where byte i is the delimiter or an LF: the bytes that end a
// plain table's cells.
static inline std::uint64_t stop_mask(const unsigned char *p, unsigned char delimiter)
{
    __m128i lf = _mm_set1_epi8(0x0A);
    __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
    auto bits = [lf, d](const unsigned char *q) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
        __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, d));
        return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(stops)));
    };
    return bits(p) | bits(p + 16) << 16 | bits(p + 32) << 32 | bits(p + 48) << 48;
}

// Bit i set where byte i of the 64 in lo and hi equals value.
TABFLIP_WIDE static inline std::uint64_t equal_mask_wide(__m256i lo, __m256i hi, __m256i value)
{
    auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, value)));
    auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, value)));
    return std::uint64_t{low} | std::uint64_t{high} << 32;
}

// classify_block in two 32-byte vectors, for the scans built for AVX2.
TABFLIP_WIDE static inline block_classes classify_block_wide(const unsigned char *p,
                                                             unsigned char delimiter)
{
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
    block_classes k;
    k.lf = equal_mask_wide(lo, hi, _mm256_set1_epi8(0x0A));
    k.cr = equal_mask_wide(lo, hi, _mm256_set1_epi8(0x0D));
    k.nul = equal_mask_wide(lo, hi, _mm256_setzero_si256());
    k.delimiter = equal_mask_wide(lo, hi, _mm256_set1_epi8(static_cast<char>(delimiter)));
    return k;
}
#elif TABFLIP_NEON
static inline block_classes classify_block(const unsigned char *p, unsigned char delimiter)
{
    uint8x16_t a = vld1q_u8(p);
    uint8x16_t b = vld1q_u8(p + 16);
    uint8x16_t c = vld1q_u8(p + 32);
    uint8x16_t d = vld1q_u8(p + 48);
    block_classes k;
    k.lf = equal_mask(a, b, c, d, vdupq_n_u8(0x0A));
    k.cr = equal_mask(a, b, c, d, vdupq_n_u8(0x0D));
    k.nul = equal_mask(a, b, c, d, vdupq_n_u8(0x00));
    k.delimiter = equal_mask(a, b, c, d, vdupq_n_u8(delimiter));
    return k;
}

static inline std::uint64_t stop_mask(const unsigned char *p, unsigned char delimiter)
{
    uint8x16_t lf = vdupq_n_u8(0x0A);
    uint8x16_t d = vdupq_n_u8(delimiter);
    auto stops = [lf, d](const unsigned char *q) {
        uint8x16_t v = vld1q_u8(q);
        return vorrq_u8(vceqq_u8(v, lf), vceqq_u8(v, d));
    };
    return neon_bits(stops(p), stops(p + 16), stops(p + 32), stops(p + 48));
}
#else
static inline block_classes classify_block(const unsigned char *p, unsigned char delimiter)
{
    block_classes k;
    for (std::size_t i = 0; i < scan_block / 8; ++i) {
        std::uint64_t w = load_word(p + 8 * i);
        std::uint64_t low = w & word_low7;
        std::uint64_t ascii = tops_as(w, 0);
        std::uint64_t delimiter_tops = tops_as(w, delimiter);
        auto shift = static_cast<unsigned>(8 * i);
        k.lf |= marked_bits(low_bits_equal(low, ascii, 0x0A)) << shift;
        k.cr |= marked_bits(low_bits_equal(low, ascii, 0x0D)) << shift;
        k.nul |= marked_bits(low_bits_equal(low, ascii, 0x00)) << shift;
        k.delimiter |= marked_bits(low_bits_equal(low, delimiter_tops, delimiter)) << shift;
    }
    return k;
}

static inline std::uint64_t stop_mask(const unsigned char *p, unsigned char delimiter)
{
    block_classes k = classify_block(p, delimiter);
    return k.delimiter | k.lf;
}
#endif

// Copies n bytes in whole copy_block moves, at least one: up to
// copy_block - 1 bytes past n are read from `from` and written to `to`,
// which their room must allow.
static inline void copy_blocks(char *to, const unsigned char *from, std::size_t n)
{
    std::memcpy(to, from, copy_block);
    for (std::size_t i = copy_block; i < n; i += copy_block)
        std::memcpy(to + i, from + i, copy_block);
}

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
#elif TABFLIP_NEON
static inline std::size_t copy_cell_block(char *out, const unsigned char *text,
                                          unsigned char delimiter)
{
    uint8x16_t v = vld1q_u8(text);
    vst1q_u8(reinterpret_cast<unsigned char *>(out), v);
    uint8x16_t ends =
        vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x00)), vceqq_u8(v, vdupq_n_u8(0x0A))),
                 vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x0D)), vceqq_u8(v, vdupq_n_u8(delimiter))));
    return neon_first(ends);
}
#else
static inline std::size_t copy_cell_block(char *out, const unsigned char *text,
                                          unsigned char delimiter)
{
    std::memcpy(out, text, copy_block);
    for (std::size_t i = 0; i < copy_block; i += 8) {
        std::uint64_t ends = bytes_equal_any(load_word(text + i), 0x00, 0x0A, 0x0D, delimiter);
        if (ends != 0)
            return i + first_marked(ends);
    }
    return copy_block;
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
#elif TABFLIP_NEON
static inline bool plain_ascii_block(const unsigned char *p)
{
    uint8x16_t v = vld1q_u8(p);
    uint8x16_t special = vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x00)), vceqq_u8(v, vdupq_n_u8(0x1B)));
    return vmaxvq_u8(vorrq_u8(v, special)) < 0x80;
}
#else
static inline bool plain_ascii_block(const unsigned char *p)
{
    std::uint64_t a = load_word(p);
    std::uint64_t b = load_word(p + 8);
    std::uint64_t special =
        bytes_equal_any(a, 0x00, 0x1B, 0x00, 0x1B) | bytes_equal_any(b, 0x00, 0x1B, 0x00, 0x1B);
    return ((a | b) & word_tops) == 0 && special == 0;
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
#elif TABFLIP_NEON
static inline std::uint64_t continuation_mask(const unsigned char *p)
{
    return high_below_mask(vld1q_u8(p), vld1q_u8(p + 16), vld1q_u8(p + 32), vld1q_u8(p + 48), 0xC0);
}
#else
// 80..BF: the top bit set, the next one clear.
static inline std::uint64_t continuation_mask(const unsigned char *p)
{
    return block_bits(p, [](std::uint64_t w) { return w & ~(w << 1) & word_tops; });
}
#endif

#endif
