#include "table/utf16.h"

#include "table/byte_scans.h"
#include "table/cell_grid.h"
#include "table/input_file.h"
#include "table/utf16_kernels.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

unit_order utf16_order(const unsigned char *bytes, std::size_t size)
{
    if (size < 2 || size % 2 != 0)
        return utf16_none;
    // FF FE 00 00 is UTF-32LE's mark, not UTF-16 text that opens with a NUL.
    if (bytes[0] == 0xFF && bytes[1] == 0xFE)
        return size >= 4 && bytes[2] == 0x00 && bytes[3] == 0x00 ? utf16_none : utf16_little;
    if (bytes[0] == 0xFE && bytes[1] == 0xFF)
        return utf16_big;
    return utf16_none;
}

void put_utf16_mark(unit_order order, unsigned char *out)
{
    out[0] = order == utf16_big ? 0xFE : 0xFF;
    out[1] = order == utf16_big ? 0xFF : 0xFE;
}

// Without branches on the unit's length, which in mixed text are taken at
// random: every form is made and the right one chosen. Three bytes are always
// stored; the unit's own share of the buffer (three bytes a unit) holds them.
static unsigned char *put_unit_bytes(unsigned char *out, std::uint32_t unit)
{
    std::uint32_t two = (0xC0u | unit >> 6) | (0x80u | (unit & 0x3Fu)) << 8;
    std::uint32_t three =
        (0xE0u | unit >> 12) | (0x80u | (unit >> 6 & 0x3Fu)) << 8 | (0x80u | (unit & 0x3Fu)) << 16;
    std::uint32_t wide = 0u - static_cast<std::uint32_t>(unit >= 0x80);
    std::uint32_t widest = 0u - static_cast<std::uint32_t>(unit >= 0x800);
    std::uint32_t form = (unit & ~wide) | (two & wide & ~widest) | (three & widest);
    out[0] = static_cast<unsigned char>(form);
    out[1] = static_cast<unsigned char>(form >> 8);
    out[2] = static_cast<unsigned char>(form >> 16);
    return out + 1 + (wide & 1) + (widest & 1);
}

static std::uint32_t unit_at(const unsigned char *in, bool big)
{
    return big ? std::uint32_t{in[0]} << 8 | in[1] : std::uint32_t{in[1]} << 8 | in[0];
}

// Most tables are mostly ASCII even in UTF-16: sixteen units are narrowed at
// once where they are; elsewhere eight at a time where all are below 0x800
// (Latin, Greek, Cyrillic and other alphabets), else one by one. Returns the
// end of the forms written.
static unsigned char *decode_units(const unsigned char *in, const unsigned char *end, bool big,
                                   unsigned char *out)
{
    bool runs = ssse3_runs();
    while (end - in >= 32) {
        if (runs) {
            std::size_t taken = narrow_short_run(in, static_cast<std::size_t>(end - in), big, &out);
            in += taken;
            if (taken > 0 || end - in < 32)
                continue;
        }
        if (narrow_ascii_units(in, big, out)) {
            in += 32;
            out += 16;
            continue;
        }
        for (const unsigned char *stop = in + 32; in < stop; in += 16) {
            unsigned char *made = narrow_short_units(in, big, out);
            if (made != nullptr) {
                out = made;
                continue;
            }
            for (int i = 0; i < 16; i += 2)
                out = put_unit_bytes(out, unit_at(in + i, big));
        }
    }
    for (; in < end; in += 2)
        out = put_unit_bytes(out, unit_at(in, big));
    return out;
}

// How many bytes the forms of the units in[0, end) take.
static std::size_t form_bytes(const unsigned char *in, const unsigned char *end, bool big)
{
    auto units = static_cast<std::size_t>(end - in) / 2;
    std::size_t eights = units / 8;
    std::size_t bytes = units + extra_form_bytes(in, eights, big);
    for (in += eights * 16; in < end; in += 2) {
        std::uint32_t unit = unit_at(in, big);
        bytes += std::size_t{unit >= 0x80} + std::size_t{unit >= 0x800};
    }
    return bytes;
}

namespace
{

struct decode_work {
    const unsigned char *in = nullptr;
    const unsigned char *end = nullptr;
    const unsigned char *before = nullptr; // the units whose forms come first
    bool big = false;
    unsigned char *out = nullptr; // where the forms of the units before start
    unsigned char *made = nullptr;
    std::size_t stretch = 0; // as in decode_settings
};

} // namespace

// The forms are written a stretch of units at a time, into pages obtained
// for the stretch's most (three bytes a unit) at once: a fault for each new
// page cost a fifth of the decoding. What the last whole stretch does not
// fill stays obtained, a few pages; a shorter one (a small file's text)
// faults as before, which costs less than the call.
static void decode_part(void *arg)
{
    auto *work = static_cast<decode_work *>(arg);
    unsigned char *out = work->out + form_bytes(work->before, work->in, work->big);
    unsigned char *prepared = out;
    std::size_t stretch = work->stretch;
    for (const unsigned char *in = work->in; in < work->end; in += stretch) {
        auto left = static_cast<std::size_t>(work->end - in);
        const unsigned char *end = left > stretch ? in + stretch : work->end;
        unsigned char *most = out + static_cast<std::size_t>(end - in) / 2 * 3;
        if (most > prepared && left >= stretch)
            prepare_pages(prepared, static_cast<std::size_t>(most - prepared));
        prepared = std::max(prepared, most);
        out = decode_units(in, end, work->big, out);
    }
    work->made = out;
}

// A large text is decoded in two parts on two threads; the second measures
// the forms of the first to find where its own go, which costs it about a
// quarter of what decoding them does, so the first takes 9/16 of the units
// (measured: 5% sooner done than halves). The block stores write up to 12
// zero bytes past the forms, so the first part's last 16 units are decoded
// after the join, where those stores cannot reach the second part's forms.
constexpr std::size_t joined_units = 16;

