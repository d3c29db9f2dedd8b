// Deterministic table generator for the benchmarks.
//
//   gen_table ROWS COLUMNS MIN_CELL MAX_CELL DELIMITER SEED [ragged] [crlf] [utf8|sjis]
//
// Writes ROWS lines of COLUMNS cells to stdout; each cell holds MIN_CELL to
// MAX_CELL printable characters (letters and digits, never a delimiter or line
// end). DELIMITER is "tab" or "comma". "ragged" gives each line 1 to COLUMNS
// cells; "crlf" ends lines with CR LF; "utf8" mixes in two-byte letters, "sjis" Shift_JIS
// kana and kanji. The same arguments always give the same bytes, so cached tables stay valid
// across runs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct generator {
    std::uint64_t state = 0;
};

// splitmix64: small, fast, and the same everywhere.
static std::uint64_t next_random(generator *g)
{
    std::uint64_t z = (g->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static std::uint64_t below(generator *g, std::uint64_t bound)
{
    return next_random(g) % bound;
}

// With utf8, about one character in six is a two-byte UTF-8 letter (Latin,
// Cyrillic, Greek), as in European text; with sjis, one in two is a
// Shift_JIS kana or kanji (level-2 kanji among them) or a half-width
// katakana, as in a Japanese sheet of names and codes.
static void write_character(generator *g, bool utf8, bool sjis)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static const char *const letters[] = {"\xc3\xa9", "\xc3\xbc", "\xc3\xb6", "\xc3\x9f",
                                          "\xd0\xb6", "\xd1\x8f", "\xce\xbb", "\xcf\x89"};
    static const char *const japanese[] = {"\x82\xa0", "\x82\xa2", "\x82\xcc", "\x82\xf1",
                                           "\x83\x41", "\x83\x93", "\x81\x5b", "\x93\xfa",
                                           "\x96\x7b", "\x93\x8c", "\x8b\x9e", "\x8e\x71",
                                           "\xea\xa2", "\xe0\x8a", "\xea\xa3", "\xb6"};
    if (utf8 && below(g, 6) == 0)
        std::fputs(letters[below(g, sizeof letters / sizeof letters[0])], stdout);
    else if (sjis && below(g, 2) == 0)
        std::fputs(japanese[below(g, sizeof japanese / sizeof japanese[0])], stdout);
    else
        std::putchar(alphabet[below(g, sizeof alphabet - 1)]);
}

static void write_line(generator *g, std::uint64_t cells, std::uint64_t min_cell,
                       std::uint64_t max_cell, char delimiter, bool crlf, bool utf8, bool sjis)
{
    for (std::uint64_t c = 0; c < cells; ++c) {
        if (c > 0)
            std::putchar(delimiter);
        std::uint64_t length = min_cell + below(g, max_cell - min_cell + 1);
        for (std::uint64_t i = 0; i < length; ++i)
            write_character(g, utf8, sjis);
    }
    if (crlf)
        std::putchar('\r');
    std::putchar('\n');
}

int main(int argc, char **argv)
{
    if (argc < 7) {
        std::fputs("usage: gen_table ROWS COLUMNS MIN_CELL MAX_CELL tab|comma SEED "
                   "[ragged] [crlf] [utf8|sjis]\n",
                   stderr);
        return 1;
    }
    std::uint64_t rows = std::strtoull(argv[1], nullptr, 10);
    std::uint64_t columns = std::strtoull(argv[2], nullptr, 10);
    std::uint64_t min_cell = std::strtoull(argv[3], nullptr, 10);
    std::uint64_t max_cell = std::strtoull(argv[4], nullptr, 10);
    char delimiter = std::strcmp(argv[5], "comma") == 0 ? ',' : '\t';
    generator g;
    g.state = std::strtoull(argv[6], nullptr, 10);
    bool ragged = false;
    bool crlf = false;
    bool utf8 = false;
    bool sjis = false;
    for (int i = 7; i < argc; ++i) {
        ragged = ragged || std::strcmp(argv[i], "ragged") == 0;
        crlf = crlf || std::strcmp(argv[i], "crlf") == 0;
        utf8 = utf8 || std::strcmp(argv[i], "utf8") == 0;
        sjis = sjis || std::strcmp(argv[i], "sjis") == 0;
    }
    if (columns < 1 || max_cell < min_cell) {
        std::fputs("gen_table: need COLUMNS >= 1 and MIN_CELL <= MAX_CELL\n", stderr);
        return 1;
    }
    static char out_buffer[1 << 20];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    for (std::uint64_t r = 0; r < rows; ++r) {
        std::uint64_t cells = ragged ? 1 + below(&g, columns) : columns;
        write_line(&g, cells, min_cell, max_cell, delimiter, crlf, utf8, sjis);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
