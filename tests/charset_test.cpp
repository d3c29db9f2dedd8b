#include "table/charset.h"
#include "test_support.h"

#include "platform/cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <span>

namespace
{

struct charset_case {
    std::string bytes; // the whole file
    int expected;
};

const charset_case charset_cases[] = {
    {std::string("\0\xa4\xa2", 3), 4},
    {"plain ASCII text, any length", 4},
    {"ab\x1b", 4},
    {"ab\x1b$", 4},
    {"ab\x1b$(", 4},
    {"a\x1b(Bz", 1},
    {"a\x1b(Jz", 1},
    {"a\x1b(Iz", 1},
    {"a\x1b$@z", 1},
    {"a\x1b$Bz", 1},
    {"a\x1b&@z", 1},
    {"a\x1b$(Dz", 1},
    {"\x1b$Aabc", 4},
    {"\x1b(Dabc", 4},
    {"\x1b&Aabc", 4},
    {"\x1b$(Babc", 4},
    {"\x1b\x1b$B", 1},
    {"\xb1", 4},
    {"\xb1xyz", 4},
    {"\xb1\xb1", 3},
    {"\xb1\x82\xa0", 2},
    {"\x80\x40", 4},
    {"\x81\x40", 2},
    {"\x9f\x40", 2},
    {"\x81\xa0", 2},
    {"\xa0\x40", 4},
    {"\xa0\xa1", 4},
    {"\x81\x7e", 2},
    {"\x81\x80", 2},
    {"\x81\xfc", 2},
    {"\x81\x7f", 4},
    {"\x81\x3f", 4},
    {"\x81\xfd", 4},
    {"\xa1\xa1", 3},
    {"\xa1\xfe", 3},
    {"\xdf\xa1\xa1", 3},
    {"\xe0\xa1", 4},
    {"\xa1\xa0", 4},
    {"\xa1\xff", 4},
    {"\xf0\xfd", 3},
    {"\xfe\xfe", 3},
    {"\xf0\xfc", 4},
    {"\xff\xfd", 4},
    {"\xe0\xfd", 4},
    {"\xef\xfe", 4},
    {"\xfe\xfd", 3},
    {"\xe3\x81\x82", 4},
    {"\xe3\x81", 4},
    {"\xe3\x81\xc0", 2},
    {"\xe0\x80\x80\xa4\xa2", 4},
    {"\xed\xa0\x80\xa4\xa2", 4},
    {"\xa4\xa2\xe3\x81\x82", 3},
    {"\xe3\x81\x82\x1b$B", 4},
    {"\x1b$B\xe3\x81\x82", 1},
    {"\x81\x40\xa4\xa2", 2},
    {"\xa4\xa2\x81\x40", 3},
    {"\xc3\xa9", 4},
    {"\xc3\xa0", 4},
    {"\x8e\xb1", 2},
    {"\xf0\x9f\x98\x80", 4},
    {std::string("ab\0\xa4\xa2", 5), 4},
    {std::string("\xa1\0\xa1", 3), 4},
};

class detect_charset_cases : public testing::TestWithParam<charset_case>
{
};

TEST_P(detect_charset_cases, first_match_decides)
{
    std::vector<unsigned char> buffer = padded(GetParam().bytes);
    EXPECT_EQ(detect_charset(buffer.data()), GetParam().expected)
        << testing::PrintToString(GetParam().bytes);
}

std::string hex_name(const testing::TestParamInfo<charset_case> &param)
{
    static const char digits[] = "0123456789abcdef";
    std::string name = "x";
    for (char c : param.param.bytes) {
        auto b = static_cast<unsigned char>(c);
        name += digits[b >> 4];
        name += digits[b & 0x0F];
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(all, detect_charset_cases, testing::ValuesIn(charset_cases), hex_name);

// Text that is well-formed UTF-8 up to its first NUL is never named
// Shift_JIS or EUC-JP; anything else keeps the first match's answer.
struct second_look_case {
    const char *name;
    std::string bytes; // the whole file
    int expected;
};

const second_look_case second_look_cases[] = {
    {"two-byte first character looks euc", "M\xc3\xbcnchen", 4},
    {"cyrillic looks shift jis", "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", 4},
    {"four-byte first character", "\xf0\x9f\x98\x80 ok", 4},
    {"highest code point", "\xc3\xa9\xf4\x8f\xbf\xbf", 4},
    {"lowest and highest two-byte leads", "\xc2\x80\xdf\xbf", 4},
    {"three-byte after two-byte", "\xc3\xa9\xe3\x81\x82", 4},
    {"overlong four-byte form", "\xf0\x8f\xbf\xbf", 2},
    {"overlong two-byte form later", "\xc3\xa9\xc1\x81", 3},
    {"overlong three-byte form later", "\xc3\xa9\xe0\x9f\xbf", 3},
    {"surrogate later", "\xc3\xa9\xed\xa0\x80", 3},
    {"above the last code point", "\xf4\x90\x80\x80", 2},
    {"lead byte above f4", "\xc3\xa9\xf5\x80\x80\x80", 3},
    {"cut at the end of the data", "\xc3\xa9\xc3", 3},
    {"stray continuation byte", "\xc3\xa9\xa9", 3},
    {"escape before utf8 text", "\x1b$B\xc3\xa9", 1},
    {"two-byte character before an escape", "\xc3\xa9\x1b$B", 4},
    {"bytes after a NUL ignored", std::string("\xc3\xa9\0\xff", 4), 4},
    {"shift jis kanji and kana", "\x96\xbc\x91\x4f\x82\xa0", 2},
    {"shift jis half-width katakana", "\xb1\xb2", 3},
    {"euc kanji that start like utf8", "\xcc\xbe\xc1\xb0\xa4\xa2", 3},
    {"euc kana", "\xa4\xa2\xa4\xa4", 3},
};

class detect_charset_second_look : public testing::TestWithParam<second_look_case>
{
};

// The check has a way with wide vectors and the baseline's; both must agree.
template <typename Test> void both_ways(Test test)
{
    for (bool wide : {true, false}) {
        cpu_paths_override paths({.ssse3 = true, .wide = wide});
        SCOPED_TRACE(wide ? "wide vectors" : "baseline");
        test();
    }
}

TEST_P(detect_charset_second_look, well_formed_utf8_wins)
{
    std::vector<unsigned char> buffer = padded(GetParam().bytes);
    both_ways([&] { EXPECT_EQ(detect_charset(buffer.data()), GetParam().expected); });
}

INSTANTIATE_TEST_SUITE_P(all, detect_charset_second_look, testing::ValuesIn(second_look_cases),
                         case_name<second_look_case>);

// A first match on a three-byte UTF-8 character is looked at again when the
// text is not well-formed UTF-8: well-formed EUC-JP gives 3, else
// well-formed Shift_JIS 2, else it stays 4. Any other first match keeps its
// rule.
const second_look_case three_byte_cases[] = {
    {"shift jis kirabiyaka", "\xe0\x8a\x82\xd1\x82\xe2\x82\xa9", 2},
    {"shift jis rin to shite", "\xea\xa3\x82\xc6\x82\xb5\x82\xc4,1\r\n", 2},
    {"shift jis baisen", "\xe0\x84\x90\xf7", 2},
    {"shift jis after ascii and half-width katakana", "id\t\xea\xa2\x8e\x71\t\xb1\xb2", 2},
    {"euc hako no", "\xe4\xa1\xa4\xce", 3},
    {"euc with 8e katakana and 8f kanji", "\xe3\xa1\xa1\xa1\x8e\xb1\x8f\xa1\xa1", 3},
    {"8e before a byte above df is shift jis", "\xe3\xa1\xa1\xa1\x8e\xe0", 2},
    {"8f before one byte is shift jis", "\xe4\xa1\xa4\xa2\x8f\xa1", 2},
    {"utf8 then a pair", "\xe3\x81\x82\xa4\xa2", 2},
    {"utf8 then a half-width katakana and a pair", "\xe3\xbf\xbf\xa4\xa2", 2},
    {"utf8 with a stray latin-1 byte", "\xe3\x81\x82\xe3\x81\x84 caf\xe9 \xe3\x81\x86", 4},
    {"overlong then a lone 80", "\xe0\x80\x80\x80", 4},
    {"shift jis lead cut at the end", "\xe0\x8a\x82\xd1\x82", 4},
    {"shift jis with a byte above fc", "\xe0\x8a\x82\xd1\xfd", 4},
    {"well-formed utf8", "\xe3\x81\x82\xe3\x81\x84", 4},
    {"utf8 and euc at once", "\xe3\xa1\xa1\xe3\xa1\xa1", 4},
    {"bytes after a NUL ignored", std::string("\xe0\x8a\x82\xd1\0\xff", 6), 2},
    {"euc bytes after a NUL ignored", std::string("\xe4\xa1\xa4\xce\0\x8e\xff", 7), 3},
    {"cut character before a NUL", std::string("\xe0\x8a\x82\0\xd1", 5), 4},
    {"shift jis but no three-byte match", "\xe0\xa1", 4},
    {"shift jis pair first", "\x81\x40\xe3\x81\x82\xa4", 2},
};

class detect_charset_three_byte : public testing::TestWithParam<second_look_case>
{
};

TEST_P(detect_charset_three_byte, ill_formed_utf8_looked_at_again)
{
    std::vector<unsigned char> buffer = padded(GetParam().bytes);
    both_ways([&] { EXPECT_EQ(detect_charset(buffer.data()), GetParam().expected); });
}

INSTANTIATE_TEST_SUITE_P(all, detect_charset_three_byte, testing::ValuesIn(three_byte_cases),
                         case_name<second_look_case>);

// Plain ASCII is passed over in blocks: whatever the length of the ASCII in
// front, the first deciding byte still decides, a NUL still ends the scan,
// and a byte that only looks ahead is never passed over.
struct after_ascii_case {
    const char *name;
    std::string tail;
    int expected;
};

const after_ascii_case after_ascii_cases[] = {
    {"euc pair", "\xa4\xa2", 3},
    {"shift jis pair", "\x81\x40", 2},
    {"utf8 sequence then a byte no set has", "\xe3\x81\x82\xff", 4},
    {"utf8 sequence then well-formed shift jis", "\xe3\x81\x82\xa4\xa2", 2},
    {"escape sequence", "\x1b$B", 1},
    {"escape without match then euc", "\x1b$A\xa4\xa2", 3},
    {"NUL hides what follows", std::string("\0\xa4\xa2", 3), 4},
    {"DEL and controls decide nothing", "\x7f\x01\x1a\x1c\xa4\xa2", 3},
    {"lone high byte at the end", "\xa4", 4},
    {"two-byte utf8 then a bad byte", "\xc3\xa9 forty bytes of ASCII text before it: \xff", 3},
    {"two-byte utf8 then a NUL",
     std::string("\xc3\xa9 forty bytes of ASCII text before it:\0\xff", 41), 4},
    {"four-byte character cut before a block of ASCII",
     "\xc3\xa9\xf0\x9f\x98" + std::string(70, 'a'), 3},
    {"three-byte character cut before a block of ASCII", "\xc3\xa9\xe3\x81" + std::string(70, 'a'),
     3},
    {"two-byte character cut before a block of ASCII", "\xc3\xa9\xc3" + std::string(70, 'a'), 3},
};

class detect_charset_after_ascii : public testing::TestWithParam<after_ascii_case>
{
};

TEST_P(detect_charset_after_ascii, any_run_of_ascii_in_front)
{
    both_ways([] {
        for (std::size_t run = 0; run <= 70; ++run) {
            std::string ascii;
            for (std::size_t i = 0; i < run; ++i)
                ascii += static_cast<char>(' ' + i % 90);
            std::vector<unsigned char> buffer = padded(ascii + GetParam().tail);
            EXPECT_EQ(detect_charset(buffer.data()), GetParam().expected)
                << "after " << run << " ASCII bytes";
        }
    });
}

INSTANTIATE_TEST_SUITE_P(all, detect_charset_after_ascii, testing::ValuesIn(after_ascii_cases),
                         case_name<after_ascii_case>);

// RFC 3629 a character at a time, up to the first NUL: the model the block
// checks must agree with.
bool utf8_by_characters(const std::string &text)
{
    std::size_t end = std::min(text.find('\0'), text.size());
    for (std::size_t i = 0; i < end;) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80   ? 1
                             : lead < 0xC2 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
        unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        if (length == 0 || end - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
                return false;
        }
        i += length;
    }
    return true;
}

// Up to 59 steps, each a run of ASCII long enough to fill blocks, now and
// then a stray byte, else one of pieces.
static std::string random_text(std::mt19937 &random, std::span<const char *const> pieces,
                               std::span<const unsigned char> strays)
{
    std::string text;
    for (std::size_t i = random() % 60; i > 0; --i) {
        if (random() % 4 == 0)
            text.append(random() % 70, 'a');
        else if (random() % 30 == 0)
            text += static_cast<char>(strays[random() % strays.size()]);
        else
            text += pieces[random() % pieces.size()];
    }
    return text;
}

// Texts of whole characters at the edges of each range, stray bytes of
// every kind and runs of ASCII long enough to fill blocks, checked in calls
// of one to three blocks so that characters are cut between calls too.
TEST(utf8_check_random, agrees_with_a_character_at_a_time)
{
    const char *pieces[] = {"\xc2\x80",         "\xdf\xbf",     "\xe0\xa0\x80",
                            "\xed\x9f\xbf",     "\xef\xbf\xbf", "\xf0\x90\x80\x80",
                            "\xf4\x8f\xbf\xbf", "\xe3\x81\x82", "\t"};
    const unsigned char strays[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                    0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFF, 0x00, 0x7F};
    std::mt19937 random(1357);
    int well_formed = 0;
    for (int n = 0; n < 4000; ++n) {
        std::string text = random_text(random, pieces, strays);
        bool want = utf8_by_characters(text);
        well_formed += want;
        std::vector<unsigned char> buffer = padded(text);
        both_ways([&] {
            ASSERT_EQ(well_formed_utf8(buffer.data()), want) << testing::PrintToString(text);
            utf8_check check;
            for (const unsigned char *p = buffer.data(); !check.failed && !check.ended;) {
                std::size_t count = 1 + random() % 3;
                check_utf8_blocks(&check, p, count);
                p += count * 64;
            }
            ASSERT_EQ(!check.failed, want) << "in calls, " << testing::PrintToString(text);
        });
    }
    EXPECT_GT(well_formed, 1000);
    EXPECT_LT(well_formed, 3000);
}

// The two sets a character at a time, up to the first NUL: the models the
// block checks must agree with.
bool pairs_by_characters(const std::string &text, bool euc)
{
    std::size_t end = std::min(text.find('\0'), text.size());
    auto at = [&](std::size_t i) { return i < end ? static_cast<unsigned char>(text[i]) : 0u; };
    auto in = [](unsigned b, unsigned low, unsigned high) { return b >= low && b <= high; };
    for (std::size_t i = 0; i < end;) {
        unsigned b = at(i);
        std::size_t length = 0;
        if (b < 0x80)
            length = 1;
        else if (euc && in(b, 0xA1, 0xFE))
            length = in(at(i + 1), 0xA1, 0xFE) ? 2 : 0;
        else if (euc && b == 0x8E)
            length = in(at(i + 1), 0xA1, 0xDF) ? 2 : 0;
        else if (euc && b == 0x8F)
            length = in(at(i + 1), 0xA1, 0xFE) && in(at(i + 2), 0xA1, 0xFE) ? 3 : 0;
        else if (!euc && in(b, 0xA1, 0xDF))
            length = 1;
        else if (!euc && (in(b, 0x81, 0x9F) || in(b, 0xE0, 0xFC)))
            length = in(at(i + 1), 0x40, 0x7E) || in(at(i + 1), 0x80, 0xFC) ? 2 : 0;
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// Characters of both sets at the edges of their ranges, strays of every
// kind and runs of ASCII, looked at in calls of one to three blocks so that
// characters are cut between calls too.
TEST(pair_checks_random, agree_with_a_character_at_a_time)
{
    // Half of the texts are made of the pieces from euc_pieces on, which
    // EUC-JP allows.
    const char *pieces[] = {"\x81\x40", "\x9f\x7e", "\xe0\x80",     "\xfc\xfc", "\x88\x9f",
                            "\xa1",     "\xdf",     "\xe0\xe0",     "\xa1\xa1", "\xfe\xfe",
                            "\x8e\xa1", "\x8e\xdf", "\x8f\xa1\xfe", "\xb0\xa4", "\t"};
    const std::size_t euc_pieces = 7;
    const unsigned char strays[] = {0x80, 0xA0, 0xFD, 0xFE, 0xFF, 0x7F, 0x3F, 0x8E,
                                    0x8F, 0xE0, 0x81, 0xA1, 0x00, 0x40, 0xE0, 0xDF};
    std::mt19937 random(8642);
    int counts[2] = {};
    for (int n = 0; n < 6000; ++n) {
        std::string text =
            random_text(random, std::span(pieces).subspan(n % 2 == 0 ? euc_pieces : 0), strays);
        bool euc = pairs_by_characters(text, true);
        bool shift_jis = pairs_by_characters(text, false);
        counts[0] += euc;
        counts[1] += shift_jis;
        std::vector<unsigned char> buffer = padded(text);
        both_ways([&] {
            second_look look = start_second_look(charset_three_byte_utf8);
            for (const unsigned char *p = buffer.data(); !look.pairs_ended;) {
                std::size_t count = 1 + random() % 3;
                look_at_blocks(&look, p, count);
                p += count * 64;
                if (look.euc_jp.ruled_out && look.shift_jis.ruled_out)
                    break;
            }
            text_forms forms = forms_seen(look);
            ASSERT_EQ(forms.euc_jp, euc) << testing::PrintToString(text);
            ASSERT_EQ(forms.shift_jis, shift_jis) << testing::PrintToString(text);
        });
    }
    EXPECT_GT(counts[0], 500);
    EXPECT_GT(counts[1], 500);
    EXPECT_LT(counts[0], 5500);
    EXPECT_LT(counts[1], 5500);
}

// Every byte before every byte, also across the middle of a block.
TEST(pair_checks_every_pair, agree_with_a_character_at_a_time)
{
    both_ways([] {
        for (std::size_t in_front : {std::size_t{0}, std::size_t{31}}) {
            for (unsigned pair = 0; pair < 0x10000; ++pair) {
                std::string text(in_front, 'a');
                text += static_cast<char>(pair >> 8);
                text += static_cast<char>(pair & 0xFF);
                std::vector<unsigned char> buffer = padded(text);
                second_look look = start_second_look(charset_three_byte_utf8);
                look_at_blocks(&look, buffer.data(), 1);
                text_forms forms = forms_seen(look);
                ASSERT_EQ(forms.euc_jp, pairs_by_characters(text, true)) << pair;
                ASSERT_EQ(forms.shift_jis, pairs_by_characters(text, false)) << pair;
            }
        }
    });
}

} // namespace
