// A tall table's output lines each in a lane of its own, at offsets.
#include "output/transpose.h"

#include <algorithm>
#include <atomic>
#include <bit>

// Tall tables written at offsets: the bytes of each output line are summed
// first, so every line's place in the result is known; then one pass over
// the rows appends each cell to its line's lane, and a full lane is written
// at its offset. Each part of the rows has its own lanes.

namespace
{

// A lane's write head, kept apart from its block: the stream of cells
// touches a head and the line it writes, where the blocks would take a
// cache line more each (ragged, 300 lanes: a third less user time).
struct lane_head {
    char *at = nullptr;
    char *flush_at = nullptr; // flushed once at passes it
};

struct lanes_work {
    const cell_grid *grid = nullptr;
    const line_style *style = nullptr;
    row_part rows;
    const unsigned char *begin = nullptr; // the first row's line
    std::size_t *sizes = nullptr;         // each output line's bytes from these rows
    output_block *lanes = nullptr;
    lane_head *heads = nullptr; // one for each lane
    bool units = false;         // a UTF-16 result's lanes
    const progress_sink *progress = nullptr;
};

} // namespace

// A part's rows in order from its first line, without the row table:
// take(k, text, end, plain, last) for each cell, absent(k, last) for each
// cell a row lacks, last saying the row is the table's last. The lines
// walked are told to told, when given, as consumed.
template <typename T, typename A>
static void walk_rows(const lanes_work &work, const progress_sink *told, T take, A absent)
{
    const table_view &table = work.grid->table;
    const unsigned char *line = work.begin;
    const unsigned char *reported = line;
    for (std::int32_t j = work.rows.first; j < work.rows.end; ++j) {
        bool last = j == table.rows - 1;
        const unsigned char *ended = line;
        const unsigned char *after = nullptr;
        std::int32_t filled = walk_cells(
            table, first_cell_at(table, line), table.columns, marks(*work.style), &after,
            [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain) {
                take(k, text, end, plain, last);
                ended = end;
            });
        for (std::int32_t k = filled; k < table.columns; ++k)
            absent(k, last);
        line = line_after(table, ended);
        if (told != nullptr && static_cast<std::size_t>(line - reported) >= consumed_step) {
            note_consumed(*told, static_cast<std::size_t>(line - reported));
            reported = line;
        }
    }
    if (told != nullptr)
        note_consumed(*told, static_cast<std::size_t>(line - reported));
}

// A UTF-16 result's lines (units) take two bytes for each unit of the
// internal form, whose every byte but the continuation bytes stands for one:
// the loader counted those with its sums, else they are counted cell by cell.
static void size_lanes(void *arg)
{
    auto *work = static_cast<lanes_work *>(arg);
    const line_style &style = *work->style;
    std::size_t *sizes = work->sizes;
    const cell_grid &grid = *work->grid;
    std::int32_t columns = grid.table.columns;
    // Byte sums without their continuation counts size nothing here.
    std::uint64_t counted = 0;
    bool sized = !work->units ||
                 summed_count(grid.sums.continuations.get(), grid.sums.head_continuations.get(),
                              grid, work->rows, 0, &counted);
    if (sized) {
        std::uint32_t *extras = part_extras(grid, style, work->rows);
        sized = base_sizes(grid, style, work->rows, 0, columns, extras, sizes);
        scratch_free(extras);
    } else {
        absent_sizes(grid, style, work->rows, columns, sizes);
    }
    if (!sized) {
        std::size_t absent = entry_size(style, nullptr, nullptr, true);
        walk_rows(
            *work, nullptr,
            [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain,
                bool) {
                auto length = static_cast<std::size_t>(end - text);
                std::size_t continuing = work->units ? length - utf16_units(text, length) : 0;
                sizes[k] += entry_size(style, text, end, plain) - absent - continuing;
            },
            [](std::int32_t, bool) {});
    }
    for (std::int32_t k = 0; k < columns && work->units; ++k) {
        if (sized && summed_count(grid.sums.continuations.get(), grid.sums.head_continuations.get(),
                                  grid, work->rows, k, &counted))
            sizes[k] -= static_cast<std::size_t>(counted);
        sizes[k] *= 2;
    }
}

static void take_head(lane_head *head, const output_block &lane)
{
    head->at = lane.bytes + lane.used;
    head->flush_at = lane.bytes + lane.flush_at;
}

