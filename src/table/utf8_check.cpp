#include "table/utf8_check.h"

#include "table/byte_scans.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if TABFLIP_SSE2
#include <immintrin.h>
#elif TABFLIP_NEON
#include <arm_neon.h>
#endif

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

// True when all 64 bytes lie in 0x01..0x7F.
#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline bool ascii_block64(const unsigned char *p)
{
    uint8x16_t a = vld1q_u8(p);
    uint8x16_t b = vld1q_u8(p + 16);
    uint8x16_t c = vld1q_u8(p + 32);
    uint8x16_t d = vld1q_u8(p + 48);
    uint8x16_t any = vorrq_u8(vorrq_u8(a, b), vorrq_u8(c, d));
    uint8x16_t least = vminq_u8(vminq_u8(a, b), vminq_u8(c, d));
    return vmaxvq_u8(any) < 0x80 && vminvq_u8(least) != 0;
}
#else
static inline bool ascii_block64(const unsigned char *p)
{
    std::uint64_t any = 0;
    std::uint64_t zeros = 0;
    for (std::size_t i = 0; i < scan_block; i += 8) {
        std::uint64_t w = load_word(p + i);
        any |= w;
        zeros |= ~nonzero_tops(w);
    }
    return ((any | zeros) & word_tops) == 0;
}
#endif

#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline utf8_classes classify_utf8_block(const unsigned char *p)
{
    uint8x16_t cont[4];
    uint8x16_t lead2[4];
    uint8x16_t unusual = vdupq_n_u8(0);
    for (std::size_t i = 0; i < 4; ++i) {
        uint8x16_t v = vld1q_u8(p + 16 * i);
        int8x16_t s = vreinterpretq_s8_u8(v);
        // Signed bytes: 80..BF is below -64, C2..DF lies in -62..-33.
        cont[i] = vcltq_s8(s, vdupq_n_s8(-64));
        lead2[i] = vandq_u8(vcgtq_s8(s, vdupq_n_s8(-63)), vcltq_s8(s, vdupq_n_s8(-32)));
        uint8x16_t other_high = vbicq_u8(v, vorrq_u8(cont[i], lead2[i]));
        unusual = vorrq_u8(unusual, vorrq_u8(other_high, vceqq_u8(v, vdupq_n_u8(0))));
    }
    utf8_classes k;
    k.cont = neon_bits(cont[0], cont[1], cont[2], cont[3]);
    k.lead2 = neon_bits(lead2[0], lead2[1], lead2[2], lead2[3]);
    k.unusual = vmaxvq_u8(unusual) >= 0x80;
    return k;
}
#else
static inline utf8_classes classify_utf8_block(const unsigned char *p)
{
    utf8_classes k;
    std::uint64_t unusual = 0;
    for (std::size_t i = 0; i < scan_block / 8; ++i) {
        std::uint64_t w = load_word(p + 8 * i);
        auto shift = static_cast<unsigned>(8 * i);
        std::uint64_t cont = w & ~(w << 1) & word_tops; // 80..BF
        std::uint64_t above_df = w & w << 1 & w << 2 & word_tops;
        k.cont |= marked_bits(cont) << shift;
        k.lead2 |= marked_bits(bytes_in(w, 0xC2, 0xDF)) << shift;
        unusual |= bytes_equal(w, 0x00) | bytes_in(w, 0xC0, 0xC1) | above_df;
    }
    k.unusual = unusual != 0;
    return k;
}
#endif

