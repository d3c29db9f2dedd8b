#include "fuzz_support.h"

void require(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property failed: %s\n", property);
    std::abort();
}

std::vector<char> padded_copy(const std::string &bytes)
{
    std::vector<char> buffer(bytes.begin(), bytes.end());
    buffer.resize(bytes.size() + buffer_padding, '\0');
    buffer.shrink_to_fit();
    return buffer;
}

void load_or_abort(const std::string &bytes, unsigned char delimiter, std::vector<char> *buffer,
                   cell_grid *grid)
{
    *buffer = padded_copy(bytes);
    require(load_table(buffer->data(), bytes.size(), delimiter, grid), "small table loads");
}
