#include "fuzz_support.h"

#include "table/input_file.h"
#include "table/utf16.h"

#include <algorithm>

void require(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property failed: %s\n", property);
    std::abort();
}

std::vector<unsigned char> padded_copy(const std::string &bytes)
{
    std::vector<unsigned char> buffer(bytes.begin(), bytes.end());
    buffer.resize(bytes.size() + input_padding, 0);
    buffer.shrink_to_fit();
    return buffer;
}

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

static std::string text_at(const std::string &normalised, std::size_t start,
                           unsigned char delimiter)
{
    std::size_t end = start;
    while (end < normalised.size()) {
        auto b = static_cast<unsigned char>(normalised[end]);
        if (b == delimiter || b == 0x0A || b == 0x00)
            break;
        ++end;
    }
    return normalised.substr(start, end - start);
}

// A delimiter opens the cell after it (and an empty first cell when it is the
// line's first); text opens a cell only where no cell's text is running.
static void split_lines(split_model *model, unsigned char delimiter)
{
    model->rows.emplace_back();
    bool in_text = false;
    for (std::size_t i = 0; i < model->normalised.size(); ++i) {
        auto b = static_cast<unsigned char>(model->normalised[i]);
        std::vector<std::size_t> &row = model->rows.back();
        if (b == 0x0A) {
            model->rows.emplace_back();
            ++model->lines;
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
}

split_model model_split(const std::string &bytes, unsigned char delimiter)
{
    split_model model;
    model.normalised = normalise(bytes);
    split_lines(&model, delimiter);
    std::size_t count = 0;
    for (const auto &row : model.rows) {
        model.columns = row.size() > model.columns ? row.size() : model.columns;
        count += row.size();
    }
    model.kept_rows = model.lines + (model.rows.back().empty() ? 0 : 1);
    model.texts.reserve(count);
    for (std::size_t r = 0; r < model.kept_rows; ++r) {
        std::vector<const char *> cells(model.columns, nullptr);
        for (std::size_t c = 0; c < model.rows[r].size(); ++c) {
            model.texts.push_back(text_at(model.normalised, model.rows[r][c], delimiter));
            cells[c] = model.texts.back().c_str();
        }
        model.cells.push_back(cells);
    }
    return model;
}

void load_or_abort(const std::string &bytes, unsigned char delimiter, bool with_rows,
                   loaded_table *table, std::size_t split_from)
{
    table->bytes = padded_copy(bytes);
    require(load_table_within(table->bytes.data(), bytes.size(), delimiter, with_rows,
                              load_limits{.split_from = split_from}, &table->grid) == load_done,
            "small table loads");
}

std::string utf16_form(const std::string &bytes, unit_order order)
{
    input_data internal;
    require(decode_utf16(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), order,
                         &internal),
            "UTF-16 text decodes");
    std::string form(reinterpret_cast<const char *>(internal.bytes), internal.length);
    release_input(&internal);
    return form;
}

std::string utf16_units(const std::string &form, unit_order order, std::size_t block)
{
    utf16_encoder encoder;
    encoder.order = order;
    std::string units;
    std::vector<unsigned char> out(2 * block);
    for (std::size_t at = 0; at < form.size(); at += block) {
        std::size_t size = std::min(block, form.size() - at);
        std::size_t made = encode_utf16(
            &encoder, reinterpret_cast<const unsigned char *>(form.data()) + at, size, out.data());
        require(made <= 2 * size, "at most two bytes for each byte of the form");
        units.append(reinterpret_cast<const char *>(out.data()), made);
    }
    return units;
}