#if TABFLIP_SSE2 || TABFLIP_NEON
static inline utf8_rare_classes classify_utf8_rare(const unsigned char *p)
{
    vec16 a = load16(p);
    vec16 b = load16(p + 16);
    vec16 c = load16(p + 32);
    vec16 d = load16(p + 48);
    auto equal = [&](unsigned char value) { return equal_mask(a, b, c, d, splat16(value)); };
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
#else
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
#endif

// The bytes of an unusual block that lead nothing (C0, C1, F5..FF) or break
// RFC 3629's narrowed ranges after E0, ED, F0 and F4. Sets the block's
// three- and four-byte leads and its NUL bytes.
static std::uint64_t rare_errors(const unsigned char *p, std::uint64_t cont, utf8_carry *carry,
                                 std::uint64_t *lead3, std::uint64_t *lead4, std::uint64_t *nul)
{
    utf8_rare_classes r = classify_utf8_rare(p);
    *lead3 = r.below_f0 & ~r.below_e0;
    *lead4 = r.below_f5 & ~r.below_f0;
    *nul = r.nul;
    std::uint64_t after_e0 = r.e0 << 1 | carry->after_e0;
    std::uint64_t after_ed = r.ed << 1 | carry->after_ed;
    std::uint64_t after_f0 = r.f0 << 1 | carry->after_f0;
    std::uint64_t after_f4 = r.f4 << 1 | carry->after_f4;
    carry->after_e0 = r.e0 >> 63;
    carry->after_ed = r.ed >> 63;
    carry->after_f0 = r.f0 >> 63;
    carry->after_f4 = r.f4 >> 63;
    std::uint64_t no_lead = (r.below_c2 & ~cont) | (r.high & ~r.below_f5);
    return no_lead | (after_e0 & r.below_a0) | (after_f0 & r.below_90) |
           (after_ed & cont & ~r.below_a0) | (after_f4 & cont & ~r.below_90);
}

// The bytes of the 64-byte block at p that are not where well-formed UTF-8
// allows them, up to the first NUL, which is checked too: it may not stand
// where a continuation byte is owed. Every lead byte owes one to three
// continuation bytes, and exactly the owed bytes must be continuation bytes.
static std::uint64_t utf8_errors(const unsigned char *p, utf8_carry *carry, bool *ends)
{
    utf8_classes k = classify_utf8_block(p);
    std::uint64_t lead3 = 0;
    std::uint64_t lead4 = 0;
    std::uint64_t nul = 0;
    std::uint64_t errors = 0;
    if (k.unusual || (carry->after_e0 | carry->after_ed | carry->after_f0 | carry->after_f4) != 0)
        errors = rare_errors(p, k.cont, carry, &lead3, &lead4, &nul);
    std::uint64_t leads = k.lead2 | lead3 | lead4;
    std::uint64_t long_leads = lead3 | lead4;
    std::uint64_t owed = leads << 1 | long_leads << 2 | lead4 << 3 | carry->owed;
    carry->owed = leads >> 63 | long_leads >> 62 | lead4 >> 61;
    errors |= owed ^ k.cont;
    *ends = nul != 0;
    if (nul != 0) {
        std::uint64_t first_nul = nul & (~nul + 1);
        errors &= first_nul | (first_nul - 1);
    }
    return errors;
}

static void check_blocks_narrow(utf8_check *check, const unsigned char *p, std::size_t count)
{
    for (; count > 0 && !check->failed && !check->ended; --count, p += scan_block) {
        // Stretches of ASCII between characters are passed over a block at a time.
        if (check->carry.owed == 0 && ascii_block64(p))
            continue;
        bool ends = false;
        check->failed = utf8_errors(p, &check->carry, &ends) != 0;
        check->ended = ends;
    }
}

#if TABFLIP_SSE2

// With 32-byte vectors the check judges each byte by the one before it, by
// the lookup method of Keiser and Lemire's paper on validating UTF-8: the
// high and low nibble of the byte before and the high nibble of this one
// each look up the errors that pair may make, and a pair is wrong where all
// three agree. A byte two or three after a three- or four-byte lead must be
// a continuation byte, the only place where two may follow each other.
// Errors gather in a register.
namespace
{

constexpr unsigned char too_short = 1 << 0;  // a lead, then no continuation byte
constexpr unsigned char too_long = 1 << 1;   // ASCII, then a continuation byte
constexpr unsigned char overlong_3 = 1 << 2; // E0, then 80..9F
constexpr unsigned char too_large = 1 << 3;  // F4..FF, then 90..BF
constexpr unsigned char surrogate = 1 << 4;  // ED, then A0..BF
constexpr unsigned char overlong_2 = 1 << 5; // C0 or C1, then a continuation byte
constexpr unsigned char low_4 = 1 << 6;      // F0 or F5..FF, then 80..8F
constexpr unsigned char two_conts = 1 << 7;  // a continuation byte, then another
constexpr unsigned char any_low = too_short | too_long | two_conts;

// By the high nibble of the byte before, its low nibble, and the high
// nibble of this byte.
// clang-format off
constexpr unsigned char first_high[16] = {
    too_long, too_long, too_long, too_long, too_long, too_long, too_long, too_long,
    two_conts, two_conts, two_conts, two_conts,
    too_short | overlong_2, too_short, too_short | overlong_3 | surrogate,
    too_short | too_large | low_4};
constexpr unsigned char first_low[16] = {
    any_low | overlong_3 | overlong_2 | low_4, any_low | overlong_2, any_low, any_low,
    any_low | too_large, any_low | too_large | low_4, any_low | too_large | low_4,
    any_low | too_large | low_4, any_low | too_large | low_4, any_low | too_large | low_4,
    any_low | too_large | low_4, any_low | too_large | low_4, any_low | too_large | low_4,
    any_low | too_large | low_4 | surrogate, any_low | too_large | low_4,
    any_low | too_large | low_4};
constexpr unsigned char second_high[16] = {
    too_short, too_short, too_short, too_short, too_short, too_short, too_short, too_short,
    too_long | overlong_2 | two_conts | overlong_3 | low_4,
    too_long | overlong_2 | two_conts | overlong_3 | too_large,
    too_long | overlong_2 | two_conts | surrogate | too_large,
    too_long | overlong_2 | two_conts | surrogate | too_large,
    too_short, too_short, too_short, too_short};
// clang-format on

// Bytes 29..31 above these start a character the vector does not finish.
constexpr unsigned char unfinished_above[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

} // namespace

// The bytes n places before those of v, previous being the vector before v.
template <int n> TABFLIP_WIDE static inline __m256i before(__m256i v, __m256i previous)
{
    return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(previous, v, 0x21), 16 - n);
}

TABFLIP_WIDE static inline __m256i wide_errors(__m256i v, __m256i previous)
{
    __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i prev1 = before<1>(v, previous);
    __m256i pairs = _mm256_and_si256(
        nibble_lookup(first_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
        nibble_lookup(first_low, _mm256_and_si256(prev1, nibble)));
    pairs = _mm256_and_si256(
        pairs, nibble_lookup(second_high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
    __m256i third = _mm256_subs_epu8(before<2>(v, previous), _mm256_set1_epi8(0xE0 - 0x80));
    __m256i fourth = _mm256_subs_epu8(before<3>(v, previous), _mm256_set1_epi8(0xF0 - 0x80));
    __m256i owed =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_xor_si256(pairs, owed);
}

// The 64 bytes at p up to their first NUL, zeros standing for the rest,
// which is not checked.
TABFLIP_WIDE static void up_to_nul(const unsigned char *p, __m256i *a, __m256i *b)
{
    __m256i zero = _mm256_setzero_si256();
    std::uint64_t nul =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(*a, zero))) |
        std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(*b, zero)))}
            << 32;
    alignas(32) unsigned char kept[scan_block] = {};
    std::memcpy(kept, p, static_cast<std::size_t>(std::countr_zero(nul)));
    *a = _mm256_load_si256(reinterpret_cast<const __m256i *>(kept));
    *b = _mm256_load_si256(reinterpret_cast<const __m256i *>(kept + 32));
}

