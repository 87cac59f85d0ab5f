// Runs a libFuzzer target without libFuzzer: LLVMFuzzerTestOneInput over
// every file named on the command line, a directory standing for the files
// in it (in name order, not recursing). The target aborts on a violation;
// this program fails when it found no input at all, so a missing corpus
// cannot pass.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

void add_inputs(const std::string &path, std::vector<std::string> &files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "replay: cannot stat %s\n", path.c_str());
        exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *d = opendir(path.c_str());
    if (!d) {
        fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        exit(2);
    }
    std::vector<std::string> found;
    while (const dirent *e = readdir(d)) {
        const std::string full = path + "/" + e->d_name;
        if (e->d_name[0] != '.' && stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back(full);
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        add_inputs(argv[i], files);
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<uint8_t> data;
    for (const std::string &f : files) {
        if (!read_file(f, data)) {
            fprintf(stderr, "replay: cannot read %s\n", f.c_str());
            return 2;
        }
        fprintf(stderr, "replay: %s\n", f.c_str());
        // An empty input still comes with a valid pointer, as from libFuzzer.
        static const uint8_t none = 0;
        LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
    }
    printf("replay: %zu inputs, no failure\n", files.size());
    return 0;
}
