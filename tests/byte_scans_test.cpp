#include "output/page_escapes.h"
#include "table/byte_scans.h"
#include "table/utf16_kernels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

// The words' tests against the byte-at-a-time answer, with each byte value
// at each place of a word whose other bytes sit where a carry or borrow
// would mark them wrongly: next to the value, zero, 0x80, 0xFF.
static std::uint64_t marks_of(const unsigned char (&bytes)[8], bool (*pass)(unsigned char, int),
                              int value)
{
    std::uint64_t marks = 0;
    for (std::size_t i = 0; i < 8; ++i)
        marks |= pass(bytes[i], value) ? std::uint64_t{0x80} << (8 * i) : 0;
    return marks;
}

TEST(byte_words, tests_mark_exactly_the_bytes_that_pass_with_any_neighbours)
{
    struct word_test {
        const char *name;
        bool (*pass)(unsigned char, int);
        std::uint64_t (*marks)(std::uint64_t, int);
        int first;
        int last;
    };
    const word_test tests[] = {
        {"equal", [](unsigned char b, int v) { return b == v; },
         [](std::uint64_t w, int v) { return bytes_equal(w, static_cast<unsigned char>(v)); }, 0,
         255},
        {"equal in shared parts", [](unsigned char b, int v) { return b == v; },
         [](std::uint64_t w, int v) {
             auto b = static_cast<unsigned char>(v);
             return low_bits_equal(w & word_low7, tops_as(w, b), b);
         },
         0, 255},
        {"below", [](unsigned char b, int v) { return b < v; },
         [](std::uint64_t w, int v) { return bytes_below(w, static_cast<unsigned>(v)); }, 1, 255},
        {"in 0x80..v", [](unsigned char b, int v) { return b >= 0x80 && b <= v; },
         [](std::uint64_t w, int v) { return bytes_in(w, 0x80, static_cast<unsigned char>(v)); },
         0x80, 255},
        {"in v..0x3F", [](unsigned char b, int v) { return b >= v && b <= 0x3F; },
         [](std::uint64_t w, int v) { return bytes_in(w, static_cast<unsigned char>(v), 0x3F); }, 0,
         0x3F},
    };
    for (const word_test &t : tests) {
        for (int value = t.first; value <= t.last; ++value) {
            const int neighbours[] = {
                0x00, 0x80, 0xFF, value, (value + 1) & 0xFF, (value + 255) & 0xFF};
            for (int byte = 0; byte < 256; ++byte) {
                for (int around : neighbours) {
                    for (std::size_t at = 0; at < 8; ++at) {
                        unsigned char bytes[8];
                        std::memset(bytes, around, sizeof bytes);
                        bytes[at] = static_cast<unsigned char>(byte);
                        std::uint64_t got = t.marks(load_word(bytes), value);
                        ASSERT_EQ(got, marks_of(bytes, t.pass, value))
                            << t.name << " " << value << ": byte " << byte << " at " << at
                            << " among " << around;
                    }
                }
            }
        }
    }
}

// A word is read as its bytes lie in memory, whatever the processor's byte
// order, and its marks give back their places.
TEST(byte_words, places_follow_memory_order)
{
    const unsigned char bytes[8] = {'a', '\t', 'b', 'c', '\t', '\n', 'd', '\t'};
    std::uint64_t w = load_word(bytes);
    EXPECT_EQ(marked_bits(bytes_equal(w, '\t')), 0b10010010u);
    EXPECT_EQ(first_marked(bytes_equal(w, '\n')), 5u);
    EXPECT_EQ(first_marked(bytes_equal(w, '\t')), 1u);
    unsigned char back[8] = {};
    store_word(back, w);
    EXPECT_EQ(std::memcmp(back, bytes, 8), 0);
}

// Every block primitive of the build (SSE2, NEON or the words) against the
// byte-at-a-time answer, on blocks that hold each class's bytes at the
// edges of words and vectors and beside bytes with the top bit set.
struct block_case {
    const char *name;
    std::string bytes; // repeated to fill the 64 bytes, and 16 of padding
};

