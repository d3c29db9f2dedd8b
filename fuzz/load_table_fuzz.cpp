// Loader over arbitrary bytes, with both delimiters. After every call the
// table's shape, and every row walked cell by cell, must match a model of the
// split worked out on a separate copy of the bytes: so no cell is lost, moved
// to another row, or cut at the wrong byte.
#include "fuzz_support.h"

#include <cstring>

static void check_row(const cell_grid &grid, const split_model &model, std::size_t r)
{
    const std::vector<std::size_t> &expected = model.rows[r];
    const unsigned char *cell = first_cell(grid, static_cast<std::int32_t>(r));
    for (std::size_t c = 0; c < expected.size(); ++c) {
        require(cell != nullptr, "every field of the line is walked");
        require(cell == grid.bytes + expected[c], "cell at its field's position");
        const unsigned char *end = cell_end(cell, grid.delimiter);
        const char *text = model.cells[r][c];
        auto size = static_cast<std::size_t>(end - cell);
        require(size == std::strlen(text), "cell text ends where its field ends");
        require(std::memcmp(cell, text, size) == 0, "cell text unchanged");
        cell = cell_after(grid, end);
    }
    require(cell == nullptr, "no cell beyond the line's fields");
}

static void check_load(const std::string &bytes, unsigned char delimiter)
{
    split_model model = model_split(bytes, delimiter);
    loaded_table table;
    load_or_abort(bytes, delimiter, true, &table);
    const cell_grid &grid = table.grid;
    require(static_cast<std::size_t>(grid.columns) == model.columns, "columns fit the widest line");
    require(static_cast<std::size_t>(grid.rows) == model.kept_rows,
            "only an all-absent last row is dropped");
    require(grid.row_starts[model.lines + 1] == bytes.size() + 1, "row table ends past the data");
    for (std::size_t r = 0; r < model.kept_rows; ++r)
        check_row(grid, model, r);
    loaded_table shape;
    load_or_abort(bytes, delimiter, false, &shape);
    require(shape.grid.rows == grid.rows && shape.grid.columns == grid.columns,
            "the same shape without the row table");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    check_load(bytes, 0x09);
    check_load(bytes, 0x2C);
    return 0;
}
