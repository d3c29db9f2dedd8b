#include "output/html.h"
#include "output/writers.h"
#include "table/charset.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>

namespace
{

// The fixed frame around the table rows, for cases that are about the rows.
std::string page(const char *charset_name, const std::string &table_rows)
{
    return std::string("<html lang=\"ja\"><head>\n"
                       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=") +
           charset_name +
           "\">\n<title></title>\n</head><body>\n"
           "<table border=\"1\" cellpadding=\"2\" cellspacing=\"2\">\n<tbody>\n" +
           table_rows + "</tbody>\n</table>\n</body></html>\n";
}

struct page_case {
    const char *name;
    std::string input;       // tab-delimited
    charset_id charset_code; // the driver's guess
    std::string normal;
    std::string replace;
};

const page_case page_cases[] = {
    {"ragged table spelled out whole", "a1\t\ta3\nb1\n", charset_euc_jp,
     R"(<html lang="ja"><head>
<meta http-equiv="Content-Type" content="text/html; charset=euc-jp">
<title></title>
</head><body>
<table border="1" cellpadding="2" cellspacing="2">
<tbody>
<tr>
<td>a1</td>
<td> </td>
<td>a3</td>
</tr>

<tr>
<td>b1</td>
<td> </td>
<td> </td>
</tr>

</tbody>
</table>
</body></html>
)",
     R"(<html lang="ja"><head>
<meta http-equiv="Content-Type" content="text/html; charset=euc-jp">
<title></title>
</head><body>
<table border="1" cellpadding="2" cellspacing="2">
<tbody>
<tr>
<td>a1</td>
<td>b1</td>
</tr>

<tr>
<td> </td>
<td> </td>
</tr>

<tr>
<td>a3</td>
<td> </td>
</tr>

</tbody>
</table>
</body></html>
)"},
    {"no rows", "", charset_utf8, page("UTF-8", ""), page("UTF-8", "<tr>\n</tr>\n\n")},
    {"one column", "x y\n<\n", charset_shift_jis,
     page("shift_jis", "<tr>\n<td>x&nbsp;y</td>\n</tr>\n\n<tr>\n<td>&lt;</td>\n</tr>\n\n"),
     page("shift_jis", "<tr>\n<td>x&nbsp;y</td>\n<td>&lt;</td>\n</tr>\n\n")},
    // A cell left in the two-byte state must not carry it into the next one.
    {"shift state starts anew in each cell", "\x1b$B$\"\t<\x1b$B$<", charset_iso_2022_jp,
     page("iso-2022-jp", "<tr>\n<td>\x1b$B$\"</td>\n<td>&lt;\x1b$B$<</td>\n</tr>\n\n"),
     page("iso-2022-jp",
          "<tr>\n<td>\x1b$B$\"</td>\n</tr>\n\n<tr>\n<td>&lt;\x1b$B$<</td>\n</tr>\n\n")},
    // The page follows the driver's guess, not the bytes it holds.
    {"escape bytes in a page not guessed iso 2022 jp", "\x1b$B$\"\r\n", charset_utf8,
     page("UTF-8", "<tr>\n<td>\x1b$B$&quot;</td>\n</tr>\n\n"),
     page("UTF-8", "<tr>\n<td>\x1b$B$&quot;</td>\n</tr>\n\n")},
};

void PrintTo(const page_case &c, std::ostream *os)
{
    *os << c.name;
}

class html_page : public testing::TestWithParam<page_case>
{
};

TEST_P(html_page, writes_both_orientations)
{
    const page_case &c = GetParam();
    for (bool positioned : {true, false}) {
        loaded_table stored;
        ASSERT_TRUE(load_text(&stored, c.input, '\t', false));
        EXPECT_EQ(written_by(positioned,
                             [&](output_target to) {
                                 to.charset = c.charset_code;
                                 EXPECT_TRUE(write_normal(stored.grid, format_html, to));
                             }),
                  c.normal);
        loaded_table rows;
        ASSERT_TRUE(load_text(&rows, c.input, '\t'));
        EXPECT_EQ(written_by(positioned,
                             [&](output_target to) {
                                 to.charset = c.charset_code;
                                 EXPECT_TRUE(write_replace(std::move(rows.grid), format_html, to));
                             }),
                  c.replace);
    }
}

INSTANTIATE_TEST_SUITE_P(all, html_page, testing::ValuesIn(page_cases), case_name<page_case>);

// A tall table's page at offsets, lines placed after the head, the tail after
// the last line: the same page as written in sequence.
TEST(html_page_tall, lines_at_offsets)
{
    std::string input;
    std::string first = "<tr>\n";
    std::string second = "<tr>\n";
    for (int j = 0; j < 200; ++j) {
        std::string a = "r";
        a += std::to_string(j);
        input += a + (j % 3 == 0 ? "\n" : "\t<" + std::to_string(j) + " x>\n");
        first += "<td>" + a + "</td>\n";
        second +=
            j % 3 == 0 ? "<td> </td>\n" : "<td>&lt;" + std::to_string(j) + "&nbsp;x&gt;</td>\n";
    }
    std::string want = page("UTF-8", first + "</tr>\n\n" + second + "</tr>\n\n");
    for (bool positioned : {true, false}) {
        loaded_table rows;
        ASSERT_TRUE(load_text(&rows, input, '\t'));
        EXPECT_EQ(written_by(positioned,
                             [&](const output_target &to) {
                                 EXPECT_TRUE(write_replace(std::move(rows.grid), format_html, to));
                             }),
                  want)
            << "positioned " << positioned;
    }
}

// Cells of every length up to 70, each with one byte to escape or none, at
// every third place: the walk finds them 64 bytes at a time, and a cell must
// be escaped for its own bytes, never for a neighbour's.
TEST(html_page_marks, one_escape_at_every_place)
{
    std::string input;
    std::string cells;
    std::string lines;
    for (int length = 1; length <= 70; ++length) {
        for (int at = -1; at < length; at += 3) {
            std::string text(static_cast<std::size_t>(length), 'w');
            std::string want = text;
            if (at >= 0) {
                text[static_cast<std::size_t>(at)] = '&';
                want.replace(static_cast<std::size_t>(at), 1, "&amp;");
            }
            input += (input.empty() ? "" : "\t") + text;
            cells += "<td>" + want + "</td>\n";
            lines += "<tr>\n<td>" + want + "</td>\n</tr>\n\n";
        }
    }
    for (bool positioned : {true, false}) {
        loaded_table stored;
        ASSERT_TRUE(load_text(&stored, input, '\t', false));
        EXPECT_EQ(written_by(positioned,
                             [&](const output_target &to) {
                                 EXPECT_TRUE(write_normal(stored.grid, format_html, to));
                             }),
                  page("UTF-8", "<tr>\n" + cells + "</tr>\n\n"));
        loaded_table rows;
        ASSERT_TRUE(load_text(&rows, input, '\t'));
        EXPECT_EQ(written_by(positioned,
                             [&](const output_target &to) {
                                 EXPECT_TRUE(write_replace(std::move(rows.grid), format_html, to));
                             }),
                  page("UTF-8", lines));
    }
}

// Transposed pages of generated tables, written at offsets and in sequence,
// against the page spelled out from the rows: the line sizes come from a scan
// of the bytes, so every kind of cell that changes them is mixed in (empty,
// absent, each entity, ESC), in short and long rows, with and without a last
// LF, in every method's shape (lanes, groups, one cursor per row).
struct generated_page_case {
    const char *name;
    std::size_t rows;
    std::size_t columns;
    std::size_t longest; // cell lengths 0 to longest
    unsigned seed;
    bool ragged = true; // else every row fills every column
    // Cells are drawn from these; in mostly plain text, blocks without a
    // byte that changes a size pass lines the scan must count over.
    const char *alphabet = "ab c<d>e&f\"g\x1bh";
};

const char *mostly_plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";

const generated_page_case generated_page_cases[] = {
    {"lanes", 400, 5, 9, 1},
    {"lanes of long cells", 100, 3, 150, 2},
    {"groups", 60, 300, 6, 3},
    {"few rows", 3, 900, 12, 4},
    {"one row", 1, 80, 70, 5},
    {"one column", 200, 1, 20, 6},
    {"rectangular lanes", 300, 4, 30, 7, false},
    {"rectangular groups", 50, 200, 5, 8, false},
    {"mostly plain lanes", 400, 6, 20, 9, true, mostly_plain},
    {"mostly plain rectangular lanes", 400, 3, 40, 10, false, mostly_plain},
    {"mostly plain rectangular groups", 40, 300, 8, 11, false, mostly_plain},
};

using page_rows = std::vector<std::vector<std::string>>;

std::string model_transposed_page(const page_rows &rows, std::size_t columns)
{
    std::string lines;
    for (std::size_t c = 0; c < columns; ++c) {
        lines += "<tr>\n";
        for (const auto &row : rows) {
            std::string text = c < row.size() ? row[c] : "";
            std::string cell;
            for (char b : text) {
                const char *entity = b == ' '   ? "&nbsp;"
                                     : b == '"' ? "&quot;"
                                     : b == '&' ? "&amp;"
                                     : b == '<' ? "&lt;"
                                     : b == '>' ? "&gt;"
                                                : nullptr;
                cell += entity == nullptr ? std::string(1, b) : entity;
            }
            lines += "<td>" + (cell.empty() ? " " : cell) + "</td>\n";
        }
        lines += "</tr>\n\n";
    }
    return page("UTF-8", lines);
}

void PrintTo(const generated_page_case &c, std::ostream *os)
{
    *os << c.name;
}

class html_generated : public testing::TestWithParam<generated_page_case>
{
};

TEST_P(html_generated, transposed_page_matches_the_rows)
{
    const generated_page_case &g = GetParam();
    std::mt19937 random(g.seed);
    const std::string alphabet = g.alphabet;
    page_rows rows(g.rows);
    for (auto &row : rows) {
        // Short rows end early; the first row sets the width.
        std::size_t filled = &row == &rows[0] || !g.ragged ? g.columns : random() % (g.columns + 1);
        for (std::size_t c = 0; c < filled; ++c) {
            std::size_t length = random() % (g.longest + 1);
            std::string text;
            for (std::size_t k = 0; k < length; ++k)
                text += alphabet[random() % alphabet.size()];
            row.push_back(text);
        }
        if (row.size() == 1 && row[0].empty())
            row.clear(); // an empty line fills no cell
    }
    // Half the tables end in an empty cell: without the last LF, the data ends in a delimiter.
    if (g.seed % 2 == 0 && rows.back().size() >= 2)
        rows.back().back().clear();
    for (char delimiter : {'\t', ','}) {
        std::string input;
        for (const auto &row : rows) {
            for (std::size_t c = 0; c < row.size(); ++c)
                input += (c > 0 ? std::string(1, delimiter) : "") + row[c];
            input += '\n';
        }
        std::string want = model_transposed_page(rows, g.columns);
        // Without its LF the last line is still a row, but for an empty one.
        bool last_filled = !rows.back().empty();
        for (bool last_lf : {true, false}) {
            std::string text = last_lf || !last_filled ? input : input.substr(0, input.size() - 1);
            for (bool positioned : {true, false}) {
                loaded_table table;
                ASSERT_TRUE(load_text(&table, text, static_cast<unsigned char>(delimiter)));
                EXPECT_EQ(written_by(positioned,
                                     [&](const output_target &to) {
                                         EXPECT_TRUE(
                                             write_replace(std::move(table.grid), format_html, to));
                                     }),
                          want)
                    << "delimiter " << delimiter << ", last LF " << last_lf << ", positioned "
                    << positioned;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, html_generated, testing::ValuesIn(generated_page_cases),
                         case_name<generated_page_case>);

// Cells of 130 to 300 bytes, each with one byte to escape at every place
// and plain 64-byte blocks after it, through every way a page is written:
// the walk that finds them a block at a time must remember an escape from
// any earlier block of the cell, not only the last one's.
struct long_cells_case {
    const char *name;
    std::size_t columns; // cells per row; 1 puts a cell of over 4 MiB first
    bool replace;
    bool positioned;
    bool split = false;                // measured in two parts
    std::uint64_t budget = UINT64_MAX; // small: through a spill
    bool utf16 = false;
};

const long_cells_case long_cells_cases[] = {
    {"stored rows", 100, false, false},
    {"lanes", 2, true, true},
    {"lanes of two parts", 2, true, true, true},
    {"groups", 2, true, false},
    {"groups of two parts", 2, true, false, true},
    {"groups of a wide table", 100, true, false},
    {"halves", 100, true, true, true},
    {"cursors, a line too long for a group", 1, true, false},
    {"spill", 2, true, true, false, 20000},
    {"utf 16 lanes", 2, true, true, false, UINT64_MAX, true},
    {"utf 16 groups", 100, true, false, false, UINT64_MAX, true},
};

void PrintTo(const long_cells_case &c, std::ostream *os)
{
    *os << c.name;
}

page_rows long_cells_rows(std::size_t columns)
{
    std::vector<std::string> cells;
    const char escaped[] = " \"&<>";
    for (std::size_t length :
         {std::size_t{130}, std::size_t{150}, std::size_t{193}, std::size_t{257}, std::size_t{300}})
        for (std::size_t at = 0; at < length; ++at) {
            cells.emplace_back(length, 'w');
            cells.back()[at] = escaped[cells.size() % 5];
        }
    page_rows rows;
    if (columns == 1)
        rows.push_back({std::string((std::size_t{4} << 20) + 1000, 'f')});
    for (std::size_t k = 0; k < cells.size(); k += columns) {
        rows.emplace_back();
        for (std::size_t c = 0; c < columns; ++c)
            rows.back().push_back(k + c < cells.size() ? cells[k + c] : "x");
    }
    return rows;
}

using html_long_cells = testing::TestWithParam<long_cells_case>;

TEST_P(html_long_cells, every_escape_kept_past_plain_blocks)
{
    const long_cells_case &c = GetParam();
    page_rows rows = long_cells_rows(c.columns);
    std::string input;
    for (const auto &row : rows) {
        for (std::size_t k = 0; k < row.size(); ++k)
            input += (k > 0 ? "\t" : "") + row[k];
        input += '\n';
    }
    page_rows columns(c.columns);
    for (const auto &row : rows)
        for (std::size_t k = 0; k < row.size(); ++k)
            columns[k].push_back(row[k]);
    std::string want = c.replace ? model_transposed_page(rows, c.columns)
                                 : model_transposed_page(columns, rows.size());
    if (c.utf16) {
        std::string units = "\xfe\xff";
        for (char b : want)
            units += std::string(1, '\0') + b;
        want = units;
    }
    std::size_t split_from = c.split ? 0 : SIZE_MAX;
    loaded_table table;
    ASSERT_TRUE(load_text(&table, input, '\t', c.replace, split_from));
    std::string beside = testing::TempDir() + "result";
    std::string written = written_by(c.positioned, [&](output_target to) {
        utf16_encoder encoder;
        if (c.utf16) {
            encoder.order = utf16_big;
            ASSERT_EQ(write(to.fd, "\xfe\xff", 2), 2);
            to.encoder = &encoder;
            to.origin = 2;
        }
        to.budget = c.budget;
        to.spill_beside = beside.c_str();
        to.split_from = split_from;
        EXPECT_TRUE(c.replace ? write_replace(std::move(table.grid), format_html, to)
                              : write_normal(table.grid, format_html, to));
    });
    EXPECT_TRUE(written == want)
        << "written " << written.size() << " bytes, want " << want.size()
        << "; first difference at "
        << std::mismatch(written.begin(), written.end(), want.begin(), want.end()).first -
               written.begin();
}

INSTANTIATE_TEST_SUITE_P(all, html_long_cells, testing::ValuesIn(long_cells_cases),
                         case_name<long_cells_case>);

struct cell_case {
    const char *name;
    std::string text; // present and non-empty, without comma
    charset_id charset_code;
    std::string expected;
};

const cell_case cell_cases[] = {
    {"one space", " ", charset_utf8, "<td>&nbsp;</td>\n"},
    {"only spaces", "   ", charset_utf8, "<td>&nbsp;&nbsp;&nbsp;</td>\n"},
    {"spaces around words", " a  b ", charset_utf8, "<td>&nbsp;a&nbsp;&nbsp;b&nbsp;</td>\n"},
    {"the five bytes, apostrophe unchanged", "x&y<>\"'", charset_utf8,
     "<td>x&amp;y&lt;&gt;&quot;'</td>\n"},
    {"tab unchanged", "a\tb", charset_utf8, "<td>a\tb</td>\n"},
    {"plain text is one run", "plain", charset_utf8, "<td>plain</td>\n"},
    {"entity first and last", "<mid>", charset_utf8, "<td>&lt;mid&gt;</td>\n"},
    {"high bytes unchanged", "\xe3\x81\x82\x82\xa0\xa4\xa2\xff", charset_utf8,
     "<td>\xe3\x81\x82\x82\xa0\xa4\xa2\xff</td>\n"},
    {"shift jis escapes inside escape sequences", "\x1b$B$\"$&$<$>\x1b(B", charset_shift_jis,
     "<td>\x1b$B$&quot;$&amp;$&lt;$&gt;\x1b(B</td>\n"},
    {"euc jp escapes inside escape sequences", "\x1b$B$\"\x1b(B", charset_euc_jp,
     "<td>\x1b$B$&quot;\x1b(B</td>\n"},
    {"unknown code escapes like utf 8", "\x1b$B$<\x1b(B", static_cast<charset_id>(7),
     "<td>\x1b$B$&lt;\x1b(B</td>\n"},
    {"iso 2022 jp two byte state unchanged", "a<\x1b$B$<\x1b(B&", charset_iso_2022_jp,
     "<td>a&lt;\x1b$B$<\x1b(B&amp;</td>\n"},
    {"iso 2022 jp all four halves", "\x1b$B$\"$&L>%\"$<\x1b(B", charset_iso_2022_jp,
     "<td>\x1b$B$\"$&L>%\"$<\x1b(B</td>\n"},
    {"iso 2022 jp 1978 designation", "\x1b$@$\"\x1b(B>", charset_iso_2022_jp,
     "<td>\x1b$@$\"\x1b(B&gt;</td>\n"},
    {"iso 2022 jp roman ends two byte state", "\x1b$B$&\x1b(J<", charset_iso_2022_jp,
     "<td>\x1b$B$&\x1b(J&lt;</td>\n"},
    {"iso 2022 jp katakana state", "\x1b(I<&\">\x1b(B<", charset_iso_2022_jp,
     "<td>\x1b(I<&\">\x1b(B&lt;</td>\n"},
    {"iso 2022 jp katakana then two byte", "\x1b(I<\x1b$B$\"\x1b(B\"", charset_iso_2022_jp,
     "<td>\x1b(I<\x1b$B$\"\x1b(B&quot;</td>\n"},
    {"iso 2022 jp space in two byte state", "\x1b$B \x1b(B ", charset_iso_2022_jp,
     "<td>\x1b$B \x1b(B&nbsp;</td>\n"},
    {"iso 2022 jp supplementary designation does not switch", "\x1b$(D$<", charset_iso_2022_jp,
     "<td>\x1b$(D$&lt;</td>\n"},
    {"iso 2022 jp supplementary designation keeps two byte", "\x1b$B\x1b$(D$\"\x1b(B",
     charset_iso_2022_jp, "<td>\x1b$B\x1b$(D$\"\x1b(B</td>\n"},
    {"iso 2022 jp unknown escapes change nothing", "\x1b$A<\x1b(D>", charset_iso_2022_jp,
     "<td>\x1b$A&lt;\x1b(D&gt;</td>\n"},
    {"iso 2022 jp revision prefix escaped in single byte state", "\x1b&@\x1b$B$\"\x1b(B",
     charset_iso_2022_jp, "<td>\x1b&amp;@\x1b$B$\"\x1b(B</td>\n"},
    {"iso 2022 jp escape at the end", "<\x1b", charset_iso_2022_jp, "<td>&lt;\x1b</td>\n"},
    {"iso 2022 jp cut escape at the end", "<\x1b$", charset_iso_2022_jp, "<td>&lt;\x1b$</td>\n"},
    {"iso 2022 jp cut escape in two byte state", "\x1b$B$\"\x1b(", charset_iso_2022_jp,
     "<td>\x1b$B$\"\x1b(</td>\n"},
};

void PrintTo(const cell_case &c, std::ostream *os)
{
    *os << c.name;
}

class html_cell : public testing::TestWithParam<cell_case>
{
};

// What put(block) writes through a main output block.
template <typename F> std::string block_bytes(F put)
{
    static writer_blocks blocks;
    return written_by(false, [&](output_target to) {
        EXPECT_TRUE(have_output_blocks(&blocks));
        to.blocks = &blocks;
        output_block out = main_output(to);
        put(&out);
        flush_output(&out);
    });
}

TEST_P(html_cell, escapes_by_charset)
{
    const cell_case &c = GetParam();
    // The text ends at the data's end, so the sanitizer sees any read past
    // the padding; each byte that ends a cell ends it there too.
    std::vector<unsigned char> text = padded(c.text);
    html_style style = html_style_for(c.charset_code, ',');
    EXPECT_EQ(block_bytes([&](output_block *out) { put_html_cell(out, style, text.data()); }),
              c.expected);
    for (const char *end : {",", "\n", "\r"}) {
        std::vector<unsigned char> cut = padded(c.text + end + "<tail>");
        EXPECT_EQ(block_bytes([&](output_block *out) { put_html_cell(out, style, cut.data()); }),
                  c.expected)
            << "ended by " << testing::PrintToString(std::string(end));
    }
}

INSTANTIATE_TEST_SUITE_P(all, html_cell, testing::ValuesIn(cell_cases), case_name<cell_case>);

struct meta_case {
    int charset_code; // also codes outside the set
    const char *name;
};

const meta_case meta_cases[] = {
    {1, "iso-2022-jp"}, {2, "shift_jis"}, {3, "euc-jp"}, {4, "UTF-8"},
    {5, "utf-16"},      {0, "UTF-8"},     {6, "UTF-8"},  {-1, "UTF-8"},
};

TEST(html_meta, names_each_code)
{
    for (const meta_case &c : meta_cases) {
        std::string line = block_bytes([&](output_block *out) {
            put_meta_charset(out, static_cast<charset_id>(c.charset_code));
        });
        EXPECT_EQ(line, std::string("<meta http-equiv=\"Content-Type\" "
                                    "content=\"text/html; charset=") +
                            c.name + "\">\n")
            << "code " << c.charset_code;
    }
    EXPECT_EQ(
        block_bytes([](output_block *out) { put_meta_charset(out, charset_iso_2022_jp); }).size(),
        74u);
}

} // namespace
