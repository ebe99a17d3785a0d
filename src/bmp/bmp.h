// The BMP format, both ways: reading a BMP's headers and checking them
// against an entry, and writing an entry as a BMP. The layout is drawn once,
// in format.cpp; the pixel functions of both directions are in pixels.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

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

// ---- reading ------------------------------------------------------------------

// The bytes a caller reads before it knows the format (a PNG's signature).
constexpr size_t bmp_start_size = 8;

// Reads both headers, their first bmp_start_size bytes already read into
// `start`; leaves the file at byte 54, where the pixels are taken.
bmp_headers read_bmp_headers(file_handle f, const uint8_t* start);

// The pixel bytes taken from byte 54 on: bfSize - 54.
int64_t pixel_byte_count(const bmpheader& file);

// Pack's check of the BMP against the entry: warnings, or the end of the run.
void check_bmp(const bmpheader& file, const bmpinfo& info, const bgra_image& img);

// ---- writing ------------------------------------------------------------------

// How an entry of `width` x `height` pixels, stored in `length` bytes, is
// written as a BMP that pack takes back.
struct bmp_layout {
    int32_t width;
    int32_t height;
    uint16_t bits;       // 24, or 32 for widths 1 to 3
    int64_t stride;      // bytes of a stored row
    int64_t padding;     // zero bytes ending each stored row
    int64_t image_size;  // stride * height
    int64_t trailer;     // zero bytes after the rows
    int64_t file_size;
};

bmp_layout export_layout(int32_t width, int32_t height, uint32_t length);

// The 54 bytes of both headers.
void encode_bmp_header(const bmp_layout& layout, uint8_t* out);

// ---- pixels -----------------------------------------------------------------

// The stored rows for `rows` entry rows in `src` (each width * 4 bytes),
// the last first, each as the layout stores its pixels and then its
// padding: rows * stride bytes in `dst`.
void encode_rows(const bmp_layout& layout, const uint8_t* src, int64_t rows, uint8_t* dst);

// `pixels` pixels of an entry row as the layout stores them, for a row too
// long to encode whole: pixels * bits / 8 bytes in `dst`.
void encode_pixels(const bmp_layout& layout, const uint8_t* src, size_t pixels, uint8_t* dst);

// Rows of `row_bytes` 32-bit pixels in `dst` (`size` bytes) take the 24-bit
// rows of `src` in reverse order; each pixel's fourth byte is kept.
void merge_planes(uint8_t* dst, const uint8_t* src, size_t size, size_t row_bytes);

// `pixels` pixels of four bytes in `src` as three (blue, green, red) in `dst`.
void strip_fourth_bytes(uint8_t* dst, const uint8_t* src, size_t pixels);

// Source row r becomes row rows - 1 - r of `dst`.
void flip_rows(const uint8_t* src, size_t rows, size_t row_bytes, uint8_t* dst);

}  // namespace velmorin
