#include "table/input_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Below this size a read into a fresh block costs less than setting up and
// tearing down a mapping (measured with bench/compare's 10,000 files of about
// 1 KB: see bench/README.md).
constexpr std::size_t map_from = std::size_t{64} << 10;

unsigned char *reserve_input(std::size_t length, input_data *input)
{
    if (length > SIZE_MAX - input_padding)
        return nullptr;
    auto *block = static_cast<unsigned char *>(std::calloc(1, length + input_padding));
    if (block == nullptr)
        return nullptr;
    input->block = block;
    input->bytes = block;
    input->length = length;
    return block;
}

// Reserves the file's pages plus at least the padding as anonymous zero
// memory, then maps the file over the reservation's start, so that the
// padding stays readable whatever the size.
bool map_input(int fd, std::size_t length, input_data *input)
{
    auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t size = (length + input_padding + page - 1) / page * page;
    if (size < length)
        return false;
    // An anonymous mapping takes no file: -1 is what POSIX asks for.
    // cppcheck-suppress invalidFunctionArg
    void *region = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED)
        return false;
    void *file = mmap(region, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
    if (file == MAP_FAILED) {
        munmap(region, size);
        return false;
    }
    // MAP_FIXED put the file at the region's start: one unmapping frees both.
    input->mapping = file;
    input->mapping_size = size;
    input->bytes = static_cast<const unsigned char *>(file);
    input->length = length;
    // cppcheck-suppress memleak
    return true;
}

static bool read_all(int fd, unsigned char *into, std::size_t length)
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

// Sizes are 64-bit: a file is refused only when its bytes cannot be held.
// An empty file, and a special file that reports no size, is a read error.
static bool read_open_input(const char *name, int fd, input_data *input)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        std::fprintf(stderr, "'%s' stat error.\n", name);
        return false;
    }
    auto length = static_cast<std::size_t>(status.st_size);
    if (S_ISREG(status.st_mode) && length >= map_from && map_input(fd, length, input))
        return true;
    if (status.st_size < 0 || reserve_input(length, input) == nullptr) {
        std::fputs("Couldn't allocate memory.\n", stderr);
        return false;
    }
    if (length == 0 || !read_all(fd, input->block, length)) {
        std::fprintf(stderr, "'%s' read error.\n", name);
        release_input(input);
        return false;
    }
    return true;
}

// Opened without waiting, so that a FIFO without a writer (or a terminal)
// reaches the size check at once instead of blocking the run.
static int open_input(const char *name)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool read_input(const char *name, input_data *input)
{
    int fd = open_input(name);
    if (fd < 0) {
        std::fprintf(stderr, "'%s' open error.\n", name);
        return false;
    }
    bool read = read_open_input(name, fd, input);
    close(fd);
    return read;
}

void release_input(input_data *input)
{
    if (input->mapping != nullptr)
        munmap(input->mapping, input->mapping_size);
    std::free(input->block);
    *input = input_data{};
}
