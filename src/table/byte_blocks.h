// Block primitives for the byte scans: the only code that differs between the
// SSE2 build (the x86-64 baseline) and the portable scalar build
// (TABFLIP_SCALAR, chosen with the CMake option of the same name). Everything
// built on them is shared, so both builds make the same decisions. The SSE2
// build also has SSSE3 runs for UTF-16, used where the processor has SSSE3,
// and lets the UTF-8 check use AVX2 where the processor has it.
//
// The UTF-16 primitives read exactly the block they are given. Every other
// primitive may read a whole block past the position it is given, so the
// caller's bytes must be followed by readable padding: an input carries
// input_padding zero bytes after its data (input_file.h), which covers a
// block started at any position up to the end of the data. They never write
// outside the block they are given.
#ifndef TABFLIP_BYTE_BLOCKS_H
#define TABFLIP_BYTE_BLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/cpu.h"

#if TABFLIP_SSE2
#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>
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

// The byte classes that UTF-8 validation needs of most blocks, bit i for
// byte i of a 64-byte block.
struct utf8_classes {
    std::uint64_t cont = 0;  // 80..BF, continuation bytes
    std::uint64_t lead2 = 0; // C2..DF, two-byte leads
    bool unusual = false;    // the block holds a NUL, C0, C1 or a byte E0..FF
};

// The classes needed only in an unusual block.
struct utf8_rare_classes {
    std::uint64_t nul = 0;
    std::uint64_t high = 0;     // 80..FF
    std::uint64_t below_c2 = 0; // 80..C1
    std::uint64_t below_e0 = 0; // 80..DF
    std::uint64_t below_f0 = 0; // 80..EF
    std::uint64_t below_f5 = 0; // 80..F4
    std::uint64_t below_90 = 0; // 80..8F
    std::uint64_t below_a0 = 0; // 80..9F
    std::uint64_t e0 = 0;
    std::uint64_t ed = 0;
    std::uint64_t f0 = 0;
    std::uint64_t f4 = 0;
};

// What the Shift_JIS check needs of a block, bit i for byte i.
struct shift_jis_classes {
    std::uint64_t lead = 0;       // 81..9F, E0..FC: leads a pair, or trails one
    std::uint64_t not_trail = 0;  // 00..3F, 7F, FD..FF
    std::uint64_t not_single = 0; // 80, A0, FD..FF (leads aside)
    std::uint64_t nul = 0;
};

// What the EUC-JP check needs of a block, bit i for byte i.
struct euc_jp_classes {
    std::uint64_t pair = 0;       // A1..FE: either byte of a pair
    std::uint64_t ss2 = 0;        // 8E, before one half-width katakana A1..DF
    std::uint64_t ss3 = 0;        // 8F, before a pair
    std::uint64_t not_kana = 0;   // outside A1..DF
    std::uint64_t not_single = 0; // 80..8D, 90..A0, FF
    std::uint64_t nul = 0;
};

// The byte classes of 64 bytes of the UTF-16 internal form (utf16.h).
struct form_classes {
    std::uint64_t cont = 0;  // 80..BF
    std::uint64_t lead2 = 0; // C0..DF
    std::uint64_t lead3 = 0; // E0..EF
    std::uint64_t other = 0; // F0..FF, which the form never holds
};

#if TABFLIP_SSE2

static inline std::uint64_t equal_mask(__m128i a, __m128i b, __m128i c, __m128i d, __m128i value)
{
    auto bits = [value](__m128i v) {
        return static_cast<std::uint64_t>(
            static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, value))));
    };
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

// Bit i set where byte i of the 64-byte block is one a page cannot copy as
// it stands inside a cell: ESC or one of the five that become entities.
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
    __m128i ends =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))),
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
    __m128i special = _mm_or_si128(
        _mm_or_si128(is(0x1B), is(0x20)),
        _mm_or_si128(_mm_or_si128(is(0x22), is(0x26)), _mm_or_si128(is(0x3C), is(0x3E))));
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

// True when all 64 bytes lie in 0x01..0x7F.
static inline bool ascii_block64(const unsigned char *p)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    __m128i zero = _mm_setzero_si128();
    __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    __m128i nul = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)),
                               _mm_or_si128(_mm_cmpeq_epi8(c, zero), _mm_cmpeq_epi8(d, zero)));
    return _mm_movemask_epi8(_mm_or_si128(any, nul)) == 0;
}

