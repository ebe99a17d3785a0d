// Turning a BMP's pixel bytes into an entry's payload.
//
// The way is chosen from byte counts alone (the BMP's bit count plays no
// part): S is the payload size, W x H the entry's geometry, L the entry's
// stored length and P the BMP's pixel byte count.
//   1. P = L - 16   exact size: the bytes as read (make-XOR reverses the
//                   rows of a bottom-up BMP, by the BMP's own geometry)
//   2. P = W*H*3    24-bit merge: rows reversed, fourth bytes kept
//   3. S >= P       sizing mismatch: refused
//   4. P > S        cut and reverse: the first H rows of W*4 bytes, reversed
//
// The choice is made before a single pixel moves; the pixels then move a
// band at a time, each payload band produced from the source rows it needs.
#include <algorithm>
#include <bit>
#include <cstring>

#include "bmp/bmp.h"

namespace velmorin {

conversion_case choose_conversion(variant v, const bgra_image& img, uint32_t length, const bmpinfo& info,
                                  int64_t pixel_bytes) {
    int64_t stored = static_cast<int64_t>(length) - bgra_header_size;
    int64_t size = img.bgra_datasize;
    if (pixel_bytes == stored) {
        if (v == variant::pack || info.biHeight <= 0) return conversion_case::exact_size;
        // The reversal runs by the BMP's rows and must stay within the pixel
        // bytes while covering the whole payload. Both factors are positive
        // here; their product is compared before it is multiplied by 4.
        if (info.biWidth <= 0) return conversion_case::bmp_geometry_mismatch;
        int64_t pixels = static_cast<int64_t>(info.biHeight) * info.biWidth;
        if (pixels > stored / 4 || pixels * 4 < size) return conversion_case::bmp_geometry_mismatch;
        return conversion_case::exact_size_reversed;
    }
    if (pixel_bytes == static_cast<int64_t>(img.width) * img.height * 3) return conversion_case::merge_24bit;
    if (size >= pixel_bytes) return conversion_case::sizing_mismatch;
    return conversion_case::cut_and_reverse;
}

pixel_plan convert_pixels(variant v, const bgra_image& img, uint32_t length, const bmp_headers& bmp,
                          int64_t pixel_bytes) {
    int64_t size = img.bgra_datasize;
    int64_t entry_row = static_cast<int64_t>(img.width) * 4;
    switch (choose_conversion(v, img, length, bmp.info, pixel_bytes)) {
        case conversion_case::exact_size:
            return pixel_plan{pixel_move::copy, size, entry_row, img.height, entry_row};
        case conversion_case::bmp_geometry_mismatch:
            fail("Error: bmp width and height do not match its pixel data.\n");
        case conversion_case::exact_size_reversed: {
            trace("Bottomup!\n");
            int64_t row = static_cast<int64_t>(bmp.info.biWidth) * 4;
            return pixel_plan{pixel_move::reverse_rows, size, row, bmp.info.biHeight, row};
        }
        case conversion_case::merge_24bit:
            print_stdout("24bit BMP, merging planes.\n");
            return pixel_plan{pixel_move::merge_planes, size, entry_row, img.height,
                              static_cast<int64_t>(img.width) * 3};
        case conversion_case::sizing_mismatch:
            fail(
                "Header sizing mismatch.\nbmpheader.bfSize=%d\ndir[x].length=%d\nsizeof(struct bgra_header)=%d\n"
                "sizeof(bmpheader)=%d\nsizeof(bmpinfo)=%d\nbgra_datasize=%d\nbmpinfo.bfOffBits=%d\n",
                static_cast<int32_t>(bmp.file.bfSize), static_cast<int32_t>(length), 16, 14, 40, img.bgra_datasize,
                static_cast<int32_t>(bmp.file.bfOffBits));
        case conversion_case::cut_and_reverse:
            break;
    }
    return pixel_plan{pixel_move::reverse_rows, size, entry_row, img.height, entry_row};
}

size_t band_length(const pixel_plan& plan, int64_t at) {
    int64_t left = plan.size - at;
    int64_t row = plan.row_bytes;
    int64_t n;
    if (plan.move == pixel_move::copy || row <= 0)
        n = band_bytes;
    else if (row <= band_bytes)
        n = band_bytes / row * row;  // whole rows
    else
        n = std::min(band_bytes, row - at % row);  // a piece of one long row
    return static_cast<size_t>(std::min(n, left));
}

const char* convert_band(const pixel_plan& plan, const byte_source& pixels, const byte_source& payload, int64_t at,
                         size_t count, uint8_t* dst, uint8_t* scratch) {
    int64_t row = plan.row_bytes;
    int64_t n = static_cast<int64_t>(count);
    if (plan.move == pixel_move::copy) return read_source(pixels, at, dst, count) ? nullptr : pixels.short_message;

    int64_t first_row = at / row;
    int64_t column = at % row;
    bool whole_rows = column == 0 && n >= row;
    int64_t rows = whole_rows ? (n + row - 1) / row : 1;  // the last band may end inside a row
    // Payload row j comes from source row (plan.rows - 1 - j).
    int64_t source_first = plan.rows - first_row - rows;

    if (plan.move == pixel_move::reverse_rows) {
        if (!whole_rows)
            return read_source(pixels, source_first * row + column, dst, count) ? nullptr : pixels.short_message;
        if (!read_source(pixels, source_first * row, scratch, static_cast<size_t>(rows * row)))
            return pixels.short_message;
        flip_rows(scratch, static_cast<size_t>(rows), static_cast<size_t>(row), dst);
        return nullptr;
    }

    // The merge: fourth bytes come from the payload as it is.
    if (!read_source(payload, at, dst, count)) return payload.short_message;
    int64_t src_row = plan.source_row_bytes;
    if (whole_rows) {
        if (!read_source(pixels, source_first * src_row, scratch, static_cast<size_t>(rows * src_row)))
            return pixels.short_message;
        merge_planes(dst, scratch, count, static_cast<size_t>(row));
    } else {
        if (!read_source(pixels, source_first * src_row + column / 4 * 3, scratch, count / 4 * 3))
            return pixels.short_message;
        merge_planes(dst, scratch, count, count);
    }
    return nullptr;
}

#if defined(__GNUC__) && defined(__x86_64__)
#define VELMORIN_SHUFFLE 1
namespace {

typedef uint8_t bytes16 __attribute__((vector_size(16)));

// Pixels four at a time, from four bytes to three and back, with the
// processor's byte shuffle (SSSE3, on every x86-64 processor made since
// 2006; checked before use). Each returns how many pixels it did; the caller
// does the rest byte by byte.
__attribute__((target("ssse3"))) size_t strip_shuffled(uint8_t* dst, const uint8_t* src, size_t pixels) {
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
__attribute__((target("ssse3"))) size_t expand_shuffled(uint8_t* dst, const uint8_t* src, size_t pixels) {
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

}  // namespace
#endif

void merge_planes(uint8_t* dst, const uint8_t* src, size_t size, size_t row_bytes) {
    if (row_bytes == 0) return;
    size_t rows = size / row_bytes;
    size_t pixels = row_bytes / 4;
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* s = src + r * pixels * 3;
        uint8_t* d = dst + (rows - 1 - r) * row_bytes;
        size_t k = 0;
#ifdef VELMORIN_SHUFFLE
        if (has_shuffle()) k = expand_shuffled(d, s, pixels);
#endif
        for (; k < pixels; ++k) {
            d[4 * k] = s[3 * k];
            d[4 * k + 1] = s[3 * k + 1];
            d[4 * k + 2] = s[3 * k + 2];
        }
    }
}

void strip_fourth_bytes(uint8_t* dst, const uint8_t* src, size_t pixels) {
    size_t k = 0;
#ifdef VELMORIN_SHUFFLE
    if (has_shuffle()) k = strip_shuffled(dst, src, pixels);
#endif
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
    for (; k < pixels; ++k) {
        dst[3 * k] = src[4 * k];
        dst[3 * k + 1] = src[4 * k + 1];
        dst[3 * k + 2] = src[4 * k + 2];
    }
}

void flip_rows(const uint8_t* src, size_t rows, size_t row_bytes, uint8_t* dst) {
    for (size_t r = 0; r < rows; ++r) memcpy(dst + (rows - 1 - r) * row_bytes, src + r * row_bytes, row_bytes);
}

}  // namespace velmorin
