// The byte sources operations read their inputs from: a regular file read
// in place, or bytes held in memory or in a temporary file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffers.h"
#include "base/file.h"

namespace velmorin {

// A run of bytes an operation reads from: either read in place from a
// regular file, starting at `base`, or held whole in memory (pipes and other
// files that cannot be read in place). `size` bytes are known to be there.
struct byte_source {
    file_handle file;
    int64_t base = 0;
    byte_buffer bytes;
    int64_t size = 0;
    const char* short_message = "";  // printed when the bytes are not there after all
    file_guard held;                 // a temporary file it holds a stream in
};

// Reads a stream from where it stands, up to `want` bytes or its end, after
// `start_size` bytes of it already read into `start`, so that `src` holds
// them all: in memory up to a few megabytes, a longer stream in a temporary
// file. The count read (`start` not counted), or -1 when the first read
// failed outright.
int64_t hold_stream(file_handle f, const uint8_t* start, size_t start_size, int64_t want, byte_source* src);

// A copy of the first `size` bytes of `from` that the run may rewrite: in
// memory up to a few megabytes, otherwise in a temporary file. False when
// `from` cannot be read; the caller reports its short_message.
[[nodiscard]] bool hold_copy(const byte_source& from, int64_t size, byte_source* copy);

// Writes `count` bytes over a copy made so, from `offset`.
void write_held(byte_source& copy, int64_t offset, const uint8_t* bytes, size_t count);

// Copies `count` bytes from `offset` within the source; false when they
// cannot be had (the file shrank under us or the device failed), with errno
// telling why. The caller decides what that failure means at its point.
[[nodiscard]] bool read_source(const byte_source& src, int64_t offset, uint8_t* dst, size_t count);

// The `count` bytes of an input file that start at `start`, where its
// position stands now: in place when `in_place` is given (a regular file
// the run does not write, as described), after checking the file holds them;
// otherwise read whole now. False when the file holds fewer; the caller
// reports `short_message`, which later reads report too. A file read whole
// then has `size` bytes of what it held.
[[nodiscard]] bool input_source(file_handle f, int64_t start, int64_t count, const file_info* in_place,
                                const char* short_message, byte_source* src);

}  // namespace velmorin
