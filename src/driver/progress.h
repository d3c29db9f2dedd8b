// Progress line: for a file that takes long enough for a user to wonder, one
// line on stderr, redrawn in place, that names the file and tells how far the
// result has come (a share of the result's bytes, when they are known in
// advance; else a share of the table's bytes taken into it, "of input"), how
// much has been written, how fast, and how long is left.
//
// Only when stderr is a terminal, and only once a file has taken more than
// about a second; redrawn at most ten times a second, within the terminal's
// width (less its last column, so that it never wraps), the name cut to its
// last whole characters. progress_end erases a line that was drawn, so the
// file's messages that follow start on a clean line; scripts (stderr not a
// terminal) see nothing of it. The state is the caller's, one for a file's
// run, which passes it to the writers as their progress sink's context.
#ifndef TABFLIP_PROGRESS_H
#define TABFLIP_PROGRESS_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

using progress_clock = std::chrono::steady_clock;

struct progress_state {
    bool enabled = false; // stderr is a terminal, and the result goes elsewhere
    const char *name = nullptr;
    std::uint64_t total = 0; // the result's bytes; 0 when not known
    std::uint64_t input = 0; // the table's bytes
    // Two threads may write a result's parts at once: the counts are shared,
    // and one of them at a time draws.
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> consumed{0};
    std::atomic_flag drawing = ATOMIC_FLAG_INIT;
    progress_clock::time_point start;
    progress_clock::time_point drawn; // when the line was last drawn
    std::size_t shown = 0;            // columns of the line on screen; 0 for none
};

// name must stay valid until progress_end. total: the result's bytes, 0
// when they are not known; input: the table's, of which the share is told
// then. Without draw (the result goes to the same terminal) nothing is drawn.
void progress_begin(progress_state *progress, const char *name, std::uint64_t total,
                    std::uint64_t input, bool draw);

// Whether a line could be drawn at all: stderr is a terminal.
bool progress_possible();

// bytes more of the result have been written. Cheap enough to call per
// block, from two threads at once.
void progress_advance(progress_state *progress, std::uint64_t bytes);
// bytes more of the table have been taken into the result; as cheap.
void progress_consume(progress_state *progress, std::uint64_t bytes);

// Erases a line that was drawn; nothing is drawn after it.
void progress_end(progress_state *progress);

// Where a result stands, seconds after it began.
struct progress_figures {
    std::uint64_t done = 0;     // result bytes written
    std::uint64_t total = 0;    // the result's bytes; 0 when not known
    std::uint64_t consumed = 0; // table bytes taken into the result
    std::uint64_t input = 0;    // the table's bytes
    double seconds = 0;
};

// The text of the line (without the leading CR) into line[0, size): the name,
// percent done, bytes, rate and time left; for a total of 0 the percent is of
// the input, and says so, beside the bytes written; with neither, the bytes
// written and the rate. Returns its length.
std::size_t format_progress(char *line, std::size_t size, const char *name,
                            const progress_figures &at);

// The end of name that fits in columns of a terminal, into shown[0, size):
// whole characters (UTF-8, two columns for East Asian wide ones; a name
// that is not UTF-8 a byte a column) behind "..." when it was cut. Sets
// *shown_columns; returns its length in bytes.
std::size_t fit_name(char *shown, std::size_t size, const char *name, std::size_t columns,
                     std::size_t *shown_columns);

#endif
