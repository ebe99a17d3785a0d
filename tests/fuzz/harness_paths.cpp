// Fuzzes the folder modes' name <-> path rule: every name comes back as its
// exact bytes, through parts that a file system takes and that never leave
// the folder; any path, read back, gives a name or none, never a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "folder/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts = velmorin::path_of_name(name);
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") abort();
        for (char ch : part) {
            unsigned char c = static_cast<unsigned char>(ch);
            if (c < 0x20 || c == 0x7f || strchr("/\\:*?\"<>|", c)) abort();
        }
    }
    std::string back;
    if (!velmorin::name_of_path(parts, &back) || back != name) abort();
    std::vector<std::string> as_path(1);
    for (char c : name) {
        if (c == '/')
            as_path.emplace_back();
        else
            as_path.back() += c;
    }
    (void)velmorin::name_of_path(as_path, &back);
    return 0;
}
