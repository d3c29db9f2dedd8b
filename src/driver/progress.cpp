#include "driver/progress.h"

#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

constexpr auto first_draw_after = std::chrono::seconds(1);
constexpr auto redraw_after = std::chrono::milliseconds(100);

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

// A share of an estimate that fell short never claims to be done before
// the file is: its whole is taken as just over the part.
static double share(std::uint64_t part, std::uint64_t whole, std::uint64_t *shown_whole)
{
    *shown_whole = part <= whole ? whole : part + 1;
    return static_cast<double>(part) / static_cast<double>(*shown_whole);
}

std::size_t format_progress(char *line, std::size_t size, const char *name,
                            const progress_figures &at)
{
    double rate = at.seconds > 0 ? static_cast<double>(at.done) / at.seconds : 0;
    char done_text[32], rate_text[32];
    format_bytes(done_text, sizeof done_text, static_cast<double>(at.done));
    format_bytes(rate_text, sizeof rate_text, rate);
    std::uint64_t whole = 0;
    int length = 0;
    if (at.total != 0) {
        double fraction = share(at.done, at.total, &whole);
        char total_text[32];
        format_bytes(total_text, sizeof total_text, static_cast<double>(whole));
        long left = rate > 0 ? static_cast<long>(static_cast<double>(whole - at.done) / rate) : 0;
        length = std::snprintf(line, size, "%s  %d%%  %s of %s  %s/s  %ld:%02ld left", name,
                               static_cast<int>(fraction * 100), done_text, total_text, rate_text,
                               left / 60, left % 60);
    } else if (at.input != 0) {
        // Left: the time the input taken so far took, for what remains of it.
        double fraction = share(at.consumed, at.input, &whole);
        long left = at.consumed > 0
                        ? static_cast<long>(at.seconds * static_cast<double>(whole - at.consumed) /
                                            static_cast<double>(at.consumed))
                        : 0;
        length = std::snprintf(line, size, "%s  %d%% of input  %s written  %s/s  %ld:%02ld left",
                               name, static_cast<int>(fraction * 100), done_text, rate_text,
                               left / 60, left % 60);
    } else {
        length = std::snprintf(line, size, "%s  %s written  %s/s", name, done_text, rate_text);
    }
    if (length < 0)
        return 0;
    return static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}

bool progress_possible()
{
    // What stderr is does not change during a run: asked once, not per file.
    static const bool terminal = stderr_is_terminal();
    return terminal;
}

void progress_begin(progress_state *progress, const char *name, std::uint64_t total,
                    std::uint64_t input, bool draw)
{
    progress->enabled = progress_possible() && draw;
    progress->name = name;
    progress->total = total;
    progress->input = input;
    progress->done = 0;
    progress->consumed = 0;
    progress->start = progress_clock::now();
    progress->shown = 0;
}

// The character at p (at most left bytes) as UTF-8: its length, and its
// columns on a terminal in *columns; 0 when p starts no well-formed one.
static std::size_t utf8_character(const unsigned char *p, std::size_t left, unsigned *columns)
{
    std::size_t length = p[0] < 0x80                   ? 1
                         : p[0] >= 0xC2 && p[0] < 0xE0 ? 2
                         : p[0] >= 0xE0 && p[0] < 0xF0 ? 3
                         : p[0] >= 0xF0 && p[0] < 0xF5 ? 4
                                                       : 0;
    if (length == 0 || length > left)
        return 0;
    std::uint32_t code = p[0] & (0xFFu >> (length == 1 ? 1 : length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (p[i] & 0x3Fu);
    }
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
        return 0;
    // East Asian wide and full-width characters take two columns.
    bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1FAFF) ||
                (code >= 0x20000 && code <= 0x3FFFD);
    *columns = wide ? 2 : 1;
    return length;
}

// The character at p, left bytes before the name's end: its bytes and
// columns. A name that is not UTF-8 is taken a byte at a time, a column each.
static std::size_t name_character(const unsigned char *p, std::size_t left, bool utf8,
                                  unsigned *columns)
{
    *columns = 1;
    return utf8 ? utf8_character(p, left, columns) : 1;
}

std::size_t fit_name(char *shown, std::size_t size, const char *name, std::size_t columns,
                     std::size_t *shown_columns)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(name);
    std::size_t length = std::strlen(name);
    bool utf8 = true;
    std::size_t width = 0;
    unsigned w = 0;
    for (std::size_t at = 0, n = 0; at < length && utf8; at += n, width += w) {
        n = utf8_character(bytes + at, length - at, &w);
        utf8 = n != 0;
    }
    if (!utf8)
        width = length;
    // Cut from the front, whole characters at a time, behind "...".
    std::size_t from = 0;
    const char *mark = "";
    if (width > columns) {
        mark = columns > 3 ? "..." : "";
        std::size_t room = columns - std::strlen(mark);
        for (std::size_t n = 0; width > room && from < length; from += n, width -= w)
            n = name_character(bytes + from, length - from, utf8, &w);
    }
    int made = std::snprintf(shown, size, "%s%s", mark, name + from);
    *shown_columns = width + std::strlen(mark);
    return made < 0 ? 0 : std::min(static_cast<std::size_t>(made), size - 1);
}

// A line longer than the terminal would wrap and could not be erased: it
// keeps clear of the last column, and the name is cut to its last characters.
static void draw_if_due(progress_state *progress)
{
    progress_clock::time_point now = progress_clock::now();
    if (now - progress->start < first_draw_after || progress->drawing.test_and_set())
        return;
    if (progress->shown != 0 && now - progress->drawn < redraw_after) {
        progress->drawing.clear();
        return;
    }
    std::chrono::duration<double> taken = now - progress->start;
    progress_figures at;
    at.done = progress->done.load(std::memory_order_relaxed);
    at.total = progress->total;
    at.consumed = progress->consumed.load(std::memory_order_relaxed);
    at.input = progress->input;
    at.seconds = taken.count();
    char tail[160];
    std::size_t length = format_progress(tail, sizeof tail, "", at);
    constexpr std::size_t widest = 400;
    std::size_t columns = std::min<std::size_t>(terminal_columns(), widest);
    std::size_t room = (columns == 0 ? 80 : columns) - 1;
    char name[4 * widest + 8] = "";
    std::size_t name_columns = 0;
    if (length < room)
        fit_name(name, sizeof name, progress->name, room - length, &name_columns);
    else
        tail[room] = '\0'; // the fixed text is ASCII
    std::size_t shown = name_columns + std::min(length, room);
    // Spaces cover what a longer earlier line left.
    int pad = progress->shown > shown ? static_cast<int>(progress->shown - shown) : 0;
    char drawn[sizeof name + sizeof tail + widest + 2];
    std::snprintf(drawn, sizeof drawn, "\r%s%s%*s", name, tail, pad, "");
    show(drawn);
    progress->shown = shown;
    progress->drawn = now;
    progress->drawing.clear();
}

void progress_advance(progress_state *progress, std::uint64_t bytes)
{
    if (!progress->enabled)
        return;
    progress->done.fetch_add(bytes, std::memory_order_relaxed);
    draw_if_due(progress);
}

void progress_consume(progress_state *progress, std::uint64_t bytes)
{
    if (!progress->enabled)
        return;
    progress->consumed.fetch_add(bytes, std::memory_order_relaxed);
    draw_if_due(progress);
}

void progress_end(progress_state *progress)
{
    if (progress->shown != 0) {
        char erased[420];
        std::snprintf(erased, sizeof erased, "\r%*s\r", static_cast<int>(progress->shown), "");
        show(erased);
    }
    progress->enabled = false;
    progress->shown = 0;
}
