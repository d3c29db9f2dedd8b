// Both writers in both formats over tables loaded from arbitrary bytes, to a
// file written at offsets and to one written in sequence. Each result is read
// back field by field (HTML entities undone) and compared with the cells of
// the model of the split (fuzz_support.h), so a wrong, lost or extra byte
// fails; then delimited results are loaded again to check the round trips
// that must hold. A transposition within a tiny budget, through a spill
// file, must give the same bytes.
#include "fuzz_support.h"

#include "output/writers.h"
#include "table/charset.h"
#include "table/unit_table.h"
#include "table/utf16.h"

#include <algorithm>
#include <utility>

namespace
{

struct view {
    const split_model *model;
    bool transposed; // write_replace: line i holds column i
    std::int32_t lines;
    std::int32_t entries;
};

} // namespace

static view view_of(const split_model &model, bool transposed)
{
    auto rows = static_cast<std::int32_t>(model.kept_rows);
    auto columns = static_cast<std::int32_t>(model.columns);
    if (transposed)
        return {&model, true, columns, rows};
    return {&model, false, rows, columns};
}

static const char *entry(const view &v, std::int32_t line, std::int32_t j)
{
    auto i = static_cast<std::size_t>(line);
    auto k = static_cast<std::size_t>(j);
    return v.transposed ? v.model->cells[k][i] : v.model->cells[i][k];
}

static std::string text_of(const char *cell)
{
    return cell == nullptr ? std::string() : std::string(cell);
}

// The result of one writer, which must report success; both destinations
// must get the same bytes.
static std::string write_view(const std::string &bytes, unsigned char delimiter, bool transposed,
                              result_format format, charset_id charset)
{
    std::string results[2];
    for (bool positioned : {false, true}) {
        loaded_table table;
        load_or_abort(bytes, delimiter, transposed, &table);
        results[positioned] = written_by(positioned, [&](output_target to) {
            to.charset = charset;
            bool written = transposed ? write_replace(std::move(table.grid), format, to)
                                      : write_normal(table.grid, format, to);
            require(written, "the writer reports success");
        });
    }
    require(results[0] == results[1], "the same result at offsets and in sequence");
    // Measured in two parts and written by two threads, as a large table is:
    // the same result.
    for (bool positioned : {false, true}) {
        loaded_table table;
        load_or_abort(bytes, delimiter, transposed, &table, 0);
        std::string split = written_by(positioned, [&](output_target to) {
            to.charset = charset;
            to.split_from = 0;
            require(transposed ? write_replace(std::move(table.grid), format, to)
                               : write_normal(table.grid, format, to),
                    "the writer of two parts reports success");
        });
        require(split == results[0], "the same result from two parts");
    }
    // A budget too small for any table: blocks of one or a few rows through a
    // spill file, with the same result.
    for (std::uint64_t budget : {std::uint64_t{1}, std::uint64_t{256}}) {
        if (!transposed)
            break;
        loaded_table table;
        load_or_abort(bytes, delimiter, true, &table);
        std::string spilled = written_by(true, [&](output_target to) {
            to.budget = budget;
            to.spill_beside = "/tmp/result";
            to.charset = charset;
            require(write_replace(std::move(table.grid), format, to),
                    "the spilled writer reports success");
        });
        require(spilled == results[0], "the same result through a spill");
    }
    return results[0];
}

// Every line holds entries - 1 delimiters and each field is its cell's text.
static void check_delimited(const view &v, const std::string &out, char delimiter)
{
    std::size_t pos = 0;
    for (std::int32_t i = 0; i < v.lines; ++i) {
        std::size_t lf = out.find('\n', pos);
        require(lf != std::string::npos, "one LF per output line");
        for (std::int32_t j = 0; j < v.entries; ++j) {
            std::size_t end = j + 1 < v.entries ? out.find(delimiter, pos) : lf;
            require(end != std::string::npos && end <= lf, "entries - 1 delimiters per line");
            require(out.compare(pos, end - pos, text_of(entry(v, i, j))) == 0,
                    "field is the cell's text");
            pos = end + 1;
        }
        if (v.entries <= 0) {
            require(lf == pos, "a line without entries is empty");
            pos = lf + 1;
        }
        require(pos == lf + 1, "no byte after the last field");
    }
    require(pos == out.size(), "nothing after the last line");
}

static std::size_t occurrences(const std::string &text, const char *word)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

static bool take(const std::string &out, std::size_t *pos, const std::string &literal)
{
    if (out.compare(*pos, literal.size(), literal) != 0)
        return false;
    *pos += literal.size();
    return true;
}

static const char *entity_of(unsigned char b)
{
    switch (b) {
    case 0x20:
        return "&nbsp;";
    case 0x22:
        return "&quot;";
    case 0x26:
        return "&amp;";
    case 0x3C:
        return "&lt;";
    case 0x3E:
        return "&gt;";
    default:
        return nullptr;
    }
}

