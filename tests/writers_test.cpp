#include "output/transpose.h"
#include "output/writers.h"
#include "table/utf16.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

// Both orientations of one input, to a file written at offsets and to one
// written in sequence: the result must not depend on the method.
void expect_both_orientations(const std::string &input, unsigned char delimiter,
                              const std::string &normal, const std::string &replace)
{
    for (bool positioned : {true, false}) {
        loaded_table stored;
        ASSERT_TRUE(load_text(&stored, input, delimiter, false));
        EXPECT_EQ(written_by(positioned,
                             [&](const output_target &to) {
                                 EXPECT_TRUE(write_normal(stored.grid, format_delimited, to));
                             }),
                  normal)
            << "positioned " << positioned;
        loaded_table rows;
        ASSERT_TRUE(load_text(&rows, input, delimiter));
        EXPECT_EQ(written_by(positioned,
                             [&](const output_target &to) {
                                 EXPECT_TRUE(
                                     write_replace(std::move(rows.grid), format_delimited, to));
                             }),
                  replace)
            << "positioned " << positioned;
    }
}

struct delimited_case {
    const char *name;
    std::string input;
    char delimiter;
    std::string normal;
    std::string replace;
};

const delimited_case delimited_cases[] = {
    {"ragged comes out rectangular", "a1\ta2\ta3\nb1\n", '\t', "a1\ta2\ta3\nb1\t\t\n",
     "a1\tb1\na2\t\na3\t\n"},
    {"empty and absent at the edges", "\tx\n", '\t', "\tx\n", "\nx\n"},
    {"empty middle cell", "a,,b", ',', "a,,b\n", "a\n\nb\n"},
    {"one column", "a\nb\nc\n", '\t', "a\nb\nc\n", "a\tb\tc\n"},
    {"empty lines", "\n\n", '\t', "\n\n", "\t\n"},
    {"empty file", "", '\t', "", "\n"},
    {"tab inside comma table", "a\tb,c", ',', "a\tb,c\n", "a\tb\nc\n"},
    {"CR LF line ends dropped", "a,b\r\nc,d\r\n", ',', "a,b\nc,d\n", "a,c\nb,d\n"},
    {"CR line ends", "a,b\rc\r", ',', "a,b\nc,\n", "a,c\nb,\n"},
    {"NUL and CR inside a line open cells", std::string("x\na\0b\rc,d\n", 10), ',',
     "x,,,\na,b,c,d\n", "x,a\n,b\n,c\n,d\n"},
    {"NUL before a leading delimiter", std::string("\0,b\nc", 5), ',', ",b\nc,\n", ",c\nb,\n"},
    {"bytes of any charset unchanged", "\xe3\x81\x82\t\x82\xa0\n\xa4\xa2\t\x1b$B$\"\x1b(B\n", '\t',
     "\xe3\x81\x82\t\x82\xa0\n\xa4\xa2\t\x1b$B$\"\x1b(B\n",
     "\xe3\x81\x82\t\xa4\xa2\n\x82\xa0\t\x1b$B$\"\x1b(B\n"},
};

class delimited_writer : public testing::TestWithParam<delimited_case>
{
};

TEST_P(delimited_writer, writes_both_orientations)
{
    const delimited_case &c = GetParam();
    expect_both_orientations(c.input, static_cast<unsigned char>(c.delimiter), c.normal, c.replace);
}

INSTANTIATE_TEST_SUITE_P(all, delimited_writer, testing::ValuesIn(delimited_cases),
                         case_name<delimited_case>);

// A writer prints nothing: it says what failed, and the system's reason.
TEST(writers, failed_write_is_reported)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    loaded_table t;
    ASSERT_TRUE(load_text(&t, "a\tb\nc\n", '\t'));
    output_target closed;
    closed.fd = fds[1];
    testing::internal::CaptureStderr();
    failure_report normal;
    failure_report replace;
    EXPECT_FALSE(write_normal(t.grid, format_delimited, closed, &normal));
    EXPECT_FALSE(write_replace(std::move(t.grid), format_delimited, closed, &replace));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    for (const failure_report &failed : {normal, replace}) {
        EXPECT_TRUE(failed.what == failure::write);
        EXPECT_EQ(failed.error, EBADF);
    }
}

