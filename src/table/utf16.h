// UTF-16 text with a byte-order mark, carried through the tool in a lossless
// 8-bit internal form, so that the loader and the writers treat its code
// units exactly as they treat bytes.
//
// The internal form: the units 0x0000, 0x0009, 0x000A, 0x000D and 0x002C
// become those single bytes, every other unit below 0x0080 its own byte, and
// every unit from 0x0080 up, surrogates included (paired or not), two or
// three bytes in the UTF-8 manner, all of them 0x80 or above. So the bytes
// that split a table stand exactly where their units stood, and the five
// bytes that the HTML page writes as entities stand for their own characters.
//
// utf16_order only reads. decode_utf16 reads the file's bytes and fills a
// new input block that the caller releases; it prints nothing.
// encode_utf16 reads the internal form, block after block, and writes the
// units to a buffer of the caller's.
#ifndef TABFLIP_UTF16_H
#define TABFLIP_UTF16_H

#include "table/cell_grid.h"
#include "table/input_file.h"

#include <cstddef>
#include <cstdint>

// The order of the two bytes of each unit, as the text's mark tells it.
enum unit_order : unsigned char {
    utf16_none = 0,   // not UTF-16 text: handled as bytes
    utf16_little = 1, // the mark FF FE
    utf16_big = 2,    // the mark FE FF
};

// UTF-16 text is a file whose size is even and at least 2 and whose first two
// bytes are a byte-order mark, but for FF FE 00 00: UTF-32LE's mark.
unit_order utf16_order(const unsigned char *bytes, std::size_t size);

// How a text is decoded; tests lower both to cut small texts.
struct decode_settings {
    std::size_t split_from = split_from_bytes;  // the least size decoded in two parts at once
    std::size_t stretch = std::size_t{1} << 20; // the units' bytes decoded at a time (even)
    bool threads = true;                        // the parts on two threads (platform.h's run_both)
};

// Fills *internal, which holds nothing yet, with the internal form of the
// units after the mark of bytes[0, size), which utf16_order found to be in
// order: a padded block as input_file.h describes, released with
// release_input. False, holding nothing, when the block cannot be had.
bool decode_utf16(const unsigned char *bytes, std::size_t size, unit_order order,
                  input_data *internal, const decode_settings &settings = {});

// The two bytes of the mark for order.
void put_utf16_mark(unit_order order, unsigned char *out);

// Stores unit in order's two bytes at out.
static inline void store_unit(unsigned char *out, std::uint32_t unit, unit_order order)
{
    bool big = order == utf16_big;
    out[big ? 1 : 0] = static_cast<unsigned char>(unit & 0xFF);
    out[big ? 0 : 1] = static_cast<unsigned char>(unit >> 8);
}

// How many units the internal form text[0, size) stands for: every byte but
// a continuation byte (0x80..0xBF) begins one.
std::size_t utf16_units(const unsigned char *text, std::size_t size);

// Turns the internal form back into units, in blocks cut anywhere: a unit
// whose bytes a block cut is finished by the next block.
struct utf16_encoder {
    unit_order order = utf16_little;
    std::uint32_t partial = 0; // the bits gathered of a cut unit
    int owed = 0;              // its bytes still to come: 0 to 2
};

// Writes the units of in[0, size) to out, which has room for 2 * size bytes,
// and returns how many bytes it wrote. Bytes the decoder never writes (a
// continuation byte without a lead, a lead cutting another's sequence) still
// give at most two bytes each: a stray continuation byte becomes the unit of
// its value, and a cut sequence is dropped.
std::size_t encode_utf16(utf16_encoder *encoder, const unsigned char *in, std::size_t size,
                         unsigned char *out);

#endif