static const block_case block_cases[] = {
    {"plain text", "abcdefghijklmnopqrstuvwxyz0123456789"},
    {"cells", "ab\tc\t\tdef\n"},
    {"ends at word edges", "1234567\t1234567\n1234567\r1234567" + std::string(1, '\0')},
    {"ends beside high bytes", "\x80\t\x80\n\xff\r\xff" + std::string(1, '\0') + "\x7f\t\x81"},
    {"zero below a match", std::string("\0\n\0\t", 4) + "\x01\n\x0b\t"},
    {"page specials", "a b\"c&d<e>f\x1bg$h=i;j'k!l#m%n(o?p"},
    {"near the specials", "\x1a\x1c\x1f!#$%'()\x3b\x3d\x3f\x9b\xa0\xa2\xa6\xbc\xbe"},
    {"utf8", "\xc3\xa9t\xc3\xa9\t\xe3\x81\x82\n\xf0\x9f\x98\x80\xbf\xc0\xdf\xe0"},
    {"all high", "\x80\x81\xbf\xc0\xc1\xc2\xdf\xe0\xef\xf0\xf4\xf5\xfe\xff"},
};

static std::string filled(const std::string &pattern, std::size_t shift)
{
    std::string block;
    for (std::size_t i = 0; block.size() < scan_block + copy_block; ++i)
        block += pattern[(i + shift) % pattern.size()];
    return block;
}

static std::uint64_t expected_mask(const unsigned char *p, bool (*pass)(unsigned char))
{
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < scan_block; ++i)
        mask |= pass(p[i]) ? std::uint64_t{1} << i : 0;
    return mask;
}

static bool is_page_special(unsigned char b)
{
    return b == 0x1B || b == 0x20 || b == 0x22 || b == 0x26 || b == 0x3C || b == 0x3E;
}

static std::size_t expected_first(const unsigned char *p, bool (*stop)(unsigned char))
{
    std::size_t n = 0;
    while (n < copy_block && !stop(p[n]))
        ++n;
    return n;
}

TEST(byte_scans, block_primitives_agree_with_each_byte)
{
    for (const block_case &c : block_cases) {
        for (std::size_t shift = 0; shift < c.bytes.size(); ++shift) {
            std::string block = filled(c.bytes, shift);
            auto p = reinterpret_cast<const unsigned char *>(block.data());
            SCOPED_TRACE(std::string(c.name) + ", shifted by " + std::to_string(shift));
            block_classes k = classify_block(p, '\t');
            EXPECT_EQ(k.lf, expected_mask(p, [](unsigned char b) { return b == 0x0A; }));
            EXPECT_EQ(k.cr, expected_mask(p, [](unsigned char b) { return b == 0x0D; }));
            EXPECT_EQ(k.nul, expected_mask(p, [](unsigned char b) { return b == 0x00; }));
            EXPECT_EQ(k.delimiter, expected_mask(p, [](unsigned char b) { return b == '\t'; }));
            EXPECT_EQ(stop_mask(p, '\t'),
                      expected_mask(p, [](unsigned char b) { return b == '\t' || b == '\n'; }));
            EXPECT_EQ(continuation_mask(p),
                      expected_mask(p, [](unsigned char b) { return b >= 0x80 && b <= 0xBF; }));
            EXPECT_EQ(html_special_mask(p), expected_mask(p, is_page_special));
            form_classes forms = classify_form_block(p);
            EXPECT_EQ(forms.cont,
                      expected_mask(p, [](unsigned char b) { return b >= 0x80 && b <= 0xBF; }));
            EXPECT_EQ(forms.lead2,
                      expected_mask(p, [](unsigned char b) { return b >= 0xC0 && b <= 0xDF; }));
            EXPECT_EQ(forms.lead3,
                      expected_mask(p, [](unsigned char b) { return b >= 0xE0 && b <= 0xEF; }));
            EXPECT_EQ(forms.other, expected_mask(p, [](unsigned char b) { return b >= 0xF0; }));

            auto ends = [](unsigned char b) {
                return b == 0 || b == '\n' || b == '\r' || b == '\t';
            };
            char out[copy_block] = {};
            std::size_t copied = copy_cell_block(out, p, '\t');
            EXPECT_EQ(copied, expected_first(p, ends));
            EXPECT_EQ(std::memcmp(out, p, copied), 0);
            EXPECT_EQ(html_plain_block(p, '\t'), expected_first(p, [](unsigned char b) {
                          return b == 0 || b == '\n' || b == '\r' || b == '\t' || b == 0x1B ||
                                 is_page_special(b);
                      }));
            bool plain = expected_first(p, [](unsigned char b) {
                             return b == 0 || b == 0x1B || b >= 0x80;
                         }) == copy_block;
            EXPECT_EQ(plain_ascii_block(p), plain);
        }
    }
}
