#include "output/html.h"

#include "table/charset.h"

#include <array>
#include <cstring>

// Fixed texts go out with one write of their exact length.
static void write_literal(std::FILE *stream, const char *text)
{
    fwrite_unlocked(text, 1, std::strlen(text), stream);
}

static const char *charset_name(int charset_code)
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
    default:
        return "UTF-8";
    }
}

void write_meta_charset(std::FILE *stream, int charset_code)
{
    std::fprintf(stream, "%s%s\">\n",
                 "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=",
                 charset_name(charset_code));
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
constexpr int jis_single_byte = 0;
constexpr int jis_two_byte = 1;
constexpr int jis_katakana = 2;

// The state after the escape sequence at p (p[0] is ESC). Only the
// designations that browsers switch on count: any other sequence, ESC $ ( D
// included, leaves the state as it was, so a '<' after it is still escaped.
// The look-ahead stops at the first non-matching byte, never past the NUL.
static int jis_state_after(const unsigned char *p, int state)
{
    if (p[1] == 0x24 && (p[2] == 0x40 || p[2] == 0x42))
        return jis_two_byte;
    if (p[1] == 0x28 && p[2] == 0x49)
        return jis_katakana;
    if (p[1] == 0x28 && (p[2] == 0x42 || p[2] == 0x4A))
        return jis_single_byte;
    return state;
}

// Bytes that end a run of bytes copied unchanged: the NUL, ESC, and the five
// that may become entities.
static constexpr std::array<bool, 256> ends_plain_run = [] {
    std::array<bool, 256> ends{};
    for (std::size_t b : {0x00u, 0x1Bu, 0x20u, 0x22u, 0x26u, 0x3Cu, 0x3Eu})
        ends[b] = true;
    return ends;
}();

// Below this many bytes, single-byte writes into the stream's buffer cost
// less than the call overhead of one block write.
constexpr long block_write_from = 16;

static void write_run(std::FILE *stream, const unsigned char *begin, const unsigned char *end)
{
    if (end - begin >= block_write_from) {
        fwrite_unlocked(begin, 1, static_cast<std::size_t>(end - begin), stream);
        return;
    }
    for (const unsigned char *p = begin; p < end; ++p)
        putc_unlocked(*p, stream);
}

// The end of the run that starts at p: in the single-byte state the next byte
// that may need an entity, in the other two the next ESC; the NUL at the
// latest.
static const unsigned char *end_of_run(const unsigned char *p, int state)
{
    if (state == jis_single_byte) {
        while (!ends_plain_run[*p])
            ++p;
    } else {
        while (*p != 0x1B && *p != 0x00)
            ++p;
    }
    return p;
}

// Bytes of a two-byte or katakana character are never entities: in those
// states 0x22, 0x26, 0x3C and 0x3E are halves of characters, and an entity
// there would garble the text. The bytes of a designation after its ESC are
// none of the five, so scanning them in the new state changes nothing.
// Outside ISO-2022-JP text ESC switches nothing.
void write_html_cell(std::FILE *stream, const char *text, int charset_code)
{
    bool shift_states = charset_code == charset_iso_2022_jp;
    int state = jis_single_byte;
    write_literal(stream, "<td>");
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    for (;;) {
        const unsigned char *run = p;
        p = end_of_run(p, state);
        write_run(stream, run, p);
        if (*p == 0x00)
            break;
        if (*p == 0x1B) {
            if (shift_states)
                state = jis_state_after(p, state);
            putc_unlocked(0x1B, stream);
        } else {
            write_literal(stream, entity_for(*p));
        }
        ++p;
    }
    write_literal(stream, "</td>\n");
}

static void write_table_row(char *const *const *cells, bool transposed, std::FILE *stream,
                            std::int32_t line, std::int32_t entries, int charset_code)
{
    write_literal(stream, "<tr>\n");
    for (std::int32_t j = 0; j < entries; ++j) {
        const char *cell = transposed ? cells[j][line] : cells[line][j];
        if (cell == nullptr || cell[0] == '\0')
            write_literal(stream, "<td> </td>\n");
        else
            write_html_cell(stream, cell, charset_code);
    }
    write_literal(stream, "</tr>\n\n");
}

void write_html_page(char *const *const *cells, bool transposed, std::FILE *stream,
                     std::int32_t lines, std::int32_t entries)
{
    write_literal(stream, "<html lang=\"ja\"><head>\n");
    // Read once, so the name in the meta line and the escaping of every cell
    // follow the same guess.
    int charset_code = current_charset_code;
    write_meta_charset(stream, charset_code);
    write_literal(stream, "<title></title>\n</head><body>\n");
    write_literal(stream, "<table border=\"1\" cellpadding=\"2\" cellspacing=\"2\">\n");
    write_literal(stream, "<tbody>\n");
    for (std::int32_t i = 0; i < lines; ++i)
        write_table_row(cells, transposed, stream, i, entries, charset_code);
    write_literal(stream, "</tbody>\n</table>\n");
    write_literal(stream, "</body></html>\n");
}
