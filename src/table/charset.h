// Character-set guess: names which of four Japanese-capable character sets a
// file's raw bytes look like, for the HTML page's meta declaration only.
//
// detect_charset reads the input's bytes up to their first NUL. It reads in
// blocks of up to 64 bytes, so it may read up to 63 bytes past that NUL; the
// input_padding zero bytes after the data (input_file.h) cover that. It
// writes nothing, allocates nothing and cannot
// fail.
#ifndef TABFLIP_CHARSET_H
#define TABFLIP_CHARSET_H

constexpr int charset_iso_2022_jp = 1;
constexpr int charset_shift_jis = 2;
constexpr int charset_euc_jp = 3;
constexpr int charset_utf8 = 4;  // also the answer when nothing was recognised
constexpr int charset_utf16 = 5; // never guessed: UTF-16 text is known by its mark

// The first position at which one byte pattern matches decides, except that
// text that is well-formed UTF-8 up to its first NUL is never named Shift_JIS
// or EUC-JP: that second look reads the whole text, a block at a time.
int detect_charset(const unsigned char *buffer);

// The current file's guess: set by the driver before each writer call, read
// by the HTML page writer.
extern int current_charset_code;

#endif
