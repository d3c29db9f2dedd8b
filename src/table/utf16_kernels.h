// The UTF-16 kernels of utf16.cpp, and of it alone: UTF-16 code units
// narrowed to the internal form (utf16.h) and widened back, a block at a
// time. Each SSE2 kernel has its NEON and scalar twins beside it, the
// scalar ones working on 64-bit words (byte_scans.h) with a unit in each
// 16-bit lane; the SSSE3 runs are taken only where ssse3_runs() holds
// (platform/cpu.h), and in the other builds are stubs that take nothing.
//
// Each kernel reads exactly the block it is given, but for those that say
// they read a byte more, and writes at most the room it names, some of it
// past the forms or units it returns the end of.
#ifndef TABFLIP_UTF16_KERNELS_H
#define TABFLIP_UTF16_KERNELS_H

#include "table/byte_scans.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if TABFLIP_SSE2
#include <tmmintrin.h>
#endif

// The byte classes of 64 bytes of the UTF-16 internal form (utf16.h).
struct form_classes {
    std::uint64_t cont = 0;  // 80..BF
    std::uint64_t lead2 = 0; // C0..DF
    std::uint64_t lead3 = 0; // E0..EF
    std::uint64_t other = 0; // F0..FF, which the form never holds
};

// The portable twins read units as the 16-bit lanes of a word (load_word):
// a unit's first byte is its lane's low byte, so a little-endian unit is
// its lane's value and a big-endian one has its bytes swapped.
constexpr std::uint64_t lanes_of(std::uint16_t value)
{
    return 0x0001000100010001ull * value;
}

// The four units of a word, each its lane's value, in either byte order;
// and back.
static inline std::uint64_t units_in_lanes(std::uint64_t w, bool big)
{
    return big ? (w & lanes_of(0x00FF)) << 8 | (w >> 8 & lanes_of(0x00FF)) : w;
}

// The four bytes of x (below 2^32), each in the low byte of a lane.
static inline std::uint64_t bytes_to_lanes(std::uint64_t x)
{
    x = (x | x << 16) & 0x0000FFFF0000FFFFull;
    return (x | x << 8) & lanes_of(0x00FF);
}

// The low bytes of the four lanes of x, whose high bytes are zero, as the
// four bytes of a 32-bit value.
static inline std::uint64_t lanes_to_bytes(std::uint64_t x)
{
    x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
    return (x | x >> 16) & 0xFFFFFFFFull;
}

// The classes of a word's bytes as marks (byte_scans.h): a byte from 0x80
// up is told by its bits 6, 5 and 4, each shifted up to the top bit.
static inline form_classes form_marks(std::uint64_t w)
{
    std::uint64_t high = w & word_tops;
    std::uint64_t bit6 = w << 1;
    std::uint64_t bit5 = w << 2;
    std::uint64_t bit4 = w << 3;
    form_classes m;
    m.cont = high & ~bit6;
    m.lead2 = high & bit6 & ~bit5;
    m.lead3 = high & bit6 & bit5 & ~bit4;
    m.other = high & bit6 & bit5 & bit4;
    return m;
}

