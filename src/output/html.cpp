#include "output/html.h"

#include "table/charset.h"

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

void write_html_cell(std::FILE *stream, const char *text)
{
    write_literal(stream, "<td>");
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0x00; ++p) {
        const char *entity = entity_for(*p);
        if (entity != nullptr)
            write_literal(stream, entity);
        else
            putc_unlocked(*p, stream);
    }
    write_literal(stream, "</td>\n");
}

static void write_table_row(char *const *const *cells, bool transposed, std::FILE *stream,
                            std::int32_t line, std::int32_t entries)
{
    write_literal(stream, "<tr>\n");
    for (std::int32_t j = 0; j < entries; ++j) {
        const char *cell = transposed ? cells[j][line] : cells[line][j];
        if (cell == nullptr || cell[0] == '\0')
            write_literal(stream, "<td> </td>\n");
        else
            write_html_cell(stream, cell);
    }
    write_literal(stream, "</tr>\n\n");
}

void write_html_page(char *const *const *cells, bool transposed, std::FILE *stream,
                     std::int32_t lines, std::int32_t entries)
{
    write_literal(stream, "<html lang=\"ja\"><head>\n");
    write_meta_charset(stream, current_charset_code);
    write_literal(stream, "<title></title>\n</head><body>\n");
    write_literal(stream, "<table border=\"1\" cellpadding=\"2\" cellspacing=\"2\">\n");
    write_literal(stream, "<tbody>\n");
    for (std::int32_t i = 0; i < lines; ++i)
        write_table_row(cells, transposed, stream, i, entries);
    write_literal(stream, "</tbody>\n</table>\n");
    write_literal(stream, "</body></html>\n");
}
