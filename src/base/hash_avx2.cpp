// XXH3 built for AVX2; called only where the processor has it. Nothing but
// xxHash's own functions, all of them internal to this file, is built here,
// so no code for AVX2 can be shared with the rest of the program.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace velmorin {

void feed_hash_avx2(XXH3_state_t* state, const unsigned char* bytes, size_t count) {
    XXH3_64bits_update(state, bytes, count);
}

}  // namespace velmorin
