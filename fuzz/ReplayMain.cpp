// A plain driver for the fuzz harnesses, for builds without libFuzzer: it runs every file
// named on the command line (folders recursively) through LLVMFuzzerTestOneInput once. The
// test suite uses it to replay the committed corpora and every input that ever found a fault.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (!std::filesystem::exists(arg)) {
            continue;  // a target without regression inputs yet has no such folder in git
        }
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());  // the same order on every machine
    for (const auto& file : files) {
        const std::vector<std::uint8_t> bytes = readFile(file);
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    // The plain closing line test runners read.
    std::printf("replay: %zu passed, 0 failed\n", files.size());
    return files.empty() ? 1 : 0;  // an empty corpus means a wrong path, not success
}
