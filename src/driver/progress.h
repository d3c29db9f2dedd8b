// Progress line: for a file that takes long enough for a user to wonder, one
// line on stderr, redrawn in place, that names the file and tells how far the
// result has come (a share of the result's bytes, when they are known in
// advance; else only the bytes written), how fast, and how long is left.
//
// Only when stderr is a terminal, and only once a file has taken more than
// about a second; redrawn at most ten times a second, within the terminal's
// width (less its last column, so that it never wraps), the name cut to its
// last whole characters. progress_end erases a line that was drawn, so the
// file's messages that follow start on a clean line; scripts (stderr not a
// terminal) see nothing of it. One file at a time; the state is
// process-wide.
#ifndef TABFLIP_PROGRESS_H
#define TABFLIP_PROGRESS_H

#include <cstddef>
#include <cstdint>

// name must stay valid until progress_end. total: the result's bytes, 0
// when they are not known. Without draw (the result goes to the same
// terminal) nothing is drawn.
void progress_begin(const char *name, std::uint64_t total, bool draw);

// Whether a line could be drawn at all: stderr is a terminal.
bool progress_possible();

// bytes more of the result have been written. Cheap enough to call per
// block, from two threads at once.
void progress_advance(std::uint64_t bytes);

void progress_end();

// The text of the line (without the leading CR) into line[0, size): the name,
// percent done, bytes, rate and time left, seconds being the time taken so
// far; for a total of 0, the bytes written and the rate. Returns its length.
std::size_t format_progress(char *line, std::size_t size, const char *name, std::uint64_t done,
                            std::uint64_t total, double seconds);

// The end of name that fits in columns of a terminal, into shown[0, size):
// whole characters (UTF-8, two columns for East Asian wide ones; a name
// that is not UTF-8 a byte a column) behind "..." when it was cut. Sets
// *shown_columns; returns its length in bytes.
std::size_t fit_name(char *shown, std::size_t size, const char *name, std::size_t columns,
                     std::size_t *shown_columns);

#endif
