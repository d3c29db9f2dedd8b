// The test build's allocations through the fault plan (platform.h): the
// unit tests link with --wrap for malloc, calloc and realloc, so that every
// allocation the tool's code makes is a counted call a test can fail.
#include "platform/platform.h"

#include <cstddef>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);

void *__wrap_malloc(std::size_t size)
{
    return fault_now(platform_call::allocate) ? nullptr : __real_malloc(size);
}

void *__wrap_calloc(std::size_t count, std::size_t size)
{
    return fault_now(platform_call::allocate) ? nullptr : __real_calloc(count, size);
}

void *__wrap_realloc(void *block, std::size_t size)
{
    return fault_now(platform_call::allocate) ? nullptr : __real_realloc(block, size);
}
}
