#include "platform/native.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

// Names reach the narrow calls as UTF-8: the manifest selects that code page.

// The console does not expand wildcards as a POSIX shell does: the C
// runtime's start-up expands them into file names when this is set.
extern "C" {
int _dowildcard = -1;
}

// Ctrl-C, Ctrl-Break and closing the console: the held files go, then the
// default handler ends the process with the status it gives those events.
static BOOL WINAPI remove_held_paths(DWORD)
{
    for (std::size_t slot = 0; slot < held_path_slots; ++slot) {
        const char *path = held_path(slot);
        if (path != nullptr)
            DeleteFileA(path);
    }
    return FALSE;
}

static LONG CALLBACK leave_lost_read(EXCEPTION_POINTERS *exception);

void install_signal_cleanup()
{
    SetConsoleCtrlHandler(remove_held_paths, TRUE);
    AddVectoredExceptionHandler(1, leave_lost_read);
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

// Creates temp anew, its last 8 characters replaced by hex digits until a
// name is free; INVALID_HANDLE_VALUE when none is, or on any other refusal.
static HANDLE create_new(char *temp, DWORD access, DWORD share, DWORD flags)
{
    char *digits = temp + std::strlen(temp) - 8;
    DWORD seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD suffix = seed + static_cast<DWORD>(attempt) * 40503u;
        for (std::size_t i = 0; i < 8; ++i)
            digits[i] = "0123456789abcdef"[(suffix >> (28 - 4 * i)) & 0xF];
        HANDLE handle = CreateFileA(temp, access, share, nullptr, CREATE_NEW, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return handle;
    }
    return INVALID_HANDLE_VALUE;
}

// A short name beside the result, created only where nothing stands yet;
// held before it exists, so that Ctrl-C never leaves it behind.
static bool open_temporary(result_file *result)
{
    std::size_t directory = directory_length(result->path);
    static const char name[] = ".tabflip-00000000";
    char *temp = static_cast<char *>(std::calloc(1, directory + sizeof name));
    if (temp == nullptr)
        return false;
    std::memcpy(temp, result->path, directory);
    std::memcpy(temp + directory, name, sizeof name);
    if (hold_cleanup_path(temp)) {
        HANDLE handle = create_new(temp, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
        if (handle != INVALID_HANDLE_VALUE)
            result->fd = descriptor_for(handle);
        if (result->fd >= 0) {
            result->temp_path = temp;
            result->regular = true;
            return true;
        }
        if (handle != INVALID_HANDLE_VALUE)
            DeleteFileA(temp);
        release_cleanup_path(temp);
    }
    std::free(temp);
    return false;
}

// Devices (NUL, CON) are written where they stand, and never removed.
static bool open_in_place(result_file *result)
{
    HANDLE handle = CreateFileA(result->path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        result->fd = descriptor_for(handle);
    result->regular = false;
    return result->fd >= 0;
}

static bool is_device(const char *path)
{
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
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
        return open_in_place(result);
    DWORD attributes = GetFileAttributesA(path);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    // A name too long or a missing folder is known now, not at the rename.
    if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    // A rename would pass over the read-only mark that an in-place write obeys.
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
        return false;
    return open_temporary(result);
}

bool rename_over(const char *from, const char *to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// A temporary result always has a name here.
bool link_nameless(result_file *)
{
    return false;
}

void remove_name(const char *path)
{
    DeleteFileA(path);
}

int open_input(const char *name)
{
    // Backup semantics open a folder too, which then fails as a read error,
    // as it does on POSIX; sharing lets other programs go on with the file.
    HANDLE handle =
        CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

bool input_status(int fd, std::uint64_t *size, bool *regular)
{
    struct _stat64 status;
    if (_fstat64(fd, &status) != 0 || status.st_size < 0)
        return false;
    *size = static_cast<std::uint64_t>(status.st_size);
    *regular = (status.st_mode & _S_IFMT) == _S_IFREG;
    return true;
}

bool read_exactly(int fd, unsigned char *into, std::size_t length)
{
    while (length > 0) {
        unsigned piece = length < (1u << 30) ? static_cast<unsigned>(length) : 1u << 30;
        int n = _read(fd, into, piece);
        if (n <= 0)
            return false;
        into += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool close_file(int fd)
{
    return _close(fd) == 0;
}

// A view covers the file's pages only, so it is used only where the zeros
// that fill its last page hold the padding; otherwise the file is read.
const unsigned char *map_file(int fd, std::size_t length, std::size_t padding,
                              file_mapping *mapping)
{
    std::size_t page = page_size();
    if (padding > 0 && (length % page == 0 || page - length % page < padding))
        return nullptr;
    auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    HANDLE section = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (section == nullptr)
        return nullptr;
    void *view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, length);
    CloseHandle(section);
    if (view == nullptr)
        return nullptr;
    mapping->region = view;
    mapping->size = length;
    return static_cast<const unsigned char *>(view);
}

// Each guarded thread's place to return to (run_watched).
// __builtin_setjmp keeps registers only: the jump unwinds nothing, as no
// frame between the guard and the fault owns anything but plain memory.
namespace
{

using guard_buffer = void *[5];
thread_local guard_buffer *reading_guard = nullptr;

} // namespace

[[noreturn]] static void return_to_guard()
{
    __builtin_longjmp(*reading_guard, 1);
}

// The system refuses to cut a file below a mapped view, so here a lost page
// is one whose storage failed (a network share gone, a disk removed): an
// in-page error. C++ exceptions and SEH blocks are not used, so the handler
// does not jump from inside the exception dispatch: it lets the thread go
// on as if the faulting instruction had called return_to_guard, on a
// stack aligned as a call leaves it, and the jump is made from there.
static LONG CALLBACK leave_lost_read(EXCEPTION_POINTERS *exception)
{
    const EXCEPTION_RECORD *record = exception->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record->NumberParameters < 2 ||
        reading_guard == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    if (!lost_in_watched_input(reinterpret_cast<const void *>(record->ExceptionInformation[1])))
        return EXCEPTION_CONTINUE_SEARCH;
#if defined(__x86_64__)
    CONTEXT *context = exception->ContextRecord;
    // Below the faulting frame with room to spare, as a call leaves it.
    context->Rsp = (context->Rsp & ~DWORD64{15}) - 136;
    context->Rip = reinterpret_cast<DWORD64>(&return_to_guard);
    return EXCEPTION_CONTINUE_EXECUTION;
#else
    return EXCEPTION_CONTINUE_SEARCH;
#endif
}

bool call_guarded(void (*work)(void *), void *arg)
{
    guard_buffer guard;
    guard_buffer *outer = reading_guard;
    if (__builtin_setjmp(guard) != 0) {
        reading_guard = outer;
        return false;
    }
    reading_guard = &guard;
    work(arg);
    reading_guard = outer;
    return true;
}

// A write that failed may have failed on a lost page of the input handed to
// it whole: reading the bytes here faults as any other read of them does.
static bool write_refused(const char *bytes, std::size_t size)
{
    for (std::size_t at = 0; at < size; at += page_size())
        static_cast<void>(*static_cast<const volatile char *>(bytes + at));
    return false;
}

void unmap_file(file_mapping *mapping)
{
    if (mapping->region != nullptr)
        UnmapViewOfFile(mapping->region);
    *mapping = file_mapping{};
}

bool write_exactly(int fd, const char *bytes, std::size_t size)
{
    while (size > 0) {
        if (watched_read_lost())
            return false;
        unsigned piece = size < (1u << 30) ? static_cast<unsigned>(size) : 1u << 30;
        int n = _write(fd, bytes, piece);
        if (n <= 0)
            return write_refused(bytes, size);
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

send_result send_exactly(int, int, std::uint64_t, std::size_t)
{
    return send_result::unsent;
}

bool write_exactly_at(int fd, const char *bytes, std::size_t size, std::uint64_t offset)
{
    auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    while (size > 0) {
        DWORD piece = size < (1u << 30) ? static_cast<DWORD>(size) : 1u << 30;
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (watched_read_lost())
            return false;
        if (!WriteFile(file, bytes, piece, &written, &at) || written == 0)
            return write_refused(bytes, size);
        bytes += written;
        size -= written;
        offset += written;
    }
    return true;
}

static UINT console_code_page = 0; // the console's own, to give back at exit

static void restore_console_code_page()
{
    SetConsoleOutputCP(console_code_page);
}

// The C runtime opens both in text mode, which would turn every LF of a
// result on standard output into CR LF. Messages carry names as typed, in
// UTF-8: a console shows them so for the span of the run.
void set_binary_output()
{
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    UINT before = GetConsoleOutputCP();
    if (before != 0 && before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        console_code_page = before;
        std::atexit(restore_console_code_page);
    }
}

// Whether a handle was opened for appending cannot be asked here: standard
// output is always written in sequence.
bool output_cursor(int, std::uint64_t *)
{
    return false;
}

bool set_cursor(int fd, std::uint64_t offset)
{
    return _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0;
}

void advise_scattered_reads(int /*fd*/) {}

std::size_t page_size()
{
    static const std::size_t page = [] {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        return static_cast<std::size_t>(system.dwPageSize);
    }();
    return page;
}

void *allocate_aligned_pages(std::size_t size)
{
    return _aligned_malloc(size, page_size());
}

void free_aligned_pages(void *pages)
{
    _aligned_free(pages);
}

void prepare_pages(void *, std::size_t) {}

// Large pages there need a privilege and memory of their own: left alone.
void advise_large_pages(void *, std::size_t) {}

void prepare_reading(const void *, std::size_t) {}

// What a limit leaves beside the peak use it has seen: the job object
// reports no current use, and the peak errs on the safe side.
static std::uint64_t left_under(std::uint64_t limit, std::uint64_t peak)
{
    return limit > peak ? limit - peak : 0;
}

// A job object (a container, a batch scheduler) may cap the memory its
// processes commit, the whole job's or each one's.
std::uint64_t available_memory()
{
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    std::uint64_t available = GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : 0;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job = {};
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                  nullptr)) {
        DWORD flags = job.BasicLimitInformation.LimitFlags;
        if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0)
            available = std::min<std::uint64_t>(
                available, left_under(job.JobMemoryLimit, job.PeakJobMemoryUsed));
        if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0)
            available = std::min<std::uint64_t>(
                available, left_under(job.ProcessMemoryLimit, job.PeakProcessMemoryUsed));
    }
    return available;
}

std::uint64_t memory_room()
{
    return UINT64_MAX;
}

bool stderr_is_terminal()
{
    return _isatty(2) != 0;
}

// A process has one console at most: two handles that both are one share it.
bool stdout_shares_stderr_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0 &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

unsigned terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

// Deleted on close: a spill never outlives the process, however it ends.
// TMPDIR when it is set, else the system's temporary folder; null for none.
static const char *temporary_folder()
{
    const char *tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0')
        return tmpdir;
    static char folder[MAX_PATH + 1];
    DWORD got = GetTempPathA(sizeof folder, folder);
    return got > 0 && got < sizeof folder ? folder : nullptr;
}

int open_spill(const char *beside, int place)
{
    const char *base = place == 0 ? temporary_folder() : beside;
    if (base == nullptr)
        return -1;
    std::size_t directory = place == 0 ? std::strlen(base) : directory_length(beside);
    static const char name[] = "\\.tabflip-spill-00000000";
    char *temp = static_cast<char *>(std::calloc(1, directory + sizeof name));
    if (temp == nullptr)
        return -1;
    std::memcpy(temp, base, directory);
    bool separate = directory > 0 && base[directory - 1] != '\\' && base[directory - 1] != '/';
    std::memcpy(temp + directory, name + (separate ? 0 : 1), sizeof name - (separate ? 0 : 1));
    HANDLE handle = create_new(temp, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    int fd = handle == INVALID_HANDLE_VALUE ? -1 : descriptor_for(handle);
    std::free(temp);
    return fd;
}

namespace
{

struct thread_work {
    void (*work)(void *) = nullptr;
    void *arg = nullptr;
    bool done = false; // false: a watched read failed
};

} // namespace

static DWORD WINAPI run_thread_work(LPVOID arg)
{
    auto *job = static_cast<thread_work *>(arg);
    job->done = call_guarded(job->work, job->arg);
    return 0;
}

// Both halves are guarded, so that a failed watched read on either thread
// leaves the watched run only once the other thread is done.
void run_both(void (*work)(void *), void *first, void *second, bool threads)
{
    thread_work job{work, second};
    HANDLE thread = threads ? CreateThread(nullptr, thread_stack_bytes, run_thread_work, &job,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                            : nullptr;
    bool done = call_guarded(work, first);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    } else {
        job.done = done && call_guarded(work, second);
    }
    if ((!done || !job.done) && reading_guard != nullptr)
        __builtin_longjmp(*reading_guard, 1);
}