TABFLIP_WIDE static void check_blocks_wide(utf8_check *check, const unsigned char *p,
                                           std::size_t count)
{
    alignas(32) unsigned char edge[32] = {};
    std::memcpy(edge + 29, check->last, 3);
    __m256i previous = _mm256_load_si256(reinterpret_cast<const __m256i *>(edge));
    __m256i above = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(unfinished_above));
    __m256i unfinished = _mm256_subs_epu8(previous, above);
    __m256i errors = _mm256_setzero_si256();
    for (; count > 0 && !check->ended; --count, p += scan_block) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
        __m256i nul = _mm256_cmpeq_epi8(_mm256_min_epu8(a, b), _mm256_setzero_si256());
        check->ended = _mm256_testz_si256(nul, nul) == 0;
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            // ASCII: only a character left unfinished before it is wrong.
            errors = _mm256_or_si256(errors, unfinished);
            unfinished = _mm256_setzero_si256();
            previous = b;
            continue;
        }
        if (check->ended)
            up_to_nul(p, &a, &b);
        errors =
            _mm256_or_si256(errors, _mm256_or_si256(wide_errors(a, previous), wide_errors(b, a)));
        unfinished = _mm256_subs_epu8(b, above);
        previous = b;
    }
    check->failed = _mm256_testz_si256(errors, errors) == 0;
    _mm256_store_si256(reinterpret_cast<__m256i *>(edge), previous);
    std::memcpy(check->last, edge + 29, 3);
}

#endif

void check_utf8_blocks(utf8_check *check, const unsigned char *blocks, std::size_t count)
{
    if (check->failed || check->ended)
        return;
#if TABFLIP_SSE2
    if (wide_vectors()) {
        check_blocks_wide(check, blocks, count);
        return;
    }
#endif
    check_blocks_narrow(check, blocks, count);
}

bool well_formed_utf8(const unsigned char *text)
{
    utf8_check check;
    for (; !check.failed && !check.ended; text += utf8_check_stretch * scan_block)
        check_utf8_blocks(&check, text, utf8_check_stretch);
    return !check.failed;
}