static inline utf8_classes classify_utf8_block(const unsigned char *p)
{
    utf8_classes k;
    __m128i unusual = _mm_setzero_si128();
    for (std::size_t i = 0; i < 4; ++i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
        // Signed bytes: 80..BF is below -64, C2..DF lies in -62..-33.
        __m128i cont = _mm_cmplt_epi8(v, _mm_set1_epi8(-64));
        __m128i lead2 = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(-63)),
                                      _mm_cmplt_epi8(v, _mm_set1_epi8(-32)));
        __m128i other_high = _mm_andnot_si128(_mm_or_si128(cont, lead2), v);
        unusual =
            _mm_or_si128(unusual, _mm_or_si128(other_high, _mm_cmpeq_epi8(v, _mm_setzero_si128())));
        auto shift = static_cast<unsigned>(16 * i);
        k.cont |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(cont)))
                  << shift;
        k.lead2 |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(lead2)))
                   << shift;
    }
    k.unusual = _mm_movemask_epi8(unusual) != 0;
    return k;
}

static inline utf8_rare_classes classify_utf8_rare(const unsigned char *p)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    auto equal = [&](unsigned char value) {
        return equal_mask(a, b, c, d, _mm_set1_epi8(static_cast<char>(value)));
    };
    utf8_rare_classes k;
    k.nul = equal(0x00);
    k.high = high_mask(a, b, c, d);
    k.below_c2 = high_below_mask(a, b, c, d, 0xC2);
    k.below_e0 = high_below_mask(a, b, c, d, 0xE0);
    k.below_f0 = high_below_mask(a, b, c, d, 0xF0);
    k.below_f5 = high_below_mask(a, b, c, d, 0xF5);
    k.below_90 = high_below_mask(a, b, c, d, 0x90);
    k.below_a0 = high_below_mask(a, b, c, d, 0xA0);
    k.e0 = equal(0xE0);
    k.ed = equal(0xED);
    k.f0 = equal(0xF0);
    k.f4 = equal(0xF4);
    return k;
}

// Bit i set where byte i of the 64 at p is a continuation byte, 0x80..0xBF.
static inline std::uint64_t continuation_mask(const unsigned char *p)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    return high_below_mask(a, b, c, d, 0xC0);
}

// Signed bytes: 80..FF are -128..-1. Bit i set where byte i lies in
// low..high, both given as signed values, low above -128 and high below 127.
static inline __m128i in_signed(__m128i v, int low, int high)
{
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high + 1))));
}

static inline shift_jis_classes classify_shift_jis_block(const unsigned char *p)
{
    shift_jis_classes k;
    for (std::size_t i = 0; i < 4; ++i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
        __m128i top = in_signed(v, -3, -1); // FD..FF
        __m128i lead = _mm_or_si128(in_signed(v, -127, -97), in_signed(v, -32, -4));
        __m128i not_trail = _mm_or_si128(_mm_or_si128(in_signed(v, 0, 0x3F), top),
                                         _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
        __m128i not_single =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(-128)),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8(-96))),
                         top);
        auto shift = static_cast<unsigned>(16 * i);
        auto bits = [shift](__m128i m) {
            return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(m)))
                   << shift;
        };
        k.lead |= bits(lead);
        k.not_trail |= bits(not_trail);
        k.not_single |= bits(not_single);
        k.nul |= bits(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
    }
    return k;
}

static inline euc_jp_classes classify_euc_jp_block(const unsigned char *p)
{
    euc_jp_classes k;
    std::uint64_t high = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
        auto shift = static_cast<unsigned>(16 * i);
        auto bits = [shift](__m128i m) {
            return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(m)))
                   << shift;
        };
        high |= bits(v);
        k.pair |= bits(in_signed(v, -95, -2));
        k.ss2 |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(-114)));
        k.ss3 |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(-113)));
        k.not_kana |= bits(in_signed(v, -95, -33));
        k.nul |= bits(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
    }
    k.not_kana = ~k.not_kana;
    k.not_single = high & ~(k.pair | k.ss2 | k.ss3);
    return k;
}

