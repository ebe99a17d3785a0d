// Hashing: XXH3-64 (seed 0), of bytes fed in pieces or at once, with the
// processor's widest vectors (hash.cpp: xxHash, used header-only there and
// in hash_avx2.cpp, and nowhere else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmorin {

// Bytes fed in pieces.
struct hash_state;
struct pixel_hash {
    std::unique_ptr<hash_state> state;
    pixel_hash();
    ~pixel_hash();
};

void start_hash(pixel_hash& h);
void feed_hash(pixel_hash& h, const uint8_t* bytes, size_t count);
uint64_t hash_value(const pixel_hash& h);

// XXH3-64 (seed 0) of `count` bytes at once.
uint64_t hash_bytes(const uint8_t* bytes, size_t count);

}  // namespace velmorin
