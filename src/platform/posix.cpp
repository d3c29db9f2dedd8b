#include "platform/cgroup.h"
#include "platform/native.h"
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Every signal that ends the process by default and can be caught.
constexpr int cleanup_signals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1,
                                   SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};

// A cleanup signal that comes while a file is being created and held waits
// until every such creation is done, so that no file is left behind unheld.
// A count does what blocking the signals would, without the two system
// calls a file that showed in runs over many small files, whichever thread
// takes the signal; and an open that waits (a FIFO at the result name with
// no reader) is interrupted, not waited out.
std::atomic<int> creating{0};
std::atomic<int> deferred_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Each thread inside a watched run has a guard to return to.
thread_local sigjmp_buf *reading_guard = nullptr;

} // namespace

// A page of the watched input that the system cannot give (the file shrank
// under its mapping, or its storage failed) ends the thread's guarded work.
// Any other fault is left to the default action: with the handler gone the
// instruction faults again and ends the process as before.
extern "C" void leave_lost_read(int, siginfo_t *info, void *)
{
    sigjmp_buf *guard = reading_guard;
    if (guard != nullptr && lost_in_watched_input(info->si_addr))
        siglongjmp(*guard, 1);
    std::signal(SIGBUS, SIG_DFL);
}

// SA_NODEFER: the jump leaves the handler without its return, so the signal
// must not stay blocked; the guards then save no signal mask (no system call).
static void watch_lost_reads()
{
    struct sigaction action = {};
    action.sa_sigaction = leave_lost_read;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

bool call_guarded(void (*work)(void *), void *arg)
{
    sigjmp_buf guard;
    sigjmp_buf *outer = reading_guard;
    if (sigsetjmp(guard, 0) != 0) {
        reading_guard = outer;
        return false;
    }
    reading_guard = &guard;
    work(arg);
    reading_guard = outer;
    return true;
}

// A write the kernel refused for an unreadable buffer (part of a vanished
// input handed to write whole) reads that buffer here, so that the lost page
// faults as any other read of it does.
static void touch_pages(const char *bytes, std::size_t size)
{
    for (std::size_t at = 0; at < size; at += page_size())
        static_cast<void>(*static_cast<const volatile char *>(bytes + at));
}

static bool write_refused(const char *bytes, std::size_t size)
{
    if (errno == EFAULT)
        touch_pages(bytes, size);
    return false;
}

extern "C" void remove_and_reraise(int signal_number)
{
    if (creating.load() != 0) {
        deferred_signal.store(signal_number);
        return;
    }
    for (std::size_t slot = 0; slot < held_path_slots; ++slot) {
        const char *path = held_path(slot);
        if (path != nullptr)
            unlink(path);
    }
    // Blocked while the handler runs, the signal ends the process on the
    // handler's return; raised after a deferral, it ends it at once.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void install_signal_cleanup()
{
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader that left (a pipe, a FIFO result) fails the write with EPIPE:
    // reported for that result, and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    watch_lost_reads();
    struct sigaction action = {};
    action.sa_handler = remove_and_reraise;
    sigemptyset(&action.sa_mask);
    for (int signal_number : cleanup_signals)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : cleanup_signals) {
        struct sigaction before = {};
        // A signal ignored from the start (nohup, a background job) stays so.
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
}

constexpr char temporary_name[] = ".tabflip-00000000";

// A short fixed name, so that it fits wherever the result name does, in
// the directory of path, or in directory when it is given.
static char *temporary_template(const char *path, const char *directory = nullptr)
{
    const char *slash = std::strrchr(path, '/');
    std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    if (directory != nullptr) {
        path = directory;
        length = std::strlen(directory);
    }
    bool separate = length > 0 && path[length - 1] != '/';
    char *temp = static_cast<char *>(std::calloc(1, length + 1 + sizeof temporary_name));
    if (temp != nullptr) {
        std::memcpy(temp, path, length);
        if (separate)
            temp[length++] = '/';
        std::memcpy(temp + length, temporary_name, sizeof temporary_name);
    }
    return temp;
}

// Cuts temp, made by temporary_template, to its folder ("." when it names
// none); temp[std::strlen(temp)] = '.' makes it whole again.
static const char *cut_to_folder(char *temp)
{
    char *name = temp + std::strlen(temp) - (sizeof temporary_name - 1);
    *name = '\0';
    return name == temp ? "." : temp;
}

// Creation and holding happen between these two, so that no signal can
// come between them and leave a file behind.
static void begin_creation()
{
    creating.fetch_add(1);
}

static void end_creation()
{
    if (creating.fetch_sub(1) == 1 && deferred_signal.load() != 0)
        remove_and_reraise(deferred_signal.load());
}

// The next of the temporary names: the last 8 bytes of temp become hex
// digits of a sequence that differs from process to process.
static void next_name(char *temp)
{
    static std::uint64_t state =
        static_cast<std::uint64_t>(getpid()) << 32 ^ static_cast<std::uint64_t>(std::time(nullptr));
    char *digits = temp + std::strlen(temp) - 8;
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    for (int i = 0; i < 8; ++i)
        digits[i] = "0123456789abcdef"[(state >> (60 - 4 * i)) & 0xF];
}

// Created exclusively under a new name until one is free. A new result is
// created 0666 for the umask to narrow, as any new file is, which spares the
// calls that would read the umask and set the bits (they showed in runs over
// many small files); a replaced one gets its bits from set_mode.
static int create_exclusive(char *temp, mode_t mode)
{
    if (fault_now(platform_call::create))
        return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        next_name(temp);
        int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

static int create_held(char *temp, mode_t mode)
{
    begin_creation();
    int fd = create_exclusive(temp, mode);
    if (fd >= 0 && !hold_cleanup_path(temp)) {
        unlink(temp);
        close(fd);
        fd = -1;
    }
    end_creation();
    return fd;
}

// A file without a name (O_TMPFILE) in temp's folder: nothing is left of it
// however the process ends, SIGKILL included, until link_nameless names it.
// File systems without it refuse it (EOPNOTSUPP; EISDIR from kernels before
// 3.11), and so does this when /proc, through which it is linked, is
// missing: -1, and the caller makes a named file instead.
static int open_nameless(char *temp, mode_t mode)
{
#ifdef O_TMPFILE
    if (fault_now(platform_call::create))
        return -1;
    static const bool linkable = access("/proc/self/fd", X_OK) == 0;
    if (!linkable)
        return -1;
    int fd = open(cut_to_folder(temp), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    temp[std::strlen(temp)] = '.';
    return fd;
#else
    static_cast<void>(temp);
    static_cast<void>(mode);
    return -1;
#endif
}

// A whole result gets its temporary name, held, and is then renamed like a
// named one: linkat cannot replace a name. The name is made and held
// between begin_creation and end_creation, as a named file's is.
bool link_nameless(result_file *result)
{
    char from[32];
    std::snprintf(from, sizeof from, "/proc/self/fd/%d", result->fd);
    begin_creation();
    bool linked = false;
    for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
        next_name(result->temp_path);
        linked = linkat(AT_FDCWD, from, AT_FDCWD, result->temp_path, AT_SYMLINK_FOLLOW) == 0;
        if (!linked && errno != EEXIST)
            break;
    }
    if (linked && !hold_cleanup_path(result->temp_path)) {
        unlink(result->temp_path);
        linked = false;
    }
    end_creation();
    result->nameless = !linked;
    return linked;
}

static bool set_mode(int fd, const struct stat *replaced)
{
    // Only root can give the file back to its owner, and only where the
    // filesystem keeps owners; anyone else's result becomes their own. The
    // run never changes who it is: asked once.
    static const bool root = geteuid() == 0;
    if (root) {
        int owned = fchown(fd, replaced->st_uid, replaced->st_gid);
        static_cast<void>(owned);
    }
    return fchmod(fd, replaced->st_mode & 0777) == 0;
}

// A result written in one call has a name for about as long as the link
// and rename of a nameless one take, and the link costs 15-20% in runs over
// many small files (bench/compare's 10,000 files): nameless only past one
// output block (1 MiB).
constexpr std::uint64_t nameless_from = std::uint64_t{1} << 20;

static bool open_temporary(result_file *result, const struct stat *replaced)
{
    char *temp = temporary_template(result->path);
    if (temp == nullptr)
        return false;
    mode_t mode = replaced == nullptr ? 0666 : 0600;
    int fd = result->expected_size >= nameless_from ? open_nameless(temp, mode) : -1;
    bool nameless = fd >= 0;
    if (!nameless)
        fd = create_held(temp, mode);
    if (fd >= 0 && replaced != nullptr && !set_mode(fd, replaced)) {
        if (!nameless) {
            unlink(temp);
            release_cleanup_path(temp);
        }
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        std::free(temp);
        return false;
    }
    result->fd = fd;
    result->temp_path = temp;
    result->nameless = nameless;
    result->regular = true;
    return true;
}

// A device or a FIFO is written where it stands, and never removed.
static bool open_in_place(result_file *result)
{
    result->fd = open(result->path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    result->regular = false;
    return result->fd >= 0;
}

// In a sticky folder only the owner of a name, or of the folder, may
// replace it: known now, not at the rename after the whole write.
static bool may_replace(const char *path)
{
    static const uid_t user = geteuid();
    struct stat name;
    if (user == 0 || lstat(path, &name) != 0 || name.st_uid == user)
        return true;
    char *temp = temporary_template(path);
    if (temp == nullptr)
        return false;
    struct stat folder;
    bool may = stat(cut_to_folder(temp), &folder) == 0 &&
               ((folder.st_mode & S_ISVTX) == 0 || folder.st_uid == user);
    std::free(temp);
    return may;
}

// Whatever can be known before the write is asked first: a name or path too
// long, a missing folder or one that is none (the status query fails for
// all of them), a folder at the name, another user's result in a sticky
// folder. A regular result is then only ever replaced whole.
bool open_result(const char *path, result_file *result)
{
    result->path = path;
    struct stat status;
    if (stat(path, &status) != 0)
        return errno == ENOENT && open_temporary(result, nullptr);
    if (S_ISDIR(status.st_mode))
        return false;
    if (!S_ISREG(status.st_mode))
        return open_in_place(result);
    // A rename would pass over permission bits that an in-place write obeys.
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 || !may_replace(path))
        return false;
    return open_temporary(result, &status);
}

bool rename_over(const char *from, const char *to)
{
    return std::rename(from, to) == 0;
}

void remove_name(const char *path)
{
    unlink(path);
}

int open_input(const char *name)
{
    return open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Reads of a regular file never wait, so only a special file needs the
// flag cleared: two calls fewer per file in runs over many small files.
bool input_status(int fd, std::uint64_t *size, bool *regular)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_size < 0)
        return false;
    if (!S_ISREG(status.st_mode)) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
            return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    *regular = S_ISREG(status.st_mode);
    return true;
}

bool read_exactly(int fd, unsigned char *into, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, into + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool close_file(int fd)
{
    return close(fd) == 0;
}

// Reserves the file's pages plus at least the padding as anonymous zero
// memory, then maps the file over the reservation's start: the padding stays
// readable even when the size is a multiple of the page size.
const unsigned char *map_file(int fd, std::size_t length, std::size_t padding,
                              file_mapping *mapping)
{
    if (fault_now(platform_call::map))
        return nullptr;
    std::size_t page = page_size();
    std::size_t size = (length + padding + page - 1) / page * page;
    if (size < length)
        return nullptr;
    // An anonymous mapping takes no file: -1 is what POSIX asks for.
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    // cppcheck-suppress invalidFunctionArg
    void *region = mmap(nullptr, size, PROT_READ, flags, -1, 0);
    if (region == MAP_FAILED)
        return nullptr;
    void *file = mmap(region, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
    if (file == MAP_FAILED) {
        munmap(region, size);
        return nullptr;
    }
    // MAP_FIXED put the file at the region's start: one unmapping frees both.
    mapping->region = file;
    mapping->size = size;
    // cppcheck-suppress memleak
    return static_cast<const unsigned char *>(file);
}

void unmap_file(file_mapping *mapping)
{
    if (mapping->region != nullptr)
        munmap(mapping->region, mapping->size);
    *mapping = file_mapping{};
}

// Once a watched read has failed, the other thread writes nothing more.
bool write_exactly(int fd, const char *bytes, std::size_t size)
{
    if (fault_now(platform_call::write))
        return false;
    while (size > 0) {
        if (watched_read_lost())
            return false;
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return write_refused(bytes, size);
        if (n == 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_exactly_at(int fd, const char *bytes, std::size_t size, std::uint64_t offset)
{
    if (fault_now(platform_call::write_at))
        return false;
    while (size > 0) {
        if (watched_read_lost())
            return false;
        ssize_t n = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return write_refused(bytes, size);
        if (n == 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

send_result send_exactly(int to, int from, std::uint64_t offset, std::size_t size)
{
    if (fault_now(platform_call::write))
        return send_result::failed;
#ifdef __linux__
    bool sent_any = false;
    while (size > 0) {
        if (watched_read_lost())
            return send_result::failed;
        auto at = static_cast<off_t>(offset);
        ssize_t n = sendfile(to, from, &at, size);
        if (n < 0 && errno == EINTR)
            continue;
        // A destination opened for appending, or one without the system's
        // way in: the bytes go by write instead.
        if (n < 0 && !sent_any && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            return send_result::unsent;
        if (n <= 0) {
            if (n == 0)
                errno = EIO; // the file ended before its bytes
            return send_result::failed;
        }
        sent_any = true;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return send_result::sent;
#else
    (void)to;
    (void)from;
    (void)offset;
    (void)size;
    return send_result::unsent;
#endif
}

void set_binary_output() {}

bool output_cursor(int fd, std::uint64_t *offset)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    int flags = fcntl(fd, F_GETFL);
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (flags < 0 || (flags & O_APPEND) != 0 || at < 0)
        return false;
    *offset = static_cast<std::uint64_t>(at);
    return true;
}

bool set_cursor(int fd, std::uint64_t offset)
{
    return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

void advise_scattered_reads(int fd)
{
    // Read-ahead guessed from reads that take turns between many runs of
    // one file brings in pages that are dropped before they are read.
    static_cast<void>(posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM));
}

std::size_t page_size()
{
    static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

void *allocate_aligned_pages(std::size_t size)
{
    std::size_t page = page_size();
    return std::aligned_alloc(page, (size + page - 1) / page * page);
}

void free_aligned_pages(void *pages)
{
    std::free(pages);
}

void prepare_pages(void *begin, std::size_t size)
{
#ifdef __linux__
    // MADV_POPULATE_WRITE, from Linux 5.14; older kernels refuse it.
    constexpr int populate_write = 23;
    std::size_t into_page = reinterpret_cast<std::uintptr_t>(begin) % page_size();
    madvise(static_cast<char *>(begin) - into_page, size + into_page, populate_write);
#else
    (void)begin;
    (void)size;
#endif
}

void advise_large_pages(void *begin, std::size_t size)
{
#ifdef MADV_HUGEPAGE
    std::size_t page = page_size();
    auto at = reinterpret_cast<std::uintptr_t>(begin);
    std::size_t before = (page - at % page) % page; // up to the first whole page
    std::size_t whole = size > before ? (size - before) / page * page : 0;
    if (whole > 0)
        madvise(static_cast<char *>(begin) + before, whole, MADV_HUGEPAGE);
#else
    (void)begin;
    (void)size;
#endif
}

void prepare_reading(const void *begin, std::size_t size)
{
#ifdef __linux__
    // MADV_POPULATE_READ, from Linux 5.14; older kernels refuse it.
    constexpr int populate_read = 22;
    std::size_t into_page = reinterpret_cast<std::uintptr_t>(begin) % page_size();
    // The pages are only read: the advice takes the address as it takes any.
    void *first = const_cast<char *>(static_cast<const char *>(begin) - into_page);
    madvise(first, size + into_page, populate_read);
#else
    (void)begin;
    (void)size;
#endif
}

// Nameless where the file system allows; else created and unlinked as a
// result is created and held, so that no signal can leave it behind.
int open_spill(const char *beside, int place)
{
    const char *folder = nullptr;
    if (place == 0) {
        folder = std::getenv("TMPDIR");
        if (folder == nullptr || *folder == '\0')
            folder = P_tmpdir;
    }
    char *temp = temporary_template(beside, folder);
    if (temp == nullptr)
        return -1;
    int fd = open_nameless(temp, 0600);
    if (fd < 0) {
        begin_creation();
        fd = create_exclusive(temp, 0600);
        if (fd >= 0)
            unlink(temp);
        end_creation();
    }
    std::free(temp);
    return fd;
}

// MemAvailable counts the page cache the kernel would give back, which the
// free page count leaves out; kernels before 3.14 lack it.
static std::uint64_t system_available_memory()
{
    std::FILE *meminfo = std::fopen("/proc/meminfo", "r");
    unsigned long long kib = 0;
    bool found = false;
    if (meminfo != nullptr) {
        char line[256];
        static const char key[] = "MemAvailable:";
        while (!found && std::fgets(line, sizeof line, meminfo) != nullptr) {
            if (std::strncmp(line, key, sizeof key - 1) != 0)
                continue;
            char *end = nullptr;
            kib = std::strtoull(line + sizeof key - 1, &end, 10);
            found = end != line + sizeof key - 1;
        }
        std::fclose(meminfo);
    }
    if (found)
        return static_cast<std::uint64_t>(kib) * 1024;
    long pages = sysconf(_SC_AVPHYS_PAGES);
    if (pages <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * page_size();
}

// Inside a container MemAvailable is the host's figure: its memory cgroup
// holds the limit that the out-of-memory killer enforces.
std::uint64_t available_memory()
{
    std::uint64_t system = system_available_memory();
    std::uint64_t group = cgroup_memory_left("");
    return group < system ? group : system;
}

static std::uint64_t limit_of(int resource)
{
    struct rlimit current = {};
    if (getrlimit(resource, &current) != 0 || current.rlim_cur == RLIM_INFINITY)
        return UINT64_MAX;
    return current.rlim_cur;
}

// A helper thread's first allocation would otherwise make it an arena of
// its own, which reserves 64 MiB of address space at once: under a limit
// every thread takes from the one arena.
static bool one_arena()
{
#ifdef M_ARENA_MAX
    mallopt(M_ARENA_MAX, 1);
#endif
    return true;
}

// The address-space limit counts every mapping (statm's size), the data
// limit the private writable ones (near statm's data, which adds the stack).
std::uint64_t memory_room()
{
    // The limits stay as the run found them: asked once, not per file.
    static const std::uint64_t space = limit_of(RLIMIT_AS);
    static const std::uint64_t data = limit_of(RLIMIT_DATA);
    if (space == UINT64_MAX && data == UINT64_MAX)
        return UINT64_MAX;
    static const bool one = one_arena();
    (void)one;
    // statm: size resident shared text lib data, in pages.
    char text[160] = {};
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (std::fgets(text, sizeof text, statm) == nullptr)
            text[0] = '\0';
        std::fclose(statm);
    }
    char *field = text;
    unsigned long long size = std::strtoull(field, &field, 10);
    for (int skipped = 0; skipped < 4; ++skipped)
        std::strtoull(field, &field, 10);
    unsigned long long data_pages = std::strtoull(field, &field, 10);
    if (size == 0)
        return space < data ? space : data;
    std::uint64_t page = page_size();
    std::uint64_t space_used = size * page;
    std::uint64_t data_used = data_pages * page;
    std::uint64_t space_left = space > space_used ? space - space_used : 0;
    std::uint64_t data_left = data > data_used ? data - data_used : 0;
    return space_left < data_left ? space_left : data_left;
}

bool stderr_is_terminal()
{
    return isatty(2) == 1;
}

bool stdout_shares_stderr_terminal()
{
    struct stat out = {}, err = {};
    return isatty(1) == 1 && isatty(2) == 1 && fstat(1, &out) == 0 && fstat(2, &err) == 0 &&
           out.st_rdev == err.st_rdev;
}

unsigned terminal_columns()
{
    winsize size = {};
    return ioctl(2, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

namespace
{

struct thread_work {
    void (*work)(void *) = nullptr;
    void *arg = nullptr;
    bool done = false; // false: a watched read failed
};

} // namespace

static void *run_thread_work(void *arg)
{
    auto *job = static_cast<thread_work *>(arg);
    job->done = call_guarded(job->work, job->arg);
    return nullptr;
}

// Both halves are guarded, so that a failed watched read on either thread
// leaves the watched run only once the other thread is done. The work's
// frames are small: a stack of the default size (the stack limit, often
// 8 MiB) would take address space that a run under a limit has budgeted
// for its tables.
void run_both(void (*work)(void *), void *first, void *second, bool threads)
{
    thread_work job{work, second};
    pthread_t thread;
    pthread_attr_t attributes;
    bool started = threads && pthread_attr_init(&attributes) == 0;
    if (started) {
        pthread_attr_setstacksize(&attributes, thread_stack_bytes);
        started = pthread_create(&thread, &attributes, run_thread_work, &job) == 0;
        pthread_attr_destroy(&attributes);
    }
    bool done = call_guarded(work, first);
    if (started)
        pthread_join(thread, nullptr);
    else
        job.done = done && call_guarded(work, second);
    if ((!done || !job.done) && reading_guard != nullptr)
        siglongjmp(*reading_guard, 1);
}
