// Progress line: for a file that takes long enough for a user to wonder, one
// line on stderr, redrawn in place, that names the file and tells how far the
// result has come, how fast, and how long is left.
//
// Only when stderr is a terminal, and only once a file has taken more than
// about a second; redrawn at most ten times a second. progress_end erases a
// line that was drawn, so the file's messages that follow start on a clean
// line; scripts (stderr not a terminal) see nothing of it. One file at a
// time; the state is process-wide.
#ifndef TABFLIP_PROGRESS_H
#define TABFLIP_PROGRESS_H

#include <cstddef>
#include <cstdint>

// name must stay valid until progress_end. total: the bytes the file's run
// is expected to write, the result's size as far as it is known.
void progress_begin(const char *name, std::uint64_t total);

// bytes more have been written. Cheap enough to call per block.
void progress_advance(std::uint64_t bytes);

// The run will write bytes more than progress_begin expected (a spill).
void progress_expect(std::uint64_t bytes);

void progress_end();

// The text of the line (without the leading CR) into line[0, size): the name,
// percent done, bytes, rate and time left, seconds being the time taken so
// far. Returns its length.
std::size_t format_progress(char *line, std::size_t size, const char *name, std::uint64_t done,
                            std::uint64_t total, double seconds);

#endif
