// Output blocks: every byte of a result is gathered in a bounded block and
// handed to write(2) or pwrite(2) a block at a time, never in one call much
// larger than a block.
//
// A block writes either in sequence at the destination's cursor (every such
// byte passes through write_sequential, or send_direct from a spill file)
// or, for a regular file, at its own offset. Every write of a result's bytes
// is told to its progress sink. It records a failed write and then drops
// what follows; the caller owns the destination descriptor and its closing.
// A block without a descriptor (fd < 0) writes nothing: it only counts, in
// offset, the bytes it was given, or it is a region of a larger buffer that
// is never flushed.
#ifndef TABFLIP_OUTPUT_BLOCK_H
#define TABFLIP_OUTPUT_BLOCK_H

#include "platform/platform.h"
#include "table/cell_grid.h"
#include "table/charset.h"
#include "table/utf16.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

// Where a result goes: fd, and whether it may be written at offsets (a
// regular file just created empty, or standard output redirected to a
// regular file not opened for appending). A UTF-16 result's bytes are
// written in the internal form of utf16.h and leave as units through
// encoder, the caller's, which holds the state of a unit cut between two
// blocks; its offsets count the units' bytes, its origin is after the mark.
//
// budget bounds the private memory a writer takes, and the part of the input
// one of its passes reads again and again; a table whose methods would pass
// it is transposed in blocks of rows through a spill file (platform.h's
// open_spill beside spill_beside). room is the address space the limits
// leave the run, the budget included: the spill is mapped whole only where
// it fits in what the budget leaves of it, and read in pieces otherwise.
// Told of every byte of a result written (the driver's progress line); may
// be called by two threads at once. A spill file's target has none. When
// consumed is given, also told of the table's bytes as the result takes them
// in, every byte once (a spilled table's half as it spills, half as its runs
// are taken back), in pieces of about a block; without it the writers do
// not count them.
struct progress_sink {
    void (*written)(void *context, std::uint64_t bytes) = nullptr;
    void (*consumed)(void *context, std::uint64_t bytes) = nullptr;
    void *context = nullptr;
};

// The table's bytes between reports of what was consumed.
constexpr std::size_t consumed_step = std::size_t{1} << 20;

static inline void note_consumed(const progress_sink &sink, std::uint64_t bytes)
{
    if (sink.consumed != nullptr && bytes > 0)
        sink.consumed(sink.context, bytes);
}

struct line_group; // transpose.h

struct group_release {
    void operator()(line_group *group) const
    {
        std::free(group);
    }
};

// The blocks every result is written through, had once by their owner and
// kept over its files, so that a run over many small files does not obtain
// them for each (only the pages a table fills become resident): the main
// block, a UTF-16 result's units, and the groups' staging with the group
// that describes it. One result at a time uses them: the writers are not
// reentrant on one set.
struct writer_blocks {
    std::unique_ptr<char[], lasting_pages_release> main;           // main_size and a page
    std::unique_ptr<unsigned char[], lasting_pages_release> units; // main_size
    std::unique_ptr<char[], lasting_pages_release> staging;        // twice group_bytes
    std::unique_ptr<line_group, group_release> group;
};

struct output_target {
    int fd = 1;
    // The writers' blocks; without them (null) each write has its own.
    writer_blocks *blocks = nullptr;
    bool positioned = false;
    // Positioned, the result starts at origin; with keep_cursor the
    // descriptor's cursor is left after it, as writes in sequence would
    // leave it (standard output, which later results follow).
    std::uint64_t origin = 0;
    bool keep_cursor = false;
    utf16_encoder *encoder = nullptr; // null: the bytes are written as they are
    std::uint64_t budget = UINT64_MAX;
    // Where budget is a share of the run's own (bands taken by choice), that
    // whole budget, of which the spill's line sizes may take an eighth.
    std::uint64_t whole_budget = 0;
    std::uint64_t room = UINT64_MAX;
    const char *spill_beside = "";
    progress_sink progress;
    // A page's: its head names it, and its cells are escaped as text in it.
    charset_id charset = charset_utf8;
    // The least table length written by two threads at once, as the loader
    // splits it (cell_grid.h); also given to the loads of a spill's blocks.
    std::size_t split_from = split_from_bytes;
    bool threads = true; // a helper thread may be started (platform.h's run_both)
};

