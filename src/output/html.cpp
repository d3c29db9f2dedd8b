#include "output/html.h"

#include "output/page_escapes.h"
#include "platform/platform.h"
#include "table/byte_scans.h"
#include "table/charset.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>

static void put_literal(output_block *out, const char *text)
{
    put_bytes(out, text, std::strlen(text));
}

static const char *charset_name(charset_id charset_code)
{
    switch (charset_code) {
    case charset_iso_2022_jp:
        return "iso-2022-jp";
    case charset_shift_jis:
        return "shift_jis";
    case charset_euc_jp:
        return "euc-jp";
    case charset_utf16:
        return "utf-16";
    case charset_none:
    case charset_utf8:
    case charset_three_byte_utf8:
        break;
    }
    return "UTF-8";
}

void put_meta_charset(output_block *out, charset_id charset_code)
{
    put_literal(out, "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=");
    put_literal(out, charset_name(charset_code));
    put_literal(out, "\">\n");
}

void put_page_head(output_block *out, charset_id charset_code)
{
    put_literal(out, "<html lang=\"ja\"><head>\n");
    put_meta_charset(out, charset_code);
    put_literal(out, "<title></title>\n</head><body>\n");
    put_literal(out, "<table border=\"1\" cellpadding=\"2\" cellspacing=\"2\">\n");
    put_literal(out, "<tbody>\n");
}

void put_page_tail(output_block *out)
{
    put_literal(out, "</tbody>\n</table>\n");
    put_literal(out, "</body></html>\n");
}

static const char *entity_for(unsigned char b)
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

// Shift states of ISO-2022-JP text, in which each cell starts single-byte.
enum jis_state : unsigned char { jis_single_byte, jis_two_byte, jis_katakana };

// The state after the escape sequence at p (p[0] is ESC). Only the
// designations that browsers switch on count: any other sequence, ESC $ ( D
// included, leaves the state as it was, so a '<' after it is still escaped.
// The look-ahead stops at the first non-matching byte, never past the byte
// that ends the cell.
static jis_state jis_state_after(const unsigned char *p, jis_state state)
{
    if (p[1] == 0x24 && (p[2] == 0x40 || p[2] == 0x42))
        return jis_two_byte;
    if (p[1] == 0x28 && p[2] == 0x49)
        return jis_katakana;
    if (p[1] == 0x28 && (p[2] == 0x42 || p[2] == 0x4A))
        return jis_single_byte;
    return state;
}

html_style html_style_for(charset_id charset_code, unsigned char delimiter)
{
    html_style style;
    style.charset_code = charset_code;
    style.delimiter = delimiter;
    for (unsigned b : {0x00u, 0x0Au, 0x0Du})
        style.byte_kind[b] = html_cell_end;
    style.byte_kind[delimiter] = html_cell_end;
    style.byte_kind[0x1B] = html_escape;
    for (unsigned b : {0x20u, 0x22u, 0x26u, 0x3Cu, 0x3Eu})
        style.byte_kind[b] = html_entity;
    return style;
}

// A run copied unchanged ends at the byte that ends the cell, at ESC and, in
// the single-byte state, at a byte that may become an entity.
static const unsigned char *end_of_run(const html_style &style, const unsigned char *p,
                                       jis_state state)
{
    if (state == jis_single_byte) {
        p = plain_run_end(p, style.delimiter);
    } else {
        while (style.byte_kind[*p] == html_plain || style.byte_kind[*p] == html_entity)
            ++p;
    }
    return p;
}