// The shift state after an escape sequence in an ISO-2022-JP page: ESC $ @
// and ESC $ B enter two-byte characters, ESC ( I half-width katakana, ESC ( B
// and ESC ( J return to single bytes. Any other sequence changes nothing, so a
// '<' after ESC $ ( D must still come out as an entity. Each cell starts
// single-byte.
static bool shifted_after(const unsigned char *esc, bool shifted)
{
    if (esc[1] == 0x24 && (esc[2] == 0x40 || esc[2] == 0x42))
        return true;
    if (esc[1] == 0x28 && esc[2] == 0x49)
        return true;
    if (esc[1] == 0x28 && (esc[2] == 0x42 || esc[2] == 0x4A))
        return false;
    return shifted;
}

static bool has_shifted_special(const char *cell)
{
    bool shifted = false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(cell); *p != 0x00; ++p) {
        if (*p == 0x1B)
            shifted = shifted_after(p, shifted);
        else if (shifted && entity_of(*p) != nullptr)
            return true;
    }
    return false;
}

// The cell as the page must hold it: each of the five as its entity, but
// in shifted text, where it is half of a character, as itself.
static std::string expected_content(const char *cell, bool shift_states)
{
    std::string content;
    bool shifted = false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(cell); *p != 0x00; ++p) {
        if (shift_states && *p == 0x1B)
            shifted = shifted_after(p, shifted);
        const char *entity = entity_of(*p);
        if (entity != nullptr && !shifted)
            content += entity;
        else
            content += static_cast<char>(*p);
    }
    return content;
}

static void check_html_cell(const std::string &out, std::size_t *pos, const char *cell,
                            bool shift_states)
{
    require(take(out, pos, "<td>"), "cell opens");
    std::size_t close = out.find("</td>\n", *pos);
    require(close != std::string::npos, "cell closes");
    std::string content = out.substr(*pos, close - *pos);
    if (cell == nullptr || cell[0] == '\0')
        require(content == " ", "absent or empty cell holds one space");
    else
        require(content == expected_content(cell, shift_states),
                "cell text with the five as entities outside shifted text");
    *pos = close + 6;
}

static const char *charset_name(charset_id code)
{
    if (code == 1)
        return "iso-2022-jp";
    if (code == 2)
        return "shift_jis";
    if (code == 3)
        return "euc-jp";
    if (code == 5)
        return "utf-16";
    return "UTF-8";
}

// Raw tags can only stand in the page where a cell's shifted text may hold
// them; elsewhere the tags are counted, before the structure is followed.
static void check_tag_counts(const view &v, const std::string &out, bool shift_states)
{
    for (std::int32_t i = 0; shift_states && i < v.lines; ++i) {
        for (std::int32_t j = 0; j < v.entries; ++j) {
            const char *cell = entry(v, i, j);
            if (cell != nullptr && has_shifted_special(cell))
                return;
        }
    }
    std::size_t lines = static_cast<std::size_t>(v.lines > 0 ? v.lines : 0);
    std::size_t entries = static_cast<std::size_t>(v.entries > 0 ? v.entries : 0);
    require(occurrences(out, "<tr>") == lines, "one <tr> per line");
    require(occurrences(out, "<td>") == lines * entries, "one <td> per entry");
}

static void check_html(const view &v, const std::string &out, charset_id charset)
{
    bool shift_states = charset == charset_iso_2022_jp;
    check_tag_counts(v, out, shift_states);
    std::string head =
        std::string("<html lang=\"ja\"><head>\n") +
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=" + charset_name(charset) +
        "\">\n" + "<title></title>\n</head><body>\n" +
        "<table border=\"1\" cellpadding=\"2\" cellspacing=\"2\">\n<tbody>\n";
    std::size_t pos = 0;
    require(take(out, &pos, head), "page head");
    for (std::int32_t i = 0; i < v.lines; ++i) {
        require(take(out, &pos, "<tr>\n"), "row opens");
        for (std::int32_t j = 0; j < v.entries; ++j)
            check_html_cell(out, &pos, entry(v, i, j), shift_states);
        require(take(out, &pos, "</tr>\n\n"), "row closes");
    }
    require(take(out, &pos, "</tbody>\n</table>\n</body></html>\n"), "page tail");
    require(pos == out.size(), "nothing after the page");
}

// Bytes that write_normal gives back unchanged: no CR or NUL (both are
// rewritten by loading), a final LF (the writer ends every line with one),
// and one delimiter count on every line (short lines are padded).
static bool is_canonical(const std::string &bytes, char delimiter)
{
    if (bytes.find('\r') != std::string::npos || bytes.find('\0') != std::string::npos)
        return false;
    if (bytes.empty())
        return true;
    if (bytes.back() != '\n')
        return false;
    std::size_t line_start = 0;
    std::ptrdiff_t first_count = -1;
    while (line_start < bytes.size()) {
        std::size_t lf = bytes.find('\n', line_start);
        std::ptrdiff_t count =
            std::count(bytes.begin() + static_cast<std::ptrdiff_t>(line_start),
                       bytes.begin() + static_cast<std::ptrdiff_t>(lf), delimiter);
        if (first_count >= 0 && count != first_count)
            return false;
        first_count = count;
        line_start = lf + 1;
    }
    return true;
}

