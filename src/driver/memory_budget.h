// Memory budget: how much private memory (row tables, lanes, per-column
// sums) one file's run may take, so that a table larger than memory is
// transposed in blocks instead of failing.
//
// TABFLIP_MEMORY sets it (digits with an optional K, M, G or T suffix,
// binary multiples; "256M", "4G"); a malformed value is reported once per
// process on stderr and the default is used. The default is half of the
// physical memory available when the file starts (for an input under 16 MiB,
// only the limits: its run cannot take enough to matter). Either way it
// never exceeds what the address-space and data limits leave beside the
// mapped input. Reads the environment and the system's memory figures;
// allocates nothing.
#ifndef TABFLIP_MEMORY_BUDGET_H
#define TABFLIP_MEMORY_BUDGET_H

#include <cstdint>

// Parses a size as TABFLIP_MEMORY takes it; false for anything else, zero
// and sizes past 2^64 - 1 included.
bool parse_size(const char *text, std::uint64_t *bytes);

// The budget for a run whose input occupies input_bytes of address space.
std::uint64_t memory_budget(std::uint64_t input_bytes);

#endif
