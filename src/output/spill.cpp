// A table past the budget: bands of rows through a spill file.
#include "output/transpose.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

// Bands of rows transposed one at a time into a spill file, each band's
// run holding its part of every output line, in order and ended by LF (a
// cell's text never holds one); the result then takes line i from every run
// in turn. The runs are delimited text whatever the result's format: a page
// turns each run's entries into cells as it takes them.
struct spill_runs {
    int fd = -1;
    std::uint64_t *starts = nullptr; // run b is [starts[b], starts[b + 1])
    std::size_t count = 0;
    std::size_t capacity = 0;
    // Run b's line i holds line_bytes[b * columns + i] bytes before its LF,
    // known from the band's sums, so that taking it back needs no search
    // for its end. Null once a band has no sums or they would pass
    // most_line_bytes entries: the ends are then searched for.
    std::uint32_t *line_bytes = nullptr;
    bool unsized = false;
    std::size_t columns = 0;
    std::size_t most_line_bytes = 0;
    // A page's style, and the bytes run b's line i takes as the page's cells,
    // page_bytes[b * columns + i], from the band's sums and what its escapes
    // add; null once a band's are not known.
    const line_style *page = nullptr;
    std::uint32_t *page_bytes = nullptr;
};

static bool add_run(spill_runs *runs, std::uint64_t end)
{
    if (runs->count + 2 > runs->capacity) {
        std::size_t capacity = runs->capacity * 2 + 8;
        void *more = scratch_realloc(runs->starts, capacity * sizeof(std::uint64_t));
        if (more == nullptr)
            return false;
        runs->starts = static_cast<std::uint64_t *>(more);
        runs->capacity = capacity;
    }
    runs->starts[runs->count + 1] = end;
    ++runs->count;
    return true;
}

// A spill that found no room in one place is tried in the next, its first
// place's failure forgotten; memory's is not, since every place needs it.
static void clear_failure(output_block *out)
{
    out->failed = false;
    out->error = 0;
}

static void release_runs(spill_runs *runs)
{
    scratch_free(runs->starts);
    scratch_free(runs->line_bytes);
    scratch_free(runs->page_bytes);
    if (runs->fd >= 0)
        close_scratch_file(runs->fd);
    *runs = spill_runs{};
}

// band_end by the row index: the row the band of rows from first ends
// before, cut where band_end would cut the same bytes.
static std::int32_t band_end_row(const table_view &table, const std::size_t *starts,
                                 std::int32_t first, std::size_t most_bytes, std::size_t most_rows)
{
    // Row r's line ends with a line end when the next line starts within the data.
    auto ended = [&](std::int32_t r) { return starts[r + 1] <= table.length; };
    std::int32_t end = first + 1;
    std::size_t begin = starts[first];
    for (std::size_t rows = 1; ended(end - 1) && end < table.rows && rows < most_rows; ++rows) {
        if (ended(end) && starts[end + 1] - begin > most_bytes)
            break;
        ++end;
    }
    return end < table.rows && ended(end) ? end : table.rows;
}

// Where the band of rows from begin ends: after the line end that keeps it
// within most_bytes and most_rows (or after the first, for a longer line),
// or at the data's end. The final line is never cut off alone when it has
// no line end, so every band but the last ends with one.
static std::size_t band_end(const table_view &table, std::size_t begin, std::size_t most_bytes,
                            std::size_t most_rows)
{
    const unsigned char *data_end = table.bytes + table.length;
    const unsigned char *start = table.bytes + begin;
    const unsigned char *end = start;
    for (std::size_t rows = 0; rows == 0 || (rows < most_rows && end < data_end); ++rows) {
        auto *line_end = static_cast<const unsigned char *>(
            std::memchr(end, table.line_end, static_cast<std::size_t>(data_end - end)));
        if (line_end == nullptr)
            return table.length;
        if (rows > 0 && static_cast<std::size_t>(line_end + 1 - start) > most_bytes)
            break;
        end = line_end + 1;
    }
    if (std::memchr(end, table.line_end, static_cast<std::size_t>(data_end - end)) == nullptr)
        return table.length;
    return static_cast<std::size_t>(end - table.bytes);
}

// Column sums widened to columns entries, the new ones zero; freed, and
// null, when that cannot be had.
static void widen_sums(scratch_array<std::uint32_t> *sums, std::size_t had, std::size_t columns)
{
    if (*sums == nullptr)
        return;
    void *more = scratch_realloc(sums->get(), columns * sizeof(std::uint32_t));
    if (more == nullptr) {
        sums->reset();
        return;
    }
    static_cast<void>(sums->release()); // the realloc moved it
    sums->reset(static_cast<std::uint32_t *>(more));
    std::fill(sums->get() + had, sums->get() + columns, 0);
}

// What a band may hold: its bytes, its rows (its row table also holds the
// two ends) and the columns its sums may cover; and how a band is scanned
// again: in two parts from split_from bytes on, on two threads or one.
struct band_limits {
    std::size_t bytes = 0;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::size_t split_from = SIZE_MAX;
    bool threads = false;
};

// The band's own grid, with every column of the table; its sums, when it
// has them, cover them all.
static bool load_band(const table_view &table, std::size_t begin, std::size_t end,
                      const band_limits &most, cell_grid *band)
{
    load_limits limits;
    limits.most_columns = most.columns;
    limits.split_from = most.split_from;
    limits.threads = most.threads;
    limits.keep_parts = wants_row_parts(table.bytes + begin, end - begin, most.split_from);
    if (load_table_within(table.bytes + begin, end - begin, table.delimiter, true, limits, band) !=
        load_done)
        return false;
    table_sums &sums = band->sums;
    if (band->table.columns < table.columns) {
        auto had = static_cast<std::size_t>(band->table.columns);
        auto columns = static_cast<std::size_t>(table.columns);
        widen_sums(&sums.bytes, had, columns);
        widen_sums(&sums.head_bytes, had, columns);
        if (sums.bytes == nullptr)
            sums.head_bytes.reset();
        // Its rows lack the columns it gains: no longer plain.
        band->table.plain = false;
    }
    band->table.columns = table.columns;
    return true;
}

