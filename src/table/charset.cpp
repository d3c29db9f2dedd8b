#include "table/charset.h"

#include "table/byte_scans.h"

#include <cstdint>

#if TABFLIP_SSE2
#include <immintrin.h>
#endif

static bool in_range(unsigned char b, unsigned char low, unsigned char high)
{
    return b >= low && b <= high;
}

// The designations that open or close ISO-2022-JP text; p[0] is ESC. Every
// look-ahead stops at the first non-matching byte, so it never passes the NUL
// that ends the data.
static bool is_jis_escape(const unsigned char *p)
{
    if (p[1] == 0x28)
        return p[2] == 0x42 || p[2] == 0x4A || p[2] == 0x49;
    if (p[1] == 0x24)
        return p[2] == 0x40 || p[2] == 0x42 || (p[2] == 0x28 && p[3] == 0x44);
    if (p[1] == 0x26)
        return p[2] == 0x40;
    return false;
}

charset_id first_match_charset(const unsigned char *buffer, std::size_t reach)
{
    // Always step one byte: the byte after a failed lead byte is tried as a
    // lead byte of its own. Plain ASCII without ESC decides nothing and is
    // passed over a block at a time, since most files are mostly that.
    for (const unsigned char *p = buffer;; ++p) {
        while (plain_ascii_block(p)) {
            p += copy_block;
            if (static_cast<std::size_t>(p - buffer) >= reach)
                return charset_none;
        }
        unsigned char b = *p;
        if (b == 0x00)
            return charset_utf8;
        if (b == 0x1B) {
            if (is_jis_escape(p))
                return charset_iso_2022_jp;
        } else if (in_range(b, 0xE0, 0xEF)) {
            if (in_range(p[1], 0x80, 0xBF) && in_range(p[2], 0x80, 0xBF))
                return charset_three_byte_utf8;
        } else if (in_range(b, 0x81, 0x9F)) {
            if (in_range(p[1], 0x40, 0xFC) && p[1] != 0x7F)
                return charset_shift_jis;
        } else if (in_range(b, 0xA1, 0xDF)) {
            if (in_range(p[1], 0xA1, 0xFE))
                return charset_euc_jp;
        } else if (in_range(b, 0xF0, 0xFE)) {
            if (p[1] == 0xFD || p[1] == 0xFE)
                return charset_euc_jp;
        }
    }
}

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

#if TABFLIP_SSE2
// Signed bytes: 80..FF are -128..-1. Bit i set where byte i lies in
// low..high, both given as signed values, low above -128 and high below 127.
static inline __m128i in_signed(__m128i v, int low, int high)
{
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high + 1))));
}
#elif TABFLIP_NEON
// As the SSE2 form: all ones where the signed byte lies in low..high.
static inline uint8x16_t in_signed(uint8x16_t v, int low, int high)
{
    int8x16_t s = vreinterpretq_s8_u8(v);
    return vandq_u8(vcgeq_s8(s, vdupq_n_s8(static_cast<signed char>(low))),
                    vcleq_s8(s, vdupq_n_s8(static_cast<signed char>(high))));
}
#endif

#if TABFLIP_SSE2
static inline shift_jis_classes classify_shift_jis_block(const unsigned char *p)
{
    shift_jis_classes k;
    for (std::size_t i = 0; i < 4; ++i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
        __m128i top = in_signed(v, -3, -1); // FD..FF
        __m128i lead = _mm_or_si128(in_signed(v, -127, -97), in_signed(v, -32, -4));
        __m128i not_trail = _mm_or_si128(_mm_or_si128(in_signed(v, 0, 0x3F), top),
                                         _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
        __m128i not_single = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(-128)),
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
#elif TABFLIP_NEON
static inline shift_jis_classes classify_shift_jis_block(const unsigned char *p)
{
    uint8x16_t lead[4];
    uint8x16_t not_trail[4];
    uint8x16_t not_single[4];
    uint8x16_t nul[4];
    for (std::size_t i = 0; i < 4; ++i) {
        uint8x16_t v = vld1q_u8(p + 16 * i);
        uint8x16_t top = in_signed(v, -3, -1); // FD..FF
        lead[i] = vorrq_u8(in_signed(v, -127, -97), in_signed(v, -32, -4));
        not_trail[i] =
            vorrq_u8(vorrq_u8(in_signed(v, 0, 0x3F), top), vceqq_u8(v, vdupq_n_u8(0x7F)));
        not_single[i] =
            vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x80)), vceqq_u8(v, vdupq_n_u8(0xA0))), top);
        nul[i] = vceqq_u8(v, vdupq_n_u8(0x00));
    }
    shift_jis_classes k;
    k.lead = neon_bits(lead[0], lead[1], lead[2], lead[3]);
    k.not_trail = neon_bits(not_trail[0], not_trail[1], not_trail[2], not_trail[3]);
    k.not_single = neon_bits(not_single[0], not_single[1], not_single[2], not_single[3]);
    k.nul = neon_bits(nul[0], nul[1], nul[2], nul[3]);
    return k;
}
#else
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
#endif

