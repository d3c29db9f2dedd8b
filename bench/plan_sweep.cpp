// The plan sweep: over a grid of table shapes, times every transposition
// method able to take each shape, called alone as the writers call the
// plan's steps, and prints a table of the times with the plan's choice and
// whether that choice is within 10% of the fastest.
//
//   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
//   cmake --build build -j2 --target plan_sweep
//   build/bench/plan_sweep [--reps N] [--dir DIR] [--only TEXT] > bench/plan_sweep.txt
//
// Each time is the best of N runs (3 by default; short ones are repeated
// until they add up to a second) of the method alone on a table loaded
// afresh, the load not timed, with writer blocks of its own as a run of the
// tool has, into a result file at offsets in DIR (/tmp by default; its
// spill files go there too). The cursors are timed on tables of 4 MiB at
// most. --only keeps the points whose name holds TEXT. The whole grid takes
// about ten minutes. On a shared machine re-run the points marked "no"
// (--only) before trusting them: their minimum still moves by 10% and more
// there, most of all between one thread and two.
#include "output/transpose.h"
#include "output/writers.h"
#include "table/input_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

struct sweep_shape {
    std::int32_t rows;
    std::int32_t columns;
    std::int32_t longest; // cells hold 1 to longest bytes
    bool ragged;          // 1 to columns cells a line
};

// A method as the plan names it; spill bands of band_budget / 2 bytes, the
// plan's size for the shape when band_sized.
constexpr std::uint64_t band_sized = 1;
struct sweep_method {
    const char *name;
    method_step step;
};

const sweep_method methods[] = {
    {"lanes/1", {method_lanes, 1, false, 0}},
    {"lanes/2", {method_lanes, 2, false, 0}},
    {"halves/2", {method_halves, 2, false, 0}},
    {"groups/1", {method_groups, 1, false, 0}},
    {"groups/1p", {method_groups, 1, true, 0}},
    {"groups/2", {method_groups, 2, false, 0}},
    {"spill/1M", {method_spill, 1, false, std::uint64_t{1} << 20}},
    {"spill/4M", {method_spill, 1, false, std::uint64_t{4} << 20}},
    {"spill/16M", {method_spill, 1, false, std::uint64_t{16} << 20}},
    {"bands", {method_spill, 1, false, band_sized}},
    {"cursors", {method_cursors, 1, false, 0}},
};
constexpr std::size_t method_count = sizeof methods / sizeof methods[0];

// The shapes: square, tall and wide tables, rectangular and ragged, short
// and long cells, from under a MB to 60-odd, through the sizes where a
// group's lines stop covering a table's rows in one pass.
const sweep_shape shapes[] = {
    {300, 300, 12, false},   {2000, 100, 12, false},  {1000, 500, 12, false},
    {5000, 100, 12, false},  {50000, 20, 12, true},   {2000, 2000, 12, false},
    {4000, 2000, 12, false}, {200, 20000, 12, false}, {20, 200000, 12, false},
    {200000, 10, 12, false}, {1000000, 8, 12, false}, {100000, 40, 12, false},
    {10000, 300, 12, false}, {20000, 300, 12, false}, {60000, 150, 12, false},
    {20000, 300, 12, true},  {60000, 300, 12, true},  {200000, 40, 12, true},
    {100000, 100, 12, true}, {2000, 4000, 12, true},  {30000, 100, 40, false},
    {1000, 3000, 40, false}, {300000, 10, 40, false}, {10000, 300, 40, true},
};

// splitmix64, as bench/gen_table.
std::uint64_t next_random(std::uint64_t *state)
{
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string table_text(const sweep_shape &shape)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uint64_t state = 42;
    std::string text;
    for (std::int32_t r = 0; r < shape.rows; ++r) {
        auto cells = static_cast<std::int32_t>(
            shape.ragged ? 1 + next_random(&state) % static_cast<std::uint64_t>(shape.columns)
                         : static_cast<std::uint64_t>(shape.columns));
        for (std::int32_t c = 0; c < cells; ++c) {
            if (c > 0)
                text += '\t';
            auto length = 1 + next_random(&state) % static_cast<std::uint64_t>(shape.longest);
            for (std::uint64_t i = 0; i < length; ++i)
                text += alphabet[next_random(&state) % (sizeof alphabet - 1)];
        }
        text += '\n';
    }
    return text;
}

struct sweep_run {
    const std::string *text = nullptr;
    const char *dir = "/tmp";
    std::string result;
    int fd = -1;
};

bool load(const sweep_run &run, input_data *input, cell_grid *grid)
{
    std::size_t length = run.text->size();
    unsigned char *bytes = reserve_input(length, input);
    if (bytes == nullptr)
        return false;
    std::memcpy(bytes, run.text->data(), length);
    load_limits limits;
    limits.keep_parts = wants_row_parts(input->bytes, length, limits.split_from);
    return load_table_within(input->bytes, length, '\t', true, limits, grid) == load_done;
}

// The shape as the writers' plan sees it, to a result file.
plan_target target_for(bool page)
{
    plan_target target;
    target.positioned = true;
    target.page = page;
    target.split_from = split_from_bytes;
    target.page_bytes = page_size();
    return target;
}

// The cursors walk every row for every output line: seconds on the larger
// tables, never near the fastest on the smaller ones, so timed there only.
constexpr std::uint64_t cursors_most = std::uint64_t{4} << 20;

