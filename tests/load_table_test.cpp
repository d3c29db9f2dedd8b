#include "output/writers.h"
#include "platform/cpu.h"
#include "table/byte_scans.h"
#include "table/cell_grid.h"
#include "table/charset.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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
    auto delimiter = static_cast<unsigned char>(c.delimiter);
    loaded_table table;
    ASSERT_TRUE(load_text(&table, c.input, delimiter));
    EXPECT_EQ(render_grid(table.grid), c.expected);
    // Without the row table the shape is the same.
    loaded_table shape;
    ASSERT_TRUE(load_text(&shape, c.input, delimiter, false));
    EXPECT_EQ(shape.grid.index.starts, nullptr);
    EXPECT_EQ(shape.grid.table.rows, table.grid.table.rows);
    EXPECT_EQ(shape.grid.table.columns, table.grid.table.columns);
}

INSTANTIATE_TEST_SUITE_P(all, load_table_cases, testing::ValuesIn(load_cases),
                         case_name<load_case>);

// The loader checked against a byte-at-a-time model of the format: count the
// line ends, normalise CRs, size the table and split, one byte per step.
// The block scans must agree with it wherever a byte falls in a 64-byte block.
struct model_grid {
    std::int32_t rows = 0;
    std::int32_t columns = 1;
    std::vector<long> cells; // rows x columns buffer offsets, -1 for absent
    std::string bytes;       // the input with its CRs read as the format reads them
};

model_grid model_load(const std::string &input, unsigned char delimiter)
{
    model_grid m;
    m.bytes = input;
    bool any_lf = m.bytes.find('\n') != std::string::npos;
    for (char &b : m.bytes) {
        if (b == '\r')
            b = any_lf ? '\0' : '\n';
    }
    std::vector<std::size_t> widths(1, 0);
    unsigned char previous = '\n';
    for (char ch : m.bytes) {
        auto b = static_cast<unsigned char>(ch);
        if (b == '\n')
            widths.push_back(0);
        else if (b == delimiter)
            widths.back() += widths.back() == 0 ? 2u : 1u;
        else if (b != 0 && (previous == '\n' || previous == 0))
            ++widths.back();
        previous = b;
    }
    std::size_t widest = 1;
    for (std::size_t w : widths)
        widest = w > widest ? w : widest;
    m.columns = static_cast<std::int32_t>(widest);
    m.cells.assign(widths.size() * widest, -1);
    std::size_t r = 0;
    std::size_t c = 0;
    for (std::size_t i = 0; i < m.bytes.size();) {
        auto b = static_cast<unsigned char>(m.bytes[i]);
        if (b == '\n') {
            m.bytes[i++] = '\0';
            ++r;
            c = 0;
            continue;
        }
        if (b == 0) {
            ++i;
            continue;
        }
        if (b == delimiter) {
            if (c == 0)
                m.cells[r * widest + c++] = static_cast<long>(i);
            m.bytes[i] = '\0';
            m.cells[r * widest + c++] = static_cast<long>(i + 1);
        } else {
            m.cells[r * widest + c++] = static_cast<long>(i);
        }
        for (++i; i < m.bytes.size(); ++i) {
            auto t = static_cast<unsigned char>(m.bytes[i]);
            if (t == delimiter || t == '\n' || t == 0)
                break;
        }
    }
    m.rows = static_cast<std::int32_t>(widths.size());
    bool last_absent = true;
    for (std::size_t k = (widths.size() - 1) * widest; k < m.cells.size(); ++k)
        last_absent = last_absent && m.cells[k] == -1;
    if (last_absent)
        --m.rows;
    return m;
}

// Empty when the loader's rows, walked cell by cell, agree with the model.
std::string compare_with_model(const std::string &input, unsigned char delimiter,
                               std::size_t split_from = split_from_bytes)
{
    model_grid want = model_load(input, delimiter);
    loaded_table got;
    if (!load_text(&got, input, delimiter, true, split_from))
        return "load_table failed";
    const cell_grid &g = got.grid;
    if (g.table.rows != want.rows || g.table.columns != want.columns)
        return "size " + std::to_string(g.table.rows) + "x" + std::to_string(g.table.columns) +
               ", want " + std::to_string(want.rows) + "x" + std::to_string(want.columns);
    for (std::int32_t r = 0; r < g.table.rows; ++r) {
        const unsigned char *cell = first_cell(g, r);
        for (std::int32_t c = 0; c <= g.table.columns; ++c) {
            long offset = cell == nullptr ? -1 : static_cast<long>(cell - g.table.bytes);
            long wanted = c == g.table.columns
                              ? -1
                              : want.cells[static_cast<std::size_t>(r * g.table.columns + c)];
            if (offset != wanted)
                return "cell " + std::to_string(r) + "," + std::to_string(c) + " at " +
                       std::to_string(offset) + ", want " + std::to_string(wanted);
            if (cell != nullptr)
                cell = cell_after(g.table, cell_end(cell, delimiter));
        }
    }
    return "";
}

