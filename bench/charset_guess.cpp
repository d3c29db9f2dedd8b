// Times the character-set guess as a pass of its own over one file, read
// into a buffer padded as the driver pads it (the tool makes its second look
// in the load's scan instead), so that bench/compare can set it beside a
// whole transposition of the same file:
//
//   charset_guess FILE ROUNDS   ->   "0.001234 4" (median seconds, charset code)
#include "table/input_file.h"
#include "table/charset.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <vector>

static double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: charset_guess FILE ROUNDS\n", stderr);
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "rb");
    struct stat status;
    if (file == nullptr || fstat(fileno(file), &status) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::size_t length = static_cast<std::size_t>(status.st_size);
    std::vector<unsigned char> buffer(length + input_padding);
    if (std::fread(buffer.data(), 1, length, file) != length) {
        std::perror(argv[1]);
        return 1;
    }
    std::fclose(file);
    int rounds = std::max(1, std::atoi(argv[2]));
    std::vector<double> times;
    int code = 0;
    for (int i = 0; i < rounds; ++i) {
        double start = now_seconds();
        code = detect_charset(buffer.data());
        times.push_back(now_seconds() - start);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.6f %d\n", times[times.size() / 2], code);
    return 0;
}