// Whether the method can take the table at all: the plan's own conditions
// for it, budget aside. The spill takes any.
bool able(const sweep_method &m, const table_shape &shape)
{
    switch (m.step.method) {
    case method_lanes:
        return shape.columns <= long_lines_lane_columns && (m.step.parts == 1 || shape.split);
    case method_halves:
        return shape.plain && shape.summed && shape.columns >= 2;
    case method_groups:
        return m.step.parts == 1 || shape.split;
    case method_cursors:
        return shape.length <= cursors_most;
    default:
        return true;
    }
}

// Seconds for one run of the method, or a negative number when it wrote
// nothing or failed.
double timed_run(sweep_run *run, method_step step, bool page)
{
    input_data input;
    cell_grid grid;
    writer_blocks blocks;
    if (!load(*run, &input, &grid) || ftruncate(run->fd, 0) != 0 || !have_writer_blocks(&blocks)) {
        release_input(&input);
        return -1;
    }
    // The writers' blocks as a run of the tool has them for its one file:
    // the method touches their pages first.
    output_target to;
    to.fd = run->fd;
    to.positioned = true;
    to.blocks = &blocks;
    to.spill_beside = run->result.c_str();
    line_style style;
    style.format = page ? format_html : format_delimited;
    style.delimiter = '\t';
    style.html = html_style_for(charset_utf8, '\t');
    auto start = std::chrono::steady_clock::now();
    output_block out = main_output(to);
    if (page)
        put_page_head(&out, charset_utf8);
    row_cursors cursors;
    bool written = run_plan_step(step, &grid, style, to, &out, &cursors);
    if (page)
        put_page_tail(&out);
    flush_output(&out);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    bool fine = written && !out.failed;
    grid = cell_grid{};
    release_input(&input);
    return fine ? took.count() : -1;
}

constexpr int reps_most = 200;

bool same_step(const method_step &a, const method_step &b)
{
    return a.method == b.method && a.parts == b.parts && a.pipelined == b.pipelined &&
           a.band_budget == b.band_budget;
}

std::string point_name(const sweep_shape &s, bool page)
{
    char name[64];
    std::snprintf(name, sizeof name, "%d x %d, 1-%d%s%s", s.rows, s.columns, s.longest,
                  s.ragged ? " ragged" : "", page ? " -h" : "");
    return name;
}

void print_header()
{
    std::printf("%-28s %5s", "shape (rows x columns, cell bytes)", "MB");
    for (const sweep_method &m : methods)
        std::printf(" %9s", m.name);
    std::printf("  %-10s %s\n", "plan", "within 10%");
}

// One line of the table: each able method's best time, the plan's first
// step and whether its time is within 10% of the fastest.
bool sweep_point(sweep_run *run, const sweep_shape &s, bool page, int reps)
{
    input_data input;
    cell_grid grid;
    if (!load(*run, &input, &grid))
        return false;
    table_shape shape = shape_of(grid);
    grid = cell_grid{};
    release_input(&input);
    transpose_plan plan = plan_transpose(shape, target_for(page));
    std::printf("%-28s %5.0f", point_name(s, page).c_str(), double(run->text->size()) / 1e6);
    method_step steps[method_count];
    double best[method_count];
    double fastest = 1e30;
    for (std::size_t i = 0; i < method_count; ++i) {
        best[i] = -1;
        steps[i] = methods[i].step;
        if (steps[i].band_budget == band_sized)
            steps[i].band_budget = band_budget(shape, page);
        // Short runs are repeated until they add up to a second: a
        // millisecond's minimum needs many tries on a shared machine.
        double spent = 0;
        for (int r = 0; able(methods[i], shape) && r < reps_most && (r < reps || spent < 1); ++r) {
            double t = timed_run(run, steps[i], page);
            spent += std::max(t, 0.0);
            if (t >= 0 && (best[i] < 0 || t < best[i]))
                best[i] = t;
        }
        if (best[i] >= 0) {
            fastest = std::min(fastest, best[i]);
            std::printf(" %9.4f", best[i]);
        } else {
            std::printf(" %9s", "-");
        }
        std::fflush(stdout);
    }
    // The plan's first step that the run would keep: one that wrote nothing
    // gives way to the next.
    std::size_t chosen = method_count;
    for (std::int32_t k = 0; k < plan.count && chosen == method_count; ++k) {
        for (std::size_t i = 0; i < method_count; ++i)
            if (same_step(steps[i], plan.steps[k]) && best[i] >= 0)
                chosen = i;
    }
    bool within = chosen < method_count && best[chosen] <= 1.1 * fastest;
    std::printf("  %-10s %s\n", chosen < method_count ? methods[chosen].name : "(unlisted)",
                within ? "yes" : "no");
    return within;
}

} // namespace

int main(int argc, char **argv)
{
    int reps = 3;
    const char *only = "";
    sweep_run run;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--reps") == 0)
            reps = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--dir") == 0)
            run.dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    }
    run.result = std::string(run.dir) + "/plan_sweep_result.csv";
    run.fd = ::open(run.result.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (run.fd < 0) {
        std::fprintf(stderr, "plan_sweep: cannot write %s\n", run.result.c_str());
        return 1;
    }
    std::printf("Best of %d runs, seconds; each method called alone, to a result file at "
                "offsets. \"-\": the method cannot take the shape.\n",
                reps);
    print_header();
    int points = 0;
    int missed = 0;
    for (const sweep_shape &s : shapes) {
        std::string text = table_text(s);
        run.text = &text;
        for (bool page : {false, true}) {
            if (point_name(s, page).find(only) == std::string::npos)
                continue;
            ++points;
            missed += sweep_point(&run, s, page, reps) ? 0 : 1;
        }
    }
    std::printf("%d of %d points within 10%% of the fastest method\n", points - missed, points);
    ::close(run.fd);
    ::unlink(run.result.c_str());
    return 0;
}
