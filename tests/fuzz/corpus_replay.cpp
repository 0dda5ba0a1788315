// Runs a fuzz target once on every input of the corpus folders it is given,
// for builds without libFuzzer (the x86 build, where the target drives the
// driver image). A broken input aborts, as under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 2;
    }
    size_t inputs = 0;
    for (int index = 1; index < argc; ++index) {
        std::error_code error;
        std::vector<std::filesystem::path> files;
        for (const auto &entry : std::filesystem::directory_iterator(argv[index], error)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        if (error) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", argv[0], argv[index], error.message().c_str());
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const std::filesystem::path &file : files) {
            std::ifstream in(file, std::ios::binary);
            std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++inputs;
        }
    }
    std::printf("%zu inputs ran\n", inputs);
    return inputs != 0 ? 0 : 1;
}
