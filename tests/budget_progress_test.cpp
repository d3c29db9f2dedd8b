#include "driver/memory_budget.h"
#include "driver/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(parse_size, takes_digits_and_a_binary_suffix_and_nothing_else)
{
    struct size_case {
        const char *text;
        bool valid;
        std::uint64_t bytes;
    } cases[] = {
        {"256M", true, 256ull << 20},
        {"4G", true, 4ull << 30},
        {"4g", true, 4ull << 30},
        {"1000", true, 1000},
        {"3k", true, 3072},
        {"2T", true, 2ull << 40},
        {"16777215T", true, 16777215ull << 40},
        {"16777216T", false, 0}, // 2^64: one past the largest
        {"18446744073709551616", false, 0},
        {"0", false, 0},
        {"", false, 0},
        {"M", false, 0},
        {"64MB", false, 0},
        {"1.5G", false, 0},
        {" 64M", false, 0},
        {"-64M", false, 0},
    };
    for (const size_case &c : cases) {
        std::uint64_t bytes = 0;
        EXPECT_EQ(parse_size(c.text, &bytes), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

TEST(format_progress, names_the_file_and_tells_percent_bytes_rate_and_time_left)
{
    struct line_case {
        progress_figures at;
        const char *expected;
    } cases[] = {
        {{512ull << 20, 2048ull << 20, 0, 0, 2},
         "t.txt  25%  512.0 MiB of 2.0 GiB  256.0 MiB/s  0:06 left"},
        {{100, 1000, 0, 0, 0.5}, "t.txt  10%  100 B of 1000 B  200 B/s  0:04 left"},
        // An estimate that fell short never shows 100% before the end.
        {{3000, 1000, 0, 0, 1}, "t.txt  99%  2.9 KiB of 2.9 KiB  2.9 KiB/s  0:00 left"},
        {{0, 1000, 0, 0, 0}, "t.txt  0%  0 B of 1000 B  0 B/s  0:00 left"},
        {{600ull << 20, 700ull << 20, 0, 0, 60},
         "t.txt  85%  600.0 MiB of 700.0 MiB  10.0 MiB/s  0:10 left"},
        {{1000, 1000, 0, 0, 2}, "t.txt  100%  1000 B of 1000 B  500 B/s  0:00 left"},
        // The result's size known, the input taken in is not what is told.
        {{1000, 4000, 3000, 3000, 2}, "t.txt  25%  1000 B of 3.9 KiB  500 B/s  0:06 left"},
        // A result's size not known in advance: the share is of the input
        // taken in, and says so; the time left at the pace it was taken.
        {{1024, 0, 1000, 4000, 2}, "t.txt  25% of input  1.0 KiB written  512 B/s  0:06 left"},
        {{3ull << 30, 0, 1ull << 30, 3ull << 30, 100},
         "t.txt  33% of input  3.0 GiB written  30.7 MiB/s  3:20 left"},
        {{0, 0, 0, 4000, 0}, "t.txt  0% of input  0 B written  0 B/s  0:00 left"},
        {{5000, 0, 4000, 4000, 2}, "t.txt  100% of input  4.9 KiB written  2.4 KiB/s  0:00 left"},
        {{5000, 0, 4001, 4000, 2}, "t.txt  99% of input  4.9 KiB written  2.4 KiB/s  0:00 left"},
        // Neither known (an empty table): no share is claimed.
        {{1024, 0, 0, 0, 2}, "t.txt  1.0 KiB written  512 B/s"},
    };
    for (const line_case &c : cases) {
        char line[160];
        std::size_t length = format_progress(line, sizeof line, "t.txt", c.at);
        EXPECT_EQ(std::string(line, length), c.expected);
    }
}

// A name wider than its room keeps its last whole characters behind "...":
// a wide character takes two columns and is never cut in two; a name that is
// not UTF-8 is cut between bytes.
TEST(fit_name, keeps_the_end_in_whole_characters)
{
    struct name_case {
        const char *name;
        std::size_t columns;
        const char *shown;
        std::size_t shown_columns;
    } cases[] = {
        {"a.txt", 10, "a.txt", 5},
        {"a.txt", 5, "a.txt", 5},
        {"abcdef.txt", 8, "...f.txt", 8},
        {"\xe3\x81\x82\xe3\x81\x82\xe3\x81\x82\xe3\x81\x82\xe5\xa3\xb2.txt", 10,
         "...\xe5\xa3\xb2.txt", 9},
        {"\xe3\x81\x82\xe3\x81\x82.txt", 7, "....txt", 7},
        {"\xe3\x81\x82\xe3\x81\x82\xe3\x81\x82", 5, "...\xe3\x81\x82", 5},
        {"\x94\x84\x8f\xe3.txt", 6, "...txt", 6},
        {"\x94\x84\x8f\xe3.txt", 8, "\x94\x84\x8f\xe3.txt", 8},
        {"\xc3\xa9t\xc3\xa9.csv", 6, "...csv", 6},
        {"abcdef", 2, "ef", 2},
        {"\xe3\x81\x82\xe3\x81\x82", 3, "\xe3\x81\x82", 2},
    };
    for (const name_case &c : cases) {
        char shown[64];
        std::size_t columns = 0;
        std::size_t length = fit_name(shown, sizeof shown, c.name, c.columns, &columns);
        EXPECT_EQ(std::string(shown, length), c.shown) << c.name << " in " << c.columns;
        EXPECT_EQ(columns, c.shown_columns) << c.name << " in " << c.columns;
    }
}

} // namespace
