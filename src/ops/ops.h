// The three operations. Each ends the run itself.
#pragma once

#include <cstdint>

#include "cli/cli.h"

namespace velmorin {

// Packs the BMP at `bmp_path` over the entry's pixels.
[[noreturn]] void pack_entry(archive_file& archive, int32_t data_offset, const char* bmp_path, const dirent& entry);

// Writes to `output_path` the entry's pixels XOR the converted BMP.
[[noreturn]] void make_xor(const char* output_path, archive_file& archive, int32_t data_offset, const dirent& entry,
                           const char* bmp_path);

// XORs the patch file at `patch_path` into the entry's pixels.
[[noreturn]] void apply_xor(archive_file& archive, int32_t data_offset, const dirent& entry, const char* patch_path);

}  // namespace velmorin
