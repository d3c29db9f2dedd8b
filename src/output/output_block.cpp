#include "output/output_block.h"

#include "platform/platform.h"

#include <cerrno>
#include <cstring>

// A write much larger than this was measured up to 3 times slower on Linux
// than the same bytes in calls of this size (bench/README.md).
constexpr std::size_t main_size = std::size_t{1} << 20;

bool have_output_blocks(writer_blocks *blocks)
{
    if (blocks->main == nullptr)
        blocks->main.reset(static_cast<char *>(allocate_lasting_pages(main_size + page_size())));
    if (blocks->units == nullptr)
        blocks->units.reset(static_cast<unsigned char *>(allocate_lasting_pages(main_size)));
    return blocks->main != nullptr && blocks->units != nullptr;
}

output_block main_output(const output_target &to)
{
    output_block out;
    out.fd = to.fd;
    out.encoder = to.encoder;
    out.bytes = to.blocks->main.get();
    out.offset = to.origin;
    out.flush_at = main_size - output_slack;
    out.end = main_size;
    out.unit_room = to.blocks->units.get();
    out.unit_room_bytes = main_size;
    out.progress = to.progress;
    out.split_from = to.split_from;
    out.threads = to.threads;
    return out;
}

bool write_sequential(int fd, const char *bytes, std::size_t size)
{
    return write_exactly(fd, bytes, size);
}

// A write or a spill's creation refused for want of memory (ENOMEM) is
// memory's failure, not the result's write error.
void note_failed_write(output_block *out)
{
    if (errno == ENOMEM) {
        note_no_memory(out);
        return;
    }
    if (!out->failed)
        out->error = errno;
    out->failed = true;
}

void note_no_memory(output_block *out)
{
    if (!out->failed)
        out->no_memory = true;
    out->failed = true;
}

void take_failure(output_block *out, const output_block &part)
{
    if (out->failed || !part.failed)
        return;
    out->failed = true;
    out->error = part.error;
    out->no_memory = part.no_memory;
}

static void write_out(output_block *out, const char *bytes, std::size_t size, std::uint64_t at)
{
    bool written = out->at_offset ? write_exactly_at(out->fd, bytes, size, at)
                                  : write_sequential(out->fd, bytes, size);
    if (!written)
        note_failed_write(out);
    else if (out->progress.written != nullptr)
        out->progress.written(out->progress.context, size);
}

// Counts in out's offset the units' bytes, not the internal form's.
static void write_units(output_block *out, const char *bytes, std::size_t size)
{
    const auto *in = reinterpret_cast<const unsigned char *>(bytes);
    unsigned char *room = out->unit_room;
    std::size_t most = out->unit_room_bytes / 2;
    while (size > 0 && !out->failed) {
        std::size_t n = size < most ? size : most;
        std::size_t made = encode_utf16(out->encoder, in, n, room);
        const auto *units = reinterpret_cast<const char *>(room);
        write_out(out, units, made, out->offset);
        out->offset += made;
        in += n;
        size -= n;
    }
}

bool send_direct(output_block *out, int from, std::uint64_t at, std::size_t size)
{
    if (out->encoder != nullptr || out->at_offset || out->fd < 0)
        return false;
    flush_output(out);
    if (out->failed)
        return true;
    send_result sent = send_exactly(out->fd, from, at, size);
    if (sent == send_result::unsent)
        return false;
    out->offset += size;
    if (sent == send_result::failed)
        note_failed_write(out);
    else if (out->progress.written != nullptr)
        out->progress.written(out->progress.context, size);
    return true;
}

void write_direct(output_block *out, const char *bytes, std::size_t size)
{
    if (out->encoder != nullptr) {
        write_units(out, bytes, size);
        return;
    }
    std::uint64_t at = out->offset;
    out->offset += size;
    if (out->failed)
        return;
    write_out(out, bytes, size, at);
}

void flush_output(output_block *out)
{
    if (out->encoder != nullptr && out->fd >= 0) {
        write_units(out, out->bytes, out->used);
        out->used = 0;
        return;
    }
    if (out->fd >= 0 && !out->failed && out->used > 0)
        write_out(out, out->bytes, out->used, out->offset);
    out->offset += out->used;
    out->used = 0;
}

void put_bytes(output_block *out, const char *bytes, std::size_t size)
{
    while (size > 0) {
        std::size_t room = out->end - out->used;
        std::size_t n = size < room ? size : room;
        std::memcpy(out->bytes + out->used, bytes, n);
        out->used += n;
        bytes += n;
        size -= n;
        if (size > 0)
            flush_output(out);
    }
    flush_if_full(out);
}