#if TABFLIP_SSE2
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
#elif TABFLIP_NEON
static inline euc_jp_classes classify_euc_jp_block(const unsigned char *p)
{
    uint8x16_t v[4];
    uint8x16_t pair[4];
    uint8x16_t ss2[4];
    uint8x16_t ss3[4];
    uint8x16_t kana[4];
    uint8x16_t nul[4];
    for (std::size_t i = 0; i < 4; ++i) {
        v[i] = vld1q_u8(p + 16 * i);
        pair[i] = in_signed(v[i], -95, -2);
        ss2[i] = vceqq_u8(v[i], vdupq_n_u8(0x8E));
        ss3[i] = vceqq_u8(v[i], vdupq_n_u8(0x8F));
        kana[i] = in_signed(v[i], -95, -33);
        nul[i] = vceqq_u8(v[i], vdupq_n_u8(0x00));
    }
    euc_jp_classes k;
    k.pair = neon_bits(pair[0], pair[1], pair[2], pair[3]);
    k.ss2 = neon_bits(ss2[0], ss2[1], ss2[2], ss2[3]);
    k.ss3 = neon_bits(ss3[0], ss3[1], ss3[2], ss3[3]);
    k.not_kana = ~neon_bits(kana[0], kana[1], kana[2], kana[3]);
    k.nul = neon_bits(nul[0], nul[1], nul[2], nul[3]);
    k.not_single = high_mask(v[0], v[1], v[2], v[3]) & ~(k.pair | k.ss2 | k.ss3);
    return k;
}
#else
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
#endif

#if TABFLIP_SSE2
// The Shift_JIS and EUC-JP classes with 32-byte vectors: EUC-JP's by the
// same comparisons in half the steps, Shift_JIS's, which the look reads to
// the end of most Shift_JIS text, by two lookups.
TABFLIP_WIDE static inline __m256i in_signed_wide(__m256i v, int low, int high)
{
    return _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(static_cast<char>(low - 1))),
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
constexpr unsigned char sjis_by_high[16] = {
    0x88, 0x08, 0x08, 0x08, 0, 0, 0, 0x10, 0x41, 0x02, 0x40, 0, 0, 0, 0x02, 0x24};
constexpr unsigned char sjis_by_low[16] = {
    0xCE, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x2B, 0x2B, 0x3B};
// clang-format on

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
#endif

// In a run of bytes that may lead a pair, after a byte that may not, the
// run's first byte leads and bytes alternate from there: the byte after an
// odd-length run trails its last. Subtracting the runs' first bits from the
// odd positions' mask borrows through each run that starts at an odd
// position, so that every run reads as if it started at an even one; the
// xors then leave each run's trail bytes and the bytes after odd-length
// runs. Returns the block's trail bytes; trail (bit 0: the block's first
// byte trails) is carried on.
static std::uint64_t trail_bytes(std::uint64_t may_lead, std::uint64_t *trail)
{
    constexpr std::uint64_t odd = 0xAAAAAAAAAAAAAAAAull;
    std::uint64_t starts = may_lead & ~*trail;
    std::uint64_t code = ((starts << 1 | odd) - starts) ^ odd;
    std::uint64_t trails = code ^ (may_lead | *trail);
    *trail = (code & may_lead) >> 63;
    return trails;
}

// The errors up to the block's first NUL, which is checked too.
static std::uint64_t up_to_nul(std::uint64_t errors, std::uint64_t nul)
{
    std::uint64_t first_nul = nul & (0 - nul);
    return errors & (first_nul | (first_nul - 1));
}

// Shift_JIS: bytes 00..7F and A1..DF alone, or a lead 81..9F or E0..FC and
// a trail 40..7E or 80..FC.
static inline bool shift_jis_fails(pair_check *check, const shift_jis_classes &k)
{
    std::uint64_t trails = trail_bytes(k.lead, &check->trail);
    return up_to_nul((trails & k.not_trail) | (~trails & k.not_single), k.nul) != 0;
}

// EUC-JP: bytes 00..7F alone, or a pair of A1..FE, or 8E and A1..DF, or 8F
// and a pair. 8E leads as a pair's first byte does; 8F leads nothing and
// must stand before a pair's first byte.
static inline bool euc_jp_fails(pair_check *check, const euc_jp_classes &k)
{
    std::uint64_t after_ss2 = k.ss2 << 1 | check->after_ss2;
    std::uint64_t after_ss3 = k.ss3 << 1 | check->after_ss3;
    check->after_ss2 = k.ss2 >> 63;
    check->after_ss3 = k.ss3 >> 63;
    std::uint64_t trails = trail_bytes(k.pair | k.ss2, &check->trail);
    std::uint64_t errors = (trails & ~k.pair) | (~trails & k.not_single) |
                           (after_ss2 & k.not_kana) | (after_ss3 & ~k.pair);
    return up_to_nul(errors, k.nul) != 0;
}