bool decode_utf16(const unsigned char *bytes, std::size_t size, unit_order order,
                  input_data *internal, const decode_settings &settings)
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
    decode_work second{
        .in = in, .end = end, .before = in, .big = big, .out = buffer, .stretch = settings.stretch};
    if (size < settings.split_from || units < 4 * joined_units) {
        decode_part(&second);
    } else {
        const unsigned char *middle = in + units / 16 * 9 * 2;
        const unsigned char *joined = middle - 2 * joined_units;
        decode_work first{.in = in,
                          .end = joined,
                          .before = in,
                          .big = big,
                          .out = buffer,
                          .stretch = settings.stretch};
        second.in = middle;
        run_both(decode_part, &first, &second, settings.threads);
        unsigned char room[3 * joined_units + 16];
        unsigned char *made = decode_units(joined, middle, big, room);
        std::memcpy(first.made, room, static_cast<std::size_t>(made - room));
    }
    internal->length = static_cast<std::size_t>(second.made - buffer);
    return true;
}

std::size_t utf16_units(const unsigned char *text, std::size_t size)
{
    std::size_t units = size;
    std::size_t at = 0;
    for (; size - at >= scan_block; at += scan_block)
        units -= bits_set(continuation_mask(text + at));
    for (; at < size; ++at)
        units -= (text[at] & 0xC0u) == 0x80u;
    return units;
}

static unsigned char *put_unit(unsigned char *out, std::uint32_t unit, bool big)
{
    store_unit(out, unit, big ? utf16_big : utf16_little);
    return out + 2;
}

// One byte at a time, for a unit cut between blocks and for bytes the
// decoder never writes.
static unsigned char *encode_byte(utf16_encoder *e, unsigned char b, unsigned char *out)
{
    bool big = e->order == utf16_big;
    if (b >= 0x80 && b < 0xC0 && e->owed > 0) {
        e->partial = e->partial << 6 | (b & 0x3Fu);
        if (--e->owed == 0)
            out = put_unit(out, e->partial, big);
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
        out = put_unit(out, b, big);
    }
    return out;
}

// The unit of the sequence at p, its lead being two-byte (lead2) or
// three-byte (lead3) or neither, chosen without branches.
static inline std::uint32_t unit_of(const unsigned char *p, std::uint64_t lead2,
                                    std::uint64_t lead3)
{
    std::uint32_t b0 = p[0];
    std::uint32_t c1 = p[1] & 0x3Fu;
    std::uint32_t c2 = p[2] & 0x3Fu;
    std::uint32_t is_two = 0u - static_cast<std::uint32_t>(lead2);
    std::uint32_t is_three = 0u - static_cast<std::uint32_t>(lead3);
    return (b0 & ~(is_two | is_three)) | (((b0 & 0x1Fu) << 6 | c1) & is_two) |
           (((b0 & 0x0Fu) << 12 | c1 << 6 | c2) & is_three);
}

// The units of the whole sequences among the 64 bytes at in, which start with
// a sequence (the three bytes after the block are read too). Where each
// sequence starts is read off the block's byte classes, so finding the next
// one does not wait for the last one's length. Returns how many bytes it took:
// up to the first sequence that the block cuts, or 0, writing nothing, when
// the bytes are not a run of whole sequences of the form (none then).
static std::size_t encode_form_block(const unsigned char *in, bool big, unsigned char **out)
{
    form_classes k = classify_form_block(in);
    std::uint64_t owed = k.lead2 << 1 | k.lead3 << 1 | k.lead3 << 2;
    std::uint64_t cut =
        (k.lead2 >> 63 | k.lead3 >> 62) != 0
            ? (k.lead2 & std::uint64_t{1} << 63) | (k.lead3 & std::uint64_t{3} << 62)
            : 0;
    std::uint64_t first_cut = cut & (~cut + 1);
    std::uint64_t whole = cut == 0 ? ~std::uint64_t{0} : first_cut - 1;
    // The first cut sequence's lead must not stand where a byte is owed.
    if (k.other != 0 || ((owed ^ k.cont) & (whole | first_cut)) != 0)
        return 0;
    unsigned char *o = *out;
    for (std::uint64_t starts = ~k.cont & whole; starts != 0; starts &= starts - 1) {
        auto i = static_cast<unsigned>(__builtin_ctzll(starts));
        o = put_unit(o, unit_of(in + i, k.lead2 >> i & 1, k.lead3 >> i & 1), big);
    }
    *out = o;
    return cut == 0 ? 64 : static_cast<std::size_t>(__builtin_ctzll(cut));
}

std::size_t encode_utf16(utf16_encoder *encoder, const unsigned char *in, std::size_t size,
                         unsigned char *out)
{
    bool big = encoder->order == utf16_big;
    const unsigned char *end = in + size;
    unsigned char *start = out;
    bool runs = ssse3_runs();
    while (end - in >= 67) {
        if (encoder->owed > 0) {
            out = encode_byte(encoder, *in++, out);
            continue;
        }
        if (runs) {
            std::size_t taken =
                widen_short_run(in, static_cast<std::size_t>(end - in), 67, big, &out);
            in += taken;
            if (taken > 0)
                continue;
        }
        if (widen_ascii_block(in, big, out)) {
            in += 16;
            out += 32;
            continue;
        }
        std::size_t taken = widen_short_block(in, big, &out);
        if (taken == 0)
            taken = encode_form_block(in, big, &out);
        if (taken == 0)
            out = encode_byte(encoder, *in++, out);
        in += taken;
    }
    while (in < end)
        out = encode_byte(encoder, *in++, out);
    return static_cast<std::size_t>(out - start);
}
