// Character-set guess: names which of four Japanese-capable character sets a
// file's raw bytes look like, for the HTML page's meta declaration only.
//
// detect_charset reads the input's bytes up to their first NUL. It reads in
// blocks of up to 64 bytes, so it may read up to 63 bytes past that NUL; the
// input_padding zero bytes after the data (input_file.h) cover that. It
// writes nothing, allocates nothing and cannot fail; nor can the two steps
// it is made of.
#ifndef TABFLIP_CHARSET_H
#define TABFLIP_CHARSET_H

enum charset_id : int {
    charset_none = 0, // no guess was made
    charset_iso_2022_jp = 1,
    charset_shift_jis = 2,
    charset_euc_jp = 3,
    charset_utf8 = 4,  // also the answer when nothing was recognised
    charset_utf16 = 5, // never guessed: UTF-16 text is known by its mark
    // A first match only: a three-byte UTF-8 character decided it, which the
    // second look may overrule.
    charset_three_byte_utf8 = 6,
};

#include "table/utf8_check.h"

#include <cstddef>
#include <cstdint>

// The first position at which one byte pattern matches decides, but a
// second look at the whole text up to its first NUL, a block at a time, may
// overrule it: text that is well-formed UTF-8 is never named Shift_JIS or
// EUC-JP; and text whose first match is a three-byte UTF-8 character but
// that is not well-formed UTF-8 is named EUC-JP when it is well-formed
// EUC-JP, else Shift_JIS when it is well-formed Shift_JIS.
charset_id detect_charset(const unsigned char *buffer);

// The guess in two steps, for a caller that reads the whole text anyway (the
// loader): the first match (1..4, or charset_three_byte_utf8), then, when it
// asks for the second look, the text's 64-byte blocks in order through
// look_at_blocks, and the answer from what the look found. The first match
// may stop short, with charset_none, once it has passed reach bytes that
// decide nothing (it may pass up to 15 more).
charset_id first_match_charset(const unsigned char *buffer, std::size_t reach = SIZE_MAX);
bool needs_second_look(charset_id first);

// The EUC-JP or Shift_JIS check between two 64-byte blocks: whether the
// next block's first byte trails a lead byte, or follows EUC-JP's 8E or 8F.
// Ruled out: the text is not well-formed in that set, or was not asked.
struct pair_check {
    std::uint64_t trail = 0;
    std::uint64_t after_ss2 = 0;
    std::uint64_t after_ss3 = 0;
    bool ruled_out = true;
};

// The second look, after the first match: the UTF-8 check, and after
// a three-byte UTF-8 character the EUC-JP and Shift_JIS checks too, which
// make the UTF-8 check moot once both have failed. It stops as soon as
// nothing more can change the answer.
struct second_look {
    bool pairs = false; // the EUC-JP and Shift_JIS checks were asked
    utf8_check utf8;
    pair_check euc_jp;
    pair_check shift_jis;
    bool pairs_ended = false; // they have read the text's first NUL
};

second_look start_second_look(charset_id first);

// Reads the count 64-byte blocks at blocks, the text's next, with padding
// after them as for check_utf8_blocks; up to utf8_check_stretch at a time.
void look_at_blocks(second_look *look, const unsigned char *blocks, std::size_t count);

// Which forms the text read by a look may still have.
struct text_forms {
    bool utf8 = false;
    bool euc_jp = false;
    bool shift_jis = false;
};
text_forms forms_seen(const second_look &look);

// The answer, 1..4, for a first match and the forms its look found.
charset_id charset_after_look(charset_id first, text_forms forms);

#endif
