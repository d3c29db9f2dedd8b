#include "driver/progress.h"

#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace
{

using progress_clock = std::chrono::steady_clock;

struct progress_state {
    bool enabled = false; // stderr is a terminal
    const char *name = nullptr;
    std::uint64_t total = 0;
    // Two threads may write a result's parts at once: the count is shared,
    // and one of them at a time draws.
    std::atomic<std::uint64_t> done{0};
    std::atomic_flag drawing = ATOMIC_FLAG_INIT;
    progress_clock::time_point start;
    progress_clock::time_point drawn; // when the line was last drawn
    std::size_t shown = 0;            // length of the line on screen; 0 for none
};

progress_state progress;

constexpr auto first_draw_after = std::chrono::seconds(1);
constexpr auto redraw_after = std::chrono::milliseconds(100);

} // namespace

// The line is drawn over, not a message: it goes out at once.
static void show(const char *text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// Binary multiples, as TABFLIP_MEMORY takes them.
static void format_bytes(char *text, std::size_t size, double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        bytes /= 1024;
        ++unit;
    }
    std::snprintf(text, size, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}

std::size_t format_progress(char *line, std::size_t size, const char *name, std::uint64_t done,
                            std::uint64_t total, double seconds)
{
    // The estimate of the total can fall short (ragged rows add delimiters):
    // the line never claims to be done before the file is.
    std::uint64_t shown_total = done < total ? total : done + 1;
    double fraction = static_cast<double>(done) / static_cast<double>(shown_total);
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char done_text[32], total_text[32], rate_text[32];
    format_bytes(done_text, sizeof done_text, static_cast<double>(done));
    format_bytes(total_text, sizeof total_text, static_cast<double>(shown_total));
    format_bytes(rate_text, sizeof rate_text, rate);
    long left = rate > 0 ? static_cast<long>(static_cast<double>(shown_total - done) / rate) : 0;
    int length = std::snprintf(line, size, "%s  %d%%  %s of %s  %s/s  %ld:%02ld left", name,
                               static_cast<int>(fraction * 100), done_text, total_text, rate_text,
                               left / 60, left % 60);
    if (length < 0)
        return 0;
    return static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}

void progress_begin(const char *name, std::uint64_t total)
{
    progress.enabled = stderr_is_terminal();
    progress.name = name;
    progress.total = total;
    progress.done = 0;
    progress.start = progress_clock::now();
    progress.shown = 0;
}

void progress_expect(std::uint64_t bytes)
{
    progress.total += bytes;
}

// A line longer than the terminal would wrap and could not be erased: the
// name is cut to its last characters.
void progress_advance(std::uint64_t bytes)
{
    if (!progress.enabled)
        return;
    std::uint64_t done = progress.done.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    progress_clock::time_point now = progress_clock::now();
    if (now - progress.start < first_draw_after || progress.drawing.test_and_set())
        return;
    if (progress.shown != 0 && now - progress.drawn < redraw_after) {
        progress.drawing.clear();
        return;
    }
    const char *name = progress.name;
    std::size_t name_length = std::strlen(name);
    if (name_length > 30)
        name += name_length - 30;
    char line[160];
    std::chrono::duration<double> taken = now - progress.start;
    std::size_t length = format_progress(line, sizeof line, name, done, progress.total,
                                         taken.count());
    // Spaces cover what a longer earlier line left.
    int pad = progress.shown > length ? static_cast<int>(progress.shown - length) : 0;
    char drawn[330];
    std::snprintf(drawn, sizeof drawn, "\r%s%*s", line, pad, "");
    show(drawn);
    progress.shown = length;
    progress.drawn = now;
    progress.drawing.clear();
}

void progress_end()
{
    if (progress.shown != 0) {
        char erased[200];
        std::snprintf(erased, sizeof erased, "\r%*s\r", static_cast<int>(progress.shown), "");
        show(erased);
    }
    progress.enabled = false;
    progress.shown = 0;
}