#if TABFLIP_SSE2 || TABFLIP_NEON
static inline form_classes classify_form_block(const unsigned char *p)
{
    vec16 a = load16(p);
    vec16 b = load16(p + 16);
    vec16 c = load16(p + 32);
    vec16 d = load16(p + 48);
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
#else
static inline form_classes classify_form_block(const unsigned char *p)
{
    form_classes k;
    for (std::size_t i = 0; i < scan_block / 8; ++i) {
        form_classes m = form_marks(load_word(p + 8 * i));
        k.cont |= marked_bits(m.cont) << 8 * i;
        k.lead2 |= marked_bits(m.lead2) << 8 * i;
        k.lead3 |= marked_bits(m.lead3) << 8 * i;
        k.other |= marked_bits(m.other) << 8 * i;
    }
    return k;
}
#endif

// UTF-16 code units, two bytes each, little-endian or (big) big-endian. When
// all sixteen units in the 32 bytes at in are below 0x80, writes them as 16
// bytes to out and returns true; otherwise writes nothing.
#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline bool narrow_ascii_units(const unsigned char *in, bool big, unsigned char *out)
{
    // The units' first and second bytes apart.
    uint8x16x2_t bytes = vld2q_u8(in);
    uint8x16_t low = big ? bytes.val[1] : bytes.val[0];
    uint8x16_t high = big ? bytes.val[0] : bytes.val[1];
    if (vmaxvq_u8(vorrq_u8(high, vandq_u8(low, vdupq_n_u8(0x80)))) != 0)
        return false;
    vst1q_u8(out, low);
    return true;
}
#else
static inline bool narrow_ascii_units(const unsigned char *in, bool big, unsigned char *out)
{
    std::uint64_t w[4];
    std::uint64_t all = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        w[i] = load_word(in + 8 * i);
        all |= w[i];
    }
    // A big-endian unit's high byte is the low half of its lane.
    if ((all & lanes_of(big ? 0x80FF : 0xFF80)) != 0)
        return false;
    unsigned shift = big ? 8 : 0;
    store_word(out, lanes_to_bytes(w[0] >> shift) | lanes_to_bytes(w[1] >> shift) << 32);
    store_word(out + 8, lanes_to_bytes(w[2] >> shift) | lanes_to_bytes(w[3] >> shift) << 32);
    return true;
}
#endif

#if TABFLIP_SSE2 || TABFLIP_NEON
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
#endif

#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
// The forms of the eight units in v's lanes, all below 0x800, as above.
static inline uint16x8_t short_forms_in_lanes(uint16x8_t v, unsigned *wide)
{
    const uint16x8_t lane_bit = {1, 2, 4, 8, 16, 32, 64, 128};
    uint16x8_t ascii = vcltq_u16(v, vdupq_n_u16(0x80));
    uint16x8_t lead = vorrq_u16(vshrq_n_u16(v, 6), vdupq_n_u16(0xC0));
    uint16x8_t cont = vorrq_u16(vandq_u16(v, vdupq_n_u16(0x3F)), vdupq_n_u16(0x80));
    uint16x8_t two = vorrq_u16(lead, vshlq_n_u16(cont, 8));
    *wide = vaddvq_u16(vbicq_u16(lane_bit, ascii));
    return vbslq_u16(ascii, v, two);
}
#else
// Writes the forms of the four units in v's lanes, all below 0x800, to out,
// which has room for 14 bytes, and returns their end. Each lane's form is
// made in the lane, first byte low, and stored with the lanes above it in
// one 8-byte store, which the next form's overwrites from where this one
// ends: a two-byte form's second byte (0x80..0xBF) has the lane's top bit,
// a one-byte form's none.
static inline unsigned char *put_short_forms(std::uint64_t v, unsigned char *out)
{
    // 0x780 added to a lane's bits 7..10 carries into its bit 11 from 0x80 up.
    std::uint64_t wide = ((v & lanes_of(0x0780)) + lanes_of(0x0780)) >> 11 & lanes_of(1);
    std::uint64_t two = (v >> 6 & lanes_of(0x1F)) | (v & lanes_of(0x3F)) << 8 | lanes_of(0x80C0);
    std::uint64_t forms = (v & ~(wide * 0xFFFF)) | (two & wide * 0xFFFF);
    for (unsigned k = 0; k < 4; ++k, forms >>= 16) {
        store_word(out, forms);
        out += 1 + (forms >> 15 & 1);
    }
    return out;
}
#endif

// When all eight units in the 16 bytes at in are below 0x800, writes them in
// the UTF-16 internal form (utf16.h), one or two bytes each, to out, which
// has room for 22 bytes, and returns the end of the forms; otherwise returns
// null, writing nothing. Each unit's form is made in a lane, and the forms
// then laid end to end.
#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline unsigned char *narrow_short_units(const unsigned char *in, bool big,
                                                unsigned char *out)
{
    uint8x16_t bytes = vld1q_u8(in);
    uint16x8_t v = vreinterpretq_u16_u8(big ? vrev16q_u8(bytes) : bytes);
    if (vmaxvq_u16(v) >= 0x800)
        return nullptr;
    unsigned wide = 0;
    uint64x2_t form = vreinterpretq_u64_u16(short_forms_in_lanes(v, &wide));
    out = join_forms(vgetq_lane_u64(form, 0), wide & 0xFu, out);
    return join_forms(vgetq_lane_u64(form, 1), wide >> 4, out);
}
#else
static inline unsigned char *narrow_short_units(const unsigned char *in, bool big,
                                                unsigned char *out)
{
    std::uint64_t a = units_in_lanes(load_word(in), big);
    std::uint64_t b = units_in_lanes(load_word(in + 8), big);
    if (((a | b) & lanes_of(0xF800)) != 0)
        return nullptr;
    return put_short_forms(b, put_short_forms(a, out));
}
#endif