static inline form_classes classify_form_block(const unsigned char *p)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    std::uint64_t below_c0 = high_below_mask(a, b, c, d, 0xC0);
    std::uint64_t below_e0 = high_below_mask(a, b, c, d, 0xE0);
    std::uint64_t below_f0 = high_below_mask(a, b, c, d, 0xF0);
    form_classes k;
    k.cont = below_c0;
    k.lead2 = below_e0 & ~below_c0;
    k.lead3 = below_f0 & ~below_e0;
    k.other = high_mask(a, b, c, d) & ~below_f0;
    return k;
}

// UTF-16 code units, two bytes each, little-endian or (big) big-endian. When
// all sixteen units in the 32 bytes at in are below 0x80, writes them as 16
// bytes to out and returns true; otherwise writes nothing.
static inline bool narrow_ascii_units(const unsigned char *in, bool big, unsigned char *out)
{
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16));
    // Lanes are read little-endian: a big-endian unit's high byte is the low
    // half of its lane.
    __m128i outside = _mm_set1_epi16(static_cast<short>(big ? 0x80FF : 0xFF80));
    __m128i stray = _mm_and_si128(_mm_or_si128(a, b), outside);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(stray, _mm_setzero_si128())) != 0xFFFF)
        return false;
    if (big) {
        a = _mm_srli_epi16(a, 8);
        b = _mm_srli_epi16(b, 8);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(a, b));
    return true;
}

// Lays the forms of four units end to end in one 8-byte store at out: the
// 16-bit lanes of forms hold one form each, two bytes where wide has the
// lane's bit, else one byte over a zero. Returns the end of the forms; the
// store's other bytes are left to be overwritten.
static inline unsigned char *join_forms(std::uint64_t forms, unsigned wide, unsigned char *out)
{
    unsigned second = 8 + 8 * (wide & 1);
    unsigned third = second + 8 + 8 * (wide >> 1 & 1);
    unsigned fourth = third + 8 + 8 * (wide >> 2 & 1);
    std::uint64_t joined = (forms & 0xFFFF) | (forms >> 16 & 0xFFFF) << second |
                           (forms >> 32 & 0xFFFF) << third | (forms >> 48) << fourth;
    std::memcpy(out, &joined, 8);
    return out + fourth / 8 + 1 + (wide >> 3 & 1);
}

// The forms of the eight units in v's 16-bit lanes, all below 0x800: each
// lane holds its unit's one or two bytes, first byte low; *wide gets a bit
// for each lane of two.
static inline __m128i short_forms_in_lanes(__m128i v, unsigned *wide)
{
    __m128i zero = _mm_setzero_si128();
    __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(-0x80)), zero);
    __m128i lead = _mm_or_si128(_mm_srli_epi16(v, 6), _mm_set1_epi16(0xC0));
    __m128i cont = _mm_or_si128(_mm_and_si128(v, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
    __m128i two = _mm_or_si128(lead, _mm_slli_epi16(cont, 8));
    *wide = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, zero))) ^ 0xFFu;
    return _mm_or_si128(_mm_and_si128(ascii, v), _mm_andnot_si128(ascii, two));
}

// When all eight units in the 16 bytes at in are below 0x800, writes them in
// the UTF-16 internal form (utf16.h), one or two bytes each, to out, which
// has room for 20 bytes, and returns the end of the forms; otherwise returns
// null, writing nothing. Each unit's form is made in a lane, and the forms
// then laid end to end.
static inline unsigned char *narrow_short_units(const unsigned char *in, bool big,
                                                unsigned char *out)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    if (big)
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    __m128i zero = _mm_setzero_si128();
    __m128i short_units = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(-0x800)), zero);
    if (_mm_movemask_epi8(short_units) != 0xFFFF)
        return nullptr;
    unsigned wide = 0;
    __m128i form = short_forms_in_lanes(v, &wide);
    out = join_forms(static_cast<std::uint64_t>(_mm_cvtsi128_si64(form)), wide & 0xFu, out);
    return join_forms(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(form, form))),
                      wide >> 4, out);
}