// A page's band's lines' sizes as its cells (page_entries_sizes), on the
// scratch list; null for delimited text and where they are not known.
static std::uint32_t *band_page_sizes(const cell_grid &band, const line_style *page)
{
    if (page == nullptr || band.sums.bytes == nullptr)
        return nullptr;
    auto *sizes = static_cast<std::uint32_t *>(
        scratch_malloc(static_cast<std::size_t>(band.table.columns) * sizeof(std::uint32_t)));
    if (sizes != nullptr && !page_entries_sizes(band, *page, sizes)) {
        scratch_free(sizes);
        sizes = nullptr;
    }
    return sizes;
}

// The next run's page_sizes (band_page_sizes) from entry had on, or none
// from now on.
static void note_page_bytes(const std::uint32_t *page_sizes, spill_runs *runs, std::size_t had)
{
    std::size_t columns = runs->columns;
    auto *sizes = page_sizes != nullptr && (had == 0 || runs->page_bytes != nullptr)
                      ? static_cast<std::uint32_t *>(scratch_realloc(
                            runs->page_bytes, (had + columns) * sizeof(std::uint32_t)))
                      : nullptr;
    if (sizes == nullptr) {
        scratch_free(runs->page_bytes);
        runs->page_bytes = nullptr;
        return;
    }
    runs->page_bytes = sizes;
    std::memcpy(sizes + had, page_sizes, columns * sizeof(std::uint32_t));
}

// The sizes of the next run's lines, its band's sums and a byte a row for
// each entry's delimiter, or none from now on; a page's also as its cells,
// page_sizes from band_page_sizes, which it frees.
static void note_line_bytes(const cell_grid &band, spill_runs *runs, std::uint32_t *page_sizes)
{
    scratch_array<std::uint32_t> page_owned(page_sizes);
    const std::uint32_t *sums = band.sums.bytes.get();
    std::size_t columns = runs->columns;
    std::size_t had = runs->count * columns;
    auto rows = static_cast<std::uint32_t>(band.table.rows);
    bool fits = !runs->unsized && sums != nullptr && had + columns <= runs->most_line_bytes;
    for (std::size_t c = 0; fits && c < columns; ++c)
        fits = sums[c] <= UINT32_MAX - rows;
    void *more =
        fits ? scratch_realloc(runs->line_bytes, (had + columns) * sizeof(std::uint32_t)) : nullptr;
    if (more == nullptr) {
        scratch_free(runs->line_bytes);
        runs->line_bytes = nullptr;
        runs->unsized = true;
        note_page_bytes(nullptr, runs, had);
        return;
    }
    runs->line_bytes = static_cast<std::uint32_t *>(more);
    for (std::size_t c = 0; c < columns; ++c)
        runs->line_bytes[had + c] = sums[c] + rows - 1;
    if (runs->page != nullptr)
        note_page_bytes(page_sizes, runs, had);
}

// The band, loaded, transposed into the spill. Paired, its groups take one
// thread and one staging buffer: the other thread has a band of its own.
static void spill_band(cell_grid *loaded, line_group *group, output_block *to, bool paired)
{
    cell_grid &band = *loaded;
    line_style runs_style;
    runs_style.delimiter = band.table.delimiter;
    method_step step = paired ? method_step{} : plan_groups(shape_of(band), to->split_from);
    row_cursors cursors = start_cursors(band.table, std::move(band.index));
    write_by_groups(band, cursors.next.get(), runs_style, to, group, 0, band.table.columns, step);
    flush_output(to);
}

// Where a band starts: its first row and byte.
struct band_start {
    std::int32_t row = 0;
    std::size_t byte = 0;
};

// Where the band from at ends, cut from the row index; at the table's end,
// at itself (a band of nothing).
static band_start cut_band(const cell_grid &grid, band_start at, const band_limits &most)
{
    if (at.byte >= grid.table.length)
        return at;
    const std::size_t *starts = grid.index.starts.get();
    std::int32_t end = band_end_row(grid.table, starts, at.row, most.bytes, most.rows);
    return {end, end == grid.table.rows ? grid.table.length : starts[end]};
}

// The band [from, end) cut from the row index: one measured whole takes its
// grid from it too (a larger one is scanned again in two parts, for its two
// threads).
static bool load_rows(const cell_grid &grid, band_start from, band_start end,
                      const band_limits &most, cell_grid *band)
{
    return end.byte - from.byte < most.split_from
               ? load_row_band(grid, from.row, end.row, most.columns, band)
               : load_band(grid.table, from.byte, end.byte, most, band);
}

// The next band, from at, which moves past it, transposed into the spill;
// false when it cannot be loaded. Its arrays are freed before the runs' list
// grows. Without the row index the band is cut from the bytes and scanned
// again, its row unknown.
static bool spill_next_band(const cell_grid &grid, band_start *at, const band_limits &most,
                            line_group *group, spill_runs *runs, output_block *to)
{
    cell_grid band;
    bool loaded = false;
    if (grid.index.starts != nullptr) {
        band_start end = cut_band(grid, *at, most);
        loaded = load_rows(grid, *at, end, most, &band);
        *at = end;
    } else {
        std::size_t end = band_end(grid.table, at->byte, most.bytes, most.rows);
        loaded = load_band(grid.table, at->byte, end, most, &band);
        at->byte = end;
    }
    if (loaded) {
        note_line_bytes(band, runs, band_page_sizes(band, runs->page));
        spill_band(&band, group, to, false);
    }
    return loaded;
}

