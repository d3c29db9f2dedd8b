// Writes a deterministic tab-delimited table to stdout for bench/big-file and
// bench/huge, or checks a transposition of it, or the table itself, read from
// stdin:
//   big_file_table COLUMNS TARGET_BYTES
//   big_file_table check COLUMNS ROWS
//   big_file_table check-table COLUMNS ROWS
// Whole rows of COLUMNS cells are written until at least TARGET_BYTES are out.
// The check recomputes every cell, so it needs neither the table nor memory
// in proportion to it: line i must hold cells (0, i) to (ROWS - 1, i), or,
// checking the table, cells (i, 0) to (i, COLUMNS - 1). Both checks do the
// same work per byte, so bench/huge's floor can feed the table to one at the
// pace the tool's result meets the other.
// Every line holds COLUMNS - 1 tabs and ends in LF, so transposing the result
// twice must give these bytes back. Cells are 0 to 12 bytes, some of them
// empty and some holding UTF-8 text, picked by a hash of their position.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static std::uint64_t mix(std::uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// Appends cell (row, column) at out; returns the number of bytes written.
static std::size_t put_cell(char *out, std::uint64_t row, std::uint64_t column)
{
    static const char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789,.;:-_";
    std::uint64_t h = mix(row * 0x9E3779B97F4A7C15ULL + column);
    if (h % 53 == 0)
        return 0;
    if (h % 97 == 1) {
        std::memcpy(out, "\xe8\xa1\xa8\xe3\x81\x82", 6);
        return 6;
    }
    std::size_t length = 1 + (h >> 8) % 12;
    for (std::size_t i = 0; i < length; ++i)
        out[i] = alphabet[(h >> (16 + 4 * (i % 10))) % (sizeof alphabet - 1)];
    return length;
}

// Reads stdin a buffer at a time, comparing with the expected bytes: LINES
// lines of ENTRIES cells, cell (line, entry) of the transposed table, or of
// the table itself when TABLE is set.
static int check(std::uint64_t lines, std::uint64_t entries, bool table)
{
    static char in[1 << 20];
    std::size_t have = 0, at = 0;
    std::uint64_t compared = 0;
    char cell[16];
    for (std::uint64_t line = 0; line < lines; ++line) {
        for (std::uint64_t entry = 0; entry < entries; ++entry) {
            std::size_t size = table ? put_cell(cell, line, entry) : put_cell(cell, entry, line);
            cell[size++] = entry + 1 < entries ? '\t' : '\n';
            for (std::size_t k = 0; k < size; ++k) {
                if (at == have) {
                    have = std::fread(in, 1, sizeof in, stdin);
                    at = 0;
                    if (have == 0) {
                        std::fprintf(stderr, "check: the input ends early, at line %llu\n",
                                     static_cast<unsigned long long>(line + 1));
                        return 1;
                    }
                }
                if (in[at++] != cell[k]) {
                    std::fprintf(stderr, "check: line %llu, entry %llu differs (byte %llu)\n",
                                 static_cast<unsigned long long>(line + 1),
                                 static_cast<unsigned long long>(entry + 1),
                                 static_cast<unsigned long long>(compared));
                    return 1;
                }
                ++compared;
            }
        }
    }
    if (at < have || std::fread(in, 1, 1, stdin) != 0) {
        std::fputs("check: bytes after the last line\n", stderr);
        return 1;
    }
    std::printf("check: %llu lines, %llu bytes, every cell as generated\n",
                static_cast<unsigned long long>(lines), static_cast<unsigned long long>(compared));
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 &&
        (std::strcmp(argv[1], "check") == 0 || std::strcmp(argv[1], "check-table") == 0)) {
        std::uint64_t columns = std::strtoull(argv[2], nullptr, 10);
        std::uint64_t rows = std::strtoull(argv[3], nullptr, 10);
        return std::strcmp(argv[1], "check") == 0 ? check(columns, rows, false)
                                                  : check(rows, columns, true);
    }
    if (argc != 3) {
        std::fputs("usage: big_file_table COLUMNS TARGET_BYTES\n"
                   "       big_file_table check|check-table COLUMNS ROWS\n",
                   stderr);
        return 2;
    }
    std::uint64_t columns = std::strtoull(argv[1], nullptr, 10);
    std::uint64_t target = std::strtoull(argv[2], nullptr, 10);
    if (columns == 0)
        return 2;
    char *line = static_cast<char *>(std::malloc(columns * 13));
    if (line == nullptr)
        return 1;
    std::uint64_t written = 0;
    for (std::uint64_t row = 0; written < target; ++row) {
        std::size_t size = 0;
        for (std::uint64_t column = 0; column < columns; ++column) {
            size += put_cell(line + size, row, column);
            line[size++] = column + 1 < columns ? '\t' : '\n';
        }
        if (std::fwrite(line, 1, size, stdout) != size)
            return 1;
        written += size;
    }
    std::free(line);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
