#include <algorithm>
#include <cstring>

#include "patch/patch.h"

namespace velmorin {

void xor_into(uint8_t* dst, const uint8_t* src, size_t count) {
    // Eight bytes at a time; memcpy keeps the loads and stores free of
    // alignment and lets the compiler vectorise.
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        uint64_t a, b;
        memcpy(&a, dst + k, 8);
        memcpy(&b, src + k, 8);
        a ^= b;
        memcpy(dst + k, &a, 8);
    }
    for (; k < count; ++k) dst[k] ^= src[k];
}

bool all_zero(const uint8_t* bytes, size_t count) {
    return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0; });
}

}  // namespace velmorin