// Tables whose cells cross the 16-byte copy blocks, whose results cross the
// output block's flushes, and whose shapes take the groups of lines
// (several group sizes) and the lanes at offsets (few columns, many rows);
// transpose_test.cpp pins which shape takes which method.
struct generated_case {
    const char *name;
    std::size_t rows;
    std::size_t columns;
    std::size_t longest; // cell lengths 0 to longest
    unsigned seed;
};

const generated_case generated_cases[] = {
    {"one cell per length", 1, 1, 0, 1},
    {"cells crossing copy blocks", 7, 9, 70, 2},
    {"few rows, many columns", 40, 1003, 20, 3},
    {"groups of lines", 300, 150, 12, 4},
    {"groups smaller than the most", 20000, 70, 3, 5},
    {"lanes", 20000, 3, 12, 6},
    {"long cells past the output block", 3, 4, 400000, 7},
    {"long cells past a lane", 100, 2, 300000, 8},
};

class delimited_generated : public testing::TestWithParam<generated_case>
{
};

TEST_P(delimited_generated, matches_the_format_in_both_orientations)
{
    const generated_case &g = GetParam();
    rows_t rows = generated_rows(g.rows, g.columns, g.longest, g.seed);
    for (char delimiter : {'\t', ','}) {
        std::string input = joined_rows(rows, delimiter);
        expect_both_orientations(input, static_cast<unsigned char>(delimiter),
                                 model_delimited(rows, g.columns, false, delimiter),
                                 model_delimited(rows, g.columns, true, delimiter));
    }
}

INSTANTIATE_TEST_SUITE_P(all, delimited_generated, testing::ValuesIn(generated_cases),
                         case_name<generated_case>);

// A tall table whose column sizes the loader cannot sum (CR LF line ends, a
// NUL) still gets each line its exact place at offsets.
TEST(delimited_writer_lanes, rows_with_cr_and_nul)
{
    std::string input;
    std::string first;
    std::string second;
    for (int j = 0; j < 300; ++j) {
        std::string a = "a";
        a += std::to_string(j);
        std::string b = j % 7 == 0 ? "" : "b";
        b += j % 7 == 0 ? "" : std::to_string(j * j);
        input += a + (j == 150 ? std::string(1, '\0') : std::string()) + "," + b + "\r\n";
        first += (j > 0 ? "," : "") + a;
        second += (j > 0 ? "," : "") + b;
    }
    loaded_table rows;
    ASSERT_TRUE(load_text(&rows, input, ','));
    EXPECT_EQ(rows.grid.sums.bytes, nullptr);
    EXPECT_EQ(written_by(true,
                         [&](const output_target &to) {
                             EXPECT_TRUE(write_replace(std::move(rows.grid), format_delimited, to));
                         }),
              first + "\n" + second + "\n");
}

// Every cell length around the 16-byte copy block (an empty final line is no
// row), the last cell ending at
// the data's end so that the copy reads into the padding.
TEST(delimited_writer_lengths, every_length_around_the_copy_block)
{
    for (std::size_t length = 1; length <= 50; ++length) {
        std::string text(length, 'q');
        std::string input = "a\t" + text + "\n" + text;
        std::string want = "a\t" + text + "\n" + text + "\t\n";
        expect_both_orientations(input, '\t', want, want);
    }
}

} // namespace

