#include "platform/cpu.h"
#include "table/cell_grid.h"
#include "table/input_file.h"
#include "table/utf16.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

struct order_case {
    const char *name;
    std::string bytes; // the whole file
    int expected;
};

const order_case order_cases[] = {
    {"empty", "", utf16_none},
    {"little mark alone", "\xff\xfe", utf16_little},
    {"big mark alone", "\xfe\xff", utf16_big},
    {"little mark and a unit",
     std::string("\xff\xfe"
                 "a\0",
                 4),
     utf16_little},
    {"odd size after a mark",
     "\xff\xfe"
     "a",
     utf16_none},
    {"one byte", "\xff", utf16_none},
    {"utf32 little mark", std::string("\xff\xfe\0\0a\0\0\0", 8), utf16_none},
    {"little mark then a NUL unit", std::string("\xff\xfe\0\0", 4), utf16_none},
    {"little mark then a NUL byte", std::string("\xff\xfe\0a", 4), utf16_little},
    {"no mark", std::string("a\0b\0", 4), utf16_none},
    {"utf8 mark",
     "\xef\xbb\xbf"
     "a",
     utf16_none},
};

class utf16_order_cases : public testing::TestWithParam<order_case>
{
};

TEST_P(utf16_order_cases, mark_and_even_size_decide)
{
    const std::string &bytes = GetParam().bytes;
    EXPECT_EQ(utf16_order(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(all, utf16_order_cases, testing::ValuesIn(order_cases),
                         case_name<order_case>);

std::string file_of(const std::u16string &units, unit_order order)
{
    std::string bytes = order == utf16_big ? "\xfe\xff" : "\xff\xfe";
    for (char16_t unit : units) {
        char high = static_cast<char>(unit >> 8);
        char low = static_cast<char>(unit & 0xFF);
        bytes += order == utf16_big ? high : low;
        bytes += order == utf16_big ? low : high;
    }
    return bytes;
}

// The internal form, checked to end in input_padding zeros and to come out
// the same when the text is decoded in two halves on two threads, without
// the SSSE3 runs, and in stretches of 17 units.
std::string decoded(const std::string &file, unit_order order)
{
    std::string forms[5];
    for (int way = 0; way < 5; ++way) {
        decode_settings settings;
        settings.split_from = way % 2 == 0 ? SIZE_MAX : 0;
        cpu_paths_override paths({.ssse3 = way < 2 || way == 4, .wide = true});
        if (way == 4)
            settings.stretch = 34;
        input_data internal;
        EXPECT_TRUE(decode_utf16(reinterpret_cast<const unsigned char *>(file.data()), file.size(),
                                 order, &internal, settings));
        const char *bytes = reinterpret_cast<const char *>(internal.bytes);
        forms[way].assign(bytes, internal.length);
        EXPECT_EQ(std::string(bytes + internal.length, input_padding),
                  std::string(input_padding, '\0'));
        release_input(&internal);
    }
    for (int way = 1; way < 5; ++way)
        EXPECT_EQ(forms[way], forms[0])
            << (way % 2 == 1 ? "in two halves" : "")
            << (way == 2 || way == 3 ? " without SSSE3" : "") << (way == 4 ? " in stretches" : "");
    return forms[0];
}

// The file that the internal form encodes to, fed to the encoder in blocks
// of at most block bytes; the same with and without the SSSE3 runs.
std::string encoded(const std::string &internal, unit_order order, std::size_t block)
{
    std::string files[2];
    for (int way = 0; way < 2; ++way) {
        cpu_paths_override paths({.ssse3 = way == 0, .wide = true});
        files[way] = order == utf16_big ? "\xfe\xff" : "\xff\xfe";
        utf16_encoder encoder;
        encoder.order = order;
        for (std::size_t at = 0; at < internal.size(); at += block) {
            std::string part = internal.substr(at, block);
            std::vector<unsigned char> out(2 * part.size() + 1);
            std::size_t n =
                encode_utf16(&encoder, reinterpret_cast<const unsigned char *>(part.data()),
                             part.size(), out.data());
            EXPECT_LE(n, 2 * part.size());
            files[way].append(reinterpret_cast<const char *>(out.data()), n);
        }
    }
    EXPECT_EQ(files[1], files[0]) << "without the SSSE3 runs";
    return files[0];
}

struct unit_case {
    const char *name;
    std::u16string units;
    std::string internal;
};

const std::u16string ascii_run = u"0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ";

const unit_case unit_cases[] = {
    {"splitting units are single bytes", std::u16string(u"\t\n\r,\0", 5),
     std::string("\t\n\r,\0", 5)},
    {"ascii as itself", u"a<&\"> '", "a<&\"> '"},
    {"two-byte forms", u"\u0080\u00e9\u07ff", "\xc2\x80\xc3\xa9\xdf\xbf"},
    {"three-byte forms", u"\u0800\u3042\uffff", "\xe0\xa0\x80\xe3\x81\x82\xef\xbf\xbf"},
    {"surrogate pair kept as two units", u"\U0001F600", "\xed\xa0\xbd\xed\xb8\x80"},
    {"unpaired surrogates", std::u16string{0xDC00, u'a', 0xD800},
     "\xed\xb0\x80"
     "a\xed\xa0\x80"},
    {"units that hold split bytes", u"\u0909\u0a0a\u2c2c\u0d00",
     "\xe0\xa4\x89\xe0\xa8\x8a\xe2\xb0\xac\xe0\xb4\x80"},
    {"non-ascii after a vector block", ascii_run + u"\u00e9" + ascii_run,
     "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ\xc3\xa9"
     "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ"},
};

class utf16_units : public testing::TestWithParam<unit_case>
{
};

TEST_P(utf16_units, decode_and_encode_back_in_any_blocks)
{
    for (unit_order order : {utf16_little, utf16_big}) {
        std::string file = file_of(GetParam().units, order);
        std::string internal = decoded(file, order);
        EXPECT_EQ(internal, GetParam().internal) << "order " << order;
        for (std::size_t block : {1u, 2u, 3u, 16u, 17u, 1000u})
            EXPECT_EQ(encoded(internal, order, block), file)
                << "order " << order << ", block " << block;
    }
}

INSTANTIATE_TEST_SUITE_P(all, utf16_units, testing::ValuesIn(unit_cases), case_name<unit_case>);

// Every unit, in both orders: each splitting byte stands only where its own
// unit stood, and the whole comes back unchanged.
TEST(utf16_every_unit, splits_only_at_its_own_units_and_round_trips)
{
    std::u16string units;
    for (unsigned u = 0; u <= 0xFFFF; ++u)
        units += static_cast<char16_t>(u);
    for (unit_order order : {utf16_little, utf16_big}) {
        std::string file = file_of(units, order);
        std::string internal = decoded(file, order);
        for (char split : {'\0', '\t', '\n', '\r', ','})
            EXPECT_EQ(std::count(internal.begin(), internal.end(), split), 1) << int{split};
        EXPECT_EQ(encoded(internal, order, 4096), file);
    }
}

// The internal form of one unit, byte by byte, as the header states it.
std::string form_of(char16_t unit)
{
    if (unit < 0x80)
        return std::string(1, static_cast<char>(unit));
    if (unit < 0x800)
        return {static_cast<char>(0xC0 | unit >> 6), static_cast<char>(0x80 | (unit & 0x3F))};
    return {static_cast<char>(0xE0 | unit >> 12), static_cast<char>(0x80 | (unit >> 6 & 0x3F)),
            static_cast<char>(0x80 | (unit & 0x3F))};
}

// Units drawn at random from ranges, so that the vector steps meet every mix
// of one-, two- and three-byte forms in every position.
struct mix_case {
    const char *name;
    std::vector<std::pair<char16_t, char16_t>> ranges;
};

const mix_case mix_cases[] = {
    {"ascii and two-byte", {{0x01, 0x7F}, {0x80, 0x7FF}}},
    {"mostly ascii, some two-byte", {{0x20, 0x7E}, {0x20, 0x7E}, {0x20, 0x7E}, {0xC0, 0x17F}}},
    {"ascii and three-byte", {{0x00, 0x7F}, {0x800, 0xFFFF}}},
    {"all three and surrogates", {{0x00, 0x7F}, {0x80, 0x7FF}, {0x800, 0xFFFF}, {0xD800, 0xDFFF}}},
};

class utf16_mixes : public testing::TestWithParam<mix_case>
{
};

TEST_P(utf16_mixes, decode_and_encode_back_in_any_blocks)
{
    std::mt19937 random(7);
    const auto &ranges = GetParam().ranges;
    std::u16string units;
    std::string form;
    for (int i = 0; i < 3000; ++i) {
        auto [low, high] = ranges[random() % ranges.size()];
        auto unit = static_cast<char16_t>(low + random() % (high - low + 1u));
        units += unit;
        form += form_of(unit);
    }
    for (unit_order order : {utf16_little, utf16_big}) {
        std::string file = file_of(units, order);
        std::string internal = decoded(file, order);
        EXPECT_EQ(internal, form) << "order " << order;
        for (std::size_t block : {5u, 64u, 4096u})
            EXPECT_EQ(encoded(internal, order, block), file)
                << "order " << order << ", block " << block;
    }
}

INSTANTIATE_TEST_SUITE_P(all, utf16_mixes, testing::ValuesIn(mix_cases), case_name<mix_case>);

// Bytes the decoder never writes still come out as units, never as more
// than two bytes each.
TEST(utf16_encoder_input, stray_continuation_and_cut_sequence)
{
    EXPECT_EQ(encoded("\x85", utf16_little, 10), std::string("\xff\xfe\x85\0", 4));
    EXPECT_EQ(encoded("\xe3\x81"
                      "a",
                      utf16_big, 10),
              std::string("\xfe\xff\0a", 4));
    EXPECT_EQ(encoded("\xc3", utf16_little, 10), "\xff\xfe");
    // In long blocks, taken in wider steps, the same units as byte by byte,
    // in text of one- and two-byte forms and in text with three-byte ones.
    std::string short_forms;
    std::string long_forms;
    for (int i = 0; i < 40; ++i) {
        short_forms += "ab\xc3\xa9\xd0\xb6 cd";
        long_forms += "ab\xc3\xa9\xe3\x81\x82 cd";
    }
    std::string cut_lead = std::string(14, 'a') + "\xc3\xc3\xa9" + std::string(80, 'b');
    EXPECT_EQ(encoded(cut_lead, utf16_big, cut_lead.size()), encoded(cut_lead, utf16_big, 1));
    for (const std::string &base : {short_forms, long_forms}) {
        for (const char *odd : {"\x85", "\xe3\x81", "\xc3", "\xf5\x80", "\xc3\xa9\xa9"}) {
            for (std::size_t at = 0; at < 140; ++at) {
                std::string text = base;
                text.insert(at, odd);
                EXPECT_EQ(encoded(text, utf16_big, text.size()), encoded(text, utf16_big, 1))
                    << testing::PrintToString(odd) << " at " << at;
            }
        }
    }
}

} // namespace
