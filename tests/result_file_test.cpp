#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

struct scratch_folder {
    std::string path;
    scratch_folder()
    {
        char name[] = "/tmp/tabflip-result-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~scratch_folder()
    {
        std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const char *name) const
    {
        return path + "/" + name;
    }
};

void write_file(const std::string &path, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// False when the file cannot be opened.
bool read_file(const std::string &path, std::string *bytes)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bytes->clear();
    char chunk[1 << 16];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        bytes->append(chunk, static_cast<std::size_t>(n));
    close(fd);
    return true;
}

std::string names_in(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    for (dirent *entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    if (dir != nullptr)
        closedir(dir);
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string &name : names)
        list += name + " ";
    return list;
}

// The tool in folder, as an interactive shell starts it: the cleanup signals
// at their defaults and unblocked, except those the caller asks ignored.
pid_t start_tabflip(const std::string &folder, const std::vector<const char *> &arguments,
                    int ignored_signal = 0)
{
    std::vector<char *> argv{const_cast<char *>("tabflip")};
    for (const char *argument : arguments)
        argv.push_back(const_cast<char *>(argument));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGXCPU})
        std::signal(signal_number, signal_number == ignored_signal ? SIG_IGN : SIG_DFL);
    // SIGQUIT and SIGXCPU would leave a core file in the folder.
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(folder.c_str()) != 0)
        _exit(127);
    execv(TABFLIP_BINARY, argv.data());
    _exit(127);
}

TEST(result_file, new_result_takes_the_umask_and_a_replaced_one_its_bits)
{
    struct mode_case {
        const char *name;
        mode_t earlier; // 0: no earlier result
        mode_t mask;
        mode_t expected;
    } cases[] = {
        {"new, umask 022", 0, 022, 0644},
        {"new, umask 077", 0, 077, 0600},
        {"replaces 0640", 0640, 022, 0640},
        {"replaces 0604", 0604, 077, 0604},
    };
    for (const mode_case &c : cases) {
        scratch_folder folder;
        std::string path = folder / "r.csv";
        if (c.earlier != 0) {
            write_file(path, "earlier\n");
            ASSERT_EQ(chmod(path.c_str(), c.earlier), 0);
        }
        mode_t before = umask(c.mask);
        result_file result;
        bool opened = open_result(path.c_str(), &result);
        umask(before);
        ASSERT_TRUE(opened) << c.name;
        ASSERT_EQ(write(result.fd, "new\n", 4), 4);
        ASSERT_TRUE(commit_result(&result)) << c.name;
        struct stat status;
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, c.expected) << c.name;
        std::string bytes;
        EXPECT_TRUE(read_file(path, &bytes) && bytes == "new\n") << c.name;
        EXPECT_EQ(names_in(folder.path), "r.csv ") << c.name;
    }
}

std::string repeated(const std::string &line, int times)
{
    std::string bytes;
    for (int i = 0; i < times; ++i)
        bytes += line;
    return bytes;
}

// One column of long cells transposes into one line of the same 64 MB, long
// enough to be cut short as soon as anything is written beside it. Every
// signal that ends the process leaves nothing, SIGKILL too: the result has
// no name until it is whole.
TEST(tabflip_binary, signal_during_a_large_write_leaves_the_earlier_result)
{
    struct signal_case {
        int signal_number;
        bool ignored_at_start;
    } cases[] = {{SIGINT, false},  {SIGTERM, false}, {SIGHUP, false},
                 {SIGHUP, true},   {SIGQUIT, false}, {SIGUSR1, false},
                 {SIGALRM, false}, {SIGXCPU, false}, {SIGKILL, false}};
    scratch_folder folder;
    write_file(folder / "big.txt", repeated(std::string(999, 'x') + "\n", 1 << 16));
    for (const signal_case &c : cases) {
        write_file(folder / "big.txt_replace.csv", "earlier\n");
        int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, folder.path.c_str(), IN_CREATE | IN_MODIFY), 0);
        pid_t pid =
            start_tabflip(folder.path, {"big.txt"}, c.ignored_at_start ? c.signal_number : 0);
        ASSERT_GT(pid, 0);
        pollfd ready = {watch, POLLIN, 0};
        EXPECT_EQ(poll(&ready, 1, 60000), 1);
        kill(pid, c.signal_number);
        close(watch);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        std::string bytes;
        ASSERT_TRUE(read_file(folder / "big.txt_replace.csv", &bytes));
        if (c.ignored_at_start) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(bytes.size(), std::size_t{1000} << 16);
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number)
                << "signal " << c.signal_number << ", wait status " << status;
            EXPECT_EQ(bytes, "earlier\n");
        }
        EXPECT_EQ(names_in(folder.path), "big.txt big.txt_replace.csv ");
    }
}

