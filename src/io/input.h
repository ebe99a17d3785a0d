// The files a run reads besides the archive (an image, a patch): a regular
// file is read in place; a stream is read whole, before the archive's lock
// is taken (its writer may be another run that holds the lock until the
// reader has taken everything).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive.h"
#include "base/sources.h"

namespace velmorin {

// Opens the input at `path`; false when it cannot be opened or examined.
[[nodiscard]] bool open_run_input(const char* path, file_guard& file, file_info* info);

// The input's `count` bytes from `start`: read in place from a regular file
// other than the archive itself, otherwise read whole now (the archive
// itself under its lock, as its pixels are, and before anything is written,
// so no band sees bytes already rewritten). False when the input holds
// fewer; the caller reports `short_message`, which later reads report too.
[[nodiscard]] bool read_input(archive_file& archive, const file_guard& file, const file_info& info, int64_t start,
                              int64_t count, const char* short_message, byte_source* src);

// The whole input, its first `start_size` bytes already read into `start`,
// by the same rules (a stream to its end). False when it cannot be read.
[[nodiscard]] bool read_whole_input(archive_file& archive, const file_guard& file, const file_info& info,
                                    const uint8_t* start, size_t start_size, byte_source* src);

}  // namespace velmorin
