#include "output/writers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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

// Straight from the format: entries joined by the delimiter, absent cells
// empty, LF after every line.
std::string model_delimited(const rows_t &rows, std::int32_t columns, bool transposed,
                            char delimiter)
{
    auto count = static_cast<std::int32_t>(rows.size());
    std::int32_t lines = transposed ? columns : count;
    std::int32_t entries = transposed ? count : columns;
    std::string out;
    for (std::int32_t i = 0; i < lines; ++i) {
        for (std::int32_t j = 0; j < entries; ++j) {
            const char *cell = transposed
                                   ? rows[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)]
                                   : rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
            if (cell != nullptr)
                out += cell;
            if (j < entries - 1)
                out += delimiter;
        }
        out += '\n';
    }
    return out;
}

// Tables whose cells cross the 16-byte copy blocks, whose results cross the
// output block's flushes, and whose row counts take both transposed paths:
// gathered references (few rows, columns not a multiple of eight) and the
// direct walk down the grid (more rows than the gather holds).
struct generated_case {
    const char *name;
    std::int32_t rows;
    std::int32_t columns;
    std::size_t longest; // cell lengths 0 to longest
    unsigned seed;
};

const generated_case generated_cases[] = {
    {"one cell per length", 1, 1, 0, 1},
    {"cells crossing copy blocks", 7, 9, 70, 2},
    {"wide grid gathered", 40, 1003, 20, 3},
    {"column count not a multiple of eight", 100, 13, 40, 4},
    {"tall grid past the gather", 20000, 3, 12, 5},
    {"long cells past the output block", 3, 4, 100000, 6},
};

class delimited_generated : public testing::TestWithParam<generated_case>
{
};

TEST_P(delimited_generated, matches_the_format_in_both_orientations)
{
    const generated_case &g = GetParam();
    std::mt19937 random(g.seed);
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(g.rows * g.columns));
    rows_t rows(static_cast<std::size_t>(g.rows));
    for (auto &row : rows) {
        for (std::int32_t c = 0; c < g.columns; ++c) {
            if (random() % 8 == 0) {
                row.push_back(nullptr);
                continue;
            }
            std::size_t length = random() % (g.longest + 1);
            std::string text;
            for (std::size_t k = 0; k < length; ++k)
                text += static_cast<char>('!' + random() % 90);
            texts.push_back(text);
            row.push_back(texts.back().c_str());
        }
    }
    test_grid t;
    build_grid(&t, rows);
    for (char delimiter : {'\t', ','}) {
        EXPECT_EQ(written_by([&](std::FILE *f) {
                      write_normal(t.grid.cells, format_delimited, f, g.columns, g.rows, delimiter);
                  }),
                  model_delimited(rows, g.columns, false, delimiter));
        EXPECT_EQ(written_by([&](std::FILE *f) {
                      write_replace(t.grid.cells, format_delimited, f, g.columns, g.rows,
                                    delimiter);
                  }),
                  model_delimited(rows, g.columns, true, delimiter));
    }
}

INSTANTIATE_TEST_SUITE_P(all, delimited_generated, testing::ValuesIn(generated_cases),
                         case_name<generated_case>);

// Every cell length around the 16-byte copy block, each cell the last bytes
// before the buffer's padding so that the copy reads into it.
TEST(delimited_writer_lengths, every_length_around_the_copy_block)
{
    for (std::size_t length = 0; length <= 50; ++length) {
        std::string text(length, 'q');
        test_grid t;
        build_grid(&t, {{"a", text.c_str()}, {text.c_str(), nullptr}});
        std::string want_normal = "a\t" + text + "\n" + text + "\t\n";
        std::string want_replace = "a\t" + text + "\n" + text + "\t\n";
        EXPECT_EQ(written_by([&](std::FILE *f) {
                      write_normal(t.grid.cells, format_delimited, f, 2, 2, '\t');
                  }),
                  want_normal)
            << "length " << length;
        EXPECT_EQ(written_by([&](std::FILE *f) {
                      write_replace(t.grid.cells, format_delimited, f, 2, 2, '\t');
                  }),
                  want_replace)
            << "length " << length;
    }
}

} // namespace