// A structural pattern planted at every offset of a line long enough to span
// several blocks, so that it meets every position in a block and both sides
// of each block boundary.
struct planted_case {
    const char *name;
    std::string pattern;
    std::string before; // the text in front of the line holding the pattern
};

const planted_case planted_cases[] = {
    {"delimiter", ",", ""},
    {"two delimiters", ",,", ""},
    {"LF", "\n", ""},
    {"CR LF", "\r\n", "x\n"},
    {"CR in LF file", "\r", "x\n"},
    {"CR only file", "\r", ""},
    {"NUL", std::string("\0", 1), ""},
    {"NUL then text", std::string("\0y", 2), ""},
    {"NUL then delimiter", std::string("\0,", 2), ""},
    {"line of NULs then delimiter", std::string("\n\0\0,z", 5), ""},
    {"line starting with delimiter", "\n,a", ""},
    {"empty lines", "\n\n\n", ""},
    {"tab is text under comma", "\t", ""},
    {"high bytes", "\xe3\x81\x82", ""},
};

class load_table_planted : public testing::TestWithParam<planted_case>
{
};

TEST_P(load_table_planted, agrees_with_model_at_every_offset)
{
    const planted_case &p = GetParam();
    const std::string filler = "abcdefghij,klmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "abcdefghijklmnopqrstuvwxyz,0123456789ABCDEFGHIJKLMNOPQRSTUVW";
    for (std::size_t at = 0; at <= filler.size(); ++at) {
        for (const char *end : {"", "\n", ",tail\n"}) {
            std::string input =
                p.before + filler.substr(0, at) + p.pattern + filler.substr(at) + end;
            EXPECT_EQ(compare_with_model(input, ','), "")
                << "offset " << at << " end " << testing::PrintToString(std::string(end));
        }
        std::string cut = p.before + filler.substr(0, at) + p.pattern;
        EXPECT_EQ(compare_with_model(cut, ','), "") << "data ends after offset " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(all, load_table_planted, testing::ValuesIn(planted_cases),
                         case_name<planted_case>);

// Random bytes drawn mostly from the structural ones, for both delimiters:
// lengths up to a few blocks, so that runs of NULs, CRs and delimiters cross
// block boundaries in every arrangement.
// A table is measured in two parts from the length the load is given on,
// the second part from the line after the first LF from its middle on.
TEST(load_table_split, from_the_length_it_is_given)
{
    struct split_case {
        const char *name;
        std::string input;
        std::size_t split_from;
        std::int32_t split_rows; // 0: measured whole
        std::size_t split_at;
    };
    const std::string tall(2048, 'a');
    std::string lines;
    for (int i = 0; i < 1024; ++i)
        lines += "a\n";
    const split_case cases[] = {
        {"one byte short of the length", lines, 2049, 0, 0},
        {"at the length", lines, 2048, 513, 1026},
        {"the tool's length", lines, split_from_bytes, 0, 0},
        {"any length", "a\tb\nc\td\ne\tf\ng\th\n", 0, 3, 12},
        {"no LF after the middle", "a\tb\nc\td e f g h", 0, 0, 0},
        {"no LF at all", tall, 0, 0, 0},
    };
    for (const split_case &c : cases) {
        loaded_table t;
        ASSERT_TRUE(load_text(&t, c.input, '\t', true, c.split_from)) << c.name;
        EXPECT_EQ(t.grid.split.rows, c.split_rows) << c.name;
        EXPECT_EQ(t.grid.split.at, c.split_at) << c.name;
    }
}

// The row starts of g that differ from starts: a count, not a failure each,
// for tables of many thousand rows.
std::size_t wrong_starts(const cell_grid &g, const std::vector<std::size_t> &starts)
{
    std::size_t wrong = 0;
    for (std::size_t r = 0; r < starts.size(); ++r) {
        if (g.index.starts[r] != starts[r])
            ++wrong;
    }
    return wrong;
}

// The second part keeps its row starts up to a bound, past which the join
// finds them in its bytes: either way every row starts where its line does,
// on both sides of the bound (these tails hold 65,534 to 65,537 lines).
TEST(load_table_split, second_part_rows_on_both_sides_of_those_it_keeps)
{
    for (std::size_t tail_lines = 65534; tail_lines <= 65537; ++tail_lines) {
        // Lines of 5 bytes, cells cut in two places in turn: the split
        // leaves tail_lines lines after it.
        std::string input;
        std::vector<std::size_t> starts;
        for (std::size_t r = 0; r < 2 * tail_lines + 2; ++r) {
            starts.push_back(input.size());
            input += r % 2 == 0 ? "ab\tc\n" : "d\tef\n";
        }
        loaded_table t;
        ASSERT_TRUE(load_text(&t, input, '\t', true, 0)) << tail_lines;
        const cell_grid &g = t.grid;
        ASSERT_EQ(static_cast<std::size_t>(g.table.rows), starts.size()) << tail_lines;
        std::size_t split = input.find('\n', input.size() / 2) + 1;
        ASSERT_EQ(static_cast<std::size_t>(
                      std::count(input.begin() + static_cast<long>(split), input.end(), '\n')),
                  tail_lines);
        EXPECT_EQ(wrong_starts(g, starts), 0u) << tail_lines;
        EXPECT_EQ(g.index.starts[starts.size()], input.size()) << tail_lines;
    }
}

// A second part of more rows than it keeps has them found again in two
// pieces, cut where its scan paused nearest its middle: with the pauses
// that folding its sums makes every few kilobytes, lines of 1 to 6 bytes
// put LFs on both sides of each cut the fold sizes give, on two threads and
// on one.
TEST(load_table_split, second_part_rows_found_again_in_two_pieces)
{
    std::string input;
    std::vector<std::size_t> starts;
    for (std::size_t r = 0; r < 150000; ++r) {
        starts.push_back(input.size());
        input += std::string(r % 6, r % 7 == 0 ? '\t' : 'x') + "\n";
    }
    for (std::size_t fold = 4096; fold < 4096 + 8 * scan_block; fold += scan_block) {
        for (bool threads : {true, false}) {
            loaded_table t;
            t.bytes = padded(input);
            load_limits limits{.split_from = 0, .threads = threads, .fold_bytes = fold};
            ASSERT_EQ(load_table_within(t.bytes.data(), input.size(), '\t', true, limits, &t.grid),
                      load_done);
            const cell_grid &g = t.grid;
            ASSERT_EQ(static_cast<std::size_t>(g.table.rows), starts.size());
            ASSERT_GT(starts.size() - static_cast<std::size_t>(g.split.rows), 65536u);
            EXPECT_EQ(wrong_starts(g, starts), 0u) << "fold " << fold << ", threads " << threads;
            EXPECT_EQ(g.index.starts[starts.size()], input.size());
        }
    }
}

TEST(load_table_split, rows_around_the_size_the_row_table_starts_at)
{
    // The first part's row table starts with room for the whole table in
    // rows of 64 bytes: lines of 64 fill it to its last entry, lines of 63
    // pass it at the join, and each part (of 4 MiB or more) keeps more rows
    // than the second keeps of its own.
    for (std::size_t line_bytes : {std::size_t{63}, std::size_t{64}, std::size_t{65}}) {
        std::string input;
        std::vector<std::size_t> starts;
        for (std::size_t r = 0; r < 2 * 65537 + 2; ++r) {
            starts.push_back(input.size());
            std::string line(line_bytes - 1, static_cast<char>('a' + r % 26));
            line[r % (line_bytes - 2) + 1] = '\t';
            input += line + "\n";
        }
        loaded_table t;
        ASSERT_TRUE(load_text(&t, input, '\t', true, 0)) << line_bytes;
        const cell_grid &g = t.grid;
        ASSERT_EQ(static_cast<std::size_t>(g.table.rows), starts.size()) << line_bytes;
        EXPECT_EQ(g.table.columns, 2) << line_bytes;
        EXPECT_EQ(wrong_starts(g, starts), 0u) << line_bytes;
        EXPECT_EQ(g.index.starts[starts.size()], input.size()) << line_bytes;
        EXPECT_EQ(g.index.starts[starts.size() + 1], input.size() + 1) << line_bytes;
    }
}

TEST(load_table_random, agrees_with_model)
{
    const char alphabet[] = {'a', 'b', ',', ',', '\t', '\t', '\n', '\n', '\r', '\0', '\x80', 'z'};
    std::mt19937 random(12345);
    for (int n = 0; n < 3000; ++n) {
        std::size_t length = random() % 300;
        std::string input;
        for (std::size_t i = 0; i < length; ++i)
            input += alphabet[random() % sizeof alphabet];
        for (unsigned char delimiter :
             {static_cast<unsigned char>(0x2C), static_cast<unsigned char>(0x09)})
            ASSERT_EQ(compare_with_model(input, delimiter), "")
                << testing::PrintToString(input) << " delimiter " << int{delimiter};
    }
}

// Column sums of a table measured whole; empty when it has none.
std::vector<std::uint32_t> whole_sums(const std::string &input, unsigned char delimiter)
{
    loaded_table t;
    bool loaded = load_text(&t, input, delimiter, true, SIZE_MAX);
    if (!loaded || t.grid.sums.bytes == nullptr)
        return {};
    const std::uint32_t *sums = t.grid.sums.bytes.get();
    return {sums, sums + t.grid.table.columns};
}

// Each column's bytes 0x80..0xBF, one byte per step, in a table whose cells
// lie between delimiters and LFs.
std::vector<std::uint32_t> model_continuations(const std::string &input, unsigned char delimiter,
                                               std::size_t columns)
{
    std::vector<std::uint32_t> counts(columns, 0);
    std::size_t column = 0;
    for (char c : input) {
        auto b = static_cast<unsigned char>(c);
        if (b == '\n')
            column = 0;
        else if (b == delimiter)
            ++column;
        else if (b >= 0x80 && b < 0xC0)
            ++counts[column];
    }
    return counts;
}

std::vector<std::uint32_t> counts_of(const std::uint32_t *counts, std::size_t columns)
{
    return counts == nullptr ? std::vector<std::uint32_t>{}
                             : std::vector<std::uint32_t>(counts, counts + columns);
}

// Empty when a table measured in two parts has the sums of the table measured
// whole, and its first part's own are those of its lines alone; the same for
// the continuation bytes counted beside them.
std::string compare_part_sums(const std::string &input, unsigned char delimiter,
                              std::size_t split_from)
{
    loaded_table got;
    got.bytes = padded(input);
    load_limits counting{.count_continuations = true,
                         .split_from = split_from,
                         .keep_parts = wants_row_parts(got.bytes.data(), input.size(), split_from)};
    if (load_table_within(got.bytes.data(), input.size(), delimiter, true, counting, &got.grid) !=
        load_done)
        return "load_table failed";
    const cell_grid &g = got.grid;
    auto columns = static_cast<std::size_t>(g.table.columns);
    std::vector<std::uint32_t> want = whole_sums(input, delimiter);
    if (counts_of(g.sums.bytes.get(), columns) != want)
        return "sums differ from the whole table's";
    if (counts_of(g.sums.continuations.get(), columns) !=
        (want.empty() ? want : model_continuations(input, delimiter, columns)))
        return "continuation counts differ from the model's";
    if (g.split.rows == 0 || g.sums.bytes == nullptr)
        return g.sums.head_bytes == nullptr && g.sums.head_continuations == nullptr
                   ? ""
                   : "head sums without a split";
    std::string head = input.substr(0, g.split.at);
    if (std::count(head.begin(), head.end(), '\n') != g.split.rows)
        return "the first part's rows are not its lines";
    std::vector<std::uint32_t> head_want = whole_sums(head, delimiter);
    head_want.resize(columns, 0);
    if (counts_of(g.sums.head_bytes.get(), columns) != head_want)
        return "the first part's sums differ from its lines' alone";
    if (counts_of(g.sums.head_continuations.get(), columns) !=
        model_continuations(head, delimiter, columns))
        return "the first part's continuation counts differ from its lines' alone";
    return "";
}

// Measured in two parts at once, as a large table is (each of these splits at
// the first LF from its middle on), the loader must agree with the same
// model, and with the sums of each part. With split_from at 1, a table
// whose first line is long has few rows, and told so the loader joins it as
// one.
TEST(load_table_random, two_parts_agree_with_model)
{
    // The first eight, which give sums, hold a continuation byte and a lead.
    const char alphabet[] = {'a',  '\xBF', ',',  '\xC0', '\t',   '\t',
                             '\n', '\n',   '\r', '\0',   '\x80', 'z'};
    std::mt19937 random(54321);
    for (int n = 0; n < 6000; ++n) {
        std::size_t split_from = n < 3000 ? 0 : 1;
        // Half of them without CR or NUL, so that they have sums.
        std::size_t letters = n % 2 == 0 ? 8 : sizeof alphabet;
        std::size_t length = random() % 300;
        // A quarter with few continuation bytes, so that whole blocks have none.
        std::string input;
        for (std::size_t i = 0; i < length; ++i) {
            char letter = alphabet[random() % letters];
            input += n % 4 == 0 && letter == '\xBF' && random() % 8 != 0 ? 'b' : letter;
        }
        for (unsigned char delimiter :
             {static_cast<unsigned char>(0x2C), static_cast<unsigned char>(0x09)}) {
            ASSERT_EQ(compare_with_model(input, delimiter, split_from), "")
                << testing::PrintToString(input) << " delimiter " << int{delimiter};
            ASSERT_EQ(compare_part_sums(input, delimiter, split_from), "")
                << testing::PrintToString(input) << " delimiter " << int{delimiter};
        }
    }
}

std::vector<std::uint32_t> totals_of(const std::uint64_t *totals, std::size_t columns)
{
    std::vector<std::uint32_t> counts;
    for (std::size_t c = 0; totals != nullptr && c < columns; ++c)
        counts.push_back(static_cast<std::uint32_t>(totals[c]));
    return counts;
}

// Empty when a table loaded with its sums folded every fold bytes, with its
// row table or alone, has the sums of the table measured whole without a
// fold: below 2 * fold bytes in 32-bit counts, continuations beside them,
// else in 64-bit totals alone; the first part's own beside the table's.
std::string compare_folded_sums(const std::string &input, unsigned char delimiter,
                                std::size_t split_from, std::size_t fold, bool with_rows)
{
    loaded_table got;
    got.bytes = padded(input);
    load_limits limits{.count_continuations = true,
                       .split_from = split_from,
                       .keep_parts = wants_row_parts(got.bytes.data(), input.size(), split_from),
                       .sums_without_rows = true,
                       .fold_bytes = fold};
    if (load_table_within(got.bytes.data(), input.size(), delimiter, with_rows, limits,
                          &got.grid) != load_done)
        return "load_table failed";
    const table_sums &sums = got.grid.sums;
    auto columns = static_cast<std::size_t>(got.grid.table.columns);
    std::vector<std::uint32_t> want = whole_sums(input, delimiter);
    std::vector<std::uint32_t> head_want;
    if (got.grid.split.rows > 0 && !want.empty()) {
        head_want = whole_sums(input.substr(0, got.grid.split.at), delimiter);
        head_want.resize(columns, 0);
    }
    if (input.size() / 2 < fold) {
        if (counts_of(sums.bytes.get(), columns) != want)
            return "sums differ from the unfolded ones";
        if (counts_of(sums.continuations.get(), columns) !=
            (want.empty() ? want : model_continuations(input, delimiter, columns)))
            return "continuation counts differ from the model's";
        if (counts_of(sums.head_bytes.get(), columns) != head_want)
            return "the first part's sums differ from its lines' alone";
        return sums.totals == nullptr ? "" : "totals beside the sums";
    }
    if (sums.bytes != nullptr || sums.continuations != nullptr)
        return "32-bit counts beside the totals";
    if (totals_of(sums.totals.get(), columns) != want)
        return "totals differ from the unfolded sums";
    if (totals_of(sums.head_totals.get(), columns) != head_want)
        return "the first part's totals differ from its lines' sums alone";
    return "";
}

// Folded at every few bytes, so that cells (some longer than a fold) and
// lines span the folds, in a part or two, with the row table or without:
// the sums must be the unfolded ones.
TEST(load_table_random, folded_sums_agree_with_unfolded)
{
    const char alphabet[] = {'a', '\xBF', '\xC0', ',', '\t', '\n'};
    std::mt19937 random(24680);
    for (int n = 0; n < 3000; ++n) {
        std::size_t length = random() % 700;
        std::string input;
        while (input.size() < length) {
            char letter = alphabet[random() % sizeof alphabet];
            input +=
                random() % 16 == 0 ? std::string(random() % 300, letter) : std::string(1, letter);
        }
        const std::size_t splits[] = {SIZE_MAX, 0, 1};
        const std::size_t folds[] = {64, 100, 128, 200, 1000};
        std::size_t split_from = splits[n % 3];
        std::size_t fold = folds[random() % 5];
        bool with_rows = n % 2 == 0;
        for (unsigned char delimiter :
             {static_cast<unsigned char>(0x2C), static_cast<unsigned char>(0x09)})
            ASSERT_EQ(compare_folded_sums(input, delimiter, split_from, fold, with_rows), "")
                << testing::PrintToString(input) << " delimiter " << int{delimiter} << " fold "
                << fold << " split from " << split_from << " with rows " << with_rows;
    }
}

// Where a table has no NUL or CR, its blocks take the scan's leaner loop,
// which stops at each fold and goes on after it: in both scan builds, a
// cell cut by a fold at each of its offsets (the first cell shifted a byte
// at a time) is counted whole, in one part and in two, with and without
// the row table.
TEST(load_table_limits, cells_cut_by_folds_in_both_scans)
{
    std::string lines;
    for (std::size_t r = 0; r < 40; ++r)
        lines += std::string(r * 7 % 90, 'a') + "\t" + std::string(r % 5, 'b') + "\t\n";
    for (std::size_t shift = 0; shift < scan_block; ++shift) {
        std::string input = std::string(shift, 'c') + "\t" + lines;
        for (bool wide : {true, false}) {
            cpu_paths_override paths({.wide = wide});
            for (std::size_t fold : {std::size_t{64}, std::size_t{192}})
                for (std::size_t split_from : {SIZE_MAX, std::size_t{0}})
                    for (bool with_rows : {true, false})
                        ASSERT_EQ(compare_folded_sums(input, '\t', split_from, fold, with_rows), "")
                            << "shift " << shift << " wide " << wide << " fold " << fold
                            << " split from " << split_from << " with rows " << with_rows;
        }
    }
}

// A second part longer than the pauses between its checks for the first
// part's refusal: the table over the rows allowed is refused as over the
// limit, with the scans on two threads or one; within them it is loaded
// whole, its rows all found.
TEST(load_table_limits, a_refused_first_part_stops_the_second)
{
    std::string input;
    for (int r = 0; input.size() < (std::size_t{12} << 20); ++r)
        input += std::to_string(r) + "\tcell\t" + std::to_string(r * 7) + "\n";
    auto lines = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
    struct limit_case {
        std::size_t most_rows;
        load_result want;
    };
    for (const limit_case &c :
         {limit_case{1000, load_over_limit}, limit_case{lines / 2, load_over_limit},
          limit_case{lines + 2, load_done}}) {
        for (bool threads : {true, false}) {
            loaded_table t;
            t.bytes = padded(input);
            load_limits limits{.most_rows = c.most_rows, .split_from = 0, .threads = threads};
            ASSERT_EQ(load_table_within(t.bytes.data(), input.size(), '\t', true, limits, &t.grid),
                      c.want)
                << "most rows " << c.most_rows << ", threads " << threads;
            if (c.want == load_done) {
                EXPECT_EQ(static_cast<std::size_t>(t.grid.table.rows), lines);
                EXPECT_EQ(t.grid.index.starts[lines], input.size());
            } else {
                EXPECT_EQ(t.grid.index.starts, nullptr);
            }
        }
    }
}

// Everything a load gives the writers, as one string: the view's size, plainness
// and line end, every row start, the sums, the split and the charset.
std::string load_summary(const std::string &input, unsigned char delimiter, std::size_t split_from,
                         bool count_continuations)
{
    loaded_table t;
    t.bytes = padded(input);
    load_limits limits{.count_continuations = count_continuations,
                       .guess_charset = true,
                       .split_from = split_from};
    if (load_table_within(t.bytes.data(), input.size(), delimiter, true, limits, &t.grid) !=
        load_done)
        return "refused";
    const cell_grid &g = t.grid;
    auto rows = static_cast<std::size_t>(g.table.rows);
    auto columns = static_cast<std::size_t>(g.table.columns);
    std::vector<std::size_t> numbers = {rows, columns, g.table.plain, g.table.line_end};
    numbers.insert(numbers.end(), g.index.starts.get(), g.index.starts.get() + rows + 1);
    const std::uint32_t *counts[] = {g.sums.bytes.get(), g.sums.continuations.get(),
                                     g.sums.head_bytes.get(), g.sums.head_continuations.get()};
    for (const std::uint32_t *c : counts) {
        numbers.push_back(c == nullptr ? SIZE_MAX : 0);
        for (std::uint32_t n : counts_of(c, columns))
            numbers.push_back(n);
    }
    numbers.insert(numbers.end(), {static_cast<std::size_t>(g.split.rows), g.split.at,
                                   static_cast<std::size_t>(g.charset_code)});
    return testing::PrintToString(numbers);
}

// The scan's AVX2 build classifies a block in two 32-byte halves, the SSE2
// one in four 16-byte quarters: both must give the same load, whatever
// falls on either side of a half or a block (lengths up to three blocks,
// in one part and in two, sums with and without continuation counts).
TEST(load_table_random, wide_and_narrow_scans_agree)
{
    if (!wide_scans())
        GTEST_SKIP() << "this processor has only the one scan";
    const char alphabet[] = {'a', '\xBF', ',', '\xC0', '\t', '\n', 'b', '\r', '\0', '\x1B'};
    std::mt19937 random(24680);
    for (int n = 0; n < 4000; ++n) {
        // Half of them without CR, NUL or ESC, so that they have sums.
        std::size_t letters = n % 2 == 0 ? 7 : sizeof alphabet;
        std::string input;
        for (std::size_t length = random() % 200; input.size() < length;)
            input += alphabet[random() % letters];
        std::size_t split_from = n % 3 == 0 ? 0 : SIZE_MAX;
        bool continuations = n % 4 < 2;
        for (unsigned char delimiter :
             {static_cast<unsigned char>(0x2C), static_cast<unsigned char>(0x09)}) {
            std::string wide = load_summary(input, delimiter, split_from, continuations);
            cpu_paths_override narrow({.wide = false});
            ASSERT_EQ(load_summary(input, delimiter, split_from, continuations), wide)
                << testing::PrintToString(input) << " delimiter " << int{delimiter};
        }
    }
}

// Each column's text bytes in lines [first, end) of a table without NUL or
// CR, one byte per step; columns entries.
std::vector<std::uint32_t> model_sums(const std::string &input, unsigned char delimiter,
                                      std::size_t columns, std::size_t first, std::size_t end)
{
    std::vector<std::uint32_t> sums(columns, 0);
    std::size_t line = 0;
    std::size_t column = 0;
    for (char c : input) {
        auto b = static_cast<unsigned char>(c);
        if (b == '\n') {
            ++line;
            column = 0;
        } else if (b == delimiter) {
            ++column;
        } else if (line >= first && line < end) {
            ++sums[column];
        }
    }
    return sums;
}

// The column sums, the load's and a band's of rows cut from its row index,
// against the model: lines of up to 150 cells, so that the sums grow past
// their first 64 columns and a line's cells cross blocks, within a bound on
// the columns summed that the table passes or not.
TEST(load_table_random, sums_agree_with_model)
{
    std::mt19937 random(97531);
    for (int n = 0; n < 400; ++n) {
        std::string input;
        std::size_t lines = 1 + random() % 40;
        std::size_t widest = 1 + random() % 150;
        for (std::size_t i = 0; i < lines; ++i) {
            std::size_t cells = random() % (widest + 1);
            for (std::size_t c = 0; c < cells; ++c) {
                input += c > 0 ? "," : "";
                input += std::string(random() % 6, static_cast<char>('a' + c % 26));
            }
            if (i + 1 < lines || random() % 2 == 0)
                input += '\n';
        }
        loaded_table t;
        t.bytes = padded(input);
        std::size_t most = 64 + random() % 100;
        load_limits limits{.most_columns = most, .split_from = n % 2 == 0 ? SIZE_MAX : 0};
        ASSERT_EQ(load_table_within(t.bytes.data(), input.size(), ',', true, limits, &t.grid),
                  load_done);
        const cell_grid &g = t.grid;
        auto columns = static_cast<std::size_t>(g.table.columns);
        std::vector<std::uint32_t> want = model_sums(input, ',', columns, 0, lines);
        ASSERT_EQ(counts_of(g.sums.bytes.get(), columns),
                  columns <= most ? want : std::vector<std::uint32_t>{})
            << input;
        if (g.sums.bytes == nullptr || g.table.rows == 0)
            continue;
        auto first = static_cast<std::int32_t>(random() % static_cast<unsigned>(g.table.rows));
        std::int32_t end =
            first + 1 +
            static_cast<std::int32_t>(random() % static_cast<unsigned>(g.table.rows - first));
        cell_grid band;
        ASSERT_TRUE(load_row_band(g, first, end, SIZE_MAX, &band));
        EXPECT_EQ(counts_of(band.sums.bytes.get(), columns),
                  model_sums(input, ',', columns, static_cast<std::size_t>(first),
                             static_cast<std::size_t>(end)))
            << input << " rows " << first << " to " << end;
    }
}

// The load makes a page's charset guess's second look as it scans, in two
// parts when it splits the table: it must answer as the look at the whole
// text does, up to the first NUL, whichever part holds it or a broken
// character, and whatever the text's length in blocks.
charset_id loaded_charset(const std::string &text, charset_id first, std::size_t split_from)
{
    loaded_table t;
    t.bytes = padded(text);
    load_limits limits{
        .first_match = first, .guess_charset = first == charset_none, .split_from = split_from};
    EXPECT_EQ(load_table_within(t.bytes.data(), text.size(), '\t', true, limits, &t.grid),
              load_done);
    return t.grid.charset_code;
}

TEST(load_table_random, looks_as_the_whole_text_look_does)
{
    // Texts of whole UTF-8 characters, of Shift_JIS characters or of EUC-JP
    // characters, the last two starting with a kanji that looks like a
    // three-byte UTF-8 character; now and then a piece that breaks them.
    const std::vector<std::vector<std::string>> sets = {
        {"a", "bc", "\t", "\n", "\xc3\xa9", "\xe3\x81\x82", "\xf0\x9f\x98\x80"},
        {"a", "\t", "\n", "\xe0\x8a\x82\xd1", "\xb1", "\x81\x40", "\xea\xa2\x8e\x71"},
        {"a", "\t", "\n", "\xe4\xa1\xa4\xce", "\xa4\xa2", "\x8e\xb1", "\x8f\xa1\xa1"}};
    const char *broken[] = {"\xff", "\xc3", "\x80", "\xed\xa0\x80", "\xe0\x80\x80", "\x8e", "\xa1"};
    std::vector<std::string> texts = {std::string(63, 'a') + "\xc3",
                                      std::string(62, 'a') + "\xc3\xa9",
                                      std::string(127, 'a') + "\n\xe3\x81",
                                      "",
                                      std::string(4095, 'a') + "\xc3",
                                      std::string(4095, 'a') + "\xc3\xa9\n" +
                                          std::string(4100, 'b'),
                                      std::string(4095, 'a') + "\xc3\n\xa9",
                                      "\xe0\x8a" + std::string(4093, 'a') + "\x82\n\xd1",
                                      "\xe4\xa1\xa4" + std::string(4092, 'a') + "\xa4\n\xa2"};
    std::mt19937 random(2468);
    for (int n = 0; n < 3000; ++n) {
        const std::vector<std::string> &set = sets[static_cast<std::size_t>(n) % 3];
        std::string text = n % 3 == 0 ? "" : set[3];
        for (std::size_t i = random() % 120; i > 0; --i) {
            // Broken pieces are rare, so that many texts are whole.
            if (random() % 40 == 0)
                text += broken[random() % std::size(broken)];
            else
                text += set[random() % set.size()];
        }
        if (n % 5 == 0)
            text.insert(random() % (text.size() + 1), 1, '\0');
        texts.push_back(text);
    }
    int answers[5] = {};
    for (const std::string &text : texts) {
        std::vector<unsigned char> whole = padded(text);
        charset_id want = detect_charset(whole.data());
        charset_id first = first_match_charset(whole.data());
        answers[want] += first == charset_three_byte_utf8;
        for (std::size_t split : {SIZE_MAX, std::size_t{0}}) {
            // A first match that asks for no look asks the load for none.
            ASSERT_EQ(needs_second_look(first) ? loaded_charset(text, first, split) : first, want)
                << testing::PrintToString(text) << ", split " << (split == 0);
            // The whole guess, left to the load.
            ASSERT_EQ(loaded_charset(text, charset_none, split), want)
                << testing::PrintToString(text) << ", split " << (split == 0);
            // The UTF-8 check alone, whatever the first match.
            ASSERT_EQ(loaded_charset(text, charset_euc_jp, split) == charset_utf8,
                      well_formed_utf8(whole.data()))
                << testing::PrintToString(text) << ", split " << (split == 0);
        }
    }
    // Each answer after a three-byte UTF-8 first match came up often.
    for (int code : {charset_shift_jis, charset_euc_jp, charset_utf8})
        EXPECT_GT(answers[code], 200) << "answer " << code;
}

// Left the whole guess, the load starts it where its scan, on one thread or
// two, found the text stop being plain ASCII: the answer must be the one the
// guess gives from the text's start, wherever that is, in either part.
TEST(load_table_guess, from_where_plain_ascii_ends)
{
    std::string lines;
    for (int i = 0; i < 200; ++i)
        lines += "cell\tcell\tcell\n";
    const std::string texts[] = {
        lines,
        lines + std::string(64 - lines.size() % 64, 'a'), // a whole number of blocks
        lines + "\x1b$B",                                 // ESC late, in the last block
        lines + "\xe3\x81\x82",
        lines + "x\xa4\xa2",
        lines + lines + "\x81\x40",                        // in the second part
        "\xa4\xa2" + lines + lines,                        // in the first part
        lines + "\x1b" + lines + "\x1b(B",                 // an ESC that decides nothing first
        lines + std::string(1, '\0') + "\xa4\xa2" + lines, // a NUL ends the text first
        lines + lines + std::string(1, '\0') + "\xa4\xa2",
        lines + "\xc3\xa9" + lines + "\xa4\xa2", // the second look is asked for
        std::string(63, 'a') + "\xc3\xa9\n" + lines + "\xe3\x81\x82" + lines + "\xa4\xa2",
    };
    for (const std::string &text : texts) {
        charset_id want = detect_charset(padded(text).data());
        for (std::size_t split : {SIZE_MAX, std::size_t{0}})
            EXPECT_EQ(loaded_charset(text, charset_none, split), want)
                << testing::PrintToString(text.substr(text.size() - 8)) << ", split "
                << (split == 0);
    }
}

} // namespace
