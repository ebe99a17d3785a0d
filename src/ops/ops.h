// The operations, from the located entry to the end of the run. Each takes
// the archive, the entry and then its paths, and ends the run itself.
#pragma once

#include <cstdint>

#include "archive/archive.h"

namespace velmorin {

// Whether an input the run reads while writing the archive can be read in
// place: a regular file other than the archive itself (which is read whole
// before anything is written, so no band sees bytes already rewritten).
inline bool readable_in_place(const file_info& input, const archive_file& archive) {
    return input.regular && !same_file(input, archive.info);
}

// An input that is a regular file is read under the archive's lock; one
// that is a stream is read whole first, and the lock is taken after it.
inline void lock_before_reading(archive_file& archive, const file_info& input) {
    if (input.regular) lock_archive(archive);
}

// Packs the BMP at `bmp_path` over the entry's pixels.
[[noreturn]] void pack_entry(archive_file& archive, const located_entry& target, const char* bmp_path);

// Writes to `output_path` the entry's pixels XOR the converted BMP.
[[noreturn]] void make_xor(archive_file& archive, const located_entry& target, const char* bmp_path,
                           const char* output_path);

// Lists every entry of the archive on standard output.
[[noreturn]] void list_entries(archive_file& archive);

// Writes the entry's pixels to `output_path` as a 24-bit BMP.
[[noreturn]] void export_entry(archive_file& archive, const located_entry& target, const char* output_path);

// XORs the patch file at `patch_path` into the entry's pixels.
[[noreturn]] void apply_xor(archive_file& archive, const located_entry& target, const char* patch_path);

}  // namespace velmorin