// When the 16 bytes at in are whole one- and two-byte sequences of the UTF-16
// internal form (utf16.h), but perhaps for a two-byte lead as the last byte,
// writes their units to out, which has room for 32 bytes, and returns how
// many bytes it took: 16, or 15 without that lead. Otherwise returns 0,
// writing nothing. Reads the byte after the 16 too. The unit that would
// start at each byte is made in a lane, and the lanes of the bytes that
// start a sequence are then laid end to end.
static inline std::size_t widen_short_block(const unsigned char *in, bool big, unsigned char **out)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 1));
    __m128i cont = _mm_cmplt_epi8(v, _mm_set1_epi8(-64));
    __m128i below_e0 = _mm_cmplt_epi8(v, _mm_set1_epi8(-32));
    __m128i lead2 = _mm_andnot_si128(cont, below_e0);
    __m128i high = _mm_cmplt_epi8(v, _mm_setzero_si128());
    auto cont_bits = static_cast<unsigned>(_mm_movemask_epi8(cont));
    auto lead_bits = static_cast<unsigned>(_mm_movemask_epi8(lead2));
    auto long_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(below_e0, high)));
    unsigned taken_bits = lead_bits >> 15 != 0 ? 0x7FFFu : 0xFFFFu;
    if (long_bits != 0 || ((lead_bits << 1 ^ cont_bits) & 0xFFFFu) != 0)
        return 0;
    __m128i zero = _mm_setzero_si128();
    __m128i low6 = _mm_set1_epi16(0x3F);
    __m128i units[2];
    for (int half = 0; half < 2; ++half) {
        __m128i b = half == 0 ? _mm_unpacklo_epi8(v, zero) : _mm_unpackhi_epi8(v, zero);
        __m128i c = half == 0 ? _mm_unpacklo_epi8(next, zero) : _mm_unpackhi_epi8(next, zero);
        __m128i is_lead =
            half == 0 ? _mm_unpacklo_epi8(lead2, lead2) : _mm_unpackhi_epi8(lead2, lead2);
        __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(b, _mm_set1_epi16(0x1F)), 6),
                                   _mm_and_si128(c, low6));
        __m128i unit = _mm_or_si128(_mm_and_si128(is_lead, two), _mm_andnot_si128(is_lead, b));
        if (big)
            unit = _mm_or_si128(_mm_slli_epi16(unit, 8), _mm_srli_epi16(unit, 8));
        units[half] = unit;
    }
    alignas(16) unsigned char lanes[32];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), units[0]);
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes + 16), units[1]);
    unsigned char *o = *out;
    for (unsigned starts = ~cont_bits & taken_bits; starts != 0; starts &= starts - 1) {
        auto i = static_cast<std::size_t>(__builtin_ctz(starts));
        o[0] = lanes[2 * i];
        o[1] = lanes[2 * i + 1];
        o += 2;
    }
    *out = o;
    return taken_bits == 0xFFFFu ? 16 : 15;
}

// When all 16 bytes at in are below 0x80, writes them as 16 UTF-16 units, 32
// bytes, to out and returns true; otherwise writes nothing.
static inline bool widen_ascii_block(const unsigned char *in, bool big, unsigned char *out)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    if (_mm_movemask_epi8(v) != 0)
        return false;
    __m128i zero = _mm_setzero_si128();
    __m128i first = big ? _mm_unpacklo_epi8(zero, v) : _mm_unpacklo_epi8(v, zero);
    __m128i second = big ? _mm_unpackhi_epi8(zero, v) : _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), first);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), second);
    return true;
}

// How many more bytes than one a unit the internal form (utf16.h) of the
// 8 * eights units at in takes: one for each unit from 0x80 up, another for
// each from 0x800 up. Reads exactly those units. The tests a unit passes as short
// are counted in 16-bit lanes, emptied before they can overflow.
static inline std::size_t extra_form_bytes(const unsigned char *in, std::size_t eights, bool big)
{
    __m128i zero = _mm_setzero_si128();
    __m128i above_7f = _mm_set1_epi16(static_cast<short>(big ? 0x80FF : 0xFF80));
    __m128i above_7ff = _mm_set1_epi16(static_cast<short>(big ? 0x00F8 : 0xF800));
    std::size_t short_forms = 0;
    std::size_t tests = 16 * eights; // two a unit
    while (eights > 0) {
        std::size_t run = eights < 8192 ? eights : 8192; // at most 16384 a lane
        __m128i counts = zero;
        for (std::size_t i = 0; i < run; ++i, in += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
            counts = _mm_sub_epi16(counts, _mm_cmpeq_epi16(_mm_and_si128(v, above_7f), zero));
            counts = _mm_sub_epi16(counts, _mm_cmpeq_epi16(_mm_and_si128(v, above_7ff), zero));
        }
        __m128i sums = _mm_madd_epi16(counts, _mm_set1_epi16(1));
        sums = _mm_add_epi32(sums, _mm_srli_si128(sums, 8));
        sums = _mm_add_epi32(sums, _mm_srli_si128(sums, 4));
        short_forms += static_cast<std::size_t>(_mm_cvtsi128_si32(sums));
        eights -= run;
    }
    return tests - short_forms;
}

