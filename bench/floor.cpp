// The least any run of the tool must do for one file: a zero-filled buffer of
// the file's size plus 8, one read of the whole file, and a write of it to a
// result file in 1 MiB calls. One write of a whole large file was measured up
// to 3 times slower on Linux than the same bytes in 1 MiB calls, and the tool
// writes in blocks of that size; a floor written in one call would flatter
// every ratio. The benchmarks give every time as a ratio to this program's.
//
// With --mapped, the least a tool that maps its input must do: the file mapped
// read-only, as the tool maps it, and written in the same calls, touching each
// page once through the write (bench/compare's "mapped copy").
//
// With --writes N, the floor of a result larger than its table (a page): the
// file read as above and N bytes written, the file's bytes over again.
//
//   floor [--mapped | --writes N] IN OUT
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// total bytes from bytes[0, size), taken over again from the start as often
// as needed, in 1 MiB calls.
static bool write_in_blocks(const char *path, const char *bytes, std::size_t size,
                            std::size_t total)
{
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0)
        return false;
    constexpr std::size_t block = std::size_t{1} << 20;
    for (std::size_t done = 0, at = 0; done < total;) {
        std::size_t n = std::min({total - done, size - at, block});
        ssize_t written = write(out, bytes + at, n);
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
        at = (at + static_cast<std::size_t>(written)) % size;
    }
    return close(out) == 0;
}

static bool read_and_write(const char *in_path, const char *out_path, std::size_t total)
{
    std::FILE *in = std::fopen(in_path, "rb");
    struct stat status;
    if (in == nullptr || fstat(fileno(in), &status) != 0)
        return false;
    auto size = static_cast<std::size_t>(status.st_size);
    char *buffer = static_cast<char *>(std::calloc(1, size + 8));
    if (buffer == nullptr || std::fread(buffer, size, 1, in) != 1)
        return false;
    std::fclose(in);
    bool done = write_in_blocks(out_path, buffer, size, total == 0 ? size : total);
    std::free(buffer);
    return done;
}

static bool map_and_write(const char *in_path, const char *out_path)
{
    int in = open(in_path, O_RDONLY);
    struct stat status;
    if (in < 0 || fstat(in, &status) != 0 || status.st_size <= 0)
        return false;
    auto size = static_cast<std::size_t>(status.st_size);
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, in, 0);
    if (map == MAP_FAILED)
        return false;
    bool done = write_in_blocks(out_path, static_cast<const char *>(map), size, size);
    munmap(map, size);
    close(in);
    return done;
}

int main(int argc, char **argv)
{
    bool mapped = argc == 4 && std::strcmp(argv[1], "--mapped") == 0;
    bool sized = argc == 5 && std::strcmp(argv[1], "--writes") == 0;
    std::size_t total = sized ? std::strtoull(argv[2], nullptr, 10) : 0;
    if (argc != 3 && !mapped && !(sized && total > 0)) {
        std::fputs("usage: floor [--mapped | --writes N] IN OUT\n", stderr);
        return 1;
    }
    bool done = mapped  ? map_and_write(argv[2], argv[3])
                : sized ? read_and_write(argv[3], argv[4], total)
                        : read_and_write(argv[1], argv[2], 0);
    return done ? 0 : 1;
}
