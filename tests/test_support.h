// Helpers shared by the unit tests: padded inputs, tables loaded from text,
// one-line renderings of a table, and capture of what a writer writes.
#ifndef TABFLIP_TEST_SUPPORT_H
#define TABFLIP_TEST_SUPPORT_H

#include "output/output_block.h"
#include "platform/platform.h"
#include "table/cell_grid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The file's bytes followed by the input padding, in a block of exactly that
// size so the sanitizer sees any read past it.
std::vector<unsigned char> padded(const std::string &bytes);

// A table loaded from text, owning its padded bytes and row table; one of
// split_from bytes or more is measured in two parts.
struct loaded_table {
    std::vector<unsigned char> bytes;
    cell_grid grid;
    loaded_table() = default;
    loaded_table(const loaded_table &) = delete;
    loaded_table &operator=(const loaded_table &) = delete;
};
bool load_text(loaded_table *table, const std::string &text, unsigned char delimiter,
               bool with_rows = true, std::size_t split_from = split_from_bytes);

// A table's cells by rows, as a generated table's model.
using rows_t = std::vector<std::vector<std::string>>;
// rows rows of up to columns cells (the first row full, others ending early
// unless full), each of 0 to longest printable bytes, none a comma; an empty
// line fills no cell.
rows_t generated_rows(std::size_t rows, std::size_t columns, std::size_t longest, unsigned seed,
                      bool full = false);
// The rows as text, cells joined by delimiter, each line ended by LF.
std::string joined_rows(const rows_t &rows, char delimiter);
// Straight from the format: entries joined by the delimiter, absent cells
// empty, LF after every line.
std::string model_delimited(const rows_t &rows, std::size_t columns, bool transposed,
                            char delimiter);

// "2x3 a|b|(absent) / c|(empty)|d": rows x columns, then each row's cells as
// the row walk finds them; "(beyond)" marks a cell past the last column.
std::string render_grid(const cell_grid &grid);

// A progress sink that adds every byte of the table told consumed to *told.
progress_sink counted_progress(std::atomic<std::uint64_t> *told);

// A full disk: the fault plan (one for the whole process) that fails the
// fail_at-th write at offsets (from 1; 0: none) with ENOSPC; set
// platform_faults to it around the run. It counts in other_thread_writes,
// from zero, the writes at offsets made on any thread but the caller's:
// whether a second thread did write.
fault_plan *full_disk_at(std::uint64_t fail_at);
extern std::atomic<std::uint64_t> other_thread_writes;

// Everything fn(target) writes to a fresh regular file, which the target
// allows to be written at offsets or not.
template <typename F> std::string written_by(bool positioned, F fn)
{
    std::FILE *file = std::tmpfile();
    output_target to;
    to.fd = fileno(file);
    to.positioned = positioned;
    fn(to);
    struct stat status;
    fstat(to.fd, &status);
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    if (!bytes.empty() && pread(to.fd, bytes.data(), bytes.size(), 0) != status.st_size)
        bytes = "(short read)";
    std::fclose(file);
    return bytes;
}

// A case's text, made the first time a test reads it. gtest copies every
// case into each test it registers, and ctest starts a process for each
// test: generated tables made when the process started, and copied, took
// most of every test's time.
struct lazy_text {
    lazy_text(const char *text) : lazy_text(std::string(text)) {}
    lazy_text(std::string text) : made(std::make_shared<state>(state{{}, std::move(text), true})) {}
    template <typename F>
    requires std::is_invocable_r_v<std::string, F> lazy_text(F make)
        : made(std::make_shared<state>(state{std::move(make), {}, false}))
    {
    }
    operator const std::string &() const
    {
        if (!made->done) {
            made->text = made->make();
            made->done = true;
        }
        return made->text;
    }
    std::size_t size() const
    {
        return static_cast<const std::string &>(*this).size();
    }

    struct state {
        std::function<std::string()> make;
        std::string text;
        bool done;
    };
    std::shared_ptr<state> made; // shared by the copies
};

// A test name made of the case's name: letters kept, everything else '_'.
std::string identifier(const char *name);
template <typename T> std::string case_name(const testing::TestParamInfo<T> &param)
{
    return identifier(param.param.name);
}

#endif
