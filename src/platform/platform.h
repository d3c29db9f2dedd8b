// Platform: everything that differs between POSIX and Windows, behind one
// contract; posix.cpp and windows.cpp implement it, chosen by the build. The
// rest of the code calls these and carries no #ifdef.
//
// Files are plain descriptors. Names are bytes as typed: on Windows the
// manifest's UTF-8 code page makes the narrow calls take them as UTF-8.
// Nothing here prints; the callers report failures.
//
// Result files: a result is written beside its name and renamed over it once
// whole, so that the name holds either the earlier file or the new one, never
// a part of either.
//
// open_result decides by what the name leads to. Nothing, or a regular file
// (directly or through a symbolic link): a new temporary file, created
// exclusively in the name's directory (on Linux, for a result of more than
// one write, without a name until commit_result), with the permission bits (and, for
// root, the owner) of the file it replaces, or 0666 less the umask. A
// symbolic link at the name is thus replaced and its target never written; a
// hard-linked result gets a new inode. A regular file is never written in
// place: when no temporary file can be made beside it (a folder the user may
// not write, no free inodes), the result cannot be opened. So is whatever
// else the rename would refuse after the write: a name or path too long, a
// missing folder, a folder at the name, a regular file the user may not
// write, another user's file in a sticky folder the user does not own. A
// device or a FIFO is opened in place and emptied, and never removed. Nothing
// is synced to disk.
//
// The caller writes to fd, leaves it open (a nameless temporary file is
// named through it), and ends with exactly one of commit_result or
// abandon_result. Nothing here
// prints: the caller reports open_result's false as an open error and
// commit_result's false as a write error. path is the caller's and must
// outlive the result_file; temp_path is owned here.
//
// Interruption: install_signal_cleanup watches for lost reads (run_watched)
// and makes every catchable signal whose default ends the process (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
// SIGXCPU), unless ignored when the process started, unlink every held path
// and end the process by the same signal; it ignores SIGXFSZ and SIGPIPE so
// that a write past the file-size limit or to a pipe without a reader fails
// (EFBIG, EPIPE) instead. A named temporary file is held from its creation
// (or, nameless, from its link) to its commit or abandonment. The handler
// only unlinks and re-raises.
//
// On Windows the same holds with that platform's terms: a result marked
// read-only is refused, a device (NUL, CON) is written in place, the rename
// replaces the name (MoveFileEx), and Ctrl-C, Ctrl-Break and closing the
// console remove the held paths before the process ends as it would have.
#ifndef TABFLIP_PLATFORM_H
#define TABFLIP_PLATFORM_H

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

// What went wrong with a file or a result: the lower layers return it, with
// the system's error number where one was set (else 0), and print nothing;
// the driver prints the one message it calls for.
enum class failure : unsigned char {
    none,
    open,         // the input or the result could not be opened
    stat,         // the input's status could not be had
    read,         // the input could not be read whole, or is empty
    memory,       // a buffer for the input or a name
    array_memory, // a row table or another of the run's arrays
    write,        // the result could not be written whole
};
struct failure_report {
    failure what = failure::none;
    int error = 0;
};

// Input. open_input opens for reading without waiting, so that a FIFO
// without a writer or a terminal answers at once; -1 when it cannot be
// opened. input_status is false when the open file's status cannot be had;
// it makes later reads of a special file wait for their bytes again.
int open_input(const char *name);
bool input_status(int fd, std::uint64_t *size, bool *regular);
// Reads exactly length bytes; false on an error or an early end.
bool read_exactly(int fd, unsigned char *into, std::size_t length);
bool close_file(int fd);

// Maps length bytes of a regular file read-only at the start of a region
// in which at least padding zero bytes follow them, so that a block read
// past the data stays inside. Null, holding nothing, when refused; then the
// caller reads the file instead. unmap_file releases the whole region.
struct file_mapping {
    void *region = nullptr;
    std::size_t size = 0;
};
const unsigned char *map_file(int fd, std::size_t length, std::size_t padding,
                              file_mapping *mapping);
void unmap_file(file_mapping *mapping);

