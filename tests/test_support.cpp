#include "test_support.h"

#include <cstdlib>

std::vector<char> padded(const std::string &bytes)
{
    std::vector<char> buffer(bytes.begin(), bytes.end());
    buffer.resize(bytes.size() + buffer_padding, '\0');
    buffer.shrink_to_fit();
    return buffer;
}

static std::string render_cell(const char *cell)
{
    if (cell == nullptr)
        return "(absent)";
    if (*cell == '\0')
        return "(empty)";
    return cell;
}

std::string render_grid(const cell_grid &grid)
{
    std::string out = std::to_string(grid.rows) + "x" + std::to_string(grid.columns);
    for (std::int32_t r = 0; r < grid.rows; ++r) {
        out += r == 0 ? " " : " / ";
        for (std::int32_t c = 0; c < grid.columns; ++c) {
            if (c > 0)
                out += '|';
            out += render_cell(grid.cells[r][c]);
        }
    }
    return out;
}

void build_grid(test_grid *out, const std::vector<std::vector<const char *>> &rows)
{
    std::size_t columns = rows.empty() ? 1 : rows[0].size();
    std::string bytes;
    std::vector<std::size_t> offsets(rows.size() * columns, std::string::npos);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
            if (rows[r][c] == nullptr)
                continue;
            offsets[r * columns + c] = bytes.size();
            bytes += rows[r][c];
            bytes += '\0';
        }
    }
    out->texts = padded(bytes);
    out->cell_refs.assign(rows.size() * columns, nullptr);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] != std::string::npos)
            out->cell_refs[i] = out->texts.data() + offsets[i];
    }
    out->row_refs.clear();
    for (std::size_t r = 0; r < rows.size(); ++r)
        out->row_refs.push_back(out->cell_refs.data() + r * columns);
    out->grid.cells = out->row_refs.data();
    out->grid.rows = static_cast<std::int32_t>(rows.size());
    out->grid.columns = static_cast<std::int32_t>(columns);
}

std::string identifier(const char *name)
{
    std::string out;
    for (const char *p = name; *p != '\0'; ++p)
        out += (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ? *p : '_';
    return out;
}