// The block takes back what was written through its head.
static void give_head(const lane_head &head, output_block *lane)
{
    lane->used = static_cast<std::size_t>(head.at - lane->bytes);
}

static void flush_head(lane_head *head, output_block *lane)
{
    give_head(*head, lane);
    flush_output(lane);
    take_head(head, *lane);
}

// A cell shorter than this is stored whole at a head, which is never past
// its flush_at: every lane has output_slack bytes after flush_at.
constexpr std::size_t head_room = output_slack - copy_block;

// As put_text and put_absent, through the lane's head.
static inline void put_head_text(lane_head *head, output_block *lane, const unsigned char *text,
                                 const unsigned char *end, char delimiter)
{
    auto length = static_cast<std::size_t>(end - text);
    if (length >= head_room) {
        give_head(*head, lane);
        put_text(lane, text, end, delimiter);
        take_head(head, *lane);
        return;
    }
    char *at = head->at;
    fetch_for_store(at);
    copy_blocks(at, text, length);
    at[length] = delimiter;
    head->at = at + length + 1;
    if (head->at > head->flush_at)
        flush_head(head, lane);
}

static inline void put_head_absent(lane_head *head, output_block *lane, char delimiter)
{
    char *at = head->at;
    fetch_for_store(at);
    *at = delimiter;
    head->at = at + 1;
    if (head->at > head->flush_at)
        flush_head(head, lane);
}

// A table's rows but its last, each ended by LF and free of NUL and CR,
// taken as one stream of cells into the lanes in turn, so that each 64-byte
// block is classified once however its rows fall in it; rest then holds the
// rows that remain. The last row, whose LF may be missing and whose entries
// end the lines, is left to walk_rows. A ragged row's LF ends it early: the
// lanes it lacks each take their delimiter there (a plain row fills every
// lane, and is not asked). A page's cell is plain where none of its bytes,
// in this block or those before, is one a page escapes; delimited text goes
// through the lanes' heads.
template <bool ragged, bool page> static void stream_rows(lanes_work *rest)
{
    const table_view &table = rest->grid->table;
    const line_style &style = *rest->style;
    std::int32_t left = rest->rows.end - rest->rows.first - (rest->rows.end == table.rows ? 1 : 0);
    if (left <= 0)
        return;
    rest->rows.first += left;
    auto delimiter = static_cast<char>(table.delimiter);
    auto columns = static_cast<std::size_t>(table.columns);
    output_block *lanes = rest->lanes;
    output_block *lanes_end = lanes + columns;
    output_block *lane = lanes;
    lane_head *heads = rest->heads;
    lane_head *head = heads;
    for (std::size_t k = 0; k < columns && !page; ++k)
        take_head(&heads[k], lanes[k]);
    const unsigned char *cell = rest->begin;
    const unsigned char *reported = cell;
    const progress_sink *told = rest->progress;
    std::uint64_t earlier = 0; // the cell's special bytes in blocks before this one
    for (const unsigned char *block = cell; left > 0; block += scan_block) {
        __builtin_prefetch(block + next_page_ahead);
        block_classes c = classify_block(block, table.delimiter);
        std::uint64_t special = page ? html_special_mask(block) : 0;
        for (std::uint64_t stops = c.delimiter | c.lf; stops != 0; stops &= stops - 1) {
            int at = std::countr_zero(stops);
            const unsigned char *end = block + at;
            if (page) {
                fetch_for_store(lane->bytes + lane->used);
                put_present(lane, style, cell, end, plain_until(earlier, special, at), false);
                special = special_after(special, at);
                earlier = 0;
            } else {
                put_head_text(head, lane, cell, end, delimiter);
            }
            cell = end + 1;
            ++lane;
            ++head;
            if (ragged && ((c.lf >> at) & 1) != 0) {
                for (; lane != lanes_end; ++lane, ++head) {
                    if (page)
                        put_absent(lane, style, false);
                    else
                        put_head_absent(head, lane, delimiter);
                }
            }
            if (lane == lanes_end) {
                lane = lanes;
                head = heads;
                if (--left == 0)
                    break;
            }
        }
        earlier |= special;
        if (told != nullptr && static_cast<std::size_t>(cell - reported) >= consumed_step) {
            note_consumed(*told, static_cast<std::size_t>(cell - reported));
            reported = cell;
        }
    }
    if (told != nullptr)
        note_consumed(*told, static_cast<std::size_t>(cell - reported));
    for (std::size_t k = 0; k < columns && !page; ++k)
        give_head(heads[k], &lanes[k]);
    rest->begin = cell;
}