// Killed at many moments of a run over many small results, the tool must
// end by the signal every time and leave no temporary file. Results already
// there are whole. (A signal during a creation itself is met every time by
// signal_while_a_file_is_created_ends_the_run_after_it.)
TEST(tabflip_binary, signal_during_many_small_results_leaves_no_temporary_file)
{
    scratch_folder folder;
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
        names.push_back(std::to_string(i));
        names.back() += ".txt";
        write_file(folder / names.back().c_str(), "a\tbb\nccc\td\n");
    }
    // Long enough to outlast every kill below: a new result for each name,
    // then replaced results.
    std::vector<const char *> arguments;
    for (int i = 0; i < 20000; ++i)
        arguments.push_back(names[static_cast<std::size_t>(i) % names.size()].c_str());
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int round = 0; round < 30; ++round) {
        int signal_number = signals[round % 3];
        pid_t pid = start_tabflip(folder.path, arguments);
        ASSERT_GT(pid, 0);
        usleep(static_cast<useconds_t>(3000 + 700 * round));
        kill(pid, signal_number);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
            << "round " << round << ", wait status " << status;
        DIR *dir = opendir(folder.path.c_str());
        ASSERT_NE(dir, nullptr);
        for (dirent *entry; (entry = readdir(dir)) != nullptr;) {
            std::string name = entry->d_name;
            EXPECT_NE(name.rfind(".tabflip-", 0), 0u) << "round " << round << ": " << name;
            std::string bytes;
            if (name.find("_replace.csv") != std::string::npos) {
                EXPECT_TRUE(read_file(folder / name.c_str(), &bytes) && bytes == "a\tccc\nbb\td\n")
                    << name;
                unlink((folder / name.c_str()).c_str());
            }
        }
        closedir(dir);
    }
}

int arriving_signal = 0;

// A signal that comes while a result's temporary file or a spill is being
// created, every time: it must be put off until the file is held (or gone)
// and then end the process, leaving nothing but the earlier result.
TEST(result_file, signal_while_a_file_is_created_ends_the_run_after_it)
{
    // A small result is named at its creation, a large one when it is whole;
    // a spill is named only on a file system that refuses a nameless file.
    enum class made { small_result, large_result, spill };
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        for (made what : {made::small_result, made::large_result, made::spill}) {
            scratch_folder folder;
            std::string path = folder / "r.csv";
            write_file(path, "earlier\n");
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                std::signal(signal_number, SIG_DFL);
                unsetenv("TMPDIR");
                install_signal_cleanup();
                arriving_signal = signal_number;
                static fault_plan plan;
                // A result's name exists unheld at its holding; a spill's
                // creation is all its window, once its nameless file (the
                // first creation) has been refused.
                bool spill = what == made::spill;
                platform_call at = spill ? platform_call::create : platform_call::hold;
                plan.calls = 1u << static_cast<unsigned>(at);
                plan.fail_at = spill ? 1 : 0;
                plan.error = EOPNOTSUPP;
                plan.at_call = [](platform_call) {
                    if (platform_faults->fail_at == 0 || platform_faults->counted.load() > 1)
                        raise(arriving_signal);
                };
                platform_faults = &plan;
                result_file result;
                result.expected_size = what == made::small_result ? 0 : UINT64_MAX;
                if (spill)
                    open_spill(path.c_str(), 1);
                else if (open_result(path.c_str(), &result))
                    commit_result(&result);
                _exit(0); // the signal was lost
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
                << "signal " << signal_number << ", case " << static_cast<int>(what)
                << ", wait status " << status;
            EXPECT_EQ(names_in(folder.path), "r.csv ") << "signal " << signal_number;
            std::string bytes;
            EXPECT_TRUE(read_file(path, &bytes) && bytes == "earlier\n");
        }
    }
}

// A FIFO at the result name with no reader keeps the open waiting: an
// interrupt must still end the run, by its signal, and leave the FIFO.
TEST(tabflip_binary, signal_while_waiting_for_a_fifo_result_ends_the_run)
{
    scratch_folder folder;
    write_file(folder / "t.txt", "a\tb\n");
    ASSERT_EQ(mkfifo((folder / "t.txt_replace.csv").c_str(), 0644), 0);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        pid_t pid = start_tabflip(folder.path, {"t.txt"});
        ASSERT_GT(pid, 0);
        usleep(200000);
        kill(pid, signal_number);
        int status = 0;
        pid_t ended = 0;
        for (int wait = 0; wait < 500 && ended == 0; ++wait) {
            ended = waitpid(pid, &status, WNOHANG);
            if (ended == 0)
                usleep(10000);
        }
        if (ended == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_EQ(ended, pid) << "signal " << signal_number << " did not end the run";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
            << "signal " << signal_number << ", wait status " << status;
        struct stat fifo;
        EXPECT_TRUE(stat((folder / "t.txt_replace.csv").c_str(), &fifo) == 0 &&
                    S_ISFIFO(fifo.st_mode));
    }
}

// The same table written again and again: a reader that opens the result
// name meanwhile must find either nothing yet or the whole result.
TEST(tabflip_binary, reader_never_sees_a_partial_result)
{
    scratch_folder folder;
    std::string table = repeated("a\tbb\tccc\n", 1 << 18);
    write_file(folder / "t.txt", table);
    std::string whole = repeated("a\t", (1 << 18) - 1) + "a\n" + repeated("bb\t", (1 << 18) - 1) +
                        "bb\n" + repeated("ccc\t", (1 << 18) - 1) + "ccc\n";
    std::vector<const char *> arguments(60, "t.txt");
    std::atomic<bool> running{true};
    int whole_reads = 0;
    int partial_reads = 0;
    pid_t pid = start_tabflip(folder.path, arguments);
    std::thread reader([&] {
        std::string bytes;
        while (running.load()) {
            if (read_file(folder / "t.txt_replace.csv", &bytes))
                ++(bytes == whole ? whole_reads : partial_reads);
        }
    });
    int status = 0;
    waitpid(pid, &status, 0);
    running.store(false);
    reader.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(partial_reads, 0);
    // Enough reads overlapped the rewrites for the check to mean something.
    EXPECT_GE(whole_reads, 20);
    EXPECT_EQ(names_in(folder.path), "t.txt t.txt_replace.csv ");
}

} // namespace