// UTF-16 text spends its time laying 16-bit units or their one- and
// two-byte forms end to end: one byte shuffle with SSSE3, which the x86-64
// baseline lacks, so the runs below are used only where the processor has
// it (ssse3_runs).

struct lane_shuffles {
    unsigned char masks[256][16]; // by an 8-bit mask of 16-bit lanes
    unsigned char bytes[256];     // what the bytes laid end to end take
};

// With forms, every lane's first byte and the second byte of the lanes in
// the mask (one- and two-byte forms); else both bytes of the lanes in the
// mask (the units kept). The rest of the 16 bytes become zeros.
constexpr lane_shuffles make_shuffles(bool forms)
{
    lane_shuffles t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            bool in_mask = (mask >> lane & 1) != 0;
            if (forms || in_mask)
                t.masks[mask][n++] = static_cast<unsigned char>(2 * lane);
            if (in_mask)
                t.masks[mask][n++] = static_cast<unsigned char>(2 * lane + 1);
        }
        for (unsigned k = n; k < 16; ++k)
            t.masks[mask][k] = 0x80;
        t.bytes[mask] = static_cast<unsigned char>(n);
    }
    return t;
}

inline constexpr lane_shuffles kept_units = make_shuffles(false);
inline constexpr lane_shuffles short_forms = make_shuffles(true);

// Stores all 16 bytes, whatever the lanes take.
__attribute__((target("ssse3"))) static inline unsigned char *
put_shuffled(__m128i lanes, const lane_shuffles &table, unsigned mask, unsigned char *out)
{
    __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table.masks[mask]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_shuffle_epi8(lanes, order));
    return out + table.bytes[mask];
}

// widen_ascii_block and widen_short_block over a run of blocks, while each
// is one or the other and at least stop bytes are left; returns how many
// bytes it took. Writes a whole 16-byte store for every 8 lanes, so out
// needs 16 bytes of room past the units.
__attribute__((target("ssse3"))) static inline std::size_t
widen_short_run(const unsigned char *in, std::size_t size, std::size_t stop, bool big,
                unsigned char **out)
{
    std::size_t at = 0;
    unsigned char *o = *out;
    __m128i zero = _mm_setzero_si128();
    __m128i swap = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    while (size - at >= stop) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at));
        __m128i low = _mm_unpacklo_epi8(v, zero);
        __m128i high = _mm_unpackhi_epi8(v, zero);
        if (_mm_movemask_epi8(v) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o), big ? _mm_shuffle_epi8(low, swap) : low);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 16), big ? _mm_shuffle_epi8(high, swap) : high);
            o += 32;
            at += 16;
            continue;
        }
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at + 1));
        __m128i cont = _mm_cmplt_epi8(v, _mm_set1_epi8(-64));
        __m128i below_e0 = _mm_cmplt_epi8(v, _mm_set1_epi8(-32));
        __m128i lead2 = _mm_andnot_si128(cont, below_e0);
        auto cont_bits = static_cast<unsigned>(_mm_movemask_epi8(cont));
        auto lead_bits = static_cast<unsigned>(_mm_movemask_epi8(lead2));
        auto long_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(below_e0, v)));
        if (long_bits != 0 || ((lead_bits << 1 ^ cont_bits) & 0xFFFFu) != 0)
            break;
        unsigned keep = ~cont_bits & (lead_bits >> 15 != 0 ? 0x7FFFu : 0xFFFFu);
        __m128i low6 = _mm_set1_epi16(0x3F);
        __m128i five = _mm_set1_epi16(0x1F);
        __m128i halves[2] = {low, high};
        __m128i nexts[2] = {_mm_unpacklo_epi8(next, zero), _mm_unpackhi_epi8(next, zero)};
        __m128i leads[2] = {_mm_unpacklo_epi8(lead2, lead2), _mm_unpackhi_epi8(lead2, lead2)};
        for (int half = 0; half < 2; ++half) {
            __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(halves[half], five), 6),
                                       _mm_and_si128(nexts[half], low6));
            __m128i unit = _mm_or_si128(_mm_and_si128(leads[half], two),
                                        _mm_andnot_si128(leads[half], halves[half]));
            if (big)
                unit = _mm_shuffle_epi8(unit, swap);
            o = put_shuffled(unit, kept_units, keep >> (8 * half) & 0xFFu, o);
        }
        at += lead_bits >> 15 != 0 ? 15u : 16u;
    }
    *out = o;
    return at;
}

