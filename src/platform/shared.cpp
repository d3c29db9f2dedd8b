#include "platform/native.h"
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
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

std::atomic<bool> threads_on{true};

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

void allow_threads(bool allowed)
{
    threads_on.store(allowed, std::memory_order_relaxed);
}

bool threads_allowed()
{
    return threads_on.load(std::memory_order_relaxed);
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
