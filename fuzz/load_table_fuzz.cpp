// Loader over arbitrary bytes, with both delimiters. After every call the grid
// must hold its invariants and match, cell by cell, a model of the split
// worked out on a separate copy of the bytes: so no cell is lost, moved to
// another row, or cut at the wrong byte.
#include "fuzz_support.h"

#include <algorithm>
#include <cstring>

namespace
{

struct split_model {
    std::string normalised;                     // line ends as the loader sees them
    std::vector<std::vector<std::size_t>> rows; // cell start positions per line
    std::size_t lines = 0;                      // LF bytes after normalisation
};

} // namespace

// With no LF, CRs end lines; otherwise a CR ends no line and cuts the text.
static std::string normalise(const std::string &bytes)
{
    bool has_lf = bytes.find('\n') != std::string::npos;
    std::string out = bytes;
    for (char &b : out) {
        if (b == '\r')
            b = has_lf ? '\0' : '\n';
    }
    return out;
}

// A delimiter opens the cell after it (and an empty first cell when it is the
// line's first); text opens a cell only where no cell's text is running.
static split_model model_split(const std::string &bytes, unsigned char delimiter)
{
    split_model model;
    model.normalised = normalise(bytes);
    model.rows.emplace_back();
    bool in_text = false;
    for (std::size_t i = 0; i < model.normalised.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(model.normalised[i]);
        std::vector<std::size_t> &row = model.rows.back();
        if (b == 0x0A) {
            model.rows.emplace_back();
            ++model.lines;
            in_text = false;
        } else if (b == 0x00) {
            in_text = false;
        } else if (b == delimiter) {
            if (row.empty())
                row.push_back(i);
            row.push_back(i + 1);
            in_text = true;
        } else if (!in_text) {
            row.push_back(i);
            in_text = true;
        }
    }
    return model;
}

static std::size_t text_end(const std::string &normalised, std::size_t start,
                            unsigned char delimiter)
{
    std::size_t end = start;
    while (end < normalised.size()) {
        unsigned char b = static_cast<unsigned char>(normalised[end]);
        if (b == delimiter || b == 0x0A || b == 0x00)
            break;
        ++end;
    }
    return end;
}

static void check_invariants(const cell_grid &grid, const char *buffer, std::size_t length,
                             std::size_t lines, unsigned char delimiter)
{
    require(grid.columns >= 1, "columns >= 1");
    require(grid.rows >= 0, "rows >= 0");
    require(static_cast<std::size_t>(grid.rows) <= lines + 1, "rows <= lines + 1");
    for (std::int32_t r = 0; r < grid.rows; ++r) {
        for (std::int32_t c = 0; c < grid.columns; ++c) {
            const char *cell = grid.cells[r][c];
            if (cell == nullptr)
                continue;
            require(cell >= buffer && cell <= buffer + length, "cell inside the buffer");
            for (const char *p = cell; *p != '\0'; ++p) {
                unsigned char b = static_cast<unsigned char>(*p);
                require(b != delimiter && b != 0x0A && b != 0x0D, "no delimiter, LF, CR in text");
            }
        }
    }
}

static void check_row(const cell_grid &grid, const char *buffer, const split_model &model,
                      std::size_t r, unsigned char delimiter)
{
    const std::vector<std::size_t> &expected = model.rows[r];
    require(expected.size() <= static_cast<std::size_t>(grid.columns), "row wide enough");
    for (std::int32_t c = 0; c < grid.columns; ++c) {
        const char *cell = grid.cells[r][c];
        std::size_t column = static_cast<std::size_t>(c);
        if (column >= expected.size()) {
            require(cell == nullptr, "cell beyond the line's fields is absent");
            continue;
        }
        require(cell == buffer + expected[column], "cell at its field's position");
        std::size_t end = text_end(model.normalised, expected[column], delimiter);
        std::size_t size = end - expected[column];
        require(std::strlen(cell) == size, "cell text ends where its field ends");
        require(std::memcmp(cell, model.normalised.data() + expected[column], size) == 0,
                "cell text unchanged");
    }
}

static void check_against_model(const cell_grid &grid, const char *buffer, const split_model &model,
                                unsigned char delimiter)
{
    std::size_t widest = 1;
    std::size_t filled = 0;
    for (const auto &row : model.rows) {
        widest = std::max(widest, row.size());
        filled += row.size();
    }
    require(static_cast<std::size_t>(grid.columns) == widest, "columns fit the widest line");
    bool last_empty = model.rows.back().empty();
    require(static_cast<std::size_t>(grid.rows) == model.lines + (last_empty ? 0 : 1),
            "only an all-absent last row is dropped");
    // A dropped row filled nothing, so the kept rows hold every filled cell.
    std::size_t present = 0;
    for (std::size_t r = 0; r < static_cast<std::size_t>(grid.rows); ++r) {
        check_row(grid, buffer, model, r, delimiter);
        for (std::int32_t c = 0; c < grid.columns; ++c)
            present += grid.cells[r][c] != nullptr;
    }
    require(present == filled, "every filled cell is stored");
}

static void check_load(const std::string &bytes, unsigned char delimiter)
{
    split_model model = model_split(bytes, delimiter);
    std::vector<char> buffer;
    cell_grid grid;
    load_or_abort(bytes, delimiter, &buffer, &grid);
    check_invariants(grid, buffer.data(), bytes.size(), model.lines, delimiter);
    check_against_model(grid, buffer.data(), model, delimiter);
    std::free(grid.cells);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    check_load(bytes, 0x09);
    check_load(bytes, 0x2C);
    return 0;
}