// narrow_ascii_units and narrow_short_units over a run of blocks, 32 bytes
// at once where all are ASCII, else 16, while each is one or the other;
// returns how many bytes it took. A store may write up to 8 zero bytes past
// the forms.
__attribute__((target("ssse3"))) static inline std::size_t
narrow_short_run(const unsigned char *in, std::size_t size, bool big, unsigned char **out)
{
    std::size_t at = 0;
    unsigned char *o = *out;
    __m128i zero = _mm_setzero_si128();
    __m128i swap = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    __m128i above_7f = _mm_set1_epi16(-0x80);
    while (size - at >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at));
        if (big)
            v = _mm_shuffle_epi8(v, swap);
        if (size - at >= 32) {
            __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at + 16));
            if (big)
                w = _mm_shuffle_epi8(w, swap);
            __m128i both = _mm_and_si128(_mm_or_si128(v, w), above_7f);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(both, zero)) == 0xFFFF) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_packus_epi16(v, w));
                o += 16;
                at += 32;
                continue;
            }
        }
        __m128i short_units = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(-0x800)), zero);
        if (_mm_movemask_epi8(short_units) != 0xFFFF)
            break;
        unsigned wide = 0;
        __m128i form = short_forms_in_lanes(v, &wide);
        o = put_shuffled(form, short_forms, wide, o);
        at += 16;
    }
    *out = o;
    return at;
}

// The Shift_JIS and EUC-JP classes with 32-byte vectors: EUC-JP's by the
// same comparisons in half the steps, Shift_JIS's, which the look reads to
// the end of most Shift_JIS text, by two lookups.
TABFLIP_WIDE static inline __m256i in_signed_wide(__m256i v, int low, int high)
{
    return _mm256_and_si256(
        _mm256_cmpgt_epi8(v, _mm256_set1_epi8(static_cast<char>(low - 1))),
        _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(high + 1)), v));
}

TABFLIP_WIDE static inline std::uint64_t wide_bits(__m256i a, __m256i b)
{
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(a)) |
           std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(b))} << 32;
}

// Each Shift_JIS class is a few rectangles of high and low nibbles, one bit
// each: a byte's bits are those its high nibble looks up in one table and
// its low nibble in the other. Lead: 8 with 1..F, 9 or E with any, F with
// 0..C. Not a trail: 0..3 with any, 7 with F, F with D..F. Not a single
// byte: 8 or A with 0, F with D..F. NUL: 0 with 0, the top bit.
constexpr unsigned char sjis_lead = 0x07;
constexpr unsigned char sjis_not_trail = 0x38;
constexpr unsigned char sjis_not_single = 0x60;

TABFLIP_WIDE static inline std::uint64_t wide_any(__m256i a, __m256i b, unsigned char bits)
{
    __m256i x = _mm256_set1_epi8(static_cast<char>(bits));
    __m256i zero = _mm256_setzero_si256();
    return ~wide_bits(_mm256_cmpeq_epi8(_mm256_and_si256(a, x), zero),
                      _mm256_cmpeq_epi8(_mm256_and_si256(b, x), zero));
}

// clang-format off
inline constexpr unsigned char sjis_by_high[16] = {
    0x88, 0x08, 0x08, 0x08, 0, 0, 0, 0x10, 0x41, 0x02, 0x40, 0, 0, 0, 0x02, 0x24};
inline constexpr unsigned char sjis_by_low[16] = {
    0xCE, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x2B, 0x2B, 0x3B};
// clang-format on

TABFLIP_WIDE static inline __m256i nibble_lookup(const unsigned char (&table)[16], __m256i nibbles)
{
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table));
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(t), nibbles);
}

TABFLIP_WIDE static inline __m256i shift_jis_bits(__m256i v)
{
    __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    return _mm256_and_si256(nibble_lookup(sjis_by_high, high),
                            nibble_lookup(sjis_by_low, _mm256_and_si256(v, nibble)));
}

