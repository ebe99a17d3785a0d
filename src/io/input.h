// The files a run reads besides the archive (an image, a patch). An input
// that is a regular file is read in place, under the archive's lock; one
// that is a stream is read whole first, and the lock is taken after it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive.h"
#include "base/sources.h"

namespace velmorin {

// An input that is a regular file is read under the archive's lock; one that
// is a stream is read whole first, and the lock is taken after it.

// Opens the input at `path`; false when it cannot be opened or examined.
// Takes the archive's lock when the input is a regular file.
[[nodiscard]] bool open_run_input(archive_file& archive, const char* path, file_guard& file, file_info* info);

// The input's `count` bytes from `start`: read in place from a regular file
// other than the archive itself (which is read whole before anything is
// written, so no band sees bytes already rewritten), otherwise read whole
// now. Then takes the archive's lock. False when the input holds fewer
// bytes; the caller reports `short_message`, which later reads report too.
[[nodiscard]] bool take_input(archive_file& archive, const file_guard& file, const file_info& info, int64_t start,
                              int64_t count, const char* short_message, byte_source* src);

// The same without the lock, for a reader that goes on reading the stream.
[[nodiscard]] bool read_input(const archive_file& archive, const file_guard& file, const file_info& info,
                              int64_t start, int64_t count, const char* short_message, byte_source* src);

// The whole input, its first `start_size` bytes already read into `start`:
// in place from a regular file other than the archive, otherwise read whole
// now (a stream to its end). Then takes the archive's lock. False when it
// cannot be read.
[[nodiscard]] bool take_whole_input(archive_file& archive, const file_guard& file, const file_info& info,
                                    const uint8_t* start, size_t start_size, byte_source* src);

}  // namespace velmorin
