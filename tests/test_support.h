// Helpers shared by the unit tests: padded input buffers, grids built by hand,
// one-line renderings of a grid, and capture of what a writer writes.
#ifndef TABFLIP_TEST_SUPPORT_H
#define TABFLIP_TEST_SUPPORT_H

#include "table/cell_grid.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

// The file's bytes followed by the same zero padding the driver provides, in
// a block of exactly that size so the sanitizer sees any read past it.
std::vector<char> padded(const std::string &bytes);

// "2x3 a|b|(absent) / c|(empty)|d": rows x columns, then each row's cells.
std::string render_grid(const cell_grid &grid);

// A grid written by hand: null for an absent cell. The texts lie one after
// another in one buffer padded like an input buffer, as the writers require.
struct test_grid {
    std::vector<char> texts;
    std::vector<char *> cell_refs;
    std::vector<char **> row_refs;
    cell_grid grid;
};
void build_grid(test_grid *out, const std::vector<std::vector<const char *>> &rows);

// Everything fn(stream) writes to a memory stream.
template <typename F> std::string written_by(F fn)
{
    char *data = nullptr;
    std::size_t size = 0;
    std::FILE *stream = open_memstream(&data, &size);
    fn(stream);
    std::fclose(stream);
    std::string bytes(data, size);
    std::free(data);
    return bytes;
}

// A test name made of the case's name: letters kept, everything else '_'.
std::string identifier(const char *name);
template <typename T> std::string case_name(const testing::TestParamInfo<T> &param)
{
    return identifier(param.param.name);
}

#endif
