// The platform unit's own seam: what posix.cpp and windows.cpp each provide
// to the code they share (shared.cpp), and the held paths that code keeps
// for them. Not for use outside src/platform.
#ifndef TABFLIP_PLATFORM_NATIVE_H
#define TABFLIP_PLATFORM_NATIVE_H

#include "platform/platform.h"

#include <cstddef>

// The held paths, read by the signal or console handler: slot i's path or
// null. Lock-free atomic loads, safe in a handler.
constexpr std::size_t held_path_slots = 4;
const char *held_path(std::size_t slot);

// Renames from over to, replacing what stands there; false when refused.
bool rename_over(const char *from, const char *to);
// Gives a nameless temporary result (result_file's nameless) its temporary
// name, held; false, with the file still nameless, when it cannot.
bool link_nameless(result_file *result);
void remove_name(const char *path);

// Blocks of whole pages, aligned to a page; allocate_pages lists them.
void *allocate_aligned_pages(std::size_t size);
void free_aligned_pages(void *pages);

// The watched input (run_watched). call_guarded runs work(arg) with a
// guard on this thread that a lost read returns to: false then. The fault
// handler asks lost_in_watched_input whether an address lies in the
// watched input, which also marks the read lost; from then on
// watched_read_lost is true and writes fail, until the watched run ends.
bool call_guarded(void (*work)(void *), void *arg);
bool lost_in_watched_input(const void *address);
bool watched_read_lost();

#endif