// The table's bytes up to at spilled, told once: told, how far spilling has
// been told, by this place or one before it that failed, whose bands the
// spill started again beside the result spills again.
static void tell_spilled(output_block *result, std::size_t *told, std::size_t at)
{
    if (at > *told) {
        note_consumed(result->progress, at / 2 - *told / 2);
        *told = at;
    }
}

// The bands one after the other, on this thread.
static bool spill_bands_in_turn(const cell_grid &grid, const band_limits &most, line_group *group,
                                spill_runs *runs, output_block *to, output_block *result,
                                std::size_t *told)
{
    bool spilled = true;
    for (band_start at; spilled && at.byte < grid.table.length;) {
        spilled = spill_next_band(grid, &at, most, group, runs, to);
        if (spilled) {
            take_failure(result, *to);
            spilled = !to->failed && add_run(runs, static_cast<std::uint64_t>(to->offset));
        }
        if (spilled)
            tell_spilled(result, told, at.byte);
    }
    return spilled;
}

// A band's run's bytes, from its sums: each line's text, and a delimiter or
// the LF after each row's entry. False without sums.
static bool run_bytes(const cell_grid &band, std::uint64_t *bytes)
{
    const std::uint32_t *sums = band.sums.bytes.get();
    if (sums == nullptr)
        return false;
    auto columns = static_cast<std::size_t>(band.table.columns);
    *bytes = static_cast<std::uint64_t>(band.table.rows) * columns;
    for (std::size_t c = 0; c < columns; ++c)
        *bytes += sums[c];
    return true;
}

namespace
{

// One thread's share of a round of two bands, each written at its own
// place in the spill through its own output block and staging. The first
// thread transposes the round's first band, loaded before the round, then
// loads [from, end), the next round's first, into the same grid; the second
// loads [from, end), the round's second band, then transposes it.
struct band_work {
    const cell_grid *grid = nullptr;
    const band_limits *most = nullptr;
    cell_grid band;
    band_start from;
    band_start end;
    bool loads_first = false;
    bool loaded = false;
    line_group *group = nullptr;
    output_block *to = nullptr;
    const line_style *page = nullptr;    // a page's style, else null
    std::uint32_t *page_sizes = nullptr; // the loaded band's, from band_page_sizes
};

} // namespace

// The work's band [from, end), loaded, a page's sized as its cells on the
// thread that loaded it; true, nothing loaded, for a band of nothing past
// the table's end.
static bool load_work_band(band_work *work)
{
    if (work->from.byte == work->end.byte)
        return true;
    if (!load_rows(*work->grid, work->from, work->end, *work->most, &work->band))
        return false;
    work->page_sizes = band_page_sizes(work->band, work->page);
    return true;
}

static void pair_band(void *arg)
{
    auto *work = static_cast<band_work *>(arg);
    if (!work->loads_first) {
        spill_band(&work->band, work->group, work->to, true);
        work->band = cell_grid{}; // its memory free before the next band's is had
    }
    work->loaded = load_work_band(work);
    if (work->loaded && work->loads_first)
        spill_band(&work->band, work->group, work->to, true);
}

// One band alone, the first's, at its place: the table's last, or one
// without sums, whose run's size is known only once it is written. The next
// is loaded after it.
static void spill_band_alone(band_work *first, band_start next_end)
{
    spill_band(&first->band, first->group, first->to, true);
    first->band = cell_grid{};
    first->from = first->end;
    first->end = next_end;
    first->loaded = load_work_band(first);
}

// The round's two runs, their sizes from where their blocks ended; a first
// run whose size is not its sums' would be a fault, which fails the spill.
static bool add_round_runs(band_work *works, std::uint64_t first_end, spill_runs *runs,
                           output_block *result)
{
    take_failure(result, *works[0].to);
    take_failure(result, *works[1].to);
    if (!result->failed && works[0].to->offset != first_end) {
        errno = EIO;
        note_failed_write(result);
    }
    if (result->failed || !add_run(runs, first_end))
        return false;
    if (!works[1].loaded)
        return false;
    note_line_bytes(works[1].band, runs, std::exchange(works[1].page_sizes, nullptr));
    return add_run(runs, works[1].to->offset);
}

// The bands in rounds of two on two threads, each band's run at its place
// in the spill: the round's second run follows the first, whose size the
// first band's sums give. A band without them goes alone. Progress is told
// here, on this thread, once a round is done.
static bool spill_paired_bands(band_work *works, spill_runs *runs, output_block *result,
                               std::size_t *told)
{
    band_work &first = works[0];
    band_work &second = works[1];
    const cell_grid &grid = *first.grid;
    std::size_t length = grid.table.length;
    first.end = cut_band(grid, first.from, *first.most);
    bool spilled = load_work_band(&first);
    std::uint64_t offset = 0;
    while (spilled && first.from.byte < length) {
        std::uint64_t first_bytes = 0;
        bool sized = run_bytes(first.band, &first_bytes);
        note_line_bytes(first.band, runs, std::exchange(first.page_sizes, nullptr));
        first.to->offset = offset;
        band_start after = cut_band(grid, first.end, *first.most);
        if (!sized || first.end.byte == length) {
            spill_band_alone(&first, after);
            take_failure(result, *first.to);
            spilled = !result->failed && add_run(runs, first.to->offset) && first.loaded;
            offset = first.to->offset;
        } else {
            second.from = first.end;
            second.end = after;
            second.to->offset = offset + first_bytes;
            first.from = after;
            first.end = cut_band(grid, after, *first.most);
            run_both(pair_band, &first, &second, true);
            spilled = add_round_runs(works, offset + first_bytes, runs, result) && first.loaded;
            second.band = cell_grid{};
            offset = second.to->offset;
        }
        tell_spilled(result, told, first.from.byte);
    }
    return spilled;
}

