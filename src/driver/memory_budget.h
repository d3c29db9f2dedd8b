// Memory budget: how much private memory (row tables, lanes, per-column
// sums, the spill's buffers) one file's run may take, so that a table larger
// than memory is transposed in blocks instead of failing.
//
// TABFLIP_MEMORY sets it (digits with an optional K, M, G or T suffix, upper
// or lower case, binary multiples; "256M", "4g"; zero is not a size); a
// malformed value is reported once per process on stderr and the default is
// used. The default is half of the memory available when the file starts:
// the least of the system's available memory and what the memory cgroup
// (or job object) leaves; for an input under 16 MiB, only the limits count,
// as its run cannot take enough to matter. Either way it never exceeds
// three quarters of what the address-space and data limits leave beside
// what the process has mapped, the input included, less a fixed reserve
// for the allocator's growth steps and, where the limits leave room for
// threads, a helper thread's stack: the quarter kept back is for the
// program itself. Reads the environment and the system's memory figures;
// allocates nothing.
#ifndef TABFLIP_MEMORY_BUDGET_H
#define TABFLIP_MEMORY_BUDGET_H

#include <cstdint>

// Parses a size as TABFLIP_MEMORY takes it; false for anything else, zero
// and sizes past 2^64 - 1 included.
bool parse_size(const char *text, std::uint64_t *bytes);

// The figures a budget is made of.
struct memory_figures {
    std::uint64_t set = 0;                // TABFLIP_MEMORY; 0 when not given
    std::uint64_t available = UINT64_MAX; // memory the run may take; UINT64_MAX when not asked
    std::uint64_t room = UINT64_MAX;      // what the limits leave; UINT64_MAX without limits
};

// TABFLIP_MEMORY as a run reads it on its first file: the variable cannot
// change during the run, and a malformed one is reported once.
struct memory_setting {
    bool read = false;
    std::uint64_t bytes = 0; // 0 when not given or malformed
};

// The figures for a run whose input, input_bytes long, is already in memory.
memory_figures read_memory_figures(std::uint64_t input_bytes, memory_setting *setting);

// The budget those figures give.
std::uint64_t memory_budget(const memory_figures &figures);

// Kept back from the room before the budget: the allocator grows its heap
// 128 KiB beyond each request, and the run's small allocations (stdio
// buffers, names, the spill's list of runs) come beside the budget.
constexpr std::uint64_t allocator_reserve = std::uint64_t{256} << 10;

// Whether the room leaves a helper thread's stack beside the budget (always
// without limits); a run that has too little runs on one thread.
bool threads_fit(const memory_figures &figures);

#endif
