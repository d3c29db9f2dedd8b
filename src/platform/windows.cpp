#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// Names reach the narrow calls as UTF-8: the manifest selects that code page.

namespace
{

// Read by the console control handler, which runs on a thread of its own.
std::atomic<const char *> cleanup_paths[4];
static_assert(std::atomic<const char *>::is_always_lock_free);

} // namespace

// Ctrl-C, Ctrl-Break and closing the console: the held files go, then the
// default handler ends the process with the status it gives those events.
static BOOL WINAPI remove_held_paths(DWORD)
{
    for (std::atomic<const char *> &slot : cleanup_paths) {
        const char *path = slot.exchange(nullptr);
        if (path != nullptr)
            DeleteFileA(path);
    }
    return FALSE;
}

void install_signal_cleanup()
{
    SetConsoleCtrlHandler(remove_held_paths, TRUE);
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

// Both separators count, and a drive's colon ends a directory part too.
static std::size_t directory_length(const char *path)
{
    std::size_t length = 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] == '/' || path[i] == '\\' || path[i] == ':')
            length = i + 1;
    }
    return length;
}

static int descriptor_for(HANDLE handle)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

// A short name beside the result, created only where nothing stands yet.
static bool open_temporary(result_file *result)
{
    std::size_t directory = directory_length(result->path);
    static const char name[] = ".tabflip-00000000";
    char *temp = static_cast<char *>(std::calloc(1, directory + sizeof name));
    if (temp == nullptr)
        return false;
    std::memcpy(temp, result->path, directory);
    std::memcpy(temp + directory, name, sizeof name);
    char *digits = temp + directory + 9;
    DWORD seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD suffix = seed + static_cast<DWORD>(attempt) * 40503u;
        for (std::size_t i = 0; i < 8; ++i)
            digits[i] = "0123456789abcdef"[(suffix >> (28 - 4 * i)) & 0xF];
        if (!hold_cleanup_path(temp))
            break;
        HANDLE handle = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            result->fd = descriptor_for(handle);
            if (result->fd >= 0) {
                result->temp_path = temp;
                return true;
            }
            DeleteFileA(temp);
        }
        release_cleanup_path(temp);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    std::free(temp);
    return false;
}

// Devices (NUL, CON) and a regular result whose directory takes no new file
// are written where they stand.
static bool open_in_place(result_file *result, DWORD disposition, bool regular)
{
    if (regular && !hold_cleanup_path(result->path))
        return false;
    HANDLE handle = CreateFileA(result->path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        result->fd = descriptor_for(handle);
    if (result->fd < 0 && regular)
        release_cleanup_path(result->path);
    return result->fd >= 0;
}

static bool is_device(const char *path)
{
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool device = GetFileType(handle) != FILE_TYPE_DISK;
    CloseHandle(handle);
    return device;
}

bool open_result(const char *path, result_file *result)
{
    result->path = path;
    if (is_device(path))
        return open_in_place(result, OPEN_EXISTING, false);
    DWORD attributes = GetFileAttributesA(path);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    // A rename would pass over the read-only mark that an in-place write obeys.
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
        return false;
    if (open_temporary(result))
        return true;
    return exists && open_in_place(result, TRUNCATE_EXISTING, true);
}

static bool close_result_fd(result_file *result)
{
    if (result->fd < 0)
        return true;
    bool closed = _close(result->fd) == 0;
    result->fd = -1;
    return closed;
}

bool commit_result(result_file *result)
{
    bool closed = close_result_fd(result);
    if (closed && (result->temp_path == nullptr ||
                   MoveFileExA(result->temp_path, result->path, MOVEFILE_REPLACE_EXISTING))) {
        release_cleanup_path(result->temp_path == nullptr ? result->path : result->temp_path);
        std::free(result->temp_path);
        result->temp_path = nullptr;
        return true;
    }
    abandon_result(result);
    return false;
}

void abandon_result(result_file *result)
{
    close_result_fd(result);
    const char *written = result->temp_path == nullptr ? result->path : result->temp_path;
    DeleteFileA(written);
    release_cleanup_path(written);
    std::free(result->temp_path);
    result->temp_path = nullptr;
}

std::uint64_t available_memory()
{
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : 0;
}

std::uint64_t memory_limit()
{
    return UINT64_MAX;
}

bool stderr_is_terminal()
{
    return _isatty(2) != 0;
}

// Spilling is not yet done here: a table that needs it is a write error of
// its result.
int open_spill(const char *)
{
    return -1;
}

void close_spill(int)
{
}
