// Loader over arbitrary bytes, with both delimiters. After every call the
// table's shape, and every row walked cell by cell, must match a model of the
// split worked out on a separate copy of the bytes: so no cell is lost, moved
// to another row, or cut at the wrong byte. UTF-16 text is also checked in
// its internal form, against a model of the split of its units.
#include "fuzz_support.h"

#include "table/utf16.h"

#include <cstring>

static void check_row(const cell_grid &grid, const split_model &model, std::size_t r)
{
    const std::vector<std::size_t> &expected = model.rows[r];
    const unsigned char *cell = first_cell(grid, static_cast<std::int32_t>(r));
    for (std::size_t c = 0; c < expected.size(); ++c) {
        require(cell != nullptr, "every field of the line is walked");
        require(cell == grid.table.bytes + expected[c], "cell at its field's position");
        const unsigned char *end = cell_end(cell, grid.table.delimiter);
        const char *text = model.cells[r][c];
        auto size = static_cast<std::size_t>(end - cell);
        require(size == std::strlen(text), "cell text ends where its field ends");
        require(std::memcmp(cell, text, size) == 0, "cell text unchanged");
        cell = cell_after(grid.table, end);
    }
    require(cell == nullptr, "no cell beyond the line's fields");
}

// Measured in two parts at once, as a large table is, the table must be the
// one measured whole, and the first part's sums those of its lines alone.
static void check_parts(const std::string &bytes, unsigned char delimiter, const cell_grid &whole)
{
    loaded_table parts;
    load_or_abort(bytes, delimiter, true, &parts, 0);
    const cell_grid &grid = parts.grid;
    const table_view &table = grid.table;
    require(table.rows == whole.table.rows && table.columns == whole.table.columns &&
                table.plain == whole.table.plain && table.line_end == whole.table.line_end,
            "two parts give the whole table's shape");
    const std::size_t *starts = grid.index.starts.get();
    const std::size_t *whole_starts = whole.index.starts.get();
    for (std::int32_t r = 0; r <= table.rows; ++r)
        require(starts[r] == whole_starts[r], "two parts give the same row starts");
    auto columns = static_cast<std::size_t>(grid.table.columns);
    require((grid.sums.bytes == nullptr) == (whole.sums.bytes == nullptr),
            "two parts have sums when the whole has");
    for (std::size_t c = 0; grid.sums.bytes != nullptr && c < columns; ++c)
        require(grid.sums.bytes[c] == whole.sums.bytes[c], "two parts give the same sums");
    if (grid.sums.head_bytes == nullptr)
        return;
    loaded_table head;
    load_or_abort(bytes.substr(0, grid.split.at), delimiter, true, &head);
    require(head.grid.table.rows == grid.split.rows, "the first part's rows are its lines");
    for (std::size_t c = 0; c < columns; ++c) {
        std::uint32_t want =
            c < static_cast<std::size_t>(head.grid.table.columns) && head.grid.sums.bytes != nullptr
                ? head.grid.sums.bytes[c]
                : 0;
        require(grid.sums.head_bytes[c] == want, "the first part's sums are its lines' own");
    }
}

static void check_load(const std::string &bytes, unsigned char delimiter)
{
    split_model model = model_split(bytes, delimiter);
    loaded_table table;
    load_or_abort(bytes, delimiter, true, &table);
    const cell_grid &grid = table.grid;
    require(static_cast<std::size_t>(grid.table.columns) == model.columns,
            "columns fit the widest line");
    require(static_cast<std::size_t>(grid.table.rows) == model.kept_rows,
            "only an all-absent last row is dropped");
    require(grid.index.starts[model.lines + 1] == bytes.size() + 1, "row table ends past the data");
    for (std::size_t r = 0; r < model.kept_rows; ++r)
        check_row(grid, model, r);
    loaded_table shape;
    load_or_abort(bytes, delimiter, false, &shape);
    require(shape.grid.table.rows == grid.table.rows &&
                shape.grid.table.columns == grid.table.columns,
            "the same shape without the row table");
    check_parts(bytes, delimiter, grid);
}

// One byte for each unit: the five units that split a table as their own
// bytes, any other as a text byte.
static std::string unit_classes(const std::string &bytes, unit_order order)
{
    std::string classes;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        unsigned first = static_cast<unsigned char>(bytes[i]);
        unsigned second = static_cast<unsigned char>(bytes[i + 1]);
        unsigned unit = order == utf16_big ? first << 8 | second : second << 8 | first;
        bool splits = unit == 0x00 || unit == 0x09 || unit == 0x0A || unit == 0x0D || unit == 0x2C;
        classes += splits ? static_cast<char>(unit) : 'x';
    }
    return classes;
}

// UTF-16 text with a mark: its internal form gives the units back, whole or
// in pieces, splits into the cells its units split into, each holding its
// cell's units, and loads as any bytes do.
static void check_utf16(const std::string &bytes)
{
    unit_order order =
        utf16_order(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    if (order == utf16_none)
        return;
    std::string form = utf16_form(bytes, order);
    require(utf16_units(form, order, form.size() + 1) == bytes.substr(2), "units come back whole");
    require(utf16_units(form, order, 1 + bytes.size() % 5) == bytes.substr(2),
            "units come back in pieces");
    std::string classes = unit_classes(bytes, order);
    for (unsigned char delimiter :
         {static_cast<unsigned char>(0x09), static_cast<unsigned char>(0x2C)}) {
        split_model by_form = model_split(form, delimiter);
        split_model by_units = model_split(classes, delimiter);
        require(by_form.columns == by_units.columns && by_form.kept_rows == by_units.kept_rows &&
                    by_form.texts.size() == by_units.texts.size(),
                "the form splits as its units do");
        for (std::size_t i = 0; i < by_form.texts.size(); ++i)
            require(utf16_units(by_form.texts[i], order, 64).size() == 2 * by_units.texts[i].size(),
                    "each cell holds its own units");
        check_load(form, delimiter);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    check_load(bytes, 0x09);
    check_load(bytes, 0x2C);
    check_utf16(bytes);
    return 0;
}
