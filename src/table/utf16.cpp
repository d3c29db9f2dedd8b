#include "table/utf16.h"

#include "table/byte_blocks.h"
#include "table/input_file.h"

int utf16_order(const unsigned char *bytes, std::size_t size)
{
    if (size < 2 || size % 2 != 0)
        return utf16_none;
    if (bytes[0] == 0xFF && bytes[1] == 0xFE)
        return utf16_little;
    if (bytes[0] == 0xFE && bytes[1] == 0xFF)
        return utf16_big;
    return utf16_none;
}

void put_utf16_mark(int order, unsigned char *out)
{
    out[0] = order == utf16_big ? 0xFE : 0xFF;
    out[1] = order == utf16_big ? 0xFF : 0xFE;
}

static unsigned char *put_unit_bytes(unsigned char *out, unsigned unit)
{
    if (unit < 0x80) {
        *out++ = static_cast<unsigned char>(unit);
    } else if (unit < 0x800) {
        *out++ = static_cast<unsigned char>(0xC0 | unit >> 6);
        *out++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    } else {
        *out++ = static_cast<unsigned char>(0xE0 | unit >> 12);
        *out++ = static_cast<unsigned char>(0x80 | (unit >> 6 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    }
    return out;
}

// Most tables are mostly ASCII even in UTF-16, so units are narrowed sixteen
// at a time while they last.
bool decode_utf16(const unsigned char *bytes, std::size_t size, int order, input_data *internal)
{
    std::size_t units = (size - 2) / 2;
    // Three bytes at most per unit; the padding is added, with its own
    // overflow check, by reserve_input.
    if (units > SIZE_MAX / 3)
        return false;
    unsigned char *buffer = reserve_input(units * 3, internal);
    if (buffer == nullptr)
        return false;
    bool big = order == utf16_big;
    const unsigned char *in = bytes + 2;
    const unsigned char *end = in + units * 2;
    unsigned char *out = buffer;
    while (in < end) {
        if (end - in >= 32 && narrow_ascii_units(in, big, out)) {
            in += 32;
            out += 16;
            continue;
        }
        unsigned high = big ? in[0] : in[1];
        unsigned low = big ? in[1] : in[0];
        out = put_unit_bytes(out, high << 8 | low);
        in += 2;
    }
    internal->length = static_cast<std::size_t>(out - buffer);
    return true;
}

static unsigned char *put_unit(unsigned char *out, std::uint32_t unit, int order)
{
    auto high = static_cast<unsigned char>(unit >> 8);
    auto low = static_cast<unsigned char>(unit & 0xFF);
    out[0] = order == utf16_big ? high : low;
    out[1] = order == utf16_big ? low : high;
    return out + 2;
}

static unsigned char *encode_byte(utf16_encoder *e, unsigned char b, unsigned char *out)
{
    if (b >= 0x80 && b < 0xC0 && e->owed > 0) {
        e->partial = e->partial << 6 | (b & 0x3Fu);
        if (--e->owed == 0)
            out = put_unit(out, e->partial, e->order);
        return out;
    }
    e->owed = 0;
    if (b >= 0xE0) {
        e->partial = b & 0x0Fu;
        e->owed = 2;
    } else if (b >= 0xC0) {
        e->partial = b & 0x1Fu;
        e->owed = 1;
    } else {
        out = put_unit(out, b, e->order);
    }
    return out;
}

std::size_t encode_utf16(utf16_encoder *encoder, const unsigned char *in, std::size_t size,
                         unsigned char *out)
{
    bool big = encoder->order == utf16_big;
    const unsigned char *end = in + size;
    unsigned char *start = out;
    while (in < end) {
        if (encoder->owed == 0 && end - in >= 16 && widen_ascii_block(in, big, out)) {
            in += 16;
            out += 32;
            continue;
        }
        out = encode_byte(encoder, *in++, out);
    }
    return static_cast<std::size_t>(out - start);
}
