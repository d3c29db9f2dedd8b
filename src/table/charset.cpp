#include "table/charset.h"

#include "table/byte_blocks.h"

#include <cstdint>

int current_charset_code = charset_utf8;

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

int first_match_charset(const unsigned char *buffer)
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
                return charset_utf8;
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

void check_utf8_block(utf8_check *check, const unsigned char *block)
{
    // Stretches of ASCII between characters are passed over a block at a time.
    if (check->failed || check->ended || (check->carry.owed == 0 && ascii_block64(block)))
        return;
    bool ends = false;
    check->failed = utf8_errors(block, &check->carry, &ends) != 0;
    check->ended = ends;
}

bool well_formed_utf8(const unsigned char *text)
{
    utf8_check check;
    for (; !check.failed && !check.ended; text += scan_block)
        check_utf8_block(&check, text);
    return !check.failed;
}

bool needs_second_look(int code)
{
    return code == charset_shift_jis || code == charset_euc_jp;
}

// A two-byte or four-byte UTF-8 character first looks like a Shift_JIS or
// EUC-JP pair, so those two answers are checked against the whole text. Text
// in either with kana is never well-formed UTF-8 and keeps its answer.
int detect_charset(const unsigned char *buffer)
{
    int code = first_match_charset(buffer);
    return needs_second_look(code) && well_formed_utf8(buffer) ? charset_utf8 : code;
}
