// Pixels between an entry's four bytes and a BMP's rows, both ways.
#include <bit>
#include <cstring>

#include "bmp/bmp.h"

namespace velmorin {

namespace {

#if defined(__GNUC__) && defined(__x86_64__)

typedef uint8_t bytes16 __attribute__((vector_size(16)));

// Pixels four at a time, from four bytes to three and back, with the
// processor's byte shuffle (SSSE3, on every x86-64 processor made since
// 2006; checked before use). Each returns how many pixels it did; the caller
// does the rest byte by byte.
__attribute__((target("ssse3"))) size_t strip_ssse3(uint8_t* dst, const uint8_t* src, size_t pixels) {
    size_t k = 0;
    // Each store writes 16 bytes, the last 4 of them ahead of the pixels
    // done: the next store or the caller's tail (two pixels at least, as
    // the loop stops six short) writes over them, within `dst`.
    for (; k + 6 <= pixels; k += 4) {
        bytes16 in;
        memcpy(&in, src + 4 * k, 16);
        bytes16 out = __builtin_shufflevector(in, in, 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 15, 15, 15, 15);
        memcpy(dst + 3 * k, &out, 16);
    }
    return k;
}

// The other way, keeping each pixel's fourth byte from `dst`.
__attribute__((target("ssse3"))) size_t expand_ssse3(uint8_t* dst, const uint8_t* src, size_t pixels) {
    const bytes16 three = {255, 255, 255, 0, 255, 255, 255, 0, 255, 255, 255, 0, 255, 255, 255, 0};
    size_t k = 0;
    // Each load reads 16 bytes and uses 12: the loop stops six pixels short,
    // within `src`.
    for (; k + 6 <= pixels; k += 4) {
        bytes16 in, old;
        memcpy(&in, src + 3 * k, 16);
        memcpy(&old, dst + 4 * k, 16);
        bytes16 spread = __builtin_shufflevector(in, in, 0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0);
        bytes16 out = (spread & three) | (old & ~three);
        memcpy(dst + 4 * k, &out, 16);
    }
    return k;
}

bool has_shuffle() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

size_t strip_shuffled(uint8_t* dst, const uint8_t* src, size_t pixels) {
    return has_shuffle() ? strip_ssse3(dst, src, pixels) : 0;
}

size_t expand_shuffled(uint8_t* dst, const uint8_t* src, size_t pixels) {
    return has_shuffle() ? expand_ssse3(dst, src, pixels) : 0;
}

#else

// No byte shuffle: every pixel is done byte by byte.
size_t strip_shuffled(uint8_t*, const uint8_t*, size_t) { return 0; }
size_t expand_shuffled(uint8_t*, const uint8_t*, size_t) { return 0; }

#endif

// The blue, green and red bytes of `pixels` pixels, byte by byte, between
// pixels of `src_step` and of `dst_step` bytes.
void copy_colours(uint8_t* dst, size_t dst_step, const uint8_t* src, size_t src_step, size_t pixels) {
    for (size_t k = 0; k < pixels; ++k) {
        dst[dst_step * k] = src[src_step * k];
        dst[dst_step * k + 1] = src[src_step * k + 1];
        dst[dst_step * k + 2] = src[src_step * k + 2];
    }
}

}  // namespace

void merge_planes(uint8_t* dst, const uint8_t* src, size_t size, size_t row_bytes) {
    if (row_bytes == 0) return;
    size_t rows = size / row_bytes;
    size_t pixels = row_bytes / 4;
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* s = src + r * pixels * 3;
        uint8_t* d = dst + (rows - 1 - r) * row_bytes;
        size_t k = expand_shuffled(d, s, pixels);
        copy_colours(d + 4 * k, 4, s + 3 * k, 3, pixels - k);
    }
}

void strip_fourth_bytes(uint8_t* dst, const uint8_t* src, size_t pixels) {
    size_t k = strip_shuffled(dst, src, pixels);
    if constexpr (std::endian::native == std::endian::little) {
        // Four pixels at a time: 16 bytes in, 12 out, as two words in and a
        // word and a half out (a is pixels 0 and 1, b pixels 2 and 3).
        for (; k + 4 <= pixels; k += 4) {
            uint64_t a, b;
            memcpy(&a, src + 4 * k, 8);
            memcpy(&b, src + 4 * k + 8, 8);
            uint64_t lo = (a & 0xFFFFFF) | ((a >> 8) & 0xFFFFFF000000) | (b << 48);
            uint32_t hi = static_cast<uint32_t>(((b >> 16) & 0xFF) | ((b >> 24) & 0xFFFFFF00));
            memcpy(dst + 3 * k, &lo, 8);
            memcpy(dst + 3 * k + 8, &hi, 4);
        }
    }
    copy_colours(dst + 3 * k, 3, src + 4 * k, 4, pixels - k);
}

void flip_rows(const uint8_t* src, size_t rows, size_t row_bytes, uint8_t* dst) {
    for (size_t r = 0; r < rows; ++r) memcpy(dst + (rows - 1 - r) * row_bytes, src + r * row_bytes, row_bytes);
}

void encode_pixels(const bmp_layout& layout, const uint8_t* src, size_t pixels, uint8_t* dst) {
    if (layout.bits == 24)
        strip_fourth_bytes(dst, src, pixels);
    else
        memcpy(dst, src, 4 * pixels);
}

void encode_rows(const bmp_layout& layout, const uint8_t* src, int64_t rows, uint8_t* dst) {
    size_t width = static_cast<size_t>(layout.width), row = 4 * width;
    size_t stored = static_cast<size_t>(layout.stride), padding = static_cast<size_t>(layout.padding);
    for (size_t r = 0, n = static_cast<size_t>(rows); r < n; ++r) {
        uint8_t* out = dst + r * stored;
        encode_pixels(layout, src + (n - 1 - r) * row, width, out);
        std::fill_n(out + stored - padding, padding, uint8_t{0});
    }
}

}  // namespace velmorin