// Whether the bands may go in pairs on two threads: bands taken by choice,
// cut from the row index, with sums, of a table large enough for two
// threads, where the whole budget holds a second band and its staging and
// output block beside the spill's own share.
static bool bands_pair(const cell_grid &grid, const output_target &to, const band_limits &most,
                       const output_block &spill)
{
    std::uint64_t second = 2 * to.budget + group_bytes + sizeof(line_group) + spill.end;
    return spill.threads && grid.index.starts != nullptr && grid.sums.bytes != nullptr &&
           static_cast<std::size_t>(grid.table.columns) <= most.columns && grid.table.length > 0 &&
           grid.table.length >= to.split_from && to.whole_budget / 4 >= second;
}

// The second thread's staging and output block, beside the first's.
struct band_pair_buffers {
    line_group *group = nullptr;
    char *pages = nullptr; // the staging, then the block
};

static bool have_pair_buffers(band_pair_buffers *buffers, std::size_t block_bytes)
{
    buffers->group = static_cast<line_group *>(scratch_calloc(1, sizeof(line_group)));
    buffers->pages = static_cast<char *>(allocate_pages(group_bytes + block_bytes));
    if (buffers->group != nullptr)
        buffers->group->bytes = buffers->pages;
    return buffers->group != nullptr && buffers->pages != nullptr;
}

static void release_pair_buffers(band_pair_buffers *buffers)
{
    release_pages(buffers->pages);
    scratch_free(buffers->group);
}

// The bands in pairs at offsets where they may be, else in turn.
static bool spill_all_bands(const cell_grid &grid, const output_target &result_to, band_limits most,
                            line_group *group, spill_runs *runs, output_block *to,
                            output_block *result, std::size_t *told)
{
    band_pair_buffers buffers;
    if (!bands_pair(grid, result_to, most, *to) || !have_pair_buffers(&buffers, to->end)) {
        release_pair_buffers(&buffers);
        return spill_bands_in_turn(grid, most, group, runs, to, result, told);
    }
    most.threads = false;
    output_block after = *to;
    after.bytes = buffers.pages + group_bytes;
    to->at_offset = after.at_offset = true;
    band_work works[2];
    works[0] = {&grid, &most, {}, {}, {}, false, false, group, to, runs->page};
    works[1] = {&grid, &most, {}, {}, {}, true, false, buffers.group, &after, runs->page};
    bool spilled = spill_paired_bands(works, runs, result, told);
    scratch_free(works[0].page_sizes); // a failed round's
    scratch_free(works[1].page_sizes);
    release_pair_buffers(&buffers);
    return spilled;
}

// The spill is written through the main output block, which holds nothing until
// the runs are taken: result's bytes have been set aside, and it takes on
// what failed. told: as tell_spilled's.
static bool spill_bands(const cell_grid &grid, const output_target &result_to, spill_runs *runs,
                        output_block *result, std::size_t *told)
{
    std::uint64_t budget = result_to.budget;
    line_group *group = result_to.blocks->group.get();
    output_target spill;
    spill.fd = runs->fd;
    spill.blocks = result_to.blocks;
    spill.split_from = result_to.split_from;
    spill.threads = result->threads;
    output_block to = main_output(spill);
    // Half for the band's bytes, which its passes read again and again; an
    // eighth each for its row table, its column sums and the runs' line
    // sizes (of the whole budget, for bands taken by choice: more runs keep
    // their sizes, which spare a search for every line's end). A band holds
    // a row at least; its row table also holds the two ends.
    band_limits most;
    most.bytes = budget / 2;
    most.rows = std::max<std::uint64_t>(budget / 8 / sizeof(std::size_t), 3) - 2;
    most.columns = budget / 8 / sizeof(std::uint32_t);
    most.split_from = spill.split_from;
    most.threads = spill.threads;
    runs->starts = static_cast<std::uint64_t *>(scratch_calloc(8, sizeof(std::uint64_t)));
    runs->capacity = runs->starts == nullptr ? 0 : 8;
    runs->columns = static_cast<std::size_t>(grid.table.columns);
    runs->most_line_bytes = std::max(
        most.columns, static_cast<std::size_t>(result_to.whole_budget / 8 / sizeof(std::uint32_t)));
    if (runs->page != nullptr)
        runs->most_line_bytes /= 2; // a page's runs keep two sizes an entry
    bool spilled = runs->starts != nullptr &&
                   spill_all_bands(grid, result_to, most, group, runs, &to, result, told);
    if (!spilled)
        note_no_memory(result); // unless a write failed first
    return spilled;
}

// Where the result stands in one run: its bytes [at, filled) in memory
// (then zero padding), whole cells up to whole, and the run's bytes
// [next, end) of the spill still to read. A mapped spill is all in memory;
// otherwise the run is read in pieces into buffer, capacity bytes long.
struct run_reader {
    const unsigned char *bytes = nullptr;
    unsigned char *buffer = nullptr; // scratch, with input_padding more
    std::size_t capacity = 0;
    std::size_t at = 0;
    std::size_t filled = 0;
    std::size_t whole = 0;
    std::uint64_t next = 0;
    std::uint64_t end = 0;
};

