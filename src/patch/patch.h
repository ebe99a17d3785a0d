// XOR patches. A raw patch is S bytes, S being the entry's payload size:
// byte n is the old payload byte n XOR the new one, so XORing it into either
// gives the other. A checked patch is the same S bytes followed by a check
// block that says what the patch applies to; its layout is drawn once, in
// check.cpp. A reader that takes the first S bytes and ignores the rest
// applies both kinds alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// xxHash, used header-only: nothing to link, on any platform.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace velmorin {

// dst[k] ^= src[k] for `count` bytes.
void xor_into(uint8_t* dst, const uint8_t* src, size_t count);

// ---- hashing ----------------------------------------------------------------

// XXH3-64 (seed 0) of bytes fed in pieces.
struct pixel_hash {
    XXH3_state_t state;
};

inline void start_hash(pixel_hash& h) {
    XXH3_INITSTATE(&h.state);
    XXH3_64bits_reset(&h.state);
}
// With the processor's widest vectors (hash.cpp).
void feed_hash(pixel_hash& h, const uint8_t* bytes, size_t count);
inline uint64_t hash_value(const pixel_hash& h) { return XXH3_64bits_digest(&h.state); }

// ---- the check block --------------------------------------------------------

constexpr int64_t check_block_fixed = 48;                           // T = 48 + N
constexpr int64_t largest_check_block = check_block_fixed + 65535;  // N fits 16 bits

struct check_block {
    int32_t width;   // of the entry the patch was made from
    int32_t height;
    uint64_t before;  // hash of the pixels the patch applies to
    uint64_t after;   // hash of the pixels it gives
    uint16_t version;
    std::string name;  // the entry's full stored name
};

enum class check_verdict {
    raw,            // no check block: a raw patch
    damaged,        // a check block whose fields do not agree
    other_version,  // a sound check block of a version other than 1
    sound,
};

// Judges the end of a patch of `total` bytes, whose last `tail_size` bytes
// (all of them, or at least largest_check_block) are at `tail`. Fills
// *block where the check block's own hash holds.
check_verdict read_check_block(const uint8_t* tail, size_t tail_size, int64_t total, check_block* block);

// Writes the check block of version 1 for `block` at `out` (room for
// largest_check_block bytes); returns its size.
size_t encode_check_block(const check_block& block, uint8_t* out);

}  // namespace velmorin
