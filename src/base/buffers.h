// The buffers pixels move through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmorin {

// Pixels move through buffers of this size, whatever the image's size. A
// multiple of four, so that a band never splits a pixel.
constexpr int64_t band_bytes = 1 << 20;

using byte_buffer = std::unique_ptr<uint8_t[]>;

// Uninitialised bytes; "Error: out of memory.\n" when they cannot be had.
byte_buffer alloc_bytes(size_t count);

}  // namespace velmorin
