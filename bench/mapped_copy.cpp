// The least a run of a tool that maps its input must do for one file: the
// file mapped read-only, as the tool maps it, and written to a result file in
// 1 MiB calls, touching each page once through the write. bench/compare gives
// the transposed result's time as a ratio to this program's beside the floor.
//
//   mapped_copy IN OUT
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: mapped_copy IN OUT\n", stderr);
        return 1;
    }
    int in = open(argv[1], O_RDONLY);
    struct stat status;
    if (in < 0 || fstat(in, &status) != 0 || status.st_size <= 0)
        return 1;
    auto size = static_cast<std::size_t>(status.st_size);
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, in, 0);
    if (map == MAP_FAILED)
        return 1;
    const char *bytes = static_cast<const char *>(map);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0)
        return 1;
    constexpr std::size_t block = std::size_t{1} << 20;
    for (std::size_t done = 0; done < size;) {
        std::size_t n = size - done < block ? size - done : block;
        ssize_t written = write(out, bytes + done, n);
        if (written <= 0)
            return 1;
        done += static_cast<std::size_t>(written);
    }
    int result = close(out) == 0 ? 0 : 1;
    munmap(map, size);
    close(in);
    return result;
}
