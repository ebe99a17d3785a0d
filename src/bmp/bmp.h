// BMP input and the conversion of its pixels to an entry's payload.
#pragma once

#include <cstdint>

#include "base/bytes.h"
#include "base/run.h"
#include "entry/entry.h"

namespace velmorin {

constexpr int64_t bmp_headers_size = 54;  // bmpheader and a 40-byte bmpinfo

struct bmpheader {
    uint16_t bfType;
    uint32_t bfSize;
    uint32_t bfOffBits;
};

struct bmpinfo {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
};

struct bmp_headers {
    bmpheader file;
    bmpinfo info;
};

// Reads both headers; leaves the file at byte 54, where the pixels are taken.
bmp_headers read_bmp_headers(file_handle f);

// The pixel bytes taken from byte 54 on: bfSize - 54.
int64_t pixel_byte_count(const bmpheader& file);

// Pack's check of the BMP against the entry: warnings, or the end of the run.
void check_bmp(const bmpheader& file, const bmpinfo& info, const bgra_image& img);

// ---- conversion -----------------------------------------------------------

enum class variant { pack, make_xor };

enum class conversion_case {
    exact_size,           // pixel bytes used as read
    exact_size_reversed,  // make-XOR, bottom-up BMP: rows reversed by the BMP's geometry
    bmp_geometry_mismatch,
    merge_24bit,  // three bytes per pixel into the entry's four, rows reversed
    sizing_mismatch,
    cut_and_reverse,  // the first rows of the pixel bytes, reversed
};

// Which way the pixel bytes become a payload, from byte counts alone:
// `length` is the entry's stored length, `pixel_bytes` the BMP's count.
conversion_case choose_conversion(variant v, const bgra_image& img, uint32_t length, const bmpinfo& info,
                                  int64_t pixel_bytes);

// The cases that end the run instead of converting.
inline bool refused(conversion_case c) {
    return c == conversion_case::sizing_mismatch || c == conversion_case::bmp_geometry_mismatch;
}

enum class pixel_move { copy, reverse_rows, merge_planes };

// How the payload's bytes are produced from the BMP's pixel bytes.
struct pixel_plan {
    pixel_move move;
    int64_t size;              // payload bytes produced
    int64_t row_bytes;         // payload row length
    int64_t rows;              // source rows the reversal counts from
    int64_t source_row_bytes;  // 24-bit rows for the merge
};

// Decides the conversion, prints what the chosen case prints, and ends the
// run on a case that cannot be converted.
pixel_plan convert_pixels(variant v, const bgra_image& img, uint32_t length, const bmp_headers& bmp,
                          int64_t pixel_bytes);

// How many payload bytes the band starting at `at` holds (at most band_bytes).
size_t band_length(const pixel_plan& plan, int64_t at);

// Produces payload bytes [at, at + count) of a band into `dst`. `scratch`
// holds band_bytes. The merge reads the old payload for each pixel's fourth
// byte. Returns nullptr, or the message of the source that could not be read.
[[nodiscard]] const char* convert_band(const pixel_plan& plan, const byte_source& pixels, const byte_source& payload,
                                       int64_t at, size_t count, uint8_t* dst, uint8_t* scratch);

// Rows of `row_bytes` 32-bit pixels in `dst` (`size` bytes) take the 24-bit
// rows of `src` in reverse order; each pixel's fourth byte is kept.
void merge_planes(uint8_t* dst, const uint8_t* src, size_t size, size_t row_bytes);

// `pixels` pixels of four bytes in `src` as three (blue, green, red) in `dst`.
void strip_fourth_bytes(uint8_t* dst, const uint8_t* src, size_t pixels);

// Source row r becomes row rows - 1 - r of `dst`.
void flip_rows(const uint8_t* src, size_t rows, size_t row_bytes, uint8_t* dst);

}  // namespace velmorin