TABFLIP_WIDE static inline shift_jis_classes classify_shift_jis_wide(const unsigned char *p)
{
    __m256i a = shift_jis_bits(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
    __m256i b = shift_jis_bits(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32)));
    shift_jis_classes k;
    k.lead = wide_any(a, b, sjis_lead);
    k.not_trail = wide_any(a, b, sjis_not_trail);
    k.not_single = wide_any(a, b, sjis_not_single);
    k.nul = wide_bits(a, b);
    return k;
}

TABFLIP_WIDE static inline euc_jp_classes classify_euc_jp_wide(const unsigned char *p)
{
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
    euc_jp_classes k;
    k.pair = wide_bits(in_signed_wide(a, -95, -2), in_signed_wide(b, -95, -2));
    k.ss2 = wide_bits(in_signed_wide(a, -114, -114), in_signed_wide(b, -114, -114));
    k.ss3 = wide_bits(in_signed_wide(a, -113, -113), in_signed_wide(b, -113, -113));
    k.not_kana = ~wide_bits(in_signed_wide(a, -95, -33), in_signed_wide(b, -95, -33));
    k.not_single = wide_bits(a, b) & ~(k.pair | k.ss2 | k.ss3);
    k.nul = wide_bits(in_signed_wide(a, 0, 0), in_signed_wide(b, 0, 0));
    return k;
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

static inline bool ascii_block64(const unsigned char *p)
{
    for (std::size_t i = 0; i < scan_block; ++i) {
        if (p[i] == 0x00 || p[i] >= 0x80)
            return false;
    }
    return true;
}

// Bit i set where byte i lies in low..high.
static inline std::uint64_t range_mask(const unsigned char *p, unsigned char low,
                                       unsigned char high)
{
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < scan_block; ++i)
        mask |= p[i] >= low && p[i] <= high ? std::uint64_t{1} << i : 0;
    return mask;
}

static inline utf8_classes classify_utf8_block(const unsigned char *p)
{
    utf8_classes k;
    k.cont = range_mask(p, 0x80, 0xBF);
    k.lead2 = range_mask(p, 0xC2, 0xDF);
    k.unusual =
        (range_mask(p, 0x00, 0x00) | range_mask(p, 0xC0, 0xC1) | range_mask(p, 0xE0, 0xFF)) != 0;
    return k;
}

static inline utf8_rare_classes classify_utf8_rare(const unsigned char *p)
{
    utf8_rare_classes k;
    k.nul = range_mask(p, 0x00, 0x00);
    k.high = range_mask(p, 0x80, 0xFF);
    k.below_c2 = range_mask(p, 0x80, 0xC1);
    k.below_e0 = range_mask(p, 0x80, 0xDF);
    k.below_f0 = range_mask(p, 0x80, 0xEF);
    k.below_f5 = range_mask(p, 0x80, 0xF4);
    k.below_90 = range_mask(p, 0x80, 0x8F);
    k.below_a0 = range_mask(p, 0x80, 0x9F);
    k.e0 = range_mask(p, 0xE0, 0xE0);
    k.ed = range_mask(p, 0xED, 0xED);
    k.f0 = range_mask(p, 0xF0, 0xF0);
    k.f4 = range_mask(p, 0xF4, 0xF4);
    return k;
}

static inline std::uint64_t continuation_mask(const unsigned char *p)
{
    return range_mask(p, 0x80, 0xBF);
}

static inline shift_jis_classes classify_shift_jis_block(const unsigned char *p)
{
    shift_jis_classes k;
    std::uint64_t top = range_mask(p, 0xFD, 0xFF);
    k.lead = range_mask(p, 0x81, 0x9F) | range_mask(p, 0xE0, 0xFC);
    k.not_trail = range_mask(p, 0x00, 0x3F) | range_mask(p, 0x7F, 0x7F) | top;
    k.not_single = range_mask(p, 0x80, 0x80) | range_mask(p, 0xA0, 0xA0) | top;
    k.nul = range_mask(p, 0x00, 0x00);
    return k;
}

static inline euc_jp_classes classify_euc_jp_block(const unsigned char *p)
{
    euc_jp_classes k;
    k.pair = range_mask(p, 0xA1, 0xFE);
    k.ss2 = range_mask(p, 0x8E, 0x8E);
    k.ss3 = range_mask(p, 0x8F, 0x8F);
    k.not_kana = ~range_mask(p, 0xA1, 0xDF);
    k.not_single = range_mask(p, 0x80, 0xFF) & ~(k.pair | k.ss2 | k.ss3);
    k.nul = range_mask(p, 0x00, 0x00);
    return k;
}

