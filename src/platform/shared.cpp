#include "platform/native.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace
{

std::atomic<const char *> cleanup_paths[held_path_slots];
static_assert(std::atomic<const char *>::is_always_lock_free);

// The watched input: [watched_begin, watched_end), and whether a read there
// has failed.
std::atomic<const unsigned char *> watched_begin{nullptr};
std::atomic<const unsigned char *> watched_end{nullptr};
std::atomic<bool> watched_lost{false};

} // namespace

bool run_watched(void (*work)(void *), void *arg, const void *begin, std::size_t size)
{
    const auto *from = static_cast<const unsigned char *>(begin);
    watched_begin.store(from);
    watched_end.store(from + size);
    bool done = call_guarded(work, arg);
    watched_begin.store(nullptr);
    watched_end.store(nullptr);
    watched_lost.store(false);
    return done;
}

bool lost_in_watched_input(const void *address)
{
    const auto *at = static_cast<const unsigned char *>(address);
    if (at < watched_begin.load() || at >= watched_end.load())
        return false;
    watched_lost.store(true);
    return true;
}

bool watched_read_lost()
{
    return watched_lost.load(std::memory_order_relaxed);
}

fault_plan *platform_faults = nullptr;

bool injected_fault(platform_call call)
{
    fault_plan *plan = platform_faults;
    if ((plan->calls & (1u << static_cast<unsigned>(call))) == 0)
        return false;
    std::uint64_t n = plan->counted.fetch_add(1) + 1;
    if (plan->at_call != nullptr)
        plan->at_call(call);
    if (n != plan->fail_at)
        return false;
    errno = plan->error;
    return true;
}

const char *held_path(std::size_t slot)
{
    return cleanup_paths[slot].load();
}

bool hold_cleanup_path(const char *path)
{
    if (fault_now(platform_call::hold))
        return false;
    for (std::atomic<const char *> &slot : cleanup_paths) {
        const char *expected = nullptr;
        if (slot.compare_exchange_strong(expected, path))
            return true;
    }
    return false;
}

