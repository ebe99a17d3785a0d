// The byte layout of a fuzzer input, shared by the harnesses (which split
// an input into files) and the seed writer (which joins files into one).
//
// Whole-tool input:
//   0    1  mode: bits 0-1 pick pack, --mkxor, --xor, or (3) --export, or
//           --list with bit 2 set; otherwise bit 2 pipes the BMP or patch
//           instead of a regular file;
//           bits 3-7 (whole-tool input only) aim the entry's data offset;
//           bit 3 (image input only) picks the checked modes instead:
//           --check (for pack), --mkpatch, --unxor
//   1    1  n, the entry name's length
//   2    n  entry name (cut at a NUL byte)
//   ..   4  A, the archive's length (cut to what is left)
//   ..   A  archive
//   ..   4  B, the BMP's length (cut to what is left)
//   ..   B  BMP
//   ..      the rest: the patch
//
// Image input (the archive is made from a few numbers, so the fuzzer spends
// its time on the BMP and the patch):
//   0    1  mode, as above
//   1    1  entry width
//   2    1  entry height
//   3    1  signed slack added to the entry's stored length
//   4    4  B, the BMP's length (cut to what is left)
//   ..   B  BMP
//   ..      the rest: the patch
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_input {

using bytes = std::vector<uint8_t>;

enum : uint8_t { mode_pack = 0, mode_mkxor = 1, mode_xor = 2, mode_export = 3, piped = 4, mode_list = 7, checked = 8 };

struct tool_input {
    uint8_t mode = 0;
    std::string name;
    bytes archive, bmp, patch;
};

struct image_input {
    uint8_t mode = 0;
    uint8_t width = 0, height = 0;
    int8_t slack = 0;
    bytes bmp, patch;
};

tool_input split_tool(const uint8_t* data, size_t size);
bytes join_tool(const tool_input& in);

image_input split_image(const uint8_t* data, size_t size);
bytes join_image(const image_input& in);

}  // namespace fuzz_input