// A mapped input can shrink, or its storage fail, while it is read: a read
// of a lost page then faults. run_watched runs work(arg) with the region
// [begin, begin + size) watched: such a fault there, on the calling thread
// or on either of run_both's, ends work at once, and false is returned
// (true when work returned). Writes fail from the fault on, so that the
// other thread adds nothing to the result. work must keep what it holds
// where the caller finds it, or on the scratch list below. Both threads
// are done when it returns. Needs install_signal_cleanup; nests with no
// other run_watched.
bool run_watched(void (*work)(void *), void *arg, const void *begin, std::size_t size);

// The scratch list: memory, spill files and their mappings that the loader
// and the writers hold, listed per block or file (never per cell), so that
// a watched run cut short leaves nothing behind: release_scratch then frees,
// closes and unmaps everything still listed, once both threads are done,
// and the caller forgets its own pointers into it. The process converts one
// file at a time, so what is listed then is that file's. Safe from both
// threads of a run. scratch_malloc, scratch_calloc and scratch_realloc act
// as their C namesakes (refused, null, the block unchanged); scratch_free
// and release_pages take only their blocks. A spill and its mapping are
// held by their maker and let go by close_scratch_file and unmap_scratch;
// hold_scratch_file and hold_scratch_mapping are false, holding nothing,
// when their few slots are taken.
void *scratch_malloc(std::size_t size);
void *scratch_calloc(std::size_t count, std::size_t size);
void *scratch_realloc(void *block, std::size_t size);
void scratch_free(void *block);
bool hold_scratch_file(int fd);
bool close_scratch_file(int fd);
bool hold_scratch_mapping(const file_mapping &mapping);
void unmap_scratch(file_mapping *mapping);
void release_scratch();

// Output: every byte of bytes[0, size), at the descriptor's cursor or at an
// offset (a caller that once writes at offsets writes every later byte so
// too: on Windows such a write moves the cursor). False on the first failed
// write.
constexpr int standard_output = 1;
bool write_exactly(int fd, const char *bytes, std::size_t size);
bool write_exactly_at(int fd, const char *bytes, std::size_t size, std::uint64_t offset);
// size bytes of the file from, from offset on, at to's cursor, copied inside
// the system where it can (Linux): sent, all of them; unsent, nothing, where
// the system cannot send between these two (the caller then reads and
// writes them); failed, as write_exactly fails, errno set.
enum class send_result { sent, unsent, failed };
send_result send_exactly(int to, int from, std::uint64_t offset, std::size_t size);
// Where the next byte written to fd goes, when fd is a regular file that may
// be written at offsets (not one opened for appending, where every write
// lands at the end); false otherwise. set_cursor moves that place.
bool output_cursor(int fd, std::uint64_t *offset);
bool set_cursor(int fd, std::uint64_t offset);
// Tells the system that fd is read in pieces from many places, each read
// asked for whole: no read-ahead of its own (a hint, which may do nothing).
void advise_scattered_reads(int fd);
// The system's memory page: 4 KiB on most, 16 or 64 KiB on some ARM systems.
std::size_t page_size();
// Page-aligned blocks for positioned writes, on the scratch list; null when
// none can be had.
void *allocate_pages(std::size_t size);
void release_pages(void *block);
// Page-aligned blocks kept beyond any one file (never on the scratch list):
// their owner releases them with release_lasting_pages. Null when none can
// be had.
void *allocate_lasting_pages(std::size_t size);
void release_lasting_pages(void *pages);
struct lasting_pages_release {
    void operator()(void *pages) const
    {
        release_lasting_pages(pages);
    }
};
// Backs the pages of [begin, begin + size) with memory at once, which costs
// less than a fault for each page as they are first written. Only a hint:
// it may do nothing.
void prepare_pages(void *begin, std::size_t size);
// Asks for the whole pages inside [begin, begin + size) to be backed by the
// system's large pages where it gives them on request, so that a block
// written through once takes a fault for every 2 MiB rather than every
// page. Only a hint: it may do nothing.
void advise_large_pages(void *begin, std::size_t size);
// Maps the pages of [begin, begin + size), read-only memory such as a
// mapped file, at once, reading what is not yet in memory: a few calls
// cost less than a fault for every few pages as a scan first reads them.
// Only a hint: it may do nothing.
void prepare_reading(const void *begin, std::size_t size);
// Standard output and standard error take result bytes and messages as they
// are, without line-end translation.
void set_binary_output();

