// Result files: a result is written beside its name and renamed over it once
// whole, so that the name holds either the earlier file or the new one, never
// a part of either.
//
// open_result decides by what the name leads to. Nothing, or a regular file
// (directly or through a symbolic link): a new temporary file, created
// exclusively in the name's directory, with the permission bits (and, for
// root, the owner) of the file it replaces, or 0666 less the umask. A
// symbolic link at the name is thus replaced and its target never written; a
// hard-linked result gets a new inode. A regular file the user may not write
// is refused. Anything else (a device, a FIFO, a directory) is opened in
// place and emptied, and so is a writable regular file when no temporary
// file can be made beside it. Nothing is synced to disk.
//
// The caller writes to fd, may close it itself (then sets fd to -1), and
// ends with exactly one of commit_result or abandon_result. Nothing here
// prints: the caller reports open_result's false as an open error and
// commit_result's false as a write error. path is the caller's and must
// outlive the result_file; temp_path is owned here.
//
// Interruption: install_signal_cleanup makes SIGINT, SIGTERM and SIGHUP
// (unless ignored when the process started) unlink every held path and end
// the process by the same signal, and ignores SIGXFSZ so that a write past
// the file-size limit fails with EFBIG instead. A result's temporary file (or
// a regular result written in place) is held from its creation to its
// commit or abandonment. The handler only unlinks and re-raises.
#ifndef TABFLIP_RESULT_FILE_H
#define TABFLIP_RESULT_FILE_H

#include <cstdint>

struct result_file {
    int fd = -1;                // open for writing; -1 once closed
    const char *path = nullptr; // the result name
    char *temp_path = nullptr;  // calloc'd; null when written in place
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

// Closes fd if still open and removes what was written: the temporary file,
// or, written in place, the name itself.
void abandon_result(result_file *result);

// A new empty file for a result's spill, read and written through the
// descriptor: in TMPDIR when it is set, else in the directory of beside. It
// has no name by the time it is returned, so that nothing is left of it
// however the process ends; closing the descriptor frees it. -1 when none
// can be made.
int open_spill(const char *beside);
void close_spill(int fd); // nothing for -1

// Physical memory available now, in bytes (free plus reclaimable cache).
std::uint64_t available_memory();

// The most private memory the process may map, from its address-space and
// data limits; UINT64_MAX when unlimited.
std::uint64_t memory_limit();

bool stderr_is_terminal();

#endif