// When the 16 bytes at in are whole one- and two-byte sequences of the UTF-16
// internal form (utf16.h), but perhaps for a two-byte lead as the last byte,
// writes their units to out, which has room for 40 bytes, and returns how
// many bytes it took: 16, or 15 without that lead. Otherwise returns 0,
// writing nothing. Reads the byte after the 16 too. The unit that would
// start at each byte is made in a lane, and the lanes of the bytes that
// start a sequence are then laid end to end.
#if TABFLIP_SSE2 || TABFLIP_NEON
// The 16-bit units, two bytes each in lanes, of the bytes marked in starts
// (a character's first byte), in order; returns where they end.
static inline unsigned char *put_started_units(const unsigned char *lanes, unsigned starts,
                                               unsigned char *o)
{
    for (; starts != 0; starts &= starts - 1) {
        auto i = static_cast<std::size_t>(__builtin_ctz(starts));
        o[0] = lanes[2 * i];
        o[1] = lanes[2 * i + 1];
        o += 2;
    }
    return o;
}
#endif

#if TABFLIP_SSE2
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
    *out = put_started_units(lanes, ~cont_bits & taken_bits, *out);
    return taken_bits == 0xFFFFu ? 16 : 15;
}
#elif TABFLIP_NEON
static inline std::size_t widen_short_block(const unsigned char *in, bool big, unsigned char **out)
{
    uint8x16_t v = vld1q_u8(in);
    uint8x16_t next = vld1q_u8(in + 1);
    int8x16_t s = vreinterpretq_s8_u8(v);
    uint8x16_t cont = vcltq_s8(s, vdupq_n_s8(-64));
    uint8x16_t below_e0 = vcltq_s8(s, vdupq_n_s8(-32));
    uint8x16_t lead2 = vbicq_u8(below_e0, cont);
    uint8x16_t high = vcltq_s8(s, vdupq_n_s8(0));
    unsigned cont_bits = neon_bits16(cont);
    unsigned lead_bits = neon_bits16(lead2);
    unsigned long_bits = neon_bits16(vbicq_u8(high, below_e0));
    unsigned taken_bits = lead_bits >> 15 != 0 ? 0x7FFFu : 0xFFFFu;
    if (long_bits != 0 || ((lead_bits << 1 ^ cont_bits) & 0xFFFFu) != 0)
        return 0;
    uint16x8_t units[2];
    for (int half = 0; half < 2; ++half) {
        uint16x8_t b = vmovl_u8(half == 0 ? vget_low_u8(v) : vget_high_u8(v));
        uint16x8_t c = vmovl_u8(half == 0 ? vget_low_u8(next) : vget_high_u8(next));
        uint16x8_t is_lead =
            vreinterpretq_u16_u8(half == 0 ? vzip1q_u8(lead2, lead2) : vzip2q_u8(lead2, lead2));
        uint16x8_t two = vorrq_u16(vshlq_n_u16(vandq_u16(b, vdupq_n_u16(0x1F)), 6),
                                   vandq_u16(c, vdupq_n_u16(0x3F)));
        uint16x8_t unit = vbslq_u16(is_lead, two, b);
        units[half] = big ? vreinterpretq_u16_u8(vrev16q_u8(vreinterpretq_u8_u16(unit))) : unit;
    }
    alignas(16) unsigned char lanes[32];
    vst1q_u8(lanes, vreinterpretq_u8_u16(units[0]));
    vst1q_u8(lanes + 16, vreinterpretq_u8_u16(units[1]));
    *out = put_started_units(lanes, ~cont_bits & taken_bits, *out);
    return taken_bits == 0xFFFFu ? 16 : 15;
}
#else
// The units of the eight bytes of w, one- and two-byte forms, with after the
// byte that follows them, laid end to end at out; m holds the word's marks
// (form_marks): a continuation byte starts no unit. Returns the end of the
// units. A unit is made of its lead's byte and the next: low and high byte
// apart, byte by byte within the word, and only then paired in lanes. Where
// each unit goes is counted for all eight at once, so that no store waits
// on the one before: every byte's lane is stored, 8 bytes at a time, where
// its unit would go, and a continuation's is overwritten by the unit after
// it.
static inline unsigned char *put_word_units(std::uint64_t w, std::uint64_t after,
                                            const form_classes &m, bool big, unsigned char *out)
{
    std::uint64_t next = w >> 8 | after << 56;
    std::uint64_t lead = (m.lead2 >> 7) * 0xFF;
    std::uint64_t low = (w & ~lead) | (((w & word_of(0x03)) << 6 | (next & word_of(0x3F))) & lead);
    std::uint64_t high = w >> 2 & word_of(0x07) & lead;
    // A big-endian unit's high byte comes first: the low half of its lane.
    std::uint64_t first = big ? high : low;
    std::uint64_t second = big ? low : high;
    // The units of the even bytes and of the odd ones, each in a lane.
    const std::uint64_t lanes[2] = {(first & lanes_of(0x00FF)) | (second & lanes_of(0x00FF)) << 8,
                                    (first >> 8 & lanes_of(0x00FF)) | (second & lanes_of(0xFF00))};
    // Each byte: how many units start at or before it.
    std::uint64_t started = ((~m.cont & word_tops) >> 7) * word_of(1);
    std::uint64_t places = started << 9; // twice the units before each byte
    for (unsigned i = 0; i < 8; ++i)
        store_word(out + (places >> 8 * i & 0xFF), lanes[i % 2] >> 16 * (i / 2));
    return out + 2 * (started >> 56);
}