// Keeps the bytes not yet taken and reads what follows them. A cell longer
// than the buffer doubles it. False, the failure noted in out, when the run
// has no more or they cannot be had.
static bool refill(int fd, unsigned char delimiter, run_reader *r, output_block *out)
{
    std::size_t kept = r->filled - r->at;
    if (r->next == r->end) {
        errno = EIO;
        note_failed_write(out);
        return false;
    }
    if (kept == r->capacity) {
        std::size_t capacity = 2 * r->capacity;
        void *more = scratch_realloc(r->buffer, capacity + input_padding);
        if (more == nullptr) {
            note_no_memory(out);
            return false;
        }
        r->buffer = static_cast<unsigned char *>(more);
        r->bytes = r->buffer;
        r->capacity = capacity;
    }
    std::memmove(r->buffer, r->buffer + r->at, kept);
    auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(r->capacity - kept, r->end - r->next));
    if (!set_cursor(fd, r->next) || !read_exactly(fd, r->buffer + kept, wanted)) {
        note_failed_write(out);
        return false;
    }
    r->next += wanted;
    r->at = 0;
    r->filled = kept + wanted;
    std::memset(r->buffer + r->filled, 0, input_padding);
    r->whole = r->filled;
    while (r->whole > 0 && r->buffer[r->whole - 1] != '\n' && r->buffer[r->whole - 1] != delimiter)
        --r->whole;
    return true;
}

// Where a run's reader stands in the spill, whether mapped or read in pieces.
static std::uint64_t spill_position(const run_reader &r)
{
    return r.next - r.filled + r.at;
}

// Taking the runs back consumes the half of the table that spilling did not
// tell: as much of it as the runs' bytes taken so far stand for. Told about
// once every consumed_step bytes of the result, and at its end. Readers of
// a half of the lines tell as much as their own bytes stand for.
struct runs_taken {
    std::uint64_t *from = nullptr; // where each run's reader started (a second half's, once
                                   // moved on to its first line)
    std::size_t runs = 0;
    std::uint64_t bytes = 0;   // of the runs, that share stands for
    std::uint64_t share = 0;   // of the table
    std::uint64_t told = 0;    // of the share
    std::uint64_t told_at = 0; // the result's bytes when last told
};

std::uint64_t share_taken(std::uint64_t share, std::uint64_t taken, std::uint64_t spilled)
{
    if (taken >= spilled)
        return share;
    return static_cast<std::uint64_t>(static_cast<double>(share) * static_cast<double>(taken) /
                                      static_cast<double>(spilled));
}

static void tell_runs_taken(runs_taken *taken, const run_reader *readers, output_block *out,
                            bool end)
{
    std::uint64_t at = out->offset + out->used;
    if (out->progress.consumed == nullptr || (!end && at - taken->told_at < consumed_step))
        return;
    std::uint64_t spill_taken = 0;
    for (std::size_t b = 0; b < taken->runs; ++b)
        spill_taken += spill_position(readers[b]) - taken->from[b];
    std::uint64_t now = share_taken(taken->share, spill_taken, taken->bytes);
    if (now > taken->told) {
        note_consumed(out->progress, now - taken->told);
        taken->told = now;
    }
    taken->told_at = at;
}

// The cells of a page that end at stops in the 64-byte block at p, the
// first from cell on; special marks the block's bytes to escape, earlier
// says whether the first cell holds some in blocks before. Returns the start
// of the cell after them.
static const unsigned char *put_block_cells(output_block *out, const html_style &style,
                                            const unsigned char *p, std::uint64_t stops,
                                            std::uint64_t special, bool earlier,
                                            const unsigned char *cell)
{
    for (; stops != 0; stops &= stops - 1) {
        int at = std::countr_zero(stops);
        const unsigned char *end = p + at;
        if (plain_until(earlier ? 1 : 0, special, at)) {
            put_plain_html_cell(out, cell, static_cast<std::size_t>(end - cell));
        } else {
            put_escaped_html_cell(out, style, cell);
            flush_if_full(out);
        }
        special = special_after(special, at);
        earlier = false;
        cell = end + 1;
    }
    return cell;
}

// put_block_cells' way for a block whose cells hold nothing to escape, when
// out has room for all of them at once: each stored without a check.
static const unsigned char *store_block_cells(output_block *out, const unsigned char *p,
                                              std::uint64_t stops, const unsigned char *cell)
{
    char *to = out->bytes + out->used;
    for (; stops != 0; stops &= stops - 1) {
        const unsigned char *end = p + std::countr_zero(stops);
        to = store_plain_html_cell(to, cell, static_cast<std::size_t>(end - cell));
        cell = end + 1;
    }
    out->used = static_cast<std::size_t>(to - out->bytes);
    flush_if_full(out);
    return cell;
}

// Whether out has room for every cell that can end in the block at p, the
// first from cell on: the text up to the block's end, and at most 64 cells'
// tags and their overrun.
static bool room_for_block(const output_block &out, const unsigned char *p,
                           const unsigned char *cell)
{
    auto text = static_cast<std::size_t>(p + scan_block - cell);
    return out.end - out.used >= text + scan_block * plain_html_cell_size(0) + plain_html_cell_room;
}

