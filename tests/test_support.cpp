#include "test_support.h"

#include "table/input_file.h"

#include <cstdlib>

std::vector<unsigned char> padded(const std::string &bytes)
{
    std::vector<unsigned char> buffer(bytes.begin(), bytes.end());
    buffer.resize(bytes.size() + input_padding, 0);
    buffer.shrink_to_fit();
    return buffer;
}

bool load_text(loaded_table *table, const std::string &text, unsigned char delimiter,
               bool with_rows, std::size_t split_from)
{
    table->bytes = padded(text);
    return load_table_within(table->bytes.data(), text.size(), delimiter, with_rows,
                             load_limits{.split_from = split_from}, &table->grid) == load_done;
}

std::string render_grid(const cell_grid &grid)
{
    std::string out = std::to_string(grid.rows) + "x" + std::to_string(grid.columns);
    for (std::int32_t r = 0; r < grid.rows; ++r) {
        out += r == 0 ? " " : " / ";
        const unsigned char *cell = first_cell(grid, r);
        for (std::int32_t c = 0; c < grid.columns; ++c) {
            if (c > 0)
                out += '|';
            if (cell == nullptr) {
                out += "(absent)";
                continue;
            }
            const unsigned char *end = cell_end(cell, grid.delimiter);
            out += end == cell ? std::string("(empty)") : std::string(cell, end);
            cell = cell_after(grid, end);
        }
        if (cell != nullptr)
            out += "|(beyond)";
    }
    return out;
}

std::string identifier(const char *name)
{
    std::string out;
    for (const char *p = name; *p != '\0'; ++p)
        out += (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ? *p : '_';
    return out;
}