// The pairing is checked on the marks as they stand, without gathering
// them into bits: each continuation byte is the one after a lead.
static inline std::size_t widen_short_block(const unsigned char *in, bool big, unsigned char **out)
{
    std::uint64_t a = load_word(in);
    std::uint64_t b = load_word(in + 8);
    form_classes ma = form_marks(a);
    form_classes mb = form_marks(b);
    std::uint64_t unpaired =
        (ma.lead2 << 8 ^ ma.cont) | ((mb.lead2 << 8 | ma.lead2 >> 56) ^ mb.cont);
    if ((ma.lead3 | ma.other | mb.lead3 | mb.other | unpaired) != 0)
        return 0;
    unsigned char *o = put_word_units(a, b & 0xFF, ma, big, *out);
    o = put_word_units(b, in[16], mb, big, o);
    // A lead the block cuts is finished by the next block: its unit, written
    // last, is taken back. Without a branch: blocks end in a lead at random.
    auto cut = static_cast<std::size_t>(mb.lead2 >> 63);
    *out = o - 2 * cut;
    return 16 - cut;
}
#endif

// When all 16 bytes at in are below 0x80, writes them as 16 UTF-16 units, 32
// bytes, to out and returns true; otherwise writes nothing.
#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline bool widen_ascii_block(const unsigned char *in, bool big, unsigned char *out)
{
    uint8x16_t v = vld1q_u8(in);
    if (vmaxvq_u8(v) >= 0x80)
        return false;
    uint8x16_t zero = vdupq_n_u8(0);
    uint8x16x2_t units = big ? uint8x16x2_t{{zero, v}} : uint8x16x2_t{{v, zero}};
    vst2q_u8(out, units);
    return true;
}
#else
static inline bool widen_ascii_block(const unsigned char *in, bool big, unsigned char *out)
{
    std::uint64_t a = load_word(in);
    std::uint64_t b = load_word(in + 8);
    if (((a | b) & word_tops) != 0)
        return false;
    // A big-endian unit's byte is the high half of its lane.
    unsigned shift = big ? 8 : 0;
    store_word(out, bytes_to_lanes(a & 0xFFFFFFFFu) << shift);
    store_word(out + 8, bytes_to_lanes(a >> 32) << shift);
    store_word(out + 16, bytes_to_lanes(b & 0xFFFFFFFFu) << shift);
    store_word(out + 24, bytes_to_lanes(b >> 32) << shift);
    return true;
}
#endif