// A run's next line as a page's cells. Its bytes are walked a 64-byte block
// at a time, as the in-memory writers walk a table's: one block gives the
// ends of many cells, and a cell with nothing to escape goes straight out.
// A cell that is not whole in the buffer is walked again from its start
// after a refill (which may still not make it whole). False when the run
// cannot be read, the failure noted in out.
static bool take_run_cells(const html_style &style, int fd, run_reader *r, output_block *out)
{
    const unsigned char *cell = r->bytes + r->at;
    const unsigned char *p = cell;
    bool earlier = false; // the cell holds bytes to escape in blocks before p's
    for (;;) {
        // A cell that starts before whole ends before it, and the bytes from
        // whole on (the buffer's last, then zero padding) end none.
        if (cell >= r->bytes + r->whole) {
            r->at = static_cast<std::size_t>(cell - r->bytes);
            if (!refill(fd, style.delimiter, r, out))
                return false;
            cell = p = r->bytes + r->at;
            earlier = false;
            continue;
        }
        // The cells end at the delimiters and the line's LF; what follows
        // that belongs to the next line, or to another run.
        block_classes c = classify_block(p, style.delimiter);
        std::uint64_t line_end = c.lf & (0 - c.lf);
        std::uint64_t stops = (c.delimiter | c.lf) & ((line_end - 1) | line_end);
        std::uint64_t special = html_special_mask(p);
        if (special == 0 && !earlier && room_for_block(*out, p, cell))
            cell = store_block_cells(out, p, stops, cell);
        else
            cell = put_block_cells(out, style, p, stops, special, earlier, cell);
        if (line_end != 0) {
            r->at = static_cast<std::size_t>(cell - r->bytes);
            return true;
        }
        // What the block holds to escape past its last cell's end is the
        // next cell's.
        if (stops != 0) {
            special = special >> (63 - std::countl_zero(stops)) >> 1;
            earlier = false;
        }
        earlier = earlier || special != 0;
        p += scan_block;
    }
}

// Takes line i of every run, from each run's next line; a run that cannot
// be read is a failure noted in out. sizes: run b's line's bytes before its
// LF at sizes[b * stride], or null when they are not known.
static void take_line(const line_style &style, int fd, run_reader *readers, std::size_t runs,
                      output_block *out, runs_taken *taken, const std::uint32_t *sizes,
                      std::size_t stride)
{
    begin_line(out, style);
    for (std::size_t b = 0; b < runs; ++b) {
        tell_runs_taken(taken, readers, out, false);
        run_reader *r = &readers[b];
        bool last = b + 1 == runs;
        if (style.format == format_delimited) {
            // A size that does not end at an LF would be a fault: the LF is
            // then searched for.
            std::size_t left = sizes == nullptr ? SIZE_MAX : sizes[b * stride];
            for (;;) {
                if (r->at == r->filled && !refill(fd, style.delimiter, r, out))
                    return;
                const unsigned char *line = r->bytes + r->at;
                std::size_t have = r->filled - r->at;
                if (left != SIZE_MAX && left < have && line[left] != '\n')
                    left = SIZE_MAX;
                std::size_t size = std::min(left, have);
                if (left == SIZE_MAX) {
                    auto *end = static_cast<const unsigned char *>(std::memchr(line, '\n', have));
                    size = end == nullptr ? have : static_cast<std::size_t>(end - line);
                } else {
                    left -= size;
                }
                put_bytes(out, reinterpret_cast<const char *>(line), size);
                r->at += size;
                if (size < have)
                    break;
            }
            ++r->at;
            put_bytes(out, last ? "\n" : reinterpret_cast<const char *>(&style.delimiter), 1);
        } else if (!take_run_cells(style.html, fd, r, out)) {
            return;
        }
    }
    end_line(out, style, 1);
}

// Mapped whole where the limits leave room for it beside the budget and
// the memory available holds it (the spill then carries its own zero
// padding, so that it maps on every platform whatever its size); null
// otherwise, and the runs are read in pieces. A mapped spill larger than
// the page cache is faulted in a few pages at a time from every run in
// turn, each page read again and again as the others push it out: in a
// memory group of a third of a 3 GB square table's size, twice the disk
// reads and half again the system time of reading its runs in pieces.
static const unsigned char *map_spill(const spill_runs &runs, const output_target &to,
                                      file_mapping *mapping)
{
    static const char zeros[input_padding] = {};
    std::uint64_t size = runs.starts[runs.count] + input_padding;
    if (to.room < to.budget || to.room - to.budget < size || size > SIZE_MAX ||
        size > available_memory() ||
        !write_exactly_at(runs.fd, zeros, input_padding, runs.starts[runs.count]))
        return nullptr;
    const unsigned char *spill = map_file(runs.fd, static_cast<std::size_t>(size), 0, mapping);
    if (spill != nullptr && !hold_scratch_mapping(*mapping)) {
        unmap_file(mapping);
        return nullptr;
    }
    return spill;
}

static void release_readers(run_reader *readers, std::size_t runs)
{
    for (std::size_t b = 0; readers != nullptr && b < runs; ++b)
        scratch_free(readers[b].buffer);
    scratch_free(readers);
}

// The runs' readers over the mapped spill, or each with a buffer of its
// share of half the budget (512 bytes at least, a MiB at most), all taken
// before the first line, so that a run without memory for them writes
// nothing of its result. Null when they cannot be had.
static run_reader *start_readers(const spill_runs &runs, const unsigned char *spill,
                                 std::uint64_t budget)
{
    auto *readers = static_cast<run_reader *>(scratch_calloc(runs.count, sizeof(run_reader)));
    if (readers == nullptr)
        return nullptr;
    std::uint64_t share = std::clamp<std::uint64_t>(budget / 2 / runs.count, 512, 1u << 20);
    for (std::size_t b = 0; b < runs.count; ++b) {
        run_reader *r = &readers[b];
        r->next = runs.starts[b];
        r->end = runs.starts[b + 1];
        r->capacity = static_cast<std::size_t>(share);
        if (spill != nullptr) {
            r->bytes = spill;
            r->at = static_cast<std::size_t>(r->next);
            r->filled = r->whole = static_cast<std::size_t>(r->end);
            r->next = r->end;
            continue;
        }
        r->buffer = static_cast<unsigned char *>(scratch_malloc(r->capacity + input_padding));
        r->bytes = r->buffer;
        if (r->buffer == nullptr) {
            release_readers(readers, b);
            return nullptr;
        }
    }
    return readers;
}

