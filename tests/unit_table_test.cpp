#include "output/writers.h"
#include "table/unit_table.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

std::string file_of(const std::u16string &units, unit_order order)
{
    std::string bytes = order == utf16_big ? "\xfe\xff" : "\xff\xfe";
    for (char16_t unit : units) {
        unsigned char two[2];
        store_unit(two, unit, order);
        bytes.append(reinterpret_cast<const char *>(two), 2);
    }
    return bytes;
}

struct measure_case {
    const char *name;
    std::u16string text;
    bool simple;
    std::vector<std::uint64_t> text_bytes; // each column's, when simple
};

std::u16string wide_line(int cells)
{
    std::u16string line;
    for (int c = 0; c < cells; ++c)
        line += c == 0 ? u"x" : u"\tx";
    return line + u"\n";
}

// Units with a byte that is a delimiter, LF, CR or NUL in either order, and
// surrogates alone or paired: text, never a stop.
const std::u16string lookalikes =
    u"\u0909\u4e09\u0a0a\u090a\u0900\u0d00\u0a00\u4e0d\xd83d\xde00\xdc00";

const measure_case measure_cases[] = {
    {"rows ended by LF", u"ab\tc\nd\te\n", true, {6, 4}},
    {"last line without LF", u"ab\tc\nd\te", true, {6, 4}},
    {"last line ends in a delimiter", u"a\tb\nc\t", true, {4, 2}},
    {"units that only look like stops",
     lookalikes + u"\t" + lookalikes + u"\nx\ty\n",
     true,
     {24, 24}},
    {"sixty-four columns", wide_line(64) + wide_line(64), true, std::vector<std::uint64_t>(64, 4)},
    {"sixty-five columns", wide_line(65) + wide_line(65), false, {}},
    {"one column", u"a\nb\n", false, {}},
    {"lines ended by CR LF", u"ab\tc\r\nd\te\r\n", true, {6, 4}},
    // The CR the last unit of the first 64-byte block, its LF the next's first.
    {"CR LF across blocks", u"a\t" + std::u16string(29, u'x') + u"\r\nb\tc\n", true, {4, 60}},
    {"a CR inside a cell", u"a\tb\rc\nd\te\n", false, {}},
    {"a CR that ends the text", u"a\tb\r\nc\td\r", false, {}},
    {"a NUL unit in the last line", std::u16string(u"a\tb\nc\td\0e\n", 10), false, {}},
    {"a line short of cells", u"a\tb\nc\nd\te\n", false, {}},
    {"a last line short of cells", u"a\tb\nc\td\ne", false, {}},
    {"an empty line", u"a\tb\n\nc\td\n", false, {}},
    {"an empty line at the end", u"a\tb\nc\td\n\n", false, {}},
};

class unit_table_measure : public testing::TestWithParam<measure_case>
{
};

