// Every allocation, write, positioned write, mapping and creation of a run
// made to fail in turn (platform.h's fault plan), for each way a table is
// loaded and written: each run ends either with the exact result and no
// message, or with exactly one message and the earlier result untouched,
// and leaves no temporary file and no open descriptor. So does a run whose
// input another program empties at each of those calls in turn. What a run
// leaks the sanitizer build reports at the process's end.
#include "driver/driver.h"
#include "output/writers.h"
#include "platform/platform.h"
#include "table/cell_grid.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct sweep_case {
    const char *name;
    lazy_text input;
    bool replace = true;
    bool page = false;
    bool split = false;           // tables are measured in two parts
    const char *memory = nullptr; // TABFLIP_MEMORY for the run
};

std::string table(std::size_t rows, std::size_t columns, unsigned seed, bool full)
{
    std::mt19937 random(seed);
    std::string text;
    for (std::size_t j = 0; j < rows; ++j) {
        std::size_t filled = j == 0 || full ? columns : 1 + random() % columns;
        for (std::size_t c = 0; c < filled; ++c) {
            if (c > 0)
                text += '\t';
            text.append(random() % 12, static_cast<char>('a' + random() % 26));
            if (random() % 9 == 0)
                text += "<&>";
        }
        text += '\n';
    }
    return text;
}

const sweep_case sweep_cases[] = {
    {"whole load, groups", [] { return table(40, 30, 1, false); }},
    {"stored orientation", [] { return table(40, 30, 2, false); }, false},
    {"lanes", [] { return table(300, 3, 3, false); }},
    {"split load, lanes of two parts", [] { return table(300, 3, 4, false); }, true, false, true},
    {"split load, groups of two parts",
     [] { return table(30, 2, 5, true) + std::string(9000, 'z') + "\n"; }, true, false, true},
    {"halves", [] { return table(20, 100, 6, true); }, true, false, true},
    {"cursors, a line too long for a group",
     [] { return std::string((std::size_t{4} << 20) + 10, 'x') + "\n" + table(50, 1, 7, true); }},
    {"page", [] { return table(120, 4, 8, false); }, true, true},
    {"utf 16",
     std::string("\xff\xfe"
                 "a\0\t\0b\0\n\0\x42\x30\t\0\n\0c\0",
                 18),
     true, false, false},
    {"spill", [] { return table(300, 5, 9, false); }, true, false, false, "4K"},
    {"spilled page", [] { return table(300, 5, 10, false); }, true, true, false, "4K"},
};

void PrintTo(const sweep_case &c, std::ostream *os)
{
    *os << c.name;
}

std::string read_all(const std::string &path)
{
    std::string bytes;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "(none)";
    char chunk[1 << 16];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<std::size_t>(n));
    close(fd);
    return bytes;
}

