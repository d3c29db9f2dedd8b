// Times the character-set guess's second look over one file, read into a
// buffer padded as the driver pads it, so that bench/compare can set it
// beside a whole transposition of the same file: as a pass of its own, and
// as what it adds to the load, which makes it as it scans (the tool's way).
// The loads alternate with and without the look, each first in turn, and
// their medians set the look apart from the noise of a whole run:
//
//   charset_guess FILE ROUNDS
//     -> "0.014000 4 0.055000 0.062000" (median seconds of the pass, the
//        charset code, then of the load without and with the look)
#include "table/cell_grid.h"
#include "table/charset.h"
#include "table/input_file.h"

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

static double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

static double timed_load(const std::vector<unsigned char> &buffer, std::size_t length,
                         charset_id first)
{
    load_limits limits;
    limits.first_match = first;
    cell_grid grid;
    double start = now_seconds();
    load_result loaded = load_table_within(buffer.data(), length, '\t', true, limits, &grid);
    double took = now_seconds() - start;
    if (loaded != load_done)
        std::exit(1);
    return took;
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
    std::vector<double> pass;
    std::vector<double> load;
    std::vector<double> load_looking;
    int code = 0;
    for (int i = 0; i < rounds; ++i) {
        double start = now_seconds();
        code = detect_charset(buffer.data());
        pass.push_back(now_seconds() - start);
        charset_id first = first_match_charset(buffer.data());
        for (bool look : {i % 2 == 0, i % 2 != 0})
            (look ? load_looking : load)
                .push_back(timed_load(buffer, length, look ? first : charset_none));
    }
    std::printf("%.6f %d %.6f %.6f\n", median(pass), code, median(load), median(load_looking));
    return 0;
}