template <bool ragged> static void stream_rows_as(lanes_work *rest)
{
    if (rest->style->format == format_html)
        stream_rows<ragged, true>(rest);
    else
        stream_rows<ragged, false>(rest);
}

static void fill_lanes(void *arg)
{
    auto *work = static_cast<lanes_work *>(arg);
    const table_view &table = work->grid->table;
    const line_style &style = *work->style;
    output_block *lanes = work->lanes;
    for (std::int32_t k = 0; k < table.columns && work->rows.first == 0; ++k)
        begin_line(&lanes[k], style);
    lanes_work rest = *work;
    // The sums are had only for a table without NUL or CR.
    if (table.plain)
        stream_rows_as<false>(&rest);
    else if (work->grid->sums.bytes != nullptr && table.line_end == '\n')
        stream_rows_as<true>(&rest);
    walk_rows(
        rest, rest.progress,
        [&](std::int32_t k, const unsigned char *text, const unsigned char *end, bool plain,
            bool last) { put_present(&lanes[k], style, text, end, plain, last); },
        [&](std::int32_t k, bool last) { put_absent(&lanes[k], style, last); });
    for (std::int32_t k = 0; k < table.columns; ++k) {
        if (work->rows.end == table.rows)
            end_line(&lanes[k], style, table.rows);
        flush_output(&lanes[k]);
    }
}

// The lines go after what out holds (a page's head), which is written first;
// out then writes at the offset after the last line. False when the lanes
// cannot be had: the caller then writes another way. step.parts: the loader's
// two parts of the rows, each with its own lanes on a thread of its own, or
// one.
bool write_by_lanes(const cell_grid &grid, const line_style &style, output_block *out,
                    const method_step &step)
{
    auto columns = static_cast<std::size_t>(grid.table.columns);
    std::size_t page = page_size();
    std::size_t lane_size = step.lane_bytes != 0 ? step.lane_bytes : lane_bytes(columns, page);
    row_part rows[2];
    row_parts(grid, step.parts, rows);
    std::int32_t parts = step.parts;
    auto lanes_count = columns * static_cast<std::size_t>(parts);
    auto *sizes = static_cast<std::size_t *>(scratch_calloc(lanes_count, sizeof(std::size_t)));
    auto *lanes = static_cast<output_block *>(scratch_calloc(lanes_count, sizeof(output_block)));
    auto *heads = static_cast<lane_head *>(scratch_calloc(lanes_count, sizeof(lane_head)));
    auto *bytes = static_cast<char *>(allocate_pages(lanes_count * lane_size));
    // A table that fills its lanes at least once takes their pages at once
    // (large where the system gives them): their faults, taken one page at a
    // time as the lanes first fill, cost more than clearing them.
    if (bytes != nullptr && grid.table.length >= lanes_count * lane_size) {
        advise_large_pages(bytes, lanes_count * lane_size);
        prepare_pages(bytes, lanes_count * lane_size);
    }
    // A UTF-16 result's lanes each cut their own units, each part's into its
    // own room.
    bool units = out->encoder != nullptr;
    auto *encoders =
        units ? static_cast<utf16_encoder *>(scratch_calloc(lanes_count, sizeof(utf16_encoder)))
              : nullptr;
    auto *unit_rooms = static_cast<unsigned char *>(
        units ? allocate_pages(2 * lane_size * static_cast<std::size_t>(parts)) : nullptr);
    bool ready = sizes != nullptr && lanes != nullptr && heads != nullptr && bytes != nullptr &&
                 (!units || (encoders != nullptr && unit_rooms != nullptr));
    if (ready) {
        lanes_work works[2];
        for (std::int32_t p = 0; p < parts; ++p) {
            auto first = static_cast<std::size_t>(p) * columns;
            const unsigned char *begin = grid.table.bytes + (p == 0 ? 0 : grid.split.at);
            works[p] = lanes_work{&grid,         &style,        rows[p],       begin,
                                  sizes + first, lanes + first, heads + first, units};
            works[p].progress = &out->progress;
        }
        run_parts(size_lanes, parts, &works[0], &works[1], out->threads);
        flush_output(out);
        std::uint64_t offset = out->offset;
        for (std::size_t c = 0; c < columns; ++c) {
            for (std::size_t p = 0; p < static_cast<std::size_t>(parts); ++p) {
                std::size_t lane = p * columns + c;
                lanes[lane] = output_block{out->fd,   bytes + lane * lane_size,
                                           0,         lane_size - output_slack,
                                           lane_size, true,
                                           offset,    false};
                lanes[lane].progress = out->progress;
                if (units) {
                    encoders[lane].order = out->encoder->order;
                    lanes[lane].encoder = &encoders[lane];
                    lanes[lane].unit_room = unit_rooms + p * 2 * lane_size;
                    lanes[lane].unit_room_bytes = 2 * lane_size;
                }
                offset += sizes[lane];
            }
        }
        run_parts(fill_lanes, parts, &works[0], &works[1], out->threads);
        for (std::size_t lane = 0; lane < lanes_count; ++lane)
            take_failure(out, lanes[lane]);
        out->at_offset = true;
        out->offset = offset;
    }
    release_pages(unit_rooms);
    release_pages(bytes);
    scratch_free(encoders);
    scratch_free(heads);
    scratch_free(lanes);
    scratch_free(sizes);
    return ready;
}