static bool pairs_wanted(const second_look &look)
{
    return !(look.euc_jp.ruled_out && look.shift_jis.ruled_out) && !look.pairs_ended;
}

// The blocks' classes come from classify_euc and classify_shift_jis: the
// baseline's or those of the wide vectors. Unlike the UTF-8 check, these
// checks pass over no block of ASCII: they run long only on Japanese text,
// whose blocks are seldom ASCII, and testing for it cost more than it saved.
template <typename euc_classifier, typename shift_jis_classifier>
static inline void check_pairs_by(second_look *look, const unsigned char *p, std::size_t count,
                                  euc_classifier classify_euc,
                                  shift_jis_classifier classify_shift_jis)
{
    for (; count > 0 && pairs_wanted(*look); --count, p += scan_block) {
        std::uint64_t nul = 0;
        if (!look->euc_jp.ruled_out) {
            euc_jp_classes k = classify_euc(p);
            look->euc_jp.ruled_out = euc_jp_fails(&look->euc_jp, k);
            nul = k.nul;
        }
        if (!look->shift_jis.ruled_out) {
            shift_jis_classes k = classify_shift_jis(p);
            look->shift_jis.ruled_out = shift_jis_fails(&look->shift_jis, k);
            nul = k.nul;
        }
        look->pairs_ended = nul != 0;
    }
}

#if TABFLIP_SSE2
// Flattened, so that the wide classes are made inline, in the loop.
TABFLIP_WIDE __attribute__((flatten)) static void
check_pairs_wide(second_look *look, const unsigned char *p, std::size_t count)
{
    check_pairs_by(look, p, count, classify_euc_jp_wide, classify_shift_jis_wide);
}
#endif

static void check_pair_blocks(second_look *look, const unsigned char *p, std::size_t count)
{
#if TABFLIP_SSE2
    if (wide_vectors()) {
        check_pairs_wide(look, p, count);
        return;
    }
#endif
    check_pairs_by(look, p, count, classify_euc_jp_block, classify_shift_jis_block);
}

// Nothing the rest of the text holds can change the answer.
static bool look_done(const second_look &look)
{
    if (look.pairs && look.euc_jp.ruled_out && look.shift_jis.ruled_out)
        return true;
    return (look.utf8.failed || look.utf8.ended) && !pairs_wanted(look);
}

second_look start_second_look(charset_id first)
{
    second_look look;
    look.pairs = first == charset_three_byte_utf8;
    look.euc_jp.ruled_out = !look.pairs;
    look.shift_jis.ruled_out = !look.pairs;
    return look;
}

// After a three-byte UTF-8 first match the UTF-8 check matters only while
// EUC-JP or Shift_JIS may still be found: well-formed UTF-8 text fails both
// within a few characters, and its check ends there.
void look_at_blocks(second_look *look, const unsigned char *blocks, std::size_t count)
{
    if (look->pairs) {
        check_pair_blocks(look, blocks, count);
        if (look->euc_jp.ruled_out && look->shift_jis.ruled_out)
            return;
    }
    check_utf8_blocks(&look->utf8, blocks, count);
}

text_forms forms_seen(const second_look &look)
{
    text_forms forms;
    forms.utf8 = !look.utf8.failed;
    forms.euc_jp = !look.euc_jp.ruled_out;
    forms.shift_jis = !look.shift_jis.ruled_out;
    return forms;
}

bool needs_second_look(charset_id first)
{
    return first == charset_shift_jis || first == charset_euc_jp ||
           first == charset_three_byte_utf8;
}

// A two-byte or four-byte UTF-8 character first looks like a Shift_JIS or
// EUC-JP pair, and a Shift_JIS or EUC-JP kanji like a three-byte UTF-8
// character. Text in either with kana is never well-formed UTF-8; Shift_JIS
// text with kana is never well-formed EUC-JP, while EUC-JP text often is
// well-formed Shift_JIS, so EUC-JP is asked first.
charset_id charset_after_look(charset_id first, text_forms forms)
{
    if (!needs_second_look(first))
        return first;
    if (forms.utf8)
        return charset_utf8;
    if (first != charset_three_byte_utf8)
        return first;
    return forms.euc_jp ? charset_euc_jp : forms.shift_jis ? charset_shift_jis : charset_utf8;
}

charset_id detect_charset(const unsigned char *buffer)
{
    charset_id first = first_match_charset(buffer);
    if (!needs_second_look(first))
        return first;
    second_look look = start_second_look(first);
    for (const unsigned char *p = buffer; !look_done(look); p += utf8_check_stretch * scan_block)
        look_at_blocks(&look, p, utf8_check_stretch);
    return charset_after_look(first, forms_seen(look));
}