namespace
{

// A table transposed within a tiny budget goes through blocks of rows and a
// spill file; the result must be the in-memory one, byte for byte, whatever
// the blocks' size, whether the row table was made, whether the address
// limits leave room to map the spill or it is read in pieces, and in either
// format.
struct budget_case {
    const char *name;
    lazy_text input;
    char delimiter;
};

std::string generated_table(std::size_t rows, std::size_t columns, unsigned seed, bool full = false)
{
    std::mt19937 random(seed);
    std::string text;
    for (std::size_t j = 0; j < rows; ++j) {
        std::size_t filled = j == 0 || full ? columns : random() % (columns + 1);
        for (std::size_t c = 0; c < filled; ++c) {
            text += c > 0 ? "\t" : "";
            text += std::string(random() % 40, static_cast<char>('a' + random() % 26));
            if (random() % 50 == 0)
                text += "<&> \"x\"";
        }
        text += '\n';
    }
    return text;
}

// Rows ended by CR alone (no LF anywhere); NULs inside a cell, before a
// line end and alone on a line.
std::string cr_lines(int rows)
{
    const std::string nul(1, '\0');
    std::string text;
    for (int j = 0; j < rows; ++j) {
        std::string row =
            "a" + std::to_string(j) + (j == 40 ? nul + "n" : "") + "," + (j % 3 == 0 ? "" : "b");
        text += (j == 41 ? nul : j == 42 ? row + nul : row) + "\r";
    }
    return text;
}

const budget_case budget_cases[] = {
    {"ragged", "a1\ta2\ta3\nb1\n\nc1\tc2\n", '\t'},
    {"final line without line end", "a,b\nc,d\ne", ','},
    {"CR LF line ends", "a,b\r\nc,d\r\n", ','},
    {"CR line ends, final line alone", "a,b\rc\rd,e,f", ','},
    {"NUL and CR inside lines", std::string("x\na\0b\rc,d\n\0,e\nf\r", 17), ','},
    {"empty lines only", "\n\n\n", '\t'},
    {"cells to escape in a page", "<a>\t&b\n\"c\" d\t\n", '\t'},
    {"many blocks, long lines", [] { return generated_table(300, 150, 9); }, '\t'},
    {"tall, in lanes", [] { return generated_table(300, 5, 10); }, '\t'},
    {"tall, CR line ends, a NUL", [] { return cr_lines(100); }, ','},
    {"wide, more lines than a group holds", [] { return generated_table(4, 20000, 11); }, '\t'},
    {"wide, every row full", [] { return generated_table(5, 20001, 12, true); }, '\t'},
    {"square, every row full", [] { return generated_table(120, 130, 13, true); }, '\t'},
    {"cells longer than a spill's read piece",
     [] {
         return std::string(3000, 'x') + "\t" + std::string(900, '<') + "\nab\t\ncd\t" +
                std::string(2000, '&') + "\n";
     },
     '\t'},
};

std::string transposed(const budget_case &c, result_format format, bool with_rows,
                       std::uint64_t budget, std::uint64_t room = UINT64_MAX,
                       std::size_t split_from = split_from_bytes)
{
    loaded_table table;
    EXPECT_TRUE(
        load_text(&table, c.input, static_cast<unsigned char>(c.delimiter), with_rows, split_from));
    std::string beside = testing::TempDir() + "result";
    return written_by(true, [&](output_target to) {
        to.budget = budget;
        to.room = room;
        to.split_from = split_from;
        to.spill_beside = beside.c_str();
        EXPECT_TRUE(write_replace(std::move(table.grid), format, to));
    });
}

// Loaded as the tool loads a table past its row table's share of the
// budget (alone, with sums) or as it loads one of 4 GiB or more (sums in
// 64-bit totals, folded every fold bytes), with or without the row table.
std::string transposed_summed(const budget_case &c, result_format format, bool with_rows,
                              std::size_t fold, std::size_t split_from)
{
    loaded_table table;
    table.bytes = padded(c.input);
    load_limits limits{.split_from = split_from,
                       .keep_parts =
                           wants_row_parts(table.bytes.data(), c.input.size(), split_from),
                       .sums_without_rows = true,
                       .fold_bytes = fold};
    EXPECT_EQ(load_table_within(table.bytes.data(), c.input.size(),
                                static_cast<unsigned char>(c.delimiter), with_rows, limits,
                                &table.grid),
              load_done);
    std::string beside = testing::TempDir() + "result";
    return written_by(true, [&](output_target to) {
        to.split_from = split_from;
        to.spill_beside = beside.c_str();
        EXPECT_TRUE(write_replace(std::move(table.grid), format, to));
    });
}

class budget_writer : public testing::TestWithParam<budget_case>
{
};

TEST_P(budget_writer, spilled_blocks_write_the_in_memory_result)
{
    const budget_case &c = GetParam();
    for (result_format format : {format_delimited, format_html}) {
        std::string in_memory = transposed(c, format, true, UINT64_MAX);
        for (std::uint64_t budget : {std::uint64_t{1}, std::uint64_t{300}, std::uint64_t{20000}}) {
            EXPECT_EQ(transposed(c, format, true, budget), in_memory)
                << "format " << format << ", budget " << budget;
            EXPECT_EQ(transposed(c, format, true, budget, budget), in_memory)
                << "format " << format << ", budget " << budget << ", spill read in pieces";
        }
        EXPECT_EQ(transposed(c, format, false, UINT64_MAX), in_memory)
            << "format " << format << ", no row table";
        for (bool with_rows : {false, true})
            for (std::size_t fold : {fold_bytes_most, std::size_t{64}, std::size_t{100}})
                for (std::size_t split_from : {SIZE_MAX, std::size_t{0}})
                    EXPECT_EQ(transposed_summed(c, format, with_rows, fold, split_from), in_memory)
                        << "format " << format << ", with rows " << with_rows << ", fold " << fold
                        << ", split " << (split_from == 0);
        for (std::uint64_t budget : {std::uint64_t{300}, std::uint64_t{8000}})
            EXPECT_EQ(transposed(c, format, true, budget, UINT64_MAX, 0), in_memory)
                << "format " << format << ", budget " << budget << ", taken back in halves";
    }
}

INSTANTIATE_TEST_SUITE_P(all, budget_writer, testing::ValuesIn(budget_cases),
                         case_name<budget_case>);

// A spill's runs taken back in halves at offsets, one write failing (a full
// disk): wherever it falls, on either half's thread, the result is reported
// failed with the system's reason, never left short as a success.
struct faulted_run {
    std::string result;
    bool written = false;
    failure_report why;
    std::uint64_t calls = 0; // writes at offsets
};

faulted_run halves_failing(const std::string &input, bool threads, std::uint64_t fail_at)
{
    fault_plan *plan = full_disk_at(fail_at);
    loaded_table table;
    EXPECT_TRUE(load_text(&table, input, '\t', true, 0));
    std::string beside = testing::TempDir() + "result";
    faulted_run run;
    run.result = written_by(true, [&](output_target to) {
        to.budget = 8000;
        to.split_from = 0;
        to.threads = threads;
        to.spill_beside = beside.c_str();
        platform_faults = plan;
        run.written = write_replace(std::move(table.grid), format_delimited, to, &run.why);
        platform_faults = nullptr;
    });
    run.calls = plan->counted;
    return run;
}

TEST(spill_halves, a_failed_write_on_either_thread_fails_the_result)
{
    std::string input = generated_table(300, 5, 10);
    for (bool threads : {true, false}) {
        faulted_run whole = halves_failing(input, threads, 0);
        ASSERT_TRUE(whole.written);
        EXPECT_EQ(other_thread_writes > 0, threads) << "the second half's own thread";
        for (std::uint64_t n = 1; n <= whole.calls; ++n) {
            faulted_run run = halves_failing(input, threads, n);
            if (run.written) {
                EXPECT_EQ(run.result, whole.result) << "write " << n << " failed unreported";
            } else {
                EXPECT_TRUE(run.why.what == failure::write && run.why.error == ENOSPC)
                    << "write " << n << ", threads " << threads;
            }
        }
        // On one thread the second half is written after the first: the last
        // write is its own.
        if (!threads) {
            EXPECT_FALSE(halves_failing(input, false, whole.calls).written);
        }
    }
}

// A spill whose temporary folder fills up partway starts again beside the
// result: the progress line still tells each byte of the table once, not
// the bands already spilled twice.
TEST(spill_places, a_spill_started_again_tells_each_byte_once)
{
    std::string input = generated_table(300, 5, 10);
    static fault_plan plan;
    plan.calls = 1u << static_cast<unsigned>(platform_call::write);
    plan.error = ENOSPC;
    std::string beside = testing::TempDir() + "result";
    auto run = [&](std::uint64_t fail_at, std::uint64_t *told) {
        plan.fail_at = fail_at;
        plan.counted = 0;
        loaded_table table;
        EXPECT_TRUE(load_text(&table, input, '\t', true));
        std::atomic<std::uint64_t> consumed{0};
        bool written = false;
        written_by(true, [&](output_target to) {
            to.budget = 300;
            to.spill_beside = beside.c_str();
            to.progress = counted_progress(&consumed);
            platform_faults = &plan;
            written = write_replace(std::move(table.grid), format_delimited, to);
            platform_faults = nullptr;
        });
        *told = consumed;
        return written;
    };
    std::uint64_t told = 0;
    ASSERT_TRUE(run(0, &told));
    // The result, smaller than an output block, is the last write: every
    // write before it is the spill's.
    std::uint64_t writes = plan.counted;
    ASSERT_GT(writes, 2u);
    for (std::uint64_t n = 1; n < writes; ++n) {
        EXPECT_TRUE(run(n, &told)) << "spill write " << n << " failed";
        EXPECT_EQ(told, input.size()) << "spill write " << n << " failed";
    }
}

// The progress line's total: where the sums tell it, exactly the bytes
// written, in either orientation and format.
class result_size : public testing::TestWithParam<budget_case>
{
};

TEST_P(result_size, is_what_the_writers_write)
{
    const budget_case &c = GetParam();
    for (result_format format : {format_delimited, format_html}) {
        for (bool transposed : {true, false}) {
            loaded_table table;
            ASSERT_TRUE(load_text(&table, c.input, static_cast<unsigned char>(c.delimiter)));
            std::uint64_t expected = 0;
            if (!result_bytes(table.grid, format, charset_utf8, transposed, false, &expected))
                continue; // NUL or CR: no sums
            std::string written = written_by(true, [&](const output_target &to) {
                EXPECT_TRUE(transposed ? write_replace(std::move(table.grid), format, to)
                                       : write_normal(table.grid, format, to));
            });
            EXPECT_EQ(written.size(), expected)
                << "format " << format << (transposed ? ", transposed" : ", stored");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, result_size, testing::ValuesIn(budget_cases), case_name<budget_case>);

// Where the result's size is not known, the progress line tells the share of
// the table taken in: every method, in memory, spilled or in two parts, in
// either format and orientation, tells each of the table's bytes once.
using consumed_bytes = testing::TestWithParam<budget_case>;

struct consumed_way {
    const char *name;
    bool transposed;
    bool positioned;
    bool with_rows;
    std::uint64_t budget;
    std::uint64_t room;
    std::size_t split_from;
};

TEST_P(consumed_bytes, every_byte_of_the_table_is_told_once)
{
    const budget_case &c = GetParam();
    const consumed_way ways[] = {
        {"stored, at offsets", false, true, false, UINT64_MAX, UINT64_MAX, SIZE_MAX},
        {"stored, in sequence", false, false, false, UINT64_MAX, UINT64_MAX, SIZE_MAX},
        {"transposed, at offsets", true, true, true, UINT64_MAX, UINT64_MAX, SIZE_MAX},
        {"transposed, in sequence", true, false, true, UINT64_MAX, UINT64_MAX, SIZE_MAX},
        {"in two parts, at offsets", true, true, true, UINT64_MAX, UINT64_MAX, 0},
        {"in two parts, in sequence", true, false, true, UINT64_MAX, UINT64_MAX, 0},
        {"spilled", true, true, true, 300, UINT64_MAX, SIZE_MAX},
        {"spilled, read in pieces", true, false, true, 300, 300, SIZE_MAX},
        {"spilled without a row table", true, true, false, UINT64_MAX, UINT64_MAX, SIZE_MAX},
        {"spilled, taken back in halves", true, true, true, 300, UINT64_MAX, 0},
        {"spilled in larger bands, taken back in halves", true, true, true, 8000, UINT64_MAX, 0},
    };
    std::string beside = testing::TempDir() + "result";
    for (result_format format : {format_delimited, format_html}) {
        for (const consumed_way &way : ways) {
            loaded_table table;
            ASSERT_TRUE(load_text(&table, c.input, static_cast<unsigned char>(c.delimiter),
                                  way.with_rows, way.split_from));
            std::atomic<std::uint64_t> told{0};
            written_by(way.positioned, [&](output_target to) {
                to.budget = way.budget;
                to.room = way.room;
                to.spill_beside = beside.c_str();
                to.split_from = way.split_from;
                to.progress = counted_progress(&told);
                EXPECT_TRUE(way.transposed ? write_replace(std::move(table.grid), format, to)
                                           : write_normal(table.grid, format, to));
            });
            EXPECT_EQ(told, c.input.size()) << "format " << format << ", " << way.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, consumed_bytes, testing::ValuesIn(budget_cases),
                         case_name<budget_case>);

} // namespace

namespace
{

// A large table is measured in two parts and written by two threads, each
// with its rows' share of every line: tables split as small ones (at the
// first LF from the middle on) must give the result of one thread, in either
// format, at offsets (lanes) and in sequence (groups).
using split_writer = testing::TestWithParam<budget_case>;

std::string written_whole(const budget_case &c, result_format format, bool positioned,
                          std::size_t split_from)
{
    loaded_table table;
    EXPECT_TRUE(
        load_text(&table, c.input, static_cast<unsigned char>(c.delimiter), true, split_from));
    return written_by(positioned, [&](output_target to) {
        to.split_from = split_from;
        EXPECT_TRUE(write_replace(std::move(table.grid), format, to));
    });
}

TEST_P(split_writer, two_parts_write_the_one_thread_result)
{
    const budget_case &c = GetParam();
    for (result_format format : {format_delimited, format_html}) {
        for (bool positioned : {true, false}) {
            std::string whole = written_whole(c, format, positioned, SIZE_MAX);
            EXPECT_EQ(written_whole(c, format, positioned, 0), whole)
                << "format " << format << (positioned ? ", at offsets" : ", in sequence");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, split_writer, testing::ValuesIn(budget_cases),
                         case_name<budget_case>);

} // namespace

namespace
{

// A UTF-16 result leaves the writers as units, at offsets or in sequence, by
// one thread or two: always exactly the result of the internal form, encoded.
struct units_case {
    const char *name;
    lazy_text input; // the internal form
};

// Cells of ASCII, two- and three-byte forms and bytes that pages escape, in
// rows of up to columns cells; each cell up to longest pieces long.
std::string mixed_table(std::size_t rows, std::size_t columns, std::size_t longest,
                        const char *line_end, unsigned seed)
{
    const char *pieces[] = {"a", "Z9", "\xc3\xa9", "\xd0\xb6", "\xe3\x81\x82", "\xed\xa0\xbd",
                            "<", " ",  "&"};
    std::mt19937 random(seed);
    std::string text;
    for (std::size_t j = 0; j < rows; ++j) {
        std::size_t filled = j == 0 ? columns : random() % (columns + 1);
        for (std::size_t c = 0; c < filled; ++c) {
            text += c > 0 ? "\t" : "";
            for (std::size_t n = random() % (longest + 1); n > 0; --n)
                text += pieces[random() % std::size(pieces)];
        }
        text += line_end;
    }
    return text;
}

const units_case units_cases[] = {
    {"tall, lines in lanes", [] { return mixed_table(3000, 5, 6, "\n", 11); }},
    {"lanes flushed inside a unit", [] { return mixed_table(120, 4, 20000, "\n", 12); }},
    {"crlf line ends, columns not summed", [] { return mixed_table(500, 3, 6, "\r\n", 13); }},
    {"wide, lines in groups", [] { return mixed_table(30, 400, 4, "\n", 14); }},
};

std::string encoded_whole(const std::string &internal)
{
    utf16_encoder encoder;
    encoder.order = utf16_big;
    std::vector<unsigned char> units(2 * internal.size() + 1);
    std::size_t n = encode_utf16(&encoder, reinterpret_cast<const unsigned char *>(internal.data()),
                                 internal.size(), units.data());
    return "\xfe\xff" + std::string(reinterpret_cast<const char *>(units.data()), n);
}

// counted: as the tool loads UTF-16 text, its continuation bytes counted
// with the column sums; else the lanes count them cell by cell.
std::string transposed_units(const std::string &input, result_format format, bool positioned,
                             bool counted, std::size_t split_from)
{
    loaded_table table;
    table.bytes = padded(input);
    load_limits limits{.count_continuations = counted, .split_from = split_from};
    EXPECT_EQ(load_table_within(table.bytes.data(), input.size(), '\t', true, limits, &table.grid),
              load_done);
    return written_by(positioned, [&](output_target to) {
        to.split_from = split_from;
        utf16_encoder encoder;
        encoder.order = utf16_big;
        EXPECT_EQ(write(to.fd, "\xfe\xff", 2), 2);
        to.encoder = &encoder;
        to.origin = 2;
        EXPECT_TRUE(write_replace(std::move(table.grid), format, to));
    });
}

// The lanes take up to 64 columns, here of the first line and of those
// after each quarter of the bytes; a line past 64 KiB, or ended by CR alone,
// says nothing, and the row table is made.
TEST(lines_fit_lanes, up_to_64_cells_within_64_kib)
{
    // n cells, then a second line.
    auto cells = [](int n, char delimiter) {
        std::string text = "c";
        for (int i = 1; i < n; ++i) {
            text.push_back(delimiter);
            text.push_back('c');
        }
        text.append("\nx\n");
        return text;
    };
    std::string long_line(70000, 'a');
    long_line.append("\tb\n");
    std::string wide_after_first = "a\tb\n";
    for (int i = 0; i < 20; ++i)
        wide_after_first.append(cells(65, '\t'));
    const struct {
        const char *name;
        std::string text;
        unsigned char delimiter;
        bool fits;
    } cases[] = {
        {"two cells", "a\tb\nc\td\n", '\t', true},
        {"64 cells", cells(64, '\t'), '\t', true},
        {"65 cells", cells(65, '\t'), '\t', false},
        {"65 cells, comma", cells(65, ','), ',', false},
        {"65 commas, tab-delimited", cells(65, ','), '\t', true},
        {"a first line past 64 KiB", long_line, '\t', false},
        {"two cells, then lines of 65", wide_after_first, '\t', false},
        {"CR line ends", "a\tb\rc\td\r", '\t', false},
    };
    for (const auto &c : cases) {
        std::vector<unsigned char> padded(c.text.begin(), c.text.end());
        EXPECT_EQ(lines_fit_lanes(padded.data(), padded.size(), c.delimiter), c.fits) << c.name;
    }
}

// A result without offsets whose lanes go through a spill: the spill holds
// the internal form, encoded as it goes out.
std::string spilled_lanes_units(const std::string &input, std::size_t split_from)
{
    static writer_blocks kept;
    loaded_table table;
    EXPECT_TRUE(load_text(&table, input, '\t', true, split_from));
    std::string beside = testing::TempDir() + "result";
    return written_by(false, [&](output_target to) {
        utf16_encoder encoder;
        encoder.order = utf16_big;
        EXPECT_EQ(write(to.fd, "\xfe\xff", 2), 2);
        to.encoder = &encoder;
        to.spill_beside = beside.c_str();
        ASSERT_TRUE(have_writer_blocks(&kept));
        to.blocks = &kept;
        output_block out = main_output(to);
        line_style style;
        style.delimiter = '\t';
        int parts = shape_of(table.grid).split ? 2 : 1;
        EXPECT_TRUE(write_lanes_spilled(table.grid, style, to, &out,
                                        {.method = method_lanes, .parts = parts, .spilled = true}));
        flush_output(&out);
        EXPECT_FALSE(out.failed);
    });
}

class units_writer : public testing::TestWithParam<units_case>
{
};

TEST_P(units_writer, writes_the_internal_result_encoded)
{
    for (result_format format : {format_delimited, format_html}) {
        loaded_table table;
        ASSERT_TRUE(load_text(&table, GetParam().input, '\t'));
        std::string internal = written_by(true, [&](const output_target &to) {
            EXPECT_TRUE(write_replace(std::move(table.grid), format, to));
        });
        std::string want = encoded_whole(internal);
        loaded_table summed;
        summed.bytes = padded(GetParam().input);
        load_limits limits{.count_continuations = true};
        ASSERT_EQ(load_table_within(summed.bytes.data(), GetParam().input.size(), '\t', true,
                                    limits, &summed.grid),
                  load_done);
        std::uint64_t units = 0;
        if (result_bytes(summed.grid, format, charset_utf8, true, true, &units)) {
            EXPECT_EQ(units, want.size() - 2) << "format " << format << ": the progress total";
        }
        for (std::size_t split : {SIZE_MAX, std::size_t{0}}) {
            for (bool positioned : {true, false})
                for (bool counted : {true, false})
                    EXPECT_EQ(
                        transposed_units(GetParam().input, format, positioned, counted, split),
                        want)
                        << "format " << format << ", positioned " << positioned << ", split "
                        << (split == 0) << ", counted " << counted;
            if (format == format_delimited) {
                EXPECT_EQ(spilled_lanes_units(GetParam().input, split), want)
                    << "lanes through a spill, split " << (split == 0);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(all, units_writer, testing::ValuesIn(units_cases), case_name<units_case>);

} // namespace
