// XOR patches. A raw patch is S bytes, S being the entry's payload size:
// byte n is the old payload byte n XOR the new one, so XORing it into either
// gives the other. A checked patch is the same S bytes followed by a check
// block that says what the patch applies to; its layout is drawn once, in
// check.cpp. A reader that takes the first S bytes and ignores the rest
// applies both kinds alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/hash.h"

namespace velmorin {

// dst[k] ^= src[k] for `count` bytes.
void xor_into(uint8_t* dst, const uint8_t* src, size_t count);

// Whether all `count` bytes are zero: an XOR that changes nothing.
bool all_zero(const uint8_t* bytes, size_t count);

// ---- the check block --------------------------------------------------------

constexpr int64_t check_block_fixed = 48;                           // T = 48 + N
constexpr int64_t largest_check_block = check_block_fixed + 65535;  // N fits 16 bits

// How far from a patch's end the signs of a check block are looked for: a
// whole block and as much again of anything appended to it.
constexpr int64_t patch_tail_window = largest_check_block + 64 * 1024;

struct check_block {
    int32_t width;   // of the entry the patch was made from
    int32_t height;
    uint64_t before;  // hash of the pixels the patch applies to
    uint64_t after;   // hash of the pixels it gives
    uint16_t version;
    std::string name;  // the entry's full stored name
};

enum class check_verdict {
    raw,            // no check block, whole or damaged: a raw patch
    damaged,        // a check block whose fields do not agree, or what is left of one
    other_version,  // a sound check block of a version other than 1
    sound,
};

// The end of a patch file as the run reads it, for an entry of S pixel bytes.
struct patch_end {
    int64_t total = 0;          // the file's length
    const uint8_t* tail;        // its last tail_size bytes: all of them, or patch_tail_window at least
    size_t tail_size = 0;
    const uint8_t* after_pixels;  // up to 8 bytes that follow its first S
    size_t after_size = 0;
};

// Judges the end of a patch for an entry of `width` x `height` (S bytes).
// A file whose last 8 bytes are the magic is a checked patch, sound or
// damaged. Any other file longer than S is damaged when it bears a sign of
// a check block that lost its end (a patch cut short, or with bytes
// appended, or with its magic damaged):
//   - the bytes after its first S begin with the entry's width and height,
//     or with the first bytes of them;
//   - the magic stands anywhere in its last patch_tail_window bytes;
//   - at some offset p there, a width and height whose pixels take p bytes,
//     followed by version 1 (or the file ends before the version; or it
//     ends inside that width and height, for a p past S).
// Fills *block where the check block's own hash holds.
check_verdict judge_patch(const patch_end& end, int32_t width, int32_t height, check_block* block);

// Writes the check block of version 1 for `block` at `out` (room for
// largest_check_block bytes); returns its size.
size_t encode_check_block(const check_block& block, uint8_t* out);

}  // namespace velmorin