// Bytes of a two-byte or katakana character are never entities: in those
// states 0x22, 0x26, 0x3C and 0x3E are halves of characters, and an entity
// there would garble the text. The bytes of a designation after its ESC are
// none of the five, so scanning them in the new state changes nothing.
// Outside ISO-2022-JP text ESC switches nothing.
static const unsigned char *put_cell_text(output_block *out, const html_style &style,
                                          const unsigned char *p)
{
    bool shift_states = style.charset_code == charset_iso_2022_jp;
    jis_state state = jis_single_byte;
    for (;;) {
        const unsigned char *run = p;
        p = end_of_run(style, p, state);
        put_bytes(out, reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
        if (style.byte_kind[*p] == html_cell_end)
            return p;
        if (*p == 0x1B) {
            if (shift_states)
                state = jis_state_after(p, state);
            put_bytes(out, "\x1b", 1);
        } else {
            put_literal(out, entity_for(*p));
        }
        ++p;
    }
}

void put_plain_html_cell_apart(output_block *out, const unsigned char *text, std::size_t size)
{
    if (size == 0) {
        put_literal(out, "<td> </td>\n");
        return;
    }
    put_literal(out, "<td>");
    put_bytes(out, reinterpret_cast<const char *>(text), size);
    put_literal(out, "</td>\n");
}

const unsigned char *put_escaped_html_cell(output_block *out, const html_style &style,
                                           const unsigned char *cell)
{
    put_literal(out, "<td>");
    const unsigned char *end = put_cell_text(out, style, cell);
    put_literal(out, "</td>\n");
    return end;
}

std::size_t html_cell_size(const html_style &style, const unsigned char *cell)
{
    if (cell == nullptr)
        return 11;
    const unsigned char *run_end = plain_run_end(cell, style.delimiter);
    if (style.byte_kind[*run_end] == html_cell_end)
        return plain_html_cell_size(static_cast<std::size_t>(run_end - cell));
    char counted[512]; // the bytes are dropped; only their count matters
    output_block count;
    count.fd = -1;
    count.bytes = counted;
    count.flush_at = 256;
    count.end = sizeof counted;
    put_html_cell(&count, style, cell);
    return static_cast<std::size_t>(count.offset) + count.used;
}

namespace
{

// Where the extras scan stands: the cell the next block's first byte
// belongs to, and whether the byte before it ended a cell (or is the data's
// start), so a cell ending at that block's first byte is empty.
struct extras_scan {
    std::uint32_t *extras = nullptr;
    std::uint32_t *short_lines = nullptr; // [c]: lines of c cells, c < columns
    std::size_t columns = 0;
    std::size_t column = 0;
    std::uint64_t end_before = 1;
    bool shift_states = false;
};

} // namespace

// Lines with fewer cells than the table are rare: counted only once one is seen.
static bool count_short_line(extras_scan *scan, std::size_t cells)
{
    if (cells >= scan->columns)
        return true;
    if (scan->short_lines == nullptr)
        scan->short_lines =
            static_cast<std::uint32_t *>(scratch_calloc(scan->columns, sizeof(std::uint32_t)));
    if (scan->short_lines == nullptr)
        return false;
    ++scan->short_lines[cells];
    return true;
}

// The bytes that end, escape or empty a cell, one at a time in order; each
// one's column is the cell count of its line so far.
static bool take_events(extras_scan *scan, const unsigned char *p, std::uint64_t delimiters,
                        std::uint64_t lf, std::uint64_t empty, std::uint64_t special)
{
    std::uint64_t passed = 0; // up to the block's last LF so far
    for (std::uint64_t events = empty | special | lf; events != 0; events &= events - 1) {
        int at = std::countr_zero(events);
        std::uint64_t bit = std::uint64_t{1} << at;
        std::size_t column = scan->column + bits_set(delimiters & (bit - 1) & ~passed);
        if ((special & bit) != 0) {
            if (p[at] == 0x1B && scan->shift_states)
                return false;
            const char *entity = entity_for(p[at]);
            if (entity != nullptr)
                scan->extras[column] += static_cast<std::uint32_t>(std::strlen(entity) - 1);
        }
        scan->extras[column] += (empty & bit) != 0 ? 1 : 0;
        if ((lf & bit) != 0) {
            if (!count_short_line(scan, column + 1))
                return false;
            scan->column = 0;
            passed = (bit << 1) - 1;
        }
    }
    scan->column += bits_set(delimiters & ~passed);
    return true;
}

static bool scan_extras(const table_view &table, extras_scan *scan)
{
    const unsigned char *bytes = table.bytes;
    std::size_t length = table.length;
    unsigned char delimiter = table.delimiter;
    // Every line of a plain table fills every column: there its LFs only
    // start the count of cells again, which needs no look at each.
    std::uint64_t lf_events = table.plain ? 0 : ~std::uint64_t{0};
    for (std::size_t at = 0; at < length; at += scan_block) {
        const unsigned char *p = bytes + at;
        std::uint64_t data =
            length - at >= scan_block ? ~std::uint64_t{0} : (std::uint64_t{1} << (length - at)) - 1;
        block_classes k = classify_block(p, delimiter);
        std::uint64_t delimiters = k.delimiter & data;
        std::uint64_t lf = k.lf & data;
        std::uint64_t ends = delimiters | lf;
        std::uint64_t empty = ends & (ends << 1 | scan->end_before);
        std::uint64_t special = html_special_mask(p) & data & ~ends;
        scan->end_before = ends >> 63;
        if ((empty | special | (lf & lf_events)) != 0) {
            if (!take_events(scan, p, delimiters, lf, empty, special))
                return false;
        } else if (lf != 0) {
            scan->column = bits_set(delimiters >> (63 - std::countl_zero(lf)) >> 1);
        } else {
            scan->column += bits_set(delimiters);
        }
    }
    // A final line without LF is a row too; its last cell ends at the data's end.
    if (length == 0 || bytes[length - 1] == '\n')
        return true;
    scan->extras[scan->column] += bytes[length - 1] == delimiter ? 1 : 0;
    return count_short_line(scan, scan->column + 1);
}

bool html_column_extras(const table_view &table, const std::uint32_t *column_bytes,
                        const html_style &style, std::uint32_t *extras)
{
    auto columns = static_cast<std::size_t>(table.columns);
    if (column_bytes == nullptr)
        return false;
    // An entity adds at most 5 bytes to one text byte, an empty cell 1.
    for (std::size_t c = 0; c < columns; ++c) {
        if (std::uint64_t{column_bytes[c]} * 5 + static_cast<std::uint64_t>(table.rows) >
            UINT32_MAX)
            return false;
    }
    std::fill(extras, extras + columns, 0);
    extras_scan scan;
    scan.extras = extras;
    scan.columns = columns;
    scan.shift_states = style.charset_code == charset_iso_2022_jp;
    bool found = scan_extras(table, &scan);
    // A line of c cells leaves every column from c on absent.
    std::uint32_t absent = 0;
    for (std::size_t c = 0; found && scan.short_lines != nullptr && c < columns; ++c) {
        absent += scan.short_lines[c];
        extras[c] += absent;
    }
    scratch_free(scan.short_lines);
    return found;
}
