// A simple UTF-16 table (unit_table.h) transposed in its own units: its
// output lines each in a lane of their own, at offsets, as lanes.cpp writes
// a tall table's, the units copied as they stand.
#include "output/transpose.h"
#include "table/unit_table.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace
{

struct unit_work {
    const unit_table *table = nullptr;
    const unit_part *part = nullptr;
    bool last = false; // the table's last part, whose last row ends the lines
    output_block *lanes = nullptr;
    std::int32_t first = 0; // the columns taken: [first, end), lanes[0] the first's
    std::int32_t end = 0;
};

} // namespace

static std::uint16_t unit_in_memory(std::uint32_t unit, unit_order order)
{
    unsigned char two[2];
    store_unit(two, unit, order);
    std::uint16_t value = 0;
    std::memcpy(&value, two, 2);
    return value;
}

// Every cell of the part's rows, in order, into the lane of its column;
// with every_column false only columns [first, end) are taken. Only a table
// with CR LF line ends (crlf) looks for the CRs. What the loop reads stays in
// locals: the lanes' stores could otherwise change it.
template <bool every_column, bool crlf> static void fill_units(void *arg)
{
    const unit_work work = *static_cast<unit_work *>(arg);
    const unit_order order = work.table->order;
    const unsigned char delimiter = work.table->delimiter;
    const std::uint16_t follow = unit_in_memory(delimiter, order);
    const std::uint16_t line_end = unit_in_memory('\n', order);
    const unsigned char *cell = work.table->units + work.part->begin;
    const unsigned char *end = work.table->units + work.part->end;
    std::int32_t rows_left = work.part->rows;
    std::uint16_t after = work.last && rows_left == 1 ? line_end : follow;
    std::int32_t column = 0;
    std::uint64_t last_cr = 0; // the block before's last unit was a CR
    for (const unsigned char *block = cell; block < end; block += scan_block) {
        __builtin_prefetch(block + next_page_ahead);
        unit_classes c = classify_units(block, delimiter, order);
        auto left = static_cast<std::size_t>(end - block);
        std::uint64_t inside =
            left >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
        // Bit i: the unit before unit i is a CR.
        std::uint64_t cr_before = crlf ? c.cr << 2 | last_cr : 0;
        last_cr = crlf ? c.cr >> 62 : 0;
        for (std::uint64_t stops = (c.delimiter | c.lf) & inside; stops != 0; stops &= stops - 1) {
            int at = std::countr_zero(stops);
            const unsigned char *stop = block + at;
            bool taken = every_column || (column >= work.first && column < work.end);
            output_block *lane = taken ? &work.lanes[column - work.first] : nullptr;
            if (taken)
                fetch_for_store(lane->bytes + lane->used);
            if (((c.lf >> at) & 1) == 0) {
                if (taken)
                    put_text_and(lane, cell, stop, after);
                ++column;
            } else {
                // A CR before the LF ends the text, as the LF does.
                std::size_t cr = ((cr_before >> at) & 1) * 2;
                if (taken)
                    put_text_and(lane, cell, stop - cr, after);
                column = 0;
                --rows_left;
                after = work.last && rows_left == 1 ? line_end : follow;
            }
            cell = stop + 2;
        }
    }
    // The last line, without its LF.
    bool unended = cell < end || column > 0;
    if (unended && (every_column || (column >= work.first && column < work.end)))
        put_text_and(&work.lanes[column - work.first], cell, end, line_end);
}

// Each output line's bytes, part by part: each entry's text and its unit.
static std::uint64_t line_bytes(const unit_table &table, std::int32_t part, std::int32_t column)
{
    return table.part[part].text[column] + 2 * static_cast<std::uint64_t>(table.part[part].rows);
}

std::uint64_t units_result_bytes(const unit_table &table)
{
    std::uint64_t bytes = 0;
    for (std::int32_t p = 0; p < table.parts; ++p) {
        for (std::int32_t c = 0; c < table.columns; ++c)
            bytes += line_bytes(table, p, c);
    }
    return bytes;
}

// Lanes at the offsets of their lines, each part's on a thread of its own.
// False when their memory cannot be had.
static bool write_units_by_lanes(const unit_table &table, output_block *out, bool threads)
{
    auto columns = static_cast<std::size_t>(table.columns);
    auto lanes_count = columns * static_cast<std::size_t>(table.parts);
    std::size_t page = page_size();
    std::size_t lane_size = lane_bytes(columns, page);
    auto *lanes = static_cast<output_block *>(scratch_calloc(lanes_count, sizeof(output_block)));
    auto *bytes = static_cast<char *>(allocate_pages(lanes_count * lane_size));
    bool ready = lanes != nullptr && bytes != nullptr;
    if (ready) {
        if (table.length >= lanes_count * lane_size)
            prepare_pages(bytes, lanes_count * lane_size);
        flush_output(out);
        std::uint64_t offset = out->offset;
        for (std::size_t c = 0; c < columns; ++c) {
            for (std::int32_t p = 0; p < table.parts; ++p) {
                std::size_t lane = static_cast<std::size_t>(p) * columns + c;
                lanes[lane] = output_block{out->fd,   bytes + lane * lane_size,
                                           0,         lane_size - output_slack,
                                           lane_size, true,
                                           offset,    false};
                lanes[lane].progress = out->progress;
                offset += line_bytes(table, p, static_cast<std::int32_t>(c));
            }
        }
        void (*fill)(void *) = table.crlf ? fill_units<true, true> : fill_units<true, false>;
        unit_work works[2];
        for (std::int32_t p = 0; p < table.parts; ++p)
            works[p] = unit_work{&table,
                                 &table.part[p],
                                 p == table.parts - 1,
                                 lanes + static_cast<std::size_t>(p) * columns,
                                 0,
                                 table.columns};
        if (table.parts == 2)
            run_both(fill, &works[0], &works[1], threads);
        else
            fill(&works[0]);
        for (std::size_t lane = 0; lane < lanes_count; ++lane) {
            flush_output(&lanes[lane]);
            take_failure(out, lanes[lane]);
        }
        out->at_offset = true;
        out->offset = offset;
    }
    release_pages(bytes);
    scratch_free(lanes);
    return ready;
}

// A line at a time, in sequence: each a walk of the whole table.
static void write_units_by_passes(const unit_table &table, output_block *out)
{
    unit_part whole = table.part[0];
    whole.end = table.length;
    whole.rows = table.rows;
    for (std::int32_t c = 0; c < table.columns && !out->failed; ++c) {
        unit_work work{&table, &whole, true, out, c, c + 1};
        if (table.crlf)
            fill_units<false, true>(&work);
        else
            fill_units<false, false>(&work);
    }
}

bool write_units_replace(const unit_table &table, output_target to, failure_report *why)
{
    writer_blocks own;
    if (to.blocks == nullptr)
        to.blocks = &own;
    if (!have_output_blocks(to.blocks)) {
        if (why != nullptr)
            *why = failure_report{failure::array_memory, ENOMEM};
        return false;
    }
    output_block out = main_output(to);
    table_shape shape;
    shape.columns = table.columns;
    shape.split = table.parts == 2;
    if (!to.positioned || !lanes_fit(shape, to.budget, page_size()) ||
        !write_units_by_lanes(table, &out, to.threads))
        write_units_by_passes(table, &out);
    return finish_output(&out, to, why);
}
