// Replays corpus files (or every file of the folders named) through a fuzz
// target, for machines without libFuzzer. Fails when nothing was replayed, so
// a missing corpus cannot pass as a clean run.
#include "fuzz_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

static std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

static std::vector<std::filesystem::path> inputs_named(int argc, char **argv)
{
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        if (!std::filesystem::is_directory(path)) {
            paths.push_back(path);
            continue;
        }
        for (const auto &entry : std::filesystem::directory_iterator(path)) {
            if (entry.is_regular_file())
                paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

int main(int argc, char **argv)
{
    std::vector<std::filesystem::path> paths = inputs_named(argc, argv);
    for (const auto &path : paths) {
        std::string bytes = read_file(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed\n", paths.size());
    return paths.empty() ? 1 : 0;
}
