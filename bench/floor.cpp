// The least any run of the tool must do for one file: a zero-filled buffer of
// the file's size plus 8, one read of the whole file, one write of it to a
// result file. The benchmarks give every time as a ratio to this program's.
//
//   floor IN OUT
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: floor IN OUT\n", stderr);
        return 1;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return 1;
    struct stat status;
    if (fstat(fileno(in), &status) != 0)
        return 1;
    std::size_t size = static_cast<std::size_t>(status.st_size);
    char *buffer = static_cast<char *>(std::calloc(1, size + 8));
    if (buffer == nullptr || std::fread(buffer, size, 1, in) != 1)
        return 1;
    std::fclose(in);
    std::FILE *out = std::fopen(argv[2], "wb");
    if (out == nullptr)
        return 1;
    std::fwrite(buffer, size, 1, out);
    int status_out = std::fclose(out) == 0 ? 0 : 1;
    std::free(buffer);
    return status_out;
}
