// The least a run over many small files must ask of the kernel for each new
// result, with no work on the table: the input opened, measured, read and
// closed; the result name looked at; a temporary file beside it created,
// written and closed; and renamed over the name, so that no reader ever sees
// half a result. Each result is the input's bytes. The small-files
// benchmark gives the tool's time per file as a ratio to this program's.
//
//   small_floor FILE...   (results at FILE_replace.csv)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static bool copy_one(const char *name, std::vector<char> *buffer, unsigned serial)
{
    int in = open(name, O_RDONLY);
    struct stat status;
    if (in < 0 || fstat(in, &status) != 0)
        return false;
    auto size = static_cast<std::size_t>(status.st_size);
    buffer->resize(size + 8);
    ssize_t got = read(in, buffer->data(), size);
    close(in);
    if (got != static_cast<ssize_t>(size))
        return false;
    std::string result = std::string(name) + "_replace.csv";
    struct stat existing;
    (void)stat(result.c_str(), &existing);
    char temporary[32];
    std::snprintf(temporary, sizeof temporary, ".floor-%08x", serial);
    int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (out < 0 || write(out, buffer->data(), size) != static_cast<ssize_t>(size))
        return false;
    return close(out) == 0 && rename(temporary, result.c_str()) == 0;
}

int main(int argc, char **argv)
{
    std::vector<char> buffer;
    for (int i = 1; i < argc; ++i) {
        if (std::strchr(argv[i], '/') != nullptr ||
            !copy_one(argv[i], &buffer, static_cast<unsigned>(i))) {
            std::fprintf(stderr, "small_floor: %s failed (files of the current directory only)\n",
                         argv[i]);
            return 1;
        }
    }
    return 0;
}
