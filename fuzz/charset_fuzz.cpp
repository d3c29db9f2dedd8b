// Charset detector over arbitrary bytes, each call on a block padded exactly
// as the driver pads it, so the sanitizer catches any read past the padding.
// Bytes after the first NUL must not count: the text up to it, padded alone,
// gives the same answer, which must be the decision table's, worked out here
// one byte at a time, turned to UTF-8 for a Shift_JIS or EUC-JP answer when
// the text is well-formed UTF-8; and, for a three-byte UTF-8 match in text
// that is not, to EUC-JP or else Shift_JIS when the text is well-formed in
// it, matched here a character at a time against each set's forms. The
// load, which makes the second look as it scans, whole or in two parts,
// must give the same answer.
#include "fuzz_support.h"

#include "platform/cpu.h"
#include "table/cell_grid.h"
#include "table/charset.h"

#include <initializer_list>

// The decision table, one position at a time, with the bytes past the text
// read as the zeros that follow it: the reference for any faster scan.
static unsigned char byte_at(const std::string &text, std::size_t i)
{
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0x00;
}

static bool in(unsigned char b, unsigned char low, unsigned char high)
{
    return b >= low && b <= high;
}

static bool jis_escape_at(const std::string &text, std::size_t i)
{
    unsigned char n1 = byte_at(text, i + 1);
    unsigned char n2 = byte_at(text, i + 2);
    if (n1 == 0x28)
        return n2 == 0x42 || n2 == 0x4A || n2 == 0x49;
    if (n1 == 0x24 && n2 == 0x28)
        return byte_at(text, i + 3) == 0x44;
    if (n1 == 0x24)
        return n2 == 0x40 || n2 == 0x42;
    return n1 == 0x26 && n2 == 0x40;
}

// *three_byte tells a three-byte UTF-8 match from the end of the text.
static int reference_guess(const std::string &text, bool *three_byte)
{
    *three_byte = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char b = byte_at(text, i);
        unsigned char n1 = byte_at(text, i + 1);
        unsigned char n2 = byte_at(text, i + 2);
        if (b == 0x1B && jis_escape_at(text, i))
            return charset_iso_2022_jp;
        if (in(b, 0xE0, 0xEF) && in(n1, 0x80, 0xBF) && in(n2, 0x80, 0xBF)) {
            *three_byte = true;
            return charset_utf8;
        }
        if (in(b, 0x81, 0x9F) && in(n1, 0x40, 0xFC) && n1 != 0x7F)
            return charset_shift_jis;
        if (in(b, 0xA1, 0xDF) && in(n1, 0xA1, 0xFE))
            return charset_euc_jp;
        if (in(b, 0xF0, 0xFE) && (n1 == 0xFD || n1 == 0xFE))
            return charset_euc_jp;
    }
    return charset_utf8;
}

// Decodes each character's code point and checks it against the shortest
// form, the surrogates and U+10FFFF: a different road from the tool's ranges.
static bool reference_utf8(const std::string &text)
{
    for (std::size_t i = 0; i < text.size();) {
        unsigned char b = byte_at(text, i);
        std::size_t length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
        if (length == 0 || b >= 0xF8 || i + length > text.size())
            return false;
        std::uint32_t value = length == 1 ? b : b & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            unsigned char c = byte_at(text, i + k);
            if ((c & 0xC0) != 0x80)
                return false;
            value = value << 6 | (c & 0x3Fu);
        }
        static const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if ((length > 1 && value < shortest[length]) || (value >= 0xD800 && value <= 0xDFFF) ||
            value > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

// A character set's characters as the byte ranges of their forms; no form
// starts with a byte another may start with.
struct byte_range {
    unsigned char low;
    unsigned char high;
};
using character_form = std::vector<std::vector<byte_range>>; // each byte's ranges

static const std::vector<character_form> euc_jp_forms = {
    {{{0x00, 0x7F}}},
    {{{0xA1, 0xFE}}, {{0xA1, 0xFE}}},
    {{{0x8E, 0x8E}}, {{0xA1, 0xDF}}},
    {{{0x8F, 0x8F}}, {{0xA1, 0xFE}}, {{0xA1, 0xFE}}},
};

static const std::vector<character_form> shift_jis_forms = {
    {{{0x00, 0x7F}, {0xA1, 0xDF}}},
    {{{0x81, 0x9F}, {0xE0, 0xFC}}, {{0x40, 0x7E}, {0x80, 0xFC}}},
};

static bool in_ranges(unsigned char b, const std::vector<byte_range> &ranges)
{
    for (const byte_range &r : ranges) {
        if (in(b, r.low, r.high))
            return true;
    }
    return false;
}

// Whether the whole text is a sequence of the set's characters.
static bool made_of(const std::string &text, const std::vector<character_form> &forms)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const character_form *found = nullptr;
        for (const character_form &form : forms) {
            if (in_ranges(byte_at(text, i), form[0]))
                found = &form;
        }
        if (found == nullptr || i + found->size() > text.size())
            return false;
        for (std::size_t k = 1; k < found->size(); ++k) {
            if (!in_ranges(byte_at(text, i + k), (*found)[k]))
                return false;
        }
        i += found->size();
    }
    return true;
}

static int reference_answer(const std::string &text)
{
    bool three_byte = false;
    int code = reference_guess(text, &three_byte);
    bool utf8 = reference_utf8(text);
    if ((code == charset_shift_jis || code == charset_euc_jp) && utf8)
        return charset_utf8;
    if (three_byte && !utf8 && made_of(text, euc_jp_forms))
        return charset_euc_jp;
    if (three_byte && !utf8 && made_of(text, shift_jis_forms))
        return charset_shift_jis;
    return code;
}

// The guess as the driver makes it: the first match, then the look in the
// load, whole and in two parts.
static void require_loaded_guess(const std::string &bytes, int code)
{
    std::vector<unsigned char> padded = padded_copy(bytes);
    charset_id first = first_match_charset(padded.data());
    if (!needs_second_look(first)) {
        require(first == code, "a first match that asks for no look is the answer");
        return;
    }
    for (std::size_t split : {SIZE_MAX, std::size_t{0}}) {
        load_limits limits{.first_match = first, .split_from = split};
        cell_grid grid;
        require(load_table_within(padded.data(), bytes.size(), '\t', true, limits, &grid) ==
                    load_done,
                "loads");
        require(grid.charset_code == code, "the load's look gives the same answer");
    }
}

static int detect_padded(const std::string &bytes)
{
    std::vector<unsigned char> padded = padded_copy(bytes);
    return detect_charset(padded.data());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::string text = bytes.substr(0, bytes.find('\0'));
    // The UTF-8 check's wide-vector way, where the processor has it, and the
    // baseline's.
    for (bool wide : {true, false}) {
        cpu_paths_override paths({.ssse3 = true, .wide = wide});
        int code = detect_padded(bytes);
        require(code >= 1 && code <= 4, "code in 1..4");
        require(detect_padded(text) == code, "bytes after the first NUL do not count");
        require(code == reference_answer(text),
                "the decision table's guess, or UTF-8 for well-formed UTF-8 text, or EUC-JP or "
                "Shift_JIS for a three-byte UTF-8 match in text well-formed in either");
        require_loaded_guess(bytes, code);
    }
    return 0;
}