int open_listed_spill(const char *beside, int place)
{
    int fd = open_spill(beside, place);
    if (fd >= 0 && !hold_scratch_file(fd)) {
        close_file(fd);
        return -1;
    }
    return fd;
}

// A page's line i: every run's line as its cells, and the row tags.
static std::uint64_t page_line_bytes(const spill_runs &runs, std::size_t i)
{
    std::uint64_t bytes = line_tags_size(*runs.page);
    for (std::size_t b = 0; b < runs.count; ++b)
        bytes += runs.page_bytes[b * runs.columns + i];
    return bytes;
}

// Output line i's bytes: a page's as page_line_bytes, delimited text's from
// the table's column sums (its text, and a delimiter or the LF after each
// entry), or from every run's line (a delimiter or the LF after each).
static std::uint64_t output_line_bytes(const cell_grid &grid, const spill_runs &runs, std::size_t i)
{
    if (runs.page_bytes != nullptr)
        return page_line_bytes(runs, i);
    if (grid.sums.bytes != nullptr)
        return std::uint64_t{grid.sums.bytes[i]} + static_cast<std::uint64_t>(grid.table.rows);
    std::uint64_t bytes = runs.count;
    for (std::size_t b = 0; b < runs.count; ++b)
        bytes += runs.line_bytes[b * runs.columns + i];
    return bytes;
}

// The second half's first line: the first after which the lines before
// hold half the result's bytes or more, each half keeping a line at least.
static std::int32_t middle_line(const cell_grid &grid, const spill_runs &runs)
{
    std::size_t lines = runs.columns;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < lines; ++i)
        total += output_line_bytes(grid, runs, i);
    std::size_t middle = 0;
    for (std::uint64_t before = 0; middle + 1 < lines && (middle == 0 || 2 * before < total);
         ++middle)
        before += output_line_bytes(grid, runs, middle);
    return static_cast<std::int32_t>(middle);
}

// The bytes of run b's lines before line, from the run's line sizes; a
// size that does not end at an LF would be a fault: the LFs are then
// counted. False when the run ends first.
static bool lines_before(const spill_runs &runs, std::size_t b, const unsigned char *run,
                         std::size_t line, std::size_t *skipped)
{
    auto size = static_cast<std::size_t>(runs.starts[b + 1] - runs.starts[b]);
    *skipped = line;
    for (std::size_t i = 0; i < line; ++i)
        *skipped += runs.line_bytes[b * runs.columns + i];
    if (*skipped <= size && run[*skipped - 1] == '\n')
        return true;
    *skipped = 0;
    for (std::size_t i = 0; i < line; ++i) {
        const void *lf = std::memchr(run + *skipped, '\n', size - *skipped);
        if (lf == nullptr)
            return false;
        *skipped = static_cast<std::size_t>(static_cast<const unsigned char *>(lf) - run) + 1;
    }
    return true;
}

namespace
{

// One thread's lines of the result, [first_line, end_line), each run's
// taken from where its reader stands; a second half's readers and output
// first move on to its first line, each run's at taken.from.
struct lines_work {
    const line_style *style = nullptr;
    const spill_runs *runs = nullptr;
    run_reader *readers = nullptr;
    output_block *out = nullptr;
    runs_taken taken;
    std::int32_t first_line = 0;
    std::int32_t end_line = 0;
};

} // namespace

static void take_lines(lines_work *work)
{
    const spill_runs &runs = *work->runs;
    for (std::int32_t i = work->first_line; i < work->end_line && !work->out->failed; ++i)
        take_line(*work->style, runs.fd, work->readers, runs.count, work->out, &work->taken,
                  runs.line_bytes == nullptr ? nullptr : runs.line_bytes + i, runs.columns);
    tell_runs_taken(&work->taken, work->readers, work->out, true);
}

// What readers starting each run at from take back: the half of the table
// that spilling did not tell, for the whole of the runs.
static runs_taken taken_from(const table_view &table, const spill_runs &runs, std::uint64_t *from,
                             std::uint64_t told_at)
{
    std::uint64_t share = table.length - table.length / 2;
    return {from, runs.count, runs.starts[runs.count], share, 0, told_at};
}

// Every line on this thread.
static void take_all(const table_view &table, const line_style &style, const spill_runs &runs,
                     run_reader *readers, output_block *out)
{
    lines_work work{&style, &runs, readers, out, {}, 0, table.columns};
    work.taken = taken_from(table, runs, runs.starts, out->offset);
    take_lines(&work);
}

// The second half's place: each run's reader at its first line, and its
// output after every line before, as many bytes as the runs hold before
// them (a page's: as those lines take). A run that ends first is a failure,
// as a run read short is.
static void start_second_half(lines_work *work)
{
    const spill_runs &runs = *work->runs;
    for (std::size_t b = 0; b < runs.count; ++b) {
        run_reader *r = &work->readers[b];
        std::size_t skipped = 0;
        if (!lines_before(runs, b, r->bytes + r->at, static_cast<std::size_t>(work->first_line),
                          &skipped)) {
            errno = EIO;
            note_failed_write(work->out);
            return;
        }
        r->at += skipped;
        work->taken.from[b] += skipped;
        work->out->offset += runs.page_bytes == nullptr ? skipped : 0;
    }
    for (std::int32_t i = 0; i < work->first_line && runs.page_bytes != nullptr; ++i)
        work->out->offset += page_line_bytes(runs, static_cast<std::size_t>(i));
    work->taken.told_at = work->out->offset;
}