// In either order, in one part and in two (the second part starting at each
// LF the middle may fall before), on two threads and one.
TEST_P(unit_table_measure, takes_only_the_simplest_tables)
{
    const measure_case &c = GetParam();
    for (unit_order order : {utf16_little, utf16_big}) {
        std::vector<unsigned char> file = padded(file_of(c.text, order));
        std::size_t size = file.size() - input_padding;
        for (std::size_t split : {SIZE_MAX, std::size_t{0}}) {
            unit_table table;
            bool simple =
                measure_unit_table(file.data(), size, order, '\t', split, split == 0, &table);
            ASSERT_EQ(simple, c.simple) << "order " << order << ", split " << (split == 0);
            if (!simple)
                continue;
            std::vector<std::uint64_t> sums(static_cast<std::size_t>(table.columns));
            for (std::int32_t p = 0; p < table.parts; ++p) {
                for (std::size_t k = 0; k < sums.size(); ++k)
                    sums[k] += table.part[p].text[k];
            }
            EXPECT_EQ(sums, c.text_bytes);
            EXPECT_EQ(table.rows, table.part[0].rows + (table.parts == 2 ? table.part[1].rows : 0));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, unit_table_measure, testing::ValuesIn(measure_cases),
                         case_name<measure_case>);

// A generated table's bytes widened to units, some letters standing for
// units that only look like stops.
std::u16string widened(const std::string &text)
{
    std::u16string units;
    for (char ch : text) {
        std::size_t at = std::string("#$%&'()*").find(ch);
        units += at == std::string::npos ? static_cast<char16_t>(ch) : lookalikes[at];
    }
    return units;
}

struct transposed_case {
    const char *name;
    std::size_t rows;
    std::size_t columns;
    char delimiter;
    bool last_lf;
    bool crlf; // lines ended by CR LF
};

const transposed_case transposed_cases[] = {
    {"tall, tab", 3000, 10, '\t', true, false},
    {"tall, comma, no final LF", 3000, 7, ',', false, false},
    {"tall, CR LF", 3000, 9, '\t', true, true},
    {"sixty-four columns, CR LF", 400, 64, '\t', false, true},
    {"two rows", 2, 5, ',', true, false},
};

class unit_table_transposed : public testing::TestWithParam<transposed_case>
{
};

// Written at offsets by lanes (one part or two, on threads or not) and in
// sequence a line at a time (a destination that takes no offsets, a budget
// that holds no lanes): always the transposed table, unit for unit.
TEST_P(unit_table_transposed, every_way_writes_the_same_units)
{
    const transposed_case &c = GetParam();
    rows_t rows = generated_rows(c.rows, c.columns, 40, 7, true);
    std::string text;
    for (char ch : joined_rows(rows, c.delimiter))
        text += ch == '\n' && c.crlf ? std::string("\r\n") : std::string(1, ch);
    if (!c.last_lf)
        text.resize(text.size() - (c.crlf ? 2 : 1));
    std::u16string expected = widened(model_delimited(rows, c.columns, true, c.delimiter));
    for (unit_order order : {utf16_little, utf16_big}) {
        std::vector<unsigned char> file = padded(file_of(widened(text), order));
        std::string want = file_of(expected, order).substr(2);
        for (int way = 0; way < 5; ++way) {
            unit_table table;
            ASSERT_TRUE(measure_unit_table(file.data(), file.size() - input_padding, order,
                                           static_cast<unsigned char>(c.delimiter),
                                           way < 3 ? 0 : SIZE_MAX, true, &table));
            std::string got = written_by(way != 4, [&](output_target to) {
                to.threads = way != 1;
                to.budget = way == 2 ? 4096 : UINT64_MAX;
                ASSERT_TRUE(write_units_replace(table, to));
            });
            EXPECT_EQ(got, want) << "order " << order << ", way " << way;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, unit_table_transposed, testing::ValuesIn(transposed_cases),
                         case_name<transposed_case>);

// A write refused by a full disk fails the result, by lanes at offsets and
// in sequence alike.
TEST(unit_table_written, full_disk_fails_the_result)
{
    rows_t rows = generated_rows(3000, 10, 40, 9, true);
    std::vector<unsigned char> file =
        padded(file_of(widened(joined_rows(rows, '\t')), utf16_little));
    unit_table table;
    ASSERT_TRUE(measure_unit_table(file.data(), file.size() - input_padding, utf16_little, '\t', 0,
                                   true, &table));
    fault_plan *plan = full_disk_at(3);
    failure_report why;
    written_by(true, [&](output_target to) {
        platform_faults = plan;
        EXPECT_FALSE(write_units_replace(table, to, &why));
        platform_faults = nullptr;
    });
    EXPECT_EQ(why.what, failure::write);
    EXPECT_EQ(why.error, ENOSPC);
    output_target full;
    full.fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(full.fd, 0);
    why = failure_report{};
    EXPECT_FALSE(write_units_replace(table, full, &why));
    EXPECT_EQ(why.what, failure::write);
    EXPECT_EQ(why.error, ENOSPC);
    close(full.fd);
}

} // namespace
