#include "driver/driver.h"
#include "table/cell_grid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

TEST(derive_output_path, appends_the_suffix_for_orientation_and_format)
{
    struct naming_case {
        bool replace;
        result_format output_format;
        const char *expected;
    } cases[] = {
        {true, format_delimited, "dir/data.txt_replace.csv"},
        {false, format_delimited, "dir/data.txt_normal.csv"},
        {true, format_html, "dir/data.txt_replace.htm"},
        {false, format_html, "dir/data.txt_normal.htm"},
    };
    for (const naming_case &c : cases) {
        char *path = derive_output_path("dir/data.txt", c.replace, c.output_format);
        ASSERT_NE(path, nullptr);
        EXPECT_STREQ(path, c.expected);
        std::free(path);
    }
}

TEST(derive_output_path, never_cuts_a_long_name)
{
    std::string name(5000, 'x');
    char *path = derive_output_path(name.c_str(), true, format_delimited);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), name + "_replace.csv");
    std::free(path);
}

TEST(apply_option, accepts_exactly_the_five_two_byte_options)
{
    struct option_case {
        const char *argument;
        bool valid;
        run_options after;
    } cases[] = {
        {"-c", true, {',', true, format_delimited, true}},
        {"-t", true, {'\t', true, format_delimited, true}},
        {"-n", true, {'\t', false, format_delimited, true}},
        {"-h", true, {'\t', true, format_html, true}},
        {"-s", true, {'\t', true, format_delimited, false}},
        {"-", false, {}},
        {"--", false, {}},
        {"-cc", false, {}},
        {"-C", false, {}},
        {"-x", false, {}},
        {"c", false, {}},
    };
    for (const option_case &c : cases) {
        run_options options;
        EXPECT_EQ(apply_option(&options, c.argument), c.valid) << c.argument;
        EXPECT_EQ(options.delimiter, c.after.delimiter) << c.argument;
        EXPECT_EQ(options.replace, c.after.replace) << c.argument;
        EXPECT_EQ(options.output_format, c.after.output_format) << c.argument;
        EXPECT_EQ(options.to_file, c.after.to_file) << c.argument;
    }
}

// A process may be started with no argument vector at all; the tool must
// show its usage with an empty name rather than read a null pointer.
TEST(tabflip_binary, empty_argument_vector_shows_usage)
{
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        char *const argv[] = {nullptr};
        char *const envp[] = {nullptr};
        execve(TABFLIP_BINARY, argv, envp);
        _exit(127);
    }
    close(err[1]);
    std::string text;
    char chunk[512];
    for (ssize_t n; (n = read(err[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(text.rfind("\nUsage:  {-c|-t|-n|-h|-s|file_name}+\n\n", 0), 0u) << text;
}

// The charset guess's second look is made by the load as it scans, in two
// parts of a large table: the page must still name what the whole text is,
// for tables of every size (tests split every table they can), in either
// orientation; also after a first match on a kanji that looks like UTF-8.
TEST(process_file, page_names_the_charset_checked_in_the_loading)
{
    std::string lines;
    std::string kana_lines; // in Shift_JIS
    for (int i = 0; i < 40; ++i) {
        lines += "K\xc3\xb6ln\tx\n";
        kana_lines += "\x82\xa0\tx\n";
    }
    struct {
        std::string text;
        const char *charset;
    } cases[] = {
        {"M\xc3\xbc"
         "nchen\tK\xc3\xb6ln\n\xd0\x9c\xd0\xbe\tx\n",
         "UTF-8"},
        {"\x96\xbc\x91\x4f\t\x82\xa0\n", "shift_jis"},
        {"\xa4\xa2\xa4\xa4\tb\n", "euc-jp"},
        {"\xc3\xa9 then a byte no UTF-8 text holds\t\xff\n", "euc-jp"},
        {lines + "a byte no UTF-8 text holds, in the second part\t\xff\n", "euc-jp"},
        {lines + std::string("after a NUL\0\t\xff\n", 15), "UTF-8"},
        {"\xea\xa2\x8e\x71\n" + kana_lines, "shift_jis"},
        {"\xe4\xa1\xa4\xce\tb\n" + lines, "euc-jp"},
        {"\xea\xa2\x8e\x71\n" + kana_lines + "a byte Shift_JIS does not allow\t\xfd\n", "UTF-8"},
    };
    char folder[] = "/tmp/tabflip-driver-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    for (std::size_t split : {SIZE_MAX, std::size_t{0}}) {
        for (const auto &c : cases) {
            std::string name = std::string(folder) + "/table.txt";
            std::ofstream(name, std::ios::binary) << c.text;
            for (bool replace : {true, false}) {
                run_options options;
                options.output_format = format_html;
                options.replace = replace;
                options.split_from = split;
                run_state state;
                process_file(name.c_str(), &options, &state);
                std::string result = name + (replace ? "_replace.htm" : "_normal.htm");
                std::ostringstream page;
                page << std::ifstream(result, std::ios::binary).rdbuf();
                EXPECT_NE(page.str().find(std::string("charset=") + c.charset + "\""),
                          std::string::npos)
                    << c.charset << ", split " << (split == 0) << ", replace " << replace << "\n"
                    << page.str();
                std::remove(result.c_str());
            }
            std::remove(name.c_str());
        }
    }
    rmdir(folder);
}

} // namespace
