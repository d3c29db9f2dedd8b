#include "driver/memory_budget.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

bool parse_size(const char *text, std::uint64_t *bytes)
{
    std::uint64_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(*p - '0'), &value))
            return false;
    }
    if (p == text)
        return false;
    int shift = 0;
    switch (*p) {
    case 'K':
    case 'k':
        shift = 10;
        break;
    case 'M':
    case 'm':
        shift = 20;
        break;
    case 'G':
    case 'g':
        shift = 30;
        break;
    case 'T':
    case 't':
        shift = 40;
        break;
    default:
        break;
    }
    if (shift != 0)
        ++p;
    if (*p != '\0' || value == 0 || value > (UINT64_MAX >> shift))
        return false;
    *bytes = value << shift;
    return true;
}

static bool explicit_budget(memory_setting *setting, std::uint64_t *bytes)
{
    if (!setting->read) {
        const char *text = std::getenv("TABFLIP_MEMORY");
        setting->read = true;
        if (text != nullptr && !parse_size(text, &setting->bytes))
            std::fprintf(stderr, "TABFLIP_MEMORY: '%s' is not a size; using the default.\n", text);
    }
    *bytes = setting->bytes;
    return setting->bytes != 0;
}

memory_figures read_memory_figures(std::uint64_t input_bytes, memory_setting *setting)
{
    // Below this an input's run cannot take enough to matter, and reading
    // the system's figures would cost more than a small file's whole run.
    constexpr std::uint64_t small_input = std::uint64_t{16} << 20;
    memory_figures figures;
    if (!explicit_budget(setting, &figures.set) && input_bytes >= small_input)
        figures.available = available_memory();
    figures.room = memory_room();
    return figures;
}

// A run whose room is short of this runs on one thread: beside its budget,
// a helper thread's stack would take what its allocations need.
constexpr std::uint64_t threads_room = 4 * std::uint64_t{thread_stack_bytes};

bool threads_fit(const memory_figures &figures)
{
    return figures.room >= threads_room;
}

std::uint64_t memory_budget(const memory_figures &figures)
{
    std::uint64_t budget = figures.set;
    if (budget == 0)
        budget = figures.available == UINT64_MAX ? UINT64_MAX : figures.available / 2;
    if (figures.room == UINT64_MAX)
        return budget;
    // The allocator's reserve and the helper thread's stack, where it has
    // one, come out of the room before the quarter kept back for the
    // program's own allocations.
    std::uint64_t kept = allocator_reserve + (threads_fit(figures) ? thread_stack_bytes : 0);
    std::uint64_t left = figures.room > kept ? figures.room - kept : 0;
    left -= left / 4;
    return budget < left ? budget : left;
}
