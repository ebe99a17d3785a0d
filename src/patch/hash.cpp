// Feeding the hash, with AVX2 where the processor has it (hash_avx2.cpp is
// built for it) and the build's own vectors elsewhere: the same hash, about
// twice as fast over the hundreds of megabytes a checked patch hashes.
#include "patch/patch.h"

namespace velmorin {

#if defined(VELMORIN_HASH_AVX2)
void feed_hash_avx2(XXH3_state_t* state, const uint8_t* bytes, size_t count);

void feed_hash(pixel_hash& h, const uint8_t* bytes, size_t count) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        feed_hash_avx2(&h.state, bytes, count);
    else
        XXH3_64bits_update(&h.state, bytes, count);
}
#else
void feed_hash(pixel_hash& h, const uint8_t* bytes, size_t count) { XXH3_64bits_update(&h.state, bytes, count); }
#endif

}  // namespace velmorin