void write_all(const std::string &path, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

std::size_t entries_in(const char *folder)
{
    std::size_t count = 0;
    DIR *dir = opendir(folder);
    for (dirent *entry; dir != nullptr && (entry = readdir(dir)) != nullptr;)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count;
}

struct run_seen {
    std::string messages; // what the run wrote to stderr
    std::string result;
    std::uint64_t calls = 0; // counted calls the run made
};

constexpr unsigned every_call = (1u << static_cast<unsigned>(platform_call::allocate)) |
                                (1u << static_cast<unsigned>(platform_call::write)) |
                                (1u << static_cast<unsigned>(platform_call::write_at)) |
                                (1u << static_cast<unsigned>(platform_call::map)) |
                                (1u << static_cast<unsigned>(platform_call::create));

// One run of the tool's driver on name, the fail_at-th counted call failing,
// at_call called at each.
run_seen run_failing(const sweep_case &c, const std::string &name, std::uint64_t fail_at,
                     void (*at_call)(platform_call) = nullptr)
{
    std::string result = name + (c.replace ? "_replace" : "_normal") + (c.page ? ".htm" : ".csv");
    write_all(result, "earlier\n");
    std::string captured = name + ".stderr";
    int saved = dup(2);
    int into = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(into, 2);
    close(into);
    run_options options;
    options.replace = c.replace;
    options.output_format = c.page ? format_html : format_delimited;
    options.split_from = c.split ? 0 : SIZE_MAX;
    static fault_plan plan;
    plan.calls = every_call;
    plan.fail_at = fail_at;
    plan.counted = 0;
    plan.at_call = at_call;
    platform_faults = &plan;
    run_state state;
    process_file(name.c_str(), &options, &state);
    platform_faults = nullptr;
    dup2(saved, 2);
    close(saved);
    run_seen seen{read_all(captured), read_all(result), plan.counted.load()};
    unlink(captured.c_str());
    return seen;
}

std::size_t open_descriptors()
{
    return entries_in("/proc/self/fd");
}

using fault_sweep = testing::TestWithParam<sweep_case>;

// The budget is read once per process, and a lost read ends a run only
// where the tool's signal handling is installed: such a case runs in a
// process of its own.
bool run_in_own_process(const sweep_case &c)
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TABFLIP_SWEEP_CHILD", "1", 1);
        // A shard's share of one test could be none: the child would pass.
        unsetenv("GTEST_TOTAL_SHARDS");
        unsetenv("GTEST_SHARD_INDEX");
        if (c.memory != nullptr)
            setenv("TABFLIP_MEMORY", c.memory, 1);
        execl(UNIT_TESTS_BINARY, "unit_tests", filter.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST_P(fault_sweep, every_failure_gives_one_message_or_the_exact_result)
{
    const sweep_case &c = GetParam();
    if (c.memory != nullptr && std::getenv("TABFLIP_SWEEP_CHILD") == nullptr) {
        EXPECT_TRUE(run_in_own_process(c)) << "see the output of the run above";
        return;
    }
    char folder[] = "/tmp/tabflip-sweep-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string name = std::string(folder) + "/table.txt";
    write_all(name, c.input);
    std::size_t descriptors = open_descriptors();
    run_seen whole = run_failing(c, name, 0);
    ASSERT_EQ(whole.messages, "");
    ASSERT_NE(whole.result, "earlier\n");
    // Every call where they are few; else the first ones and a sample.
    std::vector<std::uint64_t> sweep;
    for (std::uint64_t n = 1; n <= whole.calls; n += n < 60 ? 1 : whole.calls / 40)
        sweep.push_back(n);
    sweep.push_back(whole.calls);
    int reported = 0;
    for (std::uint64_t n : sweep) {
        run_seen seen = run_failing(c, name, n);
        auto lines = std::count(seen.messages.begin(), seen.messages.end(), '\n');
        reported += lines > 0;
        if (lines == 0)
            EXPECT_EQ(seen.result, whole.result) << "call " << n << " failed, no message";
        else
            EXPECT_TRUE(lines == 1 && seen.messages.back() == '\n' && seen.result == "earlier\n")
                << "call " << n << " of " << whole.calls << " failed: " << seen.messages;
        EXPECT_EQ(entries_in(folder), 4u) << "call " << n << ": a file left beside the result";
        EXPECT_EQ(open_descriptors(), descriptors) << "call " << n;
    }
    EXPECT_GT(reported, 0) << "no failure was ever reported";
    std::system((std::string("rm -rf ") + folder).c_str());
}

INSTANTIATE_TEST_SUITE_P(all, fault_sweep, testing::ValuesIn(sweep_cases), case_name<sweep_case>);

// Mapped inputs (64 KiB and more), read again and again by the writers.
const sweep_case lost_read_cases[] = {
    {"groups", [] { return table(500, 30, 11, false); }},
    {"lanes", [] { return table(6000, 3, 12, false); }},
    {"split load, lanes of two parts", [] { return table(6000, 3, 13, false); }, true, false, true},
    {"halves", [] { return table(200, 100, 14, true); }, true, false, true},
    {"page", [] { return table(4000, 4, 15, false); }, true, true},
    {"stored orientation", [] { return table(500, 30, 16, false); }, false},
    {"utf 16",
     [] {
         std::string units = "\xff\xfe";
         for (int row = 0; row < 10000; ++row)
             units.append("a\0\t\0b\0\n\0", 8);
         return units;
     }},
    {"spill", [] { return table(6000, 5, 17, false); }, true, false, false, "4K"},
};

// The input is emptied at the first counted call from the chosen one on,
// on whichever thread makes it.
std::string emptied;
std::uint64_t empty_at = 0;
std::atomic<bool> empty_done{false};

void empty_the_input(platform_call)
{
    if (platform_faults->counted.load() >= empty_at && !empty_done.exchange(true)) {
        EXPECT_EQ(truncate(emptied.c_str(), 0), 0);
    }
}

run_seen run_emptied(const sweep_case &c, const std::string &name, std::uint64_t at)
{
    write_all(name, c.input);
    emptied = name;
    empty_at = at;
    empty_done = at == 0;
    return run_failing(c, name, 0, empty_the_input);
}

using lost_read_sweep = testing::TestWithParam<sweep_case>;

#if defined(__SANITIZE_THREAD__)
constexpr bool thread_sanitized = true;
#elif defined(__has_feature)
constexpr bool thread_sanitized = __has_feature(thread_sanitizer);
#else
constexpr bool thread_sanitized = false;
#endif

// A run cut short, on either thread, at any point of the load or the write:
// "read error", the earlier result, and nothing it held left behind (memory,
// spill, result).
TEST_P(lost_read_sweep, emptied_input_is_a_read_error_and_leaves_nothing)
{
    if (thread_sanitized)
        GTEST_SKIP() << "under ThreadSanitizer a later lost read ends the process (SIGBUS)";
    const sweep_case &c = GetParam();
    if (std::getenv("TABFLIP_SWEEP_CHILD") == nullptr) {
        EXPECT_TRUE(run_in_own_process(c)) << "see the output of the run above";
        return;
    }
    install_signal_cleanup();
    char folder[] = "/tmp/tabflip-lost-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string name = std::string(folder) + "/table.txt";
    std::size_t descriptors = open_descriptors();
    run_seen whole = run_emptied(c, name, 0);
    ASSERT_EQ(whole.messages, "");
    ASSERT_NE(whole.result, "earlier\n");
    int cut = 0;
    for (std::uint64_t n = 1; n <= whole.calls; n += n < 60 ? 1 : whole.calls / 40) {
        run_seen seen = run_emptied(c, name, n);
        cut += seen.messages != "";
        if (seen.messages == "")
            EXPECT_EQ(seen.result, whole.result) << "emptied at call " << n;
        else
            EXPECT_TRUE(seen.messages == "'" + name + "' read error.\n" &&
                        seen.result == "earlier\n")
                << "emptied at call " << n << " of " << whole.calls << ": " << seen.messages;
        EXPECT_EQ(entries_in(folder), 4u) << "call " << n << ": a file left beside the result";
        EXPECT_EQ(open_descriptors(), descriptors) << "call " << n;
    }
    EXPECT_GT(cut, 0) << "no run was ever cut short";
    std::system((std::string("rm -rf ") + folder).c_str());
}

INSTANTIATE_TEST_SUITE_P(all, lost_read_sweep, testing::ValuesIn(lost_read_cases),
                         case_name<sweep_case>);

} // namespace
