// Reading a patch: its first S bytes, and its end, where a check block
// would be.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffers.h"
#include "base/sources.h"
#include "io/input.h"

namespace velmorin {

// A patch as the run reads it: its first S bytes (S being the entry's
// payload size), its length and its last bytes, where a check block would be.
struct patch_input {
    byte_source body;
    bool whole = false;  // it holds S bytes at least
    int64_t total = 0;   // its length
    byte_buffer tail;    // its last tail_size bytes: all of them, or at least patch_tail_window
    size_t tail_size = 0;
    uint8_t after[8];    // the bytes after its first S, up to 8 of them
    size_t after_size = 0;
};

// Reads a patch for `size` pixel bytes as read_input() reads an input: a
// stream whole, and on to its end, keeping only its last bytes, unless it
// runs past any checked patch's length.
void read_patch(archive_file& archive, const file_guard& file, const file_info& info, int64_t size,
                patch_input* patch);

}  // namespace velmorin
