#include "table/charset.h"

#include "table/byte_blocks.h"

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

int detect_charset(const unsigned char *buffer)
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