#include <cstdint>

struct result_file {
    int fd = -1;                // open for writing; -1 once closed
    const char *path = nullptr; // the result name
    char *temp_path = nullptr;  // calloc'd; null when written in place
    bool nameless = false;      // the temporary file has no name yet: temp_path is unused
    // Set by the caller before open_result: about how many bytes it will
    // write. A result that goes out in one write is named from the start.
    std::uint64_t expected_size = UINT64_MAX;
    bool regular = false; // a regular file, which may be written at offsets
};

void install_signal_cleanup();

// Holds a path (not copied: it must stay valid until released) for unlinking
// on a fatal signal; false when the few slots are taken.
bool hold_cleanup_path(const char *path);
void release_cleanup_path(const char *path);

// False, with nothing created or held, when the result cannot be opened.
bool open_result(const char *path, result_file *result);

// Closes fd if still open and renames the temporary file over the name. On
// false (close or rename failed) the result has been abandoned.
bool commit_result(result_file *result);

// Closes fd if still open and removes the temporary file; a device or FIFO
// written in place stays.
void abandon_result(result_file *result);

// A new empty file for a result's spill, read and written through the
// descriptor, in place 0 or 1 of spill_places: the temporary folder (TMPDIR
// when it is set, else the system's), then the folder of beside. It has no
// name by the time it is returned, so that nothing is left of it however
// the process ends; close_file frees it. -1 when none can be made there.
constexpr int spill_places = 2;
int open_spill(const char *beside, int place);

// Physical memory available now, in bytes (free plus reclaimable cache),
// or less where the process's memory cgroup or job object leaves less.
std::uint64_t available_memory();

// What the process's address-space and data limits leave it now, beside
// everything it has mapped so far (the limit itself when that cannot be
// read); UINT64_MAX when neither is set.
std::uint64_t memory_room();

bool stderr_is_terminal();
// Whether standard output is the very terminal standard error is (the same
// device; on Windows, both the console): text drawn on one shows in the other.
bool stdout_shares_stderr_terminal();
// The width of the terminal at standard error, in columns; 0 when unknown.
unsigned terminal_columns();

// Runs work(second) on a new thread while the calling thread runs
// work(first), and returns once both are done: in turn, on the calling
// thread, when no thread can be started or without threads (a run whose
// limits leave no room for the thread's stack beside its budget). Nothing
// is shared but what the two arguments point to. The thread's stack,
// thread_stack_bytes of address space, may stay mapped for the next thread.
constexpr std::size_t thread_stack_bytes = std::size_t{1} << 20;
void run_both(void (*work)(void *), void *first, void *second, bool threads);

// Test seam: a test points platform_faults at a plan to make the Nth of the
// chosen calls fail as the system would fail it (allocations, writes in
// sequence and at offsets, mappings, file creations), or to act at each of
// them (a signal that comes while a file is being created; hold counts the
// holding of a new result's path, just after its creation). The tool never
// sets it: null, each call's entry costs one load and compare. The test
// build counts the C allocation functions as well (tests/fault_plan.cpp).
enum class platform_call : unsigned { allocate, write, write_at, map, create, hold };
struct fault_plan {
    unsigned calls = 0;        // bit 1 << platform_call for each kind counted
    std::uint64_t fail_at = 0; // the counted call that fails, from 1; 0: none
    std::atomic<std::uint64_t> counted{0};
    int error = EIO;                          // the system error a failed call leaves
    void (*at_call)(platform_call) = nullptr; // called at each counted call
};
extern fault_plan *platform_faults;
bool injected_fault(platform_call call);
static inline bool fault_now(platform_call call)
{
    return platform_faults != nullptr && injected_fault(call);
}

#endif
