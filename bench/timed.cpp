// Runs one command and prints its wall time in seconds and its peak resident
// memory in KiB (from the child's rusage) on one line to stderr:
//
//   timed COMMAND [ARGUMENTS...]   ->   "0.123456 45678"
//
// The command's own stdout and stderr pass through; a command that fails is
// reported and makes timed fail, so a broken run never counts as a time.
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: timed COMMAND [ARGUMENTS...]\n", stderr);
        return 2;
    }
    double start = now_seconds();
    pid_t child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (wait4(child, &status, 0, &usage) != child)
        return 2;
    double elapsed = now_seconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "timed: '%s' failed\n", argv[1]);
        return 1;
    }
    std::fprintf(stderr, "%.6f %ld\n", elapsed, usage.ru_maxrss);
    return 0;
}
