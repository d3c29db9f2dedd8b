// Character-set guess: names which of four Japanese-capable character sets a
// file's raw bytes look like, for the HTML page's meta declaration only.
//
// detect_charset reads the input's bytes up to their first NUL. It passes
// over plain ASCII a 16-byte block at a time, so it may read up to 16 bytes
// past any position it reaches; the input_padding zero bytes after the data
// (input_file.h) cover that. It writes nothing, allocates nothing and cannot
// fail.
#ifndef TABFLIP_CHARSET_H
#define TABFLIP_CHARSET_H

constexpr int charset_iso_2022_jp = 1;
constexpr int charset_shift_jis = 2;
constexpr int charset_euc_jp = 3;
constexpr int charset_utf8 = 4; // also the answer when nothing was recognised

// The first position at which one byte pattern matches decides.
int detect_charset(const unsigned char *buffer);

// The current file's guess: set by the driver before each writer call, read
// by the HTML page writer.
extern int current_charset_code;

#endif
