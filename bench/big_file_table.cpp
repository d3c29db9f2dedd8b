// Writes a deterministic tab-delimited table to stdout for bench/big-file:
//   big_file_table COLUMNS TARGET_BYTES
// Whole rows of COLUMNS cells are written until at least TARGET_BYTES are out.
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

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: big_file_table COLUMNS TARGET_BYTES\n", stderr);
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
