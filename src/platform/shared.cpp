#include "platform/native.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>

namespace
{

std::atomic<const char *> cleanup_paths[held_path_slots];
static_assert(std::atomic<const char *>::is_always_lock_free);

} // namespace

const char *held_path(std::size_t slot)
{
    return cleanup_paths[slot].load();
}

bool hold_cleanup_path(const char *path)
{
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
