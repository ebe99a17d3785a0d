// How a BMP's pixel bytes become an entry's payload: the size rules that
// pick the way, and the conversion, a band at a time.
#pragma once

#include <cstdint>

#include "base/sources.h"
#include "bmp/bmp.h"

namespace velmorin {

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
// Decides without a word; plan_conversion() reports.
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

// Prints what the chosen case prints and plans its conversion; ends the run
// on a case that cannot be converted.
pixel_plan plan_conversion(conversion_case chosen, const bgra_image& img, uint32_t length, const bmp_headers& bmp);

// How many payload bytes the band starting at `at` holds (at most band_bytes).
size_t band_length(const pixel_plan& plan, int64_t at);

// Produces payload bytes [at, at + count) of a band into `dst`. `scratch`
// holds band_bytes. The merge reads the old payload for each pixel's fourth
// byte. Returns nullptr, or the message of the source that could not be read.
[[nodiscard]] const char* convert_band(const pixel_plan& plan, const byte_source& pixels, const byte_source& payload,
                                       int64_t at, size_t count, uint8_t* dst, uint8_t* scratch);

}  // namespace velmorin