static void take_half(void *arg)
{
    auto *work = static_cast<lines_work *>(arg);
    if (work->first_line > 0)
        start_second_half(work);
    if (!work->out->failed)
        take_lines(work);
    flush_output(work->out);
}

// Each half tells its readers' share of the table as they go, rounded
// down: the rest is told once both are done.
static void tell_halves_rest(const spill_runs &runs, const lines_work *halves, output_block *out)
{
    std::uint64_t taken = 0;
    for (std::size_t b = 0; b < runs.count; ++b)
        taken += spill_position(halves[0].readers[b]) - runs.starts[b] +
                 spill_position(halves[1].readers[b]) - halves[1].taken.from[b];
    std::uint64_t now = share_taken(halves[0].taken.share, taken, halves[0].taken.bytes);
    std::uint64_t told = halves[0].taken.told + halves[1].taken.told;
    if (now > told)
        note_consumed(out->progress, now - told);
}

// Whether the take-back may be halved: delimited text, or a page whose
// runs' lines' sizes as its cells are known, at offsets, a table large
// enough for two threads, every run in memory, so that neither thread
// reads the spill file, whose cursor they would share, and every run's line
// sizes known. Without them the second thread would first read the first
// half's bytes for their LFs, as long as the first takes them (perf,
// ragged470: its memchr alone as long as the one thread's).
static bool halves_fit(const table_view &table, const line_style &style, const output_target &to,
                       const spill_runs &runs, const run_reader *readers, const output_block &out)
{
    bool fit = (style.format == format_delimited || runs.page_bytes != nullptr) &&
               out.encoder == nullptr && to.positioned && table.length >= to.split_from &&
               table.columns >= 2 && runs.count > 0 && runs.line_bytes != nullptr;
    for (std::size_t b = 0; fit && b < runs.count; ++b)
        fit = readers[b].next == readers[b].end;
    return fit;
}

// The result's lines in two halves, each on a thread with its own output
// block at its own offset: the second's readers start each run after its
// first half's lines, from their sizes, and its output after as many
// bytes. False, nothing written, when the halves do not fit or their
// buffers cannot be had.
static bool take_halves(const cell_grid &grid, const line_style &style, const output_target &to,
                        const spill_runs &runs, run_reader *readers, output_block *out)
{
    const table_view &table = grid.table;
    if (!halves_fit(table, style, to, runs, readers, *out))
        return false;
    auto *from = static_cast<std::uint64_t *>(scratch_malloc(runs.count * sizeof(std::uint64_t)));
    auto *later = static_cast<run_reader *>(scratch_malloc(runs.count * sizeof(run_reader)));
    auto *block = static_cast<char *>(allocate_pages(out->end));
    bool ready = from != nullptr && later != nullptr && block != nullptr;
    if (ready) {
        std::memcpy(from, runs.starts, runs.count * sizeof(std::uint64_t));
        std::memcpy(later, readers, runs.count * sizeof(run_reader));
        flush_output(out);
        out->at_offset = true;
        output_block after = *out;
        after.bytes = block;
        std::int32_t middle = middle_line(grid, runs);
        lines_work halves[2] = {{&style, &runs, readers, out, {}, 0, middle},
                                {&style, &runs, later, &after, {}, middle, table.columns}};
        halves[0].taken = taken_from(table, runs, runs.starts, out->offset);
        halves[1].taken = taken_from(table, runs, from, 0);
        run_both(take_half, &halves[0], &halves[1], out->threads);
        if (out->progress.consumed != nullptr)
            tell_halves_rest(runs, halves, out);
        take_failure(out, after);
        out->offset = after.offset;
    }
    release_pages(block);
    scratch_free(later);
    scratch_free(from);
    return ready;
}

bool write_spilled(const cell_grid &grid, const line_style &style, const output_target &to,
                   output_block *out, bool may_decline)
{
    const table_view &table = grid.table;
    // What out holds (a page's head) waits beside the spill, which is written
    // through the same output block: nothing of the result goes out before the runs
    // and their readers are had.
    char held[2048];
    std::size_t held_size = out->used;
    if (held_size > sizeof held)
        flush_output(out);
    else
        std::memcpy(held, out->bytes, held_size);
    out->used = 0;
    if (out->failed)
        return true;
    spill_runs runs;
    file_mapping mapping;
    bool spilled = false;
    std::size_t told = 0;
    // A place without room (missing, not writable, full) gives way to the
    // next.
    for (int place = 0; place < spill_places && !spilled && !out->no_memory; ++place) {
        release_runs(&runs);
        clear_failure(out);
        runs.page = style.format == format_html ? &style : nullptr;
        runs.fd = open_listed_spill(to.spill_beside, place);
        if (runs.fd < 0)
            note_failed_write(out);
        else
            spilled = spill_bands(grid, to, &runs, out, &told);
    }
    const unsigned char *spill = spilled ? map_spill(runs, to, &mapping) : nullptr;
    if (spilled && spill == nullptr)
        advise_scattered_reads(runs.fd);
    run_reader *readers = spilled ? start_readers(runs, spill, to.budget) : nullptr;
    if (spilled && readers == nullptr)
        note_no_memory(out);
    if (held_size <= sizeof held) {
        std::memcpy(out->bytes, held, held_size);
        out->used = held_size;
    }
    bool declined = may_decline && readers == nullptr;
    if (declined) {
        // Nothing of the result has gone out: the next step may still have
        // what the spill could not.
        clear_failure(out);
        out->no_memory = false;
    }
    if (readers != nullptr && !take_halves(grid, style, to, runs, readers, out))
        take_all(table, style, runs, readers, out);
    release_readers(readers, runs.count);
    unmap_scratch(&mapping);
    release_runs(&runs);
    return !declined;
}
