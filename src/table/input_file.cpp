#include "table/input_file.h"

#include "platform/platform.h"

#include <cerrno>
#include <cstdint>

// Below this size a read into a fresh block costs less than setting up and
// tearing down a mapping (measured with bench/compare's 10,000 files of about
// 1 KB: see docs/internals.md).
constexpr std::size_t map_from = std::size_t{64} << 10;

unsigned char *reserve_input(std::size_t length, input_data *input)
{
    if (length > SIZE_MAX - input_padding)
        return nullptr;
    auto *block = static_cast<unsigned char *>(scratch_calloc(1, length + input_padding));
    if (block == nullptr)
        return nullptr;
    input->block = block;
    input->bytes = block;
    input->length = length;
    return block;
}

// Sizes are 64-bit: a file is refused only when its bytes cannot be held.
// An empty file, and a special file that reports no size, is a read error.
static failure_report read_open_input(int fd, input_data *input)
{
    std::uint64_t size = 0;
    bool regular = false;
    if (!input_status(fd, &size, &regular))
        return {failure::stat, errno};
    auto length = static_cast<std::size_t>(size);
    if (regular && length >= map_from) {
        input->bytes = map_file(fd, length, input_padding, &input->mapping);
        input->length = length;
        if (input->bytes != nullptr)
            return {};
    }
    if (reserve_input(length, input) == nullptr)
        return {failure::memory, ENOMEM};
    if (length == 0 || !read_exactly(fd, input->block, length)) {
        failure_report read{failure::read, length == 0 ? 0 : errno};
        release_input(input);
        return read;
    }
    return {};
}

failure_report read_input(const char *name, input_data *input)
{
    int fd = open_input(name);
    if (fd < 0)
        return {failure::open, errno};
    failure_report read = read_open_input(fd, input);
    close_file(fd);
    return read;
}

void release_input(input_data *input)
{
    unmap_file(&input->mapping);
    scratch_free(input->block);
    *input = input_data{};
}