// Room past flush_at that a writer may fill before it flushes: one 16-byte
// copy block and the longest fixed text a writer puts at once.
constexpr std::size_t output_slack = 512;

struct output_block {
    int fd = 1;
    char *bytes = nullptr; // end bytes
    std::size_t used = 0;
    std::size_t flush_at = 0; // flushed once used passes it
    std::size_t end = 0;      // no byte is written at or past bytes[end]
    bool at_offset = false;   // written with pwrite at offset
    std::uint64_t offset = 0; // where the next flushed byte lands, in the destination's bytes
    bool failed = false;      // a write failed, or a writer ran out of memory
    utf16_encoder *encoder = nullptr; // as in output_target
    // Where the encoder's units go, unit_room_bytes of them (twice what is
    // encoded at once): a block flushed on a thread of its own has its own.
    unsigned char *unit_room = nullptr;
    std::size_t unit_room_bytes = 0;
    int error = 0;                             // the system's error number of the failed write
    bool no_memory = false;                    // failed for want of memory, not by a write
    progress_sink progress = {};               // as in output_target
    std::size_t split_from = split_from_bytes; // as in output_target
    bool threads = true;                       // as in output_target
};

// Records the first failure of out: a write's (its errno) or memory's.
void note_failed_write(output_block *out);
void note_no_memory(output_block *out);
// Takes on what failed in part, a block that wrote a share of out's result.
void take_failure(output_block *out, const output_block &part);

// The main block (a page-aligned 1 MiB) and a UTF-16 result's units' block,
// had where blocks lacks them: false when they cannot be.
bool have_output_blocks(writer_blocks *blocks);
// The main block of a result, through to.blocks, which have_output_blocks
// has filled.
output_block main_output(const output_target &to);

// Hands the gathered bytes to the destination and empties the block.
void flush_output(output_block *out);

// Writes every byte of bytes[0, size) at the destination's cursor; false on
// the first failed write. Every sequentially written byte passes here.
bool write_sequential(int fd, const char *bytes, std::size_t size);

// Writes bytes[0, size), at most about a block, straight to out's
// destination, in sequence or at out's offset, as units when out has an
// encoder; out must hold nothing. Counted in out's offset, as flushed bytes are. A failed write is
// recorded in out.
void write_direct(output_block *out, const char *bytes, std::size_t size);
// Sends size bytes of the file from, from at on, after what out holds, in
// sequence, as write_direct would write them, without passing through
// memory where the system can (send_exactly); false, nothing done, where
// it cannot, or out writes at offsets or as units.
bool send_direct(output_block *out, int from, std::uint64_t at, std::size_t size);

static inline void flush_if_full(output_block *out)
{
    if (out->used > out->flush_at)
        flush_output(out);
}

// Asks for the bytes a few lines past `at` for writing, where a writer
// spreads its stores over many places at once (the lanes, a group's lines):
// past a few such streams the processor's own prefetch follows none, and
// each store into a new line would wait for it. A prefetch never faults, so
// those bytes may lie past the buffer.
constexpr std::size_t store_fetch_ahead = 256;
static inline void fetch_for_store(const char *at)
{
    __builtin_prefetch(at + store_fetch_ahead, 1);
}

// Appends size bytes, flushing as the block fills; leaves used <= flush_at.
void put_bytes(output_block *out, const char *bytes, std::size_t size);

// Copies exactly n bytes in a few fixed-size moves that may overlap, as a
// staged line's last cell must not touch the next line's first.
static inline void copy_exact(char *to, const unsigned char *from, std::size_t n)
{
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            std::memcpy(to + i, from + i, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n > 0) {
        to[0] = static_cast<char>(from[0]);
        to[n / 2] = static_cast<char>(from[n / 2]);
        to[n - 1] = static_cast<char>(from[n - 1]);
    }
}

#endif