void release_cleanup_path(const char *path)
{
    for (std::atomic<const char *> &slot : cleanup_paths) {
        const char *expected = path;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

static bool close_result_fd(result_file *result)
{
    if (result->fd < 0)
        return true;
    bool closed = close_file(result->fd);
    result->fd = -1;
    return closed;
}

bool commit_result(result_file *result)
{
    if (result->nameless && !link_nameless(result)) {
        abandon_result(result);
        return false;
    }
    bool closed = close_result_fd(result);
    if (closed && (result->temp_path == nullptr || rename_over(result->temp_path, result->path))) {
        release_cleanup_path(result->temp_path);
        std::free(result->temp_path);
        result->temp_path = nullptr;
        return true;
    }
    abandon_result(result);
    return false;
}

// Only the temporary file is the run's own: a device or FIFO written in
// place stays.
void abandon_result(result_file *result)
{
    close_result_fd(result);
    if (result->temp_path != nullptr && !result->nameless) {
        remove_name(result->temp_path);
        release_cleanup_path(result->temp_path);
    }
    std::free(result->temp_path);
    result->temp_path = nullptr;
    result->nameless = false;
}

// The scratch list: a ring through a header before each block, so that a
// block is listed and let go in a few stores however many are listed. The
// lock keeps the ring whole while both threads of a run allocate; no thread
// is cut short while it holds it, as nothing under it reads the input.
namespace
{

struct alignas(std::max_align_t) scratch_node {
    scratch_node *prev;
    scratch_node *next;
    bool pages; // from allocate_pages: the node ends the page before the block
};

scratch_node scratch_ring{&scratch_ring, &scratch_ring, false};
std::atomic_flag scratch_lock; // clear

constexpr std::size_t scratch_slots = 4;
int scratch_files[scratch_slots] = {-1, -1, -1, -1};
file_mapping scratch_mappings[scratch_slots];

void lock_scratch()
{
    while (scratch_lock.test_and_set(std::memory_order_acquire)) {
    }
}

void unlock_scratch()
{
    scratch_lock.clear(std::memory_order_release);
}

void *listed(scratch_node *node, bool pages)
{
    node->pages = pages;
    lock_scratch();
    node->prev = &scratch_ring;
    node->next = scratch_ring.next;
    scratch_ring.next->prev = node;
    scratch_ring.next = node;
    unlock_scratch();
    return node + 1;
}

scratch_node *unlisted(void *block)
{
    scratch_node *node = static_cast<scratch_node *>(block) - 1;
    lock_scratch();
    node->prev->next = node->next;
    node->next->prev = node->prev;
    unlock_scratch();
    return node;
}

void free_node(scratch_node *node)
{
    if (node->pages)
        free_aligned_pages(reinterpret_cast<char *>(node + 1) - page_size());
    else
        std::free(node);
}

// Room for a block's node, or its page, and the allocator's own rounding.
constexpr std::size_t most_scratch_bytes = SIZE_MAX / 2;

} // namespace

void *scratch_malloc(std::size_t size)
{
    void *node = size > most_scratch_bytes ? nullptr : std::malloc(sizeof(scratch_node) + size);
    return node == nullptr ? nullptr : listed(static_cast<scratch_node *>(node), false);
}

void *scratch_calloc(std::size_t count, std::size_t size)
{
    if (size != 0 && count > most_scratch_bytes / size)
        return nullptr;
    void *node = std::calloc(1, sizeof(scratch_node) + count * size);
    return node == nullptr ? nullptr : listed(static_cast<scratch_node *>(node), false);
}

// Refused, the block stays as it was, and listed.
void *scratch_realloc(void *block, std::size_t size)
{
    if (block == nullptr)
        return scratch_malloc(size);
    if (size > most_scratch_bytes)
        return nullptr;
    scratch_node *node = unlisted(block);
    void *more = std::realloc(node, sizeof(scratch_node) + size);
    if (more == nullptr) {
        listed(node, false);
        return nullptr;
    }
    return listed(static_cast<scratch_node *>(more), false);
}

void scratch_free(void *block)
{
    if (block != nullptr)
        free_node(unlisted(block));
}

// A page more than asked, whose end holds the node: the block stays aligned.
void *allocate_pages(std::size_t size)
{
    if (fault_now(platform_call::allocate) || size > most_scratch_bytes)
        return nullptr;
    std::size_t page = page_size();
    auto *pages = static_cast<char *>(allocate_aligned_pages(page + size));
    if (pages == nullptr)
        return nullptr;
    return listed(reinterpret_cast<scratch_node *>(pages + page) - 1, true);
}

void *allocate_lasting_pages(std::size_t size)
{
    return allocate_aligned_pages(size);
}

void release_lasting_pages(void *pages)
{
    free_aligned_pages(pages);
}

void release_pages(void *block)
{
    scratch_free(block);
}

// A spill is one file at a time: the slots are never all taken.
bool hold_scratch_file(int fd)
{
    lock_scratch();
    int *slot = std::find(scratch_files, scratch_files + scratch_slots, -1);
    bool held = slot != scratch_files + scratch_slots;
    if (held)
        *slot = fd;
    unlock_scratch();
    return held;
}

bool close_scratch_file(int fd)
{
    lock_scratch();
    std::replace(scratch_files, scratch_files + scratch_slots, fd, -1);
    unlock_scratch();
    return close_file(fd);
}

bool hold_scratch_mapping(const file_mapping &mapping)
{
    lock_scratch();
    auto *slot = std::find_if(scratch_mappings, scratch_mappings + scratch_slots,
                              [](const file_mapping &m) { return m.region == nullptr; });
    bool held = slot != scratch_mappings + scratch_slots;
    if (held)
        *slot = mapping;
    unlock_scratch();
    return held;
}

void unmap_scratch(file_mapping *mapping)
{
    if (mapping->region == nullptr)
        return;
    lock_scratch();
    std::replace_if(
        scratch_mappings, scratch_mappings + scratch_slots,
        [mapping](const file_mapping &slot) { return slot.region == mapping->region; },
        file_mapping{});
    unlock_scratch();
    unmap_file(mapping);
}

void release_scratch()
{
    lock_scratch();
    while (scratch_ring.next != &scratch_ring) {
        scratch_node *node = scratch_ring.next;
        scratch_ring.next = node->next;
        free_node(node);
    }
    scratch_ring.prev = &scratch_ring;
    for (int &fd : scratch_files) {
        if (fd >= 0)
            close_file(fd);
        fd = -1;
    }
    for (file_mapping &mapping : scratch_mappings)
        unmap_file(&mapping);
    unlock_scratch();
}
