// Runs a fuzz harness over saved inputs without the fuzzing engine: every
// file named, or every file in every directory named. Files ending in .hex
// hold the input as hexadecimal text.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> load(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::vector<uint8_t> raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (p.extension() != ".hex") return raw;
    std::vector<uint8_t> out;
    int high = -1;
    for (uint8_t c : raw) {
        if (!std::isxdigit(c)) continue;
        int v = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> files;
        // A harness that has kept no crashing input has no folder for them.
        if (!std::filesystem::exists(argv[i])) continue;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.') files.push_back(e.path());
        } else {
            files.push_back(argv[i]);
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            std::vector<uint8_t> data = load(f);
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++count;
        }
    }
    fprintf(stderr, "replayed %zu inputs\n", count);
    fuzz_run::report();
    return count > 0 ? 0 : 1;
}