namespace
{

// The table taken in is told half as the lanes fill the spill and half as
// the spill goes out, as a spilled table's is; a second spill place's fill
// tells only what the first did not.
struct spill_progress {
    progress_sink result;
    std::uint64_t half = 0;
    std::atomic<std::uint64_t> told{0};
};

} // namespace

static void note_half_consumed(void *context, std::uint64_t bytes)
{
    auto *progress = static_cast<spill_progress *>(context);
    std::uint64_t told = progress->told.load(std::memory_order_relaxed);
    std::uint64_t more = 0;
    do {
        more = std::min(bytes / 2, progress->half - std::min(told, progress->half));
    } while (!progress->told.compare_exchange_weak(told, told + more, std::memory_order_relaxed));
    note_consumed(progress->result, more);
}

// The spill's size bytes, a block at a time, sent by the system where it
// can, else read into out's block; the rest of the table taken in told in
// proportion.
static void copy_spill(int fd, std::uint64_t size, std::uint64_t length, spill_progress *progress,
                       output_block *out)
{
    std::uint64_t left_to_tell = length - progress->told.load(std::memory_order_relaxed);
    std::uint64_t copied = 0;
    std::uint64_t told = 0;
    bool sending = true;
    bool reading = false; // the spill's cursor at copied
    while (copied < size && !out->failed) {
        auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(out->end - out->used, size - copied));
        sending = sending && send_direct(out, fd, copied, n);
        if (!sending) {
            reading = reading || set_cursor(fd, copied);
            if (!reading ||
                !read_exactly(fd, reinterpret_cast<unsigned char *>(out->bytes + out->used), n)) {
                note_failed_write(out);
                return;
            }
            out->used += n;
        }
        copied += n;
        if (out->used == out->end)
            flush_output(out);
        std::uint64_t due = share_taken(left_to_tell, copied, size);
        note_consumed(progress->result, due - told);
        told = due;
    }
}

// A result without offsets gets the lanes' lines from a spill file that
// takes them at offsets: a tall table's lines are otherwise each a pass
// over every row, ten of them reading a table of 2,000,000 rows ten times.
// A spill in the first place that fails (a full or read-only folder) gives
// way to the next; when none takes the lines, nothing is written, and the
// next step may still write the result.
bool write_lanes_spilled(const cell_grid &grid, const line_style &style, const output_target &to,
                         output_block *out, const method_step &step)
{
    spill_progress progress;
    progress.result = out->progress;
    progress.half = grid.table.length / 2;
    for (int place = 0; place < spill_places; ++place) {
        int fd = open_listed_spill(to.spill_beside, place);
        if (fd < 0)
            continue;
        output_block spill;
        spill.fd = fd;
        spill.at_offset = true;
        spill.progress.consumed = out->progress.consumed != nullptr ? note_half_consumed : nullptr;
        spill.progress.context = &progress;
        spill.threads = out->threads;
        spill.split_from = out->split_from;
        bool had = write_by_lanes(grid, style, &spill, step);
        if (had && !spill.failed)
            copy_spill(fd, spill.offset, grid.table.length, &progress, out);
        close_scratch_file(fd);
        if (!had || !spill.failed)
            return had;
    }
    return false;
}
