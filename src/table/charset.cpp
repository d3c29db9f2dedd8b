#include "table/charset.h"

#include "table/byte_blocks.h"

#include <bit>
#include <cstdint>
#include <cstring>

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

charset_id first_match_charset(const unsigned char *buffer)
{
    // Always step one byte: the byte after a failed lead byte is tried as a
    // lead byte of its own. Plain ASCII without ESC decides nothing and is
    // passed over a block at a time, since most files are mostly that.
    for (const unsigned char *p = buffer;; ++p) {
        while (plain_ascii_block(p))
            p += copy_block;
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

#if defined(__SSE2__) && !defined(TABFLIP_SCALAR)

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

TABFLIP_WIDE static inline __m256i lookup(const unsigned char (&table)[16], __m256i nibbles)
{
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table));
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(t), nibbles);
}

// The bytes n places before those of v, previous being the vector before v.
template <int n> TABFLIP_WIDE static inline __m256i before(__m256i v, __m256i previous)
{
    return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(previous, v, 0x21), 16 - n);
}

TABFLIP_WIDE static inline __m256i wide_errors(__m256i v, __m256i previous)
{
    __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i prev1 = before<1>(v, previous);
    __m256i pairs =
        _mm256_and_si256(lookup(first_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
                         lookup(first_low, _mm256_and_si256(prev1, nibble)));
    pairs = _mm256_and_si256(
        pairs, lookup(second_high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
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
#if defined(__SSE2__) && !defined(TABFLIP_SCALAR)
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

#if defined(__SSE2__) && !defined(TABFLIP_SCALAR)
// Flattened, so that the wide classes are made inline, in the loop.
TABFLIP_WIDE __attribute__((flatten)) static void
check_pairs_wide(second_look *look, const unsigned char *p, std::size_t count)
{
    check_pairs_by(look, p, count, classify_euc_jp_wide, classify_shift_jis_wide);
}
#endif

static void check_pair_blocks(second_look *look, const unsigned char *p, std::size_t count)
{
#if defined(__SSE2__) && !defined(TABFLIP_SCALAR)
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
    return first == charset_shift_jis || first == charset_euc_jp || first == charset_three_byte_utf8;
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
