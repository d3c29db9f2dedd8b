#include "table/unit_table.h"

#include "platform/platform.h"

#include <bit>
#include <climits>

namespace
{

struct measure_work {
    const unit_table *table = nullptr;
    unit_part *part = nullptr;
    bool last = false;         // the table's last part, whose last line may lack its LF
    std::int32_t columns = -1; // as its first line holds them
    std::int64_t rows = 0;
    std::uint64_t crs = 0; // each before an LF, in the line's last cell
    bool simple = true;
};

} // namespace

// A line's cells are its delimiters and one; it must hold as many as the
// part's first line, and the table as many as its first part.
static bool end_line(measure_work *work, std::int32_t cells)
{
    if (work->columns < 0)
        work->columns = cells;
    ++work->rows;
    return cells == work->columns;
}

static void measure_part(void *arg)
{
    auto *work = static_cast<measure_work *>(arg);
    const unit_table &table = *work->table;
    const unsigned char *cell = table.units + work->part->begin;
    const unsigned char *end = table.units + work->part->end;
    std::uint64_t *text = work->part->text;
    std::int32_t column = 0;
    unsigned char lf[2];
    store_unit(lf, '\n', table.order);
    std::uint64_t crs = 0;
    for (const unsigned char *block = cell; block < end; block += scan_block) {
        __builtin_prefetch(block + next_page_ahead);
        unit_classes c = classify_units(block, table.delimiter, table.order);
        auto left = static_cast<std::size_t>(end - block);
        std::uint64_t inside =
            left >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
        // The block's last unit's LF is the next block's first (padding
        // past the data's end).
        std::uint64_t lf_after = c.lf >> 2 | std::uint64_t{block[64] == lf[0] && block[65] == lf[1]}
                                                 << 62;
        if (((c.nul | (c.cr & ~lf_after)) & inside) != 0) {
            work->simple = false;
            return;
        }
        crs += bits_set(c.cr & inside);
        for (std::uint64_t stops = (c.delimiter | c.lf) & inside; stops != 0; stops &= stops - 1) {
            int at = std::countr_zero(stops);
            const unsigned char *stop = block + at;
            text[column++] += static_cast<std::uint64_t>(stop - cell);
            cell = stop + 2;
            if (((c.lf >> at) & 1) != 0) {
                if (!end_line(work, column)) {
                    work->simple = false;
                    return;
                }
                column = 0;
            } else if (column == unit_columns_most) {
                work->simple = false;
                return;
            }
        }
    }
    if (column > 0 || cell < end) {
        text[column++] += static_cast<std::uint64_t>(end - cell);
        work->simple = work->last && end_line(work, column);
    }
    if (work->columns > 0)
        text[work->columns - 1] -= 2 * crs;
    work->crs = crs;
}

// The second part starts after the first LF from the middle on.
static std::size_t second_part_at(const unit_table &table)
{
    unsigned char lf[2];
    store_unit(lf, '\n', table.order);
    for (std::size_t at = table.length / 4 * 2; at < table.length; at += 2) {
        if (table.units[at] == lf[0] && table.units[at + 1] == lf[1])
            return at + 2;
    }
    return table.length;
}

bool measure_unit_table(const unsigned char *bytes, std::size_t size, unit_order order,
                        unsigned char delimiter, std::size_t split_from, bool threads,
                        unit_table *table)
{
    *table = unit_table{};
    table->units = bytes + 2;
    table->length = size - 2;
    table->order = order;
    table->delimiter = delimiter;
    std::size_t at = size >= split_from ? second_part_at(*table) : table->length;
    table->parts = at < table->length ? 2 : 1;
    table->part[0].end = at;
    table->part[1].begin = at;
    table->part[1].end = table->length;
    measure_work works[2];
    for (std::int32_t p = 0; p < table->parts; ++p)
        works[p] = measure_work{table, &table->part[p], p == table->parts - 1};
    if (table->parts == 2)
        run_both(measure_part, &works[0], &works[1], threads);
    else
        measure_part(&works[0]);
    std::int64_t rows = works[0].rows + works[1].rows;
    if (!works[0].simple || !works[1].simple || rows == 0 || rows > INT32_MAX ||
        works[0].columns < 2 || (table->parts == 2 && works[1].columns != works[0].columns))
        return false;
    table->rows = static_cast<std::int32_t>(rows);
    table->columns = works[0].columns;
    table->crlf = works[0].crs + works[1].crs > 0;
    for (std::int32_t p = 0; p < table->parts; ++p)
        table->part[p].rows = static_cast<std::int32_t>(works[p].rows);
    return true;
}
