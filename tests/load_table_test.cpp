#include "table/cell_grid.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace
{

struct load_case {
    const char *name;
    std::string input;
    char delimiter;
    const char *expected;
};

const load_case load_cases[] = {
    {"two cells", "a,b\n", ',', "1x2 a|b"},
    {"leading delimiter", ",b\n", ',', "1x2 (empty)|b"},
    {"trailing delimiter", "a,\n", ',', "1x2 a|(empty)"},
    {"empty middle cell", "a,,b\n", ',', "1x3 a|(empty)|b"},
    {"delimiter alone", ",\n", ',', "1x2 (empty)|(empty)"},
    {"empty line", "\n", ',', "1x1 (absent)"},
    {"short row padded absent", "a,b\nc\n", ',', "2x2 a|b / c|(absent)"},
    {"empty line before end", "a\n\n", ',', "2x1 a / (absent)"},
    {"only the last row is dropped", "a\n\n\n", ',', "3x1 a / (absent) / (absent)"},
    {"final line without LF counts", "a,b\nc,d,e", ',', "2x3 a|b|(absent) / c|d|e"},
    {"present empty last row stays", "a,b\n,", ',', "2x2 a|b / (empty)|(empty)"},
    {"CR LF", "a,b\r\nc,d\r\n", ',', "2x2 a|b / c|d"},
    {"CR only", "a,b\rc,d\r", ',', "2x2 a|b / c|d"},
    {"CR LF after delimiter", "a,\r\n", ',', "1x2 a|(empty)"},
    {"final lone CR dropped", "a,b\r\n\r", ',', "1x2 a|b"},
    {"CR inside LF file splits", "a,x\na\rb\n", ',', "2x2 a|x / a|b"},
    {"empty buffer", "", ',', "0x1"},
    {"NUL bytes only", std::string("\0\0\0", 3), ',', "0x1"},
    {"tab delimits, comma is text", "a,b\tc\n", '\t', "1x2 a,b|c"},
    {"comma delimits, tab is text", "a\tb,c\n", ',', "1x2 a\tb|c"},
    {"high bytes are text", "\xe3\x81\x82,\x82\xa0\n", ',', "1x2 \xe3\x81\x82|\x82\xa0"},
    // A NUL inside a line starts a further cell: the table is sized for it.
    {"CR splits a line without delimiter", "a\rb\nc\n", ',', "2x2 a|b / c|(absent)"},
    {"NULs widen the table", std::string("x,y\na\0b\0c\n", 10), ',', "2x3 x|y|(absent) / a|b|c"},
    {"NUL right after delimiter", std::string("a,\0b\n", 5), ',', "1x3 a|(empty)|b"},
    {"NUL before leading delimiter", std::string("\0,b", 3), ',', "1x2 (empty)|b"},
    {"NUL in the data", std::string("ab\0cd,e", 7), ',', "1x3 ab|cd|e"},
};

class load_table_cases : public testing::TestWithParam<load_case>
{
};

TEST_P(load_table_cases, builds_expected_grid)
{
    const load_case &c = GetParam();
    std::vector<char> buffer = padded(c.input);
    cell_grid grid;
    ASSERT_TRUE(
        load_table(buffer.data(), c.input.size(), static_cast<unsigned char>(c.delimiter), &grid));
    EXPECT_EQ(render_grid(grid), c.expected);
    // Every present cell lies inside the data or on the zero byte after it.
    for (std::int32_t r = 0; r < grid.rows; ++r) {
        for (std::int32_t col = 0; col < grid.columns; ++col) {
            const char *cell = grid.cells[r][col];
            if (cell == nullptr)
                continue;
            EXPECT_GE(cell, buffer.data());
            EXPECT_LE(cell, buffer.data() + c.input.size());
        }
    }
    std::free(grid.cells);
}

INSTANTIATE_TEST_SUITE_P(all, load_table_cases, testing::ValuesIn(load_cases),
                         case_name<load_case>);

TEST(alloc_cell_table, refuses_counts_below_one_and_unrepresentable_sizes)
{
    EXPECT_EQ(alloc_cell_table(0, 5), nullptr);
    EXPECT_EQ(alloc_cell_table(5, 0), nullptr);
    EXPECT_EQ(alloc_cell_table(-1, 5), nullptr);
    // 2^31 x 2^31 pointers overflow a 64-bit size: refused before any allocation.
    EXPECT_EQ(alloc_cell_table(2147483647, 2147483647), nullptr);
}

TEST(alloc_cell_table, aims_each_row_at_its_own_cells)
{
    char ***cells = alloc_cell_table(3, 4);
    ASSERT_NE(cells, nullptr);
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(cells[r], reinterpret_cast<char **>(cells + 4) + r * 3);
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(cells[r][c], nullptr);
    }
    std::free(cells);
}

} // namespace
