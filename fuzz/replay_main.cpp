// Runs a libFuzzer target over every file named, a directory standing for its
// files in name order; no input at all fails, so a missing corpus cannot pass.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const size_t first = files.size();
        if (!fs::is_directory(argv[i]))
            files.push_back(argv[i]);
        else
            for (const fs::directory_entry &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                    files.push_back(e.path());
        std::sort(files.begin() + long(first), files.end());
    }
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            fprintf(stderr, "replay: cannot read %s\n", f.c_str());
            return 2;
        }
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        fprintf(stderr, "replay: %s\n", f.c_str());
        static const uint8_t none = 0; // an empty input has a pointer too, as from libFuzzer
        LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
    }
    printf("replay: %zu inputs, no failure\n", files.size());
    return 0;
}
