#include "output/writers.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace
{

using rows_t = std::vector<std::vector<const char *>>;

struct delimited_case {
    const char *name;
    rows_t rows;
    std::int32_t row_count; // rows passed to the writer
    int delimiter;
    std::string normal;
    std::string replace;
};

const delimited_case delimited_cases[] = {
    {"ragged comes out rectangular",
     {{"a1", "a2", "a3"}, {"b1", nullptr, nullptr}},
     2,
     '\t',
     "a1\ta2\ta3\nb1\t\t\n",
     "a1\tb1\na2\t\na3\t\n"},
    {"empty and absent at the edges", {{"", "x", nullptr}}, 1, '\t', "\tx\t\n", "\nx\n\n"},
    {"empty middle cell", {{"a", "", "b"}}, 1, ',', "a,,b\n", "a\n\nb\n"},
    {"one column", {{"a"}, {"b"}, {"c"}}, 3, '\t', "a\nb\nc\n", "a\tb\tc\n"},
    {"no rows", {{"a", "b", "c"}}, 0, '\t', "", "\n\n\n"},
    {"tab inside comma table", {{"a\tb", "c"}}, 1, ',', "a\tb,c\n", "a\tb\nc\n"},
    {"comma inside tab table", {{"a,b", "c"}}, 1, '\t', "a,b\tc\n", "a,b\nc\n"},
    {"bytes of any charset unchanged",
     {{"\xe3\x81\x82", "\x82\xa0"}, {"\xa4\xa2", "\x1b$B$\"\x1b(B"}},
     2,
     '\t',
     "\xe3\x81\x82\t\x82\xa0\n\xa4\xa2\t\x1b$B$\"\x1b(B\n",
     "\xe3\x81\x82\t\xa4\xa2\n\x82\xa0\t\x1b$B$\"\x1b(B\n"},
};

class delimited_writer : public testing::TestWithParam<delimited_case>
{
};

TEST_P(delimited_writer, writes_both_orientations)
{
    const delimited_case &c = GetParam();
    test_grid t;
    build_grid(&t, c.rows);
    const cell_grid &g = t.grid;
    EXPECT_EQ(written_by([&](std::FILE *f) {
                  write_normal(g.cells, format_delimited, f, g.columns, c.row_count, c.delimiter);
              }),
              c.normal);
    EXPECT_EQ(written_by([&](std::FILE *f) {
                  write_replace(g.cells, format_delimited, f, g.columns, c.row_count, c.delimiter);
              }),
              c.replace);
}

INSTANTIATE_TEST_SUITE_P(all, delimited_writer, testing::ValuesIn(delimited_cases),
                         case_name<delimited_case>);

TEST(writers, negative_counts_write_nothing)
{
    test_grid t;
    build_grid(&t, {{"a"}});
    EXPECT_EQ(written_by([&](std::FILE *f) { write_normal(t.grid.cells, 1, f, 1, -1, '\t'); }), "");
    EXPECT_EQ(written_by([&](std::FILE *f) { write_replace(t.grid.cells, 1, f, -1, 1, '\t'); }),
              "");
}

TEST(writers, unsupported_format_writes_message_and_nothing_to_stream)
{
    test_grid t;
    build_grid(&t, {{"a", "b"}});
    for (int format : {2, -1}) {
        testing::internal::CaptureStderr();
        std::string out =
            written_by([&](std::FILE *f) { write_replace(t.grid.cells, format, f, 2, 1, '\t'); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "NOT support.\n");
        EXPECT_EQ(out, "");
        testing::internal::CaptureStderr();
        out = written_by([&](std::FILE *f) { write_normal(t.grid.cells, format, f, 2, 1, '\t'); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "NOT support.\n");
        EXPECT_EQ(out, "");
    }
}

} // namespace
