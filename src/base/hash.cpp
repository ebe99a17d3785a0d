// Hashing, with AVX2 where the processor has it (hash_avx2.cpp is built
// for it) and the build's own vectors elsewhere: the same hash, about twice
// as fast over the hundreds of megabytes a checked patch hashes. xxHash is
// used header-only: nothing to link, on any platform.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "base/hash.h"

namespace velmorin {

struct hash_state {
    XXH3_state_t s;
};

pixel_hash::pixel_hash() : state(std::make_unique<hash_state>()) {}
pixel_hash::~pixel_hash() = default;

void start_hash(pixel_hash& h) {
    XXH3_INITSTATE(&h.state->s);
    XXH3_64bits_reset(&h.state->s);
}

uint64_t hash_value(const pixel_hash& h) { return XXH3_64bits_digest(&h.state->s); }

uint64_t hash_bytes(const uint8_t* bytes, size_t count) { return XXH3_64bits(bytes, count); }

#if defined(VELMORIN_HASH_AVX2)
void feed_hash_avx2(XXH3_state_t* state, const uint8_t* bytes, size_t count);

void feed_hash(pixel_hash& h, const uint8_t* bytes, size_t count) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        feed_hash_avx2(&h.state->s, bytes, count);
    else
        XXH3_64bits_update(&h.state->s, bytes, count);
}
#else
void feed_hash(pixel_hash& h, const uint8_t* bytes, size_t count) { XXH3_64bits_update(&h.state->s, bytes, count); }
#endif

}  // namespace velmorin