static std::string reload_and_write(const std::string &bytes, unsigned char delimiter,
                                    bool transposed)
{
    return write_view(bytes, delimiter, transposed, format_delimited, charset_utf8);
}

// A delimited result is canonical; loading it again keeps every field but
// forgets the column count of a table without rows (no line to count on), so
// transposing back gives the other orientation only when rows >= 1, or, for
// the stored orientation, when there was one column anyway.
static void check_round_trips(const std::string &bytes, const split_model &model,
                              unsigned char delimiter, const std::string &normal,
                              const std::string &replaced)
{
    char d = static_cast<char>(delimiter);
    require((normal == bytes) == is_canonical(bytes, d), "unchanged exactly when canonical");
    require(is_canonical(normal, d) && is_canonical(replaced, d), "results are canonical");
    require(reload_and_write(normal, delimiter, false) == normal, "canonical is a fixed point");
    bool normal_back = model.kept_rows >= 1 || model.columns == 1;
    require((reload_and_write(normal, delimiter, true) == replaced) == normal_back,
            "stored result transposed gives the transposed result");
    bool replaced_back = model.kept_rows >= 1;
    require((reload_and_write(replaced, delimiter, true) == normal) == replaced_back,
            "transposed result transposed gives the stored result");
}

static void check_writers(const std::string &bytes, unsigned char delimiter, charset_id charset)
{
    split_model model = model_split(bytes, delimiter);
    std::string outputs[2];
    for (bool transposed : {false, true}) {
        view v = view_of(model, transposed);
        outputs[transposed] = write_view(bytes, delimiter, transposed, format_delimited, charset);
        check_delimited(v, outputs[transposed], static_cast<char>(delimiter));
        check_html(v, write_view(bytes, delimiter, transposed, format_html, charset), charset);
    }
    check_round_trips(bytes, model, delimiter, outputs[0], outputs[1]);
}

// A UTF-16 result leaves through the output blocks, at offsets or in
// sequence, as the units of what the writer wrote in the internal form.
static void check_units_written(const std::string &form, unit_order order, unsigned char delimiter)
{
    for (result_format format : {format_delimited, format_html}) {
        for (int way = 0; way < 4; ++way) {
            bool transposed = (way & 1) != 0;
            loaded_table table;
            load_or_abort(form, delimiter, transposed, &table);
            std::string units = written_by((way & 2) != 0, [&](output_target to) {
                utf16_encoder encoder;
                encoder.order = order;
                to.encoder = &encoder;
                to.charset = charset_utf16;
                bool written = transposed ? write_replace(std::move(table.grid), format, to)
                                          : write_normal(table.grid, format, to);
                require(written, "the writer reports success");
            });
            std::string bytes = write_view(form, delimiter, transposed, format, charset_utf16);
            require(units == utf16_units(bytes, order, bytes.size() + 1),
                    "the units of the internal form's result");
        }
    }
}

// A simple table transposed in its own units (table/unit_table.h), in one
// part or two, at offsets or in sequence: the units the internal form's
// transposition gives.
static void check_own_units(const std::string &file, const std::string &form, unit_order order,
                            unsigned char delimiter)
{
    loaded_table table;
    load_or_abort(form, delimiter, true, &table);
    std::string want = written_by(true, [&](output_target to) {
        utf16_encoder encoder;
        encoder.order = order;
        to.encoder = &encoder;
        require(write_replace(std::move(table.grid), format_delimited, to),
                "the writer reports success");
    });
    std::vector<unsigned char> raw = padded_copy(file);
    for (int way = 0; way < 4; ++way) {
        unit_table units;
        if (!measure_unit_table(raw.data(), file.size(), order, delimiter,
                                (way & 1) != 0 ? 0 : SIZE_MAX, true, &units))
            return;
        std::string got = written_by((way & 2) != 0, [&](output_target to) {
            require(write_units_replace(units, to), "the units' writer reports success");
        });
        require(got == want, "a simple table's own units as the internal form's");
    }
}

// UTF-16 text is written from its internal form (table/utf16.h): the same
// properties hold for the form, and its units are what leaves.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::vector<unsigned char> raw = padded_copy(bytes);
    charset_id charset = detect_charset(raw.data());
    check_writers(bytes, 0x09, charset);
    check_writers(bytes, 0x2C, charset);
    unit_order order = utf16_order(raw.data(), size);
    if (order != utf16_none) {
        std::string form = utf16_form(bytes, order);
        for (unsigned char delimiter :
             {static_cast<unsigned char>(0x09), static_cast<unsigned char>(0x2C)}) {
            check_writers(form, delimiter, charset_utf16);
            check_units_written(form, order, delimiter);
            check_own_units(bytes, form, order, delimiter);
        }
    }
    return 0;
}
