#include "output/transpose.h"
#include "table/charset.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>

#include <memory>
#include <span>
#include <utility>
#include <string>
#include <vector>

namespace
{

// A result's style in format, its page in UTF-8, its cells ended by
// delimiter.
line_style style_of(result_format format, unsigned char delimiter = '\t')
{
    line_style style;
    style.format = format;
    style.delimiter = delimiter;
    style.html = html_style_for(charset_utf8, delimiter);
    return style;
}

std::string steps_text(const transpose_plan &plan)
{
    const char *names[] = {"lanes", "cursors", "spill", "halves", "groups"};
    std::string text;
    for (std::int32_t i = 0; i < plan.count; ++i) {
        const method_step &step = plan.steps[i];
        text += i > 0 ? " > " : "";
        text += names[step.method];
        text += '/';
        text += std::to_string(step.parts);
        text += step.pipelined ? "p" : "";
        text += step.band_budget != 0 ? "b" : "";
        text += step.spilled ? "s" : "";
    }
    return text;
}

constexpr std::size_t split_from = std::size_t{4} << 20;

// A loaded table's shape: row table, plain, all four sums, split when long.
table_shape shape(std::int32_t rows, std::int32_t columns, std::uint64_t length)
{
    table_shape s;
    s.rows = rows;
    s.columns = columns;
    s.length = length;
    s.row_table = true;
    s.split = length >= split_from;
    s.plain = true;
    s.summed = true;
    s.sums = 2;
    return s;
}

template <typename F> table_shape changed(table_shape s, F change)
{
    change(&s);
    return s;
}

plan_target target(bool positioned, bool page = false, std::uint64_t budget = UINT64_MAX,
                   bool units = false)
{
    plan_target t;
    t.positioned = positioned;
    t.page = page;
    t.budget = budget;
    t.units = units;
    t.split_from = split_from;
    return t;
}

// The methods tried in order, each with its threads ("groups/1p": one part,
// pipelined): the choice of method as the tuning sets it.
struct plan_case {
    const char *name;
    table_shape shape;
    plan_target target;
    const char *steps;
};

const std::uint64_t mib = 1 << 20;
const table_shape tall = shape(200000, 10, 11 * mib);
const table_shape wide = changed(shape(300, 20000, 33 * mib), [](table_shape *s) {
    s->split = false; // few rows: the loader keeps no parts
});
const table_shape square = shape(2000, 2000, 11 * mib);
const table_shape many_rows = shape(60000, 150, 68 * mib);
const table_shape short_rows = shape(200000, 40, 31 * mib);

const plan_case plan_cases[] = {
    {"tall to a file", tall, target(true), "lanes/2 > halves/2 > groups/2"},
    {"tall in sequence", tall, target(false), "groups/2"},
    {"tall page to a file", tall, target(true, true), "lanes/2 > halves/2 > groups/2"},
    {"tall small to a file", shape(2000, 10, 100000), target(true), "lanes/1 > cursors/1"},
    {"tall UTF-16 to a file", tall, target(true, false, UINT64_MAX, true), "lanes/2 > groups/2"},
    {"wide to a file", wide, target(true), "halves/2 > groups/1p"},
    {"wide in sequence", wide, target(false), "groups/1p"},
    {"wide UTF-16 to a file", wide, target(true, false, UINT64_MAX, true), "groups/1p"},
    {"square, long lines, split, in sequence", square, target(false), "groups/2"},
    {"square, short lines, split, in sequence", shape(2000, 2000, 5 * mib), target(false),
     "groups/1p"},
    {"square, not plain, to a file", changed(square, [](table_shape *s) { s->plain = false; }),
     target(true), "groups/2"},
    {"square, no sums, to a file", changed(square, [](table_shape *s) { s->summed = false; }),
     target(true), "groups/2"},
    {"small square to a file", shape(100, 100, 30000), target(true), "cursors/1"},
    {"few rows to a file", shape(few_rows, 10, 3000), target(true), "cursors/1"},
    {"one row past few to a file", shape(few_rows + 1, 10, 3000), target(true),
     "lanes/1 > cursors/1"},
    {"lane_columns columns to a file", shape(1000, lane_columns, 300000), target(true),
     "lanes/1 > cursors/1"},
    {"one column past the lanes to a file", shape(1000, lane_columns + 1, 300000), target(true),
     "cursors/1"},
    {"one column to a file", shape(1000, 1, 5000), target(true), "lanes/1 > cursors/1"},
    {"one column in sequence", shape(1000, 1, 5000), target(false), "cursors/1"},
    {"one plain column, large, to a file", shape(1000000, 1, 8 * mib), target(true),
     "lanes/2 > groups/2"},
    {"more rows than the halves take", shape(halves_rows_most + 1, 2, 20 * mib), target(true),
     "lanes/2 > groups/2"},
    {"no rows", shape(0, 5, 4), target(true), "cursors/1"},
    // The cursors up to a table the cache holds; past it, the groups.
    {"the cursors' most bytes and rows", shape(cursors_rows_most, 100, cursors_bytes_most),
     target(false), "cursors/1"},
    {"a byte past the cursors", shape(cursors_rows_most, 100, cursors_bytes_most + 1),
     target(false), "groups/2"},
    {"a row past the cursors", shape(cursors_rows_most + 1, 100, cursors_bytes_most), target(false),
     "groups/2"},
    {"no row table, tall, to a file", changed(tall, [](table_shape *s) { s->row_table = false; }),
     target(true), "lanes/2 > spill/1"},
    {"no row table, in sequence", changed(tall, [](table_shape *s) { s->row_table = false; }),
     target(false), "spill/1"},
    {"tiny budget, tall, to a file", tall, target(true, false, 1), "spill/1"},
    {"budget for one part's lanes only",
     changed(shape(10000, 8, 9 * mib), [](table_shape *s) { s->split = false; }),
     target(true, false, lanes_bytes + 8 * (sizeof(output_block) + 8)), "lanes/1 > spill/1"},
    {"budget short of a split table's two lanes", tall,
     target(true, false, lanes_bytes + 10 * (sizeof(output_block) + 8)), "spill/1"},
    // 800 bytes of row table, 10,000 read, 800 of sums: a page's extras, as
    // many again, cross the budget.
    {"budget for the delimited groups", shape(99, 100, 10000), target(false, false, 12000),
     "cursors/1"},
    {"the same budget, a page", shape(99, 100, 10000), target(false, true, 12000), "spill/1"},
    // Many rows, lines that fit a group, many groups: bands ("b") of rows
    // through a spill first, before the in-memory methods.
    {"many rows of 1 KB in sequence", many_rows, target(false), "spill/1b > groups/2"},
    // To a file, lines the bands would take go into lanes of a few pages
    // first; not a page's, nor a UTF-16 result's, nor lanes of under two.
    {"many rows of 1 KB to a file", many_rows, target(true),
     "lanes/2 > spill/1b > halves/2 > groups/2"},
    {"many rows of 1 KB, a page to a file", many_rows, target(true, true),
     "spill/1b > halves/2 > groups/2"},
    {"many rows of 1 KB, UTF-16 to a file", many_rows, target(true, false, UINT64_MAX, true),
     "spill/1b > groups/2"},
    {"the long lines' lanes' most columns to a file",
     shape(60000, long_lines_lane_columns, 300 * mib), target(true),
     "lanes/2 > spill/1b > halves/2 > groups/2"},
    {"a column past the long lines' lanes to a file",
     shape(60000, long_lines_lane_columns + 1, 300 * mib), target(true),
     "spill/1b > halves/2 > groups/2"},
    {"many rows of 1 KB, a page", many_rows, target(false, true), "spill/1b > groups/2"},
    {"many rows of 1 KB, tiny budget", many_rows, target(false, false, 1), "spill/1"},
    // The groups fit, but a spill of the whole result would take more than
    // half of the memory the run has: no bands.
    {"many rows of 1 KB, the groups' budget", many_rows, target(false, false, 100 * mib),
     "groups/2"},
    {"lanes before the bands", shape(100000, 40, 30 * mib), target(true),
     "lanes/2 > spill/1b > halves/2 > groups/2"},
    {"one row short of the bands", shape(banded_rows_least - 1, 150, 38 * mib), target(false),
     "groups/2"},
    {"the least rows of the bands", shape(banded_rows_least, 150, 38 * mib), target(false),
     "spill/1b > groups/2"},
    {"rows of under 256 result bytes", short_rows, target(false), "lanes/2s > groups/2"},
    {"the same rows, a page", short_rows, target(false, true), "spill/1b > groups/2"},
    {"lines longer than a group, short rows", shape(300000, 10, 65 * mib), target(false),
     "lanes/2s > groups/2"},
    {"lines longer than a group, long rows", shape(415000, 300, 446 * mib), target(false, true),
     "spill/1b > groups/2"},
    {"fewer than four groups", shape(40000, 100, 11 * mib), target(false), "groups/2"},
    // In sequence, a tall table's result from spilled_lanes_least on goes
    // through lanes in a spill ("s"): not a page, nor past half the budget.
    {"tall, the least result through the spill, in sequence",
     shape(1000000, 10, spilled_lanes_least - 10000000), target(false), "lanes/2s > groups/2"},
    {"tall, a byte short of the spill, in sequence",
     shape(1000000, 10, spilled_lanes_least - 10000001), target(false), "groups/2"},
    {"tall, 130 MB, UTF-16 in sequence", shape(2000000, 10, 130 * mib),
     target(false, false, UINT64_MAX, true), "lanes/2s > groups/2"},
    {"tall, 130 MB, a page in sequence", shape(2000000, 10, 130 * mib), target(false, true),
     "groups/2"},
    {"tall, 130 MB, in sequence, a result past half the budget", shape(2000000, 10, 130 * mib),
     target(false, false, 290 * mib), "groups/2"},
};

class plan_transposes : public testing::TestWithParam<plan_case>
{
};

TEST_P(plan_transposes, by_shape_target_and_budget)
{
    const plan_case &c = GetParam();
    EXPECT_EQ(steps_text(plan_transpose(c.shape, c.target)), c.steps);
}

INSTANTIATE_TEST_SUITE_P(all, plan_transposes, testing::ValuesIn(plan_cases), case_name<plan_case>);

// The loader keeps a split table's parts unless it has few rows: its first
// line holds more than a 1/1024 of it.
TEST(plan_transposes, row_parts_kept_unless_few_rows)
{
    std::string few(2048, 'x');
    few += "\ny\n";
    std::string many = "x\n" + std::string(4000, 'y');
    auto bytes = [](const std::string &text) {
        return reinterpret_cast<const unsigned char *>(text.data());
    };
    EXPECT_FALSE(wants_row_parts(bytes(few), few.size(), 1));
    EXPECT_TRUE(wants_row_parts(bytes(few), few.size(), 0)) << "every table split for tests";
    EXPECT_TRUE(wants_row_parts(bytes(many), many.size(), 1));
    // Told, the loader keeps the parts with the first one's sums, or joins them.
    for (bool keep : {true, false}) {
        loaded_table table;
        table.bytes = padded(few);
        load_limits limits;
        limits.keep_parts = keep;
        limits.split_from = 1;
        ASSERT_EQ(
            load_table_within(table.bytes.data(), few.size(), '\t', true, limits, &table.grid),
            load_done);
        EXPECT_EQ(table.grid.split.rows, keep ? 1 : 0) << "keep " << keep;
        EXPECT_EQ(table.grid.sums.head_bytes != nullptr, keep) << "keep " << keep;
    }
}

// A band's rows, as a spill's runs cost, grow with the columns: a table of
// long rows is not cut into bands of a row or two, whose runs the result
// would visit rows times a line. The band also holds its column sums.
TEST(plan_transposes, bands_hold_rows_enough)
{
    struct band_case {
        table_shape shape;
        std::uint64_t rows_least;
    };
    const band_case cases[] = {
        {many_rows, 300},
        {shape(420000, 300, 470 * mib), 500},
        {shape(62105, 62105, 27000 * mib), 200},
        {shape(40000, 40000, 3200 * mib), 200},
    };
    for (const band_case &c : cases) {
        for (bool page : {false, true}) {
            std::uint64_t budget = band_budget(c.shape, page);
            std::uint64_t row = c.shape.length / static_cast<std::uint64_t>(c.shape.rows);
            EXPECT_GE(budget / 2 / row, c.rows_least) << c.shape.rows << " rows, page " << page;
            EXPECT_GE(budget / 8 / 4, static_cast<std::uint64_t>(c.shape.columns));
        }
    }
}

// Each method called directly on generated tables, on the threads a plan
// may give it, writes the model's result; pages, the cursors' page. The
// shapes take the methods the plan names.
struct method_case {
    const char *name;
    std::size_t rows;
    std::size_t columns;
    std::size_t longest;
    unsigned seed;
    bool full;
    const char *at_offsets; // the plan's first method, positioned and in sequence
    const char *in_sequence;
};

const method_case method_cases[] = {
    {"few rows, many columns", 40, 1003, 20, 3, false, "cursors", "cursors"},
    {"full rows, wide", 30, 3000, 6, 21, true, "halves", "cursors"},
    {"square", 300, 150, 12, 4, false, "cursors", "cursors"},
    {"tall", 20000, 3, 12, 6, false, "lanes", "groups"},
    {"tall, full rows", 5000, 6, 10, 22, true, "lanes", "cursors"},
    {"one column", 500, 1, 5, 23, false, "lanes", "cursors"},
    {"one row", 1, 700, 8, 24, false, "cursors", "cursors"},
    {"more lines than a group holds", 3, group_most + 100, 3, 25, false, "cursors", "cursors"},
    {"lines longer than a group", 3, 2, 4000000, 26, true, "halves", "groups"},
};

struct method_way {
    const char *name;
    method_step step;
    bool split; // loaded in two parts
    std::uint64_t budget;
    bool positioned;
};

const method_way method_ways[] = {
    {"cursors", {method_cursors, 1, false}, false, UINT64_MAX, false},
    {"groups", {method_groups, 1, false}, false, UINT64_MAX, false},
    {"groups pipelined", {method_groups, 1, true}, false, UINT64_MAX, false},
    {"groups in two parts", {method_groups, 2, false}, true, UINT64_MAX, false},
    {"groups, a split table in one part", {method_groups, 1, false}, true, UINT64_MAX, false},
    {"halves", {method_halves, 2, false}, false, UINT64_MAX, true},
    {"halves of a split table", {method_halves, 2, false}, true, UINT64_MAX, true},
    {"lanes", {method_lanes, 1, false}, false, UINT64_MAX, true},
    {"lanes in two parts", {method_lanes, 2, false}, true, UINT64_MAX, true},
    {"lanes, a split table in one part", {method_lanes, 1, false}, true, UINT64_MAX, true},
    {"lanes through a spill",
     {.method = method_lanes, .parts = 1, .spilled = true},
     false,
     UINT64_MAX,
     false},
    {"lanes in two parts through a spill",
     {.method = method_lanes, .parts = 2, .spilled = true},
     true,
     UINT64_MAX,
     false},
    {"spill, bands of a few rows", {method_spill, 1, false}, false, 300, false},
    {"spill, larger bands", {method_spill, 1, false}, false, 200000, false},
    {"spill at offsets, taken back in halves", {method_spill, 1, false}, false, 200000, true},
    {"spill at offsets, few runs in halves", {method_spill, 1, false}, false, 1u << 20, true},
    {"spill, bands by choice in pairs",
     {method_spill, 1, false, 1u << 16},
     false,
     UINT64_MAX,
     false},
    {"spill at offsets, bands by choice in pairs",
     {method_spill, 1, false, 1u << 16},
     false,
     UINT64_MAX,
     true},
};

// halved: whether a spill's runs were taken back in two halves, which alone
// leaves the main block writing at offsets.
std::string written_directly(cell_grid &&taken, const method_way &way, result_format format,
                             bool *halved = nullptr)
{
    static writer_blocks kept;
    std::string beside = testing::TempDir() + "result";
    cell_grid grid = std::move(taken);
    return written_by(way.positioned, [&](output_target to) {
        to.budget = way.budget;
        to.spill_beside = beside.c_str();
        ASSERT_TRUE(have_writer_blocks(&kept));
        to.blocks = &kept;
        line_style style = style_of(format, grid.table.delimiter);
        output_block out = main_output(to);
        bool written = true;
        row_cursors cursors;
        if (way.step.method != method_lanes && way.step.method != method_spill)
            cursors = start_cursors(grid.table, std::move(grid.index), to.progress);
        std::size_t *next = cursors.next.get();
        switch (way.step.method) {
        case method_cursors:
            for (std::int32_t i = 0; i < grid.table.columns; ++i)
                write_line_by_cursors(grid.table, next, style, &out);
            break;
        case method_groups:
            write_by_groups(grid, next, style, &out, kept.group.get(), 0, grid.table.columns,
                            way.step);
            break;
        case method_halves:
            written = write_halves(grid, next, style, &out, kept.group.get());
            break;
        case method_lanes:
            written = way.step.spilled ? write_lanes_spilled(grid, style, to, &out, way.step)
                                       : write_by_lanes(grid, style, &out, way.step);
            break;
        case method_spill:
            // In sequence each band loaded as one part; at offsets the runs
            // are taken back in halves. Bands taken by choice, as the plan
            // takes them, go in pairs on two threads.
            to.split_from = way.positioned || way.step.band_budget != 0 ? 0 : SIZE_MAX;
            if (way.step.band_budget != 0) {
                to.whole_budget = to.budget;
                to.budget = std::min(to.budget, way.step.band_budget);
            }
            write_spilled(grid, style, to, &out);
            break;
        }
        flush_output(&out);
        if (halved != nullptr)
            *halved = out.at_offset;
        EXPECT_TRUE(written && !out.failed) << way.name;
    });
}

using method_writes = testing::TestWithParam<method_case>;

TEST_P(method_writes, the_model_result_on_its_threads)
{
    const method_case &c = GetParam();
    rows_t rows = generated_rows(c.rows, c.columns, c.longest, c.seed, c.full);
    for (char delimiter : {'\t', ','}) {
        std::string input = joined_rows(rows, delimiter);
        auto d = static_cast<unsigned char>(delimiter);
        std::string page;
        for (const method_way &way : method_ways) {
            loaded_table table;
            ASSERT_TRUE(load_text(&table, input, d, true, way.split ? 0 : SIZE_MAX));
            if (way.split && !shape_of(table.grid).split)
                continue; // one row: nothing to split
            if (way.step.method == method_halves && !table.grid.table.plain)
                continue; // the halves find cells by counting delimiters
            if (way.step.method == method_lanes &&
                table.grid.table.columns > long_lines_lane_columns)
                continue; // each lane would get less than two pages
            EXPECT_EQ(written_directly(std::move(table.grid), way, format_delimited),
                      model_delimited(rows, c.columns, true, delimiter))
                << way.name;
            loaded_table again;
            ASSERT_TRUE(load_text(&again, input, d, true, way.split ? 0 : SIZE_MAX));
            std::string html = written_directly(std::move(again.grid), way, format_html);
            if (page.empty())
                page = html; // the cursors'
            EXPECT_EQ(html, page) << way.name << ", a page";
        }
        loaded_table table;
        ASSERT_TRUE(load_text(&table, input, d, true, SIZE_MAX));
        const char *names[] = {"lanes", "cursors", "spill", "halves", "groups"};
        for (bool positioned : {true, false}) {
            plan_target to;
            to.positioned = positioned;
            to.split_from = c.full ? 0 : SIZE_MAX; // the halves only for the full rows
            transpose_plan plan = plan_transpose(shape_of(table.grid), to);
            ASSERT_GT(plan.count, 0);
            EXPECT_STREQ(names[plan.steps[0].method], positioned ? c.at_offsets : c.in_sequence)
                << (positioned ? "at offsets" : "in sequence");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, method_writes, testing::ValuesIn(method_cases),
                         case_name<method_case>);

// A plain table's cells are found by the 64-byte blocks' delimiter and LF
// masks alone (the lanes take its rows as one stream of cells, the groups
// each row's share): rows and cells ending at every place in a block, the
// last row with and without its LF, lanes filled past their slack, halves
// that cut rows, in one part and in two.
struct stream_case {
    const char *name;
    rows_t rows;
};

rows_t rows_of(std::size_t count, std::size_t columns,
               std::size_t (*length)(std::size_t row, std::size_t column))
{
    rows_t rows(count);
    for (std::size_t r = 0; r < count; ++r)
        for (std::size_t c = 0; c < columns; ++c)
            rows[r].emplace_back(length(r, c), static_cast<char>('a' + (r + c) % 26));
    return rows;
}

// Each case, tab and comma, with and without its final LF, written by each
// way: the model's bytes. A plain table must load plain and split as the
// way asks; another must keep its sums, which its stream reads.
void expect_streams_write_the_model(const stream_case *cases, std::size_t count,
                                    const std::vector<method_way> &ways, bool plain)
{
    for (const stream_case &c : std::span(cases, count)) {
        std::size_t columns = c.rows[0].size();
        for (char delimiter : {'\t', ','}) {
            std::string model = model_delimited(c.rows, columns, true, delimiter);
            for (bool final_lf : {true, false}) {
                std::string input = joined_rows(c.rows, delimiter);
                if (!final_lf)
                    input.pop_back();
                for (const method_way &way : ways) {
                    loaded_table table;
                    ASSERT_TRUE(load_text(&table, input, static_cast<unsigned char>(delimiter),
                                          true, way.split ? 0 : SIZE_MAX));
                    ASSERT_EQ(table.grid.table.plain, plain) << c.name;
                    if (plain)
                        ASSERT_EQ(shape_of(table.grid).split, way.split) << c.name;
                    else
                        ASSERT_TRUE(shape_of(table.grid).summed) << c.name;
                    EXPECT_EQ(written_directly(std::move(table.grid), way, format_delimited), model)
                        << c.name << ", " << way.name << (final_lf ? "" : ", no final LF");
                }
            }
        }
    }
}

// Lanes of two pages, which the cases fill many times over: every lane
// flushed in the middle of the stream, at every place a cell may leave it.
const method_way small_lanes[] = {
    {"lanes of two pages", {.method = method_lanes, .lane_bytes = 8192}, false, UINT64_MAX, true},
    {"lanes of two pages in two parts",
     {.method = method_lanes, .parts = 2, .lane_bytes = 8192},
     true,
     UINT64_MAX,
     true},
};

TEST(plain_rows, every_block_edge_writes_the_model)
{
    const stream_case cases[] = {
        // 31 + TAB + 31 + LF: every row a block of its own.
        {"rows of exactly a block",
         rows_of(300, 2, [](std::size_t, std::size_t) -> std::size_t { return 31; })},
        // A row of 65 bytes moves its cells one byte on in each block.
        {"rows one byte past a block",
         rows_of(300, 4,
                 [](std::size_t, std::size_t c) -> std::size_t { return c == 0 ? 14 : 15; })},
        {"cells of every length up to two blocks",
         rows_of(
             400, 5,
             [](std::size_t r, std::size_t c) -> std::size_t { return (r * 7 + c * 13) % 130; })},
        {"one column, empty cells between", rows_of(501, 1,
                                                    [](std::size_t r, std::size_t) -> std::size_t {
                                                        return r % 3 == 1 ? 0 : r % 70;
                                                    })},
        // 64 columns: lanes filled many times over by cells longer than
        // their slack.
        {"lanes filled past their slack", rows_of(60, lane_columns,
                                                  [](std::size_t r, std::size_t c) -> std::size_t {
                                                      return (r * 131 + c * 37) %
                                                             (2 * output_slack);
                                                  })},
        // Lanes of two pages: the first filled to the byte where it is
        // flushed, then given a cell longer than its slack, which must not
        // spill past the lane into the bytes of the next.
        {"a lane full to its flush point", rows_of(64, 2,
                                                   [](std::size_t r, std::size_t c) -> std::size_t {
                                                       if (c == 1)
                                                           return 10;
                                                       return r % 16 == 15 ? output_slack + 1
                                                                           : output_slack - 1;
                                                   })},
        {"random full rows", generated_rows(3000, 7, 40, 31, true)},
        // A row's entries are copied in whole blocks, past their end, while
        // the rows after it leave room: the last rows' empty entries leave
        // the least, a byte each, before the next line's first row.
        {"empty cells in the last rows", rows_of(300, 4,
                                                 [](std::size_t r, std::size_t c) -> std::size_t {
                                                     return c % 2 == 0 && r + 16 >= 300 ? 0 : 17;
                                                 })},
    };
    const char *names[] = {"lanes",  "lanes in two parts",     "groups", "groups in two parts",
                           "halves", "halves of a split table"};
    std::vector<method_way> ways(std::begin(small_lanes), std::end(small_lanes));
    for (const char *name : names)
        ways.push_back(
            *std::find_if(std::begin(method_ways), std::end(method_ways),
                          [name](const method_way &w) { return std::strcmp(w.name, name) == 0; }));
    expect_streams_write_the_model(cases, std::size(cases), ways, true);
}

// A ragged table without NUL or CR goes into the lanes as one stream of
// cells too, each LF giving the lanes its row lacks their delimiters: rows
// ending at every place in a block, empty lines, the last row with and
// without its LF, lanes filled past their slack by those delimiters alone.
TEST(ragged_rows, every_block_edge_writes_the_model)
{
    auto ragged = [](std::size_t count, std::size_t columns, std::size_t (*cells)(std::size_t row),
                     std::size_t (*length)(std::size_t)) {
        rows_t rows(count);
        for (std::size_t r = 0; r < count; ++r)
            for (std::size_t c = 0; c < (r == 0 ? columns : cells(r)); ++c)
                rows[r].emplace_back(length(r * 7 + c * 13), static_cast<char>('a' + (r + c) % 26));
        return rows;
    };
    const stream_case cases[] = {
        {"rows of every width, cells of every length",
         ragged(
             600, 9, [](std::size_t r) -> std::size_t { return 1 + r % 9; },
             [](std::size_t n) -> std::size_t { return n % 130; })},
        {"empty lines between",
         ragged(
             500, 5, [](std::size_t r) -> std::size_t { return r % 4 == 1 ? 0 : 1 + r % 5; },
             [](std::size_t n) -> std::size_t { return n % 70; })},
        // Lanes filled past their slack by the delimiters of the cells the
        // short rows lack.
        {"lanes filled by absent cells",
         ragged(
             9000, long_lines_lane_columns, [](std::size_t r) -> std::size_t { return r % 2; },
             [](std::size_t n) -> std::size_t { return n % 3; })},
        {"random rows", generated_rows(3000, 7, 40, 32, false)},
    };
    std::vector<method_way> lanes = {
        {"lanes", {method_lanes, 1, false}, false, UINT64_MAX, true},
        {"lanes in two parts", {method_lanes, 2, false}, true, UINT64_MAX, true},
    };
    lanes.insert(lanes.end(), std::begin(small_lanes), std::end(small_lanes));
    expect_streams_write_the_model(cases, std::size(cases), lanes, false);
}

// A spill's bands are cut from the row index, and from the bytes where the
// load kept none; at every size a band may have, neither loses, joins or
// splits a line, whatever ends it, nor a cell the widest line has alone.
TEST(spill_bands, cut_anywhere_write_what_the_cursors_write)
{
    using namespace std::string_literals;
    const std::string inputs[] = {
        "a\tb\nc\n\nd\te\tf"s,  // no LF at the end, the widest line last
        "a\tb\nc\td\n\n"s,      // an empty last line
        "a\nb\tc\n\0"s,         // after the last LF, nothing but a NUL
        "a\0b\tc\nd\n\0\te\n"s, // NULs in lines: no sums
        "a\r\nb\tc\r\nd\r\n"s,  // CR LF
        "a\tb\rc\rd\te\r"s,     // CR line ends
        "\n\n\na\tb\n"s,        // empty rows first
        "x"s,                   // one row, no line end
    };
    const method_way cursors{"cursors", {method_cursors, 1, false}, false, UINT64_MAX, false};
    for (const std::string &input : inputs) {
        for (result_format format : {format_delimited, format_html}) {
            loaded_table read;
            ASSERT_TRUE(load_text(&read, input, '\t'));
            std::string expected = written_directly(std::move(read.grid), cursors, format);
            for (std::uint64_t budget : {1u, 64u, 100u, 4096u}) {
                for (bool with_rows : {true, false}) {
                    const method_way bands{"spill", {method_spill, 1, false}, false, budget, false};
                    loaded_table table;
                    ASSERT_TRUE(load_text(&table, input, '\t', with_rows));
                    EXPECT_EQ(written_directly(std::move(table.grid), bands, format), expected)
                        << testing::PrintToString(input) << ", budget " << budget
                        << (with_rows ? "" : ", no row index") << ", format " << int{format};
                }
            }
        }
    }
}

// A spill's runs taken back in two halves at offsets: the second half's
// readers and output start where the first half's line sizes put them (a
// page's, as its cells: escapes, empty and absent cells), wherever the
// middle falls and however the runs differ, with the one thread's result.
TEST(spill_halves, split_anywhere_write_what_the_cursors_write)
{
    using namespace std::string_literals;
    auto repeated = [](const std::string &line, int times) {
        std::string text;
        for (int i = 0; i < times; ++i)
            text += line;
        return text;
    };
    const std::string long_cell(200, 'L');
    const std::string inputs[] = {
        repeated("a\nbb\n\nccc\n", 20),                    // one output line
        repeated("a\tb\nccc\tdd\n", 30),                   // two
        repeated("x\t\ty\nz\n", 25),                       // a line of empty cells only
        repeated("long first cell\tb\tc\td\n", 30),        // the middle after line 1
        repeated("a\tb\tc\tlong last cell, longer\n", 30), // the middle before the last
        long_cell + "\t" + long_cell + "\t" + long_cell + "\n" +
            repeated("a\tb\n", 70), // a run of one long row, then runs of many short ones
        repeated("\n\na\n", 10) + "\t\tb\tc\n", // empty rows, the widest last
        joined_rows(generated_rows(80, 9, 12, 33), '\t'),
        repeated("a<b\t& c\t\n\"q\"\t>\n", 25), // escapes, empty and absent cells
    };
    const method_way cursors{"cursors", {method_cursors, 1, false}, false, UINT64_MAX, false};
    for (const std::string &input : inputs) {
        for (result_format format : {format_delimited, format_html}) {
            loaded_table read;
            ASSERT_TRUE(load_text(&read, input, '\t'));
            bool lines = read.grid.table.columns >= 2;
            std::string expected = written_directly(std::move(read.grid), cursors, format);
            bool any_halved = false;
            for (std::uint64_t budget : {1024u, 4096u, 65536u}) {
                for (bool with_rows : {true, false}) {
                    const method_way bands{"spill", {method_spill, 1, false}, false, budget, true};
                    loaded_table table;
                    ASSERT_TRUE(load_text(&table, input, '\t', with_rows));
                    bool halved = false;
                    EXPECT_EQ(written_directly(std::move(table.grid), bands, format, &halved),
                              expected)
                        << testing::PrintToString(input) << ", budget " << budget
                        << (with_rows ? "" : ", no row index") << (halved ? ", in halves" : "")
                        << ", format " << int{format};
                    any_halved = any_halved || halved;
                }
            }
            EXPECT_TRUE(any_halved || !lines)
                << testing::PrintToString(input) << ", format " << int{format} << ": never halved";
        }
    }
}

// Bands taken by choice, in pairs on two threads, each run written at its
// place in the spill: the second thread's run after the first's, from the
// first band's sums. The writes at offsets on the second thread are counted
// (the result goes in sequence, so that only the spill's are), and one of
// all of them may fail, as a full disk fails it.
struct paired_run {
    std::string result;
    bool failed = false;
    std::uint64_t writes = 0; // at offsets
    std::uint64_t second_thread = 0;
    std::uint64_t told = 0; // of the table, to the progress line
};

// Bands of 30 rows, 1 KB and 64 columns at most; split_from at the table's
// length cuts every band but a whole table's from the row index, at 0 each
// is scanned again.
constexpr std::uint64_t pair_band_budget = 2048;

paired_run spilled_in_pairs(const std::string &input, result_format format, std::size_t from,
                            std::uint64_t fail_at)
{
    static writer_blocks kept;
    fault_plan *plan = full_disk_at(fail_at);
    loaded_table table;
    EXPECT_TRUE(load_text(&table, input, '\t', true, SIZE_MAX));
    std::string beside = testing::TempDir() + "result";
    paired_run run;
    std::atomic<std::uint64_t> told{0};
    run.result = written_by(false, [&](output_target to) {
        to.progress = counted_progress(&told);
        to.budget = pair_band_budget;
        to.whole_budget = UINT64_MAX;
        to.split_from = from;
        to.spill_beside = beside.c_str();
        ASSERT_TRUE(have_writer_blocks(&kept));
        to.blocks = &kept;
        line_style style = style_of(format);
        output_block out = main_output(to);
        platform_faults = plan;
        write_spilled(table.grid, style, to, &out);
        platform_faults = nullptr;
        flush_output(&out);
        run.failed = out.failed;
    });
    run.writes = plan->counted;
    run.second_thread = other_thread_writes;
    run.told = told;
    return run;
}

std::string lines_of(const std::string &line, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

struct pairs_case {
    const char *name;
    std::string input;
    bool bands; // two or more
};

const pairs_case pairs_cases[] = {
    {"one band", "a\tb\nc\n\td\n", false},
    {"two bands", lines_of("ab\tc\td\n", 60), true},
    {"three bands", lines_of("ab\t\tcd\n", 90), true},
    {"the last band without a line end", lines_of("x\ty\n", 120) + "z\tw", true},
    {"many bands", joined_rows(generated_rows(90, 60, 6, 41), '\t'), true},
    {"runs of very different sizes",
     lines_of("a\tb\n", 20) + lines_of(std::string(14, 'L') + "\t", 60) + "\n" +
         lines_of("c\n", 30) + std::string(3000, 'M') + "\n" + lines_of("d\te\n", 9),
     true},
    {"a band of empty cells only, one of empty lines",
     lines_of("a\tb\tc\n", 30) + lines_of("\t\t\n", 30) + lines_of("\n", 30) + "e\tf\n", true},
};

TEST(spill_bands, in_pairs_write_what_the_cursors_write)
{
    const method_way cursors{"cursors", {method_cursors, 1, false}, false, UINT64_MAX, false};
    for (const pairs_case &c : pairs_cases) {
        for (result_format format : {format_delimited, format_html}) {
            loaded_table read;
            ASSERT_TRUE(load_text(&read, c.input, '\t'));
            std::string expected = written_directly(std::move(read.grid), cursors, format);
            for (std::size_t from : {std::size_t{0}, c.input.size()}) {
                paired_run run = spilled_in_pairs(c.input, format, from, 0);
                EXPECT_FALSE(run.failed) << c.name;
                EXPECT_EQ(run.result, expected)
                    << c.name << ", format " << int{format} << ", split_from " << from;
                if (c.bands) {
                    EXPECT_GT(run.second_thread, 0u) << c.name << ": no band on a second thread";
                }
            }
        }
    }
}

// A spill write that fails on either thread fails the spill in its place,
// and the next place is tried, as for bands in turn: the result is whole,
// and the progress line told each byte of the table once.
TEST(spill_bands, a_failed_write_in_pairs_is_tried_in_the_next_place)
{
    std::string input = joined_rows(generated_rows(70, 30, 6, 42), '\t');
    paired_run whole = spilled_in_pairs(input, format_delimited, input.size(), 0);
    ASSERT_FALSE(whole.failed);
    ASSERT_GT(whole.second_thread, 0u);
    for (std::uint64_t n = 1; n <= whole.writes; ++n) {
        paired_run run = spilled_in_pairs(input, format_delimited, input.size(), n);
        EXPECT_FALSE(run.failed) << "write " << n;
        EXPECT_EQ(run.result, whole.result) << "write " << n << " failed unnoticed";
        EXPECT_EQ(run.told, input.size()) << "write " << n;
    }
}

// Lanes through a spill: a spill write that fails (a full disk) gives the
// spill up in its place and the lanes start again in the next; the result
// goes out whole once, after what out held, in blocks of any size. The
// progress line is told each byte of the table once, and no more than half
// before the result's first write.
struct spill_told {
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<std::uint64_t> before_writing{UINT64_MAX};
};

progress_sink spill_progress_of(spill_told *told)
{
    progress_sink sink;
    sink.context = told;
    sink.consumed = [](void *context, std::uint64_t bytes) {
        static_cast<spill_told *>(context)->consumed += bytes;
    };
    sink.written = [](void *context, std::uint64_t) {
        auto *t = static_cast<spill_told *>(context);
        std::uint64_t unset = UINT64_MAX;
        t->before_writing.compare_exchange_strong(unset, t->consumed);
    };
    return sink;
}

TEST(spilled_lanes, a_failed_write_is_tried_in_the_next_place)
{
    static writer_blocks kept;
    rows_t rows = generated_rows(300, 12, 9, 43, false);
    std::string input = joined_rows(rows, '\t');
    std::string beside = testing::TempDir() + "result";
    for (std::int32_t parts : {1, 2}) {
        const method_step step{.method = method_lanes, .parts = parts, .spilled = true};
        for (std::uint64_t n = 1;; ++n) {
            loaded_table table;
            ASSERT_TRUE(load_text(&table, input, '\t', true, parts == 2 ? 0 : SIZE_MAX));
            fault_plan *plan = full_disk_at(n);
            spill_told told;
            bool written = false;
            std::string result = written_by(false, [&](output_target to) {
                to.progress = spill_progress_of(&told);
                to.spill_beside = beside.c_str();
                ASSERT_TRUE(have_writer_blocks(&kept));
                to.blocks = &kept;
                output_block out = main_output(to);
                out.end = 1000 + n;
                out.flush_at = out.end - output_slack;
                put_bytes(&out, "head\n", 5);
                platform_faults = plan;
                written =
                    write_lanes_spilled(table.grid, style_of(format_delimited), to, &out, step);
                platform_faults = nullptr;
                flush_output(&out);
                EXPECT_FALSE(out.failed) << "write " << n;
            });
            EXPECT_TRUE(written) << "write " << n;
            EXPECT_EQ(result, "head\n" + model_delimited(rows, 12, true, '\t'))
                << parts << " parts, write " << n << " failed";
            EXPECT_EQ(told.consumed, input.size()) << parts << " parts, write " << n;
            EXPECT_LE(told.before_writing, input.size() / 2) << parts << " parts, write " << n;
            if (plan->counted < n)
                break; // every write of the first place has failed once
        }
    }
}

// The spill goes out sent by the system, or read and written where the
// destination takes no send (one opened for appending): the same bytes
// after what the block held, and a write refused partway (a full disk)
// fails the result with its error, what went out before it right.
TEST(spilled_lanes, sent_or_written_the_same_bytes_or_the_failure)
{
    static writer_blocks kept;
    rows_t rows = generated_rows(300, 12, 9, 44, false);
    std::string input = joined_rows(rows, '\t');
    std::string expected = "head\n" + model_delimited(rows, 12, true, '\t');
    std::string beside = testing::TempDir() + "result";
    for (bool appending : {false, true}) {
        for (std::uint64_t fail_at : {0u, 1u, 3u}) {
            loaded_table table;
            ASSERT_TRUE(load_text(&table, input, '\t', true, SIZE_MAX));
            fault_plan plan;
            plan.calls = 1u << static_cast<unsigned>(platform_call::write);
            plan.fail_at = fail_at;
            plan.error = ENOSPC;
            output_block out;
            std::string result = written_by(false, [&](output_target to) {
                int flags = fcntl(to.fd, F_GETFL) | (appending ? O_APPEND : 0);
                ASSERT_EQ(fcntl(to.fd, F_SETFL, flags), 0);
                to.spill_beside = beside.c_str();
                ASSERT_TRUE(have_writer_blocks(&kept));
                to.blocks = &kept;
                out = main_output(to);
                out.end = 4096;
                out.flush_at = out.end - output_slack;
                put_bytes(&out, "head\n", 5);
                platform_faults = &plan;
                EXPECT_TRUE(write_lanes_spilled(table.grid, style_of(format_delimited), to, &out,
                                                {.method = method_lanes, .spilled = true}));
                flush_output(&out);
                platform_faults = nullptr;
            });
            std::string way = appending ? "written" : "sent";
            way += ", write " + std::to_string(fail_at) + " failing";
            EXPECT_EQ(out.failed, fail_at != 0) << way;
            EXPECT_EQ(out.error, fail_at != 0 ? ENOSPC : 0) << way;
            if (fail_at == 0)
                EXPECT_EQ(result, expected) << way;
            else
                EXPECT_EQ(result, expected.substr(0, result.size())) << way;
        }
    }
}

// The plan's steps in turn, as the writers take them, with no folder for a
// spill: the bands write nothing, not even a page's head twice, and the
// groups after them the whole result.
std::string written_by_steps(const std::string &input, const method_step *steps, int count,
                             result_format format)
{
    static writer_blocks kept;
    loaded_table table;
    EXPECT_TRUE(load_text(&table, input, '\t', true, SIZE_MAX));
    return written_by(false, [&](output_target to) {
        to.spill_beside = "/nonexistent-tabflip-folder/result";
        ASSERT_TRUE(have_writer_blocks(&kept));
        to.blocks = &kept;
        line_style style = style_of(format);
        output_block out = main_output(to);
        if (format == format_html)
            put_page_head(&out, charset_utf8);
        row_cursors cursors;
        int taken = 0;
        while (taken < count &&
               !run_plan_step(steps[taken], &table.grid, style, to, &out, &cursors))
            ++taken;
        EXPECT_EQ(taken, count - 1) << "the last step writes";
        if (format == format_html)
            put_page_tail(&out);
        flush_output(&out);
        EXPECT_FALSE(out.failed);
    });
}

TEST(plan_steps, spills_without_a_folder_give_way)
{
    const char *had = std::getenv("TMPDIR");
    std::string kept_tmpdir = had != nullptr ? had : "";
    setenv("TMPDIR", "/nonexistent-tabflip-folder", 1);
    rows_t rows = generated_rows(300, 20, 8, 31, false);
    std::string input = joined_rows(rows, '\t');
    const method_step bands{method_spill, 1, false, std::uint64_t{1} << 12};
    const method_step groups{method_groups, 1, false, 0};
    const method_step lanes{.method = method_lanes, .parts = 1, .spilled = true};
    const method_step both[] = {bands, groups};
    const method_step lanes_first[] = {lanes, groups};
    for (result_format format : {format_delimited, format_html}) {
        std::string alone = written_by_steps(input, &groups, 1, format);
        EXPECT_EQ(written_by_steps(input, both, 2, format), alone) << "format " << int{format};
        EXPECT_EQ(written_by_steps(input, lanes_first, 2, format), alone)
            << "lanes through a spill, format " << int{format};
        if (format == format_delimited) {
            EXPECT_EQ(alone, model_delimited(rows, 20, true, '\t'));
        }
    }
    if (had != nullptr)
        setenv("TMPDIR", kept_tmpdir.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

} // namespace