// How many more bytes than one a unit the internal form (utf16.h) of the
// 8 * eights units at in takes: one for each unit from 0x80 up, another for
// each from 0x800 up. Reads exactly those units. The tests a unit passes as short
// are counted in 16-bit lanes, emptied before they can overflow.
#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline std::size_t extra_form_bytes(const unsigned char *in, std::size_t eights, bool big)
{
    std::size_t extra = 0;
    while (eights > 0) {
        std::size_t run = eights < 8192 ? eights : 8192; // at most 16384 a lane
        uint16x8_t counts = vdupq_n_u16(0);
        for (std::size_t i = 0; i < run; ++i, in += 16) {
            uint8x16_t bytes = vld1q_u8(in);
            uint16x8_t v = vreinterpretq_u16_u8(big ? vrev16q_u8(bytes) : bytes);
            counts = vsubq_u16(counts, vcgeq_u16(v, vdupq_n_u16(0x80)));
            counts = vsubq_u16(counts, vcgeq_u16(v, vdupq_n_u16(0x800)));
        }
        extra += vaddlvq_u16(counts);
        eights -= run;
    }
    return extra;
}
#else
// 1 in each lane of x that is not zero: its low 15 bits plus 0x7FFF carry
// into its top bit unless all are zero, and stay within the lane.
static inline std::uint64_t lanes_not_zero(std::uint64_t x)
{
    return (((x & lanes_of(0x7FFF)) + lanes_of(0x7FFF)) | x) >> 15 & lanes_of(1);
}

static inline std::size_t extra_form_bytes(const unsigned char *in, std::size_t eights, bool big)
{
    // A big-endian unit's high byte is the low half of its lane.
    std::uint64_t above_7f = lanes_of(big ? 0x80FF : 0xFF80);
    std::uint64_t above_7ff = lanes_of(big ? 0x00F8 : 0xF800);
    std::size_t extra = 0;
    while (eights > 0) {
        std::size_t run = eights < 8192 ? eights : 8192; // at most 32768 a lane
        std::uint64_t counts = 0;
        for (std::size_t i = 0; i < 2 * run; ++i, in += 8) {
            std::uint64_t w = load_word(in);
            counts += lanes_not_zero(w & above_7f) + lanes_not_zero(w & above_7ff);
        }
        counts = (counts & 0x0000FFFF0000FFFFull) + (counts >> 16 & 0x0000FFFF0000FFFFull);
        extra += static_cast<std::size_t>((counts & 0xFFFFFFFFu) + (counts >> 32));
        eights -= run;
    }
    return extra;
}
#endif

#if TABFLIP_SSE2
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
#endif

// widen_ascii_block and widen_short_block over a run of blocks, while each
// is one or the other and at least stop bytes are left; returns how many
// bytes it took. Writes a whole 16-byte store for every 8 lanes, so out
// needs 16 bytes of room past the units.
#if TABFLIP_SSE2
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
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o),
                             big ? _mm_shuffle_epi8(low, swap) : low);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 16),
                             big ? _mm_shuffle_epi8(high, swap) : high);
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
#else
// No SSSE3 runs here: the stubs take nothing (ssse3_runs never holds).
static inline std::size_t widen_short_run(const unsigned char *, std::size_t, std::size_t, bool,
                                          unsigned char **)
{
    return 0;
}
#endif

// narrow_ascii_units and narrow_short_units over a run of blocks, 32 bytes
// at once where all are ASCII, else 16, while each is one or the other;
// returns how many bytes it took. A store may write up to 8 zero bytes past
// the forms.
#if TABFLIP_SSE2
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
#else
static inline std::size_t narrow_short_run(const unsigned char *, std::size_t, bool,
                                           unsigned char **)
{
    return 0;
}
#endif

#endif