static inline form_classes classify_form_block(const unsigned char *p)
{
    form_classes k;
    k.cont = range_mask(p, 0x80, 0xBF);
    k.lead2 = range_mask(p, 0xC0, 0xDF);
    k.lead3 = range_mask(p, 0xE0, 0xEF);
    k.other = range_mask(p, 0xF0, 0xFF);
    return k;
}

static inline bool narrow_ascii_units(const unsigned char *in, bool big, unsigned char *out)
{
    for (std::size_t i = 0; i < 32; i += 2) {
        unsigned char high = big ? in[i] : in[i + 1];
        unsigned char low = big ? in[i + 1] : in[i];
        if (high != 0x00 || low >= 0x80)
            return false;
    }
    for (std::size_t i = 0; i < 16; ++i)
        out[i] = big ? in[2 * i + 1] : in[2 * i];
    return true;
}

static inline unsigned char *narrow_short_units(const unsigned char *in, bool big,
                                                unsigned char *out)
{
    unsigned units[8];
    for (std::size_t i = 0; i < 8; ++i) {
        units[i] = big ? unsigned{in[2 * i]} << 8 | in[2 * i + 1]
                       : unsigned{in[2 * i + 1]} << 8 | in[2 * i];
        if (units[i] >= 0x800)
            return nullptr;
    }
    for (unsigned unit : units) {
        if (unit < 0x80) {
            *out++ = static_cast<unsigned char>(unit);
        } else {
            *out++ = static_cast<unsigned char>(0xC0 | unit >> 6);
            *out++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

static inline std::size_t widen_short_block(const unsigned char *in, bool big, unsigned char **out)
{
    unsigned cont_bits = 0;
    unsigned lead_bits = 0;
    for (unsigned i = 0; i < 16; ++i) {
        if (in[i] >= 0xE0)
            return 0;
        cont_bits |= in[i] >= 0x80 && in[i] < 0xC0 ? 1u << i : 0;
        lead_bits |= in[i] >= 0xC0 ? 1u << i : 0;
    }
    unsigned taken_bits = lead_bits >> 15 != 0 ? 0x7FFFu : 0xFFFFu;
    if (((lead_bits << 1 ^ cont_bits) & 0xFFFFu) != 0)
        return 0;
    unsigned char *o = *out;
    for (unsigned i = 0; i < 16; ++i) {
        if ((~cont_bits & taken_bits) >> i & 1) {
            unsigned unit = lead_bits >> i & 1 ? (in[i] & 0x1Fu) << 6 | (in[i + 1] & 0x3Fu) : in[i];
            o[0] = static_cast<unsigned char>(big ? unit >> 8 : unit & 0xFF);
            o[1] = static_cast<unsigned char>(big ? unit & 0xFF : unit >> 8);
            o += 2;
        }
    }
    *out = o;
    return taken_bits == 0xFFFFu ? 16 : 15;
}

static inline bool widen_ascii_block(const unsigned char *in, bool big, unsigned char *out)
{
    for (std::size_t i = 0; i < 16; ++i) {
        if (in[i] >= 0x80)
            return false;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        out[2 * i] = big ? 0x00 : in[i];
        out[2 * i + 1] = big ? in[i] : 0x00;
    }
    return true;
}

static inline std::size_t extra_form_bytes(const unsigned char *in, std::size_t eights, bool big)
{
    std::size_t extra = 0;
    for (std::size_t i = 0; i < eights * 16; i += 2) {
        unsigned unit = big ? unsigned{in[i]} << 8 | in[i + 1] : unsigned{in[i + 1]} << 8 | in[i];
        extra += std::size_t{unit >= 0x80} + std::size_t{unit >= 0x800};
    }
    return extra;
}

// No SSSE3 runs here: the stubs take nothing (ssse3_runs never holds).
static inline std::size_t widen_short_run(const unsigned char *, std::size_t, std::size_t, bool,
                                          unsigned char **)
{
    return 0;
}

static inline std::size_t narrow_short_run(const unsigned char *, std::size_t, bool,
                                           unsigned char **)
{
    return 0;
}

#endif

#endif
