#include "driver/memory_budget.h"
#include "platform/cgroup.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

constexpr std::uint64_t mib = std::uint64_t{1} << 20;

struct temp_folder {
    std::string path;
    temp_folder()
    {
        char name[] = "/tmp/tabflip-limits-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~temp_folder()
    {
        std::filesystem::remove_all(path);
    }
};

void write_file(const std::string &path, const std::string &bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

using tree = std::vector<std::pair<const char *, std::string>>;

const char v2_mount[] = "30 22 0:27 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";
const char v1_mounts[] = "31 30 0:28 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
                         "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup "
                         "rw,memory\n"
                         "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

TEST(cgroup_memory_left, takes_the_least_limit_less_usage_up_to_the_root)
{
    struct cgroup_case {
        const char *name;
        tree files;
        std::uint64_t expected;
    } cases[] = {
        {"v2 limit at the group, its inactive cache counted as free",
         {{"proc/self/cgroup", "0::/user/job\n"},
          {"proc/self/mountinfo", v2_mount},
          {"sys/fs/cgroup/user/job/memory.max", "157286400\n"},
          {"sys/fs/cgroup/user/job/memory.current", "52428800\n"},
          {"sys/fs/cgroup/user/job/memory.stat", "anon 40000000\ninactive_file 10485760\n"},
          {"sys/fs/cgroup/user/memory.max", "max\n"},
          {"sys/fs/cgroup/user/memory.current", "99999999\n"}},
         110 * mib},
        {"v2 limit at an ancestor",
         {{"proc/self/cgroup", "0::/user/job\n"},
          {"proc/self/mountinfo", v2_mount},
          {"sys/fs/cgroup/user/job/memory.max", "max\n"},
          {"sys/fs/cgroup/user/job/memory.current", "1048576\n"},
          {"sys/fs/cgroup/user/memory.max", "104857600\n"},
          {"sys/fs/cgroup/user/memory.current", "94371840\n"}},
         10 * mib},
        {"v2 usage past the limit",
         {{"proc/self/cgroup", "0::/job\n"},
          {"proc/self/mountinfo", v2_mount},
          {"sys/fs/cgroup/job/memory.max", "1048576\n"},
          {"sys/fs/cgroup/job/memory.current", "2097152\n"}},
         0},
        {"v2 max everywhere",
         {{"proc/self/cgroup", "0::/user/job\n"},
          {"proc/self/mountinfo", v2_mount},
          {"sys/fs/cgroup/user/job/memory.max", "max\n"},
          {"sys/fs/cgroup/user/job/memory.current", "1048576\n"},
          {"sys/fs/cgroup/user/memory.max", "max\n"},
          {"sys/fs/cgroup/user/memory.current", "1048576\n"}},
         UINT64_MAX},
        {"v1 memory controller beside a v2 hierarchy without it",
         {{"proc/self/cgroup", "4:memory:/docker/abc\n3:cpu:/docker/abc\n0::/docker/abc\n"},
          {"proc/self/mountinfo", v1_mounts},
          {"sys/fs/cgroup/memory/docker/abc/memory.limit_in_bytes", "209715200\n"},
          {"sys/fs/cgroup/memory/docker/abc/memory.usage_in_bytes", "125829120\n"},
          {"sys/fs/cgroup/memory/docker/abc/memory.stat",
           "cache 1\ntotal_inactive_file 20971520\n"},
          {"sys/fs/cgroup/memory/docker/memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/memory/docker/memory.usage_in_bytes", "125829120\n"},
          {"sys/fs/cgroup/cpu/docker/abc/memory.limit_in_bytes", "1\n"}},
         100 * mib},
        {"v1 mounted at the group itself, as in a container",
         {{"proc/self/cgroup", "4:memory:/\n"},
          {"proc/self/mountinfo",
           "34 30 0:31 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"},
          {"sys/fs/cgroup/memory/memory.limit_in_bytes", "67108864\n"},
          {"sys/fs/cgroup/memory/memory.usage_in_bytes", "16777216\n"}},
         48 * mib},
        {"no cgroup file system", {{"proc/self/mountinfo", v2_mount}}, UINT64_MAX},
        {"no memory controller mounted",
         {{"proc/self/cgroup", "4:memory:/job\n"},
          {"proc/self/mountinfo", "31 30 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"}},
         UINT64_MAX},
    };
    for (const cgroup_case &c : cases) {
        temp_folder root;
        ASSERT_FALSE(root.path.empty());
        for (const auto &[name, bytes] : c.files)
            write_file(root.path + "/" + name, bytes);
        EXPECT_EQ(cgroup_memory_left(root.path.c_str()), c.expected) << c.name;
    }
}

TEST(memory_budget, half_the_available_memory_within_three_quarters_of_the_room)
{
    constexpr std::uint64_t unset = UINT64_MAX;
    constexpr std::uint64_t kib = 1024;
    struct budget_case {
        const char *name;
        memory_figures figures;
        std::uint64_t expected;
        bool threads;
    } cases[] = {
        {"default: half of what is available", {0, 8192 * mib, unset}, 4096 * mib, true},
        {"small input, no limit", {0, unset, unset}, UINT64_MAX, true},
        {"TABFLIP_MEMORY over the default", {64 * mib, unset, unset}, 64 * mib, true},
        // The allocator's reserve and a thread's stack, then a quarter of
        // what is left, kept back.
        {"TABFLIP_MEMORY past the room", {64 * mib, unset, 41 * mib + 256 * kib}, 30 * mib, true},
        {"TABFLIP_MEMORY within the room", {mib, unset, 41 * mib}, mib, true},
        {"default past the room", {0, 8192 * mib, 101 * mib + 256 * kib}, 75 * mib, true},
        {"room for a thread's stack", {0, 8192 * mib, 4 * mib}, 2112 * kib, true},
        // Short of that the run has one thread, and no stack is kept back.
        {"room for one thread only", {0, 8192 * mib, 4 * mib - 4 * kib}, 2877 * kib, false},
        {"room less than a thread's stack", {0, 8192 * mib, mib / 2}, 192 * kib, false},
        {"room less than the allocator's reserve", {0, 8192 * mib, 128 * kib}, 0, false},
    };
    for (const budget_case &c : cases) {
        EXPECT_EQ(memory_budget(c.figures), c.expected) << c.name;
        EXPECT_EQ(threads_fit(c.figures), c.threads) << c.name;
    }
}

// A run told to take no thread (its limits leave no room for a stack) runs
// both halves on the calling thread, the first one first; one that may take
// a thread runs the second half on it.
TEST(run_both, takes_a_thread_only_when_told)
{
    struct half {
        std::thread::id ran_on;
        int turn = 0;
        std::atomic<int> *turns = nullptr;
    };
    auto note = [](void *arg) {
        auto *h = static_cast<half *>(arg);
        h->ran_on = std::this_thread::get_id();
        h->turn = ++*h->turns;
    };
    for (bool threads : {false, true}) {
        std::atomic<int> turns{0};
        half halves[2];
        halves[0].turns = halves[1].turns = &turns;
        run_both(note, &halves[0], &halves[1], threads);
        EXPECT_EQ(halves[0].ran_on, std::this_thread::get_id()) << "threads " << threads;
        if (threads) {
            EXPECT_NE(halves[1].ran_on, std::this_thread::get_id());
        } else {
            EXPECT_EQ(halves[1].ran_on, std::this_thread::get_id());
            EXPECT_EQ(halves[0].turn, 1);
            EXPECT_EQ(halves[1].turn, 2);
        }
    }
}

// The tool's run in folder, with an address-space limit (0: none) and into
// a cgroup (its cgroup.procs; empty: none). Its status, stderr in *errors.
int run_tabflip(const std::string &folder, const std::vector<const char *> &arguments,
                rlim_t address_limit, const std::string &cgroup_procs, std::string *errors)
{
    std::string errors_path = folder + "/../stderr";
    pid_t child = fork();
    if (child == 0) {
        int fd = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 2) < 0 || chdir(folder.c_str()) != 0)
            _exit(120);
        if (!cgroup_procs.empty()) {
            std::FILE *procs = std::fopen(cgroup_procs.c_str(), "w");
            if (procs == nullptr || std::fprintf(procs, "%d\n", getpid()) < 0 ||
                std::fclose(procs) != 0)
                _exit(121);
        }
        struct rlimit limit = {address_limit, address_limit};
        if (address_limit != 0 && setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(122);
        unsetenv("TABFLIP_MEMORY");
        std::vector<char *> argv{const_cast<char *>("tabflip")};
        for (const char *argument : arguments)
            argv.push_back(const_cast<char *>(argument));
        argv.push_back(nullptr);
        execv(TABFLIP_BINARY, argv.data());
        _exit(123);
    }
    int status = 0;
    waitpid(child, &status, 0);
    *errors = read_file(errors_path);
    return status;
}

// The delimited result, transposed here the plain way: absent cells empty.
std::string transposed(const std::string &table)
{
    std::vector<std::vector<std::string>> columns;
    std::size_t rows = 0;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line); ++rows) {
        std::size_t column = 0;
        for (std::size_t start = 0;; ++column) {
            std::size_t end = line.find('\t', start);
            if (column == columns.size())
                columns.emplace_back(rows);
            columns[column].push_back(line.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        for (++column; column < columns.size(); ++column)
            columns[column].emplace_back();
    }
    std::string result;
    for (const auto &cells : columns) {
        for (std::size_t i = 0; i < cells.size(); ++i)
            result += cells[i] + (i + 1 < cells.size() ? "\t" : "\n");
    }
    return result;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool sanitized = false;
#endif

// Under an address-space limit, from just above what a spilled run needs up
// to what the whole row table needs, every run gives the exact result: the
// budget counts what the process has mapped, and a spill that does not fit
// beside it is read in pieces.
TEST(tabflip_binary, every_address_limit_from_the_spill_up_gives_the_exact_result)
{
    if (sanitized)
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space";
    temp_folder scratch;
    std::string folder = scratch.path + "/run";
    std::filesystem::create_directory(folder);
    write_file(folder + "/tiny.txt", "a\tb\n");
    // 400,000 ragged rows: a 3.2 MB row table, which fits the budget only
    // with about 18 MiB to spare.
    std::string table;
    unsigned seed = 7;
    for (int row = 0; row < 400000; ++row) {
        seed = seed * 1103515245u + 12345u;
        int cells = 1 + static_cast<int>(seed >> 16) % 4;
        for (int cell = 0; cell < cells; ++cell)
            table += std::to_string((seed >> cell * 3) % 1000) + (cell + 1 < cells ? "\t" : "\n");
    }
    write_file(folder + "/table.txt", table);
    std::string errors;
    ASSERT_EQ(run_tabflip(folder, {"-h", "table.txt"}, 0, "", &errors), 0);
    std::string page = read_file(folder + "/table.txt_replace.htm");
    // What the process maps before any table: the least limit it starts under.
    rlim_t low = 8 * mib;
    rlim_t high = 128 * mib;
    while (high - low > 128 * 1024) {
        rlim_t middle = (low + high) / 2;
        std::filesystem::remove(folder + "/tiny.txt_replace.csv");
        bool ran = run_tabflip(folder, {"tiny.txt"}, middle, "", &errors) == 0 && errors.empty() &&
                   std::filesystem::exists(folder + "/tiny.txt_replace.csv");
        (ran ? high : low) = middle;
    }
    std::string expected = transposed(table);
    for (std::uint64_t margin : {3u, 4u, 6u, 10u, 24u}) {
        rlim_t limit = high + table.size() + margin * mib;
        std::filesystem::remove(folder + "/table.txt_replace.csv");
        std::filesystem::remove(folder + "/table.txt_replace.htm");
        EXPECT_EQ(run_tabflip(folder, {"table.txt", "-h", "table.txt"}, limit, "", &errors), 0);
        EXPECT_EQ(errors, "") << margin << " MiB above the input";
        EXPECT_TRUE(read_file(folder + "/table.txt_replace.csv") == expected)
            << margin << " MiB above the input";
        EXPECT_TRUE(read_file(folder + "/table.txt_replace.htm") == page)
            << margin << " MiB above the input";
    }
}

// A new memory cgroup with a limit, below the test's own (v2 when its
// group may take the memory controller, else v1's memory hierarchy);
// removed at the end. folder is empty, with the reason in why, where none
// can be made.
struct child_cgroup {
    std::string folder;
    std::string why;
    explicit child_cgroup(std::uint64_t limit)
    {
        if (geteuid() != 0) {
            why = "making a cgroup needs root";
            return;
        }
        std::string own = read_file("/proc/self/cgroup");
        std::string v2 = group_of(own, false);
        std::string v1 = group_of(own, true);
        if (!v2.empty() && make("/sys/fs/cgroup" + v2, "memory.max", limit))
            return;
        if (!v1.empty() && make("/sys/fs/cgroup/memory" + v1, "memory.limit_in_bytes", limit))
            return;
        why = "no memory cgroup can be made here (" + why + ")";
    }
    ~child_cgroup()
    {
        if (!folder.empty())
            rmdir(folder.c_str());
    }
    // The path of proc/self/cgroup's v2 line ("0::PATH", memory false) or
    // of its memory controller's line.
    static std::string group_of(const std::string &lines, bool memory)
    {
        std::istringstream in(lines);
        for (std::string line; std::getline(in, line);) {
            std::size_t first = line.find(':');
            std::size_t second = line.find(':', first + 1);
            if (second == std::string::npos)
                continue;
            std::string controllers(",");
            controllers.append(line, first + 1, second - first - 1).append(",");
            bool wanted = memory ? controllers.find(",memory,") != std::string::npos
                                 : line.compare(0, 3, "0::") == 0;
            if (wanted)
                return line.substr(second + 1);
        }
        return "";
    }
    bool make(const std::string &parent, const char *limit_file, std::uint64_t limit)
    {
        std::string made =
            parent + (parent.back() == '/' ? "" : "/") + "tabflip-test-" + std::to_string(getpid());
        if (mkdir(made.c_str(), 0755) != 0) {
            why = "cannot make " + made;
            return false;
        }
        std::ofstream(made + "/" + limit_file) << limit;
        if (!std::filesystem::exists(made + "/" + limit_file) ||
            std::stoull("0" + read_file(made + "/" + limit_file)) != limit) {
            rmdir(made.c_str());
            why = "no " + std::string(limit_file) + " under " + parent;
            return false;
        }
        folder = made;
        return true;
    }
};

// In a 150 MiB memory cgroup, a table whose row table alone needs 190 MiB
// is transposed through a spill instead of being killed.
TEST(tabflip_binary, memory_cgroup_of_150_mib_spills_a_tall_table)
{
    if (sanitized)
        GTEST_SKIP() << "the sanitizers' own memory does not fit the cgroup";
    child_cgroup group(150 * mib);
    if (group.folder.empty())
        GTEST_SKIP() << group.why;
    temp_folder scratch;
    std::string folder = scratch.path + "/run";
    std::filesystem::create_directory(folder);
    constexpr std::size_t rows = 24000000;
    std::string table;
    table.reserve(2 * rows);
    for (std::size_t row = 0; row < rows; ++row)
        table += row % 2 == 0 ? "7\n" : "8\n";
    write_file(folder + "/tall.txt", table);
    std::string errors;
    int status = run_tabflip(folder, {"tall.txt"}, 0, group.folder + "/cgroup.procs", &errors);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(errors, "");
    std::string result = read_file(folder + "/tall.txt_replace.csv");
    ASSERT_EQ(result.size(), table.size());
    for (std::size_t i = 0; i < result.size(); i += 2)
        ASSERT_EQ(result.compare(i, 2,
                                 i + 2 == result.size() ? (i % 4 == 0 ? "7\n" : "8\n")
                                                        : (i % 4 == 0 ? "7\t" : "8\t")),
                  0)
            << "at byte " << i;
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), 2u) << "a temporary file left";
}

} // namespace
