// XOR patches: a patch's byte n is the old payload byte n XOR the new one,
// so XORing it into either gives the other.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmorin {

// dst[k] ^= src[k] for `count` bytes.
void xor_into(uint8_t* dst, const uint8_t* src, size_t count);

}  // namespace velmorin
