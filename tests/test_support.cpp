#include "test_support.h"

#include "table/input_file.h"

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <random>

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
    std::string out = std::to_string(grid.table.rows) + "x" + std::to_string(grid.table.columns);
    for (std::int32_t r = 0; r < grid.table.rows; ++r) {
        out += r == 0 ? " " : " / ";
        const unsigned char *cell = first_cell(grid, r);
        for (std::int32_t c = 0; c < grid.table.columns; ++c) {
            if (c > 0)
                out += '|';
            if (cell == nullptr) {
                out += "(absent)";
                continue;
            }
            const unsigned char *end = cell_end(cell, grid.table.delimiter);
            out += end == cell ? std::string("(empty)") : std::string(cell, end);
            cell = cell_after(grid.table, end);
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

rows_t generated_rows(std::size_t rows, std::size_t columns, std::size_t longest, unsigned seed,
                      bool full)
{
    std::mt19937 random(seed);
    rows_t table(rows);
    for (auto &row : table) {
        std::size_t filled = &row == &table[0] || full ? columns : random() % (columns + 1);
        for (std::size_t c = 0; c < filled; ++c) {
            std::string text;
            std::size_t length = random() % (longest + 1);
            for (std::size_t k = 0; k < length; ++k) {
                auto ch = static_cast<char>('!' + random() % 90);
                text += ch == ',' ? '.' : ch;
            }
            row.push_back(text);
        }
        if (row.size() == 1 && row[0].empty())
            row.clear();
    }
    return table;
}

std::string joined_rows(const rows_t &rows, char delimiter)
{
    std::string text;
    for (const auto &row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c)
            text += (c > 0 ? std::string(1, delimiter) : "") + row[c];
        text += '\n';
    }
    return text;
}

std::string model_delimited(const rows_t &rows, std::size_t columns, bool transposed,
                            char delimiter)
{
    std::size_t lines = transposed ? columns : rows.size();
    std::size_t entries = transposed ? rows.size() : columns;
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        for (std::size_t j = 0; j < entries; ++j) {
            const std::vector<std::string> &row = transposed ? rows[j] : rows[i];
            std::size_t c = transposed ? i : j;
            if (c < row.size())
                out += row[c];
            if (j + 1 < entries)
                out += delimiter;
        }
        out += '\n';
    }
    return out;
}

progress_sink counted_progress(std::atomic<std::uint64_t> *told)
{
    progress_sink sink;
    sink.consumed = [](void *context, std::uint64_t bytes) {
        *static_cast<std::atomic<std::uint64_t> *>(context) += bytes;
    };
    sink.context = told;
    return sink;
}

std::atomic<std::uint64_t> other_thread_writes{0};
static std::thread::id watching_thread;

static void count_other_thread_writes(platform_call call)
{
    if (call == platform_call::write_at && std::this_thread::get_id() != watching_thread)
        ++other_thread_writes;
}

fault_plan *full_disk_at(std::uint64_t fail_at)
{
    static fault_plan plan;
    plan.calls = 1u << static_cast<unsigned>(platform_call::write_at);
    plan.fail_at = fail_at;
    plan.counted = 0;
    plan.error = ENOSPC;
    plan.at_call = count_other_thread_writes;
    watching_thread = std::this_thread::get_id();
    other_thread_writes = 0;
    return &plan;
}
